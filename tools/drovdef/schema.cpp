#include "schema.h"

#include "elf_file.h" // drovdef::Error

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <set>
#include <sstream>

// The schema text the build compiles in (schema_text.cpp, generated).
extern "C" const char drovdef_schema_text[];
extern "C" const std::size_t drovdef_schema_size;

namespace drovdef::schema {

const Field *Type::field(std::string_view n) const {
    for (const Field &f : fields)
        if (f.name == n) return &f;
    return nullptr;
}

const Type *Schema::find(std::string_view n) const {
    for (const Type &t : types)
        if (t.name == n) return &t;
    return nullptr;
}

std::uint64_t length_max(std::uint32_t width) {
    return width == 1 ? 255 : width == 2 ? 65535 : 4294967294u;
}

namespace {

class Reader {
public:
    Reader(std::string_view text, const std::string &source) : text_(text), source_(source) {}

    Schema run() {
        Schema s;
        s.source = source_;
        std::size_t pos = 0;
        while (pos < text_.size()) {
            std::size_t end = text_.find('\n', pos);
            if (end == std::string_view::npos) end = text_.size();
            ++line_;
            statement(s, text_.substr(pos, end - pos));
            pos = end + 1;
        }
        finish(s);
        return s;
    }

private:
    [[noreturn]] void fail(const std::string &msg, int line = 0) const {
        throw Error(source_ + ":" + std::to_string(line != 0 ? line : line_) + ": " + msg);
    }

    static std::vector<std::string_view> words(std::string_view s) {
        std::vector<std::string_view> w;
        std::size_t i = 0;
        while (i < s.size()) {
            while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) ++i;
            std::size_t j = i;
            while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != '\r') ++j;
            if (j > i) w.push_back(s.substr(i, j - i));
            i = j;
        }
        return w;
    }

    std::uint32_t number(std::string_view w, std::uint32_t max = UINT32_MAX) const {
        std::uint32_t v = 0;
        const auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
        if (ec != std::errc() || p != w.data() + w.size() || v > max)
            fail("expected a number" + (max != UINT32_MAX ? " up to " + std::to_string(max) : "") +
                 ", got '" + std::string(w) + "'");
        return v;
    }

    std::string digest(std::string_view w) const {
        if (w.size() != 32 || w.find_first_not_of("0123456789abcdef") != std::string_view::npos)
            fail("expected 32 lower-case hex digits, got '" + std::string(w) + "'");
        return std::string(w);
    }

    void statement(Schema &s, std::string_view raw) {
        std::vector<std::string_view> w = words(raw);
        // The catalogue's statements carry quoted texts, where '#' is no
        // comment; the tool needs none of them.
        if (!w.empty() && (w[0] == "trace" || w[0] == "family" || w[0] == "point")) return;
        w = words(raw.substr(0, raw.find('#')));
        if (w.empty()) return;
        const std::string_view key = w[0];
        if (key == "module" || key == "trace-name" || key == "trace-uuid" || key == "luid-base" ||
            key == "decoder" || key == "catalogue-size")
            return;
        // "enum NAME ENUMTYPE" is a field; a type statement has two digests.
        if (key == "struct" || (key == "enum" && w.size() == 4)) {
            if (w.size() != 4) fail(std::string(key) + " NAME DIGEST DIGEST2");
            Type t;
            t.name = w[1];
            t.is_enum = key == "enum";
            t.digest = digest(w[2]);
            t.digest2 = digest(w[3]);
            t.line = line_;
            s.types.push_back(std::move(t));
            variant_ = 0;
            return;
        }
        if (s.types.empty()) fail("'" + std::string(key) + "' outside a type");
        Type &t = s.types.back();
        if (t.is_enum) {
            if (key == "internal-from" && w.size() == 2) {
                t.internal_from = number(w[1]);
            } else if (w.size() == 2) {
                t.values.emplace_back(std::string(w[0]), number(w[1]));
            } else {
                fail("an enumeration value is NAME NUMBER");
            }
            return;
        }
        if (key == "used" || key == "base" || key == "state") {
            std::vector<std::uint32_t> *sect = nullptr;
            for (std::string_view word : w) {
                if (word == "used") sect = &t.used;
                else if (word == "base") sect = &t.base;
                else if (word == "state") sect = &t.state;
                else sect->push_back(number(word));
            }
            return;
        }
        if (key == "variant") {
            if (w.size() != 2) fail("variant K");
            const int v = static_cast<int>(number(w[1], 127));
            if (v < variant_) fail("variant " + std::to_string(v) + " after variant " + std::to_string(variant_));
            variant_ = v;
            return;
        }
        field(t, w);
    }

