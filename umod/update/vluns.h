/*
 * The export inventory of a standard rolling upgrade: what the expedition
 * nodes present to the hosts (disks, iSCSI ports, volume exports with the
 * hosts' addresses and CHAP credentials), written one line per item to
 * VLUN_INVENTORY_FILE and copied into every expedition node's alternate
 * root, where the new release reads it.
 *
 * prepare_vlun_info() needs an open management connection (mangler_isup)
 * and expeditionmask; it ends the process with status 25 on every failure
 * that stops the upgrade, leaving a partly written file behind.
 *
 * The line writers are pure: they take the records as the manager answered
 * them and print one line (with its end) to out; vlun_write_export() takes
 * the host answer or null when there was none. An export line is written in
 * two steps, as the inventory is made: its head (through the iSCSI name),
 * then, once the host has been asked, its host fields and end; a failed
 * host query between them leaves the head in the file.
 */
#ifndef VLUNS_H
#define VLUNS_H

#include <stdint.h>
#include <stdio.h>

#include "osk_mcall.h"

#define VLUN_INVENTORY_FILE "/tmp/present_vluns"
#define VLUN_INVENTORY_VERSION 4

void prepare_vlun_info(void);
/* --dumpvluns, once the command line set expeditionmask: opens the
 * management connection itself, sets mangler_isup, thisnode and nodes, and
 * writes the inventory for the expedition. */
void dump_vluns(void);

/* An MCPD_SHOW request for the disks seen through the nodes of nodemap. */
pdscmd_t *pdshow_alloc(uint8_t nodemap);

int iscsi_name_match(const iscsi_name_t *name1, const iscsi_name_t *name2); /* 1 when equal */
int iscsi_name_compare(const iscsi_name_t *name1, const iscsi_name_t *name2);

/* Node, slot and port of a port position; an absent port (LPID_NONE) is
 * 253, -7, -8 as the new release expects it. */
void vlun_split_lpid(lpid_t lpid, int *node, int *slot, int *port);

void vlun_write_disk(FILE *out, const disk_t *d);
void vlun_write_iscsi_port(FILE *out, const iscsi_port_settings_t *ps);
void vlun_write_export(FILE *out, const vluninfo_t *v, uint64_t vv_wwn, uint64_t port_params,
                       const hostinfo_t *host);
void vlun_write_export_head(FILE *out, const vluninfo_t *v, uint64_t vv_wwn, uint64_t port_params);
void vlun_write_export_end(FILE *out, const vluninfo_t *v, const hostinfo_t *host);

#endif
