// What stands behind drovdef's message commands, in process: the
// compatibility rules on hand-made schema pairs, and the map of an encoding
// (laid out by the tool's own schema reader) against the library's decoding.
#include "compat.h"
#include "elf_file.h"
#include "schema.h"

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

} // namespace
