// Every value of every enumeration, and a few values outside each, survive
// marshal then unmarshal; every named value survives to_xml then from_xml
// and prints under its name.
#include <string>
#include <vector>

#include "schema_gen.h"
#include "support.h"
#include "xml_doc.h"

namespace {

struct EnumApi {
    const char *name;
    drov_def_enum_instance *(*create)(qel_handle_t *, uint32_t);
    void (*destroy)(qel_handle_t *, uint32_t, drov_def_enum_instance *);
    uint32_t (*marshal)(qel_handle_t *, uint32_t, uint8_t *, const drov_def_enum_instance *,
                        int32_t, uint32_t *);
    uint32_t (*unmarshal)(qel_handle_t *, uint32_t, const uint8_t *, drov_def_enum_instance *,
                          int32_t, uint32_t, uint32_t *);
    int32_t (*to_xml)(qel_handle_t *, uint32_t, const char *, char *,
                      const drov_def_enum_instance *, int32_t, uint32_t, uint32_t *);
    void (*from_xml)(qel_handle_t *, uint32_t, const char *, void *, drov_def_enum_instance *,
                     uint32_t *, char *, uint32_t);
    int32_t (*print)(qel_handle_t *, uint32_t, char *, int32_t, const char *,
                     const drov_def_enum_instance *, int32_t, uint32_t *);
    const drov::schema::TypeDesc &type;
};

#define DROV_TEST_ENUM_API(index, pos, name)                                                    \
    EnumApi{#name,           name##_create, name##_destroy, name##_marshal, name##_unmarshal,  \
            name##_to_xml, name##_from_xml, name##_print, drov::schema::kTypes[index]},
const EnumApi kEnums[] = {DROV_DEF_ALL_ENUMS(DROV_TEST_ENUM_API)};

class EnumRoundTrip : public test::HandleTest {};

TEST_F(EnumRoundTrip, EveryEnumerationEveryValue) {
    ASSERT_EQ(std::size(kEnums), 11u);
    for (const EnumApi &api : kEnums) {
        SCOPED_TRACE(api.name);
        drov_def_enum_instance *a = api.create(h, 1);
        drov_def_enum_instance *b = api.create(h, 1);
        const uint32_t first = api.type.first_value, n = api.type.value_count;
        std::vector<uint32_t> values;
        for (uint32_t v = first; v < first + n; ++v) values.push_back(v);
        for (uint32_t v : {first + n, first + n + 1, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0u})
            values.push_back(v);
        for (uint32_t v : values) {
            a->value = v;
            b->value = v + 12345;
            uint8_t wire[5];
            ASSERT_EQ(api.marshal(h, 1, wire, a, sizeof wire, &err), 5u) << v;
            ASSERT_EQ(api.unmarshal(h, 1, wire, b, sizeof wire, 0, &err), 5u) << v;
            // A value outside the enumeration keeps its number on the wire; one
            // below the first value thus reads back as the value numbered so.
            bool collides = v < first;
            EXPECT_EQ(b->value, collides ? v + first : v) << v;
            EXPECT_EQ(err, 0u);
        }
        for (uint32_t k = 0; k < n; ++k) {
            a->value = first + k;
            b->value = first + n; // out of range until read back
            char buf[160];
            int32_t len = api.to_xml(h, 1, "v", buf, a, sizeof buf, 0, &err);
            test::XmlDoc doc("<r>" + std::string(buf, static_cast<size_t>(len)) + "</r>");
            ASSERT_NE(doc.doc, nullptr);
            api.from_xml(h, 1, "/r/v", doc.doc, b, &err, nullptr, 0);
            EXPECT_EQ(err, 0u);
            EXPECT_EQ(b->value, first + k) << api.type.values[k];
        }
        api.destroy(h, 1, a);
        api.destroy(h, 1, b);
    }
}

TEST_F(EnumRoundTrip, EveryValuePrintsUnderItsNameAndNoOtherDoes) {
    for (const EnumApi &api : kEnums) {
        SCOPED_TRACE(api.name);
        drov_def_enum_instance *a = api.create(h, 1);
        const uint32_t first = api.type.first_value, n = api.type.value_count;
        auto print = [&](uint32_t v) {
            a->value = v;
            char buf[128];
            int32_t len = api.print(h, 1, buf, 1, "f", a, sizeof buf, &err);
            return std::string(buf, static_cast<size_t>(len));
        };
        const std::string prefix = std::string(" f@") + api.name + ":";
        for (uint32_t k = 0; k < n; ++k)
            EXPECT_EQ(print(first + k), prefix + api.type.values[k] + "\n");
        for (uint32_t v : {first + n, first - 1, 0x80000000u})
            EXPECT_EQ(print(v), prefix + "Enum value out of range") << v;
        EXPECT_EQ(err, 0u);
        api.destroy(h, 1, a);
    }
}

} // namespace
