// Structure field access: one set and one get per iteration, by field kind.
#include <benchmark/benchmark.h>

#include "drov_def/drov_def.h"
#include "bench/quiet_handle.h"

namespace {

using Handle = bench::Handle;

void BM_ScalarSetGetValue(benchmark::State &state) {
    Handle f;
    vm_id_t *inst = vm_id_create(f.h, 1);
    uint32_t v = 0;
    for (auto _ : state) {
        vm_id_id_set_value(f.h, 1, inst, v++, &f.err);
        benchmark::DoNotOptimize(vm_id_id_get_value(f.h, 1, inst, &f.err));
    }
    vm_id_destroy(f.h, 1, inst);
}
BENCHMARK(BM_ScalarSetGetValue);

void BM_EnumFieldSetGetValue(benchmark::State &state) {
    Handle f;
    vm_act_rsp_t *inst = vm_act_rsp_create(f.h, 1);
    uint32_t v = 0;
    for (auto _ : state) {
        vm_act_rsp_rc_set_value(f.h, 1, inst, v++ % 3, &f.err);
        benchmark::DoNotOptimize(vm_act_rsp_rc_get_value(f.h, 1, inst, &f.err));
    }
    vm_act_rsp_destroy(f.h, 1, inst);
}
BENCHMARK(BM_EnumFieldSetGetValue);

void BM_StringSetGet(benchmark::State &state) {
    Handle f;
    vm_act_rsp_t *inst = vm_act_rsp_create(f.h, 1);
    char buf[32];
    for (auto _ : state) {
        vm_act_rsp_vm_name_set(f.h, 1, inst, "vm-instance-01", 14, &f.err);
        vm_act_rsp_vm_name_get(f.h, 1, inst, buf, sizeof buf, &f.err);
        benchmark::DoNotOptimize(buf);
    }
    vm_act_rsp_destroy(f.h, 1, inst);
}
BENCHMARK(BM_StringSetGet);

void BM_FixedTextSetGet(benchmark::State &state) {
    Handle f;
    vm_profile_t *inst = vm_profile_create(f.h, 1);
    char buf[80];
    for (auto _ : state) {
        vm_profile_name_set(f.h, 1, inst, "default-profile", 15, &f.err);
        vm_profile_name_get(f.h, 1, inst, buf, sizeof buf, &f.err);
        benchmark::DoNotOptimize(buf);
    }
    vm_profile_destroy(f.h, 1, inst);
}
BENCHMARK(BM_FixedTextSetGet);

void BM_ListAppendRemove(benchmark::State &state) {
    Handle f;
    vm_if_mtu_t *owner = vm_if_mtu_create(f.h, 1);
    vm_if_mtu_element_t *e = vm_if_mtu_element_create(f.h, 1);
    for (auto _ : state) {
        vm_if_mtu_mtu_list_set_last(f.h, 1, owner, e, &f.err);
        vm_if_mtu_mtu_list_remove(f.h, 1, owner, e, &f.err);
    }
    vm_if_mtu_element_destroy(f.h, 1, e);
    vm_if_mtu_destroy(f.h, 1, owner);
}
BENCHMARK(BM_ListAppendRemove);

} // namespace
