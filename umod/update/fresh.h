/*
 * The fresh-install marker: present after a first installation on this
 * node, removed by every later update. Either call ends the process with
 * status 25 when the marker cannot be made or removed.
 */
#ifndef UPDATE_FRESH_H
#define UPDATE_FRESH_H

#define FRESH_INSTALL_FILE "/var/opt/osk/FRESH_INSTALL"

void fresh_flag_set(void); /* creates the missing folders too */
void fresh_flag_clear(void);

#endif
