/*
 * System-control requests to the cluster kernel module through "/dev/osk".
 *
 * Every request record begins with the 292-byte iohdr_t and is answered in
 * place: the kernel writes io_status (0 on success), the body fields the
 * command defines and, on failure, io_ertxt. The command number is both
 * io_cmd and the ioctl request code. Records use host byte order and the
 * 4-byte packing of the kernel's ABI, so 64-bit fields sit on 4-byte
 * boundaries (osk_u64_a4_t).
 *
 * The calls that allocate, issue and check these records are in
 * kmod/comm/user/sc_ioctl.h.
 */
#ifndef OSK_IOCTL_H
#define OSK_IOCTL_H

#include <stddef.h>
#include <stdint.h>

#include "osk_types.h"

typedef uint64_t osk_u64_a4_t __attribute__((aligned(4)));

#define OSK_IOCTL_BASE 0xC0561234u
#define OSK_IOCTL_VERSION 266    /* system-control interface this build speaks */
#define MAX_IOCTL_SIZE 0x14D000u /* 1363968 bytes, header included */
#define OSK_IOCTL_NCMDS 288      /* indexes 0..OSKCMD_LAST */

#define OSK_IOCTL_INDEX(cmd) ((uint32_t)(cmd)-OSK_IOCTL_BASE)
#define OSK_IOCTL_IS_CMD(req)                                                                      \
    ((uint32_t)(req) >= OSK_IOCTL_BASE && (uint32_t)(req) <= (uint32_t)OSKCMD_LAST)

