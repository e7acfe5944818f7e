// What the schema promises about every structure type: the exported names
// the naming rules give, the fixed layouts and sizes, and the field
// numbers each variant accepts.
#include <set>
#include <sstream>
#include <string_view>

#include "struct_support.h"

namespace {

using namespace test::structs;
using qel_standin::Tracking;

// ---- Layout facts, checked at compile time over the schema tables -----------------

constexpr bool same(const char *a, const char *b) { return std::string_view(a) == b; }
constexpr uint32_t type_index(const char *name) {
    for (uint32_t t = 0; t < drov::schema::kTypeCount; ++t)
        if (same(kTypes[t].name, name)) return t;
    return ~0u;
}
constexpr const FieldDesc &field(const char *type, const char *name) {
    const auto &t = kTypes[type_index(type)];
    for (uint32_t i = 0; i < t.field_count; ++i)
        if (same(t.fields[i].name, name)) return t.fields[i];
    return t.fields[0];
}
constexpr bool at(const char *type, const char *name, uint16_t offset, int16_t state) {
    const FieldDesc &f = field(type, name);
    return same(f.name, name) && f.offset == offset && f.state_index == state;
}

static_assert(at("vm_act_rsp", "vm_name_length", 12, -1));
static_assert(at("vm_act_rsp", "vm_name", 16, 0));
static_assert(at("vm_act_rsp", "rc", 24, 1));
static_assert(at("vm_act_rsp", "vm_if_rsp", 40, 2) && field("vm_act_rsp", "vm_if_rsp").nested_area == 3);
static_assert(at("vm_act_rsp", "vm_uid", 96, 4));
static_assert(at("vm_act_rsp", "vm_clnt", 104, 5));
static_assert(at("vm_act_rsp", "vm_act_state", 120, 6));
static_assert(at("vm_act_rsp", "owner_len", 136, -1) && field("vm_act_rsp", "owner_len").variant == 1);
static_assert(at("vm_act_rsp", "owner", 144, 7) && field("vm_act_rsp", "owner").variant == 1);
static_assert(at("vm_act_rsp", "sp_type", 152, 8) && field("vm_act_rsp", "sp_type").variant == 2);
// A list head is 28 bytes; list elements link at 16 and their fields start at 40.
static_assert(field("vm_mac_pool", "mac_addr_list").size == 28);
static_assert(at("vm_mac_pool_addr", "mac_addr", 40, 0));
static_assert(at("vm_nic", "if_handle", 40, 0));
static_assert(at("vm_nic_list", "if_handle", 40, 0));
static_assert(at("vm_if_mtu_element", "if_id", 40, 0));
static_assert(field("vm_veltoprofile", "profile_name_length").offset == 40);
static_assert(field("vm_package_meta_data", "application_name_length").offset == 40);
// Fixed text takes its capacity plus one; fixed arrays 6 bytes and 7 flags.
static_assert(at("vm_profile", "name", 11, 0) && field("vm_profile", "name").size == 65);
static_assert(at("vm_profile", "package_path", 76, 1) && field("vm_profile", "package_path").size == 257);
static_assert(at("vm_mac_pool", "mac_base", 32, 2) && at("vm_mac_pool", "mac_addr_list", 40, 9));
static_assert(field("vm_install_cfg", "default_profile").nested_area == 5);
static_assert(at("vm_id_valid_req", "credentials", 24, 1) &&
              field("vm_id_valid_req", "credentials").flag_block == 8);

// ---- Sizes ------------------------------------------------------------------------

class Schema : public test::HandleTest {};

// sizeof answers the base size of the highest variant, with its state area
// under tracking; sizeof_internal that of the instance's layout variant.
TEST_F(Schema, SizesFollowTheLayoutVariantAndTracking) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        SCOPED_TRACE(walk::name(t));
        const auto &d = kTypes[t];
        const uint32_t top = d.base[d.variants - 1], top_area = d.state[d.variants - 1];
        auto size_of = [&] { return call<uint32_t>(walk::op(t, "sizeof"), h); };
        auto internal = [&](const void *inst, int32_t with, int32_t only) {
            return call<uint32_t>(walk::op(t, "sizeof_internal"), h, inst, with, only);
        };
        qel_standin::set_tracking(h, Tracking::Absent);
        EXPECT_EQ(size_of(), top);
        EXPECT_EQ(internal(nullptr, 1, 0), top);
        EXPECT_EQ(internal(nullptr, 1, 1), 0u);
        void *inst = walk::create(h, t);
        for (int8_t v = 0; v < d.variants; ++v) {
            SCOPED_TRACE(int{v});
            reinterpret_cast<int8_t *>(inst)[9] = v; // layout variant
            qel_standin::set_tracking(h, Tracking::Absent);
            EXPECT_EQ(internal(inst, 1, 0), top);
            qel_standin::set_tracking(h, Tracking::Off);
            EXPECT_EQ(internal(inst, 1, 0), d.base[v]);
            EXPECT_EQ(internal(inst, 0, 1), 0u);
            qel_standin::set_tracking(h, Tracking::On);
            EXPECT_EQ(internal(inst, 1, 0), d.base[v] + d.state[v]);
            EXPECT_EQ(internal(inst, 0, 0), d.base[v]);
            EXPECT_EQ(internal(inst, 0, 1), d.state[v]);
        }
        reinterpret_cast<int8_t *>(inst)[9] = d.highest();
        qel_standin::set_tracking(h, Tracking::Off);
        EXPECT_EQ(size_of(), top);
        qel_standin::set_tracking(h, Tracking::On);
        EXPECT_EQ(size_of(), top + top_area);
        EXPECT_EQ(internal(nullptr, 1, 0), top + top_area);
        walk::destroy(h, t, inst);
    }
}

