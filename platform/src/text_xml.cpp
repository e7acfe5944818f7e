// Bounded text output: the print and XML writers, their tags and escapes,
// spaces and formats.
//
// Every writer puts at most len-1 characters and a NUL into buf and returns
// the characters written.  Output that does not fit is cut and reported as
// 28 (no space) in *err and in the handle's last error.  A writer called
// while *err holds an error writes nothing and returns 0, so a print that
// goes on calling writers after a failure adds nothing more.
//
// The writers write straight into the caller's buffer (Out in detail.h):
// numbers are converted here, escapes copy the runs of characters that
// need none whole, and formats of plain text and %s are filled in without
// vsnprintf.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "detail.h"

namespace qel_standin::detail {

namespace {

const char kHex[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence of a character XML 1.0 allows
// that starts at s[0] (at most n bytes), or 0.
size_t utf8_char(const unsigned char *s, size_t n) {
    unsigned char c = s[0];
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (len > n) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0u) != 0x80u) return 0;
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    if (len == 3 && cp < 0x800) return 0;                       // overlong
    if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;  // overlong, too large
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
    return len;
}

// What XML character data does with each byte below 0x80: 1 written as it
// is, 0 replaced by an entity.  Bytes from 0x80 on start UTF-8 sequences.
struct XmlPlain {
    bool plain[128];
    constexpr XmlPlain() : plain{} {
        for (int c = 0; c < 128; ++c) plain[c] = c >= 0x20 || c == '\t' || c == '\n';
        for (char c : {'&', '<', '>', '"', '\''}) plain[static_cast<unsigned char>(c)] = false;
    }
};
constexpr XmlPlain kXmlPlain;

// Word-at-a-time tests of eight bytes (each exact for the word as a whole:
// true when some byte of it is such a byte).
constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHighs = 0x8080808080808080u;
constexpr bool has_zero(uint64_t w) { return ((w - kOnes) & ~w & kHighs) != 0; }
constexpr bool has_byte(uint64_t w, unsigned char c) { return has_zero(w ^ (kOnes * c)); }
constexpr bool has_below_0x20(uint64_t w) { return ((w - kOnes * 0x20) & ~w & kHighs) != 0; }
constexpr bool has_from_0x7f(uint64_t w) { return ((w + kOnes * (127 - 0x7e)) | w) & kHighs; }

uint64_t load_word(const char *s) {
    uint64_t w;
    std::memcpy(&w, s, sizeof w);
    return w;
}

// How many of the n bytes at s, from the start, print needs no escape for:
// 0x20 to 0x7e but the backslash and the quote.
size_t c_plain_run(const char *s, size_t n, unsigned char quote) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = load_word(s + i);
        if (has_below_0x20(w) || has_from_0x7f(w) || has_byte(w, '\\') || has_byte(w, quote)) break;
    }
    for (; i < n; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c >= 0x7f || c == '\\' || c == quote) break;
    }
    return i;
}

// How many of the n bytes at s, from the start, XML character data takes
// as they are: characters below 0x80 but the five with entities and the
// control characters (tab and LF are taken), and well-formed UTF-8.
size_t xml_plain_run(const char *s, size_t n) {
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            uint64_t w = load_word(s + i);
            if (!has_below_0x20(w) && (w & kHighs) == 0 && !has_byte(w, '&') && !has_byte(w, '<') &&
                !has_byte(w, '>') && !has_byte(w, '"') && !has_byte(w, '\'')) {
                i += 8;
                continue;
            }
        }
        unsigned char c = u[i];
        if (c < 0x80) {
            if (!kXmlPlain.plain[c]) break;
            ++i;
        } else {
            size_t k = utf8_char(u + i, n - i);
            if (k == 0) break;
            i += k;
        }
    }
    return i;
}

} // namespace

