/*
 * Management calls: the record header every request and reply begins with,
 * the opcodes and the servers that own their ranges, and the records of the
 * update driver's calls.
 *
 * On the local connection a record crosses the kernel IPC byte for byte, so
 * these layouts are a wire format shared with the system manager. The nodes
 * are 32-bit little-endian x86: 64-bit fields sit on 4-byte boundaries
 * (pack(4)) and "next" links are 32-bit words, so the same offsets hold on a
 * 64-bit build. Fields the manager keeps to itself are reserved bytes.
 *
 * A reply is one block: the record, then its elements back to back; the
 * record's count field says how many, and mc_size covers all of them.
 */
#ifndef OSK_MCALL_H
#define OSK_MCALL_H

#include <stddef.h>
#include <stdint.h>

#include "osk_ioctl.h" /* versn_t, the node's version record */

#define MCALL_VERSION 403       /* travels in every request; MC_PING reports it */
#define MC_INIT_BUFSIZE 0x20000 /* a thread's reusable buffer starts this big */
#define MCALL_ALIGN 64          /* record allocations are multiples of this */

/* Structured error information */

#define ERR_MAXPARMS 5
#define ERR_PARM_LEN 64

typedef enum err_type {
    ERR_UNKNOWN = 0,
    ERR_OSK_PR_INVALID_STATE,
    ERR_OSK_HOST_NONAME,
    ERR_OSK_HOST_NOTFOUND,
    ERR_OSK_HOST_EXISTS,
    ERR_OSK_HOST_INUSE,
    ERR_OSK_HOST_NOSPACE,
    ERR_OSK_HOST_CHAP_MINLEN,
    ERR_OSK_HOST_CHAP_NOSECRET,
    ERR_OSK_HOST_CHAP_SECRETSMATCH,
    ERR_OSK_HOST_TARGETCHAP_MINLEN,
    ERR_OSK_HOST_TARGETCHAP_ONLY,
    ERR_OSK_HOST_NOCHAP,
    ERR_OSK_HOST_SETDESCPR_FAILED,
    ERR_OSK_HOSTPATH_NONAME,
    ERR_OSK_HOSTPATH_NOTFOUND,
    ERR_OSK_HOSTPATH_EXISTS,
    ERR_OSK_HOSTPATH_INUSE,
    ERR_OSK_HOSTPATH_DUPLICATE,
    ERR_OSK_OBJECT_NOTFOUND,
    ERR_OSK_OBJDESC_TABLE_INVALID,
    ERR_OSK_OBJDESC_GET_FAILED,
    ERR_OSK_OBJDESC_SET_FAILED,
    ERR_OSK_OBJDESC_RM_FAILED,
    ERR_OSK_INTERNAL_ERROR,
    ERR_OSK_LOCATESYS_INVTIME,
    ERR_OSK_NAME_INVALID_LEN,
    ERR_OSK_NAME_INVALID_DASH,
    ERR_OSK_NAME_INVALID_CHAR,
    ERR_OSK_DESC_INVALID_LEN,
    ERR_OSK_DESC_INVALID_CHAR,
    ERR_API_GETHOST_FAILED,
    ERR_API_SETHOST_FAILED,
    ERR_API_CREATEHOST_FAILED,
    ERR_API_ADDPATH_FAILED,
    ERR_API_REMOVEHOST_FAILED,
    ERR_API_REMOVEPATH_FAILED,
    ERR_LAST /* 37: not a valid code */
} err_type_t;

static_assert(ERR_API_REMOVEPATH_FAILED == 36 && ERR_LAST == 37);

typedef struct err_parm {
    char value[ERR_PARM_LEN];
} err_parm_t;

typedef struct err_info {
    uint32_t code; /* an err_type_t */
    struct {
        int count;
        err_parm_t parm[ERR_MAXPARMS];
    } parms;
} err_info_t;

static_assert(sizeof(err_info_t) == 328);

/* The header */

typedef struct mcall {
    uint32_t mc_opcode;
    uint32_t mc_size;    /* bytes in use: header plus body */
    uint32_t mc_bufsize; /* bytes allocated, >= mc_size, multiple of 64 */
    int32_t mc_status;   /* an osk_errcode_t */
    char mc_ertxt[240];
    err_info_t mc_errinfo;
    char mc_callerid[32];
} mcall_t;

static_assert(sizeof(mcall_t) == 616);
static_assert(offsetof(mcall_t, mc_status) == 12);
static_assert(offsetof(mcall_t, mc_ertxt) == 16);
static_assert(offsetof(mcall_t, mc_errinfo) == 256);
static_assert(offsetof(mcall_t, mc_callerid) == 584);

