/*
 * The node's process manager, "/opt/osk/bin/pm".
 *
 *   pm --boot          started by the node's init: runs the services listed
 *                      in /etc/osk/pm.conf ("NAME COMMAND..." lines) and
 *                      restarts those that die; starts nothing when the
 *                      marker /pm_nostart exists at boot
 *   pm --status        lists the services
 *   pm --stop NAME     stops one service for good
 *   pm --stop          stops every service and the PM itself, on this node
 *   pm --stopall       does --stop on every node of the cluster
 */
#ifndef PM_H
#define PM_H

int pm_main(int argc, char **argv);

#endif
