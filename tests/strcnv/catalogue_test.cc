#include <gtest/gtest.h>

#include <set>
#include <string>

#include "osk_mcall.h"
#include "strcnv_support.h"

namespace
{

unsigned field_width(const strcnv_field *f)
{
    switch (f->kind) {
    case SK_HDR:
        return 616;
    case SK_U8:
        return f->len;
    case SK_U16:
        return 2 * f->len;
    case SK_U32:
        return 4 * f->len;
    case SK_U64:
        return 8 * f->len;
    case SK_STR:
    case SK_BYTES:
        return f->len;
    case SK_SUB:
        return strcnv_types[f->sub].size;
    default:
        return 0;
    }
}

bool has_tail(int id)
{
    for (int i = 0; i < strcnv_types[id].nfields; i++) {
        if (strcnv_types[id].fields[i].kind == SK_TAIL)
            return true;
    }
    return false;
}

/* A typo in the one table shows up here rather than as a silent codec. */
TEST(Catalogue, EveryLineDescribesAConsistentLayout)
{
    std::set<std::string> names;
    for (int id = 0; id < STRCNV_NTYPES; id++) {
        const strcnv_type *t = &strcnv_types[id];
        SCOPED_TRACE(t->name);
        EXPECT_TRUE(names.insert(t->name).second) << "duplicate name";
        ASSERT_GT(t->nfields, 0);
        unsigned end = 0;
        for (int i = 0; i < t->nfields; i++) {
            const strcnv_field *f = &t->fields[i];
            EXPECT_GE(f->off, end) << f->name << " overlaps or is out of order";
            end = f->off + field_width(f);
            EXPECT_LE(end, t->size) << f->name;
            if (f->kind == SK_SUB) {
                EXPECT_FALSE(has_tail(f->sub)) << f->name << ": nested records are fixed";
            }
            if (f->kind == SK_TAIL) {
                EXPECT_EQ(i, t->nfields - 1) << "the trailing array comes last";
                EXPECT_EQ(f->off, t->size);
                bool counted = false;
                for (int k = 0; k < i; k++)
                    counted |= t->fields[k].kind == SK_U32 && t->fields[k].off == f->count_off;
                EXPECT_TRUE(counted) << f->name << ": its count must be an encoded u32";
            }
        }
    }
    /* ids are the protocol: a few anchors */
    EXPECT_EQ(STRCNV_ID_mcall, 0);
    EXPECT_EQ(STRCNV_ID_mcping, 11);
    EXPECT_EQ(STRCNV_ID_showvlun, 51);
    EXPECT_EQ(STRCNV_ID_mciscsi_showport, 177);
    EXPECT_EQ(STRCNV_ID_tmreq, 214);
}

const strcnv_field *field(int id, const char *name)
{
    for (int i = 0; i < strcnv_types[id].nfields; i++) {
        if (strcmp(strcnv_types[id].fields[i].name, name) == 0)
            return &strcnv_types[id].fields[i];
    }
    return nullptr;
}

#define AT(id, type, f)                                                                            \
    do {                                                                                           \
        const strcnv_field *d = field(STRCNV_ID_##id, #f);                                         \
        ASSERT_NE(d, nullptr) << #id "." #f;                                                       \
        EXPECT_EQ(d->off, offsetof(type, f)) << #id "." #f;                                        \
    } while (0)

/* The codecs and the kernel-IPC layouts describe the same records. */
TEST(Catalogue, DriverRecordsMatchTheSharedLayouts)
{
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_mcall], sizeof(mcall_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_mcping], sizeof(mcping_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_nodedown], sizeof(nodedown_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_mcpupdate], sizeof(mcpupdate_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_pdspec], sizeof(pdspec_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_port], sizeof(pdport_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_jpos], sizeof(jpos_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_disk], sizeof(disk_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_pdscmd], sizeof(pdscmd_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_pshow], sizeof(pshow_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_pshow_elem], sizeof(pshow_elem_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_vvol], sizeof(vvol_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_showvv], sizeof(showvv_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID__iscsi_name], sizeof(iscsi_name_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID__iscsi_chap], sizeof(iscsi_chap_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_hostpath], sizeof(hostpath_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_hostinfo], sizeof(hostinfo_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_showhost], sizeof(showhost_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_versn], sizeof(versn_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_stats], sizeof(stats_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_vluninfo], sizeof(vluninfo_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_showvlun], sizeof(showvlun_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID__iscsi_port_settings], sizeof(iscsi_port_settings_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID__port_inventory], sizeof(port_inventory_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID__iscsi_portinfo], sizeof(iscsi_portinfo_t));
    EXPECT_EQ(strcnv_sizes[STRCNV_ID_mciscsi_showport], sizeof(mciscsi_showport_t));

