#include "compat.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace drovdef::compat {

using schema::Field;
using schema::Kind;
using schema::Schema;
using schema::Type;

namespace {

enum RuleId {
    kNewType,
    kNewVariant,
    kFieldAppended,
    kValueAppended,
    kTypeRemoved,
    kTypeRenamed,
    kKindChanged,
    kFieldRemoved,
    kFieldRenamed,
    kFieldRetyped,
    kFieldMoved,
    kFieldInserted,
    kFieldAddedToVariant,
    kWidthChanged,
    kVariantRemoved,
    kVariantSizeChanged,
    kDigestChanged,
    kValueRemoved,
    kValueRenumbered,
};

const std::vector<Rule> kRules = {
    {"new-type", false, "a new type: old peers neither send nor expect it"},
    {"new-variant", false, "a new variant: older readers read the variants they know and skip the rest"},
    {"field-appended", false,
     "a field appended in a new variant: older readers skip it by the body length, newer readers "
     "of older messages keep its initial value"},
    {"value-appended", false, "an enumeration value added at the end: the other values keep their numbers"},
    {"type-removed", true, "a type removed: old peers still send and expect it"},
    {"type-renamed", true, "a type renamed: its name is its XML element and the prefix of its functions"},
    {"kind-changed", true, "a structure became an enumeration or the other way round"},
    {"field-removed", true, "a field removed: every later field moves, and old peers still send it"},
    {"field-renamed", true, "a field renamed: its name is its XML element and its accessors' name"},
    {"field-retyped", true, "a field's kind or type changed: its bytes mean something else"},
    {"field-moved", true,
     "a field moved to another variant or place: readers take its bytes for another field's"},
    {"field-inserted", true, "a field inserted before existing ones: every later field moves"},
    {"field-added-to-variant", true,
     "a field added to an existing variant: that variant's encoding changes under the peers that know it"},
    {"width-changed", true,
     "a length field's width, a text's capacity or an array's size changed: every later byte moves"},
    {"variant-removed", true, "a variant removed: peers that send it lose its fields"},
    {"variant-size-changed", true,
     "an existing variant's used length, base size or state area changed: peers lay it out differently"},
    {"digest-changed", true,
     "a digest changed without a new variant or value: the runtime knows a type by its digest"},
    {"value-removed", true, "an enumeration value removed or renamed: old peers still send it"},
    {"value-renumbered", true, "an enumeration value renumbered: its number on the wire means another value"},
};

std::string kind_word(const Field &f) {
    switch (f.kind) {
    case Kind::U8: return "u8";
    case Kind::U16: return "u16";
    case Kind::U32: return "u32";
    case Kind::Bool: return "bool";
    case Kind::IfHandle: return "ifh";
    case Kind::Enum: return "enum " + f.ref;
    case Kind::Record: return "record " + f.ref;
    case Kind::Length: return "length";
    case Kind::String: return "string";
    case Kind::Text: return "text";
    case Kind::Array: return "array";
    case Kind::VarArray: return "vararray";
    case Kind::List: return "list " + f.ref;
    }
    return {};
}

// What decides a field's bytes besides its kind: a string's length width,
// a text's capacity, an array's size.
std::string width_word(const Type &t, const Field &f) {
    switch (f.kind) {
    case Kind::String: return "u" + std::to_string(8 * t.field(f.length_field)->width) + " length";
    case Kind::Text: return "capacity " + std::to_string(f.width);
    case Kind::Array: return "size " + std::to_string(f.width);
    default: return {};
    }
}

// The fields with bytes of their own (a length field belongs to its string
// or array).
std::vector<const Field *> own_fields(const Type &t) {
    std::vector<const Field *> out;
    for (const Field &f : t.fields)
        if (f.kind != Kind::Length) out.push_back(&f);
    return out;
}

std::string sizes(const Type &t, std::size_t v) {
    return std::to_string(t.used[v]) + "/" + std::to_string(t.base[v]) + "/" + std::to_string(t.state[v]);
}

class Comparer {
public:
    explicit Comparer(std::vector<Verdict> &out) : out_(out) {}

    void add(RuleId r, std::string subject, std::string change) {
        out_.push_back({&kRules[r], std::move(subject), std::move(change)});
    }

