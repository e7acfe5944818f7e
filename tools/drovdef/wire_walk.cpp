#include "wire_walk.h"

#include "qel.h"

#include <algorithm>

namespace drovdef::wire {

using schema::Field;
using schema::Kind;
using schema::Type;

namespace {

constexpr std::uint8_t kStateFlags = 0x08; // state-flag bytes follow the values
constexpr std::uint8_t kRaData = 0x20;     // an ra data block follows the flag byte

class Walker {
public:
    Walker(qel_handle_t *h, const schema::Schema &s, std::span<const std::uint8_t> bytes,
           const std::function<int(const Type &)> &known)
        : h_(h), s_(s), buf_(bytes.data()), n_(bytes.size()), known_(known) {}

    Walk run(const Type &t) {
        walk_.end = structure(t, "", 0);
        walk_.err = err_;
        return std::move(walk_);
    }

private:
    // One structure's cursor: its offset, where its body length points,
    // whether state-flag bytes follow its values.
    struct Cursor {
        std::uint64_t off;
        std::uint64_t body_end = 0;
        bool flags = false;
    };

    std::uint64_t left(std::uint64_t off) const { return off < n_ ? n_ - off : 0; }
    const std::uint8_t *at(std::uint64_t off) const { return buf_ + std::min(off, n_); }
    std::int32_t room(std::uint64_t off) const { return static_cast<std::int32_t>(left(off)); }

    void failed(std::uint64_t off, const std::string &where, const std::string &what, std::uint32_t e) {
        err_ = e;
        walk_.failure = Place{off, where, what};
    }
    void ran_out(std::uint64_t off, const std::string &where, const std::string &what) {
        if (!walk_.ran_out) walk_.ran_out = Place{off, where, what};
    }
    static std::string bytes_left(std::uint64_t need, std::uint64_t have) {
        return std::to_string(need) + (need == 1 ? " byte" : " bytes") + ", " + std::to_string(have) + " left";
    }

    // A header item or list count by the runtime's coder.
    template <class V>
    bool item(Cursor &c, std::uint32_t (*coder)(qel_handle_t *, std::uint32_t, const std::uint8_t *, V *,
                                                 std::int32_t, std::uint32_t *),
              V *v, std::uint32_t width, const std::string &where, const char *what) {
        if (err_ != 0) return false;
        std::uint32_t e = 0;
        const std::uint32_t k = coder(h_, 0, at(c.off), v, room(c.off), &e);
        if (e != 0) {
            failed(c.off, where, std::string(what) + " needs " + bytes_left(width, left(c.off)), e);
            return false;
        }
        c.off += k;
        return true;
    }
    // A value by the runtime's coder.
    template <class V>
    bool value(Cursor &c,
               std::uint32_t (*coder)(qel_handle_t *, std::uint32_t, const std::uint8_t *, V *, std::int32_t,
                                      std::uint32_t, std::uint32_t *),
               std::uint32_t (*width)(), V *v, const std::string &where, const std::string &what) {
        if (err_ != 0) return false;
        std::uint32_t e = 0;
        const std::uint32_t k = coder(h_, 0, at(c.off), v, room(c.off), 0, &e);
        if (e != 0) {
            failed(c.off, where, what + " needs " + bytes_left(width(), left(c.off)), e);
            return false;
        }
        c.off += k;
        return true;
    }
    // The coder of a length field by its width.
    bool length(Cursor &c, std::uint32_t width, std::uint32_t *n, const std::string &where) {
        const std::string what = "its u" + std::to_string(8 * width) + " length";
        if (width == 1) {
            u_int8 v = 0;
            const bool ok = value(c, u_int8_unmarshal, u_int8_len, &v, where, what);
            *n = v;
            return ok;
        }
        if (width == 2) {
            u_int16 v = 0;
            const bool ok = value(c, u_int16_unmarshal, u_int16_len, &v, where, what);
            *n = v;
            return ok;
        }
        return value(c, u_int32_unmarshal, u_int32_len, n, where, what);
    }

