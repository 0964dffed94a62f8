/*
 * Interconnect hardware helpers. See brantcomm.h.
 */
#include <stdio.h>
#include <string.h>

#include "brantcomm.h"
#include "cluster.h"
#include "krn_hook.h"
#include "osk_runtime.h"

#include "osk_banned.h"

#define SEG_UNIT_MIB 64
#define MIB (1024ull * 1024ull)

br_dimm_info_t br_dimm_map[BR_DIMM_ENTRIES];
uint32_t dimm_mask = 0xFF;
int br_bank_table[BR_BANK_ENTRIES] = {4, 0, 4, 0, 5, 1, 5, 1, 6, 2, 6, 2, 7, 3, 7, 3};

/* Series 2, variant 1 boards populate slots 0, 1, 4 and 5 only. */
static const int bank_table_s2v1[BR_BANK_ENTRIES] = {0,  2,  0,  2,  1,  3,  1,  3,
                                                     -1, -1, -1, -1, -1, -1, -1, -1};
#define DIMM_MASK_S2V1 0x33

int br_read_regs(br_reg_t *regs)
{
    return osk_krn_hook(HOOK_BR_READ_REGS, HK_ARG(regs), 0, 0, 0);
}

void br_init_dimm_decode(const br_reg_t *regs)
{
    memset(br_dimm_map, 0, sizeof(br_dimm_map));
    uint64_t addr = 0;
    uint32_t prev = 0;
    for (int i = 0; i < 4; i++) {
        uint32_t top = regs->mm_seg_top[2 * i + 1] & 0xFF;
        /* A top below its predecessor is an empty segment, not a wrap. */
        uint32_t size = top > prev ? (top - prev) * SEG_UNIT_MIB : 0;
        if (top > prev)
            prev = top;
        br_dimm_map[i].dimm_size = br_dimm_map[i + 4].dimm_size = size;
        if (size == 0)
            continue;
        uint64_t bound = addr + 2ull * size * MIB;
        br_dimm_map[i].dimm_base = br_dimm_map[i + 4].dimm_base = addr;
        br_dimm_map[i].dimm_bound = br_dimm_map[i + 4].dimm_bound = bound;
        addr = bound;
    }
}

void brant_init_dimm_decode(void)
{
    static int done;
    if (done)
        return;
    done = 1;
    os_cbios_node_info_out_t ni;
    memset(&ni, 0, sizeof(ni));
    if (get_cbios_node_info(&ni) == 0 && ni.ni_series == 2 && ni.ni_variant == 1) {
        memcpy(br_bank_table, bank_table_s2v1, sizeof(br_bank_table));
        dimm_mask = DIMM_MASK_S2V1;
    }
    br_reg_t regs;
    memset(&regs, 0, sizeof(regs));
    if (br_read_regs(&regs) == 0)
        br_init_dimm_decode(&regs);
}

const br_dimm_info_t *brant_dimm_info(int dimm)
{
    if (dimm < 0 || dimm >= BR_DIMM_SLOTS)
        return nullptr;
    return &br_dimm_map[dimm];
}

int brant_seg2dimm(int seg)
{
    if (seg < 0 || seg >= BR_DIMM_SLOTS || !(dimm_mask & (1u << seg)))
        return -1;
    return osk_one_bits(dimm_mask & ((1u << seg) - 1));
}

int brant_cmpa2dimm(uint64_t cm_addr, uint32_t reg_status)
{
    uint32_t banks = (reg_status >> 8) & 0xFFFF;
    if (banks != 0)
        return br_bank_table[__builtin_ctz(banks)];
    for (int i = 0; i < 4; i++) {
        const br_dimm_info_t *d = &br_dimm_map[i];
        if (d->dimm_size != 0 && cm_addr >= d->dimm_base && cm_addr < d->dimm_bound)
            return brant_seg2dimm(cm_addr & 0x40 ? i : i + 4);
    }
    return -1;
}

