// The stand-in's bounded text output, XML lookups, wire encodings,
// primitive type operations, counted strings and SuperFastHash.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "qel_standin.h"

namespace {

using qel_standin::state;

class Codec : public ::testing::Test {
protected:
    void SetUp() override { h = qel_standin::handle_new(); }
    void TearDown() override { qel_standin::handle_delete(h); }
    uint32_t last_error() { return state(h).last_error; }

    qel_handle_t *h = nullptr;
    uint32_t err = 0;
};

// ---- Bounded text ----------------------------------------------------------

TEST_F(Codec, SnprintfCutsToTheBufferAndReportsNoSpace) {
    char exact[12];
    EXPECT_EQ(qel_snprintf(h, 0, exact, sizeof exact, &err, "%s", "hello world"), 11);
    EXPECT_STREQ(exact, "hello world");
    EXPECT_EQ(err, 0u);
    char buf[8];
    EXPECT_EQ(qel_snprintf(h, 0, buf, sizeof buf, &err, "%s %d", "hello", 42), 7);
    EXPECT_STREQ(buf, "hello 4");
    EXPECT_EQ(err, QEL_ENOSPC);
    EXPECT_EQ(last_error(), QEL_ENOSPC);

    err = 5; // an earlier error stays, but the output is still written
    state(h).last_error = 0;
    EXPECT_EQ(qel_snprintf(h, 0, buf, sizeof buf, &err, "%s", "abcdefghij"), 7);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(err, 5u);
    EXPECT_EQ(last_error(), QEL_ENOSPC);

    err = 0;
    EXPECT_EQ(qel_snprintf(h, 0, nullptr, 0, &err, "x"), 0);
    EXPECT_EQ(err, QEL_ENOSPC);
}

TEST_F(Codec, PrintSpaceAndTagsAreBounded) {
    char buf[8];
    EXPECT_EQ(qel_print_space(h, 0, buf, 3, sizeof buf, &err), 3);
    EXPECT_STREQ(buf, "   ");
    EXPECT_EQ(qel_print_space(h, 0, buf, -4, sizeof buf, &err), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(qel_print_space(h, 0, buf, 9, sizeof buf, &err), 7);
    EXPECT_EQ(err, QEL_ENOSPC);

    err = 0;
    EXPECT_EQ(start_tag(h, 0, buf, "mtu", sizeof buf, 0, &err), 5);
    EXPECT_STREQ(buf, "<mtu>");
    EXPECT_EQ(end_tag(h, 0, buf, "mtu", sizeof buf, &err), 6);
    EXPECT_STREQ(buf, "</mtu>");
    EXPECT_EQ(xml_enum_print(h, 0, buf, "UP_AND_RUNNING", sizeof buf, 2, &err), 2);
    EXPECT_STREQ(buf, "UP");
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(end_tag(h, 0, buf, "longname", sizeof buf, &err), 7);
    EXPECT_STREQ(buf, "</longn");
    EXPECT_EQ(err, QEL_ENOSPC);
}

// ---- XML -------------------------------------------------------------------

class Xml : public Codec {
protected:
    void SetUp() override {
        Codec::SetUp();
        const char text[] = "<root><cfg><name>eth0</name><mtu>1500</mtu><big>70000</big>"
                            "<on>true</on><c>&lt;</c><item>1</item><item>2</item></cfg></root>";
        doc = xmlReadMemory(text, sizeof text - 1, "cfg.xml", nullptr, XML_PARSE_NONET);
        ASSERT_NE(doc, nullptr);
    }
    void TearDown() override {
        xmlFreeDoc(doc);
        Codec::TearDown();
    }
    xmlDocPtr doc = nullptr;
};

TEST_F(Xml, ElementValueLookup) {
    char buf[16];
    uint32_t needed = 0;
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/name", buf, sizeof buf, &needed), 0);
    EXPECT_STREQ(buf, "eth0");
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/item", buf, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "1") << "first match";
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/none", buf, sizeof buf, &needed), 2);
    needed = 0;
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/name", buf, 4, &needed), 28);
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(xml_get_element_value(doc, "/root/cfg/name", nullptr, 0, &needed), 28);
    EXPECT_EQ(xml_get_element_value(doc, "//[", buf, sizeof buf, &needed), 22);
    EXPECT_EQ(xml_get_element_value(nullptr, "/root", buf, sizeof buf, &needed), 22);
    EXPECT_EQ(xml_get_element_value(doc, nullptr, buf, sizeof buf, &needed), 22);
}

TEST_F(Xml, NodeCount) {
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
    u_int16_from_xml(h, 0, "/root/cfg/mtu", doc, &mtu, &err, 0, 0);
    EXPECT_EQ(mtu, 1500);
    EXPECT_EQ(err, 0u);
    u_int16_from_xml(h, 0, "/root/cfg/big", doc, &mtu, &err, 0, 0);
    EXPECT_EQ(err, 22u) << "70000 does not fit 16 bits";
    EXPECT_EQ(mtu, 1500);
    u_int8 small = 3;
    err = 0;
    u_int8_from_xml(h, 0, "/root/cfg/name", doc, &small, &err, 0, 0);
    EXPECT_EQ(err, 22u);
    EXPECT_EQ(small, 3);
    u_int32 big = 0;
    err = 0;
    u_int32_from_xml(h, 0, "/root/cfg/missing", doc, &big, &err, 0, 0);
    EXPECT_EQ(err, 2u);
    EXPECT_EQ(last_error(), 2u);
    u_int32_from_xml(h, 0, "/root/cfg/big", doc, &big, &err, 0, 0);
    EXPECT_EQ(big, 70000u);
    qel_boolean on = 0;
    qel_boolean_from_xml(h, 0, "/root/cfg/on", doc, &on, &err, 0, 0);
    EXPECT_EQ(on, 1u);
    char c = 0;
    char_from_xml(h, 0, "/root/cfg/c", doc, &c, &err, 0, 0);
    EXPECT_EQ(c, '<');
}

// ---- Encodings -------------------------------------------------------------

TEST_F(Codec, PrimitivesRoundTripInNetworkOrder) {
    uint8_t buf[8] = {};
    u_int16 a = 0x1234, a2 = 0;
    EXPECT_EQ(u_int16_marshal(h, 0, buf, &a, sizeof buf, &err), 2u);
    EXPECT_EQ(buf[0], 0x12);
    EXPECT_EQ(buf[1], 0x34);
    EXPECT_EQ(u_int16_unmarshal(h, 0, buf, &a2, 2, 0, &err), 2u);
    EXPECT_EQ(a2, a);

    u_int32 b = 0xA1B2C3D4, b2 = 0;
    EXPECT_EQ(u_int32_marshal(h, 0, buf, &b, 4, &err), 4u);
    EXPECT_EQ(std::memcmp(buf, "\xA1\xB2\xC3\xD4", 4), 0);
    EXPECT_EQ(u_int32_unmarshal(h, 0, buf, &b2, 4, 1, &err), 4u);
    EXPECT_EQ(b2, b);

    if_handle ih = 0x01020304, ih2 = 0;
    EXPECT_EQ(if_handle_marshal(h, 0, buf, &ih, 4, &err), 4u);
    EXPECT_EQ(std::memcmp(buf, "\x01\x02\x03\x04", 4), 0);
    EXPECT_EQ(if_handle_unmarshal(h, 0, buf, &ih2, 4, 0, &err), 4u);
    EXPECT_EQ(ih2, ih);

    qel_boolean t = 7, t2 = 0;
    EXPECT_EQ(qel_boolean_marshal(h, 0, buf, &t, 1, &err), 1u);
    EXPECT_EQ(buf[0], 1);
    buf[0] = 5;
    EXPECT_EQ(qel_boolean_unmarshal(h, 0, buf, &t2, 1, 0, &err), 1u);
    EXPECT_EQ(t2, 1u);

    u_int8 u = 0xFE, u2 = 0;
    char c = 'z', c2 = 0;
    EXPECT_EQ(u_int8_marshal(h, 0, buf, &u, 1, &err), 1u);
    EXPECT_EQ(u_int8_unmarshal(h, 0, buf, &u2, 1, 0, &err), 1u);
    EXPECT_EQ(char_marshal(h, 0, buf + 1, &c, 1, &err), 1u);
    EXPECT_EQ(char_unmarshal(h, 0, buf + 1, &c2, 1, 0, &err), 1u);
    EXPECT_EQ(u2, u);
    EXPECT_EQ(c2, c);
    EXPECT_EQ(err, 0u);

    EXPECT_EQ(u_int8_len() + u_int16_len() + u_int32_len(), 7u);
    EXPECT_EQ(qel_boolean_len(), 1u);
    EXPECT_EQ(if_handle_len(), 4u);
    EXPECT_EQ(char_len(), 1u);
    EXPECT_EQ(qel_boolean_sizeof(), 4u);
    EXPECT_EQ(char_sizeof(), 1u);
}

TEST_F(Codec, ShortRoomStores90AndMovesNothing) {
    uint8_t buf[8] = {0xAA, 0xAA, 0xAA, 0xAA};
    u_int32 v = 1;
    EXPECT_EQ(u_int32_marshal(h, 0, buf, &v, 3, &err), 0u);
    EXPECT_EQ(err, QEL_EMSGSIZE);
    EXPECT_EQ(last_error(), QEL_EMSGSIZE);
    EXPECT_EQ(buf[0], 0xAA);
    u_int16 w = 9;
    EXPECT_EQ(u_int16_unmarshal(h, 0, buf, &w, 1, 0, &err), 0u);
    EXPECT_EQ(w, 9);
    EXPECT_EQ(_qel_instance_ra_data_marshal(h, 0, buf, 1, 2, 8, &err), 0u);
    EXPECT_EQ(_qel_list_len_unmarshal(h, 0, buf, &v, 3, &err), 0u);
    err = 0;
    EXPECT_EQ(u_int8_marshal(h, 0, buf, nullptr, 4, &err), 0u);
    EXPECT_EQ(err, QEL_EMSGSIZE);

    err = QEL_ENOMEM; // pending error: encoding still happens
    EXPECT_EQ(u_int32_marshal(h, 0, buf, &v, 4, &err), 4u);
    EXPECT_EQ(buf[3], 1);
}

TEST_F(Codec, HeaderItems) {
    uint8_t buf[16] = {};
    int8_t var = -1, var2 = 0;
    EXPECT_EQ(_qel_instance_variant_marshal(h, 0, buf, &var, 1, &err), 1u);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(_qel_instance_variant_unmarshal(h, 0, buf, &var2, 1, &err), 1u);
    EXPECT_EQ(var2, -1);
    uint8_t flag = QEL_OBJ_NESTED, flag2 = 0;
    EXPECT_EQ(_qel_instance_obj_flag_marshal(h, 0, buf, &flag, 1, &err), 1u);
    EXPECT_EQ(_qel_instance_obj_flag_unmarshal(h, 0, buf, &flag2, 1, &err), 1u);
    EXPECT_EQ(flag2, flag);
    EXPECT_EQ(_qel_instance_ra_data_marshal(h, 0, buf, 0x0102030405060708ull, 0x99, 9, &err), 9u);
    EXPECT_EQ(std::memcmp(buf, "\x01\x02\x03\x04\x05\x06\x07\x08\x99", 9), 0);
    EXPECT_EQ(_qel_instance_ra_data_unmarshal(h, 0, buf, 9, &err), 9u);
    uint32_t jump = 0x00010203, jump2 = 0;
    EXPECT_EQ(_qel_variant_jump_marshal(h, 0, buf, &jump, 4, &err), 4u);
    EXPECT_EQ(std::memcmp(buf, "\x00\x01\x02\x03", 4), 0);
    EXPECT_EQ(_qel_variant_jump_unmarshal(h, 0, buf, &jump2, 4, &err), 4u);
    EXPECT_EQ(jump2, jump);
    EXPECT_EQ(_qel_list_len_marshal(h, 0, buf, &jump, 4, &err), 4u);
    EXPECT_EQ(_qel_list_len_unmarshal(h, 0, buf, &jump2, 4, &err), 4u);
    EXPECT_EQ(err, 0u);
}

TEST_F(Codec, CountedStrings) {
    uint8_t buf[16];
    var_string s{5, const_cast<char *>("hello")};
    EXPECT_EQ(var_string_len(&s), 9u);
    EXPECT_EQ(var_string_marshal(h, 0, buf, &s, sizeof buf, &err), 9u);
    EXPECT_EQ(std::memcmp(buf, "\0\0\0\5hello", 9), 0);
    var_string out{0, static_cast<char *>(std::malloc(3))}; // replaced, not leaked
    EXPECT_EQ(var_string_unmarshal(h, 0, buf, &out, 9, 0, &err), 9u);
    EXPECT_EQ(var_string_compare(&out, &s), 0);
    EXPECT_EQ(var_string_hash(&out, 1), SuperFastHash("hello", 5, 1));
    EXPECT_EQ(var_string_unmarshal(h, 0, buf, &out, 8, 0, &err), 0u) << "length beyond room";
    EXPECT_EQ(err, QEL_EMSGSIZE);
    std::free(out.data);
    var_string shorter{4, const_cast<char *>("hell")};
    EXPECT_EQ(var_string_compare(&shorter, &s), -1);

    err = 0;
    EXPECT_EQ(null_string_marshal(h, 0, buf, "abc", sizeof buf, &err), 7u);
    EXPECT_EQ(std::memcmp(buf, "\0\0\0\3abc", 7), 0);
    EXPECT_EQ(null_string_len("abc"), 7u);
    EXPECT_EQ(null_string_marshal(h, 0, buf, "abcdef", 9, &err), 0u);
    EXPECT_EQ(err, QEL_EMSGSIZE);
    EXPECT_EQ(null_string_compare("a", "b"), -1);
    EXPECT_EQ(null_string_compare(nullptr, "b"), -1);
    EXPECT_EQ(null_string_hash("abc", 0), 0xe5186b3au);
}

// ---- Primitive operations ----------------------------------------------------

TEST_F(Codec, SetNotifiesAndBooleansStoreOne) {
    u_int16 f = 0;
    u_int16_set_value(h, 3, &f, 513, &err);
    EXPECT_EQ(f, 513);
    ASSERT_EQ(state(h).writes.size(), 1u);
    EXPECT_EQ(state(h).writes[0].addr, &f);
    EXPECT_EQ(state(h).writes[0].len, 2u);
    EXPECT_EQ(state(h).writes[0].ctx, 3u);
    qel_boolean b = 0, src = 42;
    qel_boolean_set(h, 0, &b, &src, &err);
    EXPECT_EQ(b, 1u);
    EXPECT_EQ(state(h).writes.back().len, 4u);
    EXPECT_EQ(u_int16_get(h, 0, &f, &err), &f);
    EXPECT_EQ(u_int16_get_value(h, 0, &f, &err), 513);
    EXPECT_EQ(err, 0u);
    u_int32_set(h, 0, nullptr, nullptr, &err);
    EXPECT_EQ(err, 22u);
    EXPECT_EQ(state(h).writes.size(), 2u);
}

TEST_F(Codec, PrintAndToXml) {
    char buf[64];
    u_int16 mtu = 1500;
    EXPECT_EQ(u_int16_print(h, 0, buf, 2, "mtu", &mtu, sizeof buf, &err), 19);
    EXPECT_STREQ(buf, "  mtu@u_int16:1500\n");
    qel_boolean on = 1;
    qel_boolean_print(h, 0, buf, 0, "up", &on, sizeof buf, &err);
    EXPECT_STREQ(buf, "up@qel_boolean:TRUE\n");
    if_handle ih = 42;
    if_handle_print(h, 0, buf, 0, "if", &ih, sizeof buf, &err);
    EXPECT_STREQ(buf, "if@if_handle:0x0000002a\n");
    char c = 'q';
    char_print(h, 0, buf, 0, "c", &c, sizeof buf, &err);
    EXPECT_STREQ(buf, "c@char:q\n");
    EXPECT_EQ(u_int16_print(h, 0, buf, 2, "mtu", &mtu, 8, &err), 7);
    EXPECT_STREQ(buf, "  mtu@u");
    EXPECT_EQ(err, QEL_ENOSPC);

    err = 0;
    EXPECT_EQ(u_int16_to_xml(h, 0, "mtu", buf, &mtu, sizeof buf, 0, &err), 15);
    EXPECT_STREQ(buf, "<mtu>1500</mtu>");
    qel_boolean_to_xml(h, 0, "up", buf, &on, sizeof buf, 0, &err);
    EXPECT_STREQ(buf, "<up>true</up>");
    ih = 0xFFFFFFFF;
    if_handle_to_xml(h, 0, "if", buf, &ih, sizeof buf, 0, &err);
    EXPECT_STREQ(buf, "<if>4294967295</if>");
    c = '&';
    char_to_xml(h, 0, "c", buf, &c, sizeof buf, 0, &err);
    EXPECT_STREQ(buf, "<c>&amp;</c>");
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(u_int16_to_xml(h, 0, "mtu", buf, &mtu, 10, 0, &err), 9);
    EXPECT_STREQ(buf, "<mtu>1500");
    EXPECT_EQ(err, QEL_ENOSPC);
}

TEST(Primitive, CompareIsUnsignedAndNullFirst) {
    u_int32 small = 1, large = 0x80000000u;
    EXPECT_EQ(u_int32_compare(&small, &large), -1);
    EXPECT_EQ(u_int32_compare(&large, &small), 1);
    EXPECT_EQ(u_int32_compare(&small, &small), 0);
    EXPECT_EQ(u_int32_compare(nullptr, &small), -1);
    EXPECT_EQ(u_int32_compare(&small, nullptr), 1);
    EXPECT_EQ(u_int32_compare(nullptr, nullptr), 0);
    char a = 'a', high = static_cast<char>(0xE9);
    EXPECT_EQ(char_compare(&a, &high), -1);
}

TEST(Primitive, HashCoversTheValueBytesInMemoryOrder) {
    u_int32 v = 0x12345678; // little endian in memory: 78 56 34 12
    EXPECT_EQ(u_int32_hash(&v, 0), 0xd6e16a56u);
    EXPECT_EQ(u_int32_hash(nullptr, 77), 77u);
    char c = 'a';
    EXPECT_EQ(char_hash(&c, 0), 0x93642e87u);
}

// Expected values come from an independent port of the same definition.
TEST(SuperFastHash, FixedVectors) {
    EXPECT_EQ(SuperFastHash("a", 1, 0), 0x93642e87u);
    EXPECT_EQ(SuperFastHash("\xff", 1, 0), 0x7ffaa939u);
    EXPECT_EQ(SuperFastHash("ab", 2, 7), 0x9e7f1405u);
    EXPECT_EQ(SuperFastHash("abc", 3, 0), 0xe5186b3au);
    EXPECT_EQ(SuperFastHash("ab\xe9", 3, 1), 0x704cf86fu);
    EXPECT_EQ(SuperFastHash("abcd", 4, 0), 0x3ab452d8u);
    EXPECT_EQ(SuperFastHash("hello world", 11, 0x2A), 0xe4a6b2a6u);
    EXPECT_EQ(SuperFastHash("The quick brown fox", 19, 0xdeadbeef), 0xf77de03au);
    EXPECT_EQ(SuperFastHash(nullptr, 4, 9), 9u);
    EXPECT_EQ(SuperFastHash("abc", 0, 9), 9u);
}

} // namespace
