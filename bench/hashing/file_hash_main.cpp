// Module hashing as the trust policy does it, over any file.
//
// bench-file-hash <file>   prints the digest in lower-case hex, like `openssl dgst -sha256 -r`,
// then "peak_kib <n>": this process's peak resident memory, where the kernel reports it.

#include "korvan/app_dirs/module_policy.hpp"

#include <fstream>
#include <iostream>
#include <string>

namespace {

// VmHWM of /proc/self/status (Linux); 0 elsewhere. Counted from this program's own start, unlike
// a parent's view of a child started by vfork.
long peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string field;
    long value = 0;
    while (status >> field) {
        if (field == "VmHWM:") {
            status >> value;
            break;
        }
    }
    return value;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: bench-file-hash <file>\n";
        return 1;
    }
    const auto digest = korvan::app_dirs::file_sha256_hex(argv[1]);
    if (const auto* error = std::get_if<korvan::platform::FileError>(&digest)) {
        std::cerr << "bench-file-hash: " << error->text << '\n';
        return 1;
    }
    std::cout << std::get<std::string>(digest) << '\n' << "peak_kib " << peak_kib() << '\n';
    return 0;
}