    void field(Type &t, const std::vector<std::string_view> &w) {
        const std::string_view kind = w[0];
        Field f;
        f.variant = variant_;
        f.line = line_;
        auto add = [&](Field g) {
            if (t.field(g.name) != nullptr) fail(t.name + " has two fields named " + g.name);
            t.fields.push_back(std::move(g));
        };
        auto need = [&](std::size_t n, const char *form) {
            if (w.size() != n) fail(std::string("expected '") + form + "'");
        };
        static const std::map<std::string_view, Kind, std::less<>> kScalars = {
            {"u8", Kind::U8}, {"u16", Kind::U16}, {"u32", Kind::U32}, {"bool", Kind::Bool}, {"ifh", Kind::IfHandle}};
        static const std::map<std::string_view, std::uint32_t, std::less<>> kWidths = {{"u8", 1}, {"u16", 2}, {"u32", 4}};
        if (w.size() < 2) fail("cannot read field '" + std::string(kind) + "'");
        f.name = w[1];
        if (auto k = kScalars.find(kind); k != kScalars.end()) {
            need(2, "KIND NAME");
            f.kind = k->second;
            add(f);
        } else if (kind == "enum" || kind == "record" || kind == "list") {
            need(3, "enum|record|list NAME TYPE");
            f.kind = kind == "enum" ? Kind::Enum : kind == "record" ? Kind::Record : Kind::List;
            f.ref = w[2];
            add(f);
        } else if (kind == "string") {
            Field len = f;
            len.kind = Kind::Length;
            len.length_of = f.name;
            f.kind = Kind::String;
            if (w.size() == 3 && w[2] == "item") {
                len.name = f.name + "_length";
                len.width = 4;
            } else if (w.size() == 5 && w[2] == "field" && kWidths.contains(w[3])) {
                len.name = w[4];
                len.width = kWidths.find(w[3])->second;
            } else {
                fail("expected 'string NAME item' or 'string NAME field u8|u16|u32 LENNAME'");
            }
            f.length_field = len.name;
            add(len);
            add(f);
        } else if (kind == "text") {
            need(3, "text NAME N");
            f.kind = Kind::Text;
            f.width = number(w[2], 65535);
            if (f.width == 0) fail("a text holds at least one character");
            add(f);
        } else if (kind == "array") {
            need(4, "array NAME u8 N");
            if (w[2] != "u8") fail("arrays are of u8");
            f.kind = Kind::Array;
            f.width = number(w[3], 65535);
            if (f.width == 0) fail("an array holds at least one element");
            add(f);
        } else if (kind == "vararray") {
            need(5, "vararray NAME u8 count LENNAME");
            if (w[2] != "u8" || w[3] != "count") fail("expected 'vararray NAME u8 count LENNAME'");
            Field len = f;
            len.kind = Kind::Length;
            len.name = w[4];
            len.width = 4;
            len.length_of = f.name;
            f.kind = Kind::VarArray;
            f.length_field = len.name;
            add(len);
            add(f);
        } else {
            fail("cannot read field '" + std::string(kind) + " " + std::string(w[1]) + "'");
        }
    }

