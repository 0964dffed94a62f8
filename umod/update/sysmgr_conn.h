/*
 * Contact with the system manager at start-up: one management connection
 * for the whole run. When no process holds the manager's name, the manager
 * is not running and the update goes on without management calls.
 */
#ifndef UPDATE_SYSMGR_CONN_H
#define UPDATE_SYSMGR_CONN_H

/* Set when management calls may be made: by start-up from
 * connect_sysmgr(), or by --dumpvluns. */
extern int mangler_isup;

int connect_sysmgr(void); /* 1 when management calls may be made */

#endif
