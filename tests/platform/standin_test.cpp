// The stand-in runtime as the library and other tests rely on it: variant adjustment, the helpers'
// error contract, the print and XML forms, XML reading, booleans on the wire, SuperFastHash and
// luids.  (Element lookups: xml_lookup_test.cpp.)
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "qel_standin.h"
#include "c_notation.h"

std::vector<std::string> golden_lines(const char *file); // xml_lookup_test.cpp

using test::unescape;

namespace {

using namespace qel_standin;
using namespace std::string_view_literals;
using std::string_literals::operator""s;

xmlDocPtr parse(const std::string &text) {
    return xmlReadMemory(text.data(), static_cast<int>(text.size()), "t.xml", nullptr, XML_PARSE_NONET);
}

class Standin : public ::testing::Test {
protected:
    void SetUp() override {
        h = handle_new();
        observe(h);
    }
    void TearDown() override { handle_delete(h); }
    HandleState &st() { return state(h); }
    uint32_t took() { return std::exchange(err, 0); } // the error word, cleared

    qel_handle_t *h = nullptr;
    uint32_t err = 0;
};

// A type record with `count` variants.
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

// The variant of a new instance: the domain's, never above the layout, never lowered.  (The highest
// without a domain: the runtime interface tests; the domain's error number and its recorded
// lookups: the enumeration tests.)
TEST_F(Standin, VariantsComeFromTheDomainAndAreOnlyRaised) {
    TypeRecord rec(4);
    alignas(8) uint8_t inst[16] = {};
    auto *hdr = reinterpret_cast<qel_instance_header_t *>(inst);
    hdr->layout_variant = 2;
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 3, &err), 2) << "capped by layout";
    ASSERT_EQ(st().writes.size(), 1u);
    EXPECT_TRUE(st().writes[0].addr == &hdr->instance_variant && st().writes[0].len == 1u && st().writes[0].owner == inst);
    set_domain_variant(h, "t", 0);
    EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, 3, &err), 2);
    EXPECT_EQ(st().writes.size(), 1u) << "lowering is not a store";
    hdr->layout_variant = 3;
    for (auto [domain, asked, want] : {std::tuple{3, 1, 1}, {2, 3, 2}}) {
        hdr->instance_variant = 0;
        set_domain_variant(h, "t", static_cast<int8_t>(domain));
        EXPECT_EQ(qellib_adjust_variant(h, 5, inst, &rec.ti, asked, &err), want);
    }
    EXPECT_EQ(qellib_adjust_variant(h, 5, nullptr, &rec.ti, 1, &err), -1);
}

// Writes into b (len bytes) what a line of tests/golden/platform/writers
// names: a[0] the writer, then its arguments ("-" none).
int32_t write_line(qel_handle_t *h, const std::vector<std::string> &a, char *b, int32_t len, uint32_t *err) {
    auto s = [&](size_t i) { return i >= a.size() || a[i] == "-" ? nullptr : a[i].c_str(); };
    auto size = [&](size_t i) { return s(i) == nullptr ? 0u : static_cast<uint32_t>(a[i].size()); };
    auto n = [&](size_t i) { return static_cast<int32_t>(std::stol(a.at(i), nullptr, 0)); };
    auto u = [&](size_t i) { return static_cast<uint32_t>(std::stoul(a.at(i), nullptr, 0)); };
    const std::string &w = a[0];
    const bool primitive = w.starts_with("u16") || w.starts_with("u32") || w.starts_with("bool") || w.starts_with("ifh");
    const uint32_t value = primitive ? u(w.ends_with("_xml") ? 2 : 3) : 0; // qel_boolean, if_handle: 4 bytes
    const auto v16 = static_cast<u_int16>(value);
    if (w == "space") return qel_print_space(h, 0, b, n(1), len, err);
    if (w == "start_tag") return start_tag(h, 0, b, s(1), len, n(2), err);
    if (w == "end_tag") return end_tag(h, 0, b, s(1), len, err);
    if (w == "enum") return xml_enum_print(h, 0, b, s(1), len, n(2), err);
    if (w == "u16_xml") return u_int16_to_xml(h, 0, s(1), b, &v16, len, u(3), err);
    if (w == "bool_xml") return qel_boolean_to_xml(h, 0, s(1), b, &value, len, u(3), err);
    if (w == "ifh_xml") return if_handle_to_xml(h, 0, s(1), b, &value, len, u(3), err);
    if (w == "bool_print") return qel_boolean_print(h, 0, b, n(1), s(2), &value, len, err);
    if (w == "u32_print") return u_int32_print(h, 0, b, n(1), s(2), &value, len, err);
    if (w == "string_print") return var_string_print(h, 0, b, n(1), s(2), s(3), size(3), len, err);
    if (w == "string_xml") return var_string_to_xml(h, 0, s(1), b, s(2), size(2), len, u(3), err);
    if (w == "text_print") return null_string_print(h, 0, b, n(1), s(2), s(3), u(4), len, err);
    if (w == "text_xml") return null_string_to_xml(h, 0, s(1), b, s(2), u(3), len, u(4), err);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    if (w == "format") return qel_snprintf(h, 0, b, len, err, s(1), s(2), s(3), s(4));
#pragma GCC diagnostic pop
    ADD_FAILURE() << "no writer " << w;
    return -1;
}

