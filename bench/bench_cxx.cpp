// The C++ layer against the C calls it wraps, on the three wire messages
// (a vm_inst_req, a vm_act_rsp with 16 interfaces, a vm_install_cfg): encode
// into a reused buffer, decode updating a reused instance, decode into a
// fresh instance (made and destroyed in the loop), print into a reused
// buffer.  Both sides run on the same handle, context id and message; the C++
// rows should differ from the C rows by no more than the noise.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "bench/quiet_handle.h"
#include "bench/wire_messages.h"
#include "drov_def/drov_def.hpp"

namespace {

// The C functions of each message, named as a C program names them.
template <class M> struct C;
#define DROV_BENCH_C_OPS(Class, t, builder)                                                          \
    template <> struct C<drov::Class> {                                                            \
        static t##_t *build(qel_handle_t *h, uint32_t *err) { return messages::builder(h, err); } \
        static constexpr auto create = t##_create;                                                 \
        static constexpr auto destroy = t##_destroy;                                               \
        static constexpr auto marshal = t##_marshal;                                               \
        static constexpr auto unmarshal = t##_unmarshal;                                           \
        static constexpr auto print = t##_print;                                                   \
        static constexpr const char *name = #t;                                                    \
    };
DROV_BENCH_C_OPS(VmInstReq, vm_inst_req, inst_req)
DROV_BENCH_C_OPS(VmActRsp, vm_act_rsp, act_rsp)
DROV_BENCH_C_OPS(VmInstallCfg, vm_install_cfg, install_cfg)

constexpr uint32_t kCtx = 1;

// One message built through the C calls and owned by its C++ class, its
// encoding, and a text buffer that holds its print.
template <class M> struct Fixture {
    Fixture() : ctx(h.context(kCtx)) {
        uint32_t err = 0;
        msg = M::adopt(ctx, C<M>::build(handle.h, &err));
        wire = msg.encode();
        text.resize(msg.to_text().size() * 2);
        if (err != 0) throw std::runtime_error("message not built");
    }
    bench::Handle handle;
    drov::Handle h{handle.h, false};
    drov::Context ctx;
    M msg;
    std::vector<std::byte> wire;
    std::string text;
    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(wire.data()); }
    int32_t size() const { return static_cast<int32_t>(wire.size()); }
};

void check(benchmark::State &state, uint32_t err) {
    if (err != 0) state.SkipWithError("error word set");
}

// ---- encode ----

template <class M> void BM_C_Encode(benchmark::State &state) {
    Fixture<M> f;
    std::vector<uint8_t> out(f.msg.encode_size());
    uint32_t err = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(C<M>::marshal(f.handle.h, kCtx, out.data(), f.msg.c_ptr(),
                                               static_cast<int32_t>(out.size()), &err));
        benchmark::ClobberMemory();
    }
    check(state, err);
}
template <class M> void BM_Cxx_Encode(benchmark::State &state) {
    Fixture<M> f;
    std::vector<std::byte> out(f.msg.encode_size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.msg.encode(std::span<std::byte>(out)));
        benchmark::ClobberMemory();
    }
}

// ---- decode into a reused instance ----

template <class M> void BM_C_DecodeUpdate(benchmark::State &state) {
    Fixture<M> f;
    uint32_t err = 0;
    auto *m = C<M>::create(f.handle.h, kCtx);
    C<M>::unmarshal(f.handle.h, kCtx, f.bytes(), m, f.size(), 0, &err);
    for (auto _ : state) {
        const uint32_t n = C<M>::unmarshal(f.handle.h, kCtx, f.bytes(), m, f.size(), 1, &err);
        if (err != 0 || n > static_cast<uint32_t>(f.size())) state.SkipWithError("cut");
        benchmark::DoNotOptimize(n);
    }
    C<M>::destroy(f.handle.h, kCtx, m);
    check(state, err);
}
template <class M> void BM_Cxx_DecodeUpdate(benchmark::State &state) {
    Fixture<M> f;
    M m(f.ctx);
    m.update_from(f.wire);
    for (auto _ : state) benchmark::DoNotOptimize(m.update_from(f.wire));
}

// ---- decode into a fresh instance ----

template <class M> void BM_C_DecodeFresh(benchmark::State &state) {
    Fixture<M> f;
    uint32_t err = 0;
    for (auto _ : state) {
        auto *m = C<M>::create(f.handle.h, kCtx);
        if (m == nullptr) state.SkipWithError("no memory");
        const uint32_t n = C<M>::unmarshal(f.handle.h, kCtx, f.bytes(), m, f.size(), 0, &err);
        if (err != 0 || n > static_cast<uint32_t>(f.size())) state.SkipWithError("cut");
        benchmark::DoNotOptimize(n);
        C<M>::destroy(f.handle.h, kCtx, m);
    }
    check(state, err);
}
template <class M> void BM_Cxx_DecodeFresh(benchmark::State &state) {
    Fixture<M> f;
    for (auto _ : state) {
        M m = M::decode(f.ctx, f.wire);
        benchmark::DoNotOptimize(m.c_ptr());
    }
}

// ---- print into a reused buffer ----

template <class M> void BM_C_Print(benchmark::State &state) {
    Fixture<M> f;
    uint32_t err = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(C<M>::print(f.handle.h, kCtx, f.text.data(), 0, C<M>::name, f.msg.c_ptr(),
                                             static_cast<uint32_t>(f.text.size()), &err));
        benchmark::ClobberMemory();
    }
    check(state, err);
}
template <class M> void BM_Cxx_Print(benchmark::State &state) {
    Fixture<M> f;
    for (auto _ : state) {
        f.msg.to_text(f.text);
        benchmark::DoNotOptimize(f.text.data());
        benchmark::ClobberMemory();
    }
}
// to_text() into a new string each time: what the convenience costs.
template <class M> void BM_Cxx_PrintNewString(benchmark::State &state) {
    Fixture<M> f;
    for (auto _ : state) benchmark::DoNotOptimize(f.msg.to_text());
}

#define DROV_BENCH_PAIR(op)                                                                         \
    BENCHMARK_TEMPLATE(BM_C_##op, drov::VmInstReq);                                               \
    BENCHMARK_TEMPLATE(BM_Cxx_##op, drov::VmInstReq);                                             \
    BENCHMARK_TEMPLATE(BM_C_##op, drov::VmActRsp);                                                \
    BENCHMARK_TEMPLATE(BM_Cxx_##op, drov::VmActRsp);                                              \
    BENCHMARK_TEMPLATE(BM_C_##op, drov::VmInstallCfg);                                            \
    BENCHMARK_TEMPLATE(BM_Cxx_##op, drov::VmInstallCfg);
DROV_BENCH_PAIR(Encode)
DROV_BENCH_PAIR(DecodeUpdate)
DROV_BENCH_PAIR(DecodeFresh)
DROV_BENCH_PAIR(Print)
BENCHMARK_TEMPLATE(BM_Cxx_PrintNewString, drov::VmActRsp);

} // namespace
