// The drovdef tool's reading of a library file, which may be anything.  The first input byte picks
// what the rest is: 0 a whole file image (sections, .velto records, trace catalogue, type table); 1
// a catalogue alone (a two-byte index size, the index, the compressed texts); 2 a .velto section; 3
// a message text and its arguments, separated by NULs.  Each reads or throws drovdef::Error;
// anything else (a crash, a sanitizer report, another exception, an allocation beyond the limits)
// is a fault.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "catalogue.h"
#include "elf_file.h"
#include "types.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Listed, and looked up at its ends and middle, as the tool's commands do.
void read_catalogue(const drovdef::Catalogue &cat) {
    cat.check();
    cat.for_each([](std::size_t, std::uint32_t, std::string_view text) { drovdef::count_conversions(text); });
    for (std::size_t i : {std::size_t{0}, cat.size() / 2, cat.size() - 1})
        if (i < cat.size()) {
            cat.luid(i);
            drovdef::quote(cat.text(i));
        }
}

template <class Read> void apart(Read read) {
    try {
        read();
    } catch (const drovdef::Error &) {
    }
}

void image(Bytes bytes) {
    const drovdef::ElfFile elf(std::move(bytes));
    apart([&] { drovdef::velto_text(elf, drovdef::kVeltoManifestRecord); });
    apart([&] { drovdef::velto_text(elf, drovdef::kVeltoBuildRecord); });
    apart([&] { read_catalogue(drovdef::load_catalogue(elf)); });
    drovdef::read_type_table(elf);
}

void catalogue(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return;
    const std::size_t n = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
    const std::span<const std::uint8_t> index(data + 2, n), texts(data + 2 + n, size - 2 - n);
    char uuid[33] = "";
    for (std::size_t i = 0; n >= 20 && i < 16; ++i) std::snprintf(uuid + 2 * i, 3, "%02x", data[6 + i]);
    read_catalogue(drovdef::Catalogue(uuid, index, texts));
}

void format(const std::uint8_t *data, std::size_t size) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) parts.emplace_back();
        else parts.back() += static_cast<char>(data[i]);
    }
    const std::string fmt = parts[0];
    parts.erase(parts.begin());
    drovdef::quote(fmt);
    drovdef::count_conversions(fmt);
    drovdef::format_message(fmt, parts);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    try {
        switch (data[0] % 4) {
        case 0: image(Bytes(data + 1, data + size)); break;
        case 1: catalogue(data + 1, size - 1); break;
        case 2: drovdef::parse_velto({data + 1, size - 1}); break;
        case 3: format(data + 1, size - 1); break;
        }
    } catch (const drovdef::Error &) {
    }
    return 0;
}
