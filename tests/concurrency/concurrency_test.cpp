// Several threads, each with its own handle, use every structure type at
// once: create, fill through the setters, encode and decode, print, write
// XML and read it back, clone, compare, hash and destroy, for a while.
// Afterwards the process-wide state must be exact: each variant entry's
// creation and destruction counters rose by what the threads' handles were
// told about (each thread tallies its own counter notifications), every
// handle got all its blocks back, every round trip inside the threads was
// exact, and the trace module was registered once, with one identifier
// that every thread saw.  Built with ThreadSanitizer, the same run shows
// any data race on that state.
//
// DROV_DEF_CONCURRENCY_SECONDS sets how long the threads run (default 2).
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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
using Err = uint32_t;

constexpr int kThreads = 8;
constexpr uint32_t kRunning = 0x1234; // the running hash value the hashes start from

// The operations of one structure type, looked up once before the threads start.
struct TypeOps {
    std::string tag, path;
    void *(*create)(H, uint32_t);
    void (*destroy)(H, uint32_t, void *);
    uint32_t (*len)(H, uint32_t, const void *);
    uint32_t (*marshal)(H, uint32_t, uint8_t *, const void *, int32_t, Err *);
    uint32_t (*unmarshal)(H, uint32_t, const uint8_t *, void *, int32_t, uint32_t, Err *);
    void (*clone)(H, uint32_t, const void *, void **, uint8_t *, uint32_t, Err *);
    uint32_t (*print)(H, uint32_t, char *, uint32_t, const char *, const void *, uint32_t, Err *);
    uint32_t (*to_xml)(H, uint32_t, const char *, char *, const void *, uint32_t, uint8_t, Err *);
    void (*from_xml)(H, uint32_t, const char *, void *, void *, Err *, char *, uint32_t);
    int32_t (*compare)(const void *, const void *);
    uint32_t (*hash)(const void *, uint32_t);
};

TypeOps ops_of(uint32_t t) {
    auto f = [t]<class Fn>(Fn &slot, const char *op) { slot = walk::fn<Fn>(walk::op(t, op)); };
    TypeOps o;
    o.tag = walk::name(t);
    o.path = "/" + o.tag;
    f(o.create, "create"); f(o.destroy, "destroy"); f(o.len, "len"); f(o.marshal, "marshal");
    f(o.unmarshal, "unmarshal"); f(o.clone, "clone"); f(o.print, "print"); f(o.to_xml, "to_xml");
    f(o.from_xml, "from_xml"); f(o.compare, "compare"); f(o.hash, "hash");
    return o;
}

// The creation and destruction counters of every variant entry of the 41
// types, numbered 0, 1, ... in type-table and variant order.
struct Counters {
    std::vector<uint64_t *> at;                // creates, destroys of entry k at 2k, 2k + 1
    std::vector<uint32_t> type_of;             // the type each counter belongs to
    std::map<const uint64_t *, size_t> number; // counter address -> its place in `at`

    Counters() {
        for (uint32_t t = 0; t < drov::schema::kTypeCount; ++t) {
            auto *rec = walk::fn<qel_type_info_t *>("_" + walk::name(t) + "_type_info_internal");
            for (int v = 0; v < rec->variant_info->count; ++v) {
                qel_variant_entry_t &e = rec->variant_info->entries[v];
                for (uint64_t *c : {&e.creates, &e.destroys}) {
                    number[c] = at.size();
                    at.push_back(c);
                    type_of.push_back(t);
                }
            }
        }
    }
    std::vector<uint64_t> values() const {
        std::vector<uint64_t> out;
        for (const uint64_t *c : at) out.push_back(__atomic_load_n(c, __ATOMIC_RELAXED));
        return out;
    }
};

// What one thread did and saw.
struct Tally {
    const Counters *counters = nullptr;
    std::vector<uint64_t> notified; // counter notifications per counter number
    uint64_t unknown = 0;           // notifications for counters not in any entry
    std::vector<uint64_t> made;     // instances this thread made itself, per type
    uint64_t rounds = 0;
    uint16_t module_id = 0; // the trace module identifier after the first creation
    std::vector<std::string> problems;

    void problem(const std::string &what) {
        if (problems.size() < 8) problems.push_back(what);
    }
};

thread_local Tally *t_tally = nullptr;

// The handle's counter notification: the thread counts what it is told.
void tally_counter(void *, uint64_t *counter, uint32_t delta, uint32_t) {
    auto it = t_tally->counters->number.find(counter);
    if (it == t_tally->counters->number.end())
        t_tally->unknown += delta;
    else
        t_tally->notified[it->second] += delta;
}