// Every writer (tests/golden/platform/writers) gives its whole text in room enough; in len bytes
// the prefix that fits with its NUL and nothing past it, 28 when it is cut, and nothing at all
// without room (28 unless there was nothing to write).  Like every helper with an error word, it
// first clears a stale last error, and while the word holds an error it returns 0 and touches
// nothing, not even the last error.
TEST_F(Standin, WritersCutTheirTextToAPrefixAndStore28) {
    const std::vector<std::string> lines = golden_lines("writers");
    ASSERT_EQ(lines.size(), 31u);
    for (const std::string &line : lines) {
        const size_t arrow = line.find(" =>");
        const std::string whole = arrow + 3 < line.size() ? unescape(line.substr(arrow + 4)) : "";
        std::vector<std::string> a;
        std::istringstream words(line.substr(0, arrow));
        for (std::string word; words >> word;) a.push_back(word == "-" ? word : word == "\"\"" ? "" : unescape(word));
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        err = 5;
        st().last_error = 77;
        EXPECT_EQ(write_line(h, a, buf, sizeof buf, &err), 0) << line;
        EXPECT_TRUE(err == 5u && st().last_error == 77u && buf[0] == '#') << line;
        err = 0;
        for (int32_t len = -1; len <= static_cast<int32_t>(whole.size()) + 1; ++len) {
            SCOPED_TRACE(testing::Message() << line << " in " << len);
            std::memset(buf, '#', sizeof buf);
            st().last_error = 77;
            const size_t keep = std::min(whole.size(), static_cast<size_t>(std::max(len - 1, 0)));
            EXPECT_EQ(write_line(h, a, buf, len, &err), static_cast<int32_t>(keep));
            EXPECT_EQ(std::string(buf, keep), whole.substr(0, keep));
            EXPECT_EQ(buf[keep], len > 0 ? '\0' : '#');
            EXPECT_EQ(std::string(buf + keep + 1, sizeof buf - keep - 1), std::string(sizeof buf - keep - 1, '#'));
            EXPECT_EQ(took(), keep < whole.size() ? QEL_ENOSPC : 0u);
            EXPECT_EQ(st().last_error, keep < whole.size() ? QEL_ENOSPC : 0u);
        }
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    char buf[8] = "#######"; // a malformed format: an empty text and 22 when there is room
    const char *malformed = "tail%";
    EXPECT_EQ(qel_snprintf(h, 0, buf, 0, &err, malformed), 0);
    EXPECT_TRUE(took() == 0u && buf[0] == '#');
    EXPECT_EQ(qel_snprintf(h, 0, buf, 8, &err, malformed), 0);
    EXPECT_TRUE(took() == QEL_EINVAL && buf[0] == '\0');
#pragma GCC diagnostic pop
    EXPECT_EQ(qel_snprintf(h, 0, nullptr, 0, &err, "x"), 0);
    EXPECT_EQ(took(), QEL_ENOSPC);
}

// Every other helper with an error word: while the word holds an error it returns 0 and touches
// nothing, not even the handle's last error; otherwise it clears a stale last error before its
// work, and stores its own refusal.  (The primitives share one template: one family stands for all
// six.  Writers and readers: their tests; the codecs: the structures' wire tests.)
TEST_F(Standin, EveryHelperWaitsForAClearWordAndClearsAStaleLastError) {
    alignas(8) uint8_t area[48];
    const uint8_t wire[9] = {0, 0, 0, 1, 5, 6, 7, 8, 9};
    auto *u16 = reinterpret_cast<u_int16 *>(area + 32);
    const u_int16 one = 1;
    struct Helper {
        const char *name;
        std::function<int64_t(uint32_t *)> run;
        uint32_t refused = 0; // the error number with a clear word
    };
    const std::vector<Helper> helpers = {
        {"get", [&](uint32_t *e) { return u_int16_get(h, 0, u16, e) != nullptr; }},
        {"get_value", [&](uint32_t *e) { return u_int16_get_value(h, 0, &one, e); }},
        {"set", [&](uint32_t *e) { return u_int16_set(h, 0, u16, &one, e), 0; }},
        {"set_value", [&](uint32_t *e) { return u_int16_set_value(h, 0, u16, one, e), 0; }},
        {"ra_data_marshal", [&](uint32_t *e) { return _qel_instance_ra_data_marshal(h, 0, area, 1, 2, 9, e); }},
        {"ra_data_unmarshal", [&](uint32_t *e) { return _qel_instance_ra_data_unmarshal(h, 0, wire, 9, e); }},
        // characters missing, a value missing
        {"var_string_print of nothing", [&](uint32_t *e) { return var_string_print(h, 0, nullptr, 0, "s", nullptr, 3, 10, e); }, QEL_EINVAL},
        {"null_string_print of nothing", [&](uint32_t *e) { return null_string_print(h, 0, nullptr, 0, "n", nullptr, 4, 10, e); }, QEL_EINVAL},
        {"get_value of nothing", [&](uint32_t *e) { return u_int32_get_value(h, 0, nullptr, e); }, QEL_EINVAL},
        {"get of nothing", [&](uint32_t *e) { return u_int16_get(h, 0, nullptr, e) != nullptr; }, QEL_EINVAL},
        // a conversion the C locale cannot make
        {"%ls", [&](uint32_t *e) { return qel_snprintf(h, 0, reinterpret_cast<char *>(area), 8, e, "%ls", L"\u00e9"); }, QEL_EINVAL}};
    uint8_t clean[sizeof area];
    std::memset(clean, 0xA5, sizeof clean);
    for (const auto &[name, run, refused] : helpers) {
        SCOPED_TRACE(name);
        std::memcpy(area, clean, sizeof area);
        st().writes.clear();
        err = 5;
        st().last_error = 77;
        EXPECT_EQ(run(&err), 0);
        EXPECT_EQ(err, 5u);
        EXPECT_EQ(st().last_error, 77u);
        EXPECT_EQ(std::memcmp(area, clean, sizeof area), 0) << "nothing is written";
        EXPECT_TRUE(st().writes.empty());
        err = 0;
        run(&err);
        EXPECT_EQ(err, refused);
        EXPECT_EQ(st().last_error, refused) << "the stale error is cleared";
    }
    EXPECT_EQ(count_calls(h, "qel_clear_last_error"), 0u) << "the helpers' own clearing";
    EXPECT_EQ(count_calls(h, "qel_store_err"), 0u);
}

// Numbers (tests/golden/platform/numbers) are read as strtoull reads them,
// between blanks, no sign, at most the type's maximum.
TEST(StandinXmlNumbers, NumbersReadAsStrtoullReadsThem) {
    const std::vector<std::string> lines = golden_lines("numbers");
    ASSERT_EQ(lines.size(), 43u);
    std::string xml = "<r>";
    for (const std::string &line : lines) xml += "<v>" + unescape(line.substr(1, line.rfind("\" => ") - 1)) + "</v>";
    xmlDocPtr doc = parse(xml + "</r>");
    ASSERT_NE(doc, nullptr);
    qel_handle_t *h = handle_new();
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const std::string path = "/r/v[" + std::to_string(i + 1) + "]", read_as = lines[i].substr(lines[i].rfind(' ') + 1);
        auto read = [&](auto from_xml, auto v, uint64_t max) { // refused leaves the value alone
            const bool ok = read_as != "refused" && std::stoull(read_as) <= max;
            uint32_t err = 0;
            from_xml(h, 0, path.c_str(), doc, &v, &err, nullptr, 0);
            EXPECT_EQ(err, ok ? 0u : QEL_EINVAL) << max;
            EXPECT_EQ(uint64_t{v}, ok ? std::stoull(read_as) : 7u) << max;
        };
        read(u_int8_from_xml, u_int8{7}, UINT8_MAX);
        read(u_int16_from_xml, u_int16{7}, UINT16_MAX);
        read(u_int32_from_xml, u_int32{7}, UINT32_MAX);
        read(if_handle_from_xml, if_handle{7}, UINT32_MAX);
    }
    handle_delete(h);
    xmlFreeDoc(doc);
}

