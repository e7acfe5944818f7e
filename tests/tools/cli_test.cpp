// The drovdef command line as a user runs it: the table of commands and what
// they print (tests/golden/drovdef/commands), the shared table of refused
// inputs (tests/golden/edges/refusals.cases) with the places the C++ layer
// gives, a catalogue too large to hold, and messages of every type through
// decode --xml and encode (in this process, and one through the tool).
#include "elf_file.h"
#include "library_layout.h"
#include "messages.h"
#include "qel.h"
#include "support.h"

#include "drov_def/drov_def.hpp"
#include "structs/schema_walk.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

const std::string kLibrary = DROVDEF_LIBRARY, kGolden = DROVDEF_GOLDEN;

// A folder of this process's own, removed when it ends.
const struct TempDir {
    std::string path = ::testing::TempDir() + "drovdef_" + std::to_string(::getpid());
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
} kTemp;

std::string write_temp(const std::string &name, std::string_view data) {
    const std::string path = kTemp.path + "/" + name;
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct RunResult {
    int status = -1; // -1: did not exit normally
    std::string out, err;
};

// The tool, exec'd by the shell so that a signal death is not exit 128+n,
// standard input from a file; with a data limit (kB) it gets no more heap
// than that, except under the sanitizers.  No argument holds a single quote.
RunResult run_tool(const std::vector<std::string> &args, const std::string &input = "/dev/null", long limit_kb = 0) {
    const std::string out = kTemp.path + "/stdout", err = kTemp.path + "/stderr";
    std::string cmd = "exec '" DROVDEF_TOOL "'";
    if (limit_kb > 0 && !test::kAddressSanitized) cmd = "ulimit -d " + std::to_string(limit_kb) + " && " + cmd;
    for (const std::string &a : args) cmd += " '" + a + "'";
    const int status = std::system((cmd + " <'" + input + "' >'" + out + "' 2>'" + err + "'").c_str());
    return {status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
}

// Damaged copies of the library and other unusable files in the test's folder, made once.
void make_files() {
    static const bool made = [] {
        const test::Layout l;
        const std::string lib(l.lib.begin(), l.lib.end());
        const drovdef::Section &fmt = l.section(".wlog_format_strings");
        std::string b = lib;
        for (std::size_t i = 0; i < 8; ++i) b[fmt.offset + fmt.size / 2 + i] ^= 0x5A;
        write_temp("texts.so", b);
        b = lib;
        b[fmt.offset + fmt.size - 2] ^= 0x01;
        write_temp("trailer.so", b);
        b = lib;
        b[l.at(l.record(0)) + offsetof(qel_type_info_t, name)] = ' ';
        write_temp("name.so", b);
        write_temp("notes", "just text\n");
        write_temp("empty.so", "");
        write_temp("cut40.so", lib.substr(0, 40));
        write_temp("half.so", lib.substr(0, lib.size() / 2));
        return true;
    }();
    (void)made;
}

std::string expand(std::string s) {
    const std::pair<std::string, std::string> vars[] = {
        {"$TOOL", DROVDEF_TOOL}, {"$LIB", kLibrary}, {"$G", kGolden}, {"$T", kTemp.path},
        {"$STANDIN", DROVDEF_STANDIN}, {"$SCHEMA", DROVDEF_SCHEMA}, {"$VERSION", DROVDEF_VERSION}}; // $TOOL before $T
    for (const auto &[name, value] : vars)
        for (std::size_t at; (at = s.find(name)) != std::string::npos;) s.replace(at, name.size(), value);
    return s;
}

TEST(tool_cli, CommandsGiveTheirStatusAndOutput) {
    make_files();
    std::istringstream table(slurp(kGolden + "/commands"));
    const int cases = test::each_case(table, [](const std::string &command, const std::string &expected) {
        std::istringstream words(expand(command));
        // 2T: trouble in diff or compat, exit 2 without the usage hint.
        std::string status_word;
        words >> status_word;
        const bool trouble = status_word == "2T";
        const int status = trouble ? 2 : std::stoi(status_word);
        const RunResult r = run_tool({std::istream_iterator<std::string>(words), {}});
        const std::string want = expand(expected);
        EXPECT_EQ(r.status, status) << r.err;
        if (want.starts_with(">")) {
            const std::size_t err_file = want.find(" 2>");
            EXPECT_EQ(r.out, expand(slurp(kGolden + "/" + want.substr(1, err_file - 1))));
            EXPECT_EQ(r.err, err_file == std::string::npos ? "" : expand(slurp(kGolden + "/" + want.substr(err_file + 3))));
        } else if (status == 0) {
            EXPECT_EQ(r.out.substr(0, r.out.find('\n')), want);
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, want + (status == 2 && !trouble ? "\ntry 'drovdef --help'\n" : "\n"));
        }
    });
    EXPECT_GT(cases, 70);
}

// The library with a catalogue of count empty entries (luid i for entry i),
// its two sections pointed at contents appended to the file.
std::string with_empty_catalogue(std::size_t count) {
    const test::Layout l;
    test::Bytes lib = l.lib;
    const drovdef::Section &luids = *l.elf.find_prefix(".wlog_luids_").at(0);
    test::Bytes index(lib.begin() + luids.offset, lib.begin() + luids.offset + 20); // version and UUID
    index.resize(20 + 6 * count);
    for (std::size_t i = 0; i < count; ++i) test::put(index, 20 + 6 * i, i, 4);
    const test::Bytes texts = test::compress("", 9);
    test::put(lib, l.header(luids.name) + 24, lib.size(), 8);
    test::put(lib, l.header(luids.name) + 32, index.size(), 8);
    test::put(lib, l.header(".wlog_format_strings") + 24, lib.size() + index.size(), 8);
    test::put(lib, l.header(".wlog_format_strings") + 32, texts.size(), 8);
    lib.insert(lib.end(), index.begin(), index.end());
    lib.insert(lib.end(), texts.begin(), texts.end());
    return std::string(lib.begin(), lib.end());
}

TEST(tool_cli, LargeCatalogueIsNeverHeldWhole) {
    // Entries and the listing stream: the tool needs little beyond the file.
    auto limit = [](const std::string &path) { return static_cast<long>(std::filesystem::file_size(path) / 1024) + 32 * 1024; };
    const std::string big = write_temp("big.so", with_empty_catalogue(4000000));
    const RunResult last = run_tool({"catalogue", big, "3999999"}, "/dev/null", limit(big));
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(last.out, "3999999 3999999 \"\"\n");

    const std::string mid = write_temp("mid.so", with_empty_catalogue(1000000));
    const RunResult all = run_tool({"catalogue", mid}, "/dev/null", limit(mid));
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_TRUE(all.out.ends_with("\n999999 999999 \"\"\n1000000 entries\n"));
    EXPECT_EQ(std::ranges::count(all.out, '\n'), 1000001);
}

TEST(tool_cli, ACatalogueOfOneEntrySaysSo) {
    const RunResult one = run_tool({"catalogue", write_temp("one.so", with_empty_catalogue(1))});
    EXPECT_EQ(one.out, "0 0 \"\"\n1 entry\n");
}

// A message as raw bytes both ways, the XML from standard input and back out as XML.
TEST(tool_cli, RawEncodingAndXmlComeBack) {
    const drov::Handle h;
    const drov::VmActRsp rsp = drov::VmActRsp::from_xml(h, slurp(kGolden + "/act_rsp.xml"));
    const std::vector<std::byte> wire = rsp.encode();
    const RunResult raw = run_tool({"encode", "vm_act_rsp"}, kGolden + "/act_rsp.xml");
    EXPECT_EQ(raw.out, std::string(reinterpret_cast<const char *>(wire.data()), wire.size())) << raw.err;
    const RunResult back = run_tool({"decode", "vm_act_rsp", write_temp("act_rsp.bin", raw.out), "--xml"});
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(back.out, rsp.to_xml() + "\n");
    EXPECT_EQ(back.err, slurp(kGolden + "/act_rsp.report"));
}

// Every refusal of the shared table, as the tool words it: a message with
// its offset and field, XML with its line, column and field; then the same
// input read leniently, which either passes with a note of what the checks
// refuse or fails with the library's own error.
TEST(tool_cli, SharedRefusalsWithTheirPlaces) {
    std::ifstream in(DROVDEF_EDGES_CASES);
    int rows = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        SCOPED_TRACE(line.substr(0, 160));
        const std::size_t arrow = line.find(" => "), bar = line.find(" | ", arrow);
        std::istringstream head(line.substr(0, arrow)), tail(line.substr(arrow + 4, bar - arrow - 4));
        std::string kind, type, input, at, path;
        unsigned code = 0;
        head >> kind >> type;
        std::getline(head >> std::ws, input);
        tail >> code >> at >> path;
        const std::string reason = line.substr(bar + 3), where = path == "-" ? "" : path;
        const std::string file = write_temp("case" + std::to_string(++rows), input);
        std::string want = "drovdef: " + file;
        if (kind == "binary") {
            ASSERT_NE(at, "@-");
            const char *what = code == 90 ? "cut short" : code == 22 ? "malformed" : "?";
            want += ": " + type + ": " + what + " at offset " + at.substr(1) + (where.empty() ? "" : ", " + where) +
                    ": " + reason + "\n";
        } else {
            if (at != "@-") want += ":" + at.substr(1); // LINE:COLUMN
            want += ": " + (where.empty() ? "" : where + ": ") + reason + "\n";
        }
        const std::vector<std::string> args = {kind == "binary" ? "decode" : "encode", type, file};
        auto with = [&](std::vector<std::string> more) {
            std::vector<std::string> all = args;
            if (kind == "binary") all.push_back("--hex");
            all.insert(all.end(), more.begin(), more.end());
            return all;
        };
        const RunResult strict = run_tool(with({}));
        EXPECT_EQ(strict.status, 1);
        EXPECT_EQ(strict.out, "");
        EXPECT_EQ(strict.err, want);

        const RunResult lenient = run_tool(with({"--lenient"}));
        ASSERT_TRUE(lenient.status == 0 || lenient.status == 1) << lenient.err;
        EXPECT_EQ(lenient.out.empty(), lenient.status != 0);
        if (kind == "binary" && lenient.status == 0) {
            const std::string said = want.substr(want.find(": ", want.find(type)) + 2);
            EXPECT_TRUE(lenient.err.find("note: strict decoding refuses it: " + said) != std::string::npos ||
                        (reason.ends_with("the message") && lenient.err.find(" after the message, from offset ") != std::string::npos))
                << lenient.err;
        } else if (kind == "binary") {
            EXPECT_TRUE(lenient.err.starts_with("drovdef: " + file + ": " + type + ": decoding failed: ")) << lenient.err;
        }
    }
    EXPECT_GE(rows, 25);
}

