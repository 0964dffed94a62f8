/*
 * Restarting the nodes into the new release through the system manager:
 * the shutdown before a full restart, the standard rolling restart of the
 * expedition (expeditionmask) and the simple rolling restart of one node
 * at a time. All of them need mangler_isup.
 */
#ifndef UPDATE_ROLLING_H
#define UPDATE_ROLLING_H

#include "osk_types.h"

int mangler_shutdown(int toc_version); /* 0, or the refusal: the caller exits 32 */
void display_sysmgr_failure(const char *mc_ertxt, int status, int from_cli_run);
int mcall_shutdown(int node, int toc_version, char *err_txt, int len);
void setup_rolling_upgrade(void);
void mangler_reboot_expedition(void);
void generate_simple_reboot_order(int list[OSK_MAX_NODES]);
void simple_rolling_reboot(void);
void simple_rolling_reboot_node(int node);

#endif
