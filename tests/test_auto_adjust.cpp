// Automatic adjustment: what it proposes for flat, well-exposed and dull pictures, and that
// it is stable.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

#include "test_support.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/picture.h"

using namespace vellari;
using namespace vellari::test;

namespace {

// A 64 × 64 picture whose luma covers [lo, hi] (a diagonal ramp with a little noise) and
// whose colour is pushed `chroma` away from grey.
Image picture(float lo, float hi, float chroma, unsigned seed = 5) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.01f, 0.01f);
    return imageFrom(64, 64, [&](int x, int y, float* p) {
        float t = lo + (hi - lo) * (x + y) / 126.f + u(rng);
        int hue = (x * 7 + y * 3) % 3;
        for (int c = 0; c < 3; ++c) p[c] = std::clamp(t + (c == hue ? chroma : -chroma / 2), 0.f, 1.f);
        p[3] = 1;
    });
}

double lumaSpread(const Image& img) {
    Pixels p = readPixels(img);
    double s = 0, s2 = 0;
    const size_t n = p.data.size() / 4;
    for (size_t i = 0; i < n; ++i) {
        double l = 0.2126 * p.data[i * 4] + 0.7152 * p.data[i * 4 + 1] + 0.0722 * p.data[i * 4 + 2];
        s += l;
        s2 += l * l;
    }
    return std::sqrt(s2 / n - (s / n) * (s / n));
}

Image applyAll(Image img, const std::vector<FilterPtr>& fs) {
    for (auto& f : fs) {
        f->setValue("inputImage", img);
        img = f->outputImage();
    }
    return img;
}

const FilterPtr* find(const std::vector<FilterPtr>& fs, const std::string& name) {
    for (auto& f : fs)
        if (f->name() == name) return &f;
    return nullptr;
}

std::vector<double> curveYs(const std::vector<FilterPtr>& fs) {
    std::vector<double> ys;
    const FilterPtr* c = find(fs, "CIToneCurve");
    if (!c) return ys;
    for (int i = 0; i < 5; ++i) ys.push_back((*c)->value("inputPoint" + std::to_string(i)).vector()[1]);
    return ys;
}

}  // namespace

TEST(AutoAdjust, LowContrastPictureIsStretched) {
    Image flat = picture(0.4f, 0.62f, 0.02f);
    auto fs = flat.autoAdjustmentFilters();
    ASSERT_FALSE(fs.empty());
    EXPECT_EQ(fs[0]->name(), "CIToneCurve");
    for (auto& f : fs) EXPECT_TRUE(f->value("inputImage").image().isNull()) << f->name();
    auto ys = curveYs(fs);
    ASSERT_EQ(ys.size(), 5u);
    for (int i = 1; i < 5; ++i) EXPECT_GT(ys[i], ys[i - 1]);  // monotone
    Image out = applyAll(flat, fs);
    EXPECT_GT(lumaSpread(out), 1.5 * lumaSpread(flat));
    // The picture is dull, so vibrance comes along with a positive amount.
    const FilterPtr* v = find(fs, "CIVibrance");
    ASSERT_TRUE(v);
    EXPECT_GT((*v)->value("inputAmount").number(), 0.1);
}

TEST(AutoAdjust, WellExposedColourfulPictureChangesLittle) {
    Image good = picture(0.0f, 1.0f, 0.35f);
    auto fs = good.autoAdjustmentFilters();
    auto ys = curveYs(fs);
    ASSERT_EQ(ys.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(ys[i], 0.25 * i, 0.03) << i;
    EXPECT_EQ(find(fs, "CIVibrance"), nullptr);
    Pixels a = readPixels(good), b = readPixels(applyAll(good, fs));
    double worst = 0;
    for (size_t i = 0; i < a.data.size(); ++i) worst = std::max(worst, double(std::abs(a.data[i] - b.data[i])));
    EXPECT_LT(worst, 0.04);
}

TEST(AutoAdjust, DeterministicAndStable) {
    Image img = picture(0.15f, 0.7f, 0.08f);
    auto ya = curveYs(img.autoAdjustmentFilters()), yb = curveYs(img.autoAdjustmentFilters());
    EXPECT_EQ(ya, yb);
    // One grey level more everywhere moves the curve a little, not a lot.
    Image nudged = img.applyingFilter("CIColorMatrix", {{"inputBiasVector", Vector{0.004, 0.004, 0.004, 0}}});
    auto yc = curveYs(nudged.autoAdjustmentFilters());
    ASSERT_EQ(yc.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(yc[i], ya[i], 0.01) << i;
    // The vibrance amount ramps in continuously around the dullness threshold.
    double prev = -1;
    for (float chroma = 0.0f; chroma <= 0.3f; chroma += 0.01f) {
        auto fs = picture(0.1f, 0.9f, chroma).autoAdjustmentFilters();
        const FilterPtr* v = find(fs, "CIVibrance");
        double amount = v ? (*v)->value("inputAmount").number() : 0.0;
        if (prev >= 0) {
            EXPECT_LT(std::abs(amount - prev), 0.1) << chroma;
        }
        prev = amount;
    }
    EXPECT_EQ(prev, 0.0);  // colourful pictures get none
}

TEST(AutoAdjust, EdgeCasesAndCost) {
    EXPECT_TRUE(Image().autoAdjustmentFilters().empty());
    EXPECT_TRUE(Image::constantColor(Color::white()).autoAdjustmentFilters().empty());
    // A fully transparent picture gets the identity curve.
    auto ys = curveYs(solid(8, 8, 0, 0, 0, 0).autoAdjustmentFilters());
    ASSERT_EQ(ys.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(ys[i], 0.25 * i);
    // A large picture is reduced first and gives the same kind of answer.
    Image big = picture(0.4f, 0.62f, 0.02f).scaled(12, 12);
    auto yb = curveYs(big.autoAdjustmentFilters()), ys64 = curveYs(picture(0.4f, 0.62f, 0.02f).autoAdjustmentFilters());
    ASSERT_EQ(yb.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(yb[i], ys64[i], 0.03) << i;
    // 64 × 64 is cheap: generous bound, the work is a render and a sort of 4096 values.
    Image img = picture(0.2f, 0.8f, 0.1f);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) img.autoAdjustmentFilters();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / 20;
    EXPECT_LT(ms, 50.0);
}

TEST(AutoAdjust, WellExposedPhotographsChangeLittle) {
    // The 64 × 64 thumbnails the callers analyse.
    for (const char* name : {"photos/astronaut.png", "photos/coffee.png", "photos/chelsea.png"}) {
        PictureResult r = readPicture(dataPath(name));
        ASSERT_TRUE(r.ok()) << r.error;
        Image img = Image::fromPicture(r.picture);
        double k = 64.0 / std::max(img.extent().width, img.extent().height);
        auto ys = curveYs(img.scaled(k, k, true).autoAdjustmentFilters());
        ASSERT_EQ(ys.size(), 5u) << name;
        EXPECT_DOUBLE_EQ(ys[0], 0.0) << name;
        EXPECT_DOUBLE_EQ(ys[4], 1.0) << name;
        for (int i = 1; i < 5; ++i) EXPECT_GT(ys[i], ys[i - 1]) << name;
        // The astronaut and the coffee cup are exposed well; the cat's dim fur gets a
        // visible but bounded lift.
        const double limit = std::string(name) == "photos/chelsea.png" ? 0.2 : 0.04;
        for (int i = 0; i < 5; ++i) EXPECT_NEAR(ys[i], 0.25 * i, limit) << name << " point " << i;
    }
}
