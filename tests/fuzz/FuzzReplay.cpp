#include "FuzzReplay.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace nork::fuzz {

namespace fs = std::filesystem;

namespace {

bool readFile(const fs::path& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int replayInputs(const std::vector<std::string>& paths) {
    if (paths.empty()) {
        std::fprintf(stderr, "fuzz replay: no corpus directory or input file given\n");
        return 1;
    }
    int result = 0;
    for (const std::string& path : paths) {
        std::vector<fs::path> files;
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
                if (it->is_regular_file(ec))
                    files.push_back(it->path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.emplace_back(path);
        }
        if (ec || files.empty()) {
            std::fprintf(stderr, "fuzz replay: %s holds no input\n", path.c_str());
            result = 1;
            continue;
        }
        std::vector<std::uint8_t> data;
        for (const fs::path& file : files) {
            if (!readFile(file, data)) {
                std::fprintf(stderr, "fuzz replay: cannot read %s\n", file.c_str());
                result = 1;
                continue;
            }
            // A heap copy of exactly the input's size, so a read past the end
            // meets the sanitizers as it would under libFuzzer.
            auto exact = std::make_unique<std::uint8_t[]>(data.size());
            std::copy(data.begin(), data.end(), exact.get());
            LLVMFuzzerTestOneInput(exact.get(), data.size());
        }
        std::printf("fuzz replay: %s: %zu inputs\n", path.c_str(), files.size());
    }
    return result;
}

}  // namespace nork::fuzz