// Each reader (tests/golden/platform/reads) takes what fits or stores its error, reports the path
// (within the room given) unless the element is only absent, and leaves the destination alone; it
// first clears a stale last error, and does nothing while the error word holds an error.
TEST_F(Standin, ReadersTakeWhatFitsOrStoreTheirErrorAndTouchNothing) {
    const std::vector<std::string> lines = golden_lines("reads");
    ASSERT_EQ(lines.size(), 16u);
    xmlDocPtr doc = parse(lines[0]);
    alignas(8) char dest[8];
    for (size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        std::istringstream words(lines[i]);
        std::string reader, path, arrow, want_dest;
        uint32_t room = 0, want = 0;
        words >> reader >> path >> room >> arrow >> want >> want_dest;
        const size_t colon = reader.find(':');
        const uint32_t size = colon != std::string::npos ? static_cast<uint32_t>(std::stoul(reader.substr(colon + 1))) : 0;
        auto read = [&](char *message) {
            const char *p = path.c_str();
            char *m = room > 0 ? message : nullptr;
            if (reader == "u8") u_int8_from_xml(h, 0, p, doc, reinterpret_cast<u_int8 *>(dest), &err, m, room);
            if (reader == "u16") u_int16_from_xml(h, 0, p, doc, reinterpret_cast<u_int16 *>(dest), &err, m, room);
            if (reader == "u32") u_int32_from_xml(h, 0, p, doc, reinterpret_cast<u_int32 *>(dest), &err, m, room);
            if (reader == "boolean") qel_boolean_from_xml(h, 0, p, doc, reinterpret_cast<qel_boolean *>(dest), &err, m, room);
            if (reader.starts_with("string")) var_string_from_xml(h, 0, p, doc, dest, size, &err, m, room);
            if (reader.starts_with("text")) null_string_from_xml(h, 0, p, doc, dest, size, &err, m, room);
        };
        char message[40] = "untouched";
        std::memset(dest, '#', sizeof dest);
        err = 5;
        st().last_error = 77;
        read(message);
        EXPECT_TRUE(err == 5u && st().last_error == 77u && message == "untouched"s);
        EXPECT_EQ(std::string(dest, sizeof dest), std::string(8, '#'));
        err = 0;
        read(message);
        EXPECT_EQ(took(), want);
        EXPECT_EQ(std::exchange(st().last_error, 0), want);
        EXPECT_EQ(std::string(dest, sizeof dest), unescape(want_dest));
        if (room > 0) {
            EXPECT_EQ(message, want == 0 || want == 2 ? "untouched"s : ("Failed xpath: "s + path).substr(0, room - 1));
        }
    }
    xmlFreeDoc(doc);
}

