// The drov_def module's type table as the runtime sees it once the library
// is loaded, read from the file alone: the loader's work is redone on the
// file's bytes (loaded sections at their addresses, dynamic relocations
// applied with a load base of 0), so none of the file's code ever runs.
#pragma once

#include "elf_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace drovdef {

struct VariantEntry {
    std::uint32_t variant = 0;
    std::uint32_t used = 0;
    std::uint32_t slop = 0;
};

struct TypeRecord {
    std::uint64_t address = 0; // of the type-info record
    std::string name, kind, digest;
    std::vector<VariantEntry> variants; // empty when it has no variant info
};

struct TypeTable {
    std::uint64_t descriptor = 0; // the module descriptor's address
    std::uint64_t address = 0;    // the table's
    std::vector<TypeRecord> types;
};

// Finds the drov_def module descriptor (a relocated pointer to the name
// "drov_def" followed by one to the type table) and walks its table to the
// null pointer.  Throws Error on anything the loaded library could not
// hold: a pointer that leaves the loaded sections, a non-null pointer
// without a relocation, a relocation the loader could not apply without
// running the file's code, a record with a bad magic number or bad variant
// information.
TypeTable read_type_table(const ElfFile &elf);

} // namespace drovdef