/* Opcodes. Each range is served by one process, named in mcall_to_svrname. */
typedef enum mcops {
    MC_FIRST = 1,
    MC_MANGLER_FIRST = 2,
    MC_PING = 3,
    MC_STARTUP = 4,
    MC_POWERFAIL = 5,
    MC_SYSINFO = 6,
    MC_NODESHUTDOWN = 7,
    MC_CFGDUMP = 8,
    MC_PREP_UPDATE = 9,
    MC_SETPARM = 10,
    MC_GETPARM = 11,
    MCPD_SHOW = 12,
    MCPD_STATS = 13,
    MCPD_ADMIT = 14,
    MCPD_SHOWCH = 15,
    MCPD_RBID = 16,
    MCPD_DNLOAD = 17,
    MCPD_BITMASK = 18,
    MCPD_BYPASS = 19,
    MCPD_ONLOOP = 20,
    MCPD_SCSIDB = 21,
    MCPD_SHOWPDVV = 22,
    MCPD_SPINDISK = 23,
    MCPD_MAPBLK = 24,
    MCPD_DOCDB = 25,
    MCPD_ERRCNT = 26,
    MCPD_SHOWMSET = 27,
    MCLD_LDCK_NOTIFY = 29,
    MCLD_SHOW = 30,
    MCLD_STATS = 31,
    MCLD_SHOWCH = 32,
    MCLD_SHOWCHPOS = 33,
    MCLD_SHOWMP = 34,
    MCLD_MAKE = 35,
    MCALD_MAKE = 36,
    MCLD_RBNAME = 37,
    MCLD_SBNAME = 38,
    MCLD_BADCHUNK = 39,
    MCLD_MAPBLK = 40,
    MCLD_PINST = 41,
    MCLD_PSHOW = 42,
    MCLD_PLDSHOW = 43,
    MCLD_SETLD = 44,
    MCLD_REGMOVE = 45,
    MCLD_COMPACT = 46,
    MCLD_TRUNCATE = 47,
    MCCM_STATS = 48,
    MCCM_RESET = 49,
    MCCM_SBYVV = 50,
    MCCM_RBYVV = 51,
    MCVV_ADMCK_NOTIFY = 52,
    MCVV_SHOW = 53,
    MCVV_SHOW_FOR_API = 54,
    MCVV_STATS = 55,
    MCVV_SHOWMP = 56,
    MCVV_SHOWCHPOS = 57,
    MCVV_MAKE = 58,
    MCVV_SNAP = 59,
    MCVV_PROSV = 60,
    MCAVV_MAKE = 61,
    MCALDVV_MAKE = 62,
    MCALDVV_TUNE = 63,
    MCALDVV_TUNE_RESTART = 64,
    MCVV_GROW = 65,
    MCAVV_GROW = 66,
    MCALDVV_GROW = 67,
    MCVV_RBNAME = 68,
    MCVV_SBNAME = 69,
    MCVV_OWNERS = 70,
    MCVV_REGWATCH = 71,
    MCVV_REGSTATS = 72,
    MCVV_COPY = 73,
    MCVV_PROMOTE = 74,
    MCVV_DROPADM = 75,
    MCVV_SETVV = 76,
    MCVV_MAPBLK = 77,
    MCVV_SNPGRP = 78,
    MCVV_DELGRP = 79,
    MCVV_UPDATESS = 80,
    MCHO_SHOW = 81,
    MCHO_MAKE = 82,
    MCHO_RENAME = 83,
    MCHO_SHOWPATH = 84,
    MCHO_INSTADD = 85,
    MCHO_RBNAME = 86,
    MCHO_RMPATH = 87,
    MCHO_SETCAP = 88,
    MCVL_SHOW = 89,
    MCVL_STATS = 90,
    MCVL_MAKE = 91,
    MCVL_REMOVE = 92,
    MCLP_STATS = 93,
    MCLP_LIP = 94,
    MCLP_RESET = 95,
    MCLP_RESET_LOADFW = 96,
    MCLP_OFFLINE = 97,
    MCLP_RST_TGT = 98,
    MCLP_RST_T_LOADFW = 99,
    MCLP_RST_INI = 100,
    MCLP_RST_I_LOADFW = 101,
    MCLP_PARAM = 102,
    MCLP_NSSYNC = 103,
    MCLP_LINK = 104,
    MCLP_SFP = 105,
    MCLP_SHOW = 106,
    MCLP_LMAP = 107,
    MCLP_LIP_RST = 108,
    MCLP_TGT_RST = 109,
    MCLP_ADISC = 110,
    MCLP_MBREG = 111,
    MCLP_LBF = 112,
    MCLP_FWCORE = 113,
    MCLP_WIG = 114,
    MCLP_SCSI2_SHOW = 115,
    MCLP_SCSI3_SHOW = 116,
    MCLP_RSV_SET = 117,
    MCLP_PPM = 118,
    MCLP_DR = 119,
    MCLP_READ_FW = 120,
    MCLP_STAT_RAW = 121,
    MCLP_IPORT = 122,
    MCTG_SHOW = 123,
    MCEXCB_STATS = 124,
    MCSS_STATS = 125,
    MCJB_SHOW = 126,
    MCJB_SET = 127,
    MCJB_DUMP = 128,
    MCJB_RMJBOD = 129,
    MCJB_SHOWLOG = 130,
    MCJB_BLINK = 131,
    MCJB_DNLOAD = 132,
    MCJB_BPSLED = 133,
    MCJB_ONSLED = 134,
    MCJB_BPDISK = 135,
    MCJB_ONDISK = 136,
    MCJB_LIP = 137,
    MCLB_PMCTAB = 138,
    MCLB_PMCERR = 139,
    MCLED_SOLID = 140,
    MCJBT_MFG = 141,
    MCJBT_JOIN = 142,
    MCJBT_SPLIT = 143,
    MCJBT_SWWN = 144,
    MCJBT_SPID = 145,
    MCJBT_SPREV = 146,
    MCJBT_LAMPCK = 147,
    MCJBT_SRESET = 148,
    MCJBT_LOGINIT = 149,
    MCJBT_TTY = 150,
    MCJBT_LOOPBACK = 151,
    MCJBT_CTRL_CAGPRT = 152,
    MCJBT_CTRL_PDPORT = 153,
    MCJBT_FANSP = 154,
    MCJBT_FCLED = 155,
    MCJBT_PORT = 156,
    MCJBT_DSB = 157,
    MCJBT_DISK = 158,
    MCJBT_GETCAGEDUMP = 159,
    MCJB_DC3CMD = 160,
    MCCP_ENV = 161,
    MCCP_EEPROM = 162,
    MCCP_STARTUP = 163,
    MCCP_SET_LIMIT = 164,
    MCCP_PSBAT = 165,
    MCCP_PSBATALL = 166,
    MCCP_TSTBAT = 167,
    MCCP_STOPBT = 168,
    MCCP_SETBAT = 169,
    MCCP_RSTBLOG = 170,
    MCCP_RSTBAGE = 171,
    MCCP_BATLIFE = 172,
    MCCP_SKIPRCHG = 173,
    MCCP_PSOFF = 174,
    MCCP_PSON = 175,
    MCCP_BATOBI = 176,
    MCCP_PROMRW = 177,
    MCTEST = 178,
    MCIP_ADMIT = 179,
    MCIP_REMOVE = 180,
    MCIP_SHOW = 181,
    MCMV_CH = 182,
    MCMV_CH2SPARE = 183,
    MCMV_PD2SPARE = 184,
    MCMV_PD2SPARENR = 185,
    MCMV_BACKPD = 186,
    MCSP_MAKECH = 187,
    MCSP_MAKEPD = 188,
    MCSP_REMOVECH = 189,
    MCSP_SHOWCH = 190,
    MCHI_LIST = 191,
    MCHI_MERGESIZE = 192,
    MCHI_DOMERGE = 193,
    MCHI_DELETE = 194,
    MCCH_SET = 195,
    MCCH_SHOW = 196,
    MCCH_STATS = 197,
    MCCH_CHLOGGING = 198,
    MCCH_PDLOGGING = 199,
    MCCH_PDPLAYBACK = 200,
    MCINJ_ADD = 201,
    MCINJ_RESET = 202,
    MCINJ_SHOW = 203,
    MCINJ_SHOWA = 204,
    MCINJ_SHOWP = 205,
    MCPD_VACATING = 206,
    MCFS_LS = 207,
    MCFS_READFILE = 208,
    MCFS_RMFILE = 209,
    MCMEM_SCRUB = 210,
    MCDSK_SCRUB = 211,
    MVAR_GET = 212,
    MVAR_SET = 213,
    MVAR_LIST = 214,
    KVAR_GET = 215,
    KVAR_SET = 216,
    KVAR_LIST = 217,
    MCDIAG_IP = 218,
    MCDIAG_FC = 219,
    MCDIAG_BRLINK = 220,
    MCDIAG_BRMEM = 221,
    MCDIAG_GLOBAL = 222,
    MCDIAG_CPUMEM = 223,
    MCDIAG_FCPD = 224,
    MCAUTORESET_CANCEL = 225,
    MCCPU_STATS = 226,
    MCSNMP_MANAGESNMP = 227,
    MCSERNUM_RESET = 228,
    MC_ACT_SRVCMG_OP = 229,
    MC_LESB_RESET = 230,
    MC_LESB_COMPARE = 231,
    MC_LESB_SAVE = 232,
    MC_LESB_USRSHOW = 233,
    MCRM_INIT = 234,
    MCRM_TARGET = 235,
    MCRM_LINK = 236,
    MCRM_SHOW = 237,
    MCRM_SYNC = 238,
    MCRM_GROUP = 239,
    MCRM_ADDVV = 240,
    MCRM_START = 241,
    MCRM_STOP = 242,
    MCRM_DELETE = 243,
    MCRM_DISMISSVV = 244,
    MCRM_SETTARGET = 245,
    MCRM_STAT = 246,
    MCRM_SETGROUP = 247,
    MCRM_CHECK = 248,
    MCTCKS_TCKSTAT = 249,
    MCTCKS_TCKSTART = 250,
    MCTCKS_TCKSTOP = 251,
    MCTP_MAKE = 252,
    MCTP_REMOVE = 253,
    MCTP_SHOW = 254,
    MCTP_UPDATE = 255,
    MCTP_SHOWLD = 256,
    MCTP_SHOWVV = 257,
    MCTP_MAKEVV = 258,
    MCTP_GROWVV = 259,
    MCTP_TUNEVV = 260,
    MCTP_GRV_HIST_RAW = 261,
    MCTP_GRV_HIST_FMT = 262,
    MCTP_COMPACT = 263,
    MCSE_RMHOST = 264,
    MCSE_MVHOST = 265,
    MC_REBOOT_HALTEDNODE = 266,
    MCALD_SETALDPP = 267,
    MC_DIMMINFO = 268,
    MC_IDEINFO = 269,
    MCTSK_READ = 270,
    MCTSK_READDETAIL = 271,
    MCTSK_CANCEL = 272,
    MCTSK_READACTIVE = 273,
    MCTSK_READCOMPLETE = 274,
    MCTSK_READFAIL = 275,
    MCTSK_REMOVE = 276,
    MCFCRC_ADMIT = 277,
    MCFCRC_REMOVE = 278,
    MCFCRC_SHOW = 279,
    MCHODUM_MAKE = 280,
    MC_GETMEMVAL = 281,
    MC_SETMEMVAL = 282,
    MC_CALLFUNC = 283,
    MC_GETKMEMVAL = 284,
    MC_SETKMEMVAL = 285,
    MC_CALLKFUNC = 286,
    MCISCSI_CONTROLPORT = 287,
    MCISCSI_CREATEHOST = 288,
    MCISCSI_ADDHOST = 289,
    MCISCSI_RMPATH = 290,
    MCISCSI_SETCHAP = 291,
    MCISCSI_SHOWTARGET = 292,
    MCISCSI_SHOWPORT = 293,
    MCISCSI_SHOWCHAP = 294,
    MCISCSI_SHOWSESSION = 295,
    MCISCSI_STATPORT = 296,
    MCISCSI_STATSESSION = 297,
    MCISCSI_GETARP = 298,
    MCISCSI_SHOWISNS_DB = 299,
    MC_OBJDESC_GET = 300,
    MC_OBJDESC_RM = 301,
    MC_OBJDESC_SET = 302,
    MC_LOCATESYS = 303,
    MC_PERSONA_CT = 304,
    MC_MANGLER_LAST = 305,
    MC_MCALLHDLR_FIRST = 306,
    MC_SYSCLOCK = 307,
    MC_GETTZLIST = 308,
    MC_SETTZ = 309,
    MC_VERSIONS = 310,
    MC_UPDATE_HISTORY = 311,
    MC_GETPATCHDESCRIPTION = 312,
    MC_TIMEZONE = 315,
    MCE_POSTSTR = 316,
    MCEM_LOG_READ = 317,
    MCEM_LOG_READ_XML = 318,
    MCEM_CLASS_TYPES_XML = 319,
    MCEM_EVT_TYPES_XML = 320,
    MCEM_COMP_TYPES_XML = 321,
    MCEM_ALERT_STATES_XML = 322,
    MCEM_LOG_REMOVE = 323,
    MCEM_LOG_STATS = 324,
    MCTSK_READHIST = 325,
    MCTSK_DELHIST = 326,
    MCNS_GETMEMVAL = 327,
    MCNS_SETMEMVAL = 328,
    MCNS_CALLFUNC = 329,
    MC_MCALLHDLR_LAST = 330,
    MCTS_FIRST = 331,
    MCTS_GETHEADER = 332,
    MCTS_GETMARKERS = 333,
    MCTS_UPDATETOC = 334,
    MCTS_WIPE = 335,
    MCTS_ORDERHINTS = 336,
    MCTS_STATUS = 337,
    MCTS_CHOOSETOC = 338,
    MCTS_SETEXPTOCGEN = 339,
    MCTS_DOWNGRADE = 340,
    MCTS_GETINJ = 341,
    MCTS_ADDINJ = 342,
    MCTS_RSTINJ = 343,
    MCTS_WAITFORREADY = 344,
    MCTS_SHUTTINGDOWN = 345,
    MCTS_TVAR_SET = 346,
    MCTS_TVAR_GET = 347,
    MCTS_SET_BACKUP = 348,
    MCTS_SYNCPROC = 349,
    MCTS_MARKVV = 350,
    MCTS_GETMEMVAL = 351,
    MCTS_SETMEMVAL = 352,
    MCTS_CALLFUNC = 353,
    MCTS_LAST = 354,
    MC_FILTER_FIRST = 355,
    MCEM_FILTER_OPS = 356,
    MCEM_ALERT_SET = 357,
    MCEM_ALERT_READ = 358,
    MCEM_ALERT_READ_XML = 359,
    MCEM_GETMEMVAL = 360,
    MCEM_SETMEMVAL = 361,
    MCEM_CALLFUNC = 362,
    MC_FILTER_LAST = 363,
    MC_NET_FIRST = 364,
    MCNET_FORWARDCREATE = 365,
    MCNET_NEWADDR = 366,
    MCNET_CHANGEDROUTE = 367,
    MCNET_FCHANGES = 368,
    MCNET_ACHANGES = 369,
    MCNET_CHANGESPEED = 370,
    MCNET_CHANGEFAILOVERIP = 371,
    MCNET_CHANGEADDIP = 372,
    MCNET_CHANGEADDMTU = 373,
    MCNET_CHANGEADDISUP = 374,
    MCNET_CHANGEADDGW = 375,
    MCNET_CHANGEADDSPEED = 376,
    MCNET_LISTADDINT = 377,
    MCNET_CHANGENTP = 378,
    MCNET_STATUS = 379,
    MCNET_STATS = 380,
    MCNET_GETMEMVAL = 381,
    MCNET_SETMEMVAL = 382,
    MCNET_CALLFUNC = 383,
    MC_NET_LAST = 384,
    MC_LAST = 385,
} mcops_e;

