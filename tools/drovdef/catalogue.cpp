#include "catalogue.h"

#include <algorithm>
#include <bzlib.h>
#include <climits>
#include <cstdio>
#include <cstring>

namespace drovdef {

namespace {

constexpr std::size_t kLuidHeader = 4 + 16;
constexpr std::size_t kLuidEntry = 6;

std::string num(std::uint64_t v) {
    return std::to_string(v);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decompresses one bzip2 stream piece by piece.
class Bz2Reader {
public:
    explicit Bz2Reader(std::span<const std::uint8_t> data) {
        if (data.size() > UINT_MAX) throw Error("compressed format strings too large");
        const int rc = BZ2_bzDecompressInit(&z_, 0, 0);
        if (rc != BZ_OK)
            throw Error("cannot start bzip2 decompression (error " + std::to_string(rc) + ")");
        // bzlib does not write through next_in; the cast only satisfies its API.
        z_.next_in = const_cast<char *>(reinterpret_cast<const char *>(data.data()));
        z_.avail_in = static_cast<unsigned>(data.size());
    }
    ~Bz2Reader() { BZ2_bzDecompressEnd(&z_); }
    Bz2Reader(const Bz2Reader &) = delete;
    Bz2Reader &operator=(const Bz2Reader &) = delete;

    // Fills out[0, n) with the next bytes of the stream; fewer only at its
    // end.  Returns how many.
    std::size_t read(char *out, std::size_t n) {
        std::size_t got = 0;
        while (got < n && !ended_) {
            const auto room = static_cast<unsigned>(std::min<std::size_t>(n - got, UINT_MAX));
            z_.next_out = out + got;
            z_.avail_out = room;
            const int rc = BZ2_bzDecompress(&z_);
            got += room - z_.avail_out;
            if (rc == BZ_STREAM_END) {
                ended_ = true;
            } else if (rc == BZ_DATA_ERROR_MAGIC) {
                throw Error("format strings are not bzip2 data");
            } else if (rc == BZ_DATA_ERROR) {
                throw Error("corrupt bzip2 data in the format strings");
            } else if (rc == BZ_MEM_ERROR) {
                throw Error("out of memory decompressing the format strings");
            } else if (rc != BZ_OK) {
                throw Error("bzip2 decompression of the format strings failed (error " +
                            std::to_string(rc) + ")");
            } else if (z_.avail_in == 0 && z_.avail_out != 0) {
                // Room left over with all input consumed: the stream ends early.
                throw Error("truncated bzip2 stream in the format strings");
            }
        }
        return got;
    }

    // Reads and drops up to n bytes; returns how many there were.
    std::uint64_t skip(std::uint64_t n) {
        char buf[16 * 1024];
        std::uint64_t done = 0;
        while (done < n) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(n - done, sizeof buf));
            const std::size_t got = read(buf, want);
            done += got;
            if (got < want) break;
        }
        return done;
    }

    // Input bytes left after the end of the stream.
    unsigned stray() const { return z_.avail_in; }

private:
    bz_stream z_{};
    bool ended_ = false;
};

Error runs_past(std::size_t index, std::uint64_t available) {
    return Error("trace catalogue entry " + num(index) + " runs past the " + num(available) +
                 " bytes of format strings");
}

} // namespace

Catalogue::Catalogue(std::string_view uuid_hex, std::span<const std::uint8_t> luids,
                     std::span<const std::uint8_t> format_strings)
    : compressed_(format_strings) {
    if (luids.size() < kLuidHeader || (luids.size() - kLuidHeader) % kLuidEntry != 0)
        throw Error("trace catalogue section has " + num(luids.size()) +
                    " bytes, not 4 + 16 + 6 per entry");
    const std::uint32_t version = load_u32(luids.data());
    if (version != kCatalogueVersion)
        throw Error("unsupported trace catalogue version " + num(version));
    bool uuid_ok = uuid_hex.size() == 32;
    for (std::size_t i = 0; uuid_ok && i < 16; ++i) {
        const int hi = hex_value(uuid_hex[2 * i]), lo = hex_value(uuid_hex[2 * i + 1]);
        uuid_ok = hi >= 0 && lo >= 0 && (hi << 4 | lo) == luids[4 + i];
    }
    if (!uuid_ok) throw Error("trace catalogue UUID does not match its section name");

    entries_ = luids.subspan(kLuidHeader);
    count_ = entries_.size() / kLuidEntry;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count_; ++i) total += length(i);
    if (total > kMaxTextBytes)
        throw Error("trace catalogue texts add up to " + num(total) + " bytes, more than the " +
                    num(kMaxTextBytes) + " read");
}

std::uint32_t Catalogue::luid(std::size_t index) const {
    return load_u32(entries_.data() + index * kLuidEntry);
}

std::uint16_t Catalogue::length(std::size_t index) const {
    return load_u16(entries_.data() + index * kLuidEntry + 4);
}

std::string Catalogue::text(std::size_t index) const {
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < index; ++i) offset += length(i);
    Bz2Reader z(compressed_);
    const std::uint64_t skipped = z.skip(offset);
    std::string out(length(index), '\0');
    const std::size_t got = skipped == offset ? z.read(out.data(), out.size()) : 0;
    if (got < out.size()) throw runs_past(index, skipped + got);
    return out;
}

