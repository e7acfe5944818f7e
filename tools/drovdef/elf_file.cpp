#include "elf_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace drovdef {

namespace {

constexpr std::size_t kEhdrSize = 64;
constexpr std::size_t kShdrSize = 64;

std::string num(std::uint64_t v) {
    return std::to_string(v);
}

// True when [off, off + len) lies inside a buffer of the given size.
bool in_bounds(std::uint64_t off, std::uint64_t len, std::uint64_t size) {
    return off <= size && len <= size - off;
}

// An open regular file of at most kMaxFileSize bytes; throws Error with
// strerror-style text.
struct Fd {
    int fd;
    explicit Fd(const std::string &path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd < 0) throw Error(std::strerror(errno));
    }
    ~Fd() { ::close(fd); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    std::uint64_t regular_size() const {
        struct stat st {};
        if (::fstat(fd, &st) != 0) throw Error(std::strerror(errno));
        if (!S_ISREG(st.st_mode)) throw Error("not a regular file");
        if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize)
            throw Error("file too large (" + num(static_cast<std::uint64_t>(st.st_size)) +
                        " bytes, at most " + num(kMaxFileSize) + ")");
        return static_cast<std::uint64_t>(st.st_size);
    }
    // Up to len bytes from off; fewer only where the file ends.
    std::size_t read_at(std::uint64_t off, std::size_t len, std::uint8_t *out) const {
        std::size_t got = 0;
        while (got < len) {
            ssize_t n = ::pread(fd, out + got, len - got, static_cast<off_t>(off + got));
            if (n < 0) {
                if (errno == EINTR) continue;
                throw Error(std::strerror(errno));
            }
            if (n == 0) break; // the file shrank while we read it
            got += static_cast<std::size_t>(n);
        }
        return got;
    }
};

} // namespace

std::vector<std::uint8_t> read_file(const std::string &path) {
    const Fd f(path);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(f.regular_size()));
    bytes.resize(f.read_at(0, bytes.size(), bytes.data()));
    return bytes;
}

struct ElfFile::File {
    explicit File(const std::string &path) : fd(path), size(fd.regular_size()) {}
    Fd fd;
    std::uint64_t size;
    // Sections read, by extent.  Once they would add up to more than the
    // file, it is read whole instead, so that sections that overlap cost
    // no more than the file.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<std::uint8_t>> read;
    std::uint64_t read_bytes = 0;
    std::vector<std::uint8_t> whole;
};

ElfFile::ElfFile(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
    parse(bytes_.size());
}

ElfFile::ElfFile(std::shared_ptr<File> file) : file_(std::move(file)) {
    parse(file_->size);
}

ElfFile ElfFile::open(const std::string &path) {
    return ElfFile(std::make_shared<File>(path));
}

void ElfFile::load(std::uint64_t off, std::uint64_t len, std::uint8_t *out) const {
    if (len == 0) return;
    if (file_ == nullptr) {
        std::memcpy(out, bytes_.data() + off, static_cast<std::size_t>(len));
        return;
    }
    if (file_->fd.read_at(off, static_cast<std::size_t>(len), out) != len)
        throw Error("the file shrank while it was read");
}

void ElfFile::parse(const std::uint64_t size) {
    // The header, then the section header table and the section names,
    // each read once its extent is known to lie in the file.
    std::uint8_t b[kEhdrSize] = {};
    load(0, std::min<std::uint64_t>(size, kEhdrSize), b);
    if (size < SELFMAG || std::memcmp(b, ELFMAG, SELFMAG) != 0) throw Error("not an ELF file");
    if (size < EI_NIDENT) throw Error("truncated ELF header");
    if (b[EI_CLASS] != ELFCLASS64) throw Error("not a 64-bit ELF file");
    if (b[EI_DATA] != ELFDATA2LSB) throw Error("not a little-endian ELF file");
    if (size < kEhdrSize) throw Error("truncated ELF header");

    machine_ = load_u16(b + 18);
    const std::uint64_t shoff = load_u64(b + 40);
    const std::uint16_t shentsize = load_u16(b + 58);
    std::uint64_t shnum = load_u16(b + 60);
    std::uint32_t shstrndx = load_u16(b + 62);

    if (shoff == 0) throw Error("no section header table");
    if (shentsize != kShdrSize)
        throw Error("unexpected section header size " + num(shentsize) + " (expected " +
                    num(kShdrSize) + ")");
    if (!in_bounds(shoff, kShdrSize, size))
        throw Error("section header table extends past the end of the file");
    // Extended numbering: the real count and string table index live in
    // the first section header.
    std::uint8_t first[kShdrSize];
    load(shoff, kShdrSize, first);
    if (shnum == 0) shnum = load_u64(first + 32);
    if (shstrndx == SHN_XINDEX) shstrndx = load_u32(first + 40);
    if (shnum == 0) throw Error("no section header table");
    if (shnum > (size - shoff) / kShdrSize)
        throw Error("section header table (" + num(shnum) +
                    " entries) extends past the end of the file");
    if (shstrndx == SHN_UNDEF) throw Error("no section name string table");
    if (shstrndx >= shnum)
        throw Error("section name string table index " + num(shstrndx) + " out of range (" +
                    num(shnum) + " sections)");

    struct Raw {
        std::uint32_t name;
        Section s;
    };
    std::vector<std::uint8_t> table(static_cast<std::size_t>(shnum * kShdrSize));
    load(shoff, table.size(), table.data());
    std::vector<Raw> raw;
    raw.reserve(static_cast<std::size_t>(shnum));
    for (std::uint64_t i = 0; i < shnum; ++i) {
        const std::uint8_t *h = table.data() + i * kShdrSize;
        Raw r;
        r.name = load_u32(h);
        r.s.type = load_u32(h + 4);
        r.s.flags = load_u64(h + 8);
        r.s.addr = load_u64(h + 16);
        r.s.offset = load_u64(h + 24);
        r.s.size = load_u64(h + 32);
        r.s.link = load_u32(h + 40);
        r.s.entsize = load_u64(h + 56);
        if (r.s.type != SHT_NOBITS && r.s.type != SHT_NULL &&
            !in_bounds(r.s.offset, r.s.size, size))
            throw Error("section " + num(i) + " extends past the end of the file (offset " +
                        num(r.s.offset) + ", size " + num(r.s.size) + ", file " + num(size) +
                        " bytes)");
        raw.push_back(r);
    }

    const Section &strtab = raw[shstrndx].s;
    if (strtab.type == SHT_NOBITS || strtab.type == SHT_NULL)
        throw Error("section name string table has no contents");
    const std::span<const std::uint8_t> name_bytes = contents(strtab);
    const char *names = reinterpret_cast<const char *>(name_bytes.data());
    const std::uint64_t names_size = strtab.size;

    sections_.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        Raw &r = raw[i];
        if (r.name >= names_size && !(i == 0 && r.name == 0))
            throw Error("section " + num(i) + " name offset " + num(r.name) +
                        " outside the section name table (" + num(names_size) + " bytes)");
        if (r.name < names_size) {
            const char *start = names + r.name;
            const void *nul = std::memchr(start, '\0', names_size - r.name);
            if (nul == nullptr) throw Error("section " + num(i) + " name is not terminated");
            r.s.name.assign(start, static_cast<const char *>(nul));
        }
        if (r.s.type == SHT_NOBITS || r.s.type == SHT_NULL) r.s.offset = 0;
        if (r.s.type == SHT_NULL) r.s.size = 0;
        sections_.push_back(std::move(r.s));
    }
}