/* The update driver's records */

#pragma pack(push, 4)

typedef struct mcping {
    mcall_t mp_hdr;
    uint32_t mp_version;
} mcping_t;

typedef struct nodedown {
    mcall_t nd_hdr;
    uint32_t ndid; /* node number, NODEDOWN_ALL for the whole system */
    uint32_t force;
    uint32_t type;
    uint32_t toc_ver; /* convert to this TOC version; 0: no conversion */
    uint32_t is_update;
} nodedown_t;

#define NODEDOWN_ALL 255

typedef struct mcpupdate {
    mcall_t mpu_hdr;
} mcpupdate_t;

/* Physical disks */

typedef struct pdspec {
    uint32_t ps_id;
    uint8_t ps_nodemap;
    uint8_t ps_slotmap;
    uint8_t ps_portmap;
    uint32_t ps_jbod;
    uint32_t ps_sled;
    uint32_t ps_diskpos;
    uint64_t ps_wwn;
    uint32_t ps_state;
    uint32_t ps_pool;
} pdspec_t;

/* One path of a disk; p_lpid is a port position (lpid_t) */
typedef struct pdport {
    uint16_t p_lpid;
    uint8_t p_primary : 1;
    uint8_t p_flags : 7;
    uint8_t p_rsvd[249];
} pdport_t;