TEST_F(Schema, VariantIndexCapKeepsTheUpperBitsAndNegativeVariants) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        const uint32_t hi = static_cast<uint32_t>(kTypes[t].highest());
        auto cap = walk::fn<uint32_t (*)(uint32_t)>(walk::op(t, "variant_data_index_cap"));
        EXPECT_EQ(cap(5), hi) << walk::name(t);
        EXPECT_EQ(cap(0x105), 0x100 | hi);
        EXPECT_EQ(cap(0), 0u);
        EXPECT_EQ(cap(0xFF), 0xFFu);
        EXPECT_EQ(cap(0x12345680), 0x12345680u);
        EXPECT_EQ(cap(0x7F), hi);
    }
}

// Field numbers: every field counts one (a list two), element types add
// two, every later variant one more than its fields.
TEST_F(Schema, FieldNumbersFollowTheVariantBlocks) {
    struct Blocks {
        const char *type;
        std::vector<uint32_t> ends;
    };
    const std::vector<Blocks> known = {
        {"vm_act_rsp", {7, 10, 12}}, {"vm_install_cfg", {11, 14}}, {"vm_transport_act", {2, 4}},
        {"vm_sta_req", {3, 5}},      {"vm_id", {1}},               {"vm_mac_pool", {6}},
        {"vm_mac_pool_addr", {3}},   {"vm_nic", {3}},              {"vm_nic_list", {4}},
        {"vm_nic_rsp", {2}},         {"vm_if_mtu_element", {4}},   {"vm_profile", {8}},
        {"vm_veltoprofile", {10}},   {"vm_package_meta_data", {8}}, {"vm_id_valid_req", {3}},
        {"vm_nic_info", {5}},        {"vm_inst_req", {7}},         {"vm_sta_rsp", {8}},
    };
    for (const Blocks &b : known) {
        SCOPED_TRACE(b.type);
        const uint32_t t = walk::index_of(b.type);
        void *inst = walk::create(h, t);
        auto valid = [&](const void *i, uint32_t n, int32_t flags) {
            return call<int32_t>(walk::op(t, "is_valid_cr"), h, i, n, flags);
        };
        const auto vars = static_cast<int8_t>(b.ends.size());
        for (int8_t dom = 0; dom < vars; ++dom) {
            qel_standin::set_domain_variant(h, b.type, dom);
            for (int8_t iv = 0; iv < vars; ++iv) {
                reinterpret_cast<int8_t *>(inst)[8] = iv;
                for (uint32_t n = 0; n <= b.ends.back() + 1; ++n) {
                    int8_t k = 0;
                    while (k < vars && n >= b.ends[static_cast<size_t>(k)]) ++k;
                    const bool exists = k < vars;
                    EXPECT_EQ(valid(inst, n, 1), exists && dom >= k ? 1 : 0) << n;
                    EXPECT_EQ(valid(inst, n, 0), exists && std::min(dom, iv) >= k ? 1 : 0) << n;
                }
            }
        }
        qel_standin::set_domain_variant(h, b.type, -1);
        EXPECT_EQ(valid(inst, 0, 1), 0);
        walk::destroy(h, t, inst);
    }
}

