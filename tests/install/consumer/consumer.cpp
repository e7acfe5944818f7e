// A program built against the installed package with no flags of its own (C++20 comes from the
// package).  The type runtime finds a
// record's variant information in the 16 bytes in front of it, so the record this program names
// must be the library's own object, the one the library hands out; a copy made for the program at
// load time has other bytes in front of it.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include <drov_def/drov_def.h>
#include <drov_def/drov_def.hpp>
#include <drov_def/runtime.h>

extern "C" const void *record_seen_from_c(void);

namespace {
int failures = 0;

void check(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "FAIL: %s\n", what);
    ++failures;
}
} // namespace

int main() {
    const auto *named = reinterpret_cast<const unsigned char *>(&_vm_sp_type_type_info_internal);

    qel_handle_t *h = drov_def_runtime_new();
    check(h != nullptr, "drov_def_runtime_new gives a handle");
    vm_sp_type_t *inst = vm_sp_type_create(h, 1);
    check(inst != nullptr, "vm_sp_type_create returns an instance");
    if (inst != nullptr) {
        check(reinterpret_cast<const unsigned char *>(inst->type_info) == named,
              "the library hands out the record the program names");
        vm_sp_type_destroy(h, 1, inst);
    }
    drov_def_runtime_free(h);
    check(record_seen_from_c() == named, "C and C++ code name the same record");
    const void *variant_info = nullptr; // the record's pointer at offset 256
    std::memcpy(&variant_info, named + 256, sizeof variant_info);
    check(variant_info == named - 16, "the record's variant info lies in the 16 bytes in front of it");
    check(std::strcmp(drov_def_strerror(DROV_DEF_EMSGSIZE), "buffer too short for the message") == 0,
          "the library words its error numbers");

    // The C++ classes, which need C++20: the CMake target asks for it.
    drov::Handle hd;
    drov::VmActRsp rsp(hd);
    rsp.set_vm_name("web01").vm_if_rsp().vm_if_info().push_back().set_if_handle(0x1a2b);
    check(drov::VmActRsp::decode(hd, rsp.encode()) == rsp, "a vm_act_rsp comes back equal through C++");

    Dl_info where{};
    check(dladdr(named, &where) != 0 && where.dli_fname != nullptr, "dladdr finds the record");
    // The caller checks that this is the installed library file.
    std::printf("record in: %s\n", where.dli_fname != nullptr ? where.dli_fname : "?");
    return failures == 0 ? 0 : 1;
}
