// What the structure tests share beyond the schema walk and the watch over instance memory: calling
// an exported function by name with its C signature, the trace catalogue of the built library; for
// the wire tests a fixture that encodes, decodes and destroys what it made.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue.h"
#include "elf_file.h"
#include "qel_standin.h"
#include "schema_walk.h"
#include "support.h"
#include "trace_gen.h"
#include "watch.h"

namespace test::structs {

namespace walk = test::walk;
using walk::FieldDesc;
using walk::FieldKind;
using walk::kTypes;
using H = qel_handle_t *;
using Err = uint32_t;

// Test names of the tracking settings a suite runs under.
inline std::string tracking_name(const ::testing::TestParamInfo<qel_standin::Tracking> &p) {
    using T = qel_standin::Tracking;
    return p.param == T::On ? "On" : p.param == T::Off ? "Off" : "Absent";
}

// Calls `<name>` with signature R(A...).
template <class R, class... A> R call(const std::string &name, A... a) {
    return walk::fn<R (*)(A...)>(name)(a...);
}

// Checks the error word and clears it for the next step.
#define EXPECT_ERR(e)                                                                      \
    do {                                                                                   \
        EXPECT_EQ(err, e);                                                                 \
        err = 0;                                                                           \
    } while (0)

// The C argument width of a value field: u8 and u16 take theirs, the rest a word.
inline unsigned arg_width(const FieldDesc &f) {
    return f.kind == FieldKind::U8 ? 1 : f.kind == FieldKind::U16 ? 2 : 4;
}
using walk::narrowed;
// A getter returning an integer of w bytes: R(h, 1, inst, more..., err).
template <class... A> uint32_t get_narrow(unsigned w, const std::string &name, H h, const void *inst, A... a) {
    if (w == 1) return call<uint8_t>(name, h, 1u, inst, a...);
    if (w == 2) return call<uint16_t>(name, h, 1u, inst, a...);
    return call<uint32_t>(name, h, 1u, inst, a...);
}

using walk::library_path;

// The catalogue's texts by index, without the leading space.
inline const std::vector<std::string> &catalogue() {
    static const std::vector<std::string> texts = [] {
        drovdef::ElfFile elf(drovdef::read_file(library_path()));
        std::vector<std::string> out;
        drovdef::load_catalogue(elf).for_each([&](std::size_t, std::uint32_t, std::string_view t) {
            out.emplace_back(!t.empty() && t[0] == ' ' ? t.substr(1) : t);
        });
        return out;
    }();
    return texts;
}

// The texts of the traces recorded since the last reset, in order.
inline std::vector<std::string> trace_texts() {
    std::vector<std::string> out;
    for (const auto &t : qel_standin::traces())
        out.push_back(t.index < catalogue().size() ? catalogue()[t.index] : "?");
    return out;
}
inline std::string last_trace() {
    auto t = trace_texts();
    return t.empty() ? "" : t.back();
}

// A handle test whose instances made through make() are destroyed, last
// made first, before the leak check.
class Owning : public test::HandleTest {
protected:
    template <class T> T *make(T *(*create)(H, uint32_t), void (*destroy)(H, uint32_t, T *)) {
        T *p = create(h, 1);
        keep([this, p, destroy] { destroy(h, 1, p); });
        return p;
    }
    void keep(std::function<void()> destroy) { made_.push_back(std::move(destroy)); }
    void TearDown() override {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) (*it)();
        test::HandleTest::TearDown();
    }

private:
    std::vector<std::function<void()>> made_;
};

} // namespace test::structs

// ---- The wire tests --------------------------------------------------------------

namespace wire {

namespace walk = test::walk;
using walk::kTypes;
using Bytes = std::vector<uint8_t>;

using Marshal = decltype(walk::Ops::marshal);

// An owning test that makes instances of any type by index.
class WireTest : public test::structs::Owning {
protected:
    template <class T = void> T *make(uint32_t t) { return static_cast<T *>(own(t, walk::create(h, t))); }
    template <class T> T *own(uint32_t t, T *inst) {
        keep([this, t, inst] { walk::destroy(h, t, inst); });
        return inst;
    }
    // The bytes the encoder `m` (marshal by default) wrote into a buffer of
    // `size` bytes filled with 0xAB.
    Bytes encode(uint32_t t, const void *inst, uint32_t size = 256, Marshal m = nullptr) {
        Bytes buf(size == 0 ? 1 : size, 0xAB);
        buf.resize((m ? m : walk::ops(t).marshal)(h, 1, buf.data(), inst, static_cast<int32_t>(size), &err));
        return buf;
    }
    // Decodes `b` into `inst`, telling the decoder `len` bytes (all of b by default).
    uint32_t decode(uint32_t t, const Bytes &b, void *inst, uint32_t update = 0, int32_t len = -1) {
        return walk::ops(t).unmarshal(h, 1, b.data(), inst, len < 0 ? static_cast<int32_t>(b.size()) : len, update, &err);
    }
};

} // namespace wire
