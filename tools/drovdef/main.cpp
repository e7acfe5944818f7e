// drovdef: inspect a built libdrov_def -- its types as the runtime sees
// them, the .velto manifest and build record, and the trace catalogue.
#include "catalogue.h"
#include "elf_file.h"
#include "types.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using drovdef::Error;

constexpr const char kUsage[] =
    "usage: drovdef COMMAND LIBRARY [ARGS]\n"
    "\n"
    "commands:\n"
    "  types LIBRARY                 list the types of LIBRARY's drov_def module as the\n"
    "                                runtime sees them once it is loaded (nothing of\n"
    "                                LIBRARY runs)\n"
    "  manifest LIBRARY              print the type manifest (.velto record 2)\n"
    "  build-info LIBRARY            print the build record (.velto record 1)\n"
    "  catalogue LIBRARY [INDEX]     print the trace catalogue, or one entry of it, as\n"
    "                                INDEX LUID \"TEXT\"\n"
    "  format LIBRARY INDEX [ARG...] print trace message INDEX with its arguments filled\n"
    "                                in (%s: text; %u, %d: 32-bit decimal or 0x number;\n"
    "                                %p: number, printed in hex)\n"
    "  --help                        show this text\n";

struct UsageError {
    std::string message; // may be empty: just the usage text
};

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
    return drovdef::ElfFile(drovdef::read_file(path));
}

void print_text(std::string text) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    emit(text);
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

int run(const std::vector<std::string> &args) {
    if (args.empty()) throw UsageError{};
    const std::string &cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        if (args.size() != 1) throw UsageError{"--help takes no arguments"};
        std::fputs(kUsage, stdout);
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
    if (c == nullptr) throw UsageError{"unknown command '" + cmd + "'"};
    if (args.size() < 2) throw UsageError{cmd + ": missing LIBRARY"};
    const std::vector<std::string> rest(args.begin() + 2, args.end());
    if (rest.size() < c->min_rest || rest.size() > c->max_rest)
        throw UsageError{cmd + ": wrong number of arguments"};
    // An index that is not a number is a usage error, whatever the file holds.
    if (!rest.empty() && (cmd == "catalogue" || cmd == "format")) parse_index(rest[0]);

    const std::string &path = args[1];
    try {
        if (cmd == "types")
            cmd_types(path);
        else if (cmd == "manifest")
            emit(drovdef::velto_text(open_elf(path), drovdef::kVeltoManifestRecord));
        else if (cmd == "build-info")
            print_text(drovdef::velto_text(open_elf(path), drovdef::kVeltoBuildRecord));
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
    try {
        return run(args);
    } catch (const UsageError &u) {
        if (!u.message.empty()) std::fprintf(stderr, "drovdef: %s\n", u.message.c_str());
        std::fputs(kUsage, stderr);
        return 2;
    } catch (const Error &e) {
        std::fprintf(stderr, "drovdef: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "drovdef: out of memory\n");
        return 1;
    }
}
