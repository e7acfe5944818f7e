// The drovdef command line: usage, unusable and damaged files, and its output
// on the built library.
#include "elf_file.h"
#include "library_layout.h"
#include "qel.h"

#include <bzlib.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
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

// Sanitizer builds run the tool many times slower, and map far more memory
// than any heap limit allows.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Runs the tool, exec'd by the shell so that a signal death is not exit
// 128+n.  With a data limit (kB) the tool gets no more heap than that,
// except under the sanitizers.  No argument or path here holds a single
// quote.
RunResult run_tool(const std::vector<std::string> &args, long data_limit_kb = 0) {
    const std::string out = write_temp("out", ""), err = write_temp("err", "");
    std::string cmd = "exec '" DROVDEF_TOOL "'";
    if (data_limit_kb > 0 && !kSanitized)
        cmd = "ulimit -d " + std::to_string(data_limit_kb) + " && " + cmd;
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

// The bzip2 stream of the text.
std::string bz2(std::string text) {
    std::string out(text.size() + text.size() / 100 + 600, '\0');
    auto size = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, text.data(),
                                       static_cast<unsigned>(text.size()), 9, 0, 0),
              BZ_OK);
    out.resize(size);
    return out;
}

// The index of the first section whose name starts with prefix.
std::size_t section_index(const drovdef::ElfFile &elf, std::string_view prefix) {
    const auto &secs = elf.sections();
    return std::ranges::find_if(secs, [&](auto &s) { return s.name.starts_with(prefix); }) -
           secs.begin();
}

void put(std::string &b, std::size_t off, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.at(off + i) = static_cast<char>(v >> (8 * i));
}

// The library with a catalogue of count empty entries (luid i for entry
// i), its two sections pointed at contents appended to the file.
std::string with_empty_catalogue(std::string lib, std::size_t count) {
    const drovdef::ElfFile elf{std::vector<std::uint8_t>(lib.begin(), lib.end())};
    const std::size_t shoff = drovdef::load_u64(reinterpret_cast<const std::uint8_t *>(&lib[40]));
    const std::size_t luids = section_index(elf, ".wlog_luids_"),
                      fmt = section_index(elf, ".wlog_format_strings");
    std::string index = lib.substr(elf.sections()[luids].offset, 20); // version and UUID
    for (std::size_t i = 0; i < count; ++i) {
        index.append(6, '\0');
        put(index, index.size() - 6, i, 4);
    }
    const std::string texts = bz2("");
    put(lib, shoff + 64 * luids + 24, lib.size(), 8);
    put(lib, shoff + 64 * luids + 32, index.size(), 8);
    put(lib, shoff + 64 * fmt + 24, lib.size() + index.size(), 8);
    put(lib, shoff + 64 * fmt + 32, texts.size(), 8);
    return lib + index + texts;
}

bool is_hex(std::string_view s) {
    return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

} // namespace

