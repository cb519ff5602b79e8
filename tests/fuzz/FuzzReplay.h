// The ordinary build's stand-in for libFuzzer's driver: every target file
// defines LLVMFuzzerTestOneInput, and without libFuzzer these functions run
// it over stored inputs, so a target's corpus is replayed as a test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace nork::fuzz {

// Runs the target once per file; a directory stands for its regular files
// (not recursive), in name order. Returns 0 when every input ran, 1 when a
// path could not be read or named no input at all (an empty corpus tests
// nothing). Prints a line per path.
int replayInputs(const std::vector<std::string>& paths);

}  // namespace nork::fuzz