    AT(mcping, mcping_t, mp_version);
    AT(nodedown, nodedown_t, ndid);
    AT(nodedown, nodedown_t, is_update);
    AT(pdspec, pdspec_t, ps_wwn);
    AT(pdspec, pdspec_t, ps_pool);
    AT(pdscmd, pdscmd_t, pscmd_spec);
    AT(pdscmd, pdscmd_t, pscmd_count);
    AT(pdscmd, pdscmd_t, pscmd_disks);
    AT(disk, disk_t, d_wwn);
    AT(disk, disk_t, d_id);
    AT(disk, disk_t, d_aport);
    AT(disk, disk_t, d_bport);
    AT(disk, disk_t, d_jlst);
    AT(disk, disk_t, d_disable_path);
    AT(disk, disk_t, d_state);
    AT(pshow, pshow_t, pshow_ldname);
    AT(pshow, pshow_t, pshow_count);
    AT(showvv, showvv_t, showvv_wwn);
    AT(showvv, showvv_t, showvv_count);
    AT(vvol, vvol_t, v_wwn);
    AT(_iscsi_chap, iscsi_chap_t, target_chap_secret);
    AT(_iscsi_chap, iscsi_chap_t, chap_flags);
    AT(hostpath, hostpath_t, hpath_iscsi_name);
    AT(hostpath, hostpath_t, hpath_ip_addr);
    AT(hostinfo, hostinfo_t, hinfo_chap);
    AT(hostinfo, hostinfo_t, hinfo_pathcnt);
    AT(showhost, showhost_t, showhost_iscsi_name);
    AT(showhost, showhost_t, showhost_count);
    AT(vluninfo, vluninfo_t, vli_hwwn);
    AT(vluninfo, vluninfo_t, vli_lpid);
    AT(vluninfo, vluninfo_t, vli_node_versn);
    AT(vluninfo, vluninfo_t, vli_stats);
    AT(showvlun, showvlun_t, showvlun_lpid);
    AT(showvlun, showvlun_t, showvlun_pmap);
    AT(showvlun, showvlun_t, showvlun_template);
    AT(showvlun, showvlun_t, showvlun_count);
    AT(_iscsi_port_settings, iscsi_port_settings_t, mac_addr_bytes);
    AT(_iscsi_port_settings, iscsi_port_settings_t, iscsi_name);
    AT(_iscsi_port_settings, iscsi_port_settings_t, active_tgpt);
    AT(_port_inventory, port_inventory_t, portinfo_serial);
    AT(_iscsi_portinfo, iscsi_portinfo_t, port_settings);
    AT(_iscsi_portinfo, iscsi_portinfo_t, port_inventory);
    AT(mciscsi_showport, mciscsi_showport_t, tpgt);
    AT(mciscsi_showport, mciscsi_showport_t, port_count);
}

TEST(Catalogue, OpcodesMapToTheirRecords)
{
    /* every row names a catalogued call record, one that starts with the
     * call header; every served opcode has a row */
    std::set<int> seen;
    for (const mcall_name *r = mcall_names; r->mn_opcode != -1; r++) {
        int id = strcnv_find_id(r->mn_name);
        ASSERT_GE(id, 0) << r->mn_name;
        EXPECT_EQ(strcnv_types[id].fields[0].kind, SK_HDR) << r->mn_name;
        EXPECT_EQ(get_op_id(r->mn_opcode), id) << r->mn_name;
        seen.insert(r->mn_opcode);
    }
    for (int op : {2, 305, 306, 330, 331, 354, 355, 363, 364, 384})
        EXPECT_EQ(seen.count(op), 0u) << "range bounds are not calls: " << op;
    for (int op = 3; op <= 304; op++) {
        if (op != 28) {
            EXPECT_EQ(seen.count(op), 1u) << op;
        }
    }
    EXPECT_EQ(mcall_struct_name(0), nullptr);
    EXPECT_EQ(strcnv_find_id("no_such_type"), -1);
}

TEST(CatalogueDeathTest, UnknownOpcodeIsFatal)
{
    EXPECT_EXIT(get_op_id(385), testing::ExitedWithCode(255),
                "Could not find structure name for opcode 0x181");
}

} // namespace