    // A state-flag byte is there while the body and the buffer last.
    std::uint64_t flag_room(const Cursor &c) const {
        if (!c.flags || err_ != 0 || c.off >= c.body_end) return 0;
        return std::min(c.body_end - c.off, left(c.off));
    }
    void flag_run(Cursor &c, std::uint64_t n, const std::string &where) {
        if (c.flags && err_ == 0 && c.off < c.body_end && left(c.off) < std::min(n, c.body_end - c.off))
            ran_out(c.off, where, "state flags past the end");
        c.off += std::min(n, flag_room(c));
    }
    void flag(Cursor &c, const std::string &where) { flag_run(c, 1, where); }

    // n elements of a runtime type `width` bytes wide, taken as one block
    // when they are bytes, else one by one.
    void elements(Cursor &c, std::uint32_t n, std::uint32_t width, const std::string &where, const char *what) {
        if (err_ != 0) return;
        const std::uint64_t need = std::uint64_t{n} * width;
        if (left(c.off) >= need) {
            c.off += need;
            return;
        }
        // As much as is there is taken: a run of bytes whole, wider
        // elements each whole.
        const std::uint64_t have = left(c.off);
        failed(c.off, where, std::string(what) + " needs " + bytes_left(need, have), QEL_EMSGSIZE);
        c.off += width == 1 ? have : have / width * width;
    }

    void mark(std::uint64_t at, const std::string &where, std::string what) {
        if (at < n_) walk_.marks.push_back({at, where, std::move(what)});
    }

    void field(Cursor &c, const Type &t, const Field &f, const std::string &path) {
        const std::string where = path.empty() ? f.name : path + "." + f.name;
        if (f.kind != Kind::Length && f.kind != Kind::Record && err_ == 0) mark(c.off, where, schema::kind_text(f));
        switch (f.kind) {
        case Kind::U8: {
            u_int8 v;
            value(c, u_int8_unmarshal, u_int8_len, &v, where, "u8");
            break;
        }
        case Kind::U16: {
            u_int16 v;
            value(c, u_int16_unmarshal, u_int16_len, &v, where, "u16");
            break;
        }
        case Kind::U32: {
            u_int32 v;
            value(c, u_int32_unmarshal, u_int32_len, &v, where, "u32");
            break;
        }
        case Kind::Bool: {
            qel_boolean v;
            value(c, qel_boolean_unmarshal, qel_boolean_len, &v, where, "boolean");
            break;
        }
        case Kind::IfHandle: {
            if_handle v;
            value(c, if_handle_unmarshal, if_handle_len, &v, where, "interface handle");
            break;
        }
        case Kind::Enum: {
            // The enumeration's own encoding: its variant byte, its value.
            if (err_ != 0) return;
            if (left(c.off) < 1) {
                failed(c.off, where, "enumeration needs 5 bytes, 0 left", QEL_EMSGSIZE);
                return;
            }
            std::int8_t v;
            u_int32 num;
            if (item(c, _qel_instance_variant_unmarshal, &v, 1, where, "enumeration variant"))
                value(c, u_int32_unmarshal, u_int32_len, &num, where, "enumeration value");
            break;
        }
        case Kind::Record:
            c.off = structure(*s_.find(f.ref), where, c.off);
            break;
        case Kind::Length:
            return; // read with its string or array
        case Kind::String:
        case Kind::VarArray: {
            std::uint32_t n = 0;
            if (!length(c, t.field(f.length_field)->width, &n, where)) return;
            const std::uint64_t m = std::min<std::uint64_t>(n, left(c.off));
            if (m < n)
                ran_out(c.off, where,
                        (f.kind == Kind::String ? "string of " : "array of ") + bytes_left(n, m));
            if (m == 0) return;
            c.off += m;
            flag(c, where);
            if (f.kind == Kind::VarArray) flag_run(c, m, where);
            return;
        }
        case Kind::Text:
            elements(c, f.width, char_len(), where, "text");
            break;
        case Kind::Array:
            elements(c, f.width, u_int8_len(), where, "array");
            flag(c, where);
            flag_run(c, f.width, where);
            return;
        case Kind::List: {
            std::uint32_t count = 0;
            if (item(c, _qel_list_len_unmarshal, &count, 4, where, "list count")) {
                const Type &el = *s_.find(f.ref);
                for (std::uint32_t i = 0; i < count && err_ == 0; ++i)
                    c.off = structure(el, where + "[" + std::to_string(i) + "]", c.off);
            }
            break;
        }
        }
        if ((f.kind == Kind::Record || f.kind == Kind::List) && flag_room(c) > 0) mark(c.off, where, "its state flag");
        flag(c, where);
    }

