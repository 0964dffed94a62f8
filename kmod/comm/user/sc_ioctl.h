/*
 * System-control requests: the process-wide device handle, allocation and
 * issuing of request records, and the rendering of their errors.
 *
 *   if (!sc_open_try()) ...           device missing: the caller decides
 *   cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
 *   if (ioctl_check(&ci->ci_hdr) >= 0) ... read ci->ci_cstate ...
 *   ioctl_free(&ci);                  always, whatever the outcome
 *
 * ioctl_check() returns only on success or when the addressed node is
 * unavailable (BR_NODE_DOWN, TE_POWERFAIL: negative result); every other
 * failure stops the process with the rendered error. An interrupted request
 * is replayed after a second, without limit.
 *
 * The device must be opened (sc_open_try) before threads issue requests
 * concurrently; each record belongs to one caller at a time.
 */
#ifndef SC_IOCTL_H
#define SC_IOCTL_H

#include <stddef.h>
#include <stdint.h>

#include "osk_ioctl.h"
#include "osk_types.h"

#define IOCTL_ERRTEXT_LEN 752 /* room ioctl_errtext() needs */

extern int sys_handle; /* "/dev/osk", -1 while closed */

/* Settings stored in every new header and used by ioctl_check. */
extern int ioctl_srctype;
extern node_t ioctl_srcnid;
extern int ioctl_srcpid;
extern int ioctl_slow_report;         /* report slow requests */
extern unsigned long ioctl_slow_secs; /* ... taking longer than this */

int sc_open_try(void); /* 1 when open (already or now), 0 when it cannot be */
void sc_open(void);    /* sc_open_try, then the interface version check; fatal on failure */

iohdr_t *ioctl_alloc(ioctl_enum_t cmd, size_t total);
iohdr_t *ioctl_alloc_type(ioctl_enum_t cmd, size_t total, int srctype);
void ioctl_free(void *recp); /* recp: address of the caller's record pointer; nulls it */

int ioctl_check(iohdr_t *rec);

/* The request without any checking: the raw result, errno set when negative.
 * For callers that report failures themselves. */
int sc_ioctl(iohdr_t *rec);

void ioctl_errtext(const iohdr_t *rec, char *text, const char *prefix);
const char *ioctl_cmdtext(uint32_t cmd);

void *get_memoryn(size_t size);

extern const textxlat_t ioxlat[];

#endif