// ---- Exported names ----------------------------------------------------------------

std::set<std::string> exported_names() {
    drovdef::ElfFile elf(drovdef::read_file(library_path()));
    const auto *symtab = elf.find(".dynsym");
    const auto *strtab = elf.find(".dynstr");
    std::set<std::string> out;
    if (symtab == nullptr || strtab == nullptr) return out;
    auto syms = elf.contents(*symtab);
    auto strs = elf.contents(*strtab);
    for (size_t off = 24; off + 24 <= syms.size(); off += 24) { // entry 0 is the null symbol
        const uint8_t *s = syms.data() + off;
        const uint8_t bind = s[4] >> 4;
        const uint16_t shndx = drovdef::load_u16(s + 6);
        if (shndx == 0 || (bind != 1 && bind != 2)) continue; // undefined or local
        const uint32_t name = drovdef::load_u32(s);
        out.insert(reinterpret_cast<const char *>(strs.data() + name));
    }
    return out;
}

// The names the naming rules give for the schema.
std::set<std::string> expected_names() {
    const char *common = "variant_data_index_cap get_luid create create_internal create_cr initialize "
                         "set_instance_embedded get_oid_count get_object_references destroy destroy_internal "
                         "destroy_cr sizeof adjust_variant compare hash len len_cr get set marshal unmarshal "
                         "print print_cr to_xml toxml_cr from_xml is_valid_cr";
    const char *type_only = "sizeof_internal offset_update offset_remove get_all set_all post_copyout_cleanup "
                            "set_all_state_tracking_flag marshal_for_clone clone clone_internal clone_cr";
    const char *enum_only = "map_to_user_value map_to_internal_value get_value set_value";
    const char *array = "get_mem get get_value set_mem set_mem_cr set set_value state_flag_whole_get "
                        "state_flag_get_arr state_flag_get state_flag_whole_set state_flag_set_arr state_flag_set";
    const char *list = "get_cr get_first get_last get_prev get_next get_count add_cr set_first set_last "
                       "set_before set_after remove remove_cr";
    const char *flags = " state_flag_get state_flag_set";
    std::set<std::string> out = {"drov_def_typeinfo_initialize", "drov_def_type_variant_dump",
                                 "drov_def_bundle_handler_register", "drov_def_bundle_handler_unregister",
                                 "qel_drov_def_trace_init", "g_qel_drov_def_trace_module_id",
                                 "g_qel_drov_def_stub_trace_module_id", "drov_def_bundle_registered_handler",
                                 "drov_def_strerror"};
    auto add = [&](const std::string &prefix, const std::string &ops) {
        std::istringstream in(ops);
        for (std::string o; in >> o;) out.insert(prefix + "_" + o);
    };
    for (uint32_t t = 0; t < drov::schema::kTypeCount; ++t) {
        const auto &d = kTypes[t];
        const std::string n = d.name;
        out.insert("_" + n + "_type_info_internal");
        add(n, common), add(n, d.is_enum ? enum_only : type_only);
        for (uint32_t i = 0; i < d.field_count && !d.is_enum; ++i) {
            const FieldDesc &f = d.fields[i];
            const std::string p = n + "_" + f.name;
            switch (f.kind) {
            case FieldKind::U8: case FieldKind::U16: case FieldKind::U32:
            case FieldKind::Boolean: case FieldKind::Enum: add(p, std::string("get get_value set set_value") + flags); break;
            case FieldKind::IfHandle: case FieldKind::Record: add(p, std::string("get set") + flags); break;
            case FieldKind::Length: add(p, "get get_value"); break;
            case FieldKind::String: case FieldKind::Text: add(p, std::string("get set set_cr") + flags); break;
            case FieldKind::Array: add(p, array); break;
            case FieldKind::VarArray: add(p, array), add(p, "set_cr remove_elements"); break;
            case FieldKind::List:
                add(p, std::string(list) + flags);
                out.insert(std::string(kTypes[f.ref].name) + "_" + f.name + "_get_parent");
                break;
            }
        }
    }
    return out;
}

TEST_F(Schema, ExportsAreExactlyWhatTheNamingRulesGive) {
    const auto expected = expected_names();
    const auto exported = exported_names();
    for (const auto &n : expected) EXPECT_TRUE(exported.count(n)) << "missing " << n;
    for (const auto &n : exported) EXPECT_TRUE(expected.count(n)) << "not expected " << n;
}

} // namespace