// Whatever decodes comes back from decode --xml through encode byte for
// byte, for every type filled at random, and for an enumeration number that
// only a newer peer names (written with its number, read back as it).
TEST(tool_cli, DecodedXmlEncodesToTheSameBytes) {
    const drov::Handle h;
    std::vector<std::pair<std::string, std::vector<std::byte>>> messages;
    drov::meta::for_each_struct([&](auto type) {
        using C = typename decltype(type)::type;
        const std::string name(C::type_name);
        C inst(h);
        test::walk::Filler fill{h.get(), std::mt19937(static_cast<unsigned>(name.size()))};
        fill.with_nuls = false;
        fill.max_string = 12;
        fill.fill(test::walk::index_of(name), inst.c_ptr());
        messages.emplace_back(name, inst.encode());
    });
    drov::VmActRsp newer(h);
    newer.set_vm_name("web01");
    std::vector<std::byte> wire = newer.encode();
    wire[19] = std::byte{99}; // rc's value (big-endian), after the header, the name's 4 + 5 bytes and rc's variant byte
    messages.emplace_back("vm_act_rsp", wire);
    // The commands in this process, and the last message through the tool
    // itself as well.
    for (const auto &[name, bytes] : messages) {
        SCOPED_TRACE(name);
        const std::string bin = write_temp(name + ".bin", std::string(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
        const drovdef::messages::Outcome xml = drovdef::messages::run({"decode", name, bin, "--xml"});
        ASSERT_EQ(xml.status, 0) << xml.report;
        const drovdef::messages::Outcome back = drovdef::messages::run({"encode", name, write_temp(name + ".xml", xml.out)});
        ASSERT_EQ(back.status, 0) << back.report;
        EXPECT_EQ(back.out, slurp(bin)) << xml.out;
        if (&bytes != &messages.back().second) continue;
        const RunResult tool_xml = run_tool({"decode", name, bin, "--xml"});
        ASSERT_EQ(tool_xml.status, 0) << tool_xml.err;
        EXPECT_EQ(tool_xml.out, xml.out);
        const RunResult tool_back = run_tool({"encode", name, kTemp.path + "/" + name + ".xml"});
        ASSERT_EQ(tool_back.status, 0) << tool_back.err;
        EXPECT_EQ(tool_back.out, slurp(bin));
    }
    EXPECT_NE(slurp(kTemp.path + "/vm_act_rsp.xml").find("<rc><vm_rsp_rc value=\"99\"/></rc>"), std::string::npos);
}

// Output that cannot be written is a failure of its own: 1, and 2 (trouble)
// for the commands that compare.
TEST(tool_cli, OutputThatCannotBeWritten) {
    const std::string hex = kGolden + "/act_rsp.hex";
    const std::pair<std::string, int> rows[] = {
        {"--help", 1}, {"decode vm_act_rsp --hex " + hex, 1}, {"diff vm_act_rsp --hex " + hex + " " + kGolden + "/act_rsp_later.hex", 2}};
    for (const auto &[args, status] : rows) {
        const int s = std::system(("exec '" DROVDEF_TOOL "' " + args + " >/dev/full 2>/dev/null").c_str());
        EXPECT_EQ(WIFEXITED(s) ? WEXITSTATUS(s) : -1, status) << args;
    }
}

// The help says what the checks are and how the statuses differ.
TEST(tool_cli, HelpTellsStrictLenientAndStatuses) {
    const RunResult help = run_tool({"--help"});
    for (const char *words : {"Strict and lenient", "--lenient", "--all", "exit status:", "2 trouble", "FILE:LINE:COLUMN"})
        EXPECT_NE(help.out.find(words), std::string::npos) << words;
}

} // namespace