// Escapes (tests/golden/platform/escapes) are found a word at a time; a
// character to escape is found at any place in a word.  What is written
// parses with libxml2 and reads back to the same text.
TEST_F(Standin, StringsAreEscapedAtEveryPlaceAndReadBack) {
    // s as a printed line (indent 3) or an XML element (flag 9)
    auto write = [&](bool xml, const std::string &s) {
        char b[160];
        const auto len = static_cast<uint32_t>(s.size());
        const int32_t n = xml ? var_string_to_xml(h, 0, "t", b, s.data(), len, sizeof b, 9, &err)
                              : var_string_print(h, 0, b, 3, "t", s.data(), len, sizeof b, &err);
        EXPECT_EQ(std::strlen(b), static_cast<size_t>(n));
        return std::string(b, static_cast<size_t>(n));
    };
    const std::vector<std::string> escapes = golden_lines("escapes");
    ASSERT_EQ(escapes.size(), 40u);
    for (const std::string &line : escapes) {
        char where[8], text[32], shown[64];
        ASSERT_EQ(std::sscanf(line.c_str(), "%7s %31s %63s", where, text, shown), 3) << line;
        const bool xml = where == "xml"sv;
        for (size_t at = 0; at <= 17; ++at) {
            const std::string head(at, 'a'), tail(19 - at, 'b'), s = head + unescape(text) + tail;
            EXPECT_EQ(write(xml, s),
                      (xml ? "<t state=\"9\">" : "   t:\"") + head + unescape(shown) + tail + (xml ? "</t>" : "\"\n"))
                << line << " at " << at;
        }
    }
    EXPECT_EQ(err, 0u);
    // read back: markup, white space and UTF-8 survive; a NUL does not
    for (const std::string &v : {"plain"s, ""s, "<&>\"'"s, "tab\tlf\ncr\r\n"s, "  spaced  "s,
                                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"s, "]]> &amp;"s, "a\0b"s}) {
        char text[256];
        xmlDocPtr back = parse("<r>" + std::string(text, var_string_to_xml(h, 0, "s", text, v.data(), static_cast<uint32_t>(v.size()), sizeof text, 3, &err)) + "</r>");
        uint32_t needed = 0;
        EXPECT_EQ(xml_get_element_value(back, "/r/s", nullptr, 0, &needed), 28); // the probe
        std::string got(needed + 1, '#');
        var_string_from_xml(h, 0, "/r/s", back, got.data(), needed + 1, &err, nullptr, 0);
        EXPECT_EQ(got, (v == "a\0b"s ? "a\xef\xbf\xbd" "b"s : v) + '\0');
        xmlFreeDoc(back);
    }
    EXPECT_EQ(err, 0u);
}