typedef enum ioctl_enum : uint32_t {
    SCCMD_VERSION = OSK_IOCTL_BASE + 0,
    SCCMD_GETNODEPRESENT = OSK_IOCTL_BASE + 1,
    SCCMD_GETINFO = OSK_IOCTL_BASE + 2,
    SCCMD_SETINFO = OSK_IOCTL_BASE + 3,
    SCCMD_SETINFOSTATUS = OSK_IOCTL_BASE + 4,
    SCCMD_SETEXPTOCGEN = OSK_IOCTL_BASE + 5,
    SCCMD_VLUNS_READY = OSK_IOCTL_BASE + 6,
    SCCMD_OSKINV = OSK_IOCTL_BASE + 7,
    SCCMD_SCSIOP = OSK_IOCTL_BASE + 8,
    SCCMD_DOCDB = OSK_IOCTL_BASE + 9,
    SCCMD_DOCDBV = OSK_IOCTL_BASE + 10,
    SCCMD_ASCDB_INI = OSK_IOCTL_BASE + 11,
    SCCMD_ASCDB_ACK = OSK_IOCTL_BASE + 12,
    SCCMD_HWINV = OSK_IOCTL_BASE + 13,
    SCCMD_IDETIME = OSK_IOCTL_BASE + 14,
    SCCMD_IDEERROR = OSK_IOCTL_BASE + 15,
    SCCMD_GETCINFO = OSK_IOCTL_BASE + 16,
    SCCMD_GETINNERNODES = OSK_IOCTL_BASE + 17,
    SCCMD_GETCMASK = OSK_IOCTL_BASE + 18,
    SCCMD_SETUPSP = OSK_IOCTL_BASE + 19,
    SCCMD_UNSETSP = OSK_IOCTL_BASE + 20,
    SCCMD_CICHANGE = OSK_IOCTL_BASE + 21,
    SCCMD_NEWLOOP = OSK_IOCTL_BASE + 22,
    SCCMD_FCSTATS = OSK_IOCTL_BASE + 23,
    SCCMD_EXCBSTATS = OSK_IOCTL_BASE + 24,
    SCCMD_NODE_EEPROM = OSK_IOCTL_BASE + 25,
    SCCMD_NODE_ENV = OSK_IOCTL_BASE + 26,
    SCCMD_NODE_MGS = OSK_IOCTL_BASE + 27,
    SCCMD_PS_BAT = OSK_IOCTL_BASE + 28,
    SCCMD_TSTBAT = OSK_IOCTL_BASE + 29,
    SCCMD_STOPBT = OSK_IOCTL_BASE + 30,
    SCCMD_PSOFF = OSK_IOCTL_BASE + 31,
    SCCMD_PSON = OSK_IOCTL_BASE + 32,
    SCCMD_PSBAT_PROMRW = OSK_IOCTL_BASE + 33,
    SCCMD_SS_STATS = OSK_IOCTL_BASE + 34,
    SCCMD_HOSTSTATS = OSK_IOCTL_BASE + 35,
    SCCMD_BRMSG = OSK_IOCTL_BASE + 36,
    SCCMD_BRDUMP = OSK_IOCTL_BASE + 37,
    SCCMD_KDB = OSK_IOCTL_BASE + 38,
    SCCMD_LKCD = OSK_IOCTL_BASE + 39,
    SCCMD_BPLINK = OSK_IOCTL_BASE + 40,
    SCCMD_BRANT_REG = OSK_IOCTL_BASE + 41,
    SCCMD_SETSDNAME = OSK_IOCTL_BASE + 42,
    SCCMD_SETSHNAME = OSK_IOCTL_BASE + 43,
    SCCMD_SETSHRDY = OSK_IOCTL_BASE + 44,
    SCCMD_SFPINFO = OSK_IOCTL_BASE + 45,
    SCCMD_PORTOP = OSK_IOCTL_BASE + 46,
    SCCMD_NODEOP = OSK_IOCTL_BASE + 47,
    SCCMD_GETSERNUM = OSK_IOCTL_BASE + 48,
    SCCMD_SETSERNUM = OSK_IOCTL_BASE + 49,
    SCCMD_BLINKSYNC = OSK_IOCTL_BASE + 50,
    SCCMD_BLINKCOLOR = OSK_IOCTL_BASE + 51,
    SCCMD_GETSYSLED = OSK_IOCTL_BASE + 52,
    SCCMD_LOCATESYS = OSK_IOCTL_BASE + 53,
    SCCMD_BARRIER = OSK_IOCTL_BASE + 54,
    SCCMD_CHAIN = OSK_IOCTL_BASE + 55,
    SCCMD_REG_IOCTLSRC = OSK_IOCTL_BASE + 56,
    SCCMD_REG_LCKSTP = OSK_IOCTL_BASE + 57,
    SCCMD_REL_LCKSTP = OSK_IOCTL_BASE + 58,
    SCCMD_REM_LCKSTP = OSK_IOCTL_BASE + 59,
    SCCMD_CINFO_LCKSTP = OSK_IOCTL_BASE + 60,
    SCCMD_CICHANGE_LCKSTP = OSK_IOCTL_BASE + 61,
    SCCMD_MEMSCRUB = OSK_IOCTL_BASE + 62,
    SCCMD_NODE_RESET = OSK_IOCTL_BASE + 63,
    SCCMD_VERFINV = OSK_IOCTL_BASE + 64,
    SCCMD_UPDATEINFO = OSK_IOCTL_BASE + 65,
    SCCMD_VVBLKINV = OSK_IOCTL_BASE + 66,
    SCCMD_PS_STATE = OSK_IOCTL_BASE + 67,
    SCCMD_GET_VARS = OSK_IOCTL_BASE + 68,
    SCCMD_SET_LOGLIMIT = OSK_IOCTL_BASE + 69,
    SCCMD_SET_TS_INFO = OSK_IOCTL_BASE + 70,
    SCCMD_GET_TS_INFO = OSK_IOCTL_BASE + 71,
    SCCMD_RELOCINV = OSK_IOCTL_BASE + 72,
    SCCMD_SWITCH_LOG = OSK_IOCTL_BASE + 73,
    SCCMD_QUERY_LOG = OSK_IOCTL_BASE + 74,
    SCCMD_CHK_HANDLE = OSK_IOCTL_BASE + 75,
    SCCMD_DEVGONE = OSK_IOCTL_BASE + 76,
    SCCMD_GETMEMVAL = OSK_IOCTL_BASE + 77,
    SCCMD_SETMEMVAL = OSK_IOCTL_BASE + 78,
    SCCMD_CALLFUNC = OSK_IOCTL_BASE + 79,
    PDCMD_DEFINE = OSK_IOCTL_BASE + 80,
    PDCMD_DEVTYPE = OSK_IOCTL_BASE + 81,
    PDCMD_REMOVE = OSK_IOCTL_BASE + 82,
    PDCMD_START = OSK_IOCTL_BASE + 83,
    PDCMD_STOP = OSK_IOCTL_BASE + 84,
    PDCMD_STATS = OSK_IOCTL_BASE + 85,
    PDCMD_NEWPATH = OSK_IOCTL_BASE + 86,
    PDCMD_GETDEFINED = OSK_IOCTL_BASE + 87,
    PDCMD_CLEAR = OSK_IOCTL_BASE + 88,
    PDCMD_CLTRM = OSK_IOCTL_BASE + 89,
    PDCMD_DISABLE = OSK_IOCTL_BASE + 90,
    PDCMD_VIOCTL_WR = OSK_IOCTL_BASE + 91,
    LDCMD_DEFINE = OSK_IOCTL_BASE + 92,
    LDCMD_REMOVE = OSK_IOCTL_BASE + 93,
    LDCMD_MOVECHFAIL = OSK_IOCTL_BASE + 94,
    LDCMD_SETPINNED = OSK_IOCTL_BASE + 95,
    LDCMD_START = OSK_IOCTL_BASE + 96,
    LDCMD_STOP = OSK_IOCTL_BASE + 97,
    LDCMD_STATS = OSK_IOCTL_BASE + 98,
    LDCMD_NEWBK = OSK_IOCTL_BASE + 99,
    LDCMD_NEWOWNER = OSK_IOCTL_BASE + 100,
    LDCMD_NEWLIST = OSK_IOCTL_BASE + 101,
    LDCMD_BEGREL = OSK_IOCTL_BASE + 102,
    LDCMD_SETUPREL = OSK_IOCTL_BASE + 103,
    LDCMD_CMPREL = OSK_IOCTL_BASE + 104,
    LDCMD_RESYNC = OSK_IOCTL_BASE + 105,
    LDCMD_CONCHECK = OSK_IOCTL_BASE + 106,
    LDCMD_WRTTHRU = OSK_IOCTL_BASE + 107,
    LDCMD_STCHR = OSK_IOCTL_BASE + 108,
    LDCMD_RSETST = OSK_IOCTL_BASE + 109,
    LDCMD_MARKVV = OSK_IOCTL_BASE + 110,
    LDCMD_SBHIO = OSK_IOCTL_BASE + 111,
    LDCMD_CBHIO = OSK_IOCTL_BASE + 112,
    LDCMD_RSETRESYNC = OSK_IOCTL_BASE + 113,
    LDCMD_PINNEDRSET = OSK_IOCTL_BASE + 114,
    LDCMD_PINLDS = OSK_IOCTL_BASE + 115,
    LDCMD_PSHOW = OSK_IOCTL_BASE + 116,
    LDCMD_PINLD_GETST = OSK_IOCTL_BASE + 117,
    LDCMD_SETAR1 = OSK_IOCTL_BASE + 118,
    LDCMD_PURGE_PDATA = OSK_IOCTL_BASE + 119,
    LDCMD_MIRROR = OSK_IOCTL_BASE + 120,
    LDCMD_TRUNCATE = OSK_IOCTL_BASE + 121,
    LDCMD_SET_SWITCHOVER = OSK_IOCTL_BASE + 122,
    LDCMD_SET_DEVTYPE = OSK_IOCTL_BASE + 123,
    LDCMD_PREFREC = OSK_IOCTL_BASE + 124,
    LDCMD_QUERY_SO = OSK_IOCTL_BASE + 125,
    CHCMD_STATS = OSK_IOCTL_BASE + 126,
    CHCMD_STON = OSK_IOCTL_BASE + 127,
    CHCMD_STOFF = OSK_IOCTL_BASE + 128,
    CHCMD_STATE = OSK_IOCTL_BASE + 129,
    CHCMD_QUERY_STATE = OSK_IOCTL_BASE + 130,
    CHCMD_QUERY_BURRQ = OSK_IOCTL_BASE + 131,
    CHCMD_PINFREE = OSK_IOCTL_BASE + 132,
    CHCMD_STCHR = OSK_IOCTL_BASE + 133,
    CHCMD_SBHIO = OSK_IOCTL_BASE + 134,
    CHCMD_CBHIO = OSK_IOCTL_BASE + 135,
    VVCMD_DEFINE = OSK_IOCTL_BASE + 136,
    VVCMD_GROW_BEGIN = OSK_IOCTL_BASE + 137,
    VVCMD_GROW_END = OSK_IOCTL_BASE + 138,
    VVCMD_REMOVE = OSK_IOCTL_BASE + 139,
    VVCMD_STALE_VV = OSK_IOCTL_BASE + 140,
    VVCMD_FAILED_VV = OSK_IOCTL_BASE + 141,
    VVCMD_STATS = OSK_IOCTL_BASE + 142,
    VVCMD_SNAP = OSK_IOCTL_BASE + 143,
    VVCMD_SNAP_BLOCK = OSK_IOCTL_BASE + 144,
    VVCMD_ATTACH = OSK_IOCTL_BASE + 145,
    VVCMD_DETACH = OSK_IOCTL_BASE + 146,
    VVCMD_NEWBK = OSK_IOCTL_BASE + 147,
    VVCMD_USE = OSK_IOCTL_BASE + 148,
    VVCMD_REGWATCH = OSK_IOCTL_BASE + 149,
    VVCMD_REGSTATS = OSK_IOCTL_BASE + 150,
    VVCMD_RESYNC = OSK_IOCTL_BASE + 151,
    VVCMD_START = OSK_IOCTL_BASE + 152,
    VVCMD_COPY = OSK_IOCTL_BASE + 153,
    VVCMD_SSDIFF = OSK_IOCTL_BASE + 154,
    VVCMD_CREATEBLOCK = OSK_IOCTL_BASE + 155,
    VVCMD_DISABLEBLOCK = OSK_IOCTL_BASE + 156,
    VVCMD_ENABLEBLOCK = OSK_IOCTL_BASE + 157,
    VVCMD_BLK_ERRTIME = OSK_IOCTL_BASE + 158,
    VVCMD_UPDATE_STATE = OSK_IOCTL_BASE + 159,
    VVCMD_ADMSTAT = OSK_IOCTL_BASE + 160,
    VVCMD_ADMOP = OSK_IOCTL_BASE + 161,
    VVCMD_SET_POL = OSK_IOCTL_BASE + 162,
    VVCMD_L1TBL = OSK_IOCTL_BASE + 163,
    VVCMD_TPTYPE = OSK_IOCTL_BASE + 164,
    VVCMD_CHGRFAIL = OSK_IOCTL_BASE + 165,
    VVCMD_AVAIL = OSK_IOCTL_BASE + 166,
    VVCMD_RENAME = OSK_IOCTL_BASE + 167,
    VVCMD_REPL_VVMAP = OSK_IOCTL_BASE + 168,
    VVCMD_MOD_VVMAP = OSK_IOCTL_BASE + 169,
    VVCMD_SET_FO_VVMAP = OSK_IOCTL_BASE + 170,
    VVCMD_GET_FO_VVMAP = OSK_IOCTL_BASE + 171,
    CMCMD_GETBYND = OSK_IOCTL_BASE + 172,
    CMCMD_CLRBYND = OSK_IOCTL_BASE + 173,
    CMCMD_GETBYVV = OSK_IOCTL_BASE + 174,
    CMCMD_CLRBYVV = OSK_IOCTL_BASE + 175,
    CMCMD_FLUSH_SPD = OSK_IOCTL_BASE + 176,
    NDCMD_SHUTDOWN = OSK_IOCTL_BASE + 177,
    NDCMD_BATLIFE = OSK_IOCTL_BASE + 178,
    TCKCMD_TCKSTAT = OSK_IOCTL_BASE + 179,
    TCKCMD_TCKSTART = OSK_IOCTL_BASE + 180,
    TCKCMD_TCKSTOP = OSK_IOCTL_BASE + 181,
    TCKCMD_TCKEVENT = OSK_IOCTL_BASE + 182,
    TCKCMD_TCKPROF = OSK_IOCTL_BASE + 183,
    PF_SAVE = OSK_IOCTL_BASE + 184,
    PF_REC = OSK_IOCTL_BASE + 185,
    PF_QUERY = OSK_IOCTL_BASE + 186,
    PF_WIPE = OSK_IOCTL_BASE + 187,
    PF_GETSTATE = OSK_IOCTL_BASE + 188,
    PF_SUBLCK_SAVE = OSK_IOCTL_BASE + 189,
    RMCMD_SETUP = OSK_IOCTL_BASE + 190,
    RMCMD_CONFIG = OSK_IOCTL_BASE + 191,
    RMCMD_VV_CONFIG = OSK_IOCTL_BASE + 192,
    RMCMD_VVSYNC = OSK_IOCTL_BASE + 193,
    RMCMD_GET_LD_OWNER = OSK_IOCTL_BASE + 194,
    RMCMD_ADD_LOG_ENTRY = OSK_IOCTL_BASE + 195,
    RMCMD_PRINT_LOG = OSK_IOCTL_BASE + 196,
    RMCMD_SEND_RESP_INTR = OSK_IOCTL_BASE + 197,
    MTX_DATA_SZ = OSK_IOCTL_BASE + 198,
    MTX_GET_DATA = OSK_IOCTL_BASE + 199,
    MTX_STAT_STOP = OSK_IOCTL_BASE + 200,
    MTX_STAT_RESTART = OSK_IOCTL_BASE + 201,
    KSYM_GET = OSK_IOCTL_BASE + 202,
    IPCMD_DEFINE = OSK_IOCTL_BASE + 203,
    IPCMD_REMOVE = OSK_IOCTL_BASE + 204,
    IPCMD_QUERY = OSK_IOCTL_BASE + 205,
    IJCMD_QUERY = OSK_IOCTL_BASE + 206,
    IJCMD_ADD = OSK_IOCTL_BASE + 207,
    IJCMD_RESET = OSK_IOCTL_BASE + 208,
    PRCMD_LOOKUP_TABLE = OSK_IOCTL_BASE + 209,
    PRCMD_CREATE_TABLE = OSK_IOCTL_BASE + 210,
    PRCMD_REMOVE_TABLE = OSK_IOCTL_BASE + 211,
    PRCMD_RELEASE_TABLE = OSK_IOCTL_BASE + 212,
    PRCMD_START_TRANS = OSK_IOCTL_BASE + 213,
    PRCMD_ROLLBACK_TRANS = OSK_IOCTL_BASE + 214,
    PRCMD_COMMIT_TRANS = OSK_IOCTL_BASE + 215,
    PRCMD_READ_VALUE = OSK_IOCTL_BASE + 216,
    PRCMD_RESET_KEY_CTR = OSK_IOCTL_BASE + 217,
    PRCMD_READ_NEXT_KEY = OSK_IOCTL_BASE + 218,
    PRCMD_SET_ENTRY = OSK_IOCTL_BASE + 219,
    PRCMD_REMOVE_ENTRY = OSK_IOCTL_BASE + 220,
    PRCMD_REMOVE_ENTRY_TABLE = OSK_IOCTL_BASE + 221,
    PRCMD_READ_VALUE_TABLE = OSK_IOCTL_BASE + 222,
    PRCMD_SET_ENTRY_TABLE = OSK_IOCTL_BASE + 223,
    PRCMD_READ_FILE = OSK_IOCTL_BASE + 224,
    PRCMD_WRITE_FILE = OSK_IOCTL_BASE + 225,
    PRCMD_FSYNC_FILE = OSK_IOCTL_BASE + 226,
    PRCMD_REMOVE_FILE = OSK_IOCTL_BASE + 227,
    PRCMD_COPY_FILE = OSK_IOCTL_BASE + 228,
    PRCMD_RENAME_FILE = OSK_IOCTL_BASE + 229,
    PRCMD_ROLL_FILE = OSK_IOCTL_BASE + 230,
    PRCMD_GET_LENGTH = OSK_IOCTL_BASE + 231,
    PRCMD_STOP = OSK_IOCTL_BASE + 232,
    PRCMD_TRANSITION = OSK_IOCTL_BASE + 233,
    PRCMD_SYNC_IDE = OSK_IOCTL_BASE + 234,
    PRCMD_GET_STATE = OSK_IOCTL_BASE + 235,
    EMCMD_POST = OSK_IOCTL_BASE + 236,
    EMCMD_NEXTEVT = OSK_IOCTL_BASE + 237,
    EMCMD_ACKEVT = OSK_IOCTL_BASE + 238,
    EMCMD_RSTEVT = OSK_IOCTL_BASE + 239,
    EMCMD_GETINCN = OSK_IOCTL_BASE + 240,
    VACMD_GET = OSK_IOCTL_BASE + 241,
    VACMD_SET = OSK_IOCTL_BASE + 242,
    VACMD_LIST = OSK_IOCTL_BASE + 243,
    SDTCMD_RESREL = OSK_IOCTL_BASE + 244,
    SDTCMD_RRDONE = OSK_IOCTL_BASE + 245,
    SDTCMD_PRCHECK = OSK_IOCTL_BASE + 246,
    SDTCMD_PRUPDATE = OSK_IOCTL_BASE + 247,
    SDTCMD_PRDONE = OSK_IOCTL_BASE + 248,
    SDT_PGR_REGS_LIMIT = OSK_IOCTL_BASE + 249,
    SDT_PGR_REGS_COUNT = OSK_IOCTL_BASE + 250,
    SDTCMD_NACA = OSK_IOCTL_BASE + 251,
    SDTCMD_NACADONE = OSK_IOCTL_BASE + 252,
    IDECMD_RW = OSK_IOCTL_BASE + 253,
    IDECMD_CK = OSK_IOCTL_BASE + 254,
    DIAGCMD = OSK_IOCTL_BASE + 255,
    SCCMD_GETDCINFO = OSK_IOCTL_BASE + 256,
    SVLOG_START = OSK_IOCTL_BASE + 257,
    SVLOG_STOP = OSK_IOCTL_BASE + 258,
    SVLOG_QUERY = OSK_IOCTL_BASE + 259,
    BIOS_NVRAM_SET = OSK_IOCTL_BASE + 260,
    BIOS_NVRAM_UNSET = OSK_IOCTL_BASE + 261,
    BIOS_NVRAM_GET = OSK_IOCTL_BASE + 262,
    BIOS_NVRAM_GETNEXT = OSK_IOCTL_BASE + 263,
    SCCMD_RST_REASON = OSK_IOCTL_BASE + 264,
    SCCMD_DIMMINFO = OSK_IOCTL_BASE + 265,
    SCCMD_IDEINFO = OSK_IOCTL_BASE + 266,
    SCCMD_BIOSINFO = OSK_IOCTL_BASE + 267,
    SCCMD_SYSSERIES = OSK_IOCTL_BASE + 268,
    SCCMD_FANINFO = OSK_IOCTL_BASE + 269,
    SCCMD_FANSPEED = OSK_IOCTL_BASE + 270,
    SCCMD_CPUTEMP = OSK_IOCTL_BASE + 271,
    SCCMD_CACHEINFO = OSK_IOCTL_BASE + 272,
    TSKID_GET = OSK_IOCTL_BASE + 273,
    TSKID_SET = OSK_IOCTL_BASE + 274,
    TSKID_READ = OSK_IOCTL_BASE + 275,
    TSKID_MASTERSET = OSK_IOCTL_BASE + 276,
    TSK_CLEAN = OSK_IOCTL_BASE + 277,
    TSK_SET = OSK_IOCTL_BASE + 278,
    FCRC_CMD_DEFINE = OSK_IOCTL_BASE + 279,
    FCRC_CMD_REMOVE = OSK_IOCTL_BASE + 280,
    FCRC_CMD_QUERY = OSK_IOCTL_BASE + 281,
    FCRC_CMD_ENABLE = OSK_IOCTL_BASE + 282,
    BRANT_GETDEV_SIZE = OSK_IOCTL_BASE + 283,
    BRANT_GETDEV = OSK_IOCTL_BASE + 284,
    OSK_GET_RANDOM_NUM = OSK_IOCTL_BASE + 285,
    ISCSI_SET_CHAP_TABLE = OSK_IOCTL_BASE + 286,
    OSKCMD_LAST = OSK_IOCTL_BASE + 287
} ioctl_enum_t;