typedef struct jpos {
    uint32_t jp_jbid;
    uint8_t jp_jside;
    uint8_t jp_sled;
    uint8_t jp_disk;
    uint8_t jp_rsvd;
} jpos_t;

#define PDS_VALID 1

typedef struct disk {
    uint8_t d_rsvd0[16];
    uint64_t d_wwn;
    uint32_t d_rsvd1;
    uint32_t d_id;
    uint8_t d_rsvd2[8];
    pdport_t d_aport;
    pdport_t d_bport;
    uint8_t d_rsvd3[12];
    jpos_t d_jlst;
    uint8_t d_rsvd4[96];
    uint8_t d_disable_path; /* bit 0: a path is disabled */
    uint8_t d_rsvd5[47];
    uint32_t d_state; /* PDS_VALID ... */
    uint8_t d_rsvd6[404];
} disk_t;

typedef struct pdscmd {
    mcall_t pscmd_hdr;
    pdspec_t pscmd_spec;
    uint32_t pscmd_fdmap;
    uint32_t pscmd_allocatable;
    uint32_t pscmd_total;
    uint32_t pscmd_count;
    disk_t pscmd_disks[];
} pdscmd_t;

/* Logical disks with preserved data. The update driver reads only the first
 * reply word, the number of such disks. */
