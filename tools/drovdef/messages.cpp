#include "messages.h"

#include "catalogue.h" // quote
#include "cli.h"
#include "compat.h"
#include "elf_file.h" // Error
#include "schema.h"
#include "wire_walk.h"

#include "drov_def/drov_def.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace drovdef::messages {

namespace {

using schema::Type;

// ---- Command lines -------------------------------------------------------------------

struct Options {
    std::vector<std::string> args; // TYPE and files
    bool hex = false;
    bool xml = false;
    std::optional<std::string> path;
    std::vector<std::pair<std::string, int>> domains; // --variant-domain TYPE=N
};

struct Command {
    const char *name;
    std::size_t min_args, max_args;
    const char *options; // the options it takes, by letter: h(ex) x(ml) p(ath) v(ariant-domain)
    const char *usage;
};

const Command kCommands[] = {
    {"decode", 1, 2, "hxv", "decode TYPE [FILE|-] [--hex] [--xml] [--variant-domain TYPE=N]..."},
    {"encode", 1, 2, "hpv", "encode TYPE [FILE.xml|-] [--hex] [--path PATH] [--variant-domain TYPE=N]..."},
    {"diff", 3, 3, "hv", "diff TYPE A B [--hex] [--variant-domain TYPE=N]..."},
    {"fields", 1, 1, "", "fields TYPE"},
    {"compat", 2, 2, "", "compat OLD.schema NEW.schema"},
};

const Command &command(std::string_view name) {
    for (const Command &c : kCommands)
        if (name == c.name) return c;
    throw UsageError{"unknown command '" + std::string(name) + "'"};
}

int variant_number(const std::string &cmd, const std::string &text) {
    int v = -1;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || v < 0 || v > 127 || text.empty() ||
        text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{cmd + ": bad variant '" + text + "' (0 to 127)"};
    return v;
}

Options parse_options(const Command &c, const std::vector<std::string> &args) {
    Options o;
    const std::string cmd = c.name;
    auto takes = [&](char letter, const std::string &opt) {
        if (std::strchr(c.options, letter) == nullptr) throw UsageError{cmd + ": unknown option '" + opt + "'"};
    };
    bool options_end = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (options_end || a == "-" || !a.starts_with("-")) {
            o.args.push_back(a);
            continue;
        }
        if (a == "--") {
            options_end = true;
            continue;
        }
        // --opt VALUE or --opt=VALUE
        const std::size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        auto value = [&]() -> std::string {
            if (eq != std::string::npos) return a.substr(eq + 1);
            if (i + 1 >= args.size()) throw UsageError{cmd + ": " + name + " needs a value"};
            return args[++i];
        };
        if (name == "--hex" && eq == std::string::npos) {
            takes('h', a);
            o.hex = true;
        } else if (name == "--xml" && eq == std::string::npos) {
            takes('x', a);
            o.xml = true;
        } else if (name == "--path") {
            takes('p', a);
            o.path = value();
            if (o.path->empty() || o.path->find('\0') != std::string::npos)
                throw UsageError{cmd + ": bad path '" + *o.path + "'"};
        } else if (name == "--variant-domain") {
            takes('v', a);
            const std::string v = value();
            const std::size_t at = v.find('=');
            if (at == std::string::npos) throw UsageError{cmd + ": --variant-domain takes TYPE=N, not '" + v + "'"};
            const std::string type = v.substr(0, at);
            if (schema::builtin().find(type) == nullptr)
                throw UsageError{cmd + ": unknown type '" + type + "' in --variant-domain"};
            o.domains.emplace_back(type, variant_number(cmd, v.substr(at + 1)));
        } else {
            throw UsageError{cmd + ": unknown option '" + a + "'"};
        }
    }
    if (o.args.size() < c.min_args) throw UsageError{cmd + ": missing arguments; usage: drovdef " + c.usage};
    if (o.args.size() > c.max_args)
        throw UsageError{cmd + ": unexpected argument '" + o.args[c.max_args] + "'"};
    return o;
}

