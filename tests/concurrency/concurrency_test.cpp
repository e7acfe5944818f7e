// Threads, each with its own handle, use every structure type at once for a while
// (DROV_DEF_CONCURRENCY_SECONDS, default 2): create, fill, encode and decode, print, XML out and
// in, clone, compare, hash, destroy.  Afterwards every variant entry's counters rose by exactly
// what the handles were told, every handle got its blocks back, every round trip was exact, and the
// trace module was registered once, with one identifier that every thread saw.  Built with
// ThreadSanitizer, the run shows any data race on that state.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "enums/xml_doc.h"
#include "qel_standin.h"
#include "structs/schema_walk.h"

namespace {

namespace walk = test::walk;
using qel_standin::Tracking;
using H = qel_handle_t *;

constexpr int kThreads = 8;
constexpr uint32_t kRunning = 0x1234; // the running hash value the hashes start from

// What one thread does and sees.
struct Worker {
    H h;
    walk::Filler fill;
    std::map<const uint64_t *, uint64_t> notified; // counter notifications per counter
    uint64_t rounds = 0;
    uint16_t module_id = 0; // the trace module identifier after the first creation
    std::vector<std::string> problems;
    std::vector<char> text = std::vector<char>(1 << 16);

    void check(bool ok, uint32_t t, const std::string &what) {
        if (!ok && problems.size() < 8)
            problems.push_back(walk::name(t) + " round " + std::to_string(rounds) + ": " + what);
    }
    std::string printed(uint32_t t, const void *inst) {
        uint32_t err = 0;
        walk::ops(t).print(h, 1, text.data(), 2, "x", inst, static_cast<uint32_t>(text.size()), &err);
        return err == 0 ? std::string(text.data()) : "print failed " + std::to_string(err);
    }
    // b equals a as printed and, unless text_only, by fields, compare and hash.
    void same(uint32_t t, const void *a, const void *b, const std::string &how, bool text_only = false) {
        check(printed(t, a) == printed(t, b), t, how + " (print)");
        if (text_only) return;
        const std::string d = walk::diff(t, a, b);
        check(d.empty(), t, how + " (" + d + ")");
        check(walk::ops(t).compare(a, b) == 0, t, how + " (compare)");
        check(walk::ops(t).hash(a, kRunning) == walk::ops(t).hash(b, kRunning), t, how + " (hash)");
    }