TEST(tool_cli, HelpVersionAndUsageErrors) {
    const RunResult help = run_tool({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(help.out.starts_with("usage: drovdef COMMAND [LIBRARY] [ARGS]\n")) << help.out;
    for (const char *part : {"\n  types [LIBRARY] ", "\n  format [LIBRARY] INDEX [ARG...] ",
                             "\n  2  usage error", "try 'drovdef --help'"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    const RunResult version = run_tool({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "drovdef " DROVDEF_VERSION " (module drov_def)\n");

    // A usage error: exit 2, nothing on stdout, the message and the hint.
    // An index that is not a number is refused before the file is read.
    const std::pair<const char *, const char *> cases[] = {
        {"", "no command given"},
        {"frobnicate lib.so", "unknown command 'frobnicate'"},
        {"--frobnicate", "unknown option '--frobnicate'"},
        {"--help x", "--help takes no arguments"},
        {"--version x", "--version takes no arguments"},
        {"types lib.so x", "types: unexpected argument 'x'"},
        {"manifest lib.so x", "manifest: unexpected argument 'x'"},
        {"build-info lib.so x", "build-info: unexpected argument 'x'"},
        {"catalogue lib.so 1 2", "catalogue: unexpected argument '2'"},
        {"catalogue 1 2", "catalogue: unexpected argument '2'"},
        {"catalogue lib.so x", "bad index 'x'"},
        {"format lib.so", "format: missing INDEX"},
        {"format", "format: missing INDEX"},
        {"format lib.so 0x1", "bad index '0x1'"},
    };
    for (const auto &[line, message] : cases) {
        std::istringstream in(line);
        const RunResult r = run_tool({std::istream_iterator<std::string>(in), {}});
        EXPECT_EQ(r.exit_code, 2) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(r.err, "drovdef: " + std::string(message) + "\ntry 'drovdef --help'\n") << line;
    }
}

TEST(tool_cli, LibraryDefaultsToTheOneBuiltBesideTheTool) {
    // The manifest does not depend on the build, so the test's copy of the
    // library reads the same.  An argument of digits is an index.
    const RunResult own = run_tool({"manifest"});
    EXPECT_EQ(own.exit_code, 0) << own.err;
    EXPECT_EQ(own.out, run_tool({"manifest", kLibrary}).out);
    EXPECT_EQ(run_tool({"catalogue", "0"}).out, "0 50749 \" error in vm_sp_type create %s\"\n");
    EXPECT_EQ(run_tool({"format", "0", "x"}).out, "error in vm_sp_type create x\n");
    const RunResult info = run_tool({"build-info"});
    EXPECT_TRUE(info.exit_code == 0 && info.out.starts_with("drov_def\n")) << info.err;
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

    // A damaged stream trailer: one entry still reads, decoded only that far.
    lib = slurp(kLibrary);
    lib[fmt->offset + fmt->size - 2] ^= 0x01;
    const std::string trailer = write_temp("bad_crc.so", lib);
    EXPECT_TRUE(fails_cleanly(run_tool({"catalogue", trailer}), trailer));
    EXPECT_EQ(run_tool({"catalogue", trailer, "0"}).out,
              "0 50749 \" error in vm_sp_type create %s\"\n");
    EXPECT_EQ(run_tool({"format", trailer, "0", "x"}).out, "error in vm_sp_type create x\n");
}

TEST(tool_cli, LargeCatalogueIsNeverHeldWhole) {
    // Entries and the listing stream: the tool needs little beyond the file.
    const std::string lib = slurp(kLibrary);
    const std::string big = write_temp("big.so", with_empty_catalogue(lib, 4000000));
    auto limit = [](const std::string &path) {
        return static_cast<long>(std::filesystem::file_size(path) / 1024) + 32 * 1024;
    };
    const RunResult last = run_tool({"catalogue", big, "3999999"}, limit(big));
    EXPECT_EQ(last.exit_code, 0) << last.err;
    EXPECT_EQ(last.out, "3999999 3999999 \"\"\n");
    EXPECT_TRUE(fails_cleanly(run_tool({"catalogue", big, "4000000"}, limit(big)), big,
                              "catalogue index 4000000 out of range (4000000 entries)"));

    const std::string mid = write_temp("mid.so", with_empty_catalogue(lib, 1000000));
    const RunResult all = run_tool({"catalogue", mid}, limit(mid));
    EXPECT_EQ(all.exit_code, 0) << all.err;
    EXPECT_TRUE(all.out.ends_with("\n999999 999999 \"\"\n1000000 entries\n"));
    EXPECT_EQ(std::ranges::count(all.out, '\n'), 1000001);
}

TEST(tool_cli, DamagedTypeTableFailsCleanly) {
    // Nothing of the file runs, so no damage kills the tool.
    const test::Layout l;
    const std::string lib(l.lib.begin(), l.lib.end());
    const std::size_t record = l.at(l.record(0));
    const struct {
        std::size_t offset;
        char value;
        std::string message;
    } cases[] = {
        {l.at(l.slot(41)) + 7, 0x41,
         "type table entry 41 at " + test::hex(l.slot(41)) +
             " holds 0x4100000000000000 without a relocation"},
        {record, 0x0E, "type table entry 0 has a bad magic number"},
        {l.header(".rela.dyn") + 4, SHT_PROGBITS, "does not publish a drov_def module"},
    };
    for (const auto &c : cases) {
        std::string b = lib;
        b[c.offset] = c.value;
        const std::string path = write_temp("types.so", b);
        EXPECT_TRUE(fails_cleanly(run_tool({"types", path}), path, c.message)) << c.message;
    }
    // A name that is no longer plain text is quoted, the line kept whole.
    std::string b = lib;
    b[record + offsetof(qel_type_info_t, name)] = '\n';
    const RunResult named = run_tool({"types", write_temp("name.so", b)});
    EXPECT_EQ(named.exit_code, 0) << named.err;
    EXPECT_TRUE(named.out.starts_with("0 \"\\nm_id\" type 7184f47c227a028b7fb7a65099fdf3cf 1 |"))
        << named.out;
    EXPECT_EQ(lines(named.out).size(), 41u);

    // Random damage to what the command reads: the table, the records, the
    // dynamic relocations and symbols, the section headers.
    const auto &rela = l.section(".rela.dyn"), &dynsym = l.section(".dynsym");
    const std::pair<std::size_t, std::size_t> regions[] = {
        {l.at(l.table.address), 42 * 8},
        {record, l.at(l.record(40)) + 272 - record},
        {l.shoff, 64 * l.elf.sections().size()},
        {rela.offset, rela.size},
        {dynsym.offset, dynsym.size}};
    std::mt19937 rng(20240612);
    int rejected = 0;
    const std::string path = write_temp("random.so", "");
    const int rounds = kSanitized ? 50 : 200;
    for (int round = 0; round < rounds; ++round) {
        std::string d = lib;
        for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) {
            const auto &[start, size] = regions[rng() % std::size(regions)];
            d[start + rng() % size] = static_cast<char>(rng());
        }
        std::ofstream(path, std::ios::binary | std::ios::trunc) << d;
        const RunResult r = run_tool({"types", path});
        if (r.exit_code == 0) continue;
        ++rejected;
        EXPECT_TRUE(fails_cleanly(r, path)) << "round " << round;
    }
    EXPECT_GT(rejected, rounds / 20);  // how much damage shows depends on the compiler's layout
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
    // The record's lines, without the blanks that pad it to its size.
    const RunResult info = run_tool({"build-info", kLibrary});
    EXPECT_TRUE(info.exit_code == 0 && lines(info.out).size() == 7 &&
                info.out.starts_with("drov_def\npkg_id: ") &&
                info.out.find(" \n") == std::string::npos)
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
    for (const std::string &index : {std::to_string(n), std::string("99999999999999999999")})
        EXPECT_TRUE(fails_cleanly(run_tool({"catalogue", kLibrary, index}), kLibrary,
                                  "catalogue index " + index + " out of range (" +
                                      std::to_string(n) + " entries)"));

    const RunResult f = run_tool({"format", kLibrary, "0", "No such file or directory"});
    EXPECT_EQ(f.exit_code, 0) << f.err;
    EXPECT_EQ(f.out, "error in vm_sp_type create No such file or directory\n");
    EXPECT_TRUE(fails_cleanly(run_tool({"format", kLibrary, "0"}), kLibrary,
                              "entry 0: message takes 1 argument, 0 given"));
    EXPECT_TRUE(fails_cleanly(run_tool({"format", kLibrary, "0", "a", "b"}), kLibrary,
                              "entry 0: message takes 1 argument, 2 given"));
}
