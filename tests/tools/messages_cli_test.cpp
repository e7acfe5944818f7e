// drovdef's message commands as a user runs them: every structure through
// encode and decode, outputs against golden files, and inputs the tool must
// refuse with one clear line.
#include "messages.h"

#include "drov_def/drov_def.hpp"
#include "structs/schema_walk.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

const std::string kGolden = DROVDEF_GOLDEN "/";

const struct TempDir {
    std::string path = ::testing::TempDir() + "drovdef_msg_" + std::to_string(::getpid());
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
    EXPECT_TRUE(f.good()) << path;
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct RunResult {
    int status = -1;
    std::string out, err;
};

// The tool with these arguments (none holds a single quote), standard input
// from a file when given.
RunResult run_tool(const std::vector<std::string> &args, const std::string &input = "/dev/null") {
    const std::string out = kTemp.path + "/stdout", err = kTemp.path + "/stderr";
    std::string cmd = "exec '" DROVDEF_TOOL "'";
    for (const std::string &a : args) cmd += " '" + a + "'";
    const int status = std::system((cmd + " <'" + input + "' >'" + out + "' 2>'" + err + "'").c_str());
    return {status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
}

// Every structure, filled through its setters (printable strings, so that
// XML carries them), written as XML, encoded by the tool and decoded again
// gives the same XML; through a hex dump too.
TEST(drovdef_messages, EveryStructureComesBackThroughEncodeAndDecode) {
    drov::Handle h;
    int types = 0;
    drov::meta::for_each_struct([&](auto type) {
        using C = typename decltype(type)::type;
        const std::string name(C::type_name);
        SCOPED_TRACE(name);
        ++types;
        C inst(h);
        test::walk::Filler fill{h.get(), std::mt19937(static_cast<unsigned>(types))};
        fill.with_nuls = false;
        fill.min_length = 1;
        fill.fill(test::walk::index_of(name), inst.c_ptr());
        const std::string xml = inst.to_xml() + "\n";
        const std::string xml_file = write_temp(name + ".xml", xml);

        const RunResult raw = run_tool({"encode", name, xml_file});
        ASSERT_EQ(raw.status, 0) << raw.err;
        const std::vector<std::byte> wire = inst.encode();
        EXPECT_EQ(raw.out, std::string(reinterpret_cast<const char *>(wire.data()), wire.size()));
        const RunResult back = run_tool({"decode", name, write_temp(name + ".bin", raw.out), "--xml"});
        EXPECT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(back.out, xml);
        EXPECT_EQ(back.err, "decoded " + name + " variant " + std::to_string(inst.variant()) + " (written " +
                                std::to_string(inst.variant()) + "): " + std::to_string(wire.size()) + " of " +
                                std::to_string(wire.size()) + " bytes\n");

        const RunResult hex = run_tool({"encode", "--hex", name}, xml_file);
        ASSERT_EQ(hex.status, 0) << hex.err;
        const RunResult from_hex = run_tool({"decode", name, "-", "--hex", "--xml"}, write_temp(name + ".hex", hex.out));
        EXPECT_EQ(from_hex.status, 0) << from_hex.err;
        EXPECT_EQ(from_hex.out, xml);
    });
    EXPECT_EQ(types, 30);
}

// Outputs kept as golden files: an annotated hex dump, a decoded capture
// with its account (as read by this library and by a peer that knows only
// variant 0), differences between captures.
TEST(drovdef_messages, OutputsMatchTheGoldenFiles) {
    const std::string g = kGolden;
    const struct {
        std::vector<std::string> args;
        std::string out, err; // golden file names; empty: no output
        int status;
    } cases[] = {
        {{"encode", "vm_act_rsp", g + "act_rsp.xml", "--hex"}, "act_rsp.hex", "", 0},
        {{"decode", "vm_act_rsp", g + "act_rsp.hex", "--hex"}, "act_rsp.print", "act_rsp.report", 0},
        {{"decode", "--variant-domain", "vm_act_rsp=0", "vm_act_rsp", g + "act_rsp.hex", "--hex"},
         "act_rsp_v0.print", "act_rsp_v0.report", 0},
        {{"diff", "vm_act_rsp", "--hex", g + "act_rsp.hex", g + "act_rsp_later.hex"}, "act_rsp.diff", "", 1},
        {{"diff", "vm_inst_req", "--hex", g + "inst_req_a.hex", g + "inst_req_b.hex"}, "inst_req.diff", "", 1},
        {{"diff", "vm_inst_req", "--hex", g + "inst_req_a.hex", g + "inst_req_a.hex"}, "", "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " -> " + c.out);
        const RunResult r = run_tool(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.out.empty() ? "" : slurp(g + c.out));
        EXPECT_EQ(r.err, c.err.empty() ? "" : slurp(g + c.err));
    }
}

// Input the tool cannot use: one line on standard error, nothing on
// standard output, exit 1; a usage error: its line, the pointer to --help,
// exit 2.
TEST(drovdef_messages, RefusesWithOneClearLine) {
    const std::vector<unsigned char> b = drovdef::messages::parse_hex(slurp(kGolden + "act_rsp.hex"));
    const std::string act(b.begin(), b.end());
    std::string flags = act, body = act;
    flags[1] = 0x40;
    body[5] = 0x08; // the body ends in vm_name
    auto file = [](const std::string &name, const std::string &data) { return write_temp(name, data); };
    const std::string cut = file("cut", act.substr(0, 40)), bad_flags = file("flags", flags),
                      short_body = file("body", body), longer = file("longer", act + "\x01\x02"),
                      empty = file("empty", ""), inst = slurp(kGolden + "inst_req_a.hex"),
                      odd = file("odd.hex", "# two bytes and a half\n01 02 0\n"), bad_hex = file("bad.hex", "01\n0g\n"),
                      xml = file("a.xml", "<vm_inst_req><trans_id>x</trans_id></vm_inst_req>"),
                      broken_xml = file("b.xml", "<vm_inst_req>"), missing = kTemp.path + "/none";
    const std::vector<unsigned char> ib = drovdef::messages::parse_hex(inst);
    const std::string cut_string = file("cut_string", std::string(ib.begin(), ib.end() - 1));
    const std::string act_file = file("act", act);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string line;
    } cases[] = {
        {{"decode", "vm_act_rsp", cut}, 1,
         cut + ": vm_act_rsp: decoding failed at offset 37 in vm_if_rsp.vm_if_info[0].if_handle: "
               "buffer too short for the message (interface handle needs 4 bytes, 3 left)"},
        {{"decode", "vm_inst_req", cut_string}, 1,
         cut_string + ": vm_inst_req: message cut short: it claims " + std::to_string(ib.size()) + " bytes, " +
             std::to_string(ib.size() - 1) + " given; decoding stopped at offset " + std::to_string(ib.size() - 4) +
             " in gen_target_uri (string of 4 bytes, 3 left)"},
        {{"decode", "vm_act_rsp", bad_flags}, 1,
         bad_flags + ": vm_act_rsp: malformed at offset 1 in header: object flags 0x40 carry bits other than "
                     "0x08 and 0x20"},
        {{"decode", "vm_act_rsp", short_body}, 1,
         short_body + ": vm_act_rsp: malformed at offset 2 in header: body length 8 ends at 10, but the fields go on to " +
             std::to_string(act.size())},
        {{"decode", "vm_inst_req", act_file}, 1,
         act_file + ": vm_inst_req: decoding failed at offset " + std::to_string(act.size()) +
             " in ova_pkg_path: buffer too short for the message (its u32 length needs 4 bytes, 0 left)"},
        {{"decode", "vm_act_rsp", longer}, 1,
         longer + ": vm_act_rsp: 2 bytes follow the message, from offset " + std::to_string(act.size())},
        {{"decode", "vm_act_rsp", empty}, 1,
         empty + ": vm_act_rsp: decoding failed at offset 0 in header: buffer too short for the message (no bytes "
                 "left for a vm_act_rsp)"},
        {{"decode", "vm_act_rsp", "--hex", odd}, 1, odd + ":2: an odd number of hex digits"},
        {{"decode", "vm_act_rsp", "--hex", bad_hex}, 1, bad_hex + ":2: 'g' is not a hex digit"},
        {{"diff", "vm_act_rsp", act_file, cut}, 1,
         cut + ": vm_act_rsp: decoding failed at offset 37 in vm_if_rsp.vm_if_info[0].if_handle: "
               "buffer too short for the message (interface handle needs 4 bytes, 3 left)"},
        {{"decode", "vm_act_rsp", missing}, 1, missing + ": No such file or directory"},
        {{"encode", "vm_inst_req", xml}, 1, xml + ": /vm_inst_req/trans_id: not a value of its field"},
        {{"encode", "vm_inst_req", broken_xml}, 1, broken_xml + ": not a well-formed XML document"},
        {{"encode", "vm_act_rsp", xml}, 1, xml + ": no element /vm_act_rsp"},
        {{"compat", missing, missing}, 1, missing + ": No such file or directory"},
        {{"compat", xml, xml}, 1, xml + ":1: '<vm_inst_req><trans_id>x</trans_id></vm_inst_req>' outside a type"},
        {{"decode", "vm_bogus", cut}, 2, "decode: unknown type 'vm_bogus'"},
        {{"decode", "vm_sp_type", cut}, 2, "decode: vm_sp_type is an enumeration; decode takes a structure type"},
        {{"decode", "vm_act_rsp", cut, "--variant-domain", "vm_act_rsp=x"}, 2, "decode: bad variant 'x' (0 to 127)"},
        {{"decode", "vm_act_rsp", cut, "--variant-domain", "vm_act_rsp"}, 2,
         "decode: --variant-domain takes TYPE=N, not 'vm_act_rsp'"},
        {{"decode", "vm_act_rsp", cut, "--variant-domain", "vm_x=1"}, 2, "decode: unknown type 'vm_x' in --variant-domain"},
        {{"decode", "vm_act_rsp", cut, "--path", "/a"}, 2, "decode: unknown option '--path'"},
        {{"encode", "vm_act_rsp", cut, "--xml"}, 2, "encode: unknown option '--xml'"},
        {{"decode", "vm_act_rsp", cut, cut}, 2, "decode: unexpected argument '" + cut + "'"},
        {{"diff", "vm_act_rsp", cut}, 2, "diff: missing arguments; usage: drovdef diff TYPE A B [--hex] "
                                         "[--variant-domain TYPE=N]..."},
        {{"fields"}, 2, "fields: missing arguments; usage: drovdef fields TYPE"},
        {{"fields", "vm_x"}, 2, "fields: unknown type 'vm_x'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const RunResult r = run_tool(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "drovdef: " + c.line + (c.status == 2 ? "\ntry 'drovdef --help'\n" : "\n"));
    }
}

TEST(drovdef_messages, CompatOnSchemaFiles) {
    const RunResult same = run_tool({"compat", DROVDEF_SCHEMA, DROVDEF_SCHEMA});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.out, "no changes\n");

    const std::string d = " 11111111111111111111111111111111 11111111111111111111111111111111\n";
    const std::string before = write_temp("old.schema", "struct p" + d + "  used 8  base 8  state 1\n  u32 a\n");
    const std::string after = write_temp("new.schema", "struct p" + d +
                                                           "  used 8  base 8  state 1\n  u16 a\n"
                                                           "struct q" + d + "  used 8  base 8  state 1\n  u32 b\n");
    const RunResult r = run_tool({"compat", before, after});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "breaking    p.a: u32 -> u16 [field-retyped]\n"
                     "compatible  q: new structure [new-type]\n"
                     "2 changes: 1 compatible, 1 breaking\n"
                     "[field-retyped] a field's kind or type changed: its bytes mean something else\n"
                     "[new-type] a new type: old peers neither send nor expect it\n");
}

} // namespace
