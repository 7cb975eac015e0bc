// Replays every file below the folders named on the command line through the target, the way
// libFuzzer would run them, for builds without libFuzzer. A missing folder has no inputs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

std::vector<std::filesystem::path> inputs_below(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error) && it->path().filename() != ".gitkeep") {
            found.push_back(it->path());
        }
    }
    std::sort(found.begin(), found.end()); // the same order on every run
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& path : inputs_below(argv[i])) {
            std::ifstream file(path, std::ios::binary);
            const std::vector<char> text((std::istreambuf_iterator<char>(file)),
                                         std::istreambuf_iterator<char>());
            if (!file.good() && !file.eof()) {
                std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
                return 1;
            }
            std::fprintf(stderr, "replay %s\n", path.string().c_str());
            const std::vector<std::uint8_t> bytes(text.begin(), text.end());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", replayed);
    // A target with no inputs at all checks nothing: that is a broken setup, not a pass.
    return replayed > 0 ? 0 : 1;
}
