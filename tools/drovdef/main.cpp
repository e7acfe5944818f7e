// drovdef: inspect a built libdrov_def -- its types as the runtime sees
// them, the .velto manifest and build record, and the trace catalogue.
#include "catalogue.h"
#include "cli.h"
#include "elf_file.h"
#include "messages.h"
#include "types.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using drovdef::Error;
using drovdef::UsageError;

constexpr const char kHelp[] =
    "usage: drovdef COMMAND [LIBRARY] [ARGS]\n"
    "       drovdef MESSAGE-COMMAND TYPE [FILE...] [OPTIONS]\n"
    "\n"
    "The first commands read a built libdrov_def file; nothing of it runs.\n"
    "Without LIBRARY the tool reads the library installed beside it (in a build\n"
    "tree, the library built there)@HERE@.\n"
    "\n"
    "commands:\n"
    "  types [LIBRARY]                  the module's types as the runtime sees them\n"
    "                                   once it is loaded: index, name, kind,\n"
    "                                   digest, and per variant its used, slop and\n"
    "                                   allocated bytes\n"
    "  manifest [LIBRARY]               the type manifest (.velto record 2)\n"
    "  build-info [LIBRARY]             the build record (.velto record 1)\n"
    "  catalogue [LIBRARY] [INDEX]      the trace catalogue, or one entry of it, as\n"
    "                                   INDEX LUID \"TEXT\"\n"
    "  format [LIBRARY] INDEX [ARG...]  trace message INDEX with its arguments\n"
    "                                   filled in (%s: text; %u, %d: 32-bit decimal\n"
    "                                   or 0x number; %p: number, printed in hex)\n"
    "  --help                           this text\n"
    "  --version                        the tool's version and module\n"
    "\n"
    "An argument made only of digits is an INDEX, never a LIBRARY (write a file\n"
    "named 12 as ./12).\n"
    "\n"
    "Message commands, through the library the tool runs with; TYPE is a\n"
    "structure type, FILE '-' or none is standard input:\n"
    "  decode TYPE [FILE] [--hex] [--xml] [--all] [--lenient] [--variant-domain TYPE=N]...\n"
    "      decodes one message into a fresh instance and prints it (--xml: as\n"
    "      XML).  --hex reads a hex dump: pairs of hex digits, whitespace and\n"
    "      '#' comments ignored.  --all reads one message after another and\n"
    "      prints each after a line with its offset (--xml: one <messages>\n"
    "      document), up to the end or the first it refuses.  --variant-domain\n"
    "      reads as a peer that knows variants 0 to N of TYPE: later variants'\n"
    "      bytes are skipped.  Standard error gets an account: the variant read\n"
    "      and written, the bytes taken, and every offset jump (bytes skipped:\n"
    "      where, how many, why)\n"
    "  encode TYPE [FILE.xml] [--hex] [--path PATH] [--lenient] [--variant-domain TYPE=N]...\n"
    "      reads the element at PATH (default /TYPE) of an XML document and\n"
    "      writes its encoding, raw or as a hex dump with a line per field;\n"
    "      --variant-domain writes TYPE in variant N at most, as for an older\n"
    "      peer, and names on standard error each field it leaves out\n"
    "  diff TYPE A B [--hex] [--lenient] [--variant-domain TYPE=N]...\n"
    "      decodes two encodings and prints each difference as\n"
    "      PATH: OLD -> NEW, PATH like vm_if_rsp.vm_if_info[3].mtu, with the\n"
    "      pseudo-fields variant, count (of a list) and flag (state flag, when\n"
    "      an encoding carries them); (absent) where one side lacks the field\n"
    "  fields TYPE                      the type's variants and fields: kind,\n"
    "                                   width in an instance, variant, limits\n"
    "                                   (an enumeration: its values)\n"
    "  compat OLD.schema NEW.schema     each change between two schemas, as\n"
    "                                   compatible or breaking with its rule\n"
    "\n"
    "Strict and lenient: by default the message commands take only what a\n"
    "writer of this format produces.  An encoding is checked by the library's\n"
    "reader of the format before it is decoded: one cut short, with bytes no\n"
    "writer produces (a variant byte below -1, unknown object flags, a body\n"
    "length that ends inside the fields), or followed by more bytes is refused\n"
    "with its offset and field.  XML is checked against the schema: an element\n"
    "that is no field, a field given twice, an unknown enumeration name or one\n"
    "written as text, a number that does not parse or fit, a string longer\n"
    "than its length counts are refused with their line, column and field.\n"
    "Older and newer peers' messages pass either way.  --lenient does what the\n"
    "library's own operations do: decode takes whatever unmarshal takes (and\n"
    "notes what the checks would refuse), encode reads XML as from_xml does\n"
    "(absent fields keep their initial values, what it does not know it leaves).\n"
    "\n"
    "exit status:\n"
    "  diff, compat  0 the messages are equal / nothing breaks; 1 they differ /\n"
    "                a change breaks old or new peers; 2 trouble: an input could\n"
    "                not be read, decoded or parsed, a usage error, output that\n"
    "                cannot be written\n"
    "  the others    0 done; 1 an input or the library refused: it cannot be\n"
    "                read, decoded or parsed (decode --all: the messages before\n"
    "                it are printed), or the output cannot be written; 2 usage\n"
    "                error: an unknown command, option or type, arguments\n"
    "                missing or extra, an INDEX or variant that is not a number\n"
    "\n"
    "Errors go to standard error as one line, with nothing on standard output\n"
    "(but for decode --all):\n"
    "  drovdef: LIBRARY: MESSAGE        the library cannot be used\n"
    "  drovdef: FILE: MESSAGE           a file cannot be read\n"
    "  drovdef: FILE: TYPE: WHAT at offset X[, PATH]: REASON\n"
    "                                   a message refused (WHAT: cut short,\n"
    "                                   malformed), PATH the field\n"
    "  drovdef: FILE:LINE:COLUMN: [PATH: ]REASON\n"
    "                                   XML refused where it is not\n"
    "                                   well-formed or breaks the schema\n"
    "  drovdef: MESSAGE                 a usage error, with a second line\n"
    "                                   try 'drovdef --help'\n";

