// usage: make_corpus OUT [LIBRARY]   (default: the drov_def library this runs with)  Writes the
// harnesses' starting inputs into OUT/<harness>/, emptied first: instances of every structure type
// filled through the setters, in every variant and tracking setting, as messages and XML; and the
// library file's catalogue and .velto section.
#include <filesystem>
#include <fstream>
#include <string>

#include "catalogue.h"
#include "elf_file.h"
#include "fuzz_common.h"

namespace {

using namespace drov_fuzz;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path out_dir;
size_t written = 0;

void put(const std::string &harness, const std::string &file, const Bytes &b) {
    fs::create_directories(out_dir / harness);
    std::ofstream(out_dir / harness / file, std::ios::binary)
        .write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    ++written;
}

Bytes cat(Bytes head, const Bytes &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Per structure type, the creations and the destructions its statistics have counted.
std::vector<uint64_t> counted() {
    static const std::vector<const qel_variant_info_t *> infos = [] {
        std::vector<const qel_variant_info_t *> out;
        for (uint32_t t = 0; t < walk::kStructs; ++t)
            out.push_back(walk::fn<qel_type_info_t *>("_" + std::string(name(t)) + "_type_info_internal")->variant_info);
        return out;
    }();
    std::vector<uint64_t> n;
    for (const qel_variant_info_t *vi : infos) {
        uint64_t c = 0, d = 0;
        for (int8_t v = 0; v < vi->count; ++v) {
            c += vi->entries[v].creates;
            d += vi->entries[v].destroys;
        }
        n.insert(n.end(), {c, d});
    }
    return n;
}

// An instance of type t filled through the setters, its state flags set to `flags`.
void *filled(const Handle &hd, uint32_t t, uint32_t random, uint32_t flags, bool with_nuls) {
    void *inst = ops(t).create(hd.h, 1);
    walk::Filler fill{hd.h, std::mt19937(random)};
    fill.with_nuls = with_nuls;
    fill.fill(t, inst);
    ops(t).set_all_flags(hd.h, 1, inst, flags);
    if (fill.err != 0) fault("filling a %s failed with %u", name(t), fill.err);
    return inst;
}

// What the starting inputs rest on: an instance filled through the setters (strings with NULs)
// decodes back equal from its encoding, given len + 1 bytes (a list's flag needs two, len counts
// one) or exactly those written, also when the runtime lets the library code values and count
// instances; decoded again in place it allocates nothing; it encodes to the same bytes.  Each
// allocation of a decoding (fresh, or replacing a filled instance's contents) and of a clone
// failing in turn gives 12, leaks nothing, and a failed clone makes nothing, with the runtime's
// calls and with the library's own plain work (which counts the same creations and destructions).
// Every prefix, in a block of exactly its size, decoded fresh and as an update, fails with 90 or
// reads past its end.
void check(const Handle &hd, uint32_t t, uint32_t random, uint32_t flags, const std::string &stem) {
    const Ops &o = ops(t);
    auto fail = [&](const std::string &what, uint32_t e) { fault("%s: %s, error %u", stem.c_str(), what.c_str(), e); };
    void *src = filled(hd, t, random, flags, true);
    uint32_t err = 0;
    const uint32_t room = o.len(hd.h, 1, src) + 1;
    Bytes msg(room);
    msg.resize(o.marshal(hd.h, 1, msg.data(), src, static_cast<int32_t>(room), &err));
    for (uint32_t features : {0u, qel_standin::quiet_features(hd.h)}) {
        hd.h->features = features;
        for (const size_t given : {msg.size(), size_t{room}}) {
            Bytes in = msg, out(room);
            in.resize(given, 0xEE);
            void *dst = o.create(hd.h, 1);
            if (o.unmarshal(hd.h, 1, in.data(), dst, static_cast<int32_t>(given), 0, &err) != msg.size())
                fail("not read to its end", err);
            const uint64_t allocs = hd.st().alloc_calls;
            if (o.unmarshal(hd.h, 1, in.data(), dst, static_cast<int32_t>(given), 1, &err) != msg.size() ||
                hd.st().alloc_calls != allocs)
                fail("decoded again in place, not read to its end or allocating", err);
            out.resize(o.marshal(hd.h, 1, out.data(), dst, static_cast<int32_t>(room), &err));
            const std::string diff = walk::diff(t, src, dst);
            o.destroy(hd.h, 1, dst);
            if (err != 0 || !diff.empty() || out != msg) fail("decoded and encoded again: " + diff, err);
        }
    }
    Bytes scratch(room);
    std::vector<std::vector<uint64_t>> counts; // what each step counts with the runtime's calls
    // The runtime's calls; the library's own, one block per instance; and
    // with runs, where a run that cannot be had falls back to blocks of
    // their own: fewer allocations fail, and their steps are not compared.
    const uint32_t quiet = qel_standin::quiet_features(hd.h);
    for (uint32_t features : {0u, quiet & ~QEL_FEATURE_INSTANCE_RUNS, quiet}) {
        hd.h->features = features;
        const bool runs = (features & QEL_FEATURE_INSTANCE_RUNS) != 0;
        size_t step = 0;
        for (uint64_t nth = 1, failed = 1; failed != 0; ++nth) {
            failed = 0;
            for (uint32_t how : {0, 1, 2}) { // fresh, update, clone
                const size_t live = hd.st().live.size();
                std::vector<uint64_t> count = counted();
                void *dst = how == 2 ? nullptr : o.create(hd.h, 1);
                walk::Filler other{hd.h, std::mt19937(static_cast<uint32_t>(nth))};
                if (how == 1) other.fill(t, dst); // something of other sizes to replace
                hd.fail_alloc(static_cast<uint32_t>(nth));
                if (how == 2) o.clone(hd.h, 1, src, &dst, scratch.data(), room, &err);
                else o.unmarshal(hd.h, 1, msg.data(), dst, static_cast<int32_t>(msg.size()), how, &err);
                const bool failed_here = hd.st().alloc_calls >= hd.st().fail_alloc_at;
                hd.fail_alloc(0);
                failed += failed_here;
                const std::string at = "allocation " + std::to_string(nth) + " failing";
                const bool refused = runs ? err != 0 : failed_here;
                if (err != (refused ? QEL_ENOMEM : 0) || hd.st().last_error != err) fail(at, err);
                if (refused ? how == 2 && dst != nullptr : !walk::diff(t, src, dst).empty())
                    fail(at + ": what is left", err);
                if (dst != nullptr) o.destroy(hd.h, 1, dst);
                if (hd.st().live.size() != live) fail(at + ": leaks", err);
                const std::vector<uint64_t> now = counted();
                for (size_t k = 0; k < now.size(); ++k) count[k] = now[k] - count[k];
                if (features == 0) counts.push_back(count);
                else if (!runs && (step >= counts.size() || counts[step] != count))
                    fail(at + ": counted otherwise", err);
                ++step;
                err = 0;
            }
        }
    }
    for (size_t k = 1; k < msg.size(); ++k) { // every prefix, in a block of exactly its size
        const Bytes exact(msg.begin(), msg.begin() + static_cast<long>(k));
        Bytes cut[2] = {Bytes(k), Bytes(k)}; // into k bytes both ways: the same cut, 90 or 0 (a flag
        uint32_t cut_len[2], cut_err[2] = {0, 0}; // byte without room is left out, no error)
        for (int plain : {0, 1}) {
            hd.h->features = plain != 0 ? qel_standin::quiet_features(hd.h) : 0;
            cut_len[plain] = o.marshal(hd.h, 1, cut[plain].data(), src, static_cast<int32_t>(k), &cut_err[plain]);
        }
        if ((cut_err[0] != QEL_EMSGSIZE && cut_err[0] != 0) || cut_err[0] != cut_err[1] ||
            cut_len[0] != cut_len[1] || cut[0] != cut[1])
            fail("encoded into " + std::to_string(k) + " bytes", cut_err[1]);
        for (uint32_t pass : {0u, 1u, 2u}) { // fresh, as an update, fresh with the library's own plain work
            const uint32_t update = pass & 1;
            hd.h->features = pass == 2 ? qel_standin::quiet_features(hd.h) : 0;
            void *dst = update != 0 ? src : o.create(hd.h, 1);
            const uint32_t n = o.unmarshal(hd.h, 1, exact.data(), dst, static_cast<int32_t>(k), update, &err);
            if ((err != 0 && err != QEL_EMSGSIZE) || (err == 0 && n <= k))
                fail("a prefix of " + std::to_string(k) + " bytes read as " + std::to_string(n), err);
            if (update == 0) o.destroy(hd.h, 1, dst);
            err = 0;
        }
    }
    o.destroy(hd.h, 1, src);
}

void structures() {
    const char *tracking_names[] = {"untracked", "off", "tracked"}; // as kTracking
    static std::vector<char> xml(1 << 20);
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        for (uint8_t k = 0; k < 3; ++k) {
            for (int8_t v = -1; v <= highest(t); ++v) {
                const std::string stem = std::string(name(t)) + "-" + tracking_names[k] + "-v" + std::to_string(v + 1);
                // Instances made in variant v: the domain lowered to it below the highest.
                const Handle hd(Case{.type = t, .tracking = kTracking[k], .lowered = v < highest(t), .domain = v});
                const auto random = t * 100 + static_cast<uint32_t>(k * 10 + v + 1);
                for (uint32_t flags = 1; flags <= 4; ++flags) check(hd, t, random * 4 + flags, flags, stem);
                void *src = filled(hd, t, random, 1u + k, false); // the same instance goes into XML
                uint32_t err = 0;
                Bytes msg(ops(t).len(hd.h, 1, src) + 1);
                msg.resize(ops(t).marshal_for_clone(hd.h, 1, msg.data(), src, static_cast<int32_t>(msg.size()), &err));
                if (err != 0 || ops(t).toxml_cr(hd.h, src, xml.data(), static_cast<uint32_t>(xml.size())) == UINT32_MAX)
                    fault("%s: encoding failed", stem.c_str());
                ops(t).destroy(hd.h, 1, src);

                // The case bytes: the type; the update flag, the tracking
                // setting (in bits 1-2) and a filled instance; the filling.
                const auto tb = static_cast<uint8_t>(t), fresh = static_cast<uint8_t>(k << 1);
                const auto update = static_cast<uint8_t>(fresh | 0x09);
                put("unmarshal", stem, cat({tb, fresh, 0}, msg));
                put("unmarshal", stem + "-update", cat({tb, update, static_cast<uint8_t>(v << 4)}, msg));
                put("clone", stem, cat({tb, fresh, 0}, msg));
                put("verify", stem, cat({tb, fresh, 0}, msg));
                put("verify", stem + "-runtime", cat({tb, static_cast<uint8_t>(fresh | 1), 0}, msg));
                put("cxx", stem, cat({tb, static_cast<uint8_t>(kTracking[k] == Tracking::On)}, msg));
                put("clone", stem + "-filled", cat({tb, static_cast<uint8_t>(update | 0x10), 0x30}, msg));
                const std::string text(xml.data());
                put("from_xml", stem, cat({tb, fresh, 0, 0}, Bytes(text.begin(), text.end())));
                const std::string nested = "<m>" + text + "</m>";
                put("from_xml", stem + "-nested", cat({tb, update, 0, 1}, Bytes(nested.begin(), nested.end())));
            }
        }
    }
}

// The library file's trace catalogue and .velto section, each as the
// drovdef harness reads it alone.  (Whole file images: the kept corpus.)
void library(const std::string &path) {
    const drovdef::ElfFile elf{drovdef::read_file(path)};
    const auto index = elf.contents(*elf.find_prefix(drovdef::kLuidSectionPrefix).at(0));
    const auto texts = elf.contents(*elf.find(drovdef::kFormatSection));
    Bytes c{1, static_cast<uint8_t>(index.size()), static_cast<uint8_t>(index.size() >> 8)};
    c.insert(c.end(), index.begin(), index.end());
    put("drovdef", "catalogue", cat(c, Bytes(texts.begin(), texts.end())));
    const auto velto = elf.contents(*elf.find(".velto"));
    put("drovdef", "velto", cat({2}, Bytes(velto.begin(), velto.end())));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: make_corpus OUT [LIBRARY]\n");
        return 2;
    }
    out_dir = argv[1];
    try {
        for (const char *h : {"unmarshal", "clone", "from_xml", "drovdef", "verify", "cxx"}) fs::remove_all(out_dir / h);
        structures();
        library(argc > 2 ? argv[2] : walk::library_path());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "make_corpus: %s\n", e.what());
        return 1;
    }
    std::printf("%zu starting inputs written to %s\n", written, out_dir.c_str());
    return 0;
}
