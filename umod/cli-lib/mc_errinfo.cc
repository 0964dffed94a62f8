/*
 * Structured error information of a management-call reply: a code from a
 * fixed table and up to five rendered parameters. See mcall_client.h.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "mcall_client.h"
#include "osk_runtime.h"
#include "osk_banned.h"

#define DEVELOPER_MARKER "/etc/kivo/DEVELOPER"

static const struct {
    int code;
    int nparms;
    const char *format;
} err_defs[] = {
    {ERR_UNKNOWN, 0, "Unknown error"},
    {ERR_OSK_PR_INVALID_STATE, 0,
     "The PR must be running on the admin volume for this command to succeed\n"},
    {ERR_OSK_HOST_NONAME, 0, "No host name specified\n"},
    {ERR_OSK_HOST_NOTFOUND, 1, "Host %s not found\n"},
    {ERR_OSK_HOST_EXISTS, 2, "Host name %s already used by host id %s\n"},
    {ERR_OSK_HOST_INUSE, 2, "Vlun %s for virtual volume %s still exported to this host\n"},
    {ERR_OSK_HOST_NOSPACE, 0, "Could not create host: out of space\n"},
    {ERR_OSK_HOST_CHAP_MINLEN, 1, "CHAP secret must be at least %s bytes in length.\n"},
    {ERR_OSK_HOST_CHAP_NOSECRET, 0, "CHAP secret is required.\n"},
    {ERR_OSK_HOST_CHAP_SECRETSMATCH, 0,
     "Target CHAP secret and initiator CHAP secret must be unique across all hosts.\n"},
    {ERR_OSK_HOST_TARGETCHAP_MINLEN, 1,
     "Target CHAP secret must be at least %s bytes in length.\n"},
    {ERR_OSK_HOST_TARGETCHAP_ONLY, 0,
     "Target CHAP cannot be enabled without host CHAP being enabled.\n"},
    {ERR_OSK_HOST_NOCHAP, 1, "No CHAP configured for host %s\n"},
    {ERR_OSK_HOST_SETDESCPR_FAILED, 1,
     "Could not set descriptors on host %s:  the PR must be running on the admin volume for "
     "this operation to succeed\n"},
    {ERR_OSK_HOSTPATH_NONAME, 0, "No hostpath specified\n"},
    {ERR_OSK_HOSTPATH_NOTFOUND, 1, "Host path wwn %s not found\n"},
    {ERR_OSK_HOSTPATH_EXISTS, 3, "Host wwn %s already used by host %s (id = %s)\n"},
    {ERR_OSK_HOSTPATH_INUSE, 1, "Active lun exists on %s\n"},
    {ERR_OSK_HOSTPATH_DUPLICATE, 1, "Duplicate host wwn %s\n"},
    {ERR_OSK_OBJECT_NOTFOUND, 1, "Object not found: %s\n"},
    {ERR_OSK_OBJDESC_TABLE_INVALID, 0, "Invalid object descriptor table\n"},
    {ERR_OSK_OBJDESC_GET_FAILED, 2,
     "Failed to retrieve descriptors for object type %s - retCode=(%s)\n"},
    {ERR_OSK_OBJDESC_SET_FAILED, 3,
     "Failed to set descriptors for object type %s, object id %s - retCode=(%s)\n"},
    {ERR_OSK_OBJDESC_RM_FAILED, 3,
     "Failed to remove descriptors for object type %s, object id %s - retCode=(%s)\n"},
    {ERR_OSK_INTERNAL_ERROR, 1, "Internal error: %s\n"},
    {ERR_OSK_LOCATESYS_INVTIME, 1, "Time value should be between 0 and %s seconds\n"},
    {ERR_OSK_NAME_INVALID_LEN, 1, "Name should not exceed %s characters\n"},
    {ERR_OSK_NAME_INVALID_DASH, 1, "Invalid name %s starts with -\n"},
    {ERR_OSK_NAME_INVALID_CHAR, 2, "Invalid character %s (%s) in name\n"},
    {ERR_OSK_DESC_INVALID_LEN, 1, "Description should not exceed %s characters\n"},
    {ERR_OSK_DESC_INVALID_CHAR, 2, "Invalid character %s (0x%s) in description\n"},
    {ERR_API_GETHOST_FAILED, 0, "Could not retrieve host information\n"},
    {ERR_API_SETHOST_FAILED, 0, "Could not set host information\n"},
    {ERR_API_CREATEHOST_FAILED, 0, "Could not create host\n"},
    {ERR_API_ADDPATH_FAILED, 0, "Could not add path to host\n"},
    {ERR_API_REMOVEHOST_FAILED, 0, "Could not remove host\n"},
    {ERR_API_REMOVEPATH_FAILED, 0, "Could not remove path from host\n"},
    {ERR_LAST, 0, "Invalid error"},
};

static_assert(sizeof(err_defs) / sizeof(err_defs[0]) == ERR_LAST + 1);

void errinfo_init(void)
{
    for (int i = 0; i <= ERR_LAST; i++) {
        OSK_ASSERT(err_defs[i].code == i);
        OSK_ASSERT(err_defs[i].nparms < ERR_MAXPARMS);
    }
}

static int valid_code(int code)
{
    return code >= 0 && code < ERR_LAST;
}

/* A developer wants the mistake to stop the program; in the field the
 * reply goes out with an unspecific error instead. */
