// Comparison and hashing: equal contents compare 0 and hash alike, any one field's change is seen
// (whatever the variants), and the exact values (documented hashes are in tests/golden/structs).
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
    // Fills inst from a fixed generator: no empty string or array (zero bytes hash to 0, which
    // would hide every field before them from the hash).
    void fill(uint32_t t, void *inst, uint32_t start) {
        walk::Filler f{h, std::mt19937(start)};
        f.min_length = 1;
        f.fill(t, inst);
        EXPECT_EQ(f.err, 0u);
    }
    // Changes field i of inst (of type t) in memory: a value's lowest byte, the last byte of an
    // array, of a string (its length stays) or of the capacity of fixed text (mostly after its
    // terminator), a length alone one lower; records in their first field, lists in their last
    // element (the count stays; without, one is added).
    void change(uint32_t t, void *inst, uint32_t i) {
        const FieldDesc &d = kTypes[t].fields[i];
        uint8_t *p = static_cast<uint8_t *>(inst) + d.offset;
        const uint32_t r = static_cast<uint32_t>(d.ref);
        switch (d.kind) {
        case FieldKind::Record: change(r, p, 0); break;
        case FieldKind::List: {
            const std::vector<void *> elems = walk::elements(inst, d);
            if (elems.empty()) call<void>(walk::op(t, d, "set_last"), h, 1u, inst, walk::create(h, r), &err);
            else change(r, elems.back(), 0);
            break;
        }
        case FieldKind::String:
        case FieldKind::VarArray: walk::load<uint8_t *>(inst, d.offset)[walk::length_of(inst, d) - 1] ^= 1; break;
        case FieldKind::Text:
        case FieldKind::Array: p[d.width - 1] ^= 1; break;
        case FieldKind::Length: --p[0]; break; // filled lengths lie in 1..255
        case FieldKind::Enum: p[12] ^= 1; break; // the value after the enumeration's header
        default: p[0] ^= 1; // u8, u16, u32, boolean, interface handle
        }
    }
};

// For every field of every type: twins compare 0 and hash alike; after the field is changed in one
// of them they do not, in both directions, also when both instances are taken down to variant 0
// (the field may then lie above both their variants).  Fixed text counts over its whole capacity,
// after a terminator too, but not the byte kept after it.
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
            if (f.kind == FieldKind::Text) // the byte kept after the capacity for a terminator takes no part
                static_cast<uint8_t *>(b)[f.offset + f.width] = 'z';
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
        void *inst[2];
        for (int k = 0; k < 2; ++k) {
            inst[k] = xml[k] == "null" ? nullptr : walk::create(h, t);
            if (inst[k] == nullptr) continue;
            test::XmlDoc doc(xml[k]);
            char msg[64];
            walk::fn<void (*)(H, uint32_t, const char *, void *, void *, Err *, char *, uint32_t)>(walk::op(t, "from_xml"))(
                h, 1, ("/" + type).c_str(), doc.doc, inst[k], &err, msg, sizeof msg);
        }
        ASSERT_EQ(err, 0u);
        auto compare = walk::fn<Compare>(walk::op(t, "compare"));
        if (want == "<0") {
            EXPECT_LT(compare(inst[0], inst[1]), 0);
            EXPECT_GT(compare(inst[1], inst[0]), 0);
        } else {
            EXPECT_EQ(compare(inst[0], inst[1]), std::stoi(want));
            EXPECT_EQ(compare(inst[1], inst[0]), -std::stoi(want));
        }
        for (void *i : inst)
            if (i != nullptr) walk::destroy(h, t, i);
        ++cases;
    }
    EXPECT_GE(cases, 10u);
}

} // namespace
