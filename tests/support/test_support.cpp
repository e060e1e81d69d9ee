#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace vellari::test {

Pixels readPixels(const Image& image, const IRect& rect) {
    Pixels p;
    p.rect = rect;
    p.data.resize(size_t(rect.w) * rect.h * 4);
    defaultContext().render(image, Rect::fromIRect(rect), PixelFormat::RGBAf, p.data.data(), size_t(rect.w) * 16);
    return p;
}

Pixels readPixels(const Image& image) { return readPixels(image, image.extent().integral()); }

Image imageFromFloats(int w, int h, std::vector<float> rgba, Point origin) {
    return Image::fromRGBAf(std::move(rgba), w, h, origin);
}

Image solid(int w, int h, float r, float g, float b, float a, Point origin) {
    return imageFrom(w, h, [&](int, int, float* p) { p[0] = r; p[1] = g; p[2] = b; p[3] = a; }, origin);
}

std::string dataPath(const std::string& relative) { return std::string(VELLARI_TEST_DATA) + "/" + relative; }

std::string tempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "vellari";
    std::random_device rd;
    auto dir = std::filesystem::temp_directory_path() / ("vellari-test-" + name + "-" + std::to_string(rd()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        setenv(name_, old_->c_str(), 1);
    else
        unsetenv(name_);
}

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Outcome runShell(const std::string& command, const std::string& outPath, const std::string& errPath) {
    const std::string cmd = command + " >" + shellQuote(outPath) + " 2>" + shellQuote(errPath);
    Outcome r;
    const int w = std::system(cmd.c_str());
    r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

}  // namespace vellari::test
