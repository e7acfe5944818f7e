#include "types.h"

#include "qel.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <optional>
#include <string_view>

namespace drovdef {

namespace {

constexpr std::string_view kModuleName = "drov_def";
constexpr std::size_t kPointer = 8;
constexpr std::size_t kRelaSize = 24;
constexpr std::size_t kSymSize = 24;
constexpr std::size_t kRecordSize = sizeof(qel_type_info_t);
constexpr std::size_t kVariantInfoSize = sizeof(qel_variant_info_t);
constexpr std::size_t kEntrySize = sizeof(qel_variant_entry_t);
static_assert(kRecordSize == 272 && kVariantInfoSize == 16 && kEntrySize == 40);
static_assert(offsetof(qel_module_desc_t, type_table) == kPointer);

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// One dynamic relocation: at `offset` the loader stores a value computed
// from the addend and, for symbolic types, a symbol of `symtab`.
struct Reloc {
    std::uint64_t offset;
    std::uint32_t type;
    std::uint32_t sym;
    std::uint64_t addend;
    const Section *symtab;
};

// The library as the loader would lay it out at address 0.
class Image {
public:
    explicit Image(const ElfFile &elf) : elf_(elf) {
        for (const Section &s : elf.sections()) {
            if (s.type == SHT_RELR)
                throw Error("packed relative relocations (" + s.name + ") are not supported");
            if ((s.flags & SHF_ALLOC) == 0) continue;
            if (s.type != SHT_NULL) loaded_.push_back(&s);
            if (s.type != SHT_RELA) continue;
            const std::span<const std::uint8_t> data = elf.contents(s);
            if (data.size() % kRelaSize != 0)
                throw Error("relocation section " + s.name + " is not a whole number of entries");
            const Section *symtab =
                s.link < elf.sections().size() ? &elf.sections()[s.link] : nullptr;
            for (std::size_t off = 0; off < data.size(); off += kRelaSize) {
                const std::uint8_t *r = data.data() + off;
                const std::uint64_t info = load_u64(r + 8);
                if (static_cast<std::uint32_t>(info) == R_X86_64_NONE) continue;
                relocs_.push_back({load_u64(r), static_cast<std::uint32_t>(info),
                                   static_cast<std::uint32_t>(info >> 32), load_u64(r + 16),
                                   symtab});
            }
        }
        // The loader applies them in order, so the last one for a place wins.
        std::stable_sort(relocs_.begin(), relocs_.end(),
                         [](const Reloc &a, const Reloc &b) { return a.offset < b.offset; });
    }

    // The file bytes at [addr, addr + len) of the loaded image; zero where
    // the section holds none.  Null when the range is not inside one
    // loaded section.
    std::optional<std::vector<std::uint8_t>> read(std::uint64_t addr, std::uint64_t len) const {
        for (const Section *s : loaded_) {
            if (addr < s->addr || addr - s->addr > s->size || len > s->size - (addr - s->addr))
                continue;
            std::vector<std::uint8_t> out(static_cast<std::size_t>(len), 0);
            const std::span<const std::uint8_t> data = elf_.contents(*s);
            if (!data.empty()) std::memcpy(out.data(), data.data() + (addr - s->addr), out.size());
            return out;
        }
        return std::nullopt;
    }

    // read() that throws, naming what was read.
    std::vector<std::uint8_t> fetch(std::uint64_t addr, std::uint64_t len,
                                    const std::string &what) const {
        std::optional<std::vector<std::uint8_t>> bytes = read(addr, len);
        if (!bytes)
            throw Error(what + " (" + std::to_string(len) + " bytes at " + hex(addr) +
                        ") lies outside the loaded sections");
        return std::move(*bytes);
    }

    // The pointer the loader leaves at addr, null as nullopt.  A relocated
    // pointer is never null: it counts from the load address.
    std::optional<std::uint64_t> pointer(std::uint64_t addr, const std::string &what) const {
        const std::vector<std::uint8_t> raw = fetch(addr, kPointer, what);
        const auto it =
            std::upper_bound(relocs_.begin(), relocs_.end(), addr,
                             [](std::uint64_t a, const Reloc &r) { return a < r.offset; });
        if (it == relocs_.begin() || std::prev(it)->offset != addr) {
            const std::uint64_t v = load_u64(raw.data());
            if (v != 0)
                throw Error(what + " at " + hex(addr) + " holds " + hex(v) +
                            " without a relocation");
            return std::nullopt;
        }
        std::string why;
        const std::optional<std::uint64_t> v = target(*std::prev(it), why);
        if (!v) throw Error(what + " at " + hex(addr) + ": " + why);
        return v;
    }

