// The drovdef command line: usage, broken inputs, and the built library.
#include "elf_file.h"
#include "tools/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

using namespace drovdef_test;

namespace {

const std::string kLibrary = DROVDEF_LIBRARY;

// Every command that reads LIBRARY, with valid arguments after it.
const std::vector<std::vector<std::string>> kFileCommands = {
    {"manifest"},       {"build-info"},       {"catalogue"},
    {"catalogue", "0"}, {"format", "0", "x"}, {"types"}};

RunResult run_on(std::vector<std::string> cmd, const std::string &path) {
    cmd.insert(cmd.begin() + 1, path);
    return run_tool(cmd);
}

// Exit 1 with nothing on stdout and one "drovdef: PATH: MESSAGE" line on
// stderr (any message when none is given).
::testing::AssertionResult fails_cleanly(const RunResult &r, const std::string &path,
                                         const std::string &message = "") {
    const std::string prefix = "drovdef: " + path + ": ";
    if (r.exit_code != 1 || !r.out.empty() || r.err.rfind(prefix, 0) != 0 ||
        lines(r.err).size() != 1 || (!message.empty() && r.err != prefix + message + "\n"))
        return ::testing::AssertionFailure() << "exit " << r.exit_code << ", stdout \"" << r.out
                                             << "\", stderr \"" << r.err << "\"";
    return ::testing::AssertionSuccess();
}

struct TypeLine {
    std::string name, kind;
    int variants;
};

bool is_hex(std::string_view s) {
    return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// `types` output by digest, checking each line's format and index:
// "I NAME KIND DIGEST N" then N times " | vK used U slop S alloc U+S".
std::map<std::string, TypeLine> parse_types(const std::string &out,
                                            std::vector<std::string> &order) {
    std::map<std::string, TypeLine> types;
    for (const std::string &l : lines(out)) {
        std::istringstream in(l);
        std::size_t index = 0;
        std::string digest, bar, v, used, slop, alloc, rest;
        TypeLine t{};
        in >> index >> t.name >> t.kind >> digest >> t.variants;
        EXPECT_TRUE(in && index == order.size() && (t.kind == "type" || t.kind == "enum") &&
                    is_hex(digest))
            << l;
        for (int k = 0; k < t.variants; ++k) {
            unsigned u = 0, sl = 0, a = 0;
            in >> bar >> v >> used >> u >> slop >> sl >> alloc >> a;
            EXPECT_TRUE(in && bar == "|" && v == "v" + std::to_string(k) && used == "used" &&
                        slop == "slop" && alloc == "alloc" && a == u + sl)
                << l;
        }
        EXPECT_FALSE(in >> rest) << l;
        order.push_back(t.name);
        types[digest] = t;
    }
    return types;
}

} // namespace

TEST(tool_cli, HelpAndUsageErrors) {
    const RunResult help = run_tool({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("usage: drovdef", 0), 0u);
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate", "lib.so"},
                                               {"manifest"},
                                               {"types", "lib.so", "x"},
                                               {"catalogue", "lib.so", "1", "2"},
                                               {"format", "lib.so"},
                                               {"format", "lib.so", "0x1"}}) {
        const RunResult r = run_tool(args);
        EXPECT_EQ(r.exit_code, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find("usage: drovdef"), std::string::npos)
            << ::testing::PrintToString(args);
    }
    EXPECT_EQ(run_tool({"catalogue", "lib.so", "abc"}).err.rfind("drovdef: bad index 'abc'\n", 0),
              0u);
}

TEST(tool_cli, UnusableFilesFailCleanly) {
    const std::string text = write_temp("notes.txt", bytes_of("just text\n"));
    const std::string empty = write_temp("empty.so", {});
    const std::string missing = text + ".missing", dir = text.substr(0, text.rfind('/'));
    const std::string self = DROVDEF_TOOL; // an ELF file without the sections
    for (const auto &cmd : kFileCommands) {
        EXPECT_TRUE(fails_cleanly(run_on(cmd, text), text, "not an ELF file")) << cmd[0];
        EXPECT_TRUE(fails_cleanly(run_on(cmd, empty), empty, "not an ELF file")) << cmd[0];
        EXPECT_TRUE(fails_cleanly(run_on(cmd, missing), missing, "No such file or directory"))
            << cmd[0];
        EXPECT_TRUE(fails_cleanly(run_on(cmd, dir), dir, "not a regular file")) << cmd[0];
        EXPECT_TRUE(fails_cleanly(run_on(cmd, self), self)) << cmd[0];
    }
    EXPECT_TRUE(fails_cleanly(run_tool({"manifest", self}), self, "no .velto section"));
    EXPECT_TRUE(fails_cleanly(run_tool({"catalogue", self}), self,
                              "no trace catalogue (.wlog_luids_* section missing)"));
    const std::string standin = DROVDEF_STANDIN;
    EXPECT_TRUE(
        fails_cleanly(run_tool({"types", standin}), standin, "does not publish a drov_def module"));
}

