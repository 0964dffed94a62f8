/*
 * The event library's tables. Types and components this system names are
 * listed; every other row carries its number and generic texts, so row i
 * always describes code i.
 */
#include <array>

#include "em.h"

#include "osk_banned.h"

namespace
{

struct named_type {
    int type;
    const char *name;
    const char *description;
};

constexpr named_type named_types[] = {
    {EVT_UNKNOWN, "evt_unknown", "Unknown event"},
    {EVT_ALL, "evt_all", "All events"},
    {EVT_PING, "evt_ping", "Ping"},
    {EVT_NOTIFY, "evt_notify", "Notification"},
    {EVT_NOTIFY_COMP, "evt_notify_comp", "Component notification"},
    {EVT_NODE_BOOTED, "evt_node_booted", "Node booted"},
    {EVT_SOFTWARE_UPDATE, "evt_software_update", "Software update occurred"},
    {EVT_LAST, "evt_last", "Undefined"},
};

constexpr std::array<evt_type_info_t, EVT_LAST + 1> make_types()
{
    std::array<evt_type_info_t, EVT_LAST + 1> t{};
    for (int i = 0; i <= EVT_LAST; i++)
        t[i] = {i, "evt_other", "Other event"};
    for (const named_type &n : named_types)
        t[n.type] = {n.type, n.name, n.description};
    return t;
}

struct named_component {
    int type;
    const char *name;
    const char *short_name;
    const char *text;
};

constexpr named_component named_components[] = {
    {COMP_UNDEFINED, "comp_undefined", "undefined", "Undefined"},
    {COMP_SW_SYSMGR, "comp_sw_sysmgr", "system_manager", "System Manager"},
    {COMP_HW_CAGE_IFC_ESH, "comp_hw_cage_ifc_esh", "cage_ifc_esh", "Cage interface card"},
    {COMP_LAST, "comp_last", "last", "Invalid"},
};

constexpr std::array<evt_component_info_t, COMP_LAST + 1> make_components()
{
    std::array<evt_component_info_t, COMP_LAST + 1> t{};
    for (int i = 0; i <= COMP_LAST; i++)
        t[i] = {i, "comp_other", "other", "Other component"};
    for (const named_component &n : named_components)
        t[n.type] = {n.type, n.name, n.short_name, n.text};
    return t;
}

constexpr std::array<evt_jbod_info_t, EVT_NJBOD> make_jbod()
{
    std::array<evt_jbod_info_t, EVT_NJBOD> t{};
    for (int i = 0; i < EVT_NJBOD; i++)
        t[i] = {i, "jbod_event"};
    return t;
}

constexpr auto types_arr = make_types();
constexpr auto components_arr = make_components();
constexpr auto jbod_arr = make_jbod();

} // namespace

const evt_type_info_t *const type_info_table = types_arr.data();
const evt_component_info_t *const components = components_arr.data();
const evt_jbod_info_t *const jbod_events_fns = jbod_arr.data();

const evt_class_info_t classes[EVT_NCLASSES] = {
    {EVT_MANGLER_CLASS, "evt_class_sysmgr", "System manager"},
    {EVT_ALERT_CLASS, "evt_class_alert", "Alert"},
    {EVT_CONFIG_ADD_CLASS, "evt_class_config_add", "Addition to configuration"},
    {EVT_CONFIG_DEL_CLASS, "evt_class_config_del", "Removal from configuration"},
    {EVT_CONFIG_MOD_CLASS, "evt_class_config_mod", "Modification to configuration"},
    {EVT_STATUS_MOD_CLASS, "evt_class_status_mod", "Status change"},
    {EVT_OPERATIONAL_CLASS, "evt_class_operational", "Operational"},
    {EVT_NOTIFY_CLASS, "evt_class_notify", "Notification"},
    {EVT_DEBUG_CLASS, "evt_class_debug", "Debug"},
    {EVT_TOCSVR_CLASS, "evt_class_tocsvr", "Toc server"},
    {EVT_SVCALERT_CLASS, "evt_class_svcalert", "Svc alert"},
    {EVT_LAST_CLASS, "evt_last", "Undefined"},
};

const evt_alert_info_t alerts[EVT_NALERTS] = {
    {0, "alert_undefined", "Invalid"},  {1, "alert_new", "New"},
    {2, "alert_acked", "Acknowledged"}, {3, "alert_fixed", "Fixed"},
    {4, "alert_removed", "Removed"},    {5, "alert_autofixed", "Resolved by System"},
    {6, "alert_last", "Invalid"},
};