typedef enum iotype {
    IO_TYPE_NOTDEFINED = 0,
    IO_TYPE_MANGLER = 1,
    IO_TYPE_TOCSVR = 2,
    IO_TYPE_PDSCRUB = 3,
} iotype_t;

#define IO_NODE_ANY 253 /* io_node and io_srcnid of a new header */
#define IO_ERTXT_LEN 240

typedef struct iohdr {
    node_t io_node; /* target node */
    uint8_t io_pad0[3];
    int32_t io_status; /* osk_errcode_t; TE_ACTIVE until the kernel answers */
    uint16_t io_prio_flg;
    uint8_t io_pad1[2];
    uint32_t io_cmd;    /* ioctl_enum_t */
    uint32_t io_total;  /* bytes in the whole record */
    uint32_t io_len;    /* bytes in use */
    int32_t io_srctype; /* iotype_t */
    uint8_t io_srcnid;
    uint8_t io_pad2[3];
    int32_t io_srcpid;
    uint32_t io_sysgen;
    osk_u64_a4_t io_async;
    uint32_t io_chksum;
    char io_ertxt[IO_ERTXT_LEN];
} iohdr_t;

static_assert(sizeof(iohdr_t) == 292);
static_assert(offsetof(iohdr_t, io_status) == 4);
static_assert(offsetof(iohdr_t, io_prio_flg) == 8);
static_assert(offsetof(iohdr_t, io_cmd) == 12);
static_assert(offsetof(iohdr_t, io_total) == 16);
static_assert(offsetof(iohdr_t, io_len) == 20);
static_assert(offsetof(iohdr_t, io_srctype) == 24);
static_assert(offsetof(iohdr_t, io_srcnid) == 28);
static_assert(offsetof(iohdr_t, io_srcpid) == 32);
static_assert(offsetof(iohdr_t, io_sysgen) == 36);
static_assert(offsetof(iohdr_t, io_async) == 40);
static_assert(offsetof(iohdr_t, io_chksum) == 48);
static_assert(offsetof(iohdr_t, io_ertxt) == 52);

