// What stands behind drovdef's message commands, in process: the
// compatibility rules on hand-made schema pairs, and the map of an encoding
// (laid out by the tool's own schema reader) against the library's decoding.
#include "compat.h"
#include "elf_file.h"
#include "schema.h"
#include "wire_walk.h"

#include "drov_def/drov_def.hpp"
#include "structs/schema_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

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

// ---- The map of an encoding --------------------------------------------------------

// Wherever the bytes end or are damaged, the map ends where the library's
// decoding does, with the same error; read by an older peer too (the
// variant bytes the tool lowers before the library decodes).
TEST(drovdef_wire_walk, EndsWhereTheLibrarysDecodingEnds) {
    const schema::Schema &s = schema::builtin();
    int messages = 0;
    for (const bool tracking : {false, true}) {
        drov::Handle h;
        if (tracking) h.track_state();
        drov::meta::for_each_struct([&](auto type) {
            using C = typename decltype(type)::type;
            using Tr = drov::detail::Traits<typename C::c_type>;
            const std::string name(C::type_name);
            SCOPED_TRACE(name + (tracking ? ", tracking" : ""));
            const schema::Type &t = *s.find(name);
            auto check = [&](const std::vector<uint8_t> &bytes, bool older) {
                auto known = [older](const schema::Type &k) { return older ? 0 : k.variants() - 1; };
                const drovdef::wire::Walk w = drovdef::wire::walk(h.get(), s, t, bytes, known);
                std::vector<uint8_t> patched = bytes;
                for (const auto &p : w.segments)
                    if (p.read >= 0 && p.written > p.read) patched[p.at] = static_cast<uint8_t>(p.read);
                patched.push_back(0);
                C out(h);
                uint32_t err = 0;
                const uint32_t n = Tr::unmarshal(h.get(), 1, patched.data(), out.c_ptr(),
                                                 static_cast<int32_t>(bytes.size()), 0, &err);
                ++messages;
                if (err == DROV_DEF_ENOMEM) return;
                ASSERT_EQ(w.end, n) << "of " << bytes.size() << " bytes, first " << int(bytes.empty() ? 0 : bytes[0]);
                ASSERT_EQ(w.err, err) << "of " << bytes.size() << " bytes";
                ASSERT_EQ(w.failure.has_value(), err != 0);
                ASSERT_EQ(w.segments.empty(), bytes.empty());
            };
            for (uint32_t round = 0; round < 2; ++round) {
                C inst(h);
                test::walk::Filler fill{h.get(), std::mt19937(round * 31 + name.size())};
                fill.max_string = 12;
                fill.fill(test::walk::index_of(name), inst.c_ptr());
                const std::vector<std::byte> wire = inst.encode();
                const std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t *>(wire.data()),
                                                 reinterpret_cast<const uint8_t *>(wire.data()) + wire.size());
                for (const bool older : {false, true}) {
                    for (size_t k = 0; k <= bytes.size(); ++k) {
                        check({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k)}, older);
                        if (k == bytes.size()) break;
                        std::vector<uint8_t> damaged = bytes;
                        damaged[k] ^= 0xff;
                        check(damaged, older);
                    }
                }
            }
        });
    }
    EXPECT_GT(messages, 10000);
}

} // namespace
