// The stand-in runtime as other tests rely on it: failure injection and
// live-block accounting, statistics increments, variant adjustment, bounded
// text, XML lookups, big-endian encodings and SuperFastHash.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstring>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "norla.h"
#include "qel_standin.h"

namespace {

using namespace qel_standin;
using namespace std::string_view_literals;

class Standin : public ::testing::Test {
protected:
    void SetUp() override { h = handle_new(); }
    void TearDown() override { handle_delete(h); }
    HandleState &st() { return state(h); }

    qel_handle_t *h = nullptr;
    uint32_t err = 0;
};

// A type record with `count` variants whose counters live in `entries`.
struct TypeRecord {
    qel_variant_entry_t entries[4]{};
    qel_variant_info_t vi{};
    qel_type_info_t ti{};
    explicit TypeRecord(int8_t count) {
        vi.count = count;
        vi.entries = entries;
        std::strcpy(ti.name, "t");
        ti.variant_info = &vi;
    }
};

TEST_F(Standin, InjectedAllocationFailuresAndLiveBlocks) {
    st().fail_alloc_at = 2;
    void *a = h->allocate(h->alloc_ctx, 0, 16);
    EXPECT_EQ(h->allocate(h->alloc_ctx, 0, 16), nullptr);
    void *c = h->allocate(h->alloc_ctx, 0, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(c, nullptr) << "size 0 still yields a block";
    EXPECT_EQ(st().live.size(), 2u);
    h->free(h->alloc_ctx, 0, a);
    h->free(h->alloc_ctx, 0, nullptr);
    EXPECT_EQ(st().live.size(), 1u);
    h->free(h->alloc_ctx, 0, c);
    EXPECT_TRUE(st().live.empty());

    st().fail_module_alloc_at = 2;
    EXPECT_NE(h->module_alloc(h, 7, 32), nullptr);
    EXPECT_EQ(h->module_alloc(h, 7, 32), nullptr);
    EXPECT_NE(h->module_alloc(h, 7, 32), nullptr) << "only the N-th call fails";
    EXPECT_EQ(st().module_blocks.size(), 2u); // freed by handle_delete
    EXPECT_TRUE(st().live.empty()) << "module blocks are not live blocks";
}

TEST(StandinGlobal, RangeFailureIsCountedFromArming) {
    reset_global();
    int x = 0;
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 0), 1);
    fail_range_at(2);
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 1), 1);
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 2), 0);
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 3), 1);
    ASSERT_EQ(ranges().size(), 4u) << "failed announcements are recorded too";
    fail_range_at(1);
    reset_global();
    EXPECT_EQ(norla_set_range(nullptr, &x, 4, 0), 1) << "reset disarms";
    EXPECT_EQ(ranges().size(), 1u);
}

std::vector<uint64_t> g_seen_at_notify;
void seeing_counter_notify(void *, uint64_t *counter, uint32_t delta, uint32_t) {
    EXPECT_EQ(delta, 1u);
    g_seen_at_notify.push_back(*counter);
}

TEST_F(Standin, StatsNotifyTheCounterBeforeIncrementingIt) {
    TypeRecord rec(1);
    qel_variant_entry_t &e = rec.entries[0];
    h->counter_notify = seeing_counter_notify;
    g_seen_at_notify.clear();
    for (uint8_t private_copy : {0, 1}) { // atomic, then plain increment
        rec.ti.private_copy = private_copy;
        e = {};
        qellib_type_stats_create_object(h, 4, &rec.ti, &e, &err);
        qellib_type_stats_destroy_object(h, 4, &rec.ti, &e, &err);
        qellib_type_stats_destroy_object(h, 4, &rec.ti, &e, &err);
        EXPECT_EQ(e.creates, 1u);
        EXPECT_EQ(e.destroys, 2u);
    }
    EXPECT_EQ(g_seen_at_notify, (std::vector<uint64_t>{0, 0, 1, 0, 0, 1}));
    qellib_type_stats_create_object(h, 4, &rec.ti, nullptr, &err); // no entry: nothing counted
    EXPECT_EQ(g_seen_at_notify.size(), 6u);
}