    // Addresses of the places whose relocation points at the NUL-terminated
    // text.
    std::vector<std::uint64_t> pointers_to(std::string_view text) const {
        std::vector<std::uint64_t> out;
        std::string why;
        for (std::size_t i = 0; i < relocs_.size(); ++i) {
            const Reloc &r = relocs_[i];
            if (i + 1 < relocs_.size() && relocs_[i + 1].offset == r.offset) continue;
            const std::optional<std::uint64_t> t = target(r, why);
            if (!t) continue;
            const auto bytes = read(*t, text.size() + 1);
            if (bytes && std::memcmp(bytes->data(), text.data(), text.size()) == 0 &&
                bytes->back() == 0)
                out.push_back(r.offset);
        }
        return out;
    }

private:
    // What the loader stores for r, or null with the reason.
    std::optional<std::uint64_t> target(const Reloc &r, std::string &why) const {
        if (r.type == R_X86_64_RELATIVE) return r.addend;
        if (r.type != R_X86_64_64 && r.type != R_X86_64_GLOB_DAT) {
            why = "relocation type " + std::to_string(r.type) + " is not supported";
            return std::nullopt;
        }
        const Section *symtab = r.symtab;
        if (symtab == nullptr || (symtab->type != SHT_DYNSYM && symtab->type != SHT_SYMTAB)) {
            why = "relocation without a symbol table";
            return std::nullopt;
        }
        const std::span<const std::uint8_t> syms = elf_.contents(*symtab);
        if (r.sym == 0 || r.sym >= syms.size() / kSymSize) {
            why = "relocation names symbol " + std::to_string(r.sym) + " of " +
                  std::to_string(syms.size() / kSymSize);
            return std::nullopt;
        }
        const std::uint8_t *sym = syms.data() + std::size_t{r.sym} * kSymSize;
        const std::uint16_t shndx = load_u16(sym + 6);
        if (shndx == SHN_UNDEF) {
            why = "relocation refers to a symbol the file does not define";
            return std::nullopt;
        }
        if (ELF64_ST_TYPE(sym[4]) == STT_GNU_IFUNC) {
            why = "relocation refers to a symbol resolved by code";
            return std::nullopt;
        }
        const std::uint64_t value = load_u64(sym + 8);
        return r.type == R_X86_64_64 ? value + r.addend : value;
    }

    const ElfFile &elf_;
    std::vector<const Section *> loaded_;
    std::vector<Reloc> relocs_;
};

std::string text_field(const std::vector<std::uint8_t> &rec, std::size_t offset, std::size_t size) {
    const char *p = reinterpret_cast<const char *>(rec.data() + offset);
    return std::string(p, ::strnlen(p, size));
}

} // namespace

TypeTable read_type_table(const ElfFile &elf) {
    if (elf.machine() != EM_X86_64)
        throw Error("type table: machine " + std::to_string(elf.machine()) +
                    " is not supported (x86-64 only)");
    const Image image(elf);
    const std::vector<std::uint64_t> names = image.pointers_to(kModuleName);
    if (names.empty()) throw Error("does not publish a " + std::string(kModuleName) + " module");
    if (names.size() > 1)
        throw Error(std::to_string(names.size()) + " " + std::string(kModuleName) +
                    " module descriptors");

    TypeTable table;
    table.descriptor = names[0];
    const std::optional<std::uint64_t> address =
        image.pointer(table.descriptor + kPointer, "the module's type table pointer");
    if (!address) throw Error(std::string(kModuleName) + " module has no type table");
    table.address = *address;

    for (std::uint64_t i = 0;; ++i) {
        const std::string entry = "type table entry " + std::to_string(i);
        const std::optional<std::uint64_t> record =
            image.pointer(table.address + i * kPointer, entry);
        if (!record) break;
        TypeRecord t;
        t.address = *record;
        const std::vector<std::uint8_t> rec = image.fetch(t.address, kRecordSize, entry);
        if (load_u32(rec.data() + offsetof(qel_type_info_t, magic)) != QEL_TYPE_INFO_MAGIC)
            throw Error(entry + " has a bad magic number");
        t.name = text_field(rec, offsetof(qel_type_info_t, name), sizeof(qel_type_info_t::name));
        t.kind = text_field(rec, offsetof(qel_type_info_t, kind), sizeof(qel_type_info_t::kind));
        t.digest = text_field(rec, offsetof(qel_type_info_t, digest_str),
                              sizeof(qel_type_info_t::digest_str));

        const std::string vi_what = entry + " variant information";
        const std::optional<std::uint64_t> vi =
            image.pointer(t.address + offsetof(qel_type_info_t, variant_info), vi_what);
        if (vi) {
            const std::vector<std::uint8_t> info = image.fetch(*vi, kVariantInfoSize, vi_what);
            const auto count = static_cast<std::int8_t>(info[offsetof(qel_variant_info_t, count)]);
            const std::optional<std::uint64_t> entries =
                image.pointer(*vi + offsetof(qel_variant_info_t, entries), vi_what);
            if (count < 0) throw Error(entry + " has a negative variant count");
            if (count > 0 && !entries) throw Error(entry + " has no variant entries");
            const std::vector<std::uint8_t> raw =
                count > 0 ? image.fetch(*entries, std::uint64_t{kEntrySize} * count, vi_what)
                          : std::vector<std::uint8_t>{};
            for (int v = 0; v < count; ++v) {
                const std::uint8_t *e = raw.data() + std::size_t{kEntrySize} * v;
                t.variants.push_back({load_u32(e + offsetof(qel_variant_entry_t, variant)),
                                      load_u32(e + offsetof(qel_variant_entry_t, used_length)),
                                      load_u32(e + offsetof(qel_variant_entry_t, alloc_slop))});
            }
        }
        table.types.push_back(std::move(t));
    }
    return table;
}

} // namespace drovdef
