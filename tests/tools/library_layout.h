// Where the tool tests find things in the built library: its bytes, its
// sections, its type table, the dynamic relocations and symbols.
#pragma once

#include "elf_file.h"
#include "types.h"

#include <bzlib.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <istream>
#include <string>
#include <vector>

namespace test {

using Bytes = std::vector<std::uint8_t>;

inline void put(Bytes &b, std::size_t off, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// The cases of a table file: its "LEFT => RIGHT" lines (comments, blank lines and others skipped),
// each handed to fn(left, right) with the line as the trace; how many there were.
template <class Fn> int each_case(std::istream &in, Fn &&fn) {
    int cases = 0;
    for (std::string line; std::getline(in, line);) {
        const std::size_t arrow = line.find(" =>");
        if (line.empty() || line[0] == '#' || arrow == std::string::npos) continue;
        SCOPED_TRACE(line);
        ++cases;
        fn(line.substr(0, arrow), line.substr(std::min(line.size(), arrow + 4)));
    }
    return cases;
}

// Text compressed with bzip2, as the catalogue's texts are, in blocks of block_100k times 100 kB.
inline Bytes compress(const std::string &text, int block_100k) {
    Bytes out(text.size() + text.size() / 100 + 600);
    auto size = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char *>(out.data()), &size, const_cast<char *>(text.data()),
                                       static_cast<unsigned>(text.size()), block_100k, 0, 0),
              BZ_OK);
    out.resize(size);
    return out;
}

inline std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// The undamaged library.
struct Layout {
    const Bytes lib = drovdef::read_file(DROVDEF_LIBRARY);
    const drovdef::ElfFile elf{Bytes(lib)};
    const drovdef::TypeTable table = drovdef::read_type_table(elf);
    const std::size_t shoff = drovdef::load_u64(&lib[40]);

    const drovdef::Section &section(std::string_view name) const {
        const auto &secs = elf.sections();
        return *std::ranges::find_if(secs, [&](auto &s) { return s.name == name; });
    }
    std::size_t header(std::string_view name) const {
        return shoff + 64 * static_cast<std::size_t>(&section(name) - elf.sections().data());
    }
    // The file offset of a loaded address.
    std::size_t at(std::uint64_t addr) const {
        for (const auto &s : elf.sections())
            if ((s.flags & SHF_ALLOC) && s.type != SHT_NOBITS && addr >= s.addr &&
                addr - s.addr < s.size)
                return s.offset + (addr - s.addr);
        ADD_FAILURE() << "address " << addr << " not in the file";
        return 0;
    }
    // The file offset of the dynamic relocation of the place at addr.
    std::size_t relocation(std::uint64_t addr) const {
        const auto &rela = section(".rela.dyn");
        for (std::size_t off = rela.offset; off < rela.offset + rela.size; off += 24)
            if (drovdef::load_u64(&lib[off]) == addr) return off;
        ADD_FAILURE() << "no relocation at " << addr;
        return 0;
    }
    // The file offset of a dynamic symbol.
    std::size_t symbol(std::string_view name) const {
        const auto &syms = section(".dynsym"), &names = section(".dynstr");
        for (std::size_t off = syms.offset; off < syms.offset + syms.size; off += 24)
            if (name ==
                reinterpret_cast<const char *>(&lib[names.offset]) + drovdef::load_u32(&lib[off]))
                return off;
        ADD_FAILURE() << "no symbol " << name;
        return 0;
    }
    std::uint64_t slot(std::size_t i) const { return table.address + 8 * i; }
    std::uint64_t record(std::size_t i) const { return table.types.at(i).address; }
};

} // namespace test