    // One structure's encoding from off; returns where its decoding ends
    // (beyond the buffer for a cut message).
    std::uint64_t structure(const Type &t, const std::string &path, std::uint64_t off) {
        if (err_ != 0) return off;
        const std::string header = path.empty() ? "header" : path + " header";
        if (left(off) < 1) {
            failed(off, header, "no bytes left for a " + t.name, QEL_EMSGSIZE);
            return off;
        }
        walk_.segments.push_back(Segment{path, &t, off});
        const std::size_t index = walk_.segments.size() - 1;
        mark(off, header, "");
        const std::size_t header_mark = walk_.marks.size() - 1;
        Cursor c{off};
        std::int8_t w = -1;
        std::uint8_t g = 0;
        item(c, _qel_instance_variant_unmarshal, &w, 1, header, "variant byte");
        if (item(c, _qel_instance_obj_flag_unmarshal, &g, 1, header, "object flags")) {
            if ((g & ~(kStateFlags | kRaData)) != 0)
                walk_.odd.push_back({off + 1, header, "object flags 0x" + hex(g) + " carry bits other than 0x08 and 0x20"});
        }
        if (w < -1) walk_.odd.push_back({off, header, "variant byte " + std::to_string(w)});
        if ((g & kRaData) != 0 && err_ == 0) {
            std::uint32_t e = 0;
            const std::uint32_t k = _qel_instance_ra_data_unmarshal(h_, 0, at(c.off), room(c.off), &e);
            if (e != 0) failed(c.off, header, "ra data block does not fit, " + std::to_string(left(c.off)) + " bytes left", e);
            c.off += k;
        }
        const int reads = std::min<int>(w, known_(t));
        const std::uint64_t jump = c.off;
        std::uint32_t body = 0;
        const bool has_body = item(c, _qel_variant_jump_unmarshal, &body, 4, header, "body length");
        c.body_end = jump + body;
        c.flags = (g & kStateFlags) != 0;
        if (reads >= 0)
            for (const Field &f : t.fields)
                if (f.variant <= reads) field(c, t, f, path);
        walk_.marks[header_mark].what = t.name + " variant " + std::to_string(w) +
                                        ((g & kStateFlags) != 0 ? ", state flags" : "") +
                                        ((g & kRaData) != 0 ? ", ra data" : "") + ", body length " +
                                        std::to_string(body);
        Segment &p = walk_.segments[index];
        p.written = w;
        p.read = w < 0 ? w : reads;
        p.flags = g;
        p.has_body_length = has_body;
        p.body_end = c.body_end;
        p.fields_end = c.off;
        if (c.body_end > c.off) {
            mark(c.off, path.empty() ? t.name : path,
                 "skipped: " + std::to_string(c.body_end - c.off) + " bytes " +
                     (w > reads ? "of variants above " + std::to_string(reads) : "past the fields"));
            if (c.body_end > n_ && c.off <= n_)
                ran_out(std::max(c.off, n_), path.empty() ? t.name : path,
                        "its body length points to " + std::to_string(c.body_end) + ", past the end");
            c.off = c.body_end;
        } else if (has_body && c.body_end < c.off) {
            walk_.odd.push_back({jump, header,
                                 "body length " + std::to_string(body) + " ends at " + std::to_string(c.body_end) +
                                     ", but the fields go on to " + std::to_string(c.off)});
        }
        return c.off;
    }

    static std::string hex(std::uint8_t v) {
        const char *d = "0123456789abcdef";
        return {d[v >> 4], d[v & 15]};
    }

    qel_handle_t *h_;
    const schema::Schema &s_;
    const std::uint8_t *buf_;
    std::uint64_t n_;
    const std::function<int(const Type &)> &known_;
    std::uint32_t err_ = 0;
    Walk walk_;
};

} // namespace

Walk walk(qel_handle_t *h, const schema::Schema &s, const Type &type, std::span<const std::uint8_t> bytes,
          const std::function<int(const Type &)> &known) {
    return Walker(h, s, bytes, known).run(type);
}

} // namespace drovdef::wire