// The structure type a command names.
const Type &structure_type(const std::string &cmd, const std::string &name) {
    const Type *t = schema::builtin().find(name);
    if (t == nullptr) throw UsageError{cmd + ": unknown type '" + name + "'"};
    if (t->is_enum) throw UsageError{cmd + ": " + name + " is an enumeration; " + cmd + " takes a structure type"};
    return *t;
}

// f(std::type_identity<C>{}) for the class of the named structure.
template <class F> void with_class(const Type &t, F &&f) {
    bool found = false;
    drov::meta::for_each_struct([&](auto type) {
        using C = typename decltype(type)::type;
        if (!found && C::type_name == t.name) {
            found = true;
            f(type);
        }
    });
    if (!found) throw Error(t.name + ": the library has no such type");
}

// ---- Input -----------------------------------------------------------------------------

struct Input {
    std::string name; // as errors show it
    std::string data;
};

// A file, or standard input for "-" (and when none is named).
Input read_input(const std::string &path) {
    Input in{path == "-" ? "stdin" : path, {}};
    std::FILE *f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw Error(in.name + ": " + std::strerror(errno));
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (in.data.size() + n > INT32_MAX) {
            if (f != stdin) std::fclose(f);
            throw Error(in.name + ": more than 2147483647 bytes");
        }
        in.data.append(buf, n);
    }
    const bool failed = std::ferror(f) != 0;
    const int e = errno;
    if (f != stdin) std::fclose(f);
    if (failed) throw Error(in.name + ": " + std::strerror(e));
    return in;
}

std::vector<std::uint8_t> message_bytes(const Input &in, bool hex) {
    if (!hex) return {in.data.begin(), in.data.end()};
    try {
        return parse_hex(in.data);
    } catch (const Error &e) {
        throw Error(in.name + ":" + e.what());
    }
}

std::string hex2(unsigned v) {
    const char *d = "0123456789abcdef";
    return {d[(v >> 4) & 15], d[v & 15]};
}

// ---- Decoding --------------------------------------------------------------------------

// The highest variant of each type the reader knows: the library's, or
// less by --variant-domain.
std::function<int(const Type &)> reader_variants(const Options &o) {
    return [&o](const Type &t) {
        int v = t.variants() - 1;
        for (const auto &[name, n] : o.domains)
            if (name == t.name) v = std::min(v, n);
        return v;
    };
}

void set_domains(drov::Handle &h, const Options &o) {
    for (const auto &[name, n] : o.domains) h.variant(name.c_str(), n);
}

std::string num(std::uint64_t v) {
    return std::to_string(v);
}

std::string subject_of(const wire::Segment &p) {
    return p.path.empty() ? p.type->name : p.path + " (" + p.type->name + ")";
}

// A message decoded into a fresh instance, with the handle it was made
// through and the map of its bytes.
template <class C> struct Decoded {
    drov::Handle handle;
    C inst;
    wire::Walk walk;
    std::uint32_t count = 0;
    std::string report;
};

