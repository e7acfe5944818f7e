// Loading the library links its module descriptor into the runtime's module
// list once; unloading unlinks it wherever it stands in the list.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qel.h"

namespace {

std::vector<const qel_module_desc_t *> modules() {
    std::vector<const qel_module_desc_t *> out;
    for (const qel_module_desc_t *d = qel_module_tot_root.first; d != nullptr; d = d->next)
        out.push_back(d);
    return out;
}

// Appends another module's descriptor at the tail, as its own loader would.
void link_other(qel_module_desc_t &d) {
    d.next = nullptr;
    d.prev_next = qel_module_tot_root.last_next;
    *qel_module_tot_root.last_next = &d;
    qel_module_tot_root.last_next = &d.next;
    qel_module_tot_root.count += 1;
}

// The list's links agree with each other.
void expect_consistent() {
    qel_module_desc_t **link = &qel_module_tot_root.first;
    uint32_t n = 0;
    for (qel_module_desc_t *d = qel_module_tot_root.first; d != nullptr; d = d->next, ++n) {
        EXPECT_EQ(d->prev_next, link);
        link = &d->next;
    }
    EXPECT_EQ(qel_module_tot_root.last_next, link);
    EXPECT_EQ(qel_module_tot_root.count, n);
}

// At the end of the list, then between two others; loading twice links once.
TEST(ModuleLink, LoadLinksOnceAndUnloadUnlinksWhereverItStands) {
    ASSERT_TRUE(modules().empty());
    void *lib = dlopen(DROV_DEF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    ASSERT_EQ(modules().size(), 1u);
    EXPECT_STREQ(modules()[0]->name, "drov_def");
    dlclose(lib);
    EXPECT_TRUE(modules().empty());
    expect_consistent();

    qel_module_desc_t before{"before", nullptr, nullptr, nullptr};
    qel_module_desc_t after{"after", nullptr, nullptr, nullptr};
    link_other(before);
    lib = dlopen(DROV_DEF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    void *again = dlopen(DROV_DEF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    link_other(after);
    ASSERT_EQ(modules().size(), 3u);
    EXPECT_STREQ(modules()[1]->name, "drov_def");
    dlclose(again);
    dlclose(lib);
    auto left = modules();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], &before);
    EXPECT_EQ(left[1], &after);
    expect_consistent();
    qel_module_tot_root = {0, nullptr, &qel_module_tot_root.first}; // forget the stack descriptors
}

} // namespace