/* SCCMD_VERSION: the kernel's version record. */
typedef struct versn {
    uint32_t vr_major;
    uint32_t vr_minor;
    uint32_t vr_patch;
    uint32_t vr_build;
    uint32_t vr_ioctl; /* system-control interface version */
    char vr_text[672];
} versn_t;

typedef struct sccmd_version {
    iohdr_t vr_hdr;
    versn_t vr_versn;
    uint8_t vr_spare[984 - 292 - 692];
} sccmd_version_t;

static_assert(sizeof(versn_t) == 692);
static_assert(sizeof(sccmd_version_t) == 984);
static_assert(offsetof(sccmd_version_t, vr_versn.vr_ioctl) == 308);

/* Cluster state, as SCCMD_GETCINFO and the cluster API report it. */
typedef struct cstate {
    node_t cs_mynode;
    node_t cs_master;
    cluster_t cs_online;
    uint32_t cs_state;
    uint32_t cs_node_incns[OSK_MAX_NODES];
    uint32_t cs_node_recn[OSK_MAX_NODES];
    cluster_t cs_recn_mask[OSK_MAX_NODES];
    uint32_t cs_cp_type;
    osk_u64_a4_t cs_start_time;
    uint32_t cs_upgr_state; /* non-zero while a rolling upgrade runs */
    uint32_t cs_upgr_group; /* its expedition mask */
} cstate_t;