std::string out; // for stdout, written once the command has succeeded

void emit(const std::string &s) {
    out += s;
}

void write_out() {
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        throw Error(std::string("cannot write output: ") + std::strerror(errno));
    out.clear();
}

// A text of a record as one word: as it is when it is plain printable
// ASCII, quoted with escapes otherwise.
std::string word(const std::string &text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c > ' ' && c < 0x7f && c != '"' && c != '\\';
    });
    return plain ? text : drovdef::quote(text);
}

// "12" -> 12; anything that is not a plain decimal number is a usage error.
// Values too large for 64 bits saturate, which is still out of range.
std::uint64_t parse_index(const std::string &s) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{"bad index '" + s + "'"};
    std::uint64_t v = 0;
    for (const char c : s) {
        const unsigned d = static_cast<unsigned>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
        v = v * 10 + d;
    }
    return v;
}

std::size_t catalogue_index(const drovdef::Catalogue &cat, const std::string &index_text) {
    const std::uint64_t index = parse_index(index_text);
    if (index >= cat.size())
        throw Error("catalogue index " + index_text + " out of range (" +
                    std::to_string(cat.size()) + " entries)");
    return static_cast<std::size_t>(index);
}

drovdef::ElfFile open_elf(const std::string &path) {
    return drovdef::ElfFile::open(path);
}

