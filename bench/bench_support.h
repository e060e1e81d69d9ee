#pragma once
// Shared inputs for the benchmarks.

#include <random>
#include <vector>

namespace vellari::bench {

// Opaque premultiplied RGBA floats of uniform noise, reproducible by seed.
inline std::vector<float> noiseRGBAf(int w, int h, unsigned seed) {
    std::vector<float> d(size_t(w) * h * 4);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    for (size_t i = 0; i < d.size(); i += 4) {
        d[i] = u(rng);
        d[i + 1] = u(rng);
        d[i + 2] = u(rng);
        d[i + 3] = 1;
    }
    return d;
}

}  // namespace vellari::bench
