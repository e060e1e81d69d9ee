// Every benchmark program names, in its context, the instruction set its kernels ran on
// and the processor, so that figures can be compared only with like.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "vellari/platform/simd.h"

namespace {

std::string processorModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(line.find_first_not_of(' ', colon + 1));
        }
    return "unknown";
}

const bool registered = [] {
    benchmark::AddCustomContext("simd", vellari::simd::targetName());
    benchmark::AddCustomContext("processor", processorModel());
    return true;
}();

}  // namespace
