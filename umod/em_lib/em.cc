/*
 * Building and posting events. See em.h.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "brantcomm.h"
#include "em.h"
#include "osk_lock.h"
#include "sc_ioctl.h"

#include "osk_banned.h"

#define PNAME_LEN 80

static evt_post_info_t *em_cmd;
static osk_mutex_t em_cmd_lock;
static char pname_buf[PNAME_LEN];
static const char *pname; /* null until first needed */
static osk_mutex_t pname_lock;
static int mod_p_init;
static int mod_c_init;

/* The consumer side keeps its consumers here; the producer only starts the
 * list. */
static void *consumers;
static osk_mutex_t consumers_lock;

/* An assertion whose printed condition is the one named, for conditions
 * the compiler would otherwise call always true. */
#define EM_ASSERT(cond, text)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            osk_print("Assertion failed: %s\n", text);                                             \
            osk_panic("Assertion point: file: %s, line: %d\n", __FILE__, __LINE__);                \
        }                                                                                          \
    } while (0)

void em_producer_init(void)
{
    if (mod_p_init)
        return;
    sc_open();
    log_message_init();
    pname = nullptr;
    osk_mutex_init(&pname_lock);
    osk_mutex_init(&em_cmd_lock);
    em_cmd = (evt_post_info_t *)ioctl_alloc(EMCMD_POST, EVT_POST_FRAME_SIZE);
    mod_p_init = 1;
}

void em_init(void)
{
    if (mod_c_init)
        return;
    em_producer_init();
    consumers = nullptr;
    osk_mutex_init(&consumers_lock);
    for (int i = 0; i <= EVT_LAST; i++)
        OSK_ASSERT(type_info_table[i].type == i);
    for (int i = 0; i < EVT_NCLASSES && (1u << i) <= EVT_LAST_CLASS; i++)
        OSK_ASSERT((1u << i) == classes[i].evt_class);
    for (int i = 0; i <= COMP_LAST; i++)
        OSK_ASSERT(components[i].type == i);
    for (int i = 0; i < EVT_NALERTS; i++)
        OSK_ASSERT(alerts[i].state == i);
    brant_init_dimm_decode();
    for (int i = 0; i < EVT_NJBOD; i++)
        OSK_ASSERT(jbod_events_fns[i].eid == i);
    mod_c_init = 1;
}

void evt_init(evt_t *e, uint32_t severity, uint32_t evt_class, int32_t type, uint32_t len)
{
    if (len > MAX_EVENT_LEN)
        osk_panic("Invalid event length");
    e->severity = severity;
    e->evt_class = (uint16_t)evt_class;
    e->autofix = 0;
    e->type = type;
    e->total_len = (int32_t)len;
}

void evt_init_autofix(evt_t *e, uint32_t severity, uint32_t evt_class, int32_t type, uint32_t len)
{
    evt_init(e, severity, evt_class, type, len);
    e->autofix = 1;
}

evt_t *evt_alloc(uint32_t severity, uint32_t evt_class, int32_t type, uint32_t len)
{
    if (len < EVT_HDR_LEN || len > MAX_EVENT_LEN)
        osk_panic("Invalid event length");
    evt_t *e = (evt_t *)malloc_or_die(len);
    memset(e, 0, len);
    evt_init(e, severity, evt_class, type, len);
    return e;
}

void evt_free(evt_t *e, uint32_t len)
{
    (void)len;
    free(e);
}