struct Worker {
    H h;
    const std::vector<TypeOps> &ops;
    Tally &tally;
    walk::Filler fill;
    std::vector<char> text = std::vector<char>(1 << 16);
    std::vector<char> text2 = std::vector<char>(1 << 16);

    Worker(int i, H handle, const std::vector<TypeOps> &o, Tally &t)
        : h(handle), ops(o), tally(t), fill{handle, std::mt19937(1234u + static_cast<uint32_t>(i))} {
        fill.with_nuls = false; // XML carries no NUL
    }

    void *make(uint32_t t) {
        ++tally.made[t];
        return ops[t].create(h, 1);
    }
    bool check(bool ok, uint32_t t, const char *what, const std::string &detail = "") {
        if (!ok)
            tally.problem(walk::name(t) + " round " + std::to_string(tally.rounds) + ": " + what +
                          (detail.empty() ? "" : " (" + detail + ")"));
        return ok;
    }
    std::string printed(uint32_t t, const void *inst, std::vector<char> &buf) {
        Err err = 0;
        ops[t].print(h, 1, buf.data(), 2, "x", inst, static_cast<uint32_t>(buf.size()), &err);
        return err == 0 ? std::string(buf.data()) : "print failed " + std::to_string(err);
    }
    // b must equal a as printed and, unless only the text is asked for,
    // field by field, by compare and by hash.
    void same(uint32_t t, const void *a, const void *b, const char *how, bool text_only = false) {
        check(printed(t, a, text) == printed(t, b, text2), t, how, "print");
        if (text_only) return;
        const std::string d = walk::diff(t, a, b);
        check(d.empty(), t, how, d);
        check(ops[t].compare(a, b) == 0, t, how, "compare");
        check(ops[t].hash(a, kRunning) == ops[t].hash(b, kRunning), t, how, "hash");
    }

    // One instance of type t through every operation, in the variant the
    // round selects (-1 to the highest).
    void round(uint32_t t) {
        const TypeOps &o = ops[t];
        const int8_t v = static_cast<int8_t>(tally.rounds % (walk::type(t).variants + 1)) - 1;
        qel_standin::set_domain_variant(h, walk::name(t), v);
        Err err = 0;
        void *a = make(t);
        fill.fill(t, a);
        // Every other round sets the fields again over the first values:
        // blocks regrow, lists get longer, and a fixed text keeps bytes of
        // the longer first value after its terminator, which XML does not
        // carry (its reading compares as printed only).
        const bool refilled = tally.rounds % 2 == 1;
        if (refilled) fill.fill(t, a);
        check(fill.err == 0, t, "fill", std::to_string(fill.err));
        fill.err = 0;

        // encoded and decoded
        const uint32_t size = o.len(h, 1, a);
        std::vector<uint8_t> wire(size), again(size);
        const uint32_t n = o.marshal(h, 1, wire.data(), a, static_cast<int32_t>(size), &err);
        void *b = make(t);
        check(o.unmarshal(h, 1, wire.data(), b, static_cast<int32_t>(n), 0, &err) == n, t, "decode length");
        check(o.marshal(h, 1, again.data(), b, static_cast<int32_t>(size), &err) == n &&
                  std::equal(wire.begin(), wire.begin() + n, again.begin()),
              t, "encoding of the decoded instance");
        check(err == 0, t, "wire", std::to_string(err));
        same(t, a, b, "decoded");

        // written as XML and read back
        err = 0;
        o.to_xml(h, 1, o.tag.c_str(), text.data(), a, static_cast<uint32_t>(text.size()), 0, &err);
        void *c = make(t);
        if (check(err == 0, t, "to_xml", std::to_string(err))) {
            test::XmlDoc doc(text.data());
            char msg[128] = "";
            if (check(doc.doc != nullptr, t, "XML parse"))
                o.from_xml(h, 1, o.path.c_str(), doc.doc, c, &err, msg, sizeof msg);
            if (check(err == 0, t, "from_xml", msg)) same(t, a, c, "read from XML", refilled);
        }

        // cloned
        err = 0;
        void *d = nullptr;
        std::vector<uint8_t> scratch(size);
        o.clone(h, 1, a, &d, scratch.data(), size, &err);
        ++tally.made[t];
        if (check(err == 0 && d != nullptr, t, "clone", std::to_string(err))) same(t, a, d, "cloned");

        for (void *p : {d, c, b, a}) o.destroy(h, 1, p);
    }

