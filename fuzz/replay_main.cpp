// Replays inputs through a harness without libFuzzer: every file named and
// in every folder named (in name order), from a block of exactly its size.
// A folder without files fails (a corpus gone missing).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const size_t before = files.size();
        if (!fs::is_directory(argv[i])) files.emplace_back(argv[i]);
        else
            for (const auto &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file()) files.push_back(e.path());
        if (files.size() == before) {
            std::fprintf(stderr, "%s: no inputs\n", argv[i]);
            return 1;
        }
        std::sort(files.begin() + static_cast<long>(before), files.end());
    }
    for (const fs::path &f : files) {
        std::fprintf(stderr, "%s\n", f.c_str());
        std::vector<uint8_t> bytes(fs::file_size(f));
        std::ifstream in(f, std::ios::binary);
        if (!in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
            std::fprintf(stderr, "%s: cannot read\n", f.c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
