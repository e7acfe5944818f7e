#include "messages.h"

#include "catalogue.h" // quote
#include "cli.h"
#include "compat.h"
#include "elf_file.h" // Error
#include "schema.h"
#include "layout.h"

#include "drov_def/drov_def.hpp"
#include "drov_def/runtime.h"

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
    bool all = false;     // decode: one message after another
    bool lenient = false; // the library's own reading, unchecked
    std::optional<std::string> path;
    std::vector<std::pair<std::string, int>> domains; // --variant-domain TYPE=N
};

struct Command {
    const char *name;
    std::size_t min_args, max_args;
    // The options it takes, by letter: h(ex) x(ml) a(ll) l(enient) p(ath) v(ariant-domain)
    const char *options;
    const char *usage;
};

const Command kCommands[] = {
    {"decode", 1, 2, "hxalv",
     "decode TYPE [FILE|-] [--hex] [--xml] [--all] [--lenient] [--variant-domain TYPE=N]..."},
    {"encode", 1, 2, "hplv", "encode TYPE [FILE.xml|-] [--hex] [--path PATH] [--lenient] [--variant-domain TYPE=N]..."},
    {"diff", 3, 3, "hlv", "diff TYPE A B [--hex] [--lenient] [--variant-domain TYPE=N]..."},
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
        const bool plain = eq == std::string::npos;
        if (name == "--hex" && plain) {
            takes('h', a);
            o.hex = true;
        } else if (name == "--xml" && plain) {
            takes('x', a);
            o.xml = true;
        } else if (name == "--all" && plain) {
            takes('a', a);
            o.all = true;
        } else if (name == "--lenient" && plain) {
            takes('l', a);
            o.lenient = true;
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
// Raw input that reads as a hex dump: hex digit pairs, whitespace and
// comments only.  A raw message refused for its bytes says so.
bool looks_like_hex(const std::string &data) {
    try {
        return !parse_hex(data).empty();
    } catch (const Error &) {
        return false;
    }
}

// ---- Decoding --------------------------------------------------------------------------

void set_domains(drov::Handle &h, const Options &o) {
    for (const auto &[name, n] : o.domains) h.variant(name.c_str(), n);
}

std::string num(std::uint64_t v) {
    return std::to_string(v);
}

std::string bytes_count(std::uint64_t n) {
    return num(n) + (n == 1 ? " byte" : " bytes");
}

// "vm_act_rsp", or "vm_if_rsp.vm_if_info[2] (vm_nic_list)" for a structure inside the message.
std::string subject_of(const layout::Part &p) {
    return p.path.empty() ? p.type : p.path + " (" + p.type + ")";
}

// The runs a reader jumps over, each with the structure's header, in order.
template <class F> void each_jump(const layout::Layout &map, F &&f) {
    std::vector<const layout::Part *> open;
    for (const layout::Part &p : map.parts) {
        if (p.kind == DROV_DEF_WIRE_HEADER) open.push_back(&p);
        else if (p.kind == DROV_DEF_WIRE_END && !open.empty()) open.pop_back();
        else if (p.kind == DROV_DEF_WIRE_SKIPPED && !open.empty()) f(p, *open.back());
    }
}

// A message whose object flags say state flags follow the fields: it is
// decoded on a handle that tracks state, so that they are kept.
bool carries_flags(std::span<const std::uint8_t> bytes) {
    return bytes.size() > 1 && (bytes[1] & 0x08) != 0;
}

// A message decoded into a fresh instance, with the handle it was made
// through and the layout of its bytes.
template <class C> struct Decoded {
    drov::Handle handle;
    C inst;
    layout::Layout map;
    std::uint64_t count = 0; // the bytes the message took (lenient: what unmarshal says)
    std::string report;      // the account of it
};

// Decodes the message at the front of bytes (all of them when `whole`) as
// a C, the way a peer that knows the variants --variant-domain leaves it
// would.  Strict: the library's reader of the format walks the bytes first
// and refuses what is cut short or what no writer produces, naming the
// offset and the field; then the library decodes exactly the bytes of the
// message.  Lenient: the library decodes what it is given, and only its
// error word refuses.  base is where bytes start in the input (offsets are
// the input's); a refusal throws Error "SUBJECT: WHAT at offset X, PATH:
// REASON".
//
// This library reads every variant it was built with, whatever the handle's
// domain says, so the variant bytes of the structures the reader knows less
// of are lowered to what it knows before it decodes: exactly what an older
// build does differently.
template <class C>
std::unique_ptr<Decoded<C>> decode_message(std::span<const std::uint8_t> bytes, std::uint64_t base,
                                           const std::string &subject, const Options &o, bool whole,
                                           bool track, const std::string &hint = {}) {
    using Tr = drov::detail::Traits<typename C::c_type>;
    auto d = std::make_unique<Decoded<C>>();
    if (track) d->handle.track_state();
    set_domains(d->handle, o);
    d->map = layout::walk(d->handle.get(), Tr::record(), bytes, !o.domains.empty(), base);
    const std::uint64_t n = bytes.size();
    if (!o.lenient) {
        if (d->map.refusal) throw Error(subject + ": " + layout::text(*d->map.refusal) + hint);
        if (whole && d->map.size < n)
            throw Error(subject + ": " +
                        layout::text({DROV_DEF_EINVAL, base + d->map.size, "",
                                      bytes_count(n - d->map.size) + (n - d->map.size == 1 ? " follows" : " follow") +
                                          " the message"}) +
                        hint);
    }
    const std::uint64_t given = o.lenient ? n : d->map.size;
    std::vector<std::uint8_t> patched(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(given));
    for (const layout::Part &p : d->map.parts)
        if (p.kind == DROV_DEF_WIRE_HEADER && p.read >= 0 && p.written > p.read && p.offset - base < given)
            patched[p.offset - base] = static_cast<std::uint8_t>(p.read);
    patched.push_back(0); // a buffer even when the message is empty (its length says 0)

    d->inst = C(d->handle);
    std::uint32_t err = 0;
    const drov::Context ctx = d->handle;
    d->count = Tr::unmarshal(ctx.handle, ctx.id, patched.data(), d->inst.c_ptr(), static_cast<std::int32_t>(given), 0,
                             &err);
    if (err != 0)
        throw Error(subject + ": decoding failed: " + drov_def_strerror(err) +
                    (d->map.refusal ? "; " + layout::text(*d->map.refusal) : "") + hint);

    std::string &r = d->report;
    const int written = d->map.parts.empty() ? static_cast<std::int8_t>(bytes[0]) : d->map.parts.front().written;
    r += "decoded " + std::string(Tr::name) + " variant " + std::to_string(d->inst.variant()) + " (written " +
         std::to_string(written) + ")" + (whole ? "" : " at offset " + num(base)) + ": " +
         (whole ? num(d->count) + " of " + bytes_count(n) : bytes_count(d->count)) +
         (carries_flags(bytes) ? ", with state flags" : "") + "\n";
    each_jump(d->map, [&](const layout::Part &skip, const layout::Part &head) {
        r += "offset jump at " + num(skip.offset) + ": " + bytes_count(skip.size) + " skipped to " +
             num(skip.offset + skip.size) + " (" + subject_of(head) +
             (head.written > head.read ? " written in variant " + std::to_string(head.written) + ", read as " +
                                             std::to_string(head.read)
                                       : ": bytes past the fields of variant " + std::to_string(head.written)) +
             ")\n";
    });
    if (!o.lenient) {
        if (d->count != d->map.size)
            r += "note: the reader of the format ends the message at " + num(base + d->map.size) +
                 ", the library's decoding at " + num(base + d->count) + "\n";
        return d;
    }
    // What the checks would have said.
    if (d->map.refusal) r += "note: strict decoding refuses it: " + layout::text(*d->map.refusal) + "\n";
    if (d->count > n)
        r += "note: the message claims " + bytes_count(d->count) + ", " + num(n) + " given\n";
    else if (whole && d->count < n)
        r += "note: " + bytes_count(n - d->count) + " after the message, from offset " + num(base + d->count) +
             ", not read\n";
    return d;
}

template <class C> Outcome decode_as(const Options &o, const Type &t) {
    const Input in = read_input(o.args.size() > 1 ? o.args[1] : "-");
    const std::vector<std::uint8_t> bytes = message_bytes(in, o.hex);
    const std::string subject = in.name + ": " + t.name;
    const std::string hint = !o.hex && looks_like_hex(in.data) ? " (the input looks like hex text: try --hex)" : "";
    Outcome out;
    if (!o.all) {
        auto d = decode_message<C>(bytes, 0, subject, o, true, carries_flags(bytes), hint);
        out.out = o.xml ? d->inst.to_xml() + "\n" : d->inst.to_text();
        out.report = std::move(d->report);
        return out;
    }
    // One message after another, each printed with its offset, up to the
    // first that is refused; the XML is one document.
    if (o.xml) out.out = "<messages>\n";
    std::uint64_t at = 0, count = 0;
    while (at < bytes.size()) {
        const std::span<const std::uint8_t> rest = std::span(bytes).subspan(at);
        const std::string which = subject + ": message " + num(count + 1);
        std::unique_ptr<Decoded<C>> d;
        try {
            d = decode_message<C>(rest, at, which, o, false, carries_flags(rest), count == 0 ? hint : std::string());
            if (d->count > rest.size())
                throw Error(which + ": cut short at offset " + num(at) + ": it claims " + bytes_count(d->count) + ", " +
                            num(rest.size()) + " left");
            if (d->count == 0) throw Error(which + ": refused at offset " + num(at) + ": it takes no bytes");
        } catch (const Error &e) {
            out.refusal = e.what();
            break;
        }
        const std::string where = "offset " + num(at) + ", " + bytes_count(d->count);
        out.out += o.xml ? "<!-- " + where + " -->\n" + d->inst.to_xml() + "\n" : "# " + where + "\n" + d->inst.to_text();
        out.report += d->report;
        at += d->count;
        ++count;
    }
    if (o.xml) out.out += "</messages>\n";
    out.report += num(count) + (count == 1 ? " message" : " messages") + " in " + bytes_count(at) + "\n";
    if (!out.refusal.empty()) out.status = 1;
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

struct Change {
    std::string path, a, b;
};

struct Differ {
    bool flags; // compare state flags too
    std::vector<Change> changes;

    void line(const std::string &path, const std::string &a, const std::string &b) {
        if (a != b) changes.push_back({path, a, b});
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

// What an encoding for an older peer leaves out of inst: one line per field
// the older variants lack, with its value, and "(its initial value)" where
// a newer reader of the older message gets that value back anyway.
template <class C> std::string left_out(const C &inst, const std::vector<std::uint8_t> &older, const std::string &subject) {
    const Options strict;
    const auto back = decode_message<C>(older, 0, subject + " (as written)", strict, true, false);
    const typename C::CRef full = inst.ref(), got = back->inst.ref();
    Differ lost{false, {}};
    lost.record(&full, &got, "");
    const C fresh(back->handle);
    const typename C::CRef initial = fresh.ref();
    Differ kept{false, {}};
    kept.record(&initial, &got, "");
    std::map<std::string, std::string> initial_value;
    for (const Change &c : kept.changes)
        if (c.b == kAbsent) initial_value[c.path] = c.a;
    std::string r = "encoded " + std::string(C::type_name) + " variant " + std::to_string(back->inst.variant()) +
                    " (the XML gives variant " + std::to_string(inst.variant()) + "): " + bytes_count(older.size()) + "\n";
    for (const Change &c : lost.changes) {
        if (c.b != kAbsent || c.path == "variant" || c.path.ends_with(".variant")) continue;
        const auto init = initial_value.find(c.path);
        r += "left out " + c.path + ": " + c.a + (init != initial_value.end() && init->second == c.a ? " (its initial value)" : "") + "\n";
    }
    return r;
}

// ---- Encoding --------------------------------------------------------------------------

// An encoding as a hex dump decode --hex reads back: a line per header,
// field value, state flag and skipped run (16 bytes a line at most), each
// labelled.
std::string hex_dump(const std::vector<std::uint8_t> &bytes, const Type &t, const layout::Layout &map) {
    struct Mark {
        std::uint64_t at, size;
        std::string label;
    };
    std::vector<Mark> marks;
    std::vector<const layout::Part *> open;
    for (const layout::Part &p : map.parts) {
        std::string label;
        switch (p.kind) {
        case DROV_DEF_WIRE_HEADER: {
            open.push_back(&p);
            const std::uint64_t word = p.offset + p.size - 4; // the body length is the header's last item
            label = (p.path.empty() ? "header" : p.path + " header") + ": " + p.type + " variant " +
                    std::to_string(p.written) + ((p.flags & 0x08) != 0 ? ", state flags" : "") +
                    ((p.flags & 0x20) != 0 ? ", ra data" : "") + ", body length " + num(p.body_end - word);
            break;
        }
        case DROV_DEF_WIRE_VALUE: {
            const Type *owner = schema::builtin().find(p.type);
            const schema::Field *f = owner != nullptr ? owner->field(p.field) : nullptr;
            label = p.path + ": " + (f != nullptr ? schema::kind_text(*f) : "value");
            break;
        }
        case DROV_DEF_WIRE_FLAG:
            label = p.path + ": its state flag";
            break;
        case DROV_DEF_WIRE_SKIPPED:
            if (open.empty()) continue;
            label = (p.path.empty() ? open.back()->type : p.path) + ": skipped: " + bytes_count(p.size) + " " +
                    (open.back()->written > open.back()->read ? "of variants above " + std::to_string(open.back()->read)
                                                              : "past the fields");
            break;
        case DROV_DEF_WIRE_END:
            if (!open.empty()) open.pop_back();
            continue;
        default:
            continue;
        }
        if (p.size > 0) marks.push_back({p.offset, p.size, std::move(label)});
    }
    std::string out = "# " + t.name + ", " + bytes_count(bytes.size()) + "\n";
    std::uint64_t at = 0;
    auto rows = [&](std::uint64_t from, std::uint64_t end, const std::string &label) {
        for (std::uint64_t row = from; row < end; row += 16) {
            std::string line;
            for (std::uint64_t k = row; k < end && k < row + 16; ++k) line += (k > row ? " " : "") + hex2(bytes[k]);
            if (row == from && !label.empty()) {
                line.resize(48, ' ');
                line += "# " + label;
            }
            out += line + "\n";
        }
    };
    for (const Mark &m : marks) {
        if (m.at < at || m.at + m.size > bytes.size()) continue;
        rows(at, m.at, ""); // bytes no part covers (none, for an encoding the reader passes)
        rows(m.at, m.at + m.size, m.label);
        at = m.at + m.size;
    }
    rows(at, bytes.size(), "");
    return out;
}

// "FILE:LINE:COLUMN: PATH: REASON" for a refused XML document, the place
// as the handle recorded it; "FILE: REASON" when it has no line.
std::string xml_refusal(const std::string &file, const drov::Handle &h, std::uint32_t err) {
    const drov::Place p = drov::last_place(h.get(), err);
    std::string s = file;
    if (p.line != 0) s += ":" + num(p.line) + ":" + num(p.column);
    s += ": ";
    if (!p.path.empty()) s += p.path + ": ";
    return s + (p.reason.empty() ? std::string(drov_def_strerror(err)) : p.reason);
}

template <class C> std::vector<std::uint8_t> bytes_of(const std::vector<std::byte> &wire) {
    std::vector<std::uint8_t> bytes(wire.size());
    if (!wire.empty()) std::memcpy(bytes.data(), wire.data(), wire.size());
    return bytes;
}

template <class C> Outcome encode_as(const Options &o, const Type &t) {
    using Tr = drov::detail::Traits<typename C::c_type>;
    const Input in = read_input(o.args.size() > 1 ? o.args[1] : "-");
    // The XML is read as the newest variants allow; --variant-domain only
    // changes what is written.
    drov::Handle h;
    void *doc = nullptr;
    if (const std::uint32_t rc = drov_def_runtime_xml_parse(h.get(), in.data.data(), in.data.size(), &doc); rc != 0)
        throw Error(xml_refusal(in.name, h, rc));
    const std::unique_ptr<void, void (*)(void *)> free_doc(doc, drov_def_runtime_xml_free);
    const std::string path = o.path.value_or("/" + t.name);
    C inst(h);
    std::uint32_t err = 0;
    const drov::Context ctx = h;
    drov_def_read_xml(ctx.handle, ctx.id, Tr::record(), path.c_str(), doc, inst.c_ptr(),
                      o.lenient ? DROV_DEF_XML_LENIENT : 0, &err);
    if (err != 0) throw Error(xml_refusal(in.name, h, err));

    Outcome out;
    std::vector<std::uint8_t> bytes = bytes_of<C>(inst.encode());
    if (!o.domains.empty()) {
        // Written by a handle whose domain is the older peer's: marshal
        // lowers each structure to the variant the domain gives its type.
        drov::Handle older;
        set_domains(older, o);
        std::vector<std::uint8_t> buf(bytes.size() + 2);
        err = 0;
        const std::uint32_t n = Tr::marshal(older.get(), ctx.id, buf.data(), inst.c_ptr(),
                                            static_cast<std::int32_t>(buf.size()), &err);
        if (err != 0 && err != DROV_DEF_EIDRM) throw Error(in.name + ": " + t.name + ": encoding failed: " + drov_def_strerror(err));
        buf.resize(n);
        bytes = std::move(buf);
        out.report = left_out<C>(inst, bytes, in.name + ": " + t.name);
    }
    if (!o.hex) {
        out.out.assign(reinterpret_cast<const char *>(bytes.data()), bytes.size());
        return out;
    }
    drov::Handle reader;
    out.out = hex_dump(bytes, t, layout::walk(reader.get(), Tr::record(), bytes, false));
    return out;
}

template <class C> Outcome diff_as(const Options &o, const Type &t) {
    const Input ia = read_input(o.args[1]), ib = read_input(o.args[2]);
    const std::vector<std::uint8_t> a = message_bytes(ia, o.hex), b = message_bytes(ib, o.hex);
    auto hint = [&](const Input &in) {
        return !o.hex && looks_like_hex(in.data) ? " (the input looks like hex text: try --hex)" : "";
    };
    // Both with state flags, compared, when either side carries them.
    const bool flags = carries_flags(a) || carries_flags(b);
    auto da = decode_message<C>(a, 0, ia.name + ": " + t.name, o, true, flags, hint(ia));
    auto db = decode_message<C>(b, 0, ib.name + ": " + t.name, o, true, flags, hint(ib));
    Differ d{flags, {}};
    const typename C::CRef ra = da->inst.ref(), rb = db->inst.ref();
    d.record(&ra, &rb, "");
    Outcome out;
    for (const Change &c : d.changes) out.out += c.path + ": " + c.a + " -> " + c.b + "\n";
    out.status = d.changes.empty() ? 0 : 1;
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
