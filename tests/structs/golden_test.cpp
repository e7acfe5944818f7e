// Worked examples, one per file under tests/golden/structs: NAME.hex is an encoding (a hex dump,
// `#` starting a comment; a `#:` line names the type, the variant the domain knows, the tracking,
// what len answers and the hash from 0x5eed), NAME.print and NAME.xml what the instance it decodes
// into prints.  Encoding that instance again gives the same bytes; a reader of an earlier variant
// reads the beginning, one of a later variant keeps what the encoding lacks.  A hand-made encoding
// (with an `error`) is only decoded, the `fail`-th allocation failing if given: as far as its bytes
// go, with that error, leaving `memory` at offset `at` of the instance, tracing the body length
// `jump` of an offset jump, allocating at most `most` bytes at once (and `allocations` times).
#include <filesystem>
#include <fstream>
#include <sstream>

#include "struct_support.h"

namespace {

using namespace wire;
using qel_standin::Tracking;
namespace fs = std::filesystem;

const fs::path kDir = DROV_DEF_GOLDEN_DIR;

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The bytes of a .hex file and the words of its `#:` lines.
struct Example {
    Bytes bytes;
    std::map<std::string, std::string> words;
    bool has(const std::string &k) const { return words.count(k) != 0; }
    int64_t num(const std::string &k, int64_t otherwise = -1, int base = 10) const {
        return has(k) ? static_cast<int64_t>(std::stoul(words.at(k), nullptr, base)) : otherwise;
    }
};

Example load(const fs::path &p) {
    Example x;
    std::istringstream in(slurp(p));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        for (std::string w; words >> w;) x.bytes.push_back(static_cast<uint8_t>(std::stoul(w, nullptr, 16)));
        std::istringstream kv(line.rfind("#:", 0) == 0 ? line.substr(2) : "");
        for (std::string k, v; kv >> k >> v;) x.words[k] = v;
    }
    return x;
}

std::vector<std::string> examples() {
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator(kDir))
        if (e.path().extension() == ".hex") out.push_back(e.path().stem().string());
    std::sort(out.begin(), out.end());
    return out;
}

