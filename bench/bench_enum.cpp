// Enumeration hot paths: field-style access and the 5-byte encoding.
#include <benchmark/benchmark.h>

#include "drov_def/drov_def.h"
#include "bench/quiet_handle.h"

namespace {

// A quiet handle with one instance of vm_rsp_rc.
struct Fixture : bench::Handle {
    Fixture() : e(vm_rsp_rc_create(h, 1)) {}
    ~Fixture() { vm_rsp_rc_destroy(h, 1, e); }
    vm_rsp_rc_t *e;
};

void BM_EnumSetGetValue(benchmark::State &state) {
    Fixture f;
    uint32_t v = 0;
    for (auto _ : state) {
        vm_rsp_rc_set_value(f.h, 1, f.e, v++ % 3, &f.err);
        benchmark::DoNotOptimize(vm_rsp_rc_get_value(f.h, 1, f.e, &f.err));
    }
}
BENCHMARK(BM_EnumSetGetValue);

void BM_EnumMarshalUnmarshal(benchmark::State &state) {
    Fixture f;
    uint8_t wire[5];
    for (auto _ : state) {
        uint32_t n = vm_rsp_rc_marshal(f.h, 1, wire, f.e, sizeof wire, &f.err);
        benchmark::DoNotOptimize(vm_rsp_rc_unmarshal(f.h, 1, wire, f.e, static_cast<int32_t>(n), 0, &f.err));
    }
}
BENCHMARK(BM_EnumMarshalUnmarshal);

void BM_EnumCreateDestroy(benchmark::State &state) {
    Fixture f;
    for (auto _ : state) {
        vm_rsp_rc_t *x = vm_rsp_rc_create(f.h, 1);
        vm_rsp_rc_destroy(f.h, 1, x);
    }
}
BENCHMARK(BM_EnumCreateDestroy);

} // namespace

BENCHMARK_MAIN();