    void structure(const Type &a, const Type &b) {
        const std::string &n = a.name;
        const std::vector<const Field *> fa = own_fields(a), fb = own_fields(b);
        auto in = [](const std::vector<const Field *> &v, const std::string &name) {
            return std::ranges::any_of(v, [&](const Field *f) { return f->name == name; });
        };
        // A field gone from one place and a new one of the same kind in the
        // same place is a rename.
        std::map<std::string, std::string> renamed; // old name -> new name
        for (std::size_t i = 0; i < fa.size() && i < fb.size(); ++i)
            if (!in(fb, fa[i]->name) && !in(fa, fb[i]->name) && kind_word(*fa[i]) == kind_word(*fb[i]) &&
                width_word(a, *fa[i]) == width_word(b, *fb[i]) && fa[i]->variant == fb[i]->variant)
                renamed[fa[i]->name] = fb[i]->name;
        std::set<std::string> rename_targets;
        for (const auto &[from, to] : renamed) rename_targets.insert(to);
        auto counterpart = [&](const Field *f) -> const Field * {
            auto r = renamed.find(f->name);
            return b.field(r != renamed.end() ? r->second : f->name);
        };

        // The fields both have, in old order and in new order; what the
        // longest run they share in order leaves out has moved.
        std::vector<std::string> common_a, common_b;
        for (const Field *f : fa)
            if (const Field *g = counterpart(f); g != nullptr && g->kind != Kind::Length) common_a.push_back(g->name);
        for (const Field *g : fb)
            if (std::ranges::find(common_a, g->name) != common_a.end()) common_b.push_back(g->name);
        const std::set<std::string> kept = longest_common(common_a, common_b);

        for (const Field *f : fa) {
            const std::string subject = n + "." + f->name;
            const Field *g = counterpart(f);
            if (g == nullptr || g->kind == Kind::Length) {
                add(kFieldRemoved, subject, "removed");
                continue;
            }
            if (g->name != f->name) add(kFieldRenamed, subject, "renamed to " + g->name);
            if (kind_word(*f) != kind_word(*g)) {
                add(kFieldRetyped, subject, kind_word(*f) + " -> " + kind_word(*g));
                continue;
            }
            if (width_word(a, *f) != width_word(b, *g))
                add(kWidthChanged, subject, width_word(a, *f) + " -> " + width_word(b, *g));
            if (f->variant != g->variant)
                add(kFieldMoved, subject,
                    "from variant " + std::to_string(f->variant) + " to " + std::to_string(g->variant));
            else if (!kept.contains(g->name))
                add(kFieldMoved, subject, "placed elsewhere among the fields");
        }

        // New fields: at the end in a new variant, at the end of a variant
        // old peers know, or before fields they already have.
        for (std::size_t i = 0; i < fb.size(); ++i) {
            const Field *g = fb[i];
            if (in(fa, g->name) || rename_targets.contains(g->name)) continue;
            const std::string subject = n + "." + g->name;
            const Field *before = nullptr;
            for (std::size_t j = i + 1; j < fb.size() && before == nullptr; ++j)
                if (in(fa, fb[j]->name) || rename_targets.contains(fb[j]->name)) before = fb[j];
            if (before != nullptr)
                add(kFieldInserted, subject, "inserted before " + before->name);
            else if (g->variant >= a.variants())
                add(kFieldAppended, subject, "appended in new variant " + std::to_string(g->variant));
            else
                add(kFieldAddedToVariant, subject, "added to variant " + std::to_string(g->variant));
        }

        // Variants: the ones both know keep their sizes; new ones are
        // compatible (with their fields judged above).
        const int shared = std::min(a.variants(), b.variants());
        for (int v = 0; v < shared; ++v)
            if (a.used[v] != b.used[v] || a.base[v] != b.base[v] || a.state[v] != b.state[v])
                add(kVariantSizeChanged, n,
                    "variant " + std::to_string(v) + " used/base/state " + sizes(a, v) + " -> " + sizes(b, v));
        for (int v = shared; v < a.variants(); ++v) add(kVariantRemoved, n, "variant " + std::to_string(v) + " removed");
        for (int v = shared; v < b.variants(); ++v)
            if (std::ranges::none_of(fb, [&](const Field *g) { return g->variant == v; }))
                add(kNewVariant, n, "new variant " + std::to_string(v) + " without fields");
        if ((a.digest != b.digest || a.digest2 != b.digest2) && b.variants() <= a.variants())
            add(kDigestChanged, n, "digest changed without a new variant");
    }