// Decodes bytes as a C, the way a peer that knows the variants
// --variant-domain leaves it would: an encoding of a newer variant is read
// as the newest the reader knows and the rest of its body skipped.  The
// library does the decoding; the walk says where things are, and the
// variant bytes of the structures the reader knows less of are lowered to what
// it knows (which is all an older library does differently).  Throws
// Error, one line, for a failed decoding, a cut message, bytes no writer
// produces and bytes after the message.
template <class C>
std::unique_ptr<Decoded<C>> decode_message(const std::vector<std::uint8_t> &bytes, const std::string &name,
                                           const Options &o, const Type &t, bool track) {
    auto d = std::make_unique<Decoded<C>>();
    if (track) d->handle.track_state();
    set_domains(d->handle, o);
    d->walk = wire::walk(d->handle.get(), schema::builtin(), t, bytes, reader_variants(o));
    std::vector<std::uint8_t> patched = bytes;
    for (const wire::Segment &p : d->walk.segments)
        if (p.read >= 0 && p.written > p.read) patched[p.at] = static_cast<std::uint8_t>(p.read);
    patched.push_back(0); // a buffer even when the message is empty (its length says 0)

    d->inst = C(d->handle);
    using Tr = drov::detail::Traits<typename C::c_type>;
    std::uint32_t err = 0;
    const drov::Context ctx = d->handle;
    d->count = Tr::unmarshal(ctx.handle, ctx.id, patched.data(), d->inst.c_ptr(), static_cast<std::int32_t>(bytes.size()),
                             0, &err);
    const std::uint64_t n = bytes.size();
    const std::string subject = name + ": " + t.name;
    auto place = [](const std::optional<wire::Place> &p) {
        return p ? " at offset " + num(p->at) + " in " + p->where : std::string();
    };
    if (err != 0) {
        const std::optional<wire::Place> &f = d->walk.failure;
        throw Error(subject + ": decoding failed" + place(f) + ": " + drov_def_strerror(err) +
                    (f ? " (" + f->what + ")" : ""));
    }
    if (d->count > n) {
        const std::optional<wire::Place> &r = d->walk.ran_out;
        throw Error(subject + ": message cut short: it claims " + num(d->count) + " bytes, " + num(n) + " given" +
                    (r ? "; decoding stopped" + place(r) + " (" + r->what + ")" : ""));
    }
    if (!d->walk.odd.empty()) {
        const wire::Place &p = d->walk.odd.front();
        throw Error(subject + ": malformed at offset " + num(p.at) + " in " + p.where + ": " + p.what);
    }
    if (d->count < n)
        throw Error(subject + ": " + num(n - d->count) + (n - d->count == 1 ? " byte follows" : " bytes follow") +
                    " the message, from offset " + num(d->count));

    const wire::Segment &top = d->walk.segments.front();
    std::string &r = d->report;
    r += "decoded " + t.name + " variant " + std::to_string(d->inst.variant()) + " (written " +
         std::to_string(top.written) + "): " + num(d->count) + " of " + num(n) + " bytes" +
         ((top.flags & 0x08) != 0 ? ", with state flags" : "") + "\n";
    for (const wire::Segment &p : d->walk.segments) {
        if (!p.has_body_length || p.body_end <= p.fields_end) continue;
        r += "offset jump at " + num(p.fields_end) + ": " + num(p.body_end - p.fields_end) + " bytes skipped to " +
             num(p.body_end) + " (" + subject_of(p) +
             (p.written > p.read ? " written in variant " + std::to_string(p.written) + ", read as " +
                                       std::to_string(p.read)
                                 : ": bytes past the fields of variant " + std::to_string(p.written)) +
             ")\n";
    }
    if (d->walk.end != d->count || d->walk.err != err)
        r += "note: the tool's map of the encoding ends at " + num(d->walk.end) + ", the library's decoding at " +
             num(d->count) + "\n";
    return d;
}

template <class C> Outcome decode_as(const Options &o, const Type &t) {
    const Input in = read_input(o.args.size() > 1 ? o.args[1] : "-");
    const std::vector<std::uint8_t> bytes = message_bytes(in, o.hex);
    const bool track = bytes.size() > 1 && (bytes[1] & 0x08) != 0;
    auto d = decode_message<C>(bytes, in.name, o, t, track);
    Outcome out;
    out.out = o.xml ? d->inst.to_xml() + "\n" : d->inst.to_text();
    out.report = std::move(d->report);
    return out;
}

// ---- Encoding --------------------------------------------------------------------------

