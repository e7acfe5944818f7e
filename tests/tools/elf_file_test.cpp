// The ELF section reader and the .velto record parser on synthetic files.
#include "elf_file.h"
#include "tools/support.h"

#include <gtest/gtest.h>

#include <functional>

using namespace drovdef_test;
using drovdef::ElfFile;

namespace {

// Sections 1-4; 5 is the name table.
SynthElf sample() {
    return build_elf({{".text", bytes_of("code")},
                      {".bss", Bytes(32, 0), 8 /* SHT_NOBITS */},
                      {".wlog_luids_abc", bytes_of("luids")},
                      {".velto", velto_record(2, "abc")}});
}

std::string elf_error(const Bytes &b) {
    return error_of([&] { ElfFile{Bytes(b)}; });
}

} // namespace

TEST(tool_elf, EveryTruncationIsRejected) {
    // The section headers come last, so no proper prefix is a whole file.
    const Bytes full = sample().bytes;
    for (std::size_t n = 0; n < full.size(); ++n)
        EXPECT_NE(elf_error(Bytes(full.begin(), full.begin() + static_cast<long>(n))), "") << n;
}

TEST(tool_elf, RejectsDamagedHeaders) {
    const SynthElf s = sample();
    const std::size_t strtab = s.header(4), velto = s.header(3), bss = s.header(1);
    const struct {
        std::function<void(Bytes &)> damage;
        std::string message; // start of the error; "" when the file must still parse
    } cases[] = {
        {[](Bytes &b) { b = bytes_of("#!/bin/sh\n"); }, "not an ELF file"},
        {[](Bytes &b) { b[4] = 1; }, "not a 64-bit ELF file"},
        {[](Bytes &b) { b[5] = 2; }, "not a little-endian ELF file"},
        {[](Bytes &b) { put(b, 40, 0, 8); }, "no section header table"},
        {[](Bytes &b) { put(b, 40, UINT64_MAX - 8, 8); },
         "section header table extends past the end of the file"},
        {[](Bytes &b) { put(b, 58, 40, 2); }, "unexpected section header size 40 (expected 64)"},
        {[](Bytes &b) { put(b, 60, 7, 2); },
         "section header table (7 entries) extends past the end"},
        // Extended numbering: a zero count defers to section 0's size.
        {[&](Bytes &b) { put(b, 60, 0, 2), put(b, s.shoff + 32, 6, 8); }, ""},
        {[&](Bytes &b) { put(b, 60, 0, 2), put(b, s.shoff + 32, 1ull << 60, 8); },
         "section header table (1152921504606846976 entries)"},
        {[](Bytes &b) { put(b, 62, 0, 2); }, "no section name string table"},
        {[](Bytes &b) { put(b, 62, 6, 2); },
         "section name string table index 6 out of range (6 sections)"},
        {[](Bytes &b) { put(b, 62, 2, 2); }, "section name string table has no contents"},
        {[&](Bytes &b) { put(b, velto, 5000, 4); },
         "section 4 name offset 5000 outside the section name table (45 bytes)"},
        {[&](Bytes &b) { put(b, strtab + 32, 31, 8); }, "section 4 name is not terminated"},
        {[&](Bytes &b) { put(b, velto + 32, b.size(), 8); },
         "section 4 extends past the end of the file"},
        {[&](Bytes &b) { put(b, velto + 32, UINT64_MAX - 8, 8); },
         "section 4 extends past the end of the file"},
        // NOBITS sections have no file bytes, so any extent is fine.
        {[&](Bytes &b) { put(b, bss + 24, UINT64_MAX, 8), put(b, bss + 32, UINT64_MAX, 8); }, ""},
    };
    for (const auto &c : cases) {
        Bytes b = s.bytes;
        c.damage(b);
        const std::string got = elf_error(b);
        EXPECT_TRUE(c.message.empty() ? got.empty() : got.rfind(c.message, 0) == 0)
            << got << "\nwant: " << c.message;
    }
    // Undamaged, the sections and their contents are all there.
    const ElfFile elf(s.bytes);
    EXPECT_EQ(elf.sections().size(), 6u);
    EXPECT_EQ(elf.find_prefix(".wlog_luids_").at(0)->name, ".wlog_luids_abc");
    EXPECT_TRUE(elf.contents(*elf.find(".bss")).empty());
    EXPECT_EQ(drovdef::velto_text(elf, drovdef::kVeltoManifestRecord), "abc");
    EXPECT_EQ(error_of([&] { drovdef::velto_text(elf, drovdef::kVeltoBuildRecord); }),
              "no build record in .velto");
}

TEST(tool_velto, SplitsPaddedRecords) {
    Bytes v = velto_record(2, "abc");
    for (const Bytes &r : {velto_record(1, "abcd"), velto_record(7, "")})
        v.insert(v.end(), r.begin(), r.end());
    v.resize(v.size() + 12, 0); // alignment fill after the last record
    const auto recs = drovdef::parse_velto(v);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].type, 2u);
    EXPECT_EQ(recs[0].text, "abc");
    EXPECT_EQ(recs[1].type, 1u);
    EXPECT_EQ(recs[1].text, "abcd");
    EXPECT_EQ(recs[2].text, "");
}

TEST(tool_velto, RejectsBrokenRecords) {
    const Bytes good = velto_record(2, "manifest"); // 8 + 9 bytes, padded to 20
    auto err = [](const Bytes &b) { return error_of([&] { drovdef::parse_velto(b); }); };
    Bytes b = good;
    put(b, 0, 0xFFFFFFF0u, 4);
    EXPECT_EQ(err(b), ".velto: record at offset 0 claims 4294967280 body bytes, past the end of "
                      "the section (20 bytes)");
    put(b, 0, 0, 4);
    EXPECT_EQ(err(b), ".velto: record at offset 0 has an empty body");
    b = good;
    b[16] = 'X';
    EXPECT_EQ(err(b), ".velto: record at offset 0 is not NUL-terminated");
    b = good;
    b.insert(b.end(), {1, 0, 0});
    EXPECT_EQ(err(b), ".velto: truncated record header at offset 20");
    // Cutting into the header or body fails; cutting only padding does not.
    for (std::size_t n = 1; n < good.size(); ++n)
        EXPECT_EQ(err(Bytes(good.begin(), good.begin() + static_cast<long>(n))).empty(), n >= 17)
            << n;
}
