#include "tools/support.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace drovdef_test {

void put(Bytes &b, std::size_t off, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

SynthElf build_elf(const std::vector<SynthSection> &sections) {
    SynthElf elf;
    Bytes &b = elf.bytes;
    b = {0x7f, 'E', 'L', 'F', 2 /* 64-bit */, 1 /* little-endian */, 1};
    b.resize(64, 0);
    std::string names(1, '\0');
    std::vector<std::uint64_t> name_off, data_off;
    for (const SynthSection &s : sections) {
        name_off.push_back(names.size());
        names += s.name + '\0';
        data_off.push_back(b.size());
        if (s.type != 8 /* SHT_NOBITS */) b.insert(b.end(), s.data.begin(), s.data.end());
    }
    name_off.push_back(names.size());
    names += std::string(".shstrtab") + '\0';
    data_off.push_back(b.size());
    b.insert(b.end(), names.begin(), names.end());
    b.resize((b.size() + 7) / 8 * 8, 0);

    elf.shoff = b.size();
    const std::size_t count = sections.size() + 2;
    b.resize(b.size() + 64 * count, 0);
    for (std::size_t k = 0; k + 1 < count; ++k) {
        const bool strtab = k == sections.size();
        put(b, elf.header(k), name_off[k], 4);
        put(b, elf.header(k) + 4, strtab ? 3 : sections[k].type, 4);
        put(b, elf.header(k) + 24, data_off[k], 8);
        put(b, elf.header(k) + 32, strtab ? names.size() : sections[k].data.size(), 8);
    }
    put(b, 40, elf.shoff, 8);
    put(b, 58, 64, 2);
    put(b, 60, count, 2);
    put(b, 62, count - 1, 2);
    return elf;
}

Bytes velto_record(std::uint32_t type, std::string_view text) {
    Bytes r(8, 0);
    put(r, 0, text.size() + 1, 4);
    put(r, 4, type, 4);
    r.insert(r.end(), text.begin(), text.end());
    r.resize((r.size() + 1 + 3) / 4 * 4, 0);
    return r;
}

Bytes bz2(std::string_view text) {
    Bytes out(text.size() + 1024);
    unsigned len = static_cast<unsigned>(out.size());
    std::string in(text);
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char *>(out.data()), &len, in.data(),
                                 static_cast<unsigned>(in.size()), 9, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2 compression failed");
    out.resize(len);
    return out;
}

Bytes luid_section(const std::vector<std::string> &texts, std::uint32_t base,
                   const std::uint8_t (&uuid)[16]) {
    Bytes b(20, 0);
    b[0] = 1; // version
    std::copy(std::begin(uuid), std::end(uuid), b.begin() + 4);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        b.resize(b.size() + 6);
        put(b, b.size() - 6, base + i, 4);
        put(b, b.size() - 2, texts[i].size(), 2);
    }
    return b;
}

namespace {

// One directory per test process, removed when the process ends.
std::string temp_path(const std::string &name) {
    static struct Dir {
        std::string path = ::testing::TempDir() + "drovdef_XXXXXX";
        int next = 0;
        Dir() {
            if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        }
        ~Dir() { std::filesystem::remove_all(path); }
    } dir;
    return dir.path + "/" + std::to_string(dir.next++) + name;
}

std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

std::string write_temp(const std::string &name, const Bytes &data) {
    const std::string path = temp_path(name);
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
    return path;
}

Bytes read_all(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

RunResult run_tool(const std::vector<std::string> &args) {
    const std::string out = temp_path("out"), err = temp_path("err");
    std::string cmd = shell_quote(DROVDEF_TOOL);
    for (const std::string &a : args) cmd += " " + shell_quote(a);
    // exec: a signal death then shows as the shell's own, not as exit 128+n.
    const int status =
        std::system(("exec " + cmd + " >" + shell_quote(out) + " 2>" + shell_quote(err)).c_str());
    RunResult r;
    if (status != -1 && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    const Bytes o = read_all(out), e = read_all(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

} // namespace drovdef_test