// An encoding as a hex dump decode --hex reads back: a line per header,
// field value and skipped run (16 bytes a line at most), each labelled.
std::string hex_dump(const std::vector<std::uint8_t> &bytes, const Type &t, const wire::Walk &walk) {
    std::string out = "# " + t.name + ", " + num(bytes.size()) + " bytes\n";
    std::vector<wire::Place> marks = walk.marks;
    // A mark at the offset of the next one labels no bytes.
    std::vector<wire::Place> kept;
    for (std::size_t i = 0; i < marks.size(); ++i)
        if (i + 1 == marks.size() || marks[i + 1].at > marks[i].at) kept.push_back(marks[i]);
    if (kept.empty() || kept.front().at != 0) kept.insert(kept.begin(), wire::Place{0, "", ""});
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const std::uint64_t end = i + 1 < kept.size() ? kept[i + 1].at : bytes.size();
        for (std::uint64_t row = kept[i].at; row < end; row += 16) {
            std::string line;
            for (std::uint64_t k = row; k < end && k < row + 16; ++k) line += (k > row ? " " : "") + hex2(bytes[k]);
            if (row == kept[i].at && !kept[i].where.empty()) {
                line.resize(48, ' ');
                line += "# " + kept[i].where + (kept[i].what.empty() ? "" : ": " + kept[i].what);
            }
            out += line + "\n";
        }
    }
    return out;
}

template <class C> Outcome encode_as(const Options &o, const Type &t) {
    const Input in = read_input(o.args.size() > 1 ? o.args[1] : "-");
    drov::Handle h;
    set_domains(h, o);
    // The C calls, for the reader's own account of a failure.
    void *doc = nullptr;
    if (const std::uint32_t rc = drov_def_runtime_xml_read(in.data.data(), in.data.size(), &doc); rc != 0)
        throw Error(in.name + ": " + (rc == DROV_DEF_ENOMEM ? "out of memory" : "not a well-formed XML document"));
    const std::unique_ptr<void, void (*)(void *)> free_doc(doc, drov_def_runtime_xml_free);
    const std::string path = o.path.value_or("/" + t.name);
    C inst(h);
    using Tr = drov::detail::Traits<typename C::c_type>;
    char msg[320] = "";
    std::uint32_t err = 0;
    const drov::Context ctx = h;
    Tr::from_xml(ctx.handle, ctx.id, path.c_str(), doc, inst.c_ptr(), &err, msg, sizeof msg);
    if (err == DROV_DEF_ENOENT) throw Error(in.name + ": no element " + path);
    // A value a reader refused names its element.
    if (constexpr std::string_view kFailed = "Failed xpath: "; err == DROV_DEF_EINVAL && std::string_view(msg).starts_with(kFailed))
        throw Error(in.name + ": " + std::string(msg + kFailed.size()) + ": not a value of its field");
    if (err != 0)
        throw Error(in.name + ": " + path + ": " + drov_def_strerror(err) + (msg[0] != '\0' ? std::string(" (") + msg + ")" : ""));
    std::vector<std::byte> wire = inst.encode();
    Outcome out;
    if (!o.hex) {
        out.out.assign(reinterpret_cast<const char *>(wire.data()), wire.size());
        return out;
    }
    std::vector<std::uint8_t> bytes(wire.size());
    std::memcpy(bytes.data(), wire.data(), wire.size());
    out.out = hex_dump(bytes, t, wire::walk(h.get(), schema::builtin(), t, bytes, reader_variants(o)));
    return out;
}

// ---- Differences -----------------------------------------------------------------------

using drov::meta::Kind;

const std::string kAbsent = "(absent)";

std::string bytes_text(std::span<const std::uint8_t> b) {
    if (b.empty()) return "(empty)";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) s += (i > 0 ? ":" : "") + hex2(b[i]);
    return s;
}

template <class F, class O> std::string value_text(const O &o) {
    if constexpr (F::kind == Kind::U8 || F::kind == Kind::U16 || F::kind == Kind::U32) {
        return std::to_string(F::get(o));
    } else if constexpr (F::kind == Kind::Bool) {
        return F::get(o) ? "true" : "false";
    } else if constexpr (F::kind == Kind::IfHandle) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%08x", static_cast<unsigned>(F::get(o)));
        return b;
    } else if constexpr (F::kind == Kind::Enum) {
        const auto v = F::get(o);
        const std::string_view s = drov::to_string(v);
        return s.empty() ? std::to_string(static_cast<std::uint32_t>(v)) : std::string(s);
    } else if constexpr (F::kind == Kind::String || F::kind == Kind::Text) {
        return quote(F::get(o));
    } else {
        const auto b = F::get(o);
        return bytes_text(std::span<const std::uint8_t>(b.data(), b.size()));
    }
}

