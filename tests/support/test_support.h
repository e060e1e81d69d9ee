#pragma once
// Shared helpers for the tests: small images with known pixels and read-back.

#include <optional>
#include <string>
#include <vector>

#include "vellari/platform/context.h"
#include "vellari/platform/image.h"

namespace vellari::test {

// Premultiplied float RGBA pixels of `rect`.
struct Pixels {
    IRect rect;
    std::vector<float> data;
    const float* at(int x, int y) const { return data.data() + (size_t(y - rect.y) * rect.w + (x - rect.x)) * 4; }
    float at(int x, int y, int c) const { return at(x, y)[c]; }
};
Pixels readPixels(const Image& image, const IRect& rect);
Pixels readPixels(const Image& image);  // over the (finite) extent

// An image whose pixels are given as premultiplied RGBA floats (4·w·h), at `origin`.
Image imageFromFloats(int w, int h, std::vector<float> rgba, Point origin = {0, 0});
// An image filled by f(x, y, rgba[4]) with premultiplied values.
template <class F>
Image imageFrom(int w, int h, F&& f, Point origin = {0, 0}) {
    std::vector<float> d(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f(x, y, &d[(size_t(y) * w + x) * 4]);
    return imageFromFloats(w, h, std::move(d), origin);
}
Image solid(int w, int h, float r, float g, float b, float a, Point origin = {0, 0});

std::string dataPath(const std::string& relative);  // tests/data/...
std::string tempDir();                              // a fresh folder for this test

// Sets or removes an environment variable for one scope, then puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The device counts as fast (full output resolution) for one scope.
struct FastDevice : ScopedEnv {
    FastDevice() : ScopedEnv("VELLARI_SLOW_DEVICE", "0") {}
};

// A shell command's exit status and its two streams, which it writes to `outPath` and
// `errPath` (appended to the command here).
struct Outcome {
    int status = -1;
    std::string out, err;
};
Outcome runShell(const std::string& command, const std::string& outPath, const std::string& errPath);
std::string shellQuote(const std::string& s);
std::string slurp(const std::string& path);  // a file's bytes; empty when missing
inline bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

}  // namespace vellari::test
