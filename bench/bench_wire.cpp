// The wire form of three messages: marshal, unmarshal into a fresh instance
// (created and destroyed in the loop, as a fresh message is; also from a
// pooled handle), unmarshal updating an instance in place, verify (to set
// against the update in place), len, encoded_size and clone; a
// vm_act_rsp sweep over the list length; and the runtime's own cost per
// call.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>
#include <vector>

#include "bench/quiet_handle.h"
#include "bench/wire_messages.h"
#include "qel_standin.h"

namespace {

struct Ops {
    uint32_t (*marshal)(qel_handle_t *, uint32_t, uint8_t *, const void *, int32_t, uint32_t *);
    uint32_t (*unmarshal)(qel_handle_t *, uint32_t, const uint8_t *, void *, int32_t, uint32_t,
                          uint32_t *);
    uint32_t (*len)(qel_handle_t *, uint32_t, const void *);
    void (*clone)(qel_handle_t *, uint32_t, const void *, void **, uint8_t *, uint32_t, uint32_t *);
    void *(*create)(qel_handle_t *, uint32_t);
    void (*destroy)(qel_handle_t *, uint32_t, void *);
};

template <class T>
Ops ops(uint32_t (*m)(qel_handle_t *, uint32_t, uint8_t *, const T *, int32_t, uint32_t *),
        uint32_t (*u)(qel_handle_t *, uint32_t, const uint8_t *, T *, int32_t, uint32_t, uint32_t *),
        uint32_t (*l)(qel_handle_t *, uint32_t, const T *),
        void (*c)(qel_handle_t *, uint32_t, const T *, T **, uint8_t *, uint32_t, uint32_t *),
        T *(*cr)(qel_handle_t *, uint32_t), void (*d)(qel_handle_t *, uint32_t, T *)) {
    return Ops{reinterpret_cast<decltype(Ops::marshal)>(m), reinterpret_cast<decltype(Ops::unmarshal)>(u),
               reinterpret_cast<decltype(Ops::len)>(l), reinterpret_cast<decltype(Ops::clone)>(c),
               reinterpret_cast<decltype(Ops::create)>(cr), reinterpret_cast<decltype(Ops::destroy)>(d)};
}

enum Msg { InstReq, ActRsp, InstallCfg };

// A default handle (or a pooled one) and one message.
struct Fixture {
    explicit Fixture(Msg m, uint32_t nics = 16, bench::Blocks blocks = bench::Blocks::Malloc)
        : handle(blocks), h(handle.h) {
        switch (m) {
        case InstReq:
            rec = &_vm_inst_req_type_info_internal;
            o = ops(vm_inst_req_marshal, vm_inst_req_unmarshal, vm_inst_req_len, vm_inst_req_clone,
                    vm_inst_req_create, vm_inst_req_destroy);
            msg = messages::inst_req(h, &err);
            break;
        case ActRsp:
            rec = &_vm_act_rsp_type_info_internal;
            o = ops(vm_act_rsp_marshal, vm_act_rsp_unmarshal, vm_act_rsp_len, vm_act_rsp_clone,
                    vm_act_rsp_create, vm_act_rsp_destroy);
            msg = messages::act_rsp(h, &err, nics);
            break;
        case InstallCfg:
            rec = &_vm_install_cfg_type_info_internal;
            o = ops(vm_install_cfg_marshal, vm_install_cfg_unmarshal, vm_install_cfg_len,
                    vm_install_cfg_clone, vm_install_cfg_create, vm_install_cfg_destroy);
            msg = messages::install_cfg(h, &err);
            break;
        }
        size = o.len(h, 1, msg) + 1; // len can be one short of a list flag
        buf.resize(size);
        n = o.marshal(h, 1, buf.data(), msg, static_cast<int32_t>(size), &err);
    }
    ~Fixture() { o.destroy(h, 1, msg); }
    uint64_t allocs() const { return qel_standin::state(h).alloc_calls; }
    void report(benchmark::State &state, uint64_t allocs_before) {
        if (err != 0) state.SkipWithError("error word set");
        state.counters["bytes"] = n;
        state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocs() - allocs_before),
                                                      benchmark::Counter::kAvgIterations);
    }
    bench::Handle handle;
    qel_handle_t *h;
    Ops o{};
    const qel_type_info *rec = nullptr;
    void *msg = nullptr;
    uint32_t err = 0;
    uint32_t size = 0, n = 0;
    std::vector<uint8_t> buf;
};

void BM_Marshal(benchmark::State &state) {
    Fixture f(static_cast<Msg>(state.range(0)));
    std::vector<uint8_t> out(f.size);
    const uint64_t a = f.allocs();
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.o.marshal(f.h, 1, out.data(), f.msg, static_cast<int32_t>(f.size), &f.err));
        benchmark::ClobberMemory();
    }
    f.report(state, a);
}