std::string join(const std::string &prefix, std::string_view name) {
    return prefix.empty() ? std::string(name) : prefix + "." + std::string(name);
}

struct Differ {
    bool flags; // compare state flags too
    std::string out;

    void line(const std::string &path, const std::string &a, const std::string &b) {
        if (a != b) out += path + ": " + a + " -> " + b + "\n";
    }

    // Two instances of one type, either possibly missing (a list element
    // only one side has).
    template <class V> void record(const V *a, const V *b, const std::string &prefix) {
        if (a != nullptr && b != nullptr)
            line(join(prefix, "variant"), std::to_string(a->variant()), std::to_string(b->variant()));
        drov::meta::Type<typename V::Owner>::fields([&](auto f) {
            using F = decltype(f);
            if constexpr (F::kind != Kind::Length) {
                const bool ha = a != nullptr && a->variant() >= F::variant;
                const bool hb = b != nullptr && b->variant() >= F::variant;
                if (!ha && !hb) return;
                const std::string path = join(prefix, F::field);
                if constexpr (F::kind == Kind::Record) {
                    using R = typename F::type::CRef;
                    std::optional<R> ra, rb;
                    if (ha) ra.emplace(F::get(*a));
                    if (hb) rb.emplace(F::get(*b));
                    record<R>(ra ? &*ra : nullptr, rb ? &*rb : nullptr, path);
                } else if constexpr (F::kind == Kind::List) {
                    using E = typename F::element::CRef;
                    std::vector<E> ea, eb;
                    if (ha)
                        for (E e : F::get(*a)) ea.push_back(e);
                    if (hb)
                        for (E e : F::get(*b)) eb.push_back(e);
                    line(path + ".count", ha ? std::to_string(ea.size()) : kAbsent,
                         hb ? std::to_string(eb.size()) : kAbsent);
                    for (std::size_t i = 0; i < std::max(ea.size(), eb.size()); ++i)
                        record<E>(i < ea.size() ? &ea[i] : nullptr, i < eb.size() ? &eb[i] : nullptr,
                                  path + "[" + std::to_string(i) + "]");
                } else {
                    line(path, ha ? value_text<F>(*a) : kAbsent, hb ? value_text<F>(*b) : kAbsent);
                }
                if (flags)
                    line(path + ".flag", ha ? std::to_string(F::flag(*a)) : kAbsent,
                         hb ? std::to_string(F::flag(*b)) : kAbsent);
            }
        });
    }
};

template <class C> Outcome diff_as(const Options &o, const Type &t) {
    const Input ia = read_input(o.args[1]), ib = read_input(o.args[2]);
    const std::vector<std::uint8_t> a = message_bytes(ia, o.hex), b = message_bytes(ib, o.hex);
    // Both with state flags when either carries them.
    const bool track = (a.size() > 1 && (a[1] & 0x08) != 0) || (b.size() > 1 && (b[1] & 0x08) != 0);
    auto da = decode_message<C>(a, ia.name, o, t, track);
    auto db = decode_message<C>(b, ib.name, o, t, track);
    Differ d{track, {}};
    const typename C::CRef ra = da->inst.ref(), rb = db->inst.ref();
    d.record(&ra, &rb, "");
    Outcome out;
    out.status = d.out.empty() ? 0 : 1;
    out.out = std::move(d.out);
    return out;
}

// ---- Fields ----------------------------------------------------------------------------