int evt_post_ordered(const evt_t *e, int order)
{
    OSK_ASSERT(mod_p_init);
    OSK_ASSERT(e->total_len <= MAX_EVENT_LEN);
    OSK_ASSERT((e->type > 0) && (e->type < EVT_LAST));
    EM_ASSERT(e->severity <= EVT_SEV_DEBUG,
              "(e->severity >= EVT_SEV_FATAL) && (e->severity <= EVT_SEV_DEBUG)");
    OSK_ASSERT((order >= 0) && (order <= EVT_ORDER_MAX));
    osk_mutex_enter(&em_cmd_lock);
    size_t len = e->total_len < EVT_HDR_LEN ? EVT_HDR_LEN : (size_t)e->total_len;
    memcpy(em_cmd->event, e, len);
    evt_t *copy = (evt_t *)em_cmd->event;
    copy->ordering = (uint32_t)order;
    em_cmd->err = 0;
    (void)ioctl_check(&em_cmd->hdr);
    int err = em_cmd->err;
    osk_mutex_exit(&em_cmd_lock);
    return err;
}

int evt_post(const evt_t *e)
{
    return evt_post_ordered(e, EVT_ORDER_DEFAULT);
}

void evt_get_pname(pid_t pid)
{
    osk_mutex_enter(&pname_lock);
    if (pname == nullptr) {
        char path[PNAME_LEN], name[PNAME_LEN];
        int got_pid;
        pname_buf[0] = '\0';
        snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
        FILE *f = fopen(path, "r");
        if (f != nullptr) {
            if (fscanf(f, "%d %79s", &got_pid, name) == 2) {
                size_t n = strlen(name);
                if (n >= 2) {
                    memcpy(pname_buf, name + 1, n - 2);
                    pname_buf[n - 2] = '\0';
                }
            }
            fclose(f);
        }
        pname = pname_buf;
    }
    osk_mutex_exit(&pname_lock);
}

int evt_comp_vprintf_options(uint32_t severity, uint32_t evt_class, int32_t type, int32_t ctype,
                             uint64_t cid, int32_t cont_type, uint64_t cont_id, int show_pidname,
                             int print_stdout, const char *format, va_list ap)
{
    if (type == EVT_NOTIFY)
        type = EVT_NOTIFY_COMP;
    evt_comp_str_t *e = (evt_comp_str_t *)evt_alloc(severity, evt_class, type, MAX_EVENT_LEN);
    OSK_ASSERT((ctype >= COMP_UNDEFINED) && (ctype < COMP_LAST));
    OSK_ASSERT((cont_type >= COMP_UNDEFINED) && (cont_type < COMP_LAST));
    e->component_type = ctype;
    e->component_id = cid;
    e->container_type = cont_type;
    e->container_id = cont_id;

    int room = EVT_COMP_TEXT_LEN;
    int prefix = 0;
    if (show_pidname) {
        if (pname == nullptr)
            evt_get_pname(getpid());
        prefix = snprintf(e->text, (size_t)room, "(%s : %d) ", pname, (int)getpid());
        if (prefix >= room)
            prefix = room - 1;
        room -= prefix;
    }
    int msg = vsnprintf(e->text + prefix, (size_t)room, format, ap) + 1;
    if (msg > room || msg < 1)
        msg = room;
    if (print_stdout)
        osk_print("%s", e->text);
    e->hdr.total_len = EVT_COMP_TEXT_OFF + prefix + msg;
    int rc = evt_post(&e->hdr);
    evt_free(&e->hdr, MAX_EVENT_LEN);
    return rc;
}

int evt_comp_printf_options(uint32_t severity, uint32_t evt_class, int32_t type, int32_t ctype,
                            uint64_t cid, int32_t cont_type, uint64_t cont_id, int show_pidname,
                            int print_stdout, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int rc = evt_comp_vprintf_options(severity, evt_class, type, ctype, cid, cont_type, cont_id,
                                      show_pidname, print_stdout, format, ap);
    va_end(ap);
    return rc;
}

int evt_comp_printf(uint32_t severity, uint32_t evt_class, int32_t type, int32_t ctype,
                    uint64_t cid, int32_t cont_type, uint64_t cont_id, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int rc = evt_comp_vprintf_options(severity, evt_class, type, ctype, cid, cont_type, cont_id, 1,
                                      1, format, ap);
    va_end(ap);
    return rc;
}
