// Comparison and hashing: equal contents compare 0 and hash alike, any one
// field's change is seen (whatever the variants), and the exact values
// (documented hashes are in tests/golden/structs).
#include <fstream>
#include <sstream>

#include "enums/xml_doc.h"
#include "struct_support.h"

namespace {

using namespace test::structs;
using Compare = int32_t (*)(const void *, const void *);
using Hash = uint32_t (*)(const void *, uint32_t);

int sign(int32_t v) { return (v > 0) - (v < 0); }

class Identity : public Owning {
protected:
    // Fills inst from a fixed generator: no NUL in strings (so that a changed
    // character is stored) and no empty string or array (zero bytes hash to
    // 0, which would hide every field before them from the hash).
    void fill(uint32_t t, void *inst, uint32_t start) {
        walk::Filler f{h, std::mt19937(start)};
        f.with_nuls = false;
        f.min_length = 1;
        f.fill(t, inst);
        EXPECT_EQ(f.err, 0u);
    }
    // The first field worth changing in a record or element.
    static uint32_t first(uint32_t r) { return kTypes[r].fields[0].kind == FieldKind::Length ? 1 : 0; }

    // Changes field i of inst (of type t) through its setters, or, for a
    // length field, lowers the length alone.  Records are changed in their
    // first field, lists in their last element (or by one more element).
    void change(uint32_t t, void *inst, uint32_t i) {
        const FieldDesc &d = kTypes[t].fields[i];
        const std::string get = walk::op(t, d, "get"), set = walk::op(t, d, "set");
        const uint32_t r = static_cast<uint32_t>(d.ref);
        switch (d.kind) {
        case FieldKind::U8: case FieldKind::U16: case FieldKind::U32: case FieldKind::Boolean: {
            const uint32_t v = get_narrow(arg_width(d), get + "_value", h, inst, &err);
            narrowed(arg_width(d), d.kind == FieldKind::Boolean ? !v : v + 1,
                     [&](auto x) { call<void>(set + "_value", h, 1u, inst, x, &err); });
            break;
        }
        case FieldKind::Enum: {
            const uint32_t v = call<uint32_t>(get + "_value", h, 1u, inst, &err);
            const auto &e = kTypes[r];
            call<void>(set + "_value", h, 1u, inst, e.first_value + (v - e.first_value + 1) % e.value_count, &err);
            break;
        }
        case FieldKind::IfHandle: {
            const uint32_t v = *call<uint32_t *>(get, h, 1u, inst, &err) + 1;
            call<void>(set, h, 1u, inst, &v, &err);
            break;
        }
        case FieldKind::Record: change(r, call<void *>(get, h, 1u, inst, &err), first(r)); break;
        case FieldKind::Length: { // the length alone, one lower; the block keeps its characters
            uint32_t v = 0;
            std::memcpy(&v, walk::bytes(inst) + d.offset, d.width);
            narrowed(d.width, v - 1, [&](auto x) { std::memcpy(static_cast<uint8_t *>(inst) + d.offset, &x, sizeof x); });
            break;
        }
        case FieldKind::String:
        case FieldKind::Text: { // same length, last character changed; an empty one gets one
            const char *p = d.kind == FieldKind::Text ? static_cast<char *>(inst) + d.offset
                                                      : walk::load<const char *>(inst, d.offset);
            std::string s(p == nullptr ? "" : p, d.kind == FieldKind::Text ? strnlen(p, d.width) : walk::length_of(inst, d));
            if (s.empty()) s = "x"; else s.back() ^= 1;
            if (d.kind == FieldKind::Text) call<void>(set, h, 1u, inst, s.data(), static_cast<int32_t>(s.size()), &err);
            else narrowed(d.length_width, static_cast<uint32_t>(s.size()),
                          [&](auto n) { call<void>(set, h, 1u, inst, s.data(), n, &err); });
            break;
        }
        case FieldKind::Array:
        case FieldKind::VarArray: {
            const uint64_t n = d.kind == FieldKind::Array ? d.width : walk::length_of(inst, d);
            const uint32_t last = n == 0 ? 0 : static_cast<uint32_t>(n - 1);
            const uint8_t v = n == 0 ? 1 : static_cast<uint8_t>(call<uint8_t>(get + "_value", h, 1u, inst, last, &err) + 1);
            call<void>(set, h, 1u, inst, last, &v, &err);
            break;
        }
        case FieldKind::List: { // the last element changes (the count stays); without, one is added
            std::vector<void *> elems = walk::elements(inst, d);
            if (!elems.empty()) change(r, elems.back(), first(r));
            else call<void>(walk::op(t, d, "set_last"), h, 1u, inst, walk::create(h, r), &err);
            break;
        }
        }
    }
};

// For every field of every type: twins compare 0 and hash alike; after the
// field is changed in one of them they do not, in both directions, also
// when both instances are taken down to variant 0 (the field may then lie
// above both their variants).
TEST_F(Identity, AnySingleFieldChangeIsSeen) {
    for (uint32_t t = 0; t < walk::kStructs; ++t) {
        auto compare = walk::fn<Compare>(walk::op(t, "compare"));
        auto hash = walk::fn<Hash>(walk::op(t, "hash"));
        const auto &td = kTypes[t];
        for (uint32_t i = 0; i < td.field_count; ++i) {
            const FieldDesc &f = td.fields[i];
            SCOPED_TRACE(walk::name(t) + "." + f.name);
            void *a = walk::create(h, t), *b = walk::create(h, t);
            fill(t, a, 100 + i), fill(t, b, 100 + i);
            if (f.kind == FieldKind::List) // the same element on each, then changed
                for (void *x : {a, b}) {
                    void *e = walk::create(h, static_cast<uint32_t>(f.ref));
                    fill(static_cast<uint32_t>(f.ref), e, i);
                    call<void>(walk::op(t, f, "set_last"), h, 1u, x, e, &err);
                }
            // Strings and arrays need something to lower and change.
            if (f.kind == FieldKind::Length) change(t, a, i + 1), change(t, b, i + 1);
            ASSERT_EQ(compare(a, b), 0);
            ASSERT_EQ(hash(a, 17), hash(b, 17));
            change(t, b, i);
            ASSERT_EQ(err, 0u);
            for (int8_t v : {walk::instance_variant(a), int8_t{0}}) {
                static_cast<int8_t *>(a)[8] = static_cast<int8_t *>(b)[8] = v;
                EXPECT_NE(compare(a, b), 0) << int(v);
                EXPECT_EQ(sign(compare(a, b)), -sign(compare(b, a)));
                EXPECT_NE(hash(a, 17), hash(b, 17));
            }
            static_cast<int8_t *>(a)[8] = static_cast<int8_t *>(b)[8] = td.highest();
            walk::destroy(h, t, a);
            walk::destroy(h, t, b);
        }
    }
}

TEST_F(Identity, NullInstances) {
    auto *v = make(vm_id_create, vm_id_destroy);
    EXPECT_EQ(vm_id_compare(nullptr, nullptr), 0);
    EXPECT_EQ(vm_id_compare(nullptr, v), -1);
    EXPECT_EQ(vm_id_compare(v, nullptr), 1);
    EXPECT_EQ(vm_id_hash(nullptr, 1234), 1234u);
}

// The orderings of compare.cases.
TEST_F(Identity, KnownOrderings) {
    std::ifstream in(DROV_DEF_GOLDEN_DIR "/compare.cases");
    size_t cases = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        SCOPED_TRACE(line);
        std::istringstream words(line);
        std::string want, type, xml[2];
        ASSERT_TRUE(words >> want >> type >> xml[0] >> xml[1]);
        const uint32_t t = walk::index_of(type);
        void *a = walk::create(h, t), *b = walk::create(h, t);
        for (int k = 0; k < 2; ++k) {
            test::XmlDoc doc(xml[k]);
            char msg[64];
            walk::fn<void (*)(H, uint32_t, const char *, void *, void *, Err *, char *, uint32_t)>(walk::op(t, "from_xml"))(
                h, 1, ("/" + type).c_str(), doc.doc, k == 0 ? a : b, &err, msg, sizeof msg);
        }
        ASSERT_EQ(err, 0u);
        auto compare = walk::fn<Compare>(walk::op(t, "compare"));
        if (want == "<0") {
            EXPECT_LT(compare(a, b), 0);
            EXPECT_GT(compare(b, a), 0);
        } else {
            EXPECT_EQ(compare(a, b), std::stoi(want));
            EXPECT_EQ(compare(b, a), -std::stoi(want));
        }
        walk::destroy(h, t, a);
        walk::destroy(h, t, b);
        ++cases;
    }
    EXPECT_GE(cases, 7u);
}

// Fixed text is compared and hashed over its capacity: a byte after the
// terminator counts, the byte kept after the capacity for it does not.
TEST_F(Identity, FixedTextIsComparedAndHashedOverItsCapacity) {
    auto *a = make(vm_profile_create, vm_profile_destroy);
    auto *b = make(vm_profile_create, vm_profile_destroy);
    for (auto *p : {a, b}) { // (an empty selected_profile_name would start the hash over after them)
        vm_profile_name_set(h, 1, p, "edge", 4, &err);
        vm_profile_selected_profile_name_set(h, 1, p, "sel", 3, &err);
    }
    ASSERT_EQ(err, 0u);
    constexpr uint32_t kName = 11, kPath = 76; // capacities 64 and 256
    for (auto [at, differs] : {std::pair{kName + 63, true}, {kName + 64, false}, {kPath + 256, false}, {kPath + 255, true}}) {
        SCOPED_TRACE(at);
        reinterpret_cast<char *>(b)[at] = 'z';
        EXPECT_EQ(vm_profile_compare(a, b) < 0, differs);
        EXPECT_EQ(vm_profile_hash(a, 0) != vm_profile_hash(b, 0), differs);
        reinterpret_cast<char *>(b)[at] = 0;
    }
}

} // namespace