    // Values travel as their number less the type's internal-from, and
    // XML and print show their names.
    void enumeration(const Type &a, const Type &b) {
        const std::string &n = a.name;
        auto wire_of = [](const Type &t, const std::string &name) -> std::optional<std::uint32_t> {
            for (const auto &[v, num] : t.values)
                if (v == name) return num - t.internal_from;
            return std::nullopt;
        };
        auto name_at = [](const Type &t, std::uint32_t wire) -> const std::string * {
            for (const auto &[v, num] : t.values)
                if (num - t.internal_from == wire) return &v;
            return nullptr;
        };
        bool changed = false;
        for (const auto &[v, num] : a.values) {
            const std::uint32_t was = num - a.internal_from;
            const std::optional<std::uint32_t> now = wire_of(b, v);
            if (!now) {
                const std::string *other = name_at(b, was);
                add(kValueRemoved, n + "." + v,
                    other != nullptr && !wire_of(a, *other) ? "renamed to " + *other : "removed");
                changed = true;
            } else if (*now != was) {
                add(kValueRenumbered, n + "." + v,
                    "number on the wire " + std::to_string(was) + " -> " + std::to_string(*now));
                changed = true;
            }
        }
        const std::uint32_t last = a.values.back().second - a.internal_from;
        bool appended = false;
        for (const auto &[v, num] : b.values) {
            const std::uint32_t wire = num - b.internal_from;
            if (wire_of(a, v) || wire <= last) continue; // renamed or renumbered: reported above
            add(kValueAppended, n + "." + v, "added as " + std::to_string(num));
            appended = true;
        }
        if ((a.digest != b.digest || a.digest2 != b.digest2) && !appended && !changed)
            add(kDigestChanged, n, "digest changed without a new value");
    }

private:
    // The names of the longest subsequence a and b share, in order.
    static std::set<std::string> longest_common(const std::vector<std::string> &a, const std::vector<std::string> &b) {
        std::vector<std::vector<std::size_t>> L(a.size() + 1, std::vector<std::size_t>(b.size() + 1, 0));
        for (std::size_t i = a.size(); i-- > 0;)
            for (std::size_t j = b.size(); j-- > 0;)
                L[i][j] = a[i] == b[j] ? L[i + 1][j + 1] + 1 : std::max(L[i + 1][j], L[i][j + 1]);
        std::set<std::string> out;
        for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
            if (a[i] == b[j]) {
                out.insert(a[i]);
                ++i, ++j;
            } else if (L[i + 1][j] >= L[i][j + 1]) {
                ++i;
            } else {
                ++j;
            }
        }
        return out;
    }

    std::vector<Verdict> &out_;
};

} // namespace

const std::vector<Rule> &rules() {
    return kRules;
}

std::vector<Verdict> compare(const Schema &old_schema, const Schema &new_schema) {
    std::vector<Verdict> out;
    Comparer c(out);
    std::set<std::string> matched; // new types that are old ones
    for (const Type &a : old_schema.types) {
        const Type *b = new_schema.find(a.name);
        if (b == nullptr) {
            // The same digest under another name is the type renamed.
            const auto it = std::ranges::find_if(new_schema.types, [&](const Type &t) {
                return t.digest == a.digest && old_schema.find(t.name) == nullptr;
            });
            if (it != new_schema.types.end()) {
                c.add(kTypeRenamed, a.name, "renamed to " + it->name);
                matched.insert(it->name);
            } else {
                c.add(kTypeRemoved, a.name, "removed");
            }
            continue;
        }
        matched.insert(b->name);
        if (a.is_enum != b->is_enum)
            c.add(kKindChanged, a.name, a.is_enum ? "enumeration -> structure" : "structure -> enumeration");
        else if (a.is_enum)
            c.enumeration(a, *b);
        else
            c.structure(a, *b);
    }
    for (const Type &b : new_schema.types)
        if (!matched.contains(b.name))
            c.add(kNewType, b.name, std::string("new ") + (b.is_enum ? "enumeration" : "structure"));
    return out;
}

std::string line(const Verdict &v) {
    return std::string(v.rule->breaking ? "breaking    " : "compatible  ") + v.subject + ": " + v.change + " [" +
           v.rule->name + "]";
}

} // namespace drovdef::compat