static_assert(sizeof(cstate_t) == 108);

typedef struct cinfo {
    iohdr_t ci_hdr;
    cstate_t ci_cstate;
} cinfo_t;

static_assert(sizeof(cinfo_t) == 400);
static_assert(offsetof(cinfo_t, ci_cstate.cs_online) == 294);
static_assert(offsetof(cinfo_t, ci_cstate.cs_start_time) == 384);
static_assert(offsetof(cinfo_t, ci_cstate.cs_upgr_group) == 396);

/* SCCMD_NODEOP */
#define NODEOP_PORT_PARAMS 6

typedef struct nodeop {
    iohdr_t no_hdr;
    uint32_t no_opcode;
    uint32_t no_slot;
    uint32_t no_port;
    osk_u64_a4_t no_port_params;
    uint8_t no_spare[8];
} nodeop_t;

static_assert(sizeof(nodeop_t) == 320);
static_assert(offsetof(nodeop_t, no_port_params) == 304);

/* SCCMD_QUERY_LOG: bit 0 of a node's flag means it is fully integrated. */
#define QL_INTEGRATED 0x1

typedef struct sccmd_query_log {
    iohdr_t ql_hdr;
    uint32_t ql_nodes;
    int32_t ql_taglog_flags[OSK_MAX_NODES];
    int32_t ql_pdata_rests;
} sccmd_query_log_t;

