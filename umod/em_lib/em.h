/*
 * Event library, producer side: building events and posting them to the
 * cluster's event log through the system-control device (EMCMD_POST).
 *
 *   em_init();                       once, before threads post
 *   evt_comp_printf_options(EVT_SEV_INFO, EVT_NOTIFY_CLASS, EVT_SOFTWARE_UPDATE,
 *                           COMP_SW_SYSMGR, 0, COMP_UNDEFINED, 0, 0, 0, "text %s\n", v);
 *
 * Posting needs only em_producer_init(); em_init() also checks the
 * library's tables against their enumerations and builds the DIMM map of
 * the hardware event texts. Both are idempotent. All threads share one
 * posting frame under em_cmd_lock.
 *
 * A malformed event or an argument out of range is a programming error and
 * panics. A post the log refuses is only the non-zero result of evt_post;
 * a failing device call is handled by ioctl_check (it ends the process).
 */
#ifndef EM_H
#define EM_H

#include <stdarg.h>
#include <stdint.h>
#include <sys/types.h>

#include "osk_evt.h"
#include "osk_runtime.h"

void em_producer_init(void);
void em_init(void);

evt_t *evt_alloc(uint32_t severity, uint32_t evt_class, int32_t type, uint32_t len);
void evt_init(evt_t *e, uint32_t severity, uint32_t evt_class, int32_t type, uint32_t len);
void evt_init_autofix(evt_t *e, uint32_t severity, uint32_t evt_class, int32_t type, uint32_t len);
void evt_free(evt_t *e, uint32_t len);
int evt_post_ordered(const evt_t *e, int order); /* the log's answer, 0 success */
int evt_post(const evt_t *e);
void evt_get_pname(pid_t pid);

int evt_comp_printf_options(uint32_t severity, uint32_t evt_class, int32_t type, int32_t ctype,
                            uint64_t cid, int32_t cont_type, uint64_t cont_id, int show_pidname,
                            int print_stdout, const char *format, ...) OSK_PRINTF(10, 11);
int evt_comp_vprintf_options(uint32_t severity, uint32_t evt_class, int32_t type, int32_t ctype,
                             uint64_t cid, int32_t cont_type, uint64_t cont_id, int show_pidname,
                             int print_stdout, const char *format, va_list ap) OSK_PRINTF(10, 0);
int evt_comp_printf(uint32_t severity, uint32_t evt_class, int32_t type, int32_t ctype,
                    uint64_t cid, int32_t cont_type, uint64_t cont_id, const char *format, ...)
    OSK_PRINTF(8, 9);

/* The library's tables, indexed by their code. */
typedef struct evt_type_info {
    int type;
    const char *name;
    const char *description;
} evt_type_info_t;

typedef struct evt_class_info {
    uint32_t evt_class;
    const char *name;
    const char *text;
} evt_class_info_t;

typedef struct evt_component_info {
    int type;
    const char *name;
    const char *short_name;
    const char *text;
} evt_component_info_t;

typedef struct evt_alert_info {
    int state;
    const char *name;
    const char *text;
} evt_alert_info_t;

typedef struct evt_jbod_info {
    int eid;
    const char *name;
} evt_jbod_info_t;

#define EVT_NCLASSES 12
#define EVT_NALERTS 7
#define EVT_NJBOD 61

/* Rows: EVT_LAST + 1 types, EVT_NCLASSES classes, COMP_LAST + 1 components,
 * EVT_NALERTS alert states, EVT_NJBOD drive-cage events. */
extern const evt_type_info_t *const type_info_table;
extern const evt_class_info_t classes[EVT_NCLASSES];
extern const evt_component_info_t *const components;
extern const evt_alert_info_t alerts[EVT_NALERTS];
extern const evt_jbod_info_t *const jbod_events_fns;

#endif