    // Type t through every operation, in the variant the round selects.
    void round(uint32_t t) {
        const walk::Ops &o = walk::ops(t);
        const auto v = static_cast<int8_t>(rounds % (walk::type(t).variants + 1) - 1);
        qel_standin::set_domain_variant(h, walk::name(t), v);
        uint32_t err = 0;
        void *a = o.create(h, 1), *b = o.create(h, 1), *c = o.create(h, 1), *d = nullptr;
        fill.fill(t, a);
        // Every other round sets the fields again: blocks regrow, lists get
        // longer, and a fixed text keeps bytes of a longer first value after
        // its terminator, which XML does not carry (compared as printed only).
        const bool refilled = rounds % 2 == 1;
        if (refilled) fill.fill(t, a);
        check(fill.err == 0, t, "fill " + std::to_string(fill.err));
        fill.err = 0;

        const uint32_t size = o.len(h, 1, a);
        std::vector<uint8_t> wire(size);
        const uint32_t n = o.marshal(h, 1, wire.data(), a, static_cast<int32_t>(size), &err);
        check(o.unmarshal(h, 1, wire.data(), b, static_cast<int32_t>(n), 0, &err) == n, t, "decode length");
        check(err == 0, t, "wire " + std::to_string(err));
        same(t, a, b, "decoded");

        err = o.toxml_cr(h, a, text.data(), static_cast<uint32_t>(text.size())) == UINT32_MAX ? h->err : 0;
        const test::XmlDoc doc(text.data());
        char msg[128] = "";
        if (err == 0 && doc.doc != nullptr)
            o.from_xml(h, 1, ("/" + walk::name(t)).c_str(), doc.doc, c, &err, msg, sizeof msg);
        check(err == 0 && doc.doc != nullptr, t, "XML " + std::to_string(err) + " " + msg);
        same(t, a, c, "read from XML", refilled);

        err = 0;
        std::vector<uint8_t> scratch(size);
        o.clone(h, 1, a, &d, scratch.data(), size, &err);
        if (d != nullptr) same(t, a, d, "cloned");
        check(err == 0 && d != nullptr, t, "clone " + std::to_string(err));
        for (void *p : {d, c, b, a})
            if (p != nullptr) o.destroy(h, 1, p);
    }
};

thread_local Worker *t_worker = nullptr;
void count_notified(void *, uint64_t *counter, uint32_t delta, uint32_t) { t_worker->notified[counter] += delta; }

TEST(Concurrency, ThreadsWithTheirOwnHandlesLeaveExactSharedState) {
    qel_standin::reset_global();
    xmlInitParser(); // libxml2 sets itself up once, before any thread parses
    walk::ops(0); // every type's operations, looked up before the threads start
    std::map<const uint64_t *, uint64_t> counters; // of all 41 types: their values before
    for (uint32_t t = 0; t < drov::schema::kTypeCount; ++t) {
        auto *rec = walk::fn<qel_type_info_t *>("_" + walk::name(t) + "_type_info_internal");
        for (int v = 0; v < rec->variant_info->count; ++v)
            for (uint64_t *c : {&rec->variant_info->entries[v].creates, &rec->variant_info->entries[v].destroys})
                counters[c] = __atomic_load_n(c, __ATOMIC_RELAXED);
    }
    // In a fresh process the threads register the trace module themselves.
    const bool unregistered = g_qel_drov_def_trace_module_id == 0;

    // Half the handles track state; the last two, one tracking and one not,
    // use private copies of the records.
    std::vector<Worker> workers;
    for (int i = 0; i < kThreads; ++i) {
        H h = qel_standin::handle_new();
        qel_standin::set_recording(h, false);
        qel_standin::set_tracking(h, i % 2 == 0 ? Tracking::On : i % 4 == 1 ? Tracking::Off : Tracking::Absent);
        h->type_info_mode = i >= kThreads - 2 ? 1 : 0;
        h->counter_notify = count_notified;
        workers.push_back(Worker{h, {h, std::mt19937(1234u + static_cast<uint32_t>(i))}});
        workers.back().fill.with_nuls = false; // XML carries no NUL
    }

    std::atomic<int> ready{0}, started{0};
    const char *secs = std::getenv("DROV_DEF_CONCURRENCY_SECONDS");
    const double run = secs != nullptr && std::atof(secs) > 0 ? std::atof(secs) : 2.0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(run * 1000));
    std::vector<std::thread> threads;
    for (Worker &w : workers)
        threads.emplace_back([&] {
            t_worker = &w;
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield(); // all create at once
            do {
                for (uint32_t t = 0; t < walk::kStructs; ++t) {
                    w.round(t);
                    if (w.rounds == 0 && t == 0) {
                        w.module_id = g_qel_drov_def_trace_module_id;
                        started.fetch_add(1);
                    }
                }
                ++w.rounds;
            } while (std::chrono::steady_clock::now() < end);
        });
    // After the first creations the process-wide record is switched off (no lock per call).
    while (started.load() < kThreads) std::this_thread::yield();
    qel_standin::set_global_recording(false);
    for (auto &t : threads) t.join();

    // The trace module: registered by exactly one call, one identifier for all.
    size_t registrations = 0; // calls that found the state word unset
    for (const auto &c : qel_standin::global_calls())
        registrations += c.name == "wlog_module_init_fn" && c.owner == &g_qel_drov_def_trace_module_id && c.arg == 0;
    EXPECT_EQ(registrations, unregistered ? 1u : 0u);
    EXPECT_NE(g_qel_drov_def_trace_module_id, 0);

    // Each handle: its rounds exact, its blocks returned, only known counters told.
    std::map<const uint64_t *, uint64_t> notified;
    for (Worker &w : workers) {
        for (const auto &p : w.problems) ADD_FAILURE() << p;
        EXPECT_EQ(w.module_id, g_qel_drov_def_trace_module_id);
        qel_standin::HandleState &s = qel_standin::state(w.h);
        EXPECT_EQ(s.live_count, 0u);
        EXPECT_TRUE(s.live.empty());
        EXPECT_EQ(s.registry.empty(), w.h->type_info_mode == 0);
        EXPECT_FALSE(w.notified.empty());
        for (const auto &[c, n] : w.notified) {
            notified[c] += n;
            EXPECT_EQ(counters.count(c), 1u) << "a counter outside the records was told " << n;
        }
        qel_standin::handle_delete(w.h);
    }

    // The shared counters rose by exactly what the handles were told.
    for (const auto &[c, before] : counters) EXPECT_EQ(__atomic_load_n(c, __ATOMIC_RELAXED) - before, notified[c]);
}

} // namespace
