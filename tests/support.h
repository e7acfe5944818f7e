// Shared test fixtures: a fresh stand-in handle per test that records
// everything, with a leak check.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "drov_def/drov_def.h"
#include "qel_standin.h"

namespace test {

// AddressSanitizer builds keep freed memory and map far more than any heap
// limit allows (g++ says so with a macro, clang with a feature).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitized = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitized = false;
#endif

class HandleTest : public ::testing::Test {
protected:
    void SetUp() override {
        qel_standin::reset_global();
        h = qel_standin::handle_new();
        qel_standin::observe(h);
    }
    void TearDown() override {
        EXPECT_TRUE(st().live.empty()) << st().live.size() << " blocks not returned";
        qel_standin::handle_delete(h);
    }
    qel_standin::HandleState &st() { return qel_standin::state(h); }
    size_t calls(const std::string &name) { return qel_standin::count_calls(h, name); }

    qel_handle_t *h = nullptr;
    uint32_t err = 0;
};

// Captures what a printf-like printer is given.
inline std::string &printed() {
    static std::string text;
    return text;
}
inline int capture_printer(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    printed() += buf;
    return n;
}

} // namespace test
