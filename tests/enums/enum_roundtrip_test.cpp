// One property over the 11 enumerations, their values read from
// tests/golden/enums/values: every value sets, prints, writes XML and
// encodes under its name and wire number, and comes back, and the C++
// layer names it alike; values out of range are refused by the setter,
// shown as such, and keep their number.
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "drov_def/drov_def.hpp"
#include "schema_gen.h"
#include "support.h"
#include "xml_doc.h"

namespace {

using I = drov_def_enum_instance;
struct EnumApi {
    const char *name;
    I *(*create)(qel_handle_t *, uint32_t);
    void (*destroy)(qel_handle_t *, uint32_t, I *);
    void (*set_value)(qel_handle_t *, uint32_t, I *, uint32_t, uint32_t *);
    uint32_t (*get_value)(qel_handle_t *, uint32_t, const I *, uint32_t *);
    int32_t (*is_valid)(qel_handle_t *, int32_t);
    uint32_t (*to_internal)(uint32_t), (*to_user)(uint32_t);
    uint32_t (*marshal)(qel_handle_t *, uint32_t, uint8_t *, const I *, int32_t, uint32_t *);
    uint32_t (*unmarshal)(qel_handle_t *, uint32_t, const uint8_t *, I *, int32_t, uint32_t, uint32_t *);
    int32_t (*to_xml)(qel_handle_t *, uint32_t, const char *, char *, const I *, int32_t, uint32_t, uint32_t *);
    void (*from_xml)(qel_handle_t *, uint32_t, const char *, void *, I *, uint32_t *, char *, uint32_t);
    int32_t (*print)(qel_handle_t *, uint32_t, char *, int32_t, const char *, const I *, int32_t, uint32_t *);
    int32_t (*compare)(const I *, const I *);
    uint32_t (*hash)(const I *, uint32_t);
    uint32_t (*size)(), (*len)();
};
#define DROV_TEST_ENUM_API(index, pos, n)                                                          \
    EnumApi{#n, n##_create, n##_destroy, n##_set_value, n##_get_value, n##_is_valid_cr,             \
            n##_map_to_internal_value, n##_map_to_user_value, n##_marshal, n##_unmarshal,           \
            n##_to_xml, n##_from_xml, n##_print, n##_compare, n##_hash, n##_sizeof, n##_len},
const EnumApi kEnums[] = {DROV_DEF_ALL_ENUMS(DROV_TEST_ENUM_API)};

struct Value {
    std::string name;
    uint32_t number, wire;
};
// enumeration name -> its values, in file order
std::vector<std::pair<std::string, std::vector<Value>>> golden_values() {
    std::ifstream in(DROV_TEST_GOLDEN_DIR "/enums/values");
    std::vector<std::pair<std::string, std::vector<Value>>> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        Value v;
        if (line.empty() || line[0] == '#') continue;
        if (line[0] != ' ') out.push_back({line, {}});
        else if (words >> v.name >> v.number >> v.wire) out.back().second.push_back(v);
    }
    return out;
}

class EnumProperty : public test::HandleTest {
protected:
    std::string text(int32_t len) { return std::string(buf, static_cast<size_t>(len)); }
    std::string wire(uint32_t n) {
        const uint8_t w[5] = {0, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        return std::string(reinterpret_cast<const char *>(w), 5);
    }
    char buf[160];
    uint8_t bytes[5];
};

TEST_F(EnumProperty, EveryValueOfEveryEnumeration) {
    const auto golden = golden_values();
    ASSERT_EQ(golden.size(), std::size(kEnums));
    for (size_t e = 0; e < golden.size(); ++e) {
        const EnumApi &api = kEnums[e];
        const auto &[name, values] = golden[e];
        SCOPED_TRACE(name);
        ASSERT_EQ(name, api.name) << "type-table order";
        const uint32_t first = values.front().number, n = static_cast<uint32_t>(values.size()), last = first + n - 1;
        I *a = api.create(h, 1), *b = api.create(h, 1);
        EXPECT_EQ(api.size(), 16u);
        EXPECT_EQ(api.len(), 5u);
        for (const Value &v : values) {
            SCOPED_TRACE(v.name);
            api.set_value(h, 1, a, v.number, &err);
            EXPECT_EQ(api.get_value(h, 1, a, &err), v.number);
            EXPECT_EQ(api.is_valid(h, static_cast<int32_t>(v.number)), 1);
            EXPECT_EQ(api.to_internal(v.number), v.wire);
            EXPECT_EQ(api.to_user(v.wire), v.wire) << "gives its argument back";
            ASSERT_EQ(api.marshal(h, 1, bytes, a, 5, &err), 5u);
            EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), 5), wire(v.wire)) << "variant byte, then the wire number";
            b->value = v.number + 1;
            EXPECT_EQ(api.unmarshal(h, 1, bytes, b, 5, 0, &err), 5u);
            EXPECT_EQ(b->value, v.number);
            EXPECT_EQ(api.compare(a, b), 0);
            EXPECT_EQ(api.hash(a, 7), api.hash(b, 7));
            EXPECT_EQ(text(api.print(h, 1, buf, 1, "f", a, sizeof buf, &err)), " f@" + name + ":" + v.name + "\n");
            EXPECT_EQ(text(api.to_xml(h, 1, "v", buf, a, sizeof buf, 0, &err)), "<v><" + v.name + "/></v>");
            test::XmlDoc doc("<r>" + std::string(buf) + "</r>");
            b->value = last + 1;
            api.from_xml(h, 1, "/r/v", doc.doc, b, &err, nullptr, 0);
            EXPECT_EQ(b->value, v.number);
            EXPECT_EQ(err, 0u);
        }
        // Out of range: the setter judges the wire number (so one below the
        // first value passes), is_valid the value as signed; the number
        // travels as it is.
        std::vector<uint32_t> outside = {last + 1, 1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
        if (first > 0) outside.push_back(first - 1);
        for (uint32_t v : outside) {
            SCOPED_TRACE(v);
            a->value = first;
            api.set_value(h, 1, a, v, &err);
            EXPECT_EQ(std::exchange(err, 0), v > last ? 43u : 0u);
            EXPECT_EQ(a->value, v > last ? first : v);
            EXPECT_EQ(api.is_valid(h, static_cast<int32_t>(v)), static_cast<int32_t>(v) <= static_cast<int32_t>(last));
            a->value = v;
            EXPECT_EQ(text(api.print(h, 1, buf, 1, "f", a, sizeof buf, &err)), " f@" + name + ":Enum value out of range");
            EXPECT_EQ(text(api.to_xml(h, 1, "v", buf, a, sizeof buf, 0, &err)), "<v><" + name + " value out of range/></v>");
            ASSERT_EQ(api.marshal(h, 1, bytes, a, 5, &err), 5u);
            EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), 5), wire(v));
            EXPECT_EQ(api.to_internal(v), v);
        }
        // wire numbers below the count are the values; others stand for themselves
        for (uint32_t w : {0u, n - 1, n, n + 1, 0xFFFFFFFFu}) {
            const std::string in = wire(w);
            api.unmarshal(h, 1, reinterpret_cast<const uint8_t *>(in.data()), b, 5, 0, &err);
            EXPECT_EQ(b->value, w < n ? w + first : w) << "wire " << w;
        }
        EXPECT_EQ(err, 0u);
        api.destroy(h, 1, a);
        api.destroy(h, 1, b);
    }
}

// The C++ layer names the values alike, and no others.
TEST(EnumNames, TheCxxLayerNamesEveryValueAlike) {
    const auto golden = golden_values();
    size_t e = 0;
    drov::meta::for_each_enum([&](auto type) {
        using E = typename decltype(type)::type;
        const auto &[name, values] = golden.at(e++);
        ASSERT_EQ(drov::EnumInfo<E>::type_name, name);
        for (const Value &v : values) {
            EXPECT_EQ(drov::to_string(static_cast<E>(v.number)), v.name);
            EXPECT_EQ(drov::from_string<E>(v.name), static_cast<E>(v.number));
        }
        for (uint32_t outside : {values.front().number - 1, values.back().number + 1})
            EXPECT_EQ(drov::to_string(static_cast<E>(outside)), "") << outside;
        EXPECT_EQ(drov::from_string<E>("VM_NONE"), std::nullopt);
    });
    EXPECT_EQ(e, golden.size());
}

} // namespace
