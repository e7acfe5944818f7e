// The trace catalogue parser, bzip2 handling and message formatting.
#include "catalogue.h"
#include "tools/support.h"

#include <gtest/gtest.h>

#include <random>

using namespace drovdef_test;

namespace {

constexpr std::uint8_t kUuid[16] = {0x39, 0xf5, 0xeb, 0x9b, 0xde, 0x16, 0xce, 0xbd,
                                    0x6a, 0xee, 0xd2, 0x45, 0x04, 0xa8, 0x66, 0x6c};
constexpr const char *kUuidHex = "39f5eb9bde16cebd6aeed24504a8666c";
const std::vector<std::string> kTexts = {" error in %s create %s", " count %u of %d at %p",
                                         " no args"};
const std::string kAll = kTexts[0] + kTexts[1] + kTexts[2];

std::string catalogue_error(const Bytes &luids, const Bytes &strings,
                            std::string_view uuid = kUuidHex) {
    return error_of([&] { drovdef::parse_catalogue(uuid, luids, strings); });
}

SynthElf catalogue_elf(const Bytes &luids, const Bytes &strings) {
    return build_elf({{".text", bytes_of("code")},
                      {std::string(".wlog_luids_") + kUuidHex, luids},
                      {".wlog_format_strings", strings}});
}

} // namespace

TEST(tool_catalogue, SplitsTextsByTheirLengths) {
    const drovdef::ElfFile elf(catalogue_elf(luid_section(kTexts, 50749, kUuid), bz2(kAll)).bytes);
    const auto cat = drovdef::load_catalogue(elf);
    ASSERT_EQ(cat.entries.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cat.entries[i].luid, 50749u + i);
        EXPECT_EQ(cat.entries[i].text, kTexts[i]);
    }
    EXPECT_TRUE(
        drovdef::parse_catalogue(kUuidHex, luid_section({}, 1, kUuid), bz2("")).entries.empty());
    EXPECT_EQ(error_of([] {
                  drovdef::load_catalogue(drovdef::ElfFile(build_elf({{".text", {}}}).bytes));
              }),
              "no trace catalogue (.wlog_luids_* section missing)");
}

TEST(tool_catalogue, RejectsMalformedLuidSection) {
    const Bytes strings = bz2(kAll), good = luid_section(kTexts, 1, kUuid);
    for (std::size_t size : {good.size() - 1, good.size() - 5, std::size_t{19}, std::size_t{0}})
        EXPECT_EQ(
            catalogue_error(Bytes(good.begin(), good.begin() + static_cast<long>(size)), strings),
            "trace catalogue section has " + std::to_string(size) +
                " bytes, not 4 + 16 + 6 per entry");
    Bytes b = good;
    put(b, 0, 2, 4);
    EXPECT_EQ(catalogue_error(b, strings), "unsupported trace catalogue version 2");
    for (const char *name : {"39f5eb9bde16cebd6aeed24504a8666d", "39f5eb9bde16cebd6aeed24504a8666"})
        EXPECT_EQ(catalogue_error(good, strings, name),
                  "trace catalogue UUID does not match its section name");

    // The lengths must cover the texts exactly.
    const std::size_t last_len = 20 + 2 * 6 + 4;
    put(b = good, last_len, kTexts[2].size() - 1, 2);
    EXPECT_EQ(catalogue_error(b, strings),
              "trace catalogue text lengths add up to " + std::to_string(kAll.size() - 1) +
                  " bytes but the format strings hold " + std::to_string(kAll.size()));
    put(b, last_len, kTexts[2].size() + 1, 2);
    EXPECT_EQ(catalogue_error(b, strings).rfind("trace catalogue entry 2 runs past", 0), 0u);
    put(b, 20 + 4, 0xFFFF, 2);
    EXPECT_EQ(catalogue_error(b, strings).rfind("trace catalogue entry 0 runs past", 0), 0u);
}