typedef struct pshow_elem {
    uint8_t pse_rsvd[56];
} pshow_elem_t;

typedef struct pshow {
    mcall_t pshow_hdr;
    union {
        char pshow_ldname[32];
        uint32_t pshow_ld_count;
    };
    uint32_t pshow_total_count;
    uint32_t pshow_count;
    pshow_elem_t pshow_elems[];
} pshow_t;

#define PSHOW_REQ_SIZE 620 /* what the driver sends: the header and one word */

/* Virtual volumes */

typedef struct vvol {
    char v_name[32];
    uint8_t v_rsvd0[248];
    uint64_t v_wwn;
    uint8_t v_rsvd1[276];
} vvol_t;

typedef struct showvv {
    mcall_t showvv_hdr;
    char showvv_name[32];
    uint64_t showvv_wwn;
    uint32_t showvv_count;
    vvol_t showvv_vvols[];
} showvv_t;

/* Hosts */

typedef struct _iscsi_name {
    char name[224];
} iscsi_name_t;

typedef struct _iscsi_chap {
    uint32_t next; /* the manager's list link, 32-bit on the nodes */
    uint32_t host_id;
    char host_name[32];
    iscsi_name_t chap_name;
    uint8_t chap_secret[17];
    iscsi_name_t target_chap_name;
    uint8_t target_chap_secret[17];
    uint32_t chap_flags;
} iscsi_chap_t;

