// Error numbers: the named constants are the numbers the operations store,
// and drov_def_strerror words each of them.
#include <cerrno>
#include <cstring>
#include <functional>

#include "enums/xml_doc.h"
#include "support.h"

namespace {

static_assert(DROV_DEF_ENOENT == ENOENT && DROV_DEF_ENOMEM == ENOMEM &&
              DROV_DEF_EINVAL == EINVAL && DROV_DEF_ENOSPC == ENOSPC &&
              DROV_DEF_EIDRM == EIDRM && DROV_DEF_EVARIANT == EIDRM &&
              DROV_DEF_EMSGSIZE == EMSGSIZE);

const char kForeign[] =
    "not an error number of drov_def (from_xml passes on its XML reader's codes)";

TEST(ErrorText, EveryNumberInWords) {
    const struct {
        uint32_t code;
        const char *text;
    } cases[] = {
        {0, "no error"},
        {DROV_DEF_ENOENT,
         "absent: no XML element or value for it, or no instance where one is needed"},
        {DROV_DEF_ENOMEM, "out of memory: the handle's allocator gave no block"},
        {16, "handle busy: it has live blocks that the change would orphan"},
        {DROV_DEF_EINVAL, "invalid argument: a null instance or buffer, a length, index or flag "
                          "out of range, or an instance without state tracking"},
        {DROV_DEF_ENOSPC, "output buffer too small: the text was cut to fit"},
        {DROV_DEF_EVARIANT, "field or variant not known to the handle's domain"},
        {DROV_DEF_EMSGSIZE, "buffer too short for the message"},
        // Neighbours of the library's numbers, a number of the XML reader
        // and the extremes are nobody's.
        {1, kForeign},
        {3, kForeign},
        {15, kForeign},
        {17, kForeign},
        {42, kForeign},
        {91, kForeign},
        {4, kForeign},
        {0xFFFFFFFFu, kForeign},
    };
    for (const auto &c : cases) EXPECT_STREQ(drov_def_strerror(c.code), c.text) << c.code;
}

class ErrorReported : public test::HandleTest {};

// One operation per number, as the README's error table names them.
TEST_F(ErrorReported, OperationsStoreTheNamedNumbers) {
    vm_act_rsp_t *rsp = vm_act_rsp_create(h, 1);
    ASSERT_NE(rsp, nullptr);
    vm_act_rsp_vm_name_set(h, 1, rsp, "web-01", 6, &err);
    uint8_t wire[256];
    const uint32_t n = vm_act_rsp_marshal(h, 1, wire, rsp, sizeof wire, &err);
    ASSERT_EQ(err, 0u);
    const test::XmlDoc doc("<m><vm_act_rsp/></m>");
    char text[4], msg[64];

    const struct {
        const char *what;
        uint32_t expected;
        std::function<void()> call;
    } cases[] = {
        {"from_xml of an absent element", DROV_DEF_ENOENT,
         [&] { vm_act_rsp_from_xml(h, 1, "/m/absent", doc.doc, rsp, &err, msg, sizeof msg); }},
        {"decoding when the allocator fails", DROV_DEF_ENOMEM,
         [&] {
             vm_act_rsp_t *got = vm_act_rsp_create(h, 1);
             st().fail_alloc_at = st().alloc_calls + 1;
             vm_act_rsp_unmarshal(h, 1, wire, got, static_cast<int32_t>(n), 0, &err);
             st().fail_alloc_at = 0;
             vm_act_rsp_destroy(h, 1, got);
         }},
        {"a setter given no instance", DROV_DEF_EINVAL,
         [&] { vm_act_rsp_vm_uid_set_value(h, 1, nullptr, 7, &err); }},
        {"a string getter with a short buffer", DROV_DEF_ENOSPC,
         [&] { vm_act_rsp_vm_name_get(h, 1, rsp, text, sizeof text, &err); }},
        {"a field of a variant the domain does not know", DROV_DEF_EVARIANT,
         [&] {
             qel_standin::set_domain_variant(h, "vm_act_rsp", 0);
             vm_act_rsp_t *old = vm_act_rsp_create(h, 1);
             vm_act_rsp_owner_set(h, 1, old, "ops", 3, &err);
             vm_act_rsp_destroy(h, 1, old);
         }},
        {"encoding into a buffer too short", DROV_DEF_EMSGSIZE,
         [&] { vm_act_rsp_marshal(h, 1, wire, rsp, 8, &err); }},
    };
    for (const auto &c : cases) {
        err = 0;
        c.call();
        EXPECT_EQ(err, c.expected) << c.what;
        EXPECT_STRNE(drov_def_strerror(err), kForeign) << c.what;
    }
    vm_act_rsp_destroy(h, 1, rsp);
}

} // namespace
