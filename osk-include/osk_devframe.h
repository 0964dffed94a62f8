/*
 * Frames of "/dev/osk" when it is a Unix stream socket: the request is
 * the header followed by fr_len bytes of the record; the answer is a header
 * with fr_result and fr_errno filled in, followed by the same number of bytes
 * of the updated record. A peer that sends a bad magic, a length outside the
 * record rules or a short frame is disconnected.
 */
#ifndef OSK_DEVFRAME_H
#define OSK_DEVFRAME_H

#include <stdint.h>

#define OSKDEV_MAGIC_REQ 0x514B534Fu /* "OSKQ" in memory order */
#define OSKDEV_MAGIC_REP 0x524B534Fu /* "OSKR" */

typedef struct oskdev_frame {
    uint32_t fr_magic;
    uint32_t fr_request; /* ioctl request code */
    uint32_t fr_len;     /* record bytes that follow */
    int32_t fr_result;   /* answer: the ioctl result */
    int32_t fr_errno;    /* answer: errno when fr_result < 0 */
    uint32_t fr_pad;
} oskdev_frame_t;

static_assert(sizeof(oskdev_frame_t) == 24);

#endif