class Golden : public WireTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(Golden, DecodesEncodesPrintsAndHashesAsWritten) {
    const Example x = load(kDir / (GetParam() + ".hex"));
    const std::string type = x.words.at("type");
    const uint32_t t = walk::index_of(type), len = static_cast<uint32_t>(x.num("len", 0));
    const auto variant = static_cast<int8_t>(x.num("variant", 0));
    const bool tracking = x.words.count("tracking") && x.words.at("tracking") == "on";
    qel_standin::set_tracking(h, tracking ? Tracking::On : Tracking::Off);
    qel_standin::set_domain_variant(h, type, variant);
    void *inst = make(t);
    const std::string kJump = "offset_jump read_len %d offset_jump_base %d _qel_variant_jump %d";
    if (x.has("error")) {
        qel_standin::reset_global();
        st().calls.clear();
        if (x.has("fail")) st().fail_alloc_at = st().alloc_calls + static_cast<uint64_t>(x.num("fail"));
        EXPECT_EQ(decode(t, x.bytes, inst), x.num("read"));
        EXPECT_EQ(err, x.num("error"));
        EXPECT_EQ(st().last_error, x.num("error"));
        const std::string memory = x.words.at("memory");
        for (size_t i = 0; i < memory.size(); i += 2)
            EXPECT_EQ(walk::bytes(inst)[x.num("at") + i / 2], std::stoul(memory.substr(i, 2), nullptr, 16)) << i / 2;
        std::vector<uint64_t> jumps; // the body lengths traced
        for (size_t i = 0; i < qel_standin::traces().size(); ++i)
            if (test::structs::trace_texts()[i] == kJump) jumps.push_back(qel_standin::traces()[i].args.at(2).u);
        EXPECT_EQ(jumps, x.has("jump") ? std::vector<uint64_t>{static_cast<uint64_t>(x.num("jump"))} : std::vector<uint64_t>{});
        for (const auto &a : qel_standin::calls_named(h, "allocate")) EXPECT_LE(a.arg, x.num("most", 0));
        if (x.has("allocations")) { EXPECT_EQ(static_cast<int64_t>(calls("allocate")), x.num("allocations")); }
        return;
    }
    qel_standin::reset_global();
    EXPECT_EQ(decode(t, x.bytes, inst), x.bytes.size());
    ASSERT_EQ(err, 0u);
    EXPECT_TRUE(qel_standin::traces().empty());
    EXPECT_EQ(walk::instance_variant(inst), variant);
    EXPECT_EQ(walk::ops(t).len(h, 1, inst), len);
    EXPECT_EQ(walk::fn<uint32_t (*)(qel_handle_t *, const void *)>(walk::op(t, "len_cr"))(h, inst), len);
    EXPECT_EQ(encode(t, inst, len + 1), x.bytes);
    EXPECT_EQ(err, 0u);
    if (x.has("hash")) {
        EXPECT_EQ(walk::fn<uint32_t (*)(const void *, uint32_t)>(walk::op(t, "hash"))(inst, 0x5eed), x.num("hash", 0, 16));
    }
    using Render = uint32_t (*)(qel_handle_t *, const void *, char *, uint32_t);
    auto text = [&](const char *op) {
        std::vector<char> buf(1 << 16);
        const uint32_t n = walk::fn<Render>(walk::op(t, op))(h, inst, buf.data(), 1 << 16);
        EXPECT_EQ(n, std::strlen(buf.data()));
        return std::string(buf.data());
    };
    for (auto [op, ext] : {std::pair{"print_cr", ".print"}, std::pair{"toxml_cr", ".xml"}}) {
        const fs::path p = kDir / (GetParam() + ext);
        if (!fs::exists(p)) continue;
        std::string want = slurp(p);
        if (std::string(ext) == ".xml" && !want.empty() && want.back() == '\n') want.pop_back();
        EXPECT_EQ(text(op), want) << ext;
        // A buffer too short: -1 and 28, the beginning of the text, nothing past the buffer.
        for (auto n : {size_t{1}, size_t{31}, want.size()}) {
            std::string buf(n + 1, '#');
            if (n > want.size()) continue;
            EXPECT_EQ(walk::fn<Render>(walk::op(t, op))(h, inst, buf.data(), static_cast<uint32_t>(n)), UINT32_MAX);
            EXPECT_EQ(h->err, QEL_ENOSPC);
            h->err = 0;
            EXPECT_EQ(buf.c_str(), want.substr(0, n - 1));
            EXPECT_EQ(buf[n], '#');
        }
    }
    // A reader that knows variant 0 only (its memory laid out so) reads as
    // far as it knows, leaving the later fields alone, jumps over the rest,
    // tracing where it stopped, and writes what it read.
    if (variant > 0 && !tracking) {
        const auto &d = walk::type(t);
        void *old = make(t);
        reinterpret_cast<int8_t *>(old)[9] = 0;
        auto later = [&] { return Bytes(walk::bytes(old) + d.used[0], walk::bytes(old) + d.alloc_size()); };
        const Bytes untouched = later();
        qel_standin::reset_global();
        EXPECT_EQ(decode(t, x.bytes, old), x.bytes.size());
        EXPECT_EQ(walk::instance_variant(old), 0);
        EXPECT_EQ(later(), untouched);
        ASSERT_EQ(test::structs::trace_texts(), std::vector<std::string>{kJump});
        const auto &jump = qel_standin::traces().back();
        EXPECT_EQ(jump.flags, 0x6000000u);
        EXPECT_EQ(jump.args.at(1).u, 2u);
        EXPECT_EQ(jump.args.at(2).u, x.bytes.size() - 2);
        Bytes read(x.bytes.begin(), x.bytes.begin() + static_cast<long>(jump.args.at(0).u));
        read[0] = 0;
        for (int i = 0; i < 4; ++i) read[2 + i] = static_cast<uint8_t>((read.size() - 2) >> (24 - 8 * i));
        EXPECT_EQ(encode(t, old, len + 1), read);
        // So does a writer whose domain knows variant 0 only, reporting 43;
        // the clone's encoder writes what the instance has.
        qel_standin::set_domain_variant(h, type, 0);
        st().calls.clear();
        EXPECT_EQ(encode(t, inst, len + 1), read);
        EXPECT_EQ(err, 43u);
        EXPECT_EQ(st().last_error, 43u);
        EXPECT_EQ(calls("qel_store_epoch_err"), 1u);
        err = 0;
        EXPECT_EQ(encode(t, inst, len + 1, walk::ops(t).marshal_for_clone), x.bytes);
        EXPECT_EQ(err, 0u);
        encode(t, inst, static_cast<uint32_t>(read.size() - 1)); // too short: its own error
        EXPECT_EQ(err, 90u);
        err = 0;
        qel_standin::set_domain_variant(h, type, static_cast<int8_t>(variant));
    }
    // An update from a writer of an earlier variant (or of none) lowers the variant and leaves the
    // later fields as they were, their blocks and element flags kept (destroy releases them);
    // encoding keeps to the lowered variant.
    if (variant < walk::type(t).highest()) {
        const auto &d = walk::type(t);
        qel_standin::set_domain_variant(h, type, d.highest());
        void *full = make(t);
        walk::Filler fill{h, std::mt19937(7)};
        fill.min_length = 1;
        fill.fill(t, full);
        const uint32_t from = variant < 0 ? 12 : d.used[variant];
        auto later = [&] { return Bytes(walk::bytes(full) + from, walk::bytes(full) + d.used[d.highest()]); };
        const Bytes kept = later();
        const size_t live = st().live.size();
        qel_standin::reset_global();
        EXPECT_EQ(decode(t, x.bytes, full, 1), x.bytes.size());
        EXPECT_TRUE(qel_standin::traces().empty());
        EXPECT_EQ(walk::instance_variant(full), variant);
        EXPECT_EQ(later(), kept); // (string and list pointers included)
        if (variant < 0) { EXPECT_EQ(st().live.size(), live); } // every field is a later one
        EXPECT_EQ(encode(t, full, len + 1), x.bytes);
    }
    // A reader on the other side of tracking reads the same values: one that does not track skips
    // the flags (given the writer's buffer length it decides each the way the writer did) and adds
    // no tracked bit; one that tracks keeps its own flags where the encoding has none.
    {
        qel_handle_t *other = qel_standin::handle_new();
        qel_standin::observe(other);
        qel_standin::set_tracking(other, tracking ? Tracking::Off : Tracking::On);
        qel_standin::set_domain_variant(other, type, static_cast<int8_t>(variant));
        void *q = walk::create(other, t);
        uint8_t *area = static_cast<uint8_t *>(q) + walk::type(t).base[walk::type(t).variants - 1];
        const size_t area_size = tracking ? 0 : walk::type(t).state[walk::type(t).variants - 1];
        std::fill_n(area, area_size, 7);
        Bytes given = x.bytes;
        if (tracking) given.resize(len + 1, 0xEE);
        uint32_t e = 0;
        qel_standin::reset_global();
        EXPECT_EQ(walk::ops(t).unmarshal(other, 1, given.data(), q, static_cast<int32_t>(given.size()), 0, &e),
                  x.bytes.size());
        EXPECT_EQ(e, 0u);
        EXPECT_TRUE(qel_standin::traces().empty());
        EXPECT_EQ(walk::diff(t, inst, q), "");
        EXPECT_EQ(walk::bytes(q)[10] & QEL_OBJ_STATE_TRACKED, tracking ? 0 : QEL_OBJ_STATE_TRACKED);
        for (uint32_t i = 0; i < walk::type(t).field_count && area_size != 0; ++i) {
            const auto &f = walk::type(t).fields[i]; // (a list appended to is marked)
            if (f.state_index >= 0 && f.kind != walk::FieldKind::List) { EXPECT_EQ(area[f.state_index], 7) << f.name; }
        }
        walk::destroy(other, t, q);
        EXPECT_TRUE(qel_standin::state(other).live.empty());
        qel_standin::handle_delete(other);
    }
    // Without tracking every flag reads 0, whatever the instance holds.
    qel_standin::set_tracking(h, Tracking::Off);
    EXPECT_EQ(text("toxml_cr").find("state="), std::string::npos);
    qel_standin::set_tracking(h, tracking ? Tracking::On : Tracking::Off);
}

INSTANTIATE_TEST_SUITE_P(Examples, Golden, ::testing::ValuesIn(examples()),
                         [](const ::testing::TestParamInfo<std::string> &p) { return p.param; });

} // namespace
