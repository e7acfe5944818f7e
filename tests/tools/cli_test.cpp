// The drovdef command line: usage, unusable and damaged files, and its output
// on the built library.
#include "elf_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace {

const std::string kLibrary = DROVDEF_LIBRARY;

// A directory of this process's own, removed when it ends.
const struct TempDir {
    std::string path = ::testing::TempDir() + "drovdef_" + std::to_string(::getpid());
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
} kTemp;
int g_temp_files = 0;

std::string write_temp(const std::string &name, std::string_view data) {
    const std::string path = kTemp.path + "/" + std::to_string(g_temp_files++) + name;
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

struct RunResult {
    int exit_code = -1; // -1: did not exit normally
    std::string out, err;
};

// No argument or path here holds a single quote.
RunResult run_tool(const std::vector<std::string> &args) {
    const std::string out = write_temp("out", ""), err = write_temp("err", "");
    std::string cmd = "exec '" DROVDEF_TOOL "'"; // a signal death is then not exit 128+n
    for (const std::string &a : args) cmd += " '" + a + "'";
    const int status = std::system((cmd + " >'" + out + "' 2>'" + err + "'").c_str());
    return {status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
}

// Every command that reads LIBRARY, with valid arguments after it.
const std::vector<std::vector<std::string>> kFileCommands = {
    {"manifest"},       {"build-info"},       {"catalogue"},
    {"catalogue", "0"}, {"format", "0", "x"}, {"types"}};

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

bool is_hex(std::string_view s) {
    return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

} // namespace

TEST(tool_cli, HelpAndUsageErrors) {
    const RunResult help = run_tool({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("usage: drovdef", 0), 0u);
    for (const char *line : {"", "frobnicate lib.so", "manifest", "types lib.so x",
                             "catalogue lib.so 1 2", "format lib.so", "format lib.so 0x1"}) {
        std::istringstream in(line);
        const RunResult r = run_tool({std::istream_iterator<std::string>(in), {}});
        EXPECT_EQ(r.exit_code, 2) << line;
        EXPECT_NE(r.err.find("usage: drovdef"), std::string::npos) << line;
    }
}

TEST(tool_cli, UnusableFilesFailCleanly) {
    const std::string lib = slurp(kLibrary);
    auto cut = [&](std::size_t n) { return write_temp("cut.so", lib.substr(0, n)); };
    const std::string text = write_temp("notes.txt", "just text\n");
    const std::string self = DROVDEF_TOOL; // an ELF file without the sections
    const std::pair<std::string, std::string> files[] = {
        {text, "not an ELF file"},
        {write_temp("empty.so", ""), "not an ELF file"},
        {text + ".missing", "No such file or directory"},
        {kTemp.path, "not a regular file"},
        {self, ""},
        {cut(40), ""},
        {cut(lib.size() / 2), ""},
        {cut(lib.size() - 1), ""}};
    for (const auto &[path, message] : files)
        for (std::vector<std::string> args : kFileCommands) {
            args.insert(args.begin() + 1, path);
            EXPECT_TRUE(fails_cleanly(run_tool(args), path, message)) << args[0] << " " << path;
        }
    EXPECT_TRUE(fails_cleanly(run_tool({"manifest", self}), self, "no .velto section"));
    EXPECT_TRUE(fails_cleanly(run_tool({"catalogue", self}), self,
                              "no trace catalogue (.wlog_luids_* section missing)"));
    const std::string standin = DROVDEF_STANDIN;
    EXPECT_TRUE(
        fails_cleanly(run_tool({"types", standin}), standin, "does not publish a drov_def module"));
}

TEST(tool_cli, CorruptCatalogueFailsCleanly) {
    std::string lib = slurp(kLibrary);
    const drovdef::ElfFile elf{std::vector<std::uint8_t>(lib.begin(), lib.end())};
    const drovdef::Section *fmt = elf.find(".wlog_format_strings");
    ASSERT_NE(fmt, nullptr);
    for (std::size_t i = 0; i < 8; ++i) lib[fmt->offset + fmt->size / 2 + i] ^= 0x5A;
    const std::string bad = write_temp("bad_bz2.so", lib);
    const RunResult r = run_tool({"catalogue", bad});
    EXPECT_TRUE(fails_cleanly(r, bad));
    EXPECT_NE(r.err.find("bzip2"), std::string::npos) << r.err;
    EXPECT_EQ(run_tool({"manifest", bad}).exit_code, 0); // the rest still reads
}

TEST(tool_library, ManifestMatchesTheRuntimeTypes) {
    // Each line "I NAME KIND DIGEST N" then N times " | vK used U slop S alloc U+S".
    const RunResult t = run_tool({"types", kLibrary});
    ASSERT_EQ(t.exit_code, 0) << t.err;
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::string, std::string>> by_digest; // name, "type3"
    for (const std::string &l : lines(t.out)) {
        std::istringstream in(l);
        std::size_t index = 0;
        int n = 0;
        std::string name, kind, digest, bar, v, used, slop, alloc, rest;
        in >> index >> name >> kind >> digest >> n;
        EXPECT_TRUE(in && index == order.size() && (kind == "type" || kind == "enum") &&
                    is_hex(digest))
            << l;
        for (int k = 0; k < n; ++k) {
            unsigned u = 0, s = 0, a = 0;
            in >> bar >> v >> used >> u >> slop >> s >> alloc >> a;
            EXPECT_TRUE(
                in && bar + v + used + slop + alloc == "|v" + std::to_string(k) + "usedslopalloc" &&
                a == u + s)
                << l;
        }
        EXPECT_FALSE(in >> rest) << l;
        order.push_back(name);
        by_digest[digest] = {name, kind + std::to_string(n)};
    }
    ASSERT_EQ(order.size(), 41u);
    EXPECT_EQ(order.front(), "vm_id");
    EXPECT_EQ(order.back(), "vm_transport_type");

    const RunResult r = run_tool({"manifest", kLibrary});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto ls = lines(r.out);
    ASSERT_EQ(ls.size(), 42u);
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(ls[0], "# drov_def.minime");
    EXPECT_EQ(ls[1],
              "a99568b5cd3c2423bf275e4aa3ca6888:cb01ac0deea0b22e163e97feaa2a510ctype002:00168N");
    EXPECT_EQ(ls.back().substr(65), "enum000:00016N");
    // The runtime's digests, kinds and variant counts, in type-name order.
    std::vector<std::string> names;
    for (std::size_t i = 1; i < ls.size(); ++i) {
        const std::string &l = ls[i];
        ASSERT_TRUE(l.size() == 79 && is_hex(l.substr(0, 32)) && l[32] == ':' &&
                    is_hex(l.substr(33, 32)) && l[72] == ':' && l[78] == 'N' &&
                    (l.substr(69, 3) + l.substr(73, 5)).find_first_not_of("0123456789") ==
                        std::string::npos)
            << l;
        const auto it = by_digest.find(l.substr(0, 32));
        ASSERT_NE(it, by_digest.end()) << l;
        EXPECT_EQ(l.substr(65, 4) + std::to_string(std::stoi(l.substr(69, 3)) + 1),
                  it->second.second)
            << l;
        names.push_back(it->second.first);
    }
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
}

TEST(tool_library, BuildInfoCatalogueAndFormat) {
    const RunResult info = run_tool({"build-info", kLibrary});
    EXPECT_TRUE(info.exit_code == 0 && lines(info.out).size() == 7 &&
                info.out.starts_with("drov_def\n"))
        << info.out << info.err;

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