#define PORT_TYPE_ISCSI 2

typedef struct hostpath {
    uint16_t hpath_lpid;
    uint32_t hpath_porttype;
    uint64_t hpath_wwn;
    uint64_t hpath_port_wwn;
    iscsi_name_t hpath_iscsi_name;
    uint32_t hpath_ip_addr; /* bytes in storage order */
} hostpath_t;

/* Variable length: hinfo_pathcnt paths follow; the next host follows the
 * last path of this one. */
typedef struct hostinfo {
    char hinfo_name[32];
    uint32_t hinfo_serial;
    uint32_t hinfo_caps;
    iscsi_chap_t hinfo_chap;
    int32_t hinfo_createtime;
    uint32_t hinfo_pathcnt;
    hostpath_t hinfo_paths[];
} hostinfo_t;

typedef struct showhost {
    mcall_t showhost_hdr;
    char showhost_name[32];
    uint64_t showhost_wwn;
    iscsi_name_t showhost_iscsi_name;
    uint32_t showhost_count;
    uint8_t showhost_hosts[]; /* hostinfo_t records of varying size */
} showhost_t;

/* Volume exports (VLUNs) */

typedef struct stats {
    uint8_t st_rsvd[868];
} stats_t;

typedef struct vluninfo {
    char vli_vname[32];
    char vli_hname[32];
    uint32_t vli_hporttype;
    uint64_t vli_hwwn;
    iscsi_name_t vli_hiscsi_name;
    uint64_t vli_vwwn;
    uint8_t vli_vreadonly : 1;
    uint8_t vli_flags : 7;
    uint8_t vli_rsvd0;
    uint16_t vli_lpid;
    versn_t vli_node_versn;
    uint32_t vli_lun;
    uint32_t vli_type;
    stats_t vli_stats;
} vluninfo_t;

typedef struct showvlun {
    mcall_t showvlun_hdr;
    char showvlun_vname[32];
    char showvlun_hname[32];
    uint32_t showvlun_lun;
    uint16_t showvlun_lpid;
    uint8_t showvlun_nmap;
    uint8_t showvlun_smap;
    uint8_t showvlun_pmap;
    uint32_t showvlun_template;
    uint32_t showvlun_active;
    uint32_t showvlun_service;
    uint32_t showvlun_count;
    vluninfo_t showvlun_vluns[];
} showvlun_t;

/* iSCSI ports */

typedef struct _iscsi_port_settings {
    uint16_t nsp; /* port position */
    uint16_t tpgt;
    uint32_t ip_addr; /* addresses: bytes in storage order */
    uint32_t netmask;
    uint32_t gateway_addr;
    uint16_t tcp_port;
    uint32_t mtu;
    uint16_t dhcp;
    uint32_t isns_primary_addr;
    uint32_t isns_secondary_addr;
    uint16_t isns_port;
    uint32_t ping_count;
    uint32_t state;
    uint32_t portinfo_rate;
    uint32_t portinfo_mode;
    uint8_t mac_addr_bytes[6];
    iscsi_name_t iscsi_name;
    uint16_t failover_peer;
    uint32_t active_ipaddr;
    uint32_t active_netmask;
    uint32_t active_gw_addr;
    uint16_t active_tgpt;
} iscsi_port_settings_t;

typedef struct _port_inventory {
    char portinfo_mfgname[12];
    char portinfo_cardtype[16];
    uint8_t portinfo_cardrev;
    char portinfo_firmware[16];
    char portinfo_serial[16];
} port_inventory_t;

typedef struct _iscsi_portinfo {
    uint32_t next; /* the manager's list link, 32-bit on the nodes */
    iscsi_port_settings_t port_settings;
    port_inventory_t port_inventory;
} iscsi_portinfo_t;

typedef struct mciscsi_showport {
    mcall_t showport_hdr;
    uint16_t nsp;
    uint16_t tpgt;
    uint32_t showport_fdmap;
    uint32_t port_count;
    iscsi_portinfo_t ports[];
} mciscsi_showport_t;

#pragma pack(pop)

/* Port positions (lpid_t): node in bits 6-8, slot 3-5, port 0-2. */
typedef uint16_t lpid_t;
#define LPID_NONE 0xFFFC
#define LPID_NODE(l) (((l) >> 6) & 7)
#define LPID_SLOT(l) (((l) >> 3) & 7)
#define LPID_PORT(l) ((l)&7)
#define LPID_MAKE(n, s, p) ((lpid_t)(((n)&7) << 6 | ((s)&7) << 3 | ((p)&7)))