void unmarshal_fresh(benchmark::State &state, Msg msg, uint32_t nics, bench::Blocks blocks) {
    Fixture f(msg, nics, blocks);
    const uint64_t a = f.allocs();
    for (auto _ : state) {
        void *m = f.o.create(f.h, 1);
        benchmark::DoNotOptimize(f.o.unmarshal(f.h, 1, f.buf.data(), m, static_cast<int32_t>(f.n), 0, &f.err));
        f.o.destroy(f.h, 1, m);
    }
    f.report(state, a);
}
void BM_UnmarshalFresh(benchmark::State &state) {
    unmarshal_fresh(state, static_cast<Msg>(state.range(0)), 16, bench::Blocks::Malloc);
}
void BM_UnmarshalFreshPooled(benchmark::State &state) {
    unmarshal_fresh(state, static_cast<Msg>(state.range(0)), 16, bench::Blocks::Pooled);
}

// The part of the above that is creating and destroying the instance.
void BM_CreateDestroyEmpty(benchmark::State &state) {
    Fixture f(static_cast<Msg>(state.range(0)));
    const uint64_t a = f.allocs();
    for (auto _ : state) {
        void *m = f.o.create(f.h, 1);
        benchmark::DoNotOptimize(m);
        f.o.destroy(f.h, 1, m);
    }
    f.report(state, a);
}

// The fixed cost of a message: a vm_act_rsp with no interfaces created,
// decoded and destroyed, from the default handle and from a pooled one.
void BM_FixedCost(benchmark::State &state) {
    unmarshal_fresh(state, ActRsp, 0, state.range(0) != 0 ? bench::Blocks::Pooled : bench::Blocks::Malloc);
}
BENCHMARK(BM_FixedCost)->ArgName("pooled")->Arg(0)->Arg(1);

void BM_UnmarshalUpdate(benchmark::State &state) {
    Fixture f(static_cast<Msg>(state.range(0)));
    void *m = f.o.create(f.h, 1);
    f.o.unmarshal(f.h, 1, f.buf.data(), m, static_cast<int32_t>(f.n), 0, &f.err);
    const uint64_t a = f.allocs();
    for (auto _ : state)
        benchmark::DoNotOptimize(f.o.unmarshal(f.h, 1, f.buf.data(), m, static_cast<int32_t>(f.n), 1, &f.err));
    f.report(state, a);
    f.o.destroy(f.h, 1, m);
}

// Walking the bytes a decoding into a reused instance reads, building nothing.
void BM_Verify(benchmark::State &state) {
    Fixture f(static_cast<Msg>(state.range(0)));
    const uint64_t a = f.allocs();
    for (auto _ : state)
        benchmark::DoNotOptimize(drov_def_verify(f.h, f.rec, f.buf.data(), static_cast<int32_t>(f.n), 0, &f.err));
    f.report(state, a);
}

void BM_EncodedSize(benchmark::State &state) {
    Fixture f(static_cast<Msg>(state.range(0)));
    const uint64_t a = f.allocs();
    for (auto _ : state) benchmark::DoNotOptimize(drov_def_encoded_size(f.h, 1, f.rec, f.msg, 0, nullptr, &f.err));
    f.report(state, a);
}

void BM_Len(benchmark::State &state) {
    Fixture f(static_cast<Msg>(state.range(0)));
    const uint64_t a = f.allocs();
    for (auto _ : state) benchmark::DoNotOptimize(f.o.len(f.h, 1, f.msg));
    f.report(state, a);
}

void BM_Clone(benchmark::State &state) {
    Fixture f(static_cast<Msg>(state.range(0)));
    std::vector<uint8_t> scratch(f.size);
    const uint64_t a = f.allocs();
    for (auto _ : state) {
        void *c = nullptr;
        f.o.clone(f.h, 1, f.msg, &c, scratch.data(), f.size, &f.err);
        f.o.destroy(f.h, 1, c);
    }
    f.report(state, a);
}

void messages_args(benchmark::internal::Benchmark *b) {
    b->ArgName("msg")->Arg(InstReq)->Arg(ActRsp)->Arg(InstallCfg);
}
BENCHMARK(BM_Marshal)->Apply(messages_args);
BENCHMARK(BM_UnmarshalFresh)->Apply(messages_args);
BENCHMARK(BM_UnmarshalFreshPooled)->Apply(messages_args);
BENCHMARK(BM_CreateDestroyEmpty)->Apply(messages_args);
BENCHMARK(BM_UnmarshalUpdate)->Apply(messages_args);
BENCHMARK(BM_Verify)->Apply(messages_args);
BENCHMARK(BM_EncodedSize)->Apply(messages_args);
BENCHMARK(BM_Len)->Apply(messages_args);
BENCHMARK(BM_Clone)->Apply(messages_args);

// ---- vm_act_rsp by the length of its interface list -------------------------------------------

// The device's allocator keeps its pools; glibc's would hand the heap top
// of a freed 100,000-element list back to the kernel after every iteration
// and fault it in again, which times the kernel rather than the decoder.
const int kKeepHeap = [] {
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_TOP_PAD, 64 << 20);
    return 0;
}();