void Out::add_unsigned(uint64_t v) {
    char digits[20];
    size_t i = sizeof digits;
    do {
        digits[--i] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    add(digits + i, sizeof digits - i);
}

void Out::add_signed(int64_t v) {
    if (v < 0) {
        add('-');
        add_unsigned(0 - static_cast<uint64_t>(v));
    } else {
        add_unsigned(static_cast<uint64_t>(v));
    }
}

void Out::add_c_quoted(const char *s, size_t n, char quote) {
    add(quote);
    const auto q = static_cast<unsigned char>(quote);
    size_t i = 0;
    while (i < n && !cut_) {
        size_t j = i + c_plain_run(s + i, n - i, q);
        add(s + i, j - i);
        if (j == n) break;
        auto c = static_cast<unsigned char>(s[j]);
        char esc[4] = {'\\', 0, 0, 0};
        size_t k = 2;
        switch (c) {
        case '\\': esc[1] = '\\'; break;
        case '\n': esc[1] = 'n'; break;
        case '\t': esc[1] = 't'; break;
        case '\r': esc[1] = 'r'; break;
        default:
            if (c == q) {
                esc[1] = quote;
            } else {
                esc[1] = 'x';
                esc[2] = kHex[c >> 4];
                esc[3] = kHex[c & 15];
                k = 4;
            }
        }
        add(esc, k);
        i = j + 1;
    }
    add(quote);
}

void Out::add_xml_text(const char *s, size_t n) {
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    size_t i = 0;
    while (i < n && !cut_) {
        size_t j = i + xml_plain_run(s + i, n - i);
        add(s + i, j - i);
        if (j == n) break;
        switch (u[j]) {
        case '&': add("&amp;", 5); break;
        case '<': add("&lt;", 4); break;
        case '>': add("&gt;", 4); break;
        case '"': add("&quot;", 6); break;
        case '\'': add("&apos;", 6); break;
        case '\r': add("&#xD;", 5); break;
        default: add("&#xFFFD;", 8); // control characters, broken UTF-8
        }
        i = j + 1;
    }
}

void Out::add_open_tag(const char *tag, int64_t flag) {
    add('<');
    add(tag);
    if (flag != 0) {
        add(" state=\"", 8);
        add_signed(flag);
        add('"');
    }
    add('>');
}

void Out::add_close_tag(const char *tag) {
    add("</", 2);
    add(tag);
    add('>');
}

namespace {

// Formats of plain text, %s and %% are written here as they are read; any
// other conversion, a null string (which vsnprintf shows in its own way) or
// a text longer than an int (vsnprintf's overflow) leaves the format to
// vsnprintf.  What was written by then is what vsnprintf writes first, and
// vsnprintf writes it again.
bool put_simple_format(Out &out, const char *fmt, va_list ap) {
    va_list aq;
    va_copy(aq, ap);
    bool simple = true;
    size_t total = 0;
    auto add = [&](const char *s, size_t n) {
        if (n > static_cast<size_t>(INT_MAX) - total) return false;
        total += n;
        out.add(s, n);
        return true;
    };
    for (const char *p = fmt;;) {
        const char *q = p;
        while (*q != '\0' && *q != '%') ++q;
        if (!add(p, static_cast<size_t>(q - p))) {
            simple = false;
            break;
        }
        if (*q == '\0') break;
        const char *arg = nullptr;
        if (q[1] == '%')
            arg = "%";
        else if (q[1] == 's')
            arg = va_arg(aq, const char *);
        if (arg == nullptr || !add(arg, std::strlen(arg))) {
            simple = false;
            break;
        }
        p = q + 2;
    }
    va_end(aq);
    return simple;
}

} // namespace

int32_t put_format(qel_handle_t *h, char *buf, int32_t len, uint32_t *err, const char *fmt,
                   va_list ap) {
    if (fmt == nullptr) {
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    Out out(buf, len);
    if (put_simple_format(out, fmt, ap)) return out.finish(h, err);
    // vsnprintf's own: it writes again what was written above
    if (buf == nullptr || len < 1) {
        int n = std::vsnprintf(nullptr, 0, fmt, ap);
        if (n > 0) fail(h, err, QEL_ENOSPC);
        return 0;
    }
    int n = std::vsnprintf(buf, static_cast<size_t>(len), fmt, ap);
    if (n < 0) {
        buf[0] = '\0';
        fail(h, err, QEL_EINVAL);
        return 0;
    }
    if (n >= len) {
        fail(h, err, QEL_ENOSPC);
        return len - 1;
    }
    return n;
}

void xpath_message(char *msg, uint32_t msg_size, const char *path) {
    if (msg != nullptr && msg_size != 0)
        std::snprintf(msg, msg_size, "Failed xpath: %s", path != nullptr ? path : "");
}

} // namespace qel_standin::detail

using namespace qel_standin::detail;

extern "C" {

int32_t qel_print_space(qel_handle_t *h, uint32_t, char *buf, int32_t indent, int32_t len,
                        uint32_t *err) {
    if (!begin(h, err)) return 0;
    Out out(buf, len);
    out.fill(' ', indent > 0 ? static_cast<size_t>(indent) : 0);
    return out.finish(h, err);
}

int32_t qel_snprintf(qel_handle_t *h, uint32_t, char *buf, int32_t len, uint32_t *err,
                     const char *fmt, ...) {
    if (!begin(h, err)) return 0;
    va_list ap;
    va_start(ap, fmt);
    int32_t n = put_format(h, buf, len, err, fmt, ap);
    va_end(ap);
    return n;
}

int32_t start_tag(qel_handle_t *h, uint32_t ctx, char *buf, const char *tag, int32_t len,
                  int32_t flag, uint32_t *err) {
    note(h, "start_tag", ctx, buf, tag, flag);
    if (!begin(h, err)) return 0;
    Out out(buf, len);
    out.add_open_tag(tag, flag);
    return out.finish(h, err);
}

int32_t end_tag(qel_handle_t *h, uint32_t, char *buf, const char *tag, int32_t len,
                uint32_t *err) {
    if (!begin(h, err)) return 0;
    Out out(buf, len);
    out.add_close_tag(tag);
    return out.finish(h, err);
}

int32_t xml_enum_print(qel_handle_t *h, uint32_t, char *buf, const char *text, int32_t len,
                       int32_t text_len, uint32_t *err) {
    if (!begin(h, err)) return 0;
    size_t n = 0;
    if (text != nullptr && text_len > 0) n = strnlen(text, static_cast<size_t>(text_len));
    Out out(buf, len);
    out.add(text, n);
    return out.finish(h, err);
}

} // extern "C"