/* Layouts */

#define MCALL_FIELD_AT(t, f, off) static_assert(offsetof(t, f) == (off), #t "." #f)

static_assert(sizeof(mcping_t) == 620);
MCALL_FIELD_AT(mcping_t, mp_version, 616);
static_assert(sizeof(nodedown_t) == 636);
MCALL_FIELD_AT(nodedown_t, ndid, 616);
MCALL_FIELD_AT(nodedown_t, force, 620);
MCALL_FIELD_AT(nodedown_t, type, 624);
MCALL_FIELD_AT(nodedown_t, toc_ver, 628);
MCALL_FIELD_AT(nodedown_t, is_update, 632);
static_assert(sizeof(mcpupdate_t) == 616);

static_assert(sizeof(pdspec_t) == 36);
MCALL_FIELD_AT(pdspec_t, ps_nodemap, 4);
MCALL_FIELD_AT(pdspec_t, ps_slotmap, 5);
MCALL_FIELD_AT(pdspec_t, ps_portmap, 6);
MCALL_FIELD_AT(pdspec_t, ps_jbod, 8);
MCALL_FIELD_AT(pdspec_t, ps_sled, 12);
MCALL_FIELD_AT(pdspec_t, ps_diskpos, 16);
MCALL_FIELD_AT(pdspec_t, ps_wwn, 20);
MCALL_FIELD_AT(pdspec_t, ps_state, 28);
MCALL_FIELD_AT(pdspec_t, ps_pool, 32);
static_assert(sizeof(pdscmd_t) == 668);
MCALL_FIELD_AT(pdscmd_t, pscmd_spec, 616);
MCALL_FIELD_AT(pdscmd_t, pscmd_fdmap, 652);
MCALL_FIELD_AT(pdscmd_t, pscmd_allocatable, 656);
MCALL_FIELD_AT(pdscmd_t, pscmd_total, 660);
MCALL_FIELD_AT(pdscmd_t, pscmd_count, 664);
MCALL_FIELD_AT(pdscmd_t, pscmd_disks, 668);
static_assert(sizeof(pdport_t) == 252);
static_assert(sizeof(jpos_t) == 8);
static_assert(sizeof(disk_t) == 1116);
MCALL_FIELD_AT(disk_t, d_wwn, 16);
MCALL_FIELD_AT(disk_t, d_id, 28);
MCALL_FIELD_AT(disk_t, d_aport, 40);
MCALL_FIELD_AT(disk_t, d_bport, 292);
MCALL_FIELD_AT(disk_t, d_jlst, 556);
MCALL_FIELD_AT(disk_t, d_disable_path, 660);
MCALL_FIELD_AT(disk_t, d_state, 708);

static_assert(sizeof(pshow_t) == 656);
MCALL_FIELD_AT(pshow_t, pshow_ld_count, 616);
MCALL_FIELD_AT(pshow_t, pshow_total_count, 648);
MCALL_FIELD_AT(pshow_t, pshow_count, 652);
static_assert(sizeof(pshow_elem_t) == 56);

static_assert(sizeof(vvol_t) == 564);
MCALL_FIELD_AT(vvol_t, v_wwn, 280);
static_assert(sizeof(showvv_t) == 660);
MCALL_FIELD_AT(showvv_t, showvv_name, 616);
MCALL_FIELD_AT(showvv_t, showvv_wwn, 648);
MCALL_FIELD_AT(showvv_t, showvv_count, 656);

static_assert(sizeof(iscsi_name_t) == 224);
static_assert(sizeof(iscsi_chap_t) == 528);
MCALL_FIELD_AT(iscsi_chap_t, host_id, 4);
MCALL_FIELD_AT(iscsi_chap_t, host_name, 8);
MCALL_FIELD_AT(iscsi_chap_t, chap_name, 40);
MCALL_FIELD_AT(iscsi_chap_t, chap_secret, 264);
MCALL_FIELD_AT(iscsi_chap_t, target_chap_name, 281);
MCALL_FIELD_AT(iscsi_chap_t, target_chap_secret, 505);
MCALL_FIELD_AT(iscsi_chap_t, chap_flags, 524);
static_assert(sizeof(hostpath_t) == 252);
MCALL_FIELD_AT(hostpath_t, hpath_porttype, 4);
MCALL_FIELD_AT(hostpath_t, hpath_wwn, 8);
MCALL_FIELD_AT(hostpath_t, hpath_port_wwn, 16);
MCALL_FIELD_AT(hostpath_t, hpath_iscsi_name, 24);
MCALL_FIELD_AT(hostpath_t, hpath_ip_addr, 248);
static_assert(sizeof(hostinfo_t) == 576);
MCALL_FIELD_AT(hostinfo_t, hinfo_serial, 32);
MCALL_FIELD_AT(hostinfo_t, hinfo_caps, 36);
MCALL_FIELD_AT(hostinfo_t, hinfo_chap, 40);
MCALL_FIELD_AT(hostinfo_t, hinfo_createtime, 568);
MCALL_FIELD_AT(hostinfo_t, hinfo_pathcnt, 572);
MCALL_FIELD_AT(hostinfo_t, hinfo_paths, 576);
static_assert(sizeof(showhost_t) == 884);
MCALL_FIELD_AT(showhost_t, showhost_name, 616);
MCALL_FIELD_AT(showhost_t, showhost_wwn, 648);
MCALL_FIELD_AT(showhost_t, showhost_iscsi_name, 656);
MCALL_FIELD_AT(showhost_t, showhost_count, 880);
MCALL_FIELD_AT(showhost_t, showhost_hosts, 884);