// Wire sizes of the primitives, and SuperFastHash, whose vectors come from an independent port of
// the same definition (no data hashes to 0 whatever the running hash, as in the published
// function).  (The primitives' own hashes: the structures' golden hashes.)
TEST(StandinGlobal, PrimitivesHashWithSuperFastHash) {
    EXPECT_TRUE(u_int16_len() == 2u && qel_boolean_len() == 1u);
    struct Row {
        const char *data;
        int len;
        uint32_t start, want;
    };
    for (const Row &r : {Row{"a", 1, 0, 0x93642e87u}, Row{"\xff", 1, 0, 0x7ffaa939u}, Row{"ab", 2, 7, 0x9e7f1405u},
                         Row{"abc", 3, 0, 0xe5186b3au}, Row{"ab\xe9", 3, 1, 0x704cf86fu}, Row{"abcd", 4, 0, 0x3ab452d8u},
                         Row{"The quick brown fox", 19, 0xdeadbeef, 0xf77de03au}, Row{nullptr, 4, 9, 0},
                         Row{"abc", 0, 9, 0}, Row{"abc", -1, 9, 0}})
        EXPECT_EQ(SuperFastHash(r.data, r.len, r.start), r.want) << (r.data ? r.data : "null") << " " << r.len;
}

// The luid weighs each word by its position, so that a caller that passes
// its words on in another order shows.
TEST(StandinGlobal, LuidsWeighEachWordByItsPosition) {
    for (uint32_t k = 0; k < 6; ++k) {
        uint32_t w[6] = {};
        w[k] = 1;
        EXPECT_EQ(qel_get_luid(w[0], w[1], w[2], w[3], w[4], w[5]), k + 1);
    }
}

// Any non-zero boolean travels as 1, and any non-zero byte reads as 1.
TEST_F(Standin, ABooleanTravelsAsOneByte0Or1) {
    uint8_t buf[1] = {};
    qel_boolean t = 7, back = 0;
    EXPECT_EQ(qel_boolean_marshal(h, 0, buf, &t, 1, &err), 1u);
    EXPECT_EQ(buf[0], 1);
    buf[0] = 5;
    EXPECT_EQ(qel_boolean_unmarshal(h, 0, buf, &back, 1, 0, &err), 1u);
    EXPECT_EQ(back, 1u);
}

} // namespace
