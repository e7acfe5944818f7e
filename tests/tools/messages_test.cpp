// What stands behind drovdef's message commands, in process: the
// compatibility rules on hand-made schema pairs, and the layout of an
// encoding as the tool takes it from the library's reader of the format.
#include "compat.h"
#include "elf_file.h"
#include "layout.h"
#include "schema.h"

#include "drov_def/drov_def.hpp"
#include "structs/schema_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <tuple>

namespace {

namespace schema = drovdef::schema;

// ---- Compatibility rules -----------------------------------------------------------

// Edits of a schema, each with the verdicts it must get or the reader's
// refusal (tests/golden/drovdef/compat.cases).
TEST(drovdef_compat, VerdictsOnSchemaEdits) {
    std::ifstream in(DROVDEF_GOLDEN "/compat.cases");
    std::vector<std::pair<std::string, std::vector<std::string>>> blocks; // name, lines
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("=== ")) blocks.push_back({line.substr(4), {}});
        else if (!blocks.empty() && !line.empty() && line[0] != '#') blocks.back().second.push_back(line);
    }
    std::string old_text;
    int cases = 0;
    for (const auto &[name, lines] : blocks) {
        SCOPED_TRACE(name);
        const auto verdicts = std::ranges::find(lines, "---");
        std::string text;
        for (auto line = lines.begin(); line != verdicts; ++line) text += *line + "\n";
        if (name == "old") {
            old_text = text;
            continue;
        }
        ++cases;
        ASSERT_NE(verdicts, lines.end());
        std::vector<std::string> got;
        try {
            for (const auto &v : drovdef::compat::compare(schema::parse(old_text, "old"), schema::parse(text, "new")))
                got.push_back(drovdef::compat::line(v));
        } catch (const drovdef::Error &e) {
            got = {std::string("error: ") + e.what()};
        }
        EXPECT_EQ(got, std::vector<std::string>(std::next(verdicts), lines.end()));
    }
    EXPECT_EQ(cases, 30);
}

// ---- The layout of an encoding -----------------------------------------------------

// For every type, filled at random: the parts tile the message up to the
// size the reader gives, the headers' body ends lie within it, and a
// message found further into an input (decode --all) has every offset, body
// end and refusal moved by where it starts.
TEST(drovdef_layout, PartsTileTheMessageAtAnyStart) {
    drov::Handle h;
    int messages = 0;
    drov::meta::for_each_struct([&](auto type) {
        using C = typename decltype(type)::type;
        using Tr = drov::detail::Traits<typename C::c_type>;
        const std::string name(C::type_name);
        SCOPED_TRACE(name);
        C inst(h);
        test::walk::Filler fill{h.get(), std::mt19937(static_cast<unsigned>(name.size()))};
        fill.max_string = 12;
        fill.fill(test::walk::index_of(name), inst.c_ptr());
        const std::vector<std::byte> wire = inst.encode();
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(wire.data()), wire.size());
        const drovdef::layout::Layout at0 = drovdef::layout::walk(h.get(), Tr::record(), bytes, false);
        ASSERT_FALSE(at0.refusal) << at0.refusal->reason;
        ASSERT_EQ(at0.size, bytes.size());
        std::uint64_t end = 0;
        for (const auto &p : at0.parts) {
            EXPECT_EQ(p.offset, end) << p.path;
            end = p.offset + p.size;
            if (p.kind == DROV_DEF_WIRE_HEADER) {
                if (p.path.empty()) {
                    EXPECT_EQ(p.type, name);
                }
                EXPECT_GT(p.body_end, p.offset);
                EXPECT_LE(p.body_end, bytes.size());
            }
        }
        EXPECT_EQ(end, bytes.size());
        EXPECT_EQ(at0.parts.front().type, name);

        const drovdef::layout::Layout at9 = drovdef::layout::walk(h.get(), Tr::record(), bytes, false, 9000);
        ASSERT_EQ(at9.parts.size(), at0.parts.size());
        for (std::size_t i = 0; i < at0.parts.size(); ++i) {
            const auto &a = at0.parts[i], &b = at9.parts[i];
            EXPECT_EQ(b.offset, a.offset + 9000);
            EXPECT_EQ(b.body_end, a.body_end == 0 ? 0 : a.body_end + 9000);
            EXPECT_EQ(b.fields_end, a.fields_end == 0 ? 0 : a.fields_end + 9000);
            EXPECT_EQ(std::tie(b.kind, b.size, b.path, b.field, b.type, b.written, b.read, b.flags),
                      std::tie(a.kind, a.size, a.path, a.field, a.type, a.written, a.read, a.flags));
        }
        const auto cut0 = drovdef::layout::walk(h.get(), Tr::record(), bytes.first(bytes.size() - 1), false);
        const auto cut9 = drovdef::layout::walk(h.get(), Tr::record(), bytes.first(bytes.size() - 1), false, 9000);
        ASSERT_TRUE(cut0.refusal && cut9.refusal);
        EXPECT_EQ(cut0.refusal->code, 90u);
        EXPECT_EQ(cut9.refusal->offset, cut0.refusal->offset + 9000);
        EXPECT_EQ(cut9.refusal->path, cut0.refusal->path);
        EXPECT_FALSE(cut0.refusal->reason.empty());
        EXPECT_EQ(cut0.size, 0u);
        ++messages;
    });
    EXPECT_EQ(messages, 30);
    const auto none = drovdef::layout::walk(h.get(), drov::detail::Traits<drov::VmId::c_type>::record(), {}, false, 5);
    ASSERT_TRUE(none.refusal);
    EXPECT_EQ(drovdef::layout::text(*none.refusal), "cut short at offset 5: no bytes");
}

} // namespace