void per_element(benchmark::State &state) {
    state.counters["per_element"] = benchmark::Counter(
        static_cast<double>(state.range(0)),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_SweepMarshal(benchmark::State &state) {
    Fixture f(ActRsp, static_cast<uint32_t>(state.range(0)));
    std::vector<uint8_t> out(f.size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.o.marshal(f.h, 1, out.data(), f.msg, static_cast<int32_t>(f.size), &f.err));
        benchmark::ClobberMemory();
    }
    per_element(state);
}
void sweep_unmarshal_fresh(benchmark::State &state, bench::Blocks blocks) {
    Fixture f(ActRsp, static_cast<uint32_t>(state.range(0)), blocks);
    for (auto _ : state) {
        void *m = f.o.create(f.h, 1);
        benchmark::DoNotOptimize(f.o.unmarshal(f.h, 1, f.buf.data(), m, static_cast<int32_t>(f.n), 0, &f.err));
        f.o.destroy(f.h, 1, m);
    }
    per_element(state);
}
void BM_SweepUnmarshalFresh(benchmark::State &state) {
    sweep_unmarshal_fresh(state, bench::Blocks::Malloc);
}
void BM_SweepUnmarshalFreshPooled(benchmark::State &state) {
    sweep_unmarshal_fresh(state, bench::Blocks::Pooled);
}
void BM_SweepUnmarshalUpdate(benchmark::State &state) {
    Fixture f(ActRsp, static_cast<uint32_t>(state.range(0)));
    void *m = f.o.create(f.h, 1);
    f.o.unmarshal(f.h, 1, f.buf.data(), m, static_cast<int32_t>(f.n), 0, &f.err);
    for (auto _ : state)
        benchmark::DoNotOptimize(f.o.unmarshal(f.h, 1, f.buf.data(), m, static_cast<int32_t>(f.n), 1, &f.err));
    per_element(state);
    f.o.destroy(f.h, 1, m);
}
// What a fresh decoding of the sweep's list cannot avoid: each element made,
// appended and, with the owner, destroyed through the structure API.
void BM_SweepElementLifecycle(benchmark::State &state) {
    Fixture f(ActRsp, 0);
    const auto n = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        vm_nic_rsp_t *r = vm_nic_rsp_create(f.h, 1);
        for (uint32_t i = 0; i < n; ++i)
            vm_nic_rsp_vm_if_info_set_last(f.h, 1, r, vm_nic_list_create_internal(f.h, 1), &f.err);
        vm_nic_rsp_destroy(f.h, 1, r);
    }
    per_element(state);
}

// The memory floor under the sweep: each element's bytes (an instance and
// its place in a run) written once, as a fresh copy and a decoding write
// them, then read back once, as the destruction reads a header and the
// list link, with no library call.  Where the elements outgrow the caches,
// this rises per element as the decoding does.
void BM_SweepMemoryFloor(benchmark::State &state) {
    bench::Handle f;
    const uint32_t stride = vm_nic_list_sizeof(f.h) + sizeof(void *);
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> fresh(stride, 0);
    std::vector<uint8_t> elements(n * stride + 64);
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(&elements[i * stride], fresh.data(), stride);
            elements[i * stride + 40] = static_cast<uint8_t>(i);
        }
        benchmark::ClobberMemory();
        uint64_t sum = 0;
        for (size_t i = 0; i < n; ++i) sum += elements[i * stride + 40];
        benchmark::DoNotOptimize(sum);
    }
    per_element(state);
}

void sweep_args(benchmark::internal::Benchmark *b) {
    b->ArgName("elements")->RangeMultiplier(10)->Range(10, 100000);
}
BENCHMARK(BM_SweepMarshal)->Apply(sweep_args);
BENCHMARK(BM_SweepUnmarshalFresh)->Apply(sweep_args);
BENCHMARK(BM_SweepUnmarshalFreshPooled)->Apply(sweep_args);
BENCHMARK(BM_SweepUnmarshalUpdate)->Apply(sweep_args);
BENCHMARK(BM_SweepElementLifecycle)->Apply(sweep_args);
BENCHMARK(BM_SweepMemoryFloor)->Apply(sweep_args);

// ---- What one call of the runtime costs --------------------------------------------------------

void BM_RuntimeCallU8Marshal(benchmark::State &state) {
    bench::Handle f;
    uint8_t out[8];
    uint8_t v = 7;
    for (auto _ : state) {
        benchmark::DoNotOptimize(u_int8_marshal(f.h, 1, out, &v, 8, &f.err));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RuntimeCallU8Marshal);

// The domain lookup of a type the handle's domain does not name (arg 0),
// and of one it names (arg 1).
void BM_RuntimeCallDomainLookup(benchmark::State &state) {
    bench::Handle f;
    if (state.range(0) != 0) drov_def_runtime_set_variant(f.h, "vm_nic_list", 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(qel_domain_lookup_variant(f.h, f.h->variant_domain, &_vm_nic_list_type_info_internal, &f.err));
}
BENCHMARK(BM_RuntimeCallDomainLookup)->ArgName("named")->Arg(0)->Arg(1);

} // namespace