TEST(StandinStats, SharedRecordsCountEveryObjectAcrossThreads) {
    TypeRecord rec(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&rec] {
            qel_handle_t *own = handle_new();
            own->counter_notify = nullptr;
            for (int i = 0; i < 20000; ++i)
                qellib_type_stats_create_object(own, 0, &rec.ti, &rec.entries[0], nullptr);
            handle_delete(own);
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(rec.entries[0].creates, 80000u);
}

TEST_F(Standin, AdjustVariantRaisesButNeverLowersTheInstanceVariant) {
    TypeRecord rec(4);
    alignas(8) uint8_t inst[16] = {};
    auto *hdr = reinterpret_cast<qel_instance_header_t *>(inst);
    hdr->layout_variant = 2;
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 3, &err), 2) << "capped by layout";
    ASSERT_EQ(st().writes.size(), 1u);
    EXPECT_EQ(st().writes[0].addr, &hdr->instance_variant);
    EXPECT_EQ(st().writes[0].len, 1u);
    EXPECT_EQ(st().writes[0].owner, inst);

    set_domain_variant(h, "t", 0);
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 3, &err), 2);
    EXPECT_EQ(st().writes.size(), 1u) << "lowering is not a store";

    hdr->instance_variant = 0;
    hdr->layout_variant = 3;
    set_domain_variant(h, "t", 3);
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 1, &err), 1) << "capped by highest";
    hdr->instance_variant = 0;
    set_domain_variant(h, "t", 2);
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 3, &err), 2) << "the domain's variant";
    EXPECT_EQ(qellib_adjust_variant(h, 5, nullptr, &rec.ti, 1, &err), -1);
}

TEST_F(Standin, TextWritersStayInTheBufferAndStore28WhenCut) {
    char buf[10] = "#########"; // every writer gets 8 bytes; buf[8] must survive
    auto check = [&](int32_t got, const char *want, uint32_t want_err) {
        EXPECT_EQ(got, static_cast<int32_t>(std::strlen(want))) << want;
        EXPECT_STREQ(buf, want);
        EXPECT_EQ(buf[8], '#') << want;
        EXPECT_EQ(err, want_err) << want;
        EXPECT_EQ(st().last_error, want_err) << want;
        err = st().last_error = 0;
    };
    check(qel_snprintf(h, 0, buf, 8, &err, "%s", "1234567"), "1234567", 0);
    check(qel_snprintf(h, 0, buf, 8, &err, "%s %d", "hello", 42), "hello 4", QEL_ENOSPC);
    check(qel_print_space(h, 0, buf, 3, 8, &err), "   ", 0);
    check(qel_print_space(h, 0, buf, -4, 8, &err), "", 0);
    check(qel_print_space(h, 0, buf, 9, 8, &err), "       ", QEL_ENOSPC);
    check(end_tag(h, 0, buf, "longname", 8, &err), "</longn", QEL_ENOSPC);
    check(xml_enum_print(h, 0, buf, "UP_AND_RUNNING", 8, 2, &err), "UP", 0);
    const u_int16 mtu = 1500;
    check(u_int16_to_xml(h, 0, "mtu", buf, &mtu, 8, 0, &err), "<mtu>15", QEL_ENOSPC);

    err = 5; // an earlier error stays in *err; the handle still records 28
    EXPECT_EQ(qel_snprintf(h, 0, buf, 8, &err, "%s", "abcdefghij"), 7);
    EXPECT_EQ(err, 5u);
    EXPECT_EQ(st().last_error, QEL_ENOSPC);
    err = 0;
    EXPECT_EQ(qel_snprintf(h, 0, nullptr, 0, &err, "x"), 0);
    EXPECT_EQ(err, QEL_ENOSPC);
}