static_assert(sizeof(sccmd_query_log_t) == 332);
static_assert(offsetof(sccmd_query_log_t, ql_taglog_flags) == 296);

/* SCCMD_GETDCINFO */
#define CD_MAX_ENTRIES 64

typedef struct cd_info_ent {
    char cdi_name[8];
    osk_u64_a4_t cdi_min_exec;
    osk_u64_a4_t cdi_max_exec;
    int32_t cdi_running;
} cd_info_ent_t;

typedef struct cd_info {
    iohdr_t cd_hdr;
    node_t cd_my_node;
    node_t cd_master_node;
    uint8_t cd_pad[2];
    int32_t cd_count;
    uint32_t cd_usec_ticks;
    int32_t cd_up_start;
    cluster_t cd_outer_mask; /* cluster members */
    cluster_t cd_inner_mask;
    int32_t cd_fail;
    cd_info_ent_t cd_ar[CD_MAX_ENTRIES];
} cd_info_t;

static_assert(sizeof(cd_info_ent_t) == 28);
static_assert(sizeof(cd_info_t) == 2108);
static_assert(offsetof(cd_info_t, cd_outer_mask) == 308);
static_assert(offsetof(cd_info_t, cd_ar) == 316);

/* SCCMD_GET_VARS: cluster settings. */
typedef struct osk_var_info {
    iohdr_t tvi_hdr;
    int32_t num_log_files; /* log generations to keep */
    int32_t admck_after_pfrec;
} osk_var_info_t;

static_assert(sizeof(osk_var_info_t) == 300);
static_assert(offsetof(osk_var_info_t, num_log_files) == 292);

#endif