// Rows of cells as columns two blanks apart.
std::string table(const std::vector<std::vector<std::string>> &rows) {
    std::vector<std::size_t> width;
    for (const auto &r : rows)
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    std::string out;
    for (const auto &r : rows) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size()) line.append(width[i] - r[i].size() + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

Outcome fields(const Options &o) {
    const schema::Schema &s = schema::builtin();
    const Type *t = s.find(o.args[0]);
    if (t == nullptr) throw UsageError{"fields: unknown type '" + o.args[0] + "'"};
    Outcome out;
    out.out = t->name + ": " + (t->is_enum ? "enumeration" : "structure") + ", digest " + t->digest + "\n";
    if (t->is_enum) {
        std::vector<std::vector<std::string>> rows{{"value", "number", "on the wire"}};
        for (const auto &[name, n] : t->values) rows.push_back({name, num(n), num(n - t->internal_from)});
        out.out += table(rows);
        return out;
    }
    std::vector<std::vector<std::string>> sizes{{"variant", "used", "base", "state"}};
    for (int v = 0; v < t->variants(); ++v)
        sizes.push_back({std::to_string(v), num(t->used[v]), num(t->base[v]), num(t->state[v])});
    out.out += table(sizes) + "\n";
    std::vector<std::vector<std::string>> rows{{"field", "kind", "width", "variant", "limits"}};
    for (const schema::Field &f : t->fields)
        rows.push_back({f.name, schema::kind_text(f), num(schema::memory_width(s, f)), std::to_string(f.variant),
                        schema::limits_text(s, *t, f)});
    out.out += table(rows);
    return out;
}

// ---- Compatibility ---------------------------------------------------------------------

Outcome compat(const Options &o) {
    auto load = [](const std::string &path) {
        const Input in = read_input(path);
        return schema::parse(in.data, in.name);
    };
    const schema::Schema a = load(o.args[0]), b = load(o.args[1]);
    const std::vector<compat::Verdict> verdicts = compat::compare(a, b);
    Outcome out;
    std::size_t breaking = 0;
    std::vector<const compat::Rule *> used;
    for (const compat::Verdict &v : verdicts) {
        out.out += compat::line(v) + "\n";
        breaking += v.rule->breaking ? 1 : 0;
        if (std::ranges::find(used, v.rule) == used.end()) used.push_back(v.rule);
    }
    if (verdicts.empty()) {
        out.out += "no changes\n";
        return out;
    }
    out.out += num(verdicts.size()) + (verdicts.size() == 1 ? " change: " : " changes: ") +
               num(verdicts.size() - breaking) + " compatible, " + num(breaking) + " breaking\n";
    for (const compat::Rule *r : used) out.out += std::string("[") + r->name + "] " + r->text + "\n";
    out.status = breaking > 0 ? 1 : 0;
    return out;
}

} // namespace

bool is_command(std::string_view name) {
    return std::ranges::any_of(kCommands, [&](const Command &c) { return name == c.name; });
}

std::vector<unsigned char> parse_hex(std::string_view text) {
    std::vector<unsigned char> out;
    int line = 1, pending = -1, pending_line = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '#') {
            while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
            continue;
        }
        if (c == '\n') ++line;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') continue;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) {
            const auto u = static_cast<unsigned char>(c);
            throw Error(std::to_string(line) + ": " +
                        (u >= 0x20 && u < 0x7f ? "'" + std::string(1, c) + "'" : "byte 0x" + hex2(u)) +
                        " is not a hex digit");
        }
        if (pending < 0) {
            pending = d;
            pending_line = line;
        } else {
            out.push_back(static_cast<unsigned char>(pending << 4 | d));
            pending = -1;
        }
    }
    if (pending >= 0) throw Error(std::to_string(pending_line) + ": an odd number of hex digits");
    return out;
}

Outcome run(const std::vector<std::string> &args) {
    const Command &c = command(args.at(0));
    const Options o = parse_options(c, args);
    const std::string cmd = c.name;
    if (cmd == "fields") return fields(o);
    if (cmd == "compat") return compat(o);
    const Type &t = structure_type(cmd, o.args[0]);
    Outcome out;
    with_class(t, [&](auto type) {
        using C = typename decltype(type)::type;
        if (cmd == "decode") out = decode_as<C>(o, t);
        else if (cmd == "encode") out = encode_as<C>(o, t);
        else out = diff_as<C>(o, t);
    });
    return out;
}

} // namespace drovdef::messages