const Section *ElfFile::find(std::string_view name) const {
    for (const Section &s : sections_)
        if (s.name == name) return &s;
    return nullptr;
}

std::vector<const Section *> ElfFile::find_prefix(std::string_view prefix) const {
    std::vector<const Section *> out;
    for (const Section &s : sections_)
        if (s.name.size() >= prefix.size() && s.name.compare(0, prefix.size(), prefix) == 0)
            out.push_back(&s);
    return out;
}

std::span<const std::uint8_t> ElfFile::contents(const Section &s) const {
    // Extents were validated in the constructor.
    if (s.type == SHT_NOBITS || s.type == SHT_NULL) return {};
    const auto len = static_cast<std::size_t>(s.size);
    if (file_ == nullptr) return {bytes_.data() + s.offset, len};
    File &f = *file_;
    if (f.whole.empty()) {
        auto [at, added] = f.read.try_emplace({s.offset, s.size});
        if (!added) return at->second;
        if (f.read_bytes + s.size <= f.size) {
            std::vector<std::uint8_t> bytes(len);
            load(s.offset, len, bytes.data());
            f.read_bytes += s.size;
            at->second = std::move(bytes);
            return at->second;
        }
        f.read.erase(at);
        std::vector<std::uint8_t> whole(static_cast<std::size_t>(f.size));
        load(0, f.size, whole.data());
        f.whole = std::move(whole);
    }
    return {f.whole.data() + s.offset, len};
}

// ---- .velto ----------------------------------------------------------------

std::vector<VeltoRecord> parse_velto(std::span<const std::uint8_t> data) {
    std::vector<VeltoRecord> out;
    const std::size_t n = data.size();
    std::size_t off = 0;
    while (off < n) {
        // Zero fill after the last record is alignment, not a record.
        if (std::all_of(data.begin() + static_cast<std::ptrdiff_t>(off), data.end(),
                        [](std::uint8_t c) { return c == 0; }))
            break;
        if (n - off < 8) throw Error(".velto: truncated record header at offset " + num(off));
        const std::uint32_t len = load_u32(data.data() + off);
        const std::uint32_t type = load_u32(data.data() + off + 4);
        if (len == 0) throw Error(".velto: record at offset " + num(off) + " has an empty body");
        if (len > n - off - 8)
            throw Error(".velto: record at offset " + num(off) + " claims " + num(len) +
                        " body bytes, past the end of the section (" + num(n) + " bytes)");
        const char *body = reinterpret_cast<const char *>(data.data() + off + 8);
        if (body[len - 1] != '\0')
            throw Error(".velto: record at offset " + num(off) + " is not NUL-terminated");
        out.push_back({type, std::string(body, ::strnlen(body, len))});
        off += 8 + len;
        off += std::min<std::size_t>((4 - off % 4) % 4, n - off);
    }
    return out;
}

std::string velto_text(const ElfFile &elf, std::uint32_t type) {
    const Section *s = elf.find(".velto");
    if (s == nullptr) throw Error("no .velto section");
    for (VeltoRecord &r : parse_velto(elf.contents(*s)))
        if (r.type == type) return std::move(r.text);
    throw Error(type == kVeltoManifestRecord ? "no type manifest record in .velto"
                : type == kVeltoBuildRecord  ? "no build record in .velto"
                                             : "no .velto record of type " + num(type));
}

} // namespace drovdef
