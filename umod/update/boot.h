/*
 * The boot loader and reboots: which root each node boots next, and the
 * reboot of this node or another one.
 */
#ifndef UPDATE_BOOT_H
#define UPDATE_BOOT_H

#include "node_mask.h"

/* Runs the boot loader on the nodes online of which, switching their root
 * when switch_root is set. */
void do_lilo(node_mask which, int switch_root);
void do_lilo_local(int switch_root);
void do_lilo_remote(int node, int switch_root);
void do_reboot(void);
int rebootremote(int node); /* -1: this node */

#endif