static_assert(sizeof(versn_t) == 692 && sizeof(stats_t) == 868);
static_assert(sizeof(vluninfo_t) == 1880);
MCALL_FIELD_AT(vluninfo_t, vli_hname, 32);
MCALL_FIELD_AT(vluninfo_t, vli_hporttype, 64);
MCALL_FIELD_AT(vluninfo_t, vli_hwwn, 68);
MCALL_FIELD_AT(vluninfo_t, vli_hiscsi_name, 76);
MCALL_FIELD_AT(vluninfo_t, vli_vwwn, 300);
MCALL_FIELD_AT(vluninfo_t, vli_lpid, 310);
MCALL_FIELD_AT(vluninfo_t, vli_node_versn, 312);
MCALL_FIELD_AT(vluninfo_t, vli_lun, 1004);
MCALL_FIELD_AT(vluninfo_t, vli_type, 1008);
MCALL_FIELD_AT(vluninfo_t, vli_stats, 1012);
static_assert(sizeof(showvlun_t) == 708);
MCALL_FIELD_AT(showvlun_t, showvlun_vname, 616);
MCALL_FIELD_AT(showvlun_t, showvlun_hname, 648);
MCALL_FIELD_AT(showvlun_t, showvlun_lun, 680);
MCALL_FIELD_AT(showvlun_t, showvlun_lpid, 684);
MCALL_FIELD_AT(showvlun_t, showvlun_nmap, 686);
MCALL_FIELD_AT(showvlun_t, showvlun_smap, 687);
MCALL_FIELD_AT(showvlun_t, showvlun_pmap, 688);
MCALL_FIELD_AT(showvlun_t, showvlun_template, 692);
MCALL_FIELD_AT(showvlun_t, showvlun_active, 696);
MCALL_FIELD_AT(showvlun_t, showvlun_service, 700);
MCALL_FIELD_AT(showvlun_t, showvlun_count, 704);
MCALL_FIELD_AT(showvlun_t, showvlun_vluns, 708);

static_assert(sizeof(iscsi_port_settings_t) == 304);
static_assert(sizeof(port_inventory_t) == 61);
static_assert(sizeof(iscsi_portinfo_t) == 372);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings, 4);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.ip_addr, 8);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.netmask, 12);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.gateway_addr, 16);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.tcp_port, 20);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.mtu, 24);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.dhcp, 28);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.isns_primary_addr, 32);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.isns_secondary_addr, 36);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.isns_port, 40);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.ping_count, 44);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.state, 48);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.portinfo_rate, 52);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.portinfo_mode, 56);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.mac_addr_bytes, 60);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.iscsi_name, 66);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.failover_peer, 290);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.active_ipaddr, 292);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.active_netmask, 296);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.active_gw_addr, 300);
MCALL_FIELD_AT(iscsi_portinfo_t, port_settings.active_tgpt, 304);
MCALL_FIELD_AT(iscsi_portinfo_t, port_inventory, 308);
MCALL_FIELD_AT(iscsi_portinfo_t, port_inventory.portinfo_cardtype, 320);
MCALL_FIELD_AT(iscsi_portinfo_t, port_inventory.portinfo_cardrev, 336);
MCALL_FIELD_AT(iscsi_portinfo_t, port_inventory.portinfo_firmware, 337);
MCALL_FIELD_AT(iscsi_portinfo_t, port_inventory.portinfo_serial, 353);
static_assert(sizeof(mciscsi_showport_t) == 628);
MCALL_FIELD_AT(mciscsi_showport_t, nsp, 616);
MCALL_FIELD_AT(mciscsi_showport_t, tpgt, 618);
MCALL_FIELD_AT(mciscsi_showport_t, showport_fdmap, 620);
MCALL_FIELD_AT(mciscsi_showport_t, port_count, 624);
MCALL_FIELD_AT(mciscsi_showport_t, ports, 628);

#undef MCALL_FIELD_AT

#endif