static void invalid_use(err_info_t *info, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
static void invalid_use(err_info_t *info, const char *fmt, ...)
{
    if (access(DEVELOPER_MARKER, F_OK) == 0) {
        char msg[256];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(msg, sizeof msg, fmt, ap);
        va_end(ap);
        osk_death("%s", msg);
    }
    info->code = ERR_UNKNOWN;
    info->parms.count = err_defs[ERR_UNKNOWN].nparms;
}

static void add_parm(err_info_t *info, const char *text)
{
    if (info->parms.count < 0 || info->parms.count >= ERR_MAXPARMS) {
        invalid_use(info, "Failed to add error parameter to errinfo; maximum number of "
                          "parameter already reached.\n");
        return;
    }
    /* The slot keeps its NUL: 63 characters of the text fit. */
    char *slot = info->parms.parm[info->parms.count].value;
    size_t n = osk_strnlen(text, ERR_PARM_LEN - 1);
    memcpy(slot, text, n);
    slot[n] = '\0';
    info->parms.count++;
}

int errinfo_set(err_info_t *info, int code)
{
    if (!valid_code(code)) {
        invalid_use(info, "Invalid error code\n");
        return (int)info->code;
    }
    info->code = (uint32_t)code;
    if (code != ERR_UNKNOWN && info->parms.count != err_defs[code].nparms)
        invalid_use(info, "Invalid number of error parameters for error code %d\n", code);
    return (int)info->code;
}

void errinfo_add_parm_str(err_info_t *info, const char *value)
{
    add_parm(info, value);
}

#define RENDER_AND_ADD(info, fmt, value)                                                           \
    do {                                                                                           \
        char t_[ERR_PARM_LEN];                                                                     \
        snprintf(t_, sizeof t_, fmt, value);                                                       \
        add_parm(info, t_);                                                                        \
    } while (0)

void errinfo_add_parm_u32(err_info_t *info, uint32_t value)
{
    RENDER_AND_ADD(info, "%u", value);
}

void errinfo_add_parm_int(err_info_t *info, int value)
{
    RENDER_AND_ADD(info, "%d", value);
}

void errinfo_add_parm_wwn(err_info_t *info, uint64_t value)
{
    RENDER_AND_ADD(info, "%016llX", (unsigned long long)value);
}

void errinfo_add_parm_char(err_info_t *info, char value)
{
    RENDER_AND_ADD(info, "%c", value);
}

void errinfo_add_parm_hexchar(err_info_t *info, char value)
{
    RENDER_AND_ADD(info, "0x%02x", (unsigned)(unsigned char)value);
}

/* Each errinfo_set_KIND adds its one parameter, then sets the code. */
#define SET_ONE(kind, type)                                                                        \
    int errinfo_set_##kind(err_info_t *info, int code, type value)                                 \
    {                                                                                              \
        errinfo_add_parm_##kind(info, value);                                                      \
        return errinfo_set(info, code);                                                            \
    }

SET_ONE(str, const char *)
SET_ONE(u32, uint32_t)
SET_ONE(int, int)
SET_ONE(wwn, uint64_t)
SET_ONE(char, char)
SET_ONE(hexchar, char)

void errinfo_get_textstr(char *text, size_t size, const err_info_t *info)
{
    if (size == 0)
        return;
    int code = valid_code((int)info->code) ? (int)info->code : ERR_LAST;
    const char *p[ERR_MAXPARMS];
    for (int i = 0; i < ERR_MAXPARMS; i++)
        p[i] = i < info->parms.count ? info->parms.parm[i].value : "";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, size, err_defs[code].format, p[0], p[1], p[2], p[3], p[4]);
#pragma GCC diagnostic pop
}

int errinfo_set_txt(char *text, size_t size, err_info_t *info, int code)
{
    int rc = errinfo_set(info, code);
    errinfo_get_textstr(text, size, info);
    return rc;
}

#define SET_TXT(kind, type)                                                                        \
    int errinfo_set_##kind##_txt(char *text, size_t size, err_info_t *info, int code, type value)  \
    {                                                                                              \
        int rc = errinfo_set_##kind(info, code, value);                                            \
        errinfo_get_textstr(text, size, info);                                                     \
        return rc;                                                                                 \
    }

SET_TXT(str, const char *)
SET_TXT(u32, uint32_t)
SET_TXT(int, int)
SET_TXT(wwn, uint64_t)
SET_TXT(char, char)
SET_TXT(hexchar, char)

void errinfo_set_internal(char *text, size_t size, const char *format, ...)
{
    char msg[ERRINFO_TEXT_LEN + 1];
    va_list ap;
    va_start(ap, format);
    vsnprintf(msg, sizeof msg, format, ap);
    va_end(ap);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, size, err_defs[ERR_OSK_INTERNAL_ERROR].format, msg);
#pragma GCC diagnostic pop
}