/* Bit names per register type, bit 0 first; null: the bit is not named. */
typedef const char *bitnames_t[32];

static const bitnames_t decode_names[br_lst_index_decode] = {
    /* PCI status */
    {nullptr,     nullptr,    nullptr,    "INT_STATUS", "CAP_LIST",   "66MHZ",      nullptr,
     "FAST_B2B",  "MDPERR",   nullptr,    nullptr,      "SIG_TABORT", "RCV_TABORT", "RCV_MABORT",
     "SIG_SERR",  "DET_PERR", "LINK_UP",  "DMA_BUSY",   "DMA_ERR",    nullptr,      nullptr,
     "CFG_DONE",  "BAR_OK",   "PWR_OK",   "SERR_LATCH", "PERR_LATCH", nullptr,      "TGT_RETRY",
     "MST_RETRY", "ECC_1BIT", "ECC_2BIT", "FATAL"},
    /* PCI control */
    {"IO_EN",    "MEM_EN",  "BUS_MASTER",  "SPECIAL",  "MWI_EN",   "VGA_SNOOP", "PERR_EN",
     "STEPPING", "SERR_EN", "FAST_B2B_EN", "INTX_DIS", nullptr,    nullptr,     nullptr,
     nullptr,    nullptr,   "DMA_EN",      "PREFETCH", "BURST",    nullptr,     nullptr,
     nullptr,    nullptr,   nullptr,       "ECC_EN",   "ECC_CORR", nullptr,     nullptr,
     "RESET",    nullptr,   nullptr,       "LOCK"},
    /* Link control */
    {"ENABLE",   "TRAIN",    "LOOPBACK", "SCRAMBLE", "CRC_EN",     "RETRY_EN", nullptr,    nullptr,
     "WIDTH_X1", "WIDTH_X4", "WIDTH_X8", nullptr,    "SPEED_1G",   "SPEED_2G", "SPEED_4G", nullptr,
     "ERR_INT",  "DOWN_INT", "UP_INT",   nullptr,    nullptr,      nullptr,    nullptr,    nullptr,
     nullptr,    nullptr,    nullptr,    nullptr,    "FORCE_DOWN", "FORCE_UP", "RESET",    "LOCK"},
    /* Link status */
    {"SYNC",      "ALIGNED",      nullptr, nullptr, "CRC_ERR",  "RETRY",    "OVERRUN", "UNDERRUN",
     "DISPARITY", "CODE_ERR",     nullptr, nullptr, nullptr,    nullptr,    nullptr,   nullptr,
     "REMOTE_UP", "REMOTE_RESET", nullptr, nullptr, nullptr,    nullptr,    nullptr,   nullptr,
     nullptr,     nullptr,        nullptr, nullptr, "TRAINING", "DEGRADED", "DOWN",    "UP"},
    /* Memory control */
    {"MM_EN",  "REFRESH", "SCRUB", "ECC_EN", "ECC_CORR", nullptr, nullptr,     nullptr,
     "DIMM0",  "DIMM1",   "DIMM2", "DIMM3",  nullptr,    nullptr, nullptr,     nullptr,
     "BURST4", "BURST8",  "CAS2",  "CAS3",   nullptr,    nullptr, nullptr,     nullptr,
     nullptr,  nullptr,   nullptr, nullptr,  nullptr,    nullptr, "INIT_BUSY", "INIT_DONE"},
    /* Memory status */
    {"SBE",   "MBE",   "ADDR_PAR", "WR_PAR", nullptr,  nullptr,  nullptr,     "OVERFLOW",
     "BANK0", "BANK1", "BANK2",    "BANK3",  "BANK4",  "BANK5",  "BANK6",     "BANK7",
     "BANK8", "BANK9", "BANK10",   "BANK11", "BANK12", "BANK13", "BANK14",    "BANK15",
     nullptr, nullptr, nullptr,    nullptr,  nullptr,  nullptr,  "SCRUB_ERR", "FATAL"},
    /* Memory decode */
    {"INTERLEAVE", "SEG_EN", "HOLE_EN", nullptr, "REMAP", nullptr, nullptr, nullptr,
     nullptr,      nullptr,  nullptr,   nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr,      nullptr,  nullptr,   nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr,      nullptr,  nullptr,   nullptr, nullptr, nullptr, nullptr, "LOCK"},
};