TEST(tool_catalogue, RejectsBrokenBzip2) {
    const Bytes good = bz2(kAll);
    auto err = [](const Bytes &b, std::size_t cap = drovdef::kMaxTextBytes) {
        return error_of([&] { drovdef::bz2_decompress(b, cap); });
    };
    EXPECT_EQ(err(bytes_of("plain text")), "format strings are not bzip2 data");
    EXPECT_EQ(err({}), "truncated bzip2 stream in the format strings");
    for (std::size_t n = 1; n < good.size(); ++n)
        EXPECT_NE(err(Bytes(good.begin(), good.begin() + static_cast<long>(n))), "") << n;
    Bytes b = good;
    b[good.size() / 2] ^= 0x55;
    EXPECT_NE(err(b), "");
    b = good;
    b.push_back(0);
    EXPECT_EQ(err(b), "1 stray bytes after the bzip2 stream in the format strings");

    const std::string big(200000, 'x');
    EXPECT_EQ(drovdef::bz2_decompress(bz2(big), big.size()), big);
    EXPECT_EQ(err(bz2(big), big.size() - 1), "format strings expand past 199999 bytes");
}

TEST(tool_catalogue, RandomDamageFailsCleanly) {
    // Damaged headers or catalogue must parse or throw Error; run under the
    // sanitizers this also catches reads outside the buffer.
    const SynthElf s = catalogue_elf(luid_section(kTexts, 1, kUuid), bz2(kAll));
    std::mt19937 rng(20240611);
    int parsed = 0, rejected = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes b = s.bytes;
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k)
            b[rng() % 3 ? s.shoff + rng() % (b.size() - s.shoff) : rng() % b.size()] =
                static_cast<std::uint8_t>(rng());
        if (error_of([&] { drovdef::load_catalogue(drovdef::ElfFile(std::move(b))); }).empty())
            ++parsed;
        else
            ++rejected;
    }
    EXPECT_GT(rejected, 1000);
    EXPECT_GT(parsed, 0);
}

TEST(tool_format, QuotesAndFillsConversions) {
    EXPECT_EQ(drovdef::quote("say \"hi\" \\ %s\n"), R"("say \"hi\" \\ %s\n")");
    // Octal escapes cannot swallow a following digit.
    EXPECT_EQ(drovdef::quote(std::string("\x01"
                                         "7\x7f\xff\0",
                                         5)),
              R"("\0017\177\377\000")");

    EXPECT_EQ(drovdef::format_message("%s=%u", {"%d", "7"}), "%d=7");
    EXPECT_EQ(drovdef::format_message("%u %u %u", {"0", "0x10", "4294967295"}), "0 16 4294967295");
    EXPECT_EQ(drovdef::format_message("%d %d %u", {"-2147483648", "0xffffffff", "-1"}),
              "-2147483648 -1 4294967295");
    EXPECT_EQ(drovdef::format_message("%p %p %p", {"0", "255", "0xFFFFFFFFFFFFFFFF"}),
              "0x0 0xff 0xffffffffffffffff");
    EXPECT_EQ(drovdef::format_message("100%%", {}), "100%");
}

TEST(tool_format, RejectsBadArgumentsAndTexts) {
    auto err = [](std::string_view fmt, std::vector<std::string> args) {
        return error_of([&] { drovdef::format_message(fmt, args); });
    };
    EXPECT_EQ(err("a %s b %u", {"x"}), "message takes 2 arguments, 1 given");
    EXPECT_EQ(err("%d", {"1", "2"}), "message takes 1 argument, 2 given");
    EXPECT_EQ(err("%u", {"4294967296"}), "argument 1 \"4294967296\" does not fit in 32 bits");
    EXPECT_EQ(err("%d", {"-2147483649"}), "argument 1 \"-2147483649\" does not fit in 32 bits");
    for (const char *bad : {"", "-", "0x", "12abc"})
        EXPECT_EQ(err("%s %u", {"x", bad}),
                  "argument 2 " + drovdef::quote(bad) + " is not a number");
    EXPECT_EQ(err("%p", {"-1"}), "argument 1 \"-1\" is not a number");
    EXPECT_EQ(err("%p", {"0x10000000000000000"}),
              "argument 1 \"0x10000000000000000\" is too large");
    EXPECT_EQ(err("value %x", {"1"}), "message text has unsupported conversion '%x'");
    EXPECT_EQ(err("trailing %", {}), "message text ends in a lone '%'");
}