void Catalogue::for_each(
    const std::function<void(std::size_t, std::uint32_t, std::string_view)> &f) const {
    Bz2Reader z(compressed_);
    std::string text;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        text.resize(length(i));
        const std::size_t got = z.read(text.data(), text.size());
        total += got;
        if (got < text.size()) throw runs_past(i, total);
        f(i, luid(i), text);
    }
    // The constructor saw total <= kMaxTextBytes; one byte past the cap
    // tells "exactly the cap" from "more".
    const std::uint64_t rest = z.skip(kMaxTextBytes - total + 1);
    if (total + rest > kMaxTextBytes)
        throw Error("format strings expand past " + num(kMaxTextBytes) + " bytes");
    if (rest != 0)
        throw Error("trace catalogue text lengths add up to " + num(total) +
                    " bytes but the format strings hold " + num(total + rest));
    if (z.stray() != 0)
        throw Error(num(z.stray()) + " stray bytes after the bzip2 stream in the format strings");
}

void Catalogue::check() const {
    for_each([](std::size_t, std::uint32_t, std::string_view) {});
}

Catalogue load_catalogue(const ElfFile &elf) {
    const std::vector<const Section *> found = elf.find_prefix(kLuidSectionPrefix);
    if (found.empty()) throw Error("no trace catalogue (.wlog_luids_* section missing)");
    if (found.size() > 1) throw Error("more than one .wlog_luids_* section");
    const Section *fmt = elf.find(kFormatSection);
    if (fmt == nullptr) throw Error("no .wlog_format_strings section");
    const std::string_view uuid =
        std::string_view(found[0]->name).substr(kLuidSectionPrefix.size());
    return Catalogue(uuid, elf.contents(*found[0]), elf.contents(*fmt));
}

// ---- Text helpers --------------------------------------------------------------

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += ch;
            } else {
                // Three octal digits, so a following digit cannot extend it.
                char buf[5];
                std::snprintf(buf, sizeof buf, "\\%03o", c);
                out += buf;
            }
        }
    }
    out += '"';
    return out;
}

namespace {

// Walks the conversions of fmt, calling on_text for literal runs and
// on_conv for each conversion character.
template <typename Text, typename Conv>
void scan_format(std::string_view fmt, Text on_text, Conv on_conv) {
    std::size_t i = 0;
    while (i < fmt.size()) {
        const std::size_t pct = fmt.find('%', i);
        if (pct == std::string_view::npos) {
            on_text(fmt.substr(i));
            return;
        }
        on_text(fmt.substr(i, pct - i));
        if (pct + 1 >= fmt.size()) throw Error("message text ends in a lone '%'");
        const char c = fmt[pct + 1];
        if (c == '%') {
            on_text("%");
        } else if (c == 's' || c == 'u' || c == 'd' || c == 'p') {
            on_conv(c);
        } else {
            throw Error(std::string("message text has unsupported conversion '%") + c + "'");
        }
        i = pct + 2;
    }
}

// Parses decimal or 0x-prefixed hex, optionally negative.  Returns the
// magnitude and sets negative.
std::uint64_t parse_number(std::size_t argno, const std::string &arg, bool allow_negative,
                           bool &negative) {
    auto bad = [&](const char *why) {
        return Error("argument " + num(argno) + " " + quote(arg) + " " + why);
    };
    std::string_view s = arg;
    negative = false;
    if (allow_negative && !s.empty() && s[0] == '-') {
        negative = true;
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) throw bad("is not a number");
    std::uint64_t v = 0;
    for (const char c : s) {
        const int d = hex_value(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) throw bad("is not a number");
        if (v > (UINT64_MAX - static_cast<unsigned>(d)) / base) throw bad("is too large");
        v = v * base + static_cast<unsigned>(d);
    }
    return v;
}

std::uint32_t parse_int32(std::size_t argno, const std::string &arg) {
    bool negative = false;
    const std::uint64_t v = parse_number(argno, arg, true, negative);
    if (negative ? v > 0x80000000u : v > 0xFFFFFFFFu)
        throw Error("argument " + num(argno) + " " + quote(arg) + " does not fit in 32 bits");
    return negative ? static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(v))
                    : static_cast<std::uint32_t>(v);
}

} // namespace

std::size_t count_conversions(std::string_view fmt) {
    std::size_t n = 0;
    scan_format(
        fmt, [](std::string_view) {}, [&](char) { ++n; });
    return n;
}

std::string format_message(std::string_view fmt, const std::vector<std::string> &args) {
    const std::size_t need = count_conversions(fmt);
    if (need != args.size())
        throw Error("message takes " + num(need) + " argument" + (need == 1 ? "" : "s") + ", " +
                    num(args.size()) + " given");
    std::string out;
    std::size_t next = 0;
    scan_format(
        fmt, [&](std::string_view text) { out += text; },
        [&](char c) {
            const std::string &arg = args[next++];
            char buf[32];
            switch (c) {
            case 's':
                out += arg;
                return;
            case 'u':
                std::snprintf(buf, sizeof buf, "%u", parse_int32(next, arg));
                break;
            case 'd':
                std::snprintf(buf, sizeof buf, "%d",
                              static_cast<std::int32_t>(parse_int32(next, arg)));
                break;
            default: {
                bool negative = false;
                const unsigned long long v = parse_number(next, arg, false, negative);
                std::snprintf(buf, sizeof buf, "0x%llx", v);
            }
            }
            out += buf;
        });
    return out;
}

} // namespace drovdef