int brant_decode_reg(uint32_t reg, int type, char *str, int pos, int lim, int col, int indent)
{
    OSK_ASSERT(type < br_lst_index_decode);
    int n = 0; /* characters written */
    int at = col > 0 ? pos % col : pos;
    int sep = 0; /* a trailing separator is pending in the count */
    if (lim > 0)
        str[0] = '\0';
    for (int bit = 31; bit >= 0; bit--) {
        const char *name = decode_names[type][bit];
        if (!(reg & (1u << bit)) || name == nullptr)
            continue;
        int len = (int)strlen(name);
        int brk = col > 0 && at + len > col && at > indent;
        int need = (brk ? 1 + indent : 0) + len + 1;
        if (n + need >= lim)
            break; /* room for the NUL is kept */
        if (brk) {
            if (sep) { /* the separator before a break is the newline itself */
                n--;
                need--;
            }
            str[n++] = '\n';
            memset(str + n, ' ', (size_t)indent);
            n += indent;
            at = indent;
        }
        memcpy(str + n, name, (size_t)len);
        n += len;
        str[n++] = ' ';
        str[n] = '\0';
        at += len + 1;
        sep = 1;
    }
    if (sep)
        str[--n] = '\0';
    return n;
}

static void print_bits(const char *label, uint32_t v, int type)
{
    char names[512];
    int pad = 22;
    (void)brant_decode_reg(v, type, names, pad, (int)sizeof(names), 78, pad);
    osk_cprint("%-12s0x%08x %s\n", label, v, names);
}

void br_print_pci_regs(const br_reg_t *regs)
{
    osk_cprint("PCI\n");
    print_bits("  status", regs->pci_status, BR_REG_PCI_STATUS);
    print_bits("  control", regs->pci_ctrl, BR_REG_PCI_CTRL);
}

void br_print_link_regs(const br_reg_t *regs)
{
    osk_cprint("Links\n");
    for (int l = 0; l < BR_NLINKS; l++) {
        char label[16];
        snprintf(label, sizeof(label), "  %d ctrl", l);
        print_bits(label, regs->link_ctrl[l], BR_REG_LINK_CTRL);
        snprintf(label, sizeof(label), "  %d status", l);
        print_bits(label, regs->link_status[l], BR_REG_LINK_STATUS);
    }
}

void br_print_mm_ctrl(const br_reg_t *regs)
{
    osk_cprint("Memory controller\n");
    print_bits("  control", regs->mm_ctrl, BR_REG_MM_CTRL);
    print_bits("  status", regs->mm_status, BR_REG_MM_STATUS);
    osk_cprint("  error at  0x%08x%08x\n", regs->mm_err_addr_hi, regs->mm_err_addr_lo);
}

void br_print_mm_decode(const br_reg_t *regs)
{
    osk_cprint("Memory decode\n");
    print_bits("  decode", regs->mm_decode, BR_REG_MM_DECODE);
    for (int s = 0; s < BR_NSEGS; s++)
        osk_cprint("  seg%d top  0x%02x (%u MiB)\n", s, regs->mm_seg_top[s] & 0xFF,
                   (regs->mm_seg_top[s] & 0xFF) * SEG_UNIT_MIB);
}

void br_print_regs(const br_reg_t *regs)
{
    osk_cprint("Interconnect ASIC 0x%08x revision %u\n", regs->br_id, regs->br_rev);
    br_print_pci_regs(regs);
    br_print_link_regs(regs);
    br_print_mm_ctrl(regs);
    br_print_mm_decode(regs);
}