// The build record's lines without the blanks that pad it to its size.
void print_build_record(const std::string &text) {
    std::string line;
    for (const char c : text + (text.ends_with('\n') ? "" : "\n")) {
        if (c != '\n') {
            line += c;
            continue;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        emit(line + "\n");
        line.clear();
    }
}

void cmd_types(const std::string &path) {
    const drovdef::TypeTable table = drovdef::read_type_table(open_elf(path));
    for (std::size_t i = 0; i < table.types.size(); ++i) {
        const drovdef::TypeRecord &t = table.types[i];
        std::string line = std::to_string(i) + " " + word(t.name) + " " + word(t.kind) + " " +
                           word(t.digest) + " " + std::to_string(t.variants.size());
        for (const drovdef::VariantEntry &e : t.variants)
            line += " | v" + std::to_string(e.variant) + " used " + std::to_string(e.used) +
                    " slop " + std::to_string(e.slop) + " alloc " +
                    std::to_string(std::uint64_t{e.used} + e.slop);
        emit(line + "\n");
    }
}

std::string catalogue_line(std::size_t index, std::uint32_t luid, std::string_view text) {
    return std::to_string(index) + " " + std::to_string(luid) + " " + drovdef::quote(text) + "\n";
}

void cmd_catalogue(const std::string &path, const std::vector<std::string> &rest) {
    const drovdef::ElfFile elf = open_elf(path);
    const drovdef::Catalogue cat = drovdef::load_catalogue(elf);
    if (!rest.empty()) {
        const std::size_t i = catalogue_index(cat, rest[0]);
        emit(catalogue_line(i, cat.luid(i), cat.text(i)));
        return;
    }
    // Nothing goes out for a damaged catalogue; then the listing streams.
    cat.check();
    cat.for_each([](std::size_t i, std::uint32_t luid, std::string_view text) {
        emit(catalogue_line(i, luid, text));
        if (out.size() >= (1u << 20)) write_out();
    });
    emit(std::to_string(cat.size()) + (cat.size() == 1 ? " entry\n" : " entries\n"));
}

void cmd_format(const std::string &path, const std::vector<std::string> &rest) {
    const drovdef::ElfFile elf = open_elf(path);
    const drovdef::Catalogue cat = drovdef::load_catalogue(elf);
    const std::string text = cat.text(catalogue_index(cat, rest[0]));
    std::string_view fmt = text;
    if (!fmt.empty() && fmt.front() == ' ') fmt.remove_prefix(1);
    try {
        emit(drovdef::format_message(fmt, {rest.begin() + 1, rest.end()}) + "\n");
    } catch (const Error &err) {
        throw Error("entry " + rest[0] + ": " + err.what());
    }
}

bool is_index(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The library the tool reads when none is given: the one installed beside
// it (DROVDEF_INSTALLED_LIBRARY, relative to the tool's folder), else, for
// the tool in a build tree, the one built there.  Empty when the tool
// cannot tell where it is.
std::string default_library() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = '\0';
    // The link is the tool's real path, so ".." in what follows can be
    // resolved by the text alone.
    const std::filesystem::path dir = std::filesystem::path(self).parent_path();
    const std::string installed = (dir / DROVDEF_INSTALLED_LIBRARY).lexically_normal();
    if (::access(installed.c_str(), F_OK) == 0) return installed;
    const std::string built = (dir / DROVDEF_BUILT_LIBRARY).lexically_normal();
    if (::access(built.c_str(), F_OK) == 0) return built;
    return installed;
}

int run(const std::vector<std::string> &args) {
    if (args.empty()) throw UsageError{"no command given"};
    const std::string &cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help" || cmd == "--version") {
        if (args.size() != 1) throw UsageError{cmd + " takes no arguments"};
        if (cmd == "--version") {
            std::printf("drovdef %s (module %s)\n", DROVDEF_VERSION, DROVDEF_MODULE);
        } else {
            const std::string lib = default_library();
            std::string help = kHelp;
            help.replace(help.find("@HERE@"), 6, lib.empty() ? "" : ", here " + lib);
            std::fputs(help.c_str(), stdout);
        }
        // A write that failed while the text was buffered leaves only the
        // error indicator behind; the flush of what is left may succeed.
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
            throw Error(std::string("cannot write output: ") + std::strerror(errno));
        return 0;
    }
    struct Command {
        const char *name;
        std::size_t min_rest, max_rest; // arguments after LIBRARY
    };
    static const Command commands[] = {
        {"types", 0, 0},     {"manifest", 0, 0},      {"build-info", 0, 0},
        {"catalogue", 0, 1}, {"format", 1, SIZE_MAX},
    };
    const Command *c = nullptr;
    for (const Command &k : commands)
        if (cmd == k.name) c = &k;
    if (c == nullptr && drovdef::messages::is_command(cmd)) {
        drovdef::messages::Outcome o = drovdef::messages::run(args);
        out = std::move(o.out);
        write_out();
        if (!o.report.empty() && std::fputs(o.report.c_str(), stderr) < 0)
            throw Error(std::string("cannot write the report: ") + std::strerror(errno));
        if (!o.refusal.empty()) throw Error(o.refusal);
        return o.status;
    }
    if (c == nullptr)
        throw UsageError{(cmd.starts_with("-") ? "unknown option '" : "unknown command '") + cmd +
                         "'"};
    // LIBRARY is the first argument unless that is an index.
    const bool takes_index = c->max_rest > 0;
    const bool given = args.size() > 1 && !(takes_index && is_index(args[1]));
    const std::vector<std::string> rest(args.begin() + (given ? 2 : 1), args.end());
    if (rest.size() < c->min_rest) throw UsageError{cmd + ": missing INDEX"};
    if (rest.size() > c->max_rest)
        throw UsageError{cmd + ": unexpected argument '" + rest[c->max_rest] + "'"};
    // An index that is not a number is a usage error, whatever the file holds.
    if (!rest.empty()) parse_index(rest[0]);

    std::string path = given ? args[1] : default_library();
    if (path.empty()) throw Error("no LIBRARY given, and the tool cannot tell where it is");
    try {
        if (cmd == "types")
            cmd_types(path);
        else if (cmd == "manifest")
            emit(drovdef::velto_text(open_elf(path), drovdef::kVeltoManifestRecord));
        else if (cmd == "build-info")
            print_build_record(drovdef::velto_text(open_elf(path), drovdef::kVeltoBuildRecord));
        else if (cmd == "catalogue")
            cmd_catalogue(path, rest);
        else
            cmd_format(path, rest);
    } catch (const Error &e) {
        throw Error(path + ": " + e.what());
    }
    write_out();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // Like cmp(1) and diff(1), the commands that compare keep 1 for "they
    // differ" and say 2 for trouble; the others say 1.
    const int trouble = !args.empty() && (args[0] == "diff" || args[0] == "compat") ? 2 : 1;
    try {
        return run(args);
    } catch (const UsageError &u) {
        std::fprintf(stderr, "drovdef: %s\ntry 'drovdef --help'\n", u.message.c_str());
        return 2;
    } catch (const Error &e) {
        std::fprintf(stderr, "drovdef: %s\n", e.what());
        return trouble;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "drovdef: out of memory\n");
        return trouble;
    } catch (const std::exception &e) { // the C++ layer's drov::error
        std::fprintf(stderr, "drovdef: %s\n", e.what());
        return trouble;
    }
}
