/*
 * System-control requests on "/dev/osk". See sc_ioctl.h.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "osk_dev.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "sc_ioctl.h"
#include "osk_banned.h"

int sys_handle = -1;

int ioctl_srctype = IO_TYPE_NOTDEFINED;
node_t ioctl_srcnid = IO_NODE_ANY;
int ioctl_srcpid = -1;
int ioctl_slow_report = 1;
unsigned long ioctl_slow_secs = 30;

const textxlat_t ioxlat[] = {
    {(int)SCCMD_VERSION, "SCCMD_VERSION   -- Read kernel version text"},
    {(int)SCCMD_GETCINFO, "SCCMD_GETCINFO  -- Get cluster info"},
    {(int)EMCMD_POST, "EMCMD_POST     -- Post an event"},
    {(int)EMCMD_NEXTEVT, "EMCMD_NEXTEVT     -- Get the next event"},
    {(int)EMCMD_ACKEVT, "EMCMD_ACKEVT     -- Ack the specified event"},
    {(int)EMCMD_RSTEVT, "EMCMD_RSTEVT     -- Re-send all unacked events"},
    {(int)EMCMD_GETINCN, "EMCMD_GETINCN     -- Get the EM incarnation number"},
    {-1, "Unknown system call"},
};

int sc_open_try(void)
{
    if (sys_handle != -1)
        return 1;
    int fd = osk_dev_open();
    if (fd < 0)
        return 0;
    sys_handle = fd;
    return 1;
}

static void sc_check_version(void)
{
    sccmd_version_t *v = (sccmd_version_t *)ioctl_alloc(SCCMD_VERSION, sizeof(sccmd_version_t));
    (void)ioctl_check(&v->vr_hdr);
    uint32_t kver = v->vr_versn.vr_ioctl;
    ioctl_free(&v);
    if (kver != OSK_IOCTL_VERSION)
        osk_death("\n\tKernel reports ioctl interfaction version %u\n\tBut I was compiled with "
                  "version %u\n",
                  kver, (unsigned)OSK_IOCTL_VERSION);
}

void sc_open(void)
{
    if (!sc_open_try())
        osk_death("Unable to open /dev/osk: %s", strerror(errno));
    sc_check_version();
}

void *get_memoryn(size_t size)
{
    void *p = malloc(size);
    if (p == nullptr)
        osk_death("Unable to allocate %u bytes", (unsigned)size);
    return p;
}

iohdr_t *ioctl_alloc_type(ioctl_enum_t cmd, size_t total, int srctype)
{
    OSK_ASSERT(total >= sizeof(iohdr_t) && total <= MAX_IOCTL_SIZE);
    iohdr_t *h = (iohdr_t *)get_memoryn(total);
    memset(h, 0, total);
    h->io_node = IO_NODE_ANY;
    h->io_status = TE_ACTIVE;
    h->io_prio_flg = 2;
    h->io_cmd = cmd;
    h->io_total = (uint32_t)total;
    h->io_len = (uint32_t)total;
    h->io_srctype = srctype;
    h->io_srcnid = ioctl_srcnid;
    h->io_srcpid = ioctl_srcpid;
    return h;
}

iohdr_t *ioctl_alloc(ioctl_enum_t cmd, size_t total)
{
    return ioctl_alloc_type(cmd, total, ioctl_srctype);
}

void ioctl_free(void *recp)
{
    void **pp = (void **)recp;
    free(*pp);
    *pp = nullptr;
}

const char *ioctl_cmdtext(uint32_t cmd)
{
    return findtext(ioxlat, (int)cmd);
}

int sc_ioctl(iohdr_t *rec)
{
    return osk_dev_ioctl(sys_handle, rec->io_cmd, rec);
}

void ioctl_errtext(const iohdr_t *rec, char *text, const char *prefix)
{
    const char *syserr = strerror(errno);
    /* The kernel's text field is part of the record the caller handed us. */
    char *ertxt = ((iohdr_t *)rec)->io_ertxt;
    if (ertxt[0] == '\0')
        snprintf(ertxt, IO_ERTXT_LEN, "No additional information");

    char line[IOCTL_ERRTEXT_LEN];
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < 5; i++) {
        int n = 0;
        switch (i) {
        case 0:
            n = snprintf(line, sizeof(line), "%sOpcode         = %s\n", prefix,
                         ioctl_cmdtext(rec->io_cmd));
            break;
        case 1:
            n = snprintf(line, sizeof(line), "%sNode           = %u\n", prefix, rec->io_node);
            break;
        case 2:
            n = snprintf(line, sizeof(line), "%sOsk error code = %s\n", prefix,
                         findtext(texlat, rec->io_status));
            break;
        case 3:
            n = snprintf(line, sizeof(line), "%sOsk error info = %.*s\n", prefix, IO_ERTXT_LEN,
                         ertxt);
            break;
        case 4:
            n = snprintf(line, sizeof(line), "%sSys error code = %s\n", prefix, syserr);
            break;
        }
        if (n < 0 || used + (size_t)n >= IOCTL_ERRTEXT_LEN)
            break; /* a line that does not fit entirely ends the text */
        memcpy(text + used, line, (size_t)n + 1);
        used += (size_t)n;
    }
}

int ioctl_check(iohdr_t *rec)
{
    time_t start = ioctl_slow_report ? time(nullptr) : 0;
    errno = 0; /* a kernel status failure leaves errno alone: report no stale one */
    int rc = osk_dev_ioctl(sys_handle, rec->io_cmd, rec);
    while (rc < 0 && errno == EINTR) {
        sleep(1);
        osk_print("Replaying ioctl %d because of interrupt\n", (int)rec->io_cmd);
        rc = osk_dev_ioctl(sys_handle, rec->io_cmd, rec);
    }
    int saved = errno;
    if (ioctl_slow_report) {
        unsigned long secs = (unsigned long)(time(nullptr) - start);
        if (secs > ioctl_slow_secs)
            osk_print("ioctl %u running for more than %lu seconds - node %u status %d length %d "
                      "ertxt %.*s\n",
                      rec->io_cmd, secs, rec->io_node, rec->io_status, (int)rec->io_len,
                      IO_ERTXT_LEN, rec->io_ertxt);
    }
    if (rc >= 0 && rec->io_status == TE_PASS)
        return rc;
    if (rc < 0 && (rec->io_status == BR_NODE_DOWN || rec->io_status == TE_POWERFAIL))
        return rc;

    char text[IOCTL_ERRTEXT_LEN];
    errno = saved;
    ioctl_errtext(rec, text, "    ");
    osk_death("Ioctl error:\n%s", text);
}