    void finish(Schema &s) const {
        std::set<std::string> names;
        for (const Type &t : s.types)
            if (!names.insert(t.name).second) fail("two types named " + t.name, t.line);
        for (const Type &t : s.types) {
            if (t.is_enum) {
                if (t.values.empty()) fail(t.name + " has no values", t.line);
                for (std::size_t i = 0; i < t.values.size(); ++i)
                    if (t.values[i].second != t.internal_from + i)
                        fail(t.name + " values must be numbered densely from " + std::to_string(t.internal_from),
                             t.line);
                continue;
            }
            if (t.used.empty() || t.used.size() != t.base.size() || t.used.size() != t.state.size())
                fail(t.name + " needs one used length, base size and state-area size per variant", t.line);
            for (const Field &f : t.fields) {
                if (f.variant >= t.variants())
                    fail(t.name + "." + f.name + " is in variant " + std::to_string(f.variant) + ", but " +
                             t.name + " has " + std::to_string(t.variants()),
                         f.line);
                if (f.ref.empty()) continue;
                const Type *r = s.find(f.ref);
                if (r == nullptr) fail(t.name + "." + f.name + " names unknown type " + f.ref, f.line);
                if (r->is_enum != (f.kind == Kind::Enum))
                    fail(t.name + "." + f.name + ": " + f.ref + " is " +
                             (r->is_enum ? "an enumeration" : "a structure"),
                         f.line);
            }
        }
        // Records nest by value: a cycle would have no end.
        std::map<std::string, int> state; // 1 on the path, 2 done
        std::function<void(const Type &)> visit = [&](const Type &t) {
            state[t.name] = 1;
            for (const Field &f : t.fields) {
                if (f.kind != Kind::Record) continue;
                const int st = state[f.ref];
                if (st == 1) fail(t.name + " contains itself through " + t.name + "." + f.name, f.line);
                if (st == 0) visit(*s.find(f.ref));
            }
            state[t.name] = 2;
        };
        for (const Type &t : s.types)
            if (!t.is_enum && state[t.name] == 0) visit(t);
    }

    std::string_view text_;
    const std::string &source_;
    int line_ = 0;
    int variant_ = 0;
};

} // namespace

Schema parse(std::string_view text, const std::string &source) {
    return Reader(text, source).run();
}

const Schema &builtin() {
    static const Schema s = parse(std::string_view(drovdef_schema_text, drovdef_schema_size), "drov_def.schema");
    return s;
}

std::uint32_t memory_width(const Schema &s, const Field &f) {
    switch (f.kind) {
    case Kind::U8: return 1;
    case Kind::U16: return 2;
    case Kind::U32: return 4;
    case Kind::Length: return f.width;
    case Kind::Bool:
    case Kind::IfHandle: return 4;
    case Kind::Enum: return 16;
    case Kind::Record: return s.find(f.ref)->base.back();
    case Kind::String:
    case Kind::VarArray: return 8;
    case Kind::Text: return f.width + 1;
    case Kind::Array: return f.width;
    case Kind::List: return 28;
    }
    return 0;
}

std::string kind_text(const Field &f) {
    switch (f.kind) {
    case Kind::U8: return "u8";
    case Kind::U16: return "u16";
    case Kind::U32: return "u32";
    case Kind::Bool: return "boolean";
    case Kind::IfHandle: return "interface handle";
    case Kind::Enum: return "enumeration " + f.ref;
    case Kind::Record: return "nested " + f.ref;
    case Kind::Length: return "length of " + f.length_of + " (u" + std::to_string(8 * f.width) + ")";
    case Kind::String: return "string";
    case Kind::Text: return "char[" + std::to_string(f.width) + "] text";
    case Kind::Array: return "u8[" + std::to_string(f.width) + "]";
    case Kind::VarArray: return "variable array";
    case Kind::List: return "list of " + f.ref;
    }
    return {};
}

std::string limits_text(const Schema &s, const Type &t, const Field &f) {
    switch (f.kind) {
    case Kind::U8:
    case Kind::U16:
    case Kind::U32: return "0 to " + std::to_string((std::uint64_t{1} << (8 * memory_width(s, f))) - 1);
    case Kind::Bool: return "false, true";
    case Kind::Enum: {
        const Type *e = s.find(f.ref);
        return e->values.front().first + " to " + e->values.back().first;
    }
    case Kind::String: return "up to " + std::to_string(length_max(t.field(f.length_field)->width)) + " bytes";
    case Kind::Text: return "up to " + std::to_string(f.width) + " characters";
    case Kind::Array: return std::to_string(f.width) + " bytes";
    case Kind::VarArray: return "up to " + std::to_string(length_max(4)) + " bytes";
    case Kind::List: return "any number of elements";
    case Kind::Length: return "set by its string's or array's setter";
    case Kind::IfHandle:
    case Kind::Record: return "";
    }
    return {};
}

} // namespace drovdef::schema
