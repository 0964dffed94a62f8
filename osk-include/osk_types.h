/*
 * Basic types shared by every layer: node numbers and masks, thread ids and
 * the code-to-text tables.
 */
#ifndef OSK_TYPES_H
#define OSK_TYPES_H

#include <stdint.h>

typedef uint8_t node_t;     /* node number 0..7 */
typedef uint16_t cluster_t; /* node mask, bit n = node n */

#define OSK_MAX_NODES 8

typedef long osk_thread_t; /* 0 means no thread */

/* A code-to-text table ends with a row whose code is -1; that row's text
 * answers for every unknown code. */
typedef struct textxlat {
    int tx_code;
    const char *tx_text;
} textxlat_t;

typedef struct ext_textxlat {
    int ext_txcode;
    const char *ext_sh_text;
    const char *ext_long_text;
} ext_textxlat_t;

#endif