class Xml : public Standin {
protected:
    void SetUp() override {
        Standin::SetUp();
        const char text[] = "<root><cfg><name>eth0</name><mtu>1500</mtu><big>70000</big>"
                            "<on>true</on><c>&lt;</c><item>1</item><item>2</item></cfg></root>";
        doc = xmlReadMemory(text, sizeof text - 1, "cfg.xml", nullptr, XML_PARSE_NONET);
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override {
        xmlFreeDoc(doc);
        Standin::TearDown();
    }
    xmlDocPtr doc = nullptr;
};

TEST_F(Xml, ElementValuesAndNodeCounts) {
    char buf[16];
    uint32_t needed = 0;
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/name", buf, 5, &needed), 0);
    EXPECT_STREQ(buf, "eth0");
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/none", buf, sizeof buf, &needed), 2);
    needed = 0;
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/name", buf, 4, &needed), 28);
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/name", nullptr, 0, &needed), 28);
    EXPECT_EQ(xml_get_element_value(doc, "//[", buf, sizeof buf, &needed), 22);
    EXPECT_EQ(xml_get_element_value(nullptr, "/root", buf, sizeof buf, &needed), 22);

    uint32_t count = 99;
    EXPECT_EQ(xml_get_element_nodecount(doc, "/root/cfg/item", &count), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(xml_get_element_nodecount(doc, "/root/cfg/none", &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(xml_get_element_nodecount(doc, "/root/[", &count), 22);
    EXPECT_EQ(xml_get_element_nodecount(nullptr, "/root", &count), 22);
}

TEST_F(Xml, FromXmlParsesRangeChecksAndKeepsTheValueOnError) {
    u_int16 mtu = 0;
    u_int32 big = 0;
    qel_boolean on = 0;
    char c = 0;
    u_int16_from_xml(h, 0, "/root/cfg/mtu", doc, &mtu, &err, 0, 0);
    u_int32_from_xml(h, 0, "/root/cfg/big", doc, &big, &err, 0, 0);
    qel_boolean_from_xml(h, 0, "/root/cfg/on", doc, &on, &err, 0, 0);
    char_from_xml(h, 0, "/root/cfg/c", doc, &c, &err, 0, 0);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(mtu, 1500);
    EXPECT_EQ(big, 70000u);
    EXPECT_EQ(on, 1u);
    EXPECT_EQ(c, '<');
    for (const char *bad : {"/root/cfg/big", "/root/cfg/name"}) { // too large; not a number
        err = 0;
        u_int16_from_xml(h, 0, bad, doc, &mtu, &err, 0, 0);
        EXPECT_EQ(err, 22u) << bad;
        EXPECT_EQ(mtu, 1500) << bad;
    }
    u_int32_from_xml(h, 0, "/root/cfg/missing", doc, &big, &err, 0, 0);
    EXPECT_EQ(err, 2u);
    EXPECT_EQ(st().last_error, 2u);
    EXPECT_EQ(big, 70000u);
}

// Encodes v into exactly `wire`, decodes it back, and checks that one byte
// less room stores 90 and moves nothing either way.
template <typename T, typename M, typename U>
void round_trip(qel_handle_t *h, M marshal, U unmarshal, T v, std::string_view wire) {
    SCOPED_TRACE(::testing::PrintToString(wire));
    const auto n = static_cast<int32_t>(wire.size());
    uint8_t buf[16];
    std::memset(buf, 0xAA, sizeof buf);
    uint32_t err = 0;
    T back{};
    auto decode = [&](int32_t len) {
        if constexpr (std::is_invocable_v<U, qel_handle_t *, uint32_t, const uint8_t *, T *,
                                          int32_t, uint32_t, uint32_t *>)
            return unmarshal(h, 0, buf, &back, len, 0, &err);
        else
            return unmarshal(h, 0, buf, &back, len, &err);
    };
    EXPECT_EQ(marshal(h, 0, buf, &v, n - 1, &err), 0u);
    EXPECT_EQ(err, QEL_EMSGSIZE);
    EXPECT_EQ(buf[0], 0xAA);
    err = 0;
    EXPECT_EQ(marshal(h, 0, buf, &v, n, &err), static_cast<uint32_t>(n));
    EXPECT_EQ(std::string_view(reinterpret_cast<const char *>(buf), wire.size()), wire);
    EXPECT_EQ(buf[n], 0xAA);
    EXPECT_EQ(decode(n - 1), 0u);
    EXPECT_EQ(err, QEL_EMSGSIZE);
    EXPECT_EQ(back, T{});
    err = 0;
    EXPECT_EQ(decode(n), static_cast<uint32_t>(n));
    EXPECT_EQ(back, v);
}

TEST_F(Standin, EveryWidthIsBigEndianAndShortRoomStores90) {
    round_trip<u_int8>(h, u_int8_marshal, u_int8_unmarshal, 0xFE, "\xFE"sv);
    round_trip<char>(h, char_marshal, char_unmarshal, 'z', "z"sv);
    round_trip<qel_boolean>(h, qel_boolean_marshal, qel_boolean_unmarshal, 1, "\x01"sv);
    round_trip<u_int16>(h, u_int16_marshal, u_int16_unmarshal, 0x1234, "\x12\x34"sv);
    round_trip<u_int32>(h, u_int32_marshal, u_int32_unmarshal, 0xA1B2C3D4, "\xA1\xB2\xC3\xD4"sv);
    round_trip<if_handle>(h, if_handle_marshal, if_handle_unmarshal, 0x01020304,
                          "\x01\x02\x03\x04"sv);
    round_trip<int8_t>(h, _qel_instance_variant_marshal, _qel_instance_variant_unmarshal, -1,
                       "\xFF"sv);
    round_trip<uint8_t>(h, _qel_instance_obj_flag_marshal, _qel_instance_obj_flag_unmarshal,
                        0x42, "\x42"sv);
    round_trip<uint32_t>(h, _qel_variant_jump_marshal, _qel_variant_jump_unmarshal, 0x00010203,
                         "\x00\x01\x02\x03"sv);
    round_trip<uint32_t>(h, _qel_list_len_marshal, _qel_list_len_unmarshal, 0xDEADBEEF,
                         "\xDE\xAD\xBE\xEF"sv);

    uint8_t buf[16] = {};
    qel_boolean t = 7, t2 = 0; // any non-zero boolean is 1 on the wire
    EXPECT_EQ(qel_boolean_marshal(h, 0, buf, &t, 1, &err), 1u);
    EXPECT_EQ(buf[0], 1);
    buf[0] = 5;
    EXPECT_EQ(qel_boolean_unmarshal(h, 0, buf, &t2, 1, 0, &err), 1u);
    EXPECT_EQ(t2, 1u);
    EXPECT_EQ(_qel_instance_ra_data_marshal(h, 0, buf, 0x0102030405060708ull, 0x99, 9, &err), 9u);
    EXPECT_EQ(std::memcmp(buf, "\x01\x02\x03\x04\x05\x06\x07\x08\x99", 9), 0);
    EXPECT_EQ(_qel_instance_ra_data_unmarshal(h, 0, buf, 9, &err), 9u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(_qel_instance_ra_data_marshal(h, 0, buf, 1, 2, 8, &err), 0u);
    EXPECT_EQ(err, QEL_EMSGSIZE);

    err = QEL_ENOMEM; // a pending error does not stop encoding
    const u_int32 v = 1;
    EXPECT_EQ(u_int32_marshal(h, 0, buf, &v, 4, &err), 4u);
    EXPECT_EQ(buf[3], 1);
}

// Expected values come from an independent port of the same definition.
TEST(SuperFastHash, FixedVectors) {
    EXPECT_EQ(SuperFastHash("a", 1, 0), 0x93642e87u);
    EXPECT_EQ(SuperFastHash("\xff", 1, 0), 0x7ffaa939u);
    EXPECT_EQ(SuperFastHash("ab", 2, 7), 0x9e7f1405u);
    EXPECT_EQ(SuperFastHash("abc", 3, 0), 0xe5186b3au);
    EXPECT_EQ(SuperFastHash("ab\xe9", 3, 1), 0x704cf86fu);
    EXPECT_EQ(SuperFastHash("abcd", 4, 0), 0x3ab452d8u);
    EXPECT_EQ(SuperFastHash("The quick brown fox", 19, 0xdeadbeef), 0xf77de03au);
    EXPECT_EQ(SuperFastHash(nullptr, 4, 9), 9u);
    EXPECT_EQ(SuperFastHash("abc", 0, 9), 9u);
}

} // namespace