TEST(tool_library, ManifestMatchesTheRuntimeTypes) {
    const RunResult r = run_tool({"manifest", kLibrary});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto ls = lines(r.out);
    ASSERT_EQ(ls.size(), 42u);
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(ls[0], "# drov_def.minime");
    EXPECT_EQ(ls[1],
              "a99568b5cd3c2423bf275e4aa3ca6888:cb01ac0deea0b22e163e97feaa2a510ctype002:00168N");
    EXPECT_EQ(ls.back().substr(65), "enum000:00016N");

    const RunResult t = run_tool({"types", kLibrary});
    ASSERT_EQ(t.exit_code, 0) << t.err;
    std::vector<std::string> order;
    const auto by_digest = parse_types(t.out, order);
    ASSERT_EQ(order.size(), 41u);
    EXPECT_EQ(order.front(), "vm_id");
    EXPECT_EQ(order.back(), "vm_transport_type");

    // Manifest lines: the runtime's digests, kinds and variant counts, in
    // type-name order.
    std::vector<std::string> names;
    for (std::size_t i = 1; i < ls.size(); ++i) {
        const std::string &l = ls[i];
        ASSERT_TRUE(l.size() == 79 && is_hex(l.substr(0, 32)) && l[32] == ':' &&
                    is_hex(l.substr(33, 32)) && l[72] == ':' && l[78] == 'N' &&
                    (l.substr(69, 3) + l.substr(73, 5)).find_first_not_of("0123456789") ==
                        std::string::npos)
            << l;
        const auto it = by_digest.find(ls[i].substr(0, 32));
        ASSERT_NE(it, by_digest.end()) << ls[i];
        EXPECT_EQ(ls[i].substr(65, 4), it->second.kind) << ls[i];
        EXPECT_EQ(std::stoi(ls[i].substr(69, 3)) + 1, it->second.variants) << ls[i];
        names.push_back(it->second.name);
    }
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
}

TEST(tool_library, BuildInfo) {
    const RunResult r = run_tool({"build-info", kLibrary});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto ls = lines(r.out);
    const char *keys[] = {
        "drov_def", "pkg_id: ", "built by: ", "on host: ", "pid: ", "at: ", "comment: "};
    ASSERT_EQ(ls.size(), std::size(keys)) << r.out;
    for (std::size_t i = 0; i < ls.size(); ++i) EXPECT_EQ(ls[i].rfind(keys[i], 0), 0u) << ls[i];
}

TEST(tool_library, CatalogueAndFormat) {
    const RunResult r = run_tool({"catalogue", kLibrary});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto ls = lines(r.out);
    ASSERT_GE(ls.size(), 2u);
    const std::size_t n = ls.size() - 1;
    EXPECT_EQ(ls.back(), std::to_string(n) + " entries");
    EXPECT_EQ(ls.front(), "0 50749 \" error in vm_sp_type create %s\"");
    EXPECT_EQ(ls[n - 1], std::to_string(n - 1) + " " + std::to_string(50749 + n - 1) +
                             " \" type variant cached info is NULL during usage dump\"");
    EXPECT_EQ(run_tool({"catalogue", kLibrary, std::to_string(n - 1)}).out, ls[n - 1] + "\n");
    EXPECT_TRUE(
        fails_cleanly(run_tool({"catalogue", kLibrary, "9999"}), kLibrary,
                      "catalogue index 9999 out of range (" + std::to_string(n) + " entries)"));

    const RunResult f = run_tool({"format", kLibrary, "0", "No such file or directory"});
    EXPECT_EQ(f.exit_code, 0) << f.err;
    EXPECT_EQ(f.out, "error in vm_sp_type create No such file or directory\n");
    EXPECT_TRUE(fails_cleanly(run_tool({"format", kLibrary, "0"}), kLibrary,
                              "entry 0: message takes 1 argument, 0 given"));
    EXPECT_TRUE(fails_cleanly(run_tool({"format", kLibrary, "0", "a", "b"}), kLibrary,
                              "entry 0: message takes 1 argument, 2 given"));
}

TEST(tool_library, DamagedCopiesFailCleanly) {
    const Bytes full = read_all(kLibrary);
    for (const std::size_t n : {std::size_t{40}, full.size() / 2, full.size() - 1}) {
        const std::string cut =
            write_temp("cut.so", Bytes(full.begin(), full.begin() + static_cast<long>(n)));
        for (const auto &cmd : kFileCommands)
            EXPECT_TRUE(fails_cleanly(run_on(cmd, cut), cut)) << cmd[0] << " " << n;
    }

    const drovdef::ElfFile elf{Bytes(full)};
    const drovdef::Section *fmt = elf.find(".wlog_format_strings");
    ASSERT_NE(fmt, nullptr);
    Bytes b = full;
    for (std::size_t i = 0; i < 8; ++i) b[fmt->offset + fmt->size / 2 + i] ^= 0xA5;
    const std::string bad_bz2 = write_temp("bad_bz2.so", b);
    const RunResult r = run_tool({"catalogue", bad_bz2});
    EXPECT_TRUE(fails_cleanly(r, bad_bz2));
    EXPECT_NE(r.err.find("bzip2"), std::string::npos) << r.err;
    EXPECT_EQ(run_tool({"manifest", bad_bz2}).exit_code, 0); // the rest still reads
}
