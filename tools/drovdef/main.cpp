// drovdef: inspect a built libdrov_def -- its types as the runtime sees
// them, the .velto manifest and build record, and the trace catalogue.
#include "catalogue.h"
#include "elf_file.h"

#include "qel.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <string>
#include <vector>

namespace {

using drovdef::Error;

constexpr const char *kModuleName = "drov_def";
// Bounds on walking runtime lists, in case a library hands us a cycle.
constexpr std::size_t kMaxModules = 100000;
constexpr std::size_t kMaxTypes = 100000;

constexpr const char kUsage[] =
    "usage: drovdef COMMAND LIBRARY [ARGS]\n"
    "\n"
    "commands:\n"
    "  types LIBRARY                 load LIBRARY and list the types of its drov_def module\n"
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

std::string out; // everything for stdout, written at the end

void emit(const std::string &s) {
    out += s;
}

std::string fixed_string(const char *field, std::size_t cap) {
    return std::string(field, ::strnlen(field, cap));
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

const drovdef::CatalogueEntry &catalogue_entry(const drovdef::Catalogue &cat,
                                               const std::string &index_text) {
    const std::uint64_t index = parse_index(index_text);
    if (index >= cat.entries.size())
        throw Error("catalogue index " + index_text + " out of range (" +
                    std::to_string(cat.entries.size()) + " entries)");
    return cat.entries[static_cast<std::size_t>(index)];
}

drovdef::ElfFile open_elf(const std::string &path) {
    return drovdef::ElfFile(drovdef::read_file(path));
}

void print_text(std::string text) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    emit(text);
}

void cmd_types(const std::string &path) {
    // The file checks give clearer messages than the dynamic loader would.
    open_elf(path);
    // Without a slash dlopen would search the library path, not the
    // current directory.
    const std::string load_path = path.find('/') == std::string::npos ? "./" + path : path;
    void *handle = ::dlopen(load_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = ::dlerror();
        throw Error(std::string("cannot load: ") + (why ? why : "unknown error"));
    }
    ::dlerror();
    const auto *root =
        static_cast<const qel_module_list_t *>(::dlsym(handle, "qel_module_tot_root"));
    if (root == nullptr) throw Error("no qel_module_tot_root: not linked against the type runtime");

    const qel_module_desc_t *mod = nullptr;
    std::size_t steps = 0;
    for (const qel_module_desc_t *d = root->first; d != nullptr; d = d->next) {
        if (++steps > kMaxModules) throw Error("runtime module list does not end");
        if (d->name != nullptr && std::strcmp(d->name, kModuleName) == 0) {
            mod = d;
            break;
        }
    }
    if (mod == nullptr) throw Error(std::string("does not publish a ") + kModuleName + " module");
    if (mod->type_table == nullptr)
        throw Error(std::string(kModuleName) + " module has no type table");

    for (std::size_t i = 0; mod->type_table[i] != nullptr; ++i) {
        if (i >= kMaxTypes) throw Error("type table does not end");
        const qel_type_info_t &ti = *mod->type_table[i];
        if (ti.magic != QEL_TYPE_INFO_MAGIC)
            throw Error("type table entry " + std::to_string(i) + " has a bad magic number");
        const qel_variant_info_t *vi = ti.variant_info;
        const int count = vi != nullptr ? vi->count : 0;
        if (count < 0 || (count > 0 && vi->entries == nullptr))
            throw Error("type table entry " + std::to_string(i) + " has bad variant information");
        std::string line = std::to_string(i) + " " + fixed_string(ti.name, sizeof ti.name) + " " +
                           fixed_string(ti.kind, sizeof ti.kind) + " " +
                           fixed_string(ti.digest_str, sizeof ti.digest_str) + " " +
                           std::to_string(count);
        for (int v = 0; v < count; ++v) {
            const qel_variant_entry_t &e = vi->entries[v];
            line += " | v" + std::to_string(e.variant) + " used " + std::to_string(e.used_length) +
                    " slop " + std::to_string(e.alloc_slop) + " alloc " +
                    std::to_string(std::uint64_t{e.used_length} + e.alloc_slop);
        }
        emit(line + "\n");
    }
    // The module's descriptor stays linked into the runtime while loaded;
    // leave the library in place until the process ends.
}

void cmd_catalogue(const std::string &path, const std::vector<std::string> &rest) {
    const drovdef::Catalogue cat = drovdef::load_catalogue(open_elf(path));
    auto line = [](std::size_t index, const drovdef::CatalogueEntry &e) {
        return std::to_string(index) + " " + std::to_string(e.luid) + " " + drovdef::quote(e.text) +
               "\n";
    };
    if (!rest.empty()) {
        const auto &e = catalogue_entry(cat, rest[0]);
        emit(line(static_cast<std::size_t>(&e - cat.entries.data()), e));
        return;
    }
    for (std::size_t i = 0; i < cat.entries.size(); ++i) emit(line(i, cat.entries[i]));
    emit(std::to_string(cat.entries.size()) +
         (cat.entries.size() == 1 ? " entry\n" : " entries\n"));
}

void cmd_format(const std::string &path, const std::vector<std::string> &rest) {
    const drovdef::Catalogue cat = drovdef::load_catalogue(open_elf(path));
    const auto &e = catalogue_entry(cat, rest[0]);
    std::string_view text = e.text;
    if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    try {
        emit(drovdef::format_message(text, {rest.begin() + 1, rest.end()}) + "\n");
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
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        throw Error(std::string("cannot write output: ") + std::strerror(errno));
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
