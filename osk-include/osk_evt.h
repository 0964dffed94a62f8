/*
 * Event records: the 44-byte header every event starts with, the component
 * text event, their codes, and the EMCMD_POST frame that carries one event
 * to the cluster's event log.
 *
 * An event is 44 to MAX_EVENT_LEN bytes, total_len counting the header. The
 * log assigns id, node and log incarnation and keeps events in order.
 * Little-endian, 4-byte packing (64-bit fields on 4-byte boundaries).
 */
#ifndef OSK_EVT_H
#define OSK_EVT_H

#include <stddef.h>
#include <stdint.h>

#include "osk_ioctl.h"
#include "osk_types.h"

#define MAX_EVENT_LEN 768
#define EVT_HDR_LEN 44
#define EVT_ORDER_MAX 5
#define EVT_ORDER_DEFAULT 3

typedef struct evt_id {
    uint32_t id;
    node_t nid;
    uint8_t pad[3];
    osk_u64_a4_t eincn;
} evt_id_t;

typedef struct evt {
    evt_id_t id;
    osk_u64_a4_t time;
    uint32_t ordering;
    uint32_t severity;
    uint16_t evt_class;
    uint16_t autofix;
    int32_t type;
    int32_t total_len;
} evt_t;

static_assert(sizeof(evt_t) == EVT_HDR_LEN);
static_assert(offsetof(evt_t, time) == 16);
static_assert(offsetof(evt_t, ordering) == 24);
static_assert(offsetof(evt_t, severity) == 28);
static_assert(offsetof(evt_t, evt_class) == 32);
static_assert(offsetof(evt_t, autofix) == 34);
static_assert(offsetof(evt_t, type) == 36);
static_assert(offsetof(evt_t, total_len) == 40);

#define EVT_COMP_TEXT_OFF 68
#define EVT_COMP_TEXT_LEN (MAX_EVENT_LEN - EVT_COMP_TEXT_OFF - 1) /* 699: room for the text */

typedef struct evt_comp_str {
    evt_t hdr;
    int32_t component_type;
    osk_u64_a4_t component_id;
    int32_t container_type;
    osk_u64_a4_t container_id;
    char text[MAX_EVENT_LEN - EVT_COMP_TEXT_OFF];
} evt_comp_str_t;

static_assert(offsetof(evt_comp_str_t, component_type) == 44);
static_assert(offsetof(evt_comp_str_t, component_id) == 48);
static_assert(offsetof(evt_comp_str_t, container_type) == 56);
static_assert(offsetof(evt_comp_str_t, container_id) == 60);
static_assert(offsetof(evt_comp_str_t, text) == EVT_COMP_TEXT_OFF);
static_assert(sizeof(evt_comp_str_t) == MAX_EVENT_LEN);

typedef enum evt_severity : uint32_t {
    EVT_SEV_FATAL = 0,
    EVT_SEV_CRITICAL = 1,
    EVT_SEV_MAJOR = 2,
    EVT_SEV_MINOR = 3,
    EVT_SEV_DEGRADED = 4,
    EVT_SEV_INFO = 5,
    EVT_SEV_DEBUG = 6,
} evt_severity_t;

typedef enum evt_class : uint32_t {
    EVT_MANGLER_CLASS = 1,
    EVT_ALERT_CLASS = 2,
    EVT_CONFIG_ADD_CLASS = 4,
    EVT_CONFIG_DEL_CLASS = 8,
    EVT_CONFIG_MOD_CLASS = 16,
    EVT_STATUS_MOD_CLASS = 32,
    EVT_OPERATIONAL_CLASS = 64,
    EVT_NOTIFY_CLASS = 128,
    EVT_DEBUG_CLASS = 256,
    EVT_TOCSVR_CLASS = 512,
    EVT_SVCALERT_CLASS = 1024,
    EVT_LAST_CLASS = 2048,
    EVT_ALL_CLASSES = 65535,
} evt_class_t;

/* Event types: EVT_UNKNOWN .. EVT_LAST (exclusive). Only the ones this
 * system posts are named; the others are numbered in the type table. */
typedef enum evt_type : int32_t {
    EVT_UNKNOWN = 0,
    EVT_ALL = 1,
    EVT_PING = 2,
    EVT_NOTIFY = 3,
    EVT_NOTIFY_COMP = 4,
    EVT_NODE_BOOTED = 5,
    EVT_SOFTWARE_UPDATE = 151,
    EVT_LAST = 244,
} evt_type_t;

/* Component types: COMP_UNDEFINED .. COMP_LAST (exclusive). */
typedef enum component_type : int32_t {
    COMP_UNDEFINED = 0,
    COMP_SW_SYSMGR = 15,
    COMP_HW_CAGE_IFC_ESH = 60,
    COMP_LAST = 61,
} component_type_t;

/* EMCMD_POST: the kernel's answer in err, the event from offset 296. */
typedef struct evt_post_info {
    iohdr_t hdr;
    int32_t err;
    uint8_t event[MAX_EVENT_LEN + 44]; /* room for the largest event */
} evt_post_info_t;

#define EVT_POST_FRAME_SIZE 1108
static_assert(offsetof(evt_post_info_t, event) == 296);
static_assert(sizeof(evt_post_info_t) == EVT_POST_FRAME_SIZE);

#endif