    void run(std::atomic<int> &ready, std::atomic<int> &started, std::chrono::steady_clock::time_point end) {
        t_tally = &tally;
        h->counter_notify = tally_counter;
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield(); // all create at once
        do {
            for (uint32_t t = 0; t < walk::kStructs; ++t) {
                round(t);
                if (tally.rounds == 0 && t == 0) {
                    tally.module_id = g_qel_drov_def_trace_module_id;
                    started.fetch_add(1);
                }
            }
            ++tally.rounds;
        } while (std::chrono::steady_clock::now() < end);
        t_tally = nullptr;
    }
};

TEST(Concurrency, ThreadsWithTheirOwnHandlesLeaveExactSharedState) {
    qel_standin::reset_global();
    xmlInitParser(); // libxml2 sets itself up once, before any thread parses
    const Counters counters;
    std::vector<TypeOps> ops;
    for (uint32_t t = 0; t < walk::kStructs; ++t) ops.push_back(ops_of(t));
    const std::vector<uint64_t> before = counters.values();
    // In a fresh process the threads register the trace module themselves.
    const bool unregistered = g_qel_drov_def_trace_module_id == 0;

    // Half the handles track state; the last two, one tracking and one not,
    // use private copies of the records.
    std::vector<H> handles;
    std::vector<Tally> tallies(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        H h = qel_standin::handle_new();
        qel_standin::set_recording(h, false);
        qel_standin::set_tracking(h, i % 2 == 0 ? Tracking::On : i % 4 == 1 ? Tracking::Off : Tracking::Absent);
        h->type_info_mode = i >= kThreads - 2 ? 1 : 0;
        handles.push_back(h);
        tallies[i].counters = &counters;
        tallies[i].notified.assign(counters.at.size(), 0);
        tallies[i].made.assign(walk::kStructs, 0);
    }

    std::atomic<int> ready{0}, started{0};
    const char *secs = std::getenv("DROV_DEF_CONCURRENCY_SECONDS");
    const double run = secs != nullptr && std::atof(secs) > 0 ? std::atof(secs) : 2.0;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(run));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] { Worker(i, handles[i], ops, tallies[i]).run(ready, started, end); });
    // The first creations are on record; after them the process-wide record
    // is switched off, so the threads do not wait for its lock every call.
    while (started.load() < kThreads) std::this_thread::yield();
    qel_standin::set_global_recording(false);
    for (auto &t : threads) t.join();

    std::string rounds;
    for (const Tally &y : tallies) rounds += " " + std::to_string(y.rounds);
    std::printf("rounds over the %u types per thread:%s\n", walk::kStructs, rounds.c_str());

    // The trace module: registered by exactly one call, one identifier for all.
    size_t registrations = 0, init_calls = 0;
    for (const auto &c : qel_standin::global_calls())
        if (c.name == "wlog_module_init_fn" && c.owner == &g_qel_drov_def_trace_module_id) {
            ++init_calls;
            registrations += c.arg == 0; // the call that found the state word unset
        }
    EXPECT_GE(init_calls, static_cast<size_t>(kThreads));
    EXPECT_EQ(registrations, unregistered ? 1u : 0u);
    EXPECT_NE(g_qel_drov_def_trace_module_id, 0);

    // Each handle: its rounds exact, its blocks returned, only known counters.
    std::vector<uint64_t> notified(counters.at.size(), 0);
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE("thread " + std::to_string(i));
        const Tally &y = tallies[i];
        EXPECT_GE(y.rounds, 1u);
        for (const auto &p : y.problems) ADD_FAILURE() << p;
        EXPECT_EQ(y.module_id, g_qel_drov_def_trace_module_id);
        EXPECT_EQ(y.unknown, 0u);
        qel_standin::HandleState &s = qel_standin::state(handles[i]);
        EXPECT_EQ(s.live_count, 0u);
        EXPECT_TRUE(s.live.empty());
        EXPECT_EQ(s.registry.empty(), handles[i]->type_info_mode == 0);
        for (size_t k = 0; k < notified.size(); ++k) notified[k] += y.notified[k];
        // every instance the thread made itself was counted, with its parts
        std::vector<uint64_t> creates(walk::kStructs, 0);
        for (size_t k = 0; k < counters.at.size(); k += 2)
            if (counters.type_of[k] < walk::kStructs) creates[counters.type_of[k]] += y.notified[k];
        for (uint32_t t = 0; t < walk::kStructs; ++t) EXPECT_GE(creates[t], y.made[t]) << walk::name(t);
        qel_standin::handle_delete(handles[i]);
    }

    // The shared counters rose by exactly what the handles were told.
    const std::vector<uint64_t> after = counters.values();
    for (size_t k = 0; k < after.size(); ++k)
        EXPECT_EQ(after[k] - before[k], notified[k]) << walk::name(counters.type_of[k]) << " counter " << k;
}

} // namespace
