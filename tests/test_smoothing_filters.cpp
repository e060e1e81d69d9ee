// The smoothing and anti-aliasing filters: kernel tables and their caches, the
// pass-through rules, what each filter does to edges and noise, and the shared filters
// behind the kernel library's forwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <thread>
#include <tuple>

#include "test_support.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/engine/smoothing_filters.h"

using namespace vellari;
using namespace vellari::test;

namespace {

double g(double x, double sigma) {
    return std::exp(-x * x / (2 * sigma * sigma)) / std::sqrt(2 * std::numbers::pi * sigma * sigma);
}

// Opaque grey pixels given by f(x, y).
template <class F>
Image grey(int w, int h, F&& f, Point origin = {0, 0}) {
    return imageFrom(
        w, h,
        [&](int x, int y, float* p) {
            const float v = float(f(x, y));
            p[0] = p[1] = p[2] = v;
            p[3] = 1;
        },
        origin);
}

// White above the line y = slope·x + offset, black below: a hard aliased staircase.
Image staircase(int w, int h, double slope, double offset, Point origin = {0, 0}) {
    return grey(w, h, [&](int x, int y) { return y + 0.5 < slope * (x + 0.5) + offset ? 1.0 : 0.0; }, origin);
}

float maxDifference(const Pixels& a, const Pixels& b) {
    float m = 0;
    for (size_t i = 0; i < a.data.size() && i < b.data.size(); ++i) m = std::max(m, std::fabs(a.data[i] - b.data[i]));
    return a.data.size() == b.data.size() ? m : 1e9f;
}

Image fxaa(const Image& in) {
    YUCIFXAA f;
    f.setInputImage(in);
    return f.outputImage();
}

Image surfaceBlur(const Image& in, double radius, double threshold) {
    YUCISurfaceBlur f;
    f.setInputImage(in);
    f.setInputRadius(radius);
    f.setInputThreshold(threshold);
    return f.outputImage();
}

// Standard deviation of the red channel over `r`.
double redDeviation(const Pixels& p, const IRect& r) {
    double s = 0, s2 = 0;
    for (int y = r.y; y < r.bottom(); ++y)
        for (int x = r.x; x < r.right(); ++x) {
            s += p.at(x, y, 0);
            s2 += double(p.at(x, y, 0)) * p.at(x, y, 0);
        }
    const double n = double(r.area());
    return std::sqrt(std::max(0.0, s2 / n - (s / n) * (s / n)));
}

// Two grey levels split at x = w / 2, with uniform noise of ±amp.
Image noisyStep(int w, int h, float lo, float hi, float amp, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amp, amp);
    return grey(w, h, [&](int x, int) { return (x < w / 2 ? lo : hi) + u(rng); });
}

// Premultiplied colour noise with translucent and transparent pixels and smooth patches
// (so that neighbours of similar brightness exist), at an offset origin.
Image colourNoise(int w, int h, unsigned seed, Point origin) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    return imageFrom(
        w, h,
        [&](int x, int y, float* p) {
            const float a = (x + 2 * y) % 9 == 0 ? 0.0f : 0.4f + 0.6f * u(rng);
            const bool patch = (x / 6 + y / 4) % 2 == 0;
            p[0] = a * (patch ? 0.6f + 0.05f * u(rng) : u(rng));
            p[1] = a * (patch ? 0.3f + 0.05f * u(rng) : u(rng));
            p[2] = a * (patch ? 0.5f : u(rng));
            p[3] = a;
        },
        origin);
}

float worstDifference(const Pixels& got, const std::vector<double>& want) {
    float m = 0;
    for (size_t i = 0; i < want.size(); ++i) m = std::max(m, float(std::fabs(got.data[i] - want[i])));
    return got.data.size() == want.size() ? m : 1e9f;
}

}  // namespace

TEST(BilateralKernel, SampleCountFollowsTheCutOff) {
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(1), 3);
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(2), 5);
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(5), 11);
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(10), 21);
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(20), 35);
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(0), 1);
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(-4), 1);
    // Where the peak itself lies below the cut-off there is nothing to sample but the centre.
    EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(500), 1);
    for (int r = 0; r < 120; ++r) EXPECT_EQ(YUCIBilateralFilter::sampleCountForRadius(r) % 2, 1) << "radius " << r;
}

TEST(BilateralKernel, ReusedPerSampleCountAndNormalised) {
    // Radii 11 and 12 both give 23 samples; 13 gives 25.
    ASSERT_EQ(YUCIBilateralFilter::sampleCountForRadius(11), YUCIBilateralFilter::sampleCountForRadius(12));
    auto k11 = YUCIBilateralFilter::filterKernelForRadius(11);
    auto k12 = YUCIBilateralFilter::filterKernelForRadius(12);
    auto k13 = YUCIBilateralFilter::filterKernelForRadius(13);
    ASSERT_TRUE(k11 && k12 && k13);
    EXPECT_EQ(k11.get(), k12.get());
    EXPECT_NE(k11.get(), k13.get());
    EXPECT_EQ(k13.get(), YUCIBilateralFilter::filterKernelForRadius(13).get());

    auto k10 = YUCIBilateralFilter::filterKernelForRadius(10);
    ASSERT_EQ(k10->sampleCount, 21);
    ASSERT_EQ(k10->weights.size(), 11u);
    double total = k10->weights[0];
    for (size_t i = 1; i < k10->weights.size(); ++i) total += 2 * k10->weights[i];
    EXPECT_NEAR(total, 1.0, 1e-5);
    // Relative weights are those of the Gaussian of σ = radius.
    EXPECT_NEAR(k10->weights[5] / k10->weights[0], g(5, 10) / g(0, 10), 1e-5);

    auto k0 = YUCIBilateralFilter::filterKernelForRadius(0);
    ASSERT_EQ(k0->weights.size(), 1u);
    EXPECT_FLOAT_EQ(k0->weights[0], 1.0f);
}

TEST(SurfaceBlurKernel, SymmetricGaussianTableCachedPerRadius) {
    for (int n : {1, 3, 10}) {
        auto k = YUCISurfaceBlur::filterKernelForRadius(n);
        ASSERT_TRUE(k);
        EXPECT_EQ(k->radius, n);
        EXPECT_EQ(k->sampleCount, 2 * n);
        ASSERT_EQ(k->weights.size(), size_t(2 * n - 1));
        for (int i = 0; i < n; ++i) {
            EXPECT_NEAR(k->weights[size_t(n - 1 - i)], g(i, n), 1e-7) << "n " << n << " i " << i;
            EXPECT_EQ(k->weights[size_t(n - 1 - i)], k->weights[size_t(n - 1 + i)]);
        }
        EXPECT_EQ(k.get(), YUCISurfaceBlur::filterKernelForRadius(n).get());
    }
    EXPECT_NE(YUCISurfaceBlur::filterKernelForRadius(3).get(), YUCISurfaceBlur::filterKernelForRadius(4).get());
    EXPECT_FALSE(YUCISurfaceBlur::filterKernelForRadius(0));
    EXPECT_FALSE(YUCISurfaceBlur::filterKernelForRadius(-2));
}

TEST(SurfaceBlur, PassThroughRulesAndThresholdZero) {
    // Columns of the same stored colour, and so the same brightness, but different alpha.
    Image in = imageFrom(16, 8, [&](int x, int, float* p) {
        p[0] = p[1] = p[2] = 0.5f;
        p[3] = x % 2 ? 0.6f : 1.0f;
    });
    EXPECT_TRUE(surfaceBlur(in, 0, 10).sameAs(in));
    EXPECT_TRUE(surfaceBlur(in, 0.9, 10).sameAs(in));  // as an integer that is 0
    EXPECT_TRUE(surfaceBlur(in, -3, 10).sameAs(in));
    EXPECT_TRUE(surfaceBlur(in, 5, -1).sameAs(in));
    EXPECT_TRUE(surfaceBlur(in, 5, std::nan("")).sameAs(in));

    // Threshold 0 still blurs: neighbours of exactly equal brightness mix.
    Image out = surfaceBlur(in, 3, 0);
    ASSERT_TRUE(out);
    EXPECT_FALSE(out.sameAs(in));
    EXPECT_EQ(out.extent(), in.extent());
    Pixels p = readPixels(out);
    EXPECT_LT(p.at(8, 4, 3), 0.95f);  // an opaque column mixed with its neighbours
    EXPECT_GT(p.at(9, 4, 3), 0.65f);
    EXPECT_FLOAT_EQ(p.at(8, 4, 0), 0.5f);

    // ...but nothing else: a different brightness keeps its value exactly.
    Image two = grey(16, 8, [](int x, int) { return x % 2 ? 0.3 : 0.31; });
    EXPECT_LT(maxDifference(readPixels(surfaceBlur(two, 3, 0)), readPixels(two)), 1e-6f);
    // The shared forward gives the same as a filter of its own.
    EXPECT_LT(maxDifference(readPixels(QXVideoFilterUtilities::surfaceBlur(in, 3, 0)), p), 1e-6f);
}

TEST(SurfaceBlur, KeepsStepEdgeAndSmoothsFlatNoise) {
    const int w = 300, h = 140;  // more than one render tile
    Image in = noisyStep(w, h, 0.2f, 0.8f, 0.03f, 7).translated(-20, 13);
    const IRect e = in.extent().integral();
    Image out = surfaceBlur(in, 6, 20);  // t = 40/255, far below the step of 0.6
    ASSERT_TRUE(out);
    EXPECT_EQ(out.extent(), in.extent());
    Pixels a = readPixels(in), b = readPixels(out);
    const IRect flatL{e.x + 20, e.y + 20, 100, 100}, flatR{e.x + 180, e.y + 20, 100, 100};
    EXPECT_LT(redDeviation(b, flatL), 0.5 * redDeviation(a, flatL));
    EXPECT_LT(redDeviation(b, flatR), 0.5 * redDeviation(a, flatR));
    // The columns either side of the step stay on their own level.
    const int edge = e.x + w / 2;
    for (int y = e.y; y < e.bottom(); y += 9) {
        EXPECT_NEAR(b.at(edge - 1, y, 0), 0.2f, 0.035f) << "row " << y;
        EXPECT_NEAR(b.at(edge, y, 0), 0.8f, 0.035f) << "row " << y;
        EXPECT_FLOAT_EQ(b.at(edge, y, 3), 1.0f);
    }
    // Borders are clamped, not darkened by transparency outside.
    EXPECT_NEAR(b.at(e.x, e.y, 0), 0.2f, 0.035f);
    EXPECT_NEAR(b.at(e.right() - 1, e.bottom() - 1, 0), 0.8f, 0.035f);
    EXPECT_FLOAT_EQ(b.at(e.x, e.y, 3), 1.0f);
    // Rendering a part computes the same pixels as rendering the whole.
    const IRect part{edge - 37, e.y + 50, 61, 23};
    Pixels q = readPixels(out, part);
    float m = 0;
    for (int y = part.y; y < part.bottom(); ++y)
        for (int x = part.x; x < part.right(); ++x)
            for (int c = 0; c < 4; ++c) m = std::max(m, std::fabs(q.at(x, y, c) - b.at(x, y, c)));
    EXPECT_LT(m, 1e-6f);
}

TEST(SurfaceBlur, MatchesThePerPixelDefinitionAtEveryWidth) {
    // Each output pixel from its definition: the window of (2n − 1)² pixels around it, with
    // the image's edge repeated, weighted by the spatial Gaussian times the linear fall-off
    // of the brightness difference. Widths leave partial vectors at the row ends (and the
    // wider one spans two render tiles).
    auto luma = [](const float* p) { return 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2]; };
    for (auto [w, h, radius, threshold] : {std::tuple{45, 9, 3, 30.0}, {300, 11, 5, 60.0}, {3, 5, 4, 0.0}}) {
        const Image in = colourNoise(w, h, unsigned(w), {-7, 3});
        const Pixels src = readPixels(in);
        const IRect& e = src.rect;
        auto at = [&](int x, int y) {
            return src.at(std::clamp(x, e.x, e.right() - 1), std::clamp(y, e.y, e.bottom() - 1));
        };
        const auto kernel = YUCISurfaceBlur::filterKernelForRadius(radius);
        const int m = radius - 1;
        const double t = threshold / 255.0 * 2.0;
        std::vector<double> want;
        for (int y = e.y; y < e.bottom(); ++y)
            for (int x = e.x; x < e.right(); ++x) {
                const double lc = luma(at(x, y));
                double sum[5] = {0, 0, 0, 0, 0};
                for (int dy = -m; dy <= m; ++dy)
                    for (int dx = -m; dx <= m; ++dx) {
                        const float* q = at(x + dx, y + dy);
                        const double d = std::fabs(luma(q) - lc);
                        const double fall = t > 0 ? std::max(0.0, 1.0 - d / t) : (d == 0 ? 1.0 : 0.0);
                        const double wgt = double(kernel->weights[size_t(m + dy)]) * kernel->weights[size_t(m + dx)] * fall;
                        sum[4] += wgt;
                        for (int c = 0; c < 4; ++c) sum[c] += wgt * q[c];
                    }
                for (int c = 0; c < 4; ++c) want.push_back(sum[c] / sum[4]);
            }
        EXPECT_LT(worstDifference(readPixels(surfaceBlur(in, radius, threshold)), want), 2e-5f)
            << w << "x" << h << " radius " << radius;
    }
}

TEST(HistogramEqualization, StretchesEachChannelToFullRangeAtOrigin) {
    // The mapping: the smallest present value goes to 0, the largest to 255, others by
    // their cumulative share; a single-valued channel is kept.
    std::vector<uint8_t> px = {10, 50, 200, 255, 10, 60, 200, 255, 20, 70, 200, 255, 30, 80, 200, 255};
    YUCIHistogramEqualization::equalize(px.data(), 4);
    const uint8_t first[4] = {px[0], px[4], px[8], px[12]};
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(first[1], 0);  // both 10s
    EXPECT_EQ(first[2], 128);
    EXPECT_EQ(first[3], 255);
    EXPECT_EQ(px[1], 0);
    EXPECT_EQ(px[13], 255);
    EXPECT_EQ(px[2], 200);  // single-valued channels are kept
    EXPECT_EQ(px[3], 255);

    const int w = 50, h = 20;
    Image ramp = grey(w, h, [&](int x, int) { return 0.4 + 0.2 * x / (w - 1); }, {33, -7});
    YUCIHistogramEqualization f;
    f.setInputImage(ramp);
    Image out = f.outputImage();
    ASSERT_TRUE(out);
    EXPECT_EQ(out.extent(), (Rect{0, 0, double(w), double(h)}));
    Pixels p = readPixels(out);
    EXPECT_FLOAT_EQ(p.at(0, 5, 0), 0.0f);
    EXPECT_FLOAT_EQ(p.at(w - 1, 5, 0), 1.0f);
    EXPECT_FLOAT_EQ(p.at(w - 1, 5, 2), 1.0f);
    for (int x = 1; x < w; ++x) EXPECT_GE(p.at(x, 5, 0), p.at(x - 1, 5, 0));
    EXPECT_NEAR(p.at(w / 2, 5, 0), 0.5f, 0.05f);
    EXPECT_FLOAT_EQ(p.at(w / 2, 5, 3), 1.0f);  // the opaque alpha stays opaque
    EXPECT_EQ(&f.context(), &f.context());

    // An infinite input has no bitmap to equalise.
    f.setInputImage(Image::constantColor(Color::white()));
    EXPECT_FALSE(f.outputImage());
}

TEST(HistogramEqualization, EachChannelKeepsItsPlaceInTheOutput) {
    // Red rises along x, blue along y, green is one value, alpha opaque: a channel moved to
    // another's place in the output would show the wrong pattern.
    const int w = 40, h = 24;
    Image in = imageFrom(w, h, [&](int x, int y, float* p) {
        p[0] = 0.2f + 0.5f * float(x) / float(w - 1);
        p[1] = 0.3f;
        p[2] = 0.1f + 0.3f * float(y) / float(h - 1);
        p[3] = 1;
    });
    YUCIHistogramEqualization f;
    f.setInputImage(in);
    const Pixels p = readPixels(f.outputImage());
    ASSERT_EQ(p.rect, (IRect{0, 0, w, h}));
    for (int y = 0; y < h; y += 5)
        for (int x = 0; x < w; x += 3) {
            EXPECT_NEAR(p.at(x, y, 0), float(x) / float(w - 1), 0.04f) << x << "," << y;
            EXPECT_NEAR(p.at(x, y, 1), std::round(0.3f * 255) / 255, 1e-6f);
            EXPECT_NEAR(p.at(x, y, 2), float(y) / float(h - 1), 0.06f) << x << "," << y;
            EXPECT_FLOAT_EQ(p.at(x, y, 3), 1.0f);
        }
}

TEST(FXAA, SoftensStaircaseAndKeepsSmoothContent) {
    const int w = 96, h = 64;
    Image in = staircase(w, h, 0.35, 12, {-5, 9});
    const IRect e = in.extent().integral();
    Pixels a = readPixels(in), b = readPixels(fxaa(in));
    int intermediate = 0, columns = 0;
    for (int x = e.x + 2; x < e.right() - 2; ++x) {
        bool any = false;
        for (int y = e.y; y < e.bottom(); ++y) {
            const float v = b.at(x, y, 0);
            if (v > 0.03f && v < 0.97f) any = true;
            // Colour stays a valid opaque grey.
            EXPECT_FLOAT_EQ(b.at(x, y, 3), 1.0f);
            EXPECT_NEAR(b.at(x, y, 1), v, 1e-6f);
        }
        intermediate += any;
        ++columns;
    }
    EXPECT_GT(intermediate, columns * 3 / 4);
    // Far from the staircase nothing changes.
    EXPECT_EQ(b.at(e.x + 10, e.bottom() - 1, 0), a.at(e.x + 10, e.bottom() - 1, 0));
    EXPECT_EQ(b.at(e.right() - 3, e.y, 0), a.at(e.right() - 3, e.y, 0));

    Image flat = solid(40, 30, 0.3f, 0.5f, 0.7f, 1.0f);
    EXPECT_LT(maxDifference(readPixels(fxaa(flat)), readPixels(flat)), 1e-3f);
    Image ramp = imageFrom(300, 150, [](int x, int y, float* p) {
        p[0] = float(x) / 299;
        p[1] = float(y) / 149;
        p[2] = float(x + y) / 448;
        p[3] = 1;
    });
    EXPECT_LT(maxDifference(readPixels(fxaa(ramp)), readPixels(ramp)), 1e-3f);
}

TEST(FXAA, PartialRendersAndTileSeamsAgree) {
    // Larger than one tile, so pixels near seams read their neighbours from the margin.
    Image in = staircase(600, 300, 0.47, 20);
    Image out = fxaa(in);
    Pixels whole = readPixels(out);
    for (IRect part : {IRect{250, 100, 20, 60}, IRect{0, 0, 7, 300}, IRect{590, 280, 10, 20}}) {
        Pixels q = readPixels(out, part);
        float m = 0;
        for (int y = part.y; y < part.bottom(); ++y)
            for (int x = part.x; x < part.right(); ++x)
                for (int c = 0; c < 4; ++c) m = std::max(m, std::fabs(q.at(x, y, c) - whole.at(x, y, c)));
        EXPECT_EQ(m, 0.0f) << part.x << "," << part.y;
    }
}

TEST(FXAA, SharedForwardOutputsDependOnlyOnTheirInput) {
    Image i1 = staircase(80, 60, 0.3, 5), i2 = staircase(80, 60, -0.6, 50);
    Image o1 = QXVideoFilterUtilities::FXAA(i1);
    Image o2 = QXVideoFilterUtilities::FXAA(i2);
    ASSERT_TRUE(o1 && o2);
    Pixels p1 = readPixels(o1), p2 = readPixels(o2);
    EXPECT_EQ(maxDifference(p1, readPixels(fxaa(i1))), 0.0f);
    EXPECT_EQ(maxDifference(p2, readPixels(fxaa(i2))), 0.0f);
    EXPECT_GT(maxDifference(p1, p2), 0.5f);
    EXPECT_FALSE(QXVideoFilterUtilities::FXAA(Image()));
}

TEST(FXAA, ConcurrentSharedCallsMatchSerialOnes) {
    Image inputs[2] = {staircase(200, 120, 0.25, 30), staircase(200, 120, 1.7, -40)};
    Pixels expected[2] = {readPixels(fxaa(inputs[0])), readPixels(fxaa(inputs[1]))};
    float worst[2] = {0, 0};
    auto work = [&](int which) {
        for (int i = 0; i < 25; ++i) {
            Image o = QXVideoFilterUtilities::FXAA(inputs[which]);
            worst[which] = std::max(worst[which], o ? maxDifference(readPixels(o), expected[which]) : 1e9f);
        }
    };
    std::thread t0(work, 0), t1(work, 1);
    t0.join();
    t1.join();
    EXPECT_EQ(worst[0], 0.0f);
    EXPECT_EQ(worst[1], 0.0f);
}

// FXAA one pixel at a time, straight from the method's definition (luma read with the
// image's edge repeated, every sample a bilinear read of it), as a reference for the
// kernel's batched evaluation. Writes pixel (x, y) of the result to `out`. Where the two
// edge orientations measure the same (they do exactly for some neighbourhoods, so
// rounding decides), `span` forces one: 1 along x, 0 along y; `tie` tells such pixels.
void fxaaReferencePixel(const Pixels& in, int x, int y, int span, float* out, bool* tie = nullptr) {
    const IRect& e = in.rect;
    auto luma = [&](int u, int v) {
        const float* p = in.at(std::clamp(u, e.x, e.right() - 1), std::clamp(v, e.y, e.bottom() - 1));
        return 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
    };
    auto lumaAt = [&](float du, float dv) {
        const float fu = std::floor(du), fv = std::floor(dv), tx = du - fu, ty = dv - fv;
        const int u = x + int(fu), v = y + int(fv);
        const float top = luma(u, v) + (luma(u + 1, v) - luma(u, v)) * tx;
        const float bottom = luma(u, v + 1) + (luma(u + 1, v + 1) - luma(u, v + 1)) * tx;
        return top + (bottom - top) * ty;
    };
    const float* p = in.at(x, y);
    std::copy(p, p + 4, out);
    if (tie) *tie = false;
    const float m = luma(x, y);
    float n = luma(x, y - 1), s = luma(x, y + 1), w = luma(x - 1, y), east = luma(x + 1, y);
    const float hi = std::max({n, s, w, east, m}), lo = std::min({n, s, w, east, m});
    if (hi - lo < std::max(0.0833f, hi * 0.166f)) return;  // too little contrast
    const float nw = luma(x - 1, y - 1), ne = luma(x + 1, y - 1), sw = luma(x - 1, y + 1), se = luma(x + 1, y + 1);
    // Which way the edge runs: the larger second difference across it.
    const float horz = std::fabs(-2 * w + nw + sw) + 2 * std::fabs(-2 * m + n + s) + std::fabs(-2 * east + ne + se);
    const float vert = std::fabs(-2 * s + sw + se) + 2 * std::fabs(-2 * m + w + east) + std::fabs(-2 * n + nw + ne);
    if (tie) *tie = std::fabs(horz - vert) <= 1e-5f * (horz + vert);
    const bool horzSpan = span < 0 ? horz >= vert : span == 1;
    // Sub-pixel blend from the neighbourhood's low-pass contrast.
    const float average = (2 * (n + s + w + east) + (nw + sw + ne + se)) / 12;
    const float c = std::clamp(std::fabs(average - m) / (hi - lo), 0.0f, 1.0f);
    const float smooth = (3 - 2 * c) * c * c;
    const float subpix = 0.75f * smooth * smooth;
    if (!horzSpan) {
        n = w;
        s = east;
    }
    // The neighbour across the edge with the larger step, and the luma half-way to it.
    const bool pairN = std::fabs(n - m) >= std::fabs(s - m);
    const float sign = pairN ? -1.0f : 1.0f;
    const float edgeLuma = ((pairN ? n : s) + m) / 2;
    const float scaled = std::max(std::fabs(n - m), std::fabs(s - m)) / 4;
    // Walk both ways along the edge from between the two until the luma leaves the edge's;
    // the last step is a guess beyond the sampled ones.
    auto end = [&](float t) { return (horzSpan ? lumaAt(t, sign / 2) : lumaAt(sign / 2, t)) - edgeLuma; };
    const float steps[6] = {1.0f, 1.5f, 2.0f, 2.0f, 1.5f, 4.0f};
    float tN = -steps[0], tP = steps[0];
    float endN = end(tN), endP = end(tP);
    bool doneN = std::fabs(endN) >= scaled, doneP = std::fabs(endP) >= scaled;
    for (int k = 1; k < 6; ++k) {
        if (!doneN) tN -= steps[k];
        if (!doneP) tP += steps[k];
        if (k == 5) break;
        if (!doneN) doneN = std::fabs(endN = end(tN)) >= scaled;
        if (!doneP) doneP = std::fabs(endP = end(tP)) >= scaled;
    }
    // The nearer end decides; it must lie on the other side of the edge luma.
    const bool nearerN = -tN < tP;
    const bool good = ((nearerN ? endN : endP) < 0) != (m < edgeLuma);
    const float along = good ? 0.5f - std::min(-tN, tP) / (tP - tN) : 0.0f;
    const float f = std::max(along, subpix);
    if (!(f > 0)) return;
    const int qx = std::clamp(x + (horzSpan ? 0 : int(sign)), e.x, e.right() - 1);
    const int qy = std::clamp(y + (horzSpan ? int(sign) : 0), e.y, e.bottom() - 1);
    const float* q = in.at(qx, qy);
    for (int ch = 0; ch < 4; ++ch) out[ch] = p[ch] + (q[ch] - p[ch]) * f;
}

TEST(FXAA, MatchesThePerPixelReference) {
    // An illustration-like frame across several tiles: flat colour discs with hard dark
    // outlines over a soft gradient, fine noise, at an offset origin.
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(0, 1);
    struct Disc {
        float x, y, r, c[3];
    };
    std::vector<Disc> discs;
    for (int i = 0; i < 30; ++i) discs.push_back({u(rng) * 420, u(rng) * 300, 8 + 60 * u(rng), {u(rng), u(rng), u(rng)}});
    const Image in = imageFrom(
        420, 300,
        [&](int x, int y, float* p) {
            p[0] = 0.3f + 0.4f * x / 420;
            p[1] = 0.5f;
            p[2] = 0.6f - 0.3f * y / 300;
            for (const Disc& d : discs) {
                const float r = std::hypot(x + 0.5f - d.x, y + 0.5f - d.y);
                if (r < d.r)
                    for (int c = 0; c < 3; ++c) p[c] = r > d.r - 2 ? 0.05f : d.c[c];
            }
            for (int c = 0; c < 3; ++c) p[c] = std::clamp(p[c] + 0.02f * (u(rng) - 0.5f), 0.0f, 1.0f);
            p[3] = 1;
        },
        {-37, 21});
    const Pixels src = readPixels(in), got = readPixels(fxaa(in));
    ASSERT_EQ(got.rect, src.rect);
    auto near = [](const float* a, const float* b) {
        for (int c = 0; c < 4; ++c)
            if (!(std::fabs(a[c] - b[c]) <= 1e-5f)) return false;
        return true;
    };
    int changed = 0, ties = 0, differing = 0;
    for (int y = src.rect.y; y < src.rect.bottom(); ++y)
        for (int x = src.rect.x; x < src.rect.right(); ++x) {
            float want[4];
            bool tie = false;
            fxaaReferencePixel(src, x, y, -1, want, &tie);
            changed += !near(want, src.at(x, y));
            if (near(got.at(x, y), want)) continue;
            if (tie) {  // either orientation is right
                float other[4];
                fxaaReferencePixel(src, x, y, 0, want);
                fxaaReferencePixel(src, x, y, 1, other);
                if (near(got.at(x, y), want) || near(got.at(x, y), other)) {
                    ++ties;
                    continue;
                }
            }
            ++differing;
        }
    EXPECT_GT(changed, 5000);  // the frame has edges to work on
    // Rounding may still tip a search step lying exactly on its threshold; rarely.
    EXPECT_LE(differing, changed / 2000) << ties << " ties";
}

TEST(BilateralFilter, SmoothsNoiseKeepsEdgesAndExtent) {
    Image in = noisyStep(160, 90, 0.25f, 0.75f, 0.04f, 3).translated(7, -4);
    const IRect e = in.extent().integral();
    YUCIBilateralFilter f;
    f.setInputImage(in);
    f.setInputRadius(4);
    Image out = f.outputImage();
    ASSERT_TRUE(out);
    EXPECT_EQ(out.extent(), in.extent());
    Pixels a = readPixels(in), b = readPixels(out);
    const IRect flat{e.x + 15, e.y + 15, 50, 60};
    EXPECT_LT(redDeviation(b, flat), 0.6 * redDeviation(a, flat));
    const int edge = e.x + 80;
    EXPECT_NEAR(b.at(edge - 1, e.y + 40, 0), 0.25f, 0.05f);
    EXPECT_NEAR(b.at(edge, e.y + 40, 0), 0.75f, 0.05f);

    // Wider tap spacing reaches further: still smooths, and stays finite at the borders.
    f.setInputTexelSpacingMultiplier(2.5);
    Pixels c = readPixels(f.outputImage());
    EXPECT_LT(redDeviation(c, flat), 0.6 * redDeviation(a, flat));
    for (float v : c.data) ASSERT_TRUE(std::isfinite(v));
    // A zero normalisation factor ignores colour: the step blurs.
    f.setInputTexelSpacingMultiplier(1);
    f.setInputDistanceNormalizationFactor(0);
    Pixels d = readPixels(f.outputImage());
    EXPECT_GT(d.at(edge - 1, e.y + 40, 0), 0.35f);
}

TEST(BilateralFilter, MatchesThePerPixelDefinitionOfBothPasses) {
    // A horizontal pass, then a vertical one over its result, each pixel from the
    // definition: taps every `spacing` pixels read linearly between their two neighbours
    // (or the nearest pixel where the input samples nearest), transparent outside the
    // extent, weighted by the Gaussian table times the fall-off of the colour distance.
    struct Case {
        int w, h, radius;
        double spacing, factor;
        bool nearest;
    };
    for (const Case& k : {Case{45, 13, 3, 1.0, 5.0, false}, Case{300, 7, 4, 1.5, 3.0, false},
                          Case{37, 9, 2, -2.5, 4.0, true}, Case{5, 3, 3, 0.5, 5.0, false}}) {
        Image in = colourNoise(k.w, k.h, unsigned(k.w * 7 + k.h), {4, -9});
        if (k.nearest) in = in.samplingNearest();
        const Pixels src = readPixels(in);
        const IRect& e = src.rect;
        const auto kernel = YUCIBilateralFilter::filterKernelForRadius(k.radius);
        const int half = (kernel->sampleCount - 1) / 2;
        // One pass over the lines of `from` (rows when `along` is x).
        auto pass = [&](const std::vector<double>& from, bool alongX, bool nearest) {
            auto px = [&](int x, int y, int c) {
                return x < 0 || y < 0 || x >= e.w || y >= e.h ? 0.0 : from[(size_t(y) * e.w + size_t(x)) * 4 + size_t(c)];
            };
            std::vector<double> to(from.size());
            for (int y = 0; y < e.h; ++y)
                for (int x = 0; x < e.w; ++x) {
                    double sum[5] = {0, 0, 0, 0, 0};
                    for (int t = -half; t <= half; ++t) {
                        const double off = t * k.spacing;
                        double i0 = std::floor(off), f = off - i0;
                        if (nearest) {
                            i0 = std::floor(off + 0.5);
                            f = 0;
                        }
                        double tap[4], d2 = 0;
                        for (int c = 0; c < 4; ++c) {
                            const int i = int(i0);
                            const double a = alongX ? px(x + i, y, c) : px(x, y + i, c);
                            const double b = alongX ? px(x + i + 1, y, c) : px(x, y + i + 1, c);
                            tap[c] = a + (b - a) * f;
                            if (c < 3) d2 += (tap[c] - px(x, y, c)) * (tap[c] - px(x, y, c));
                        }
                        const double wgt = kernel->weights[size_t(std::abs(t))] * std::max(0.0, 1.0 - std::sqrt(d2) * k.factor);
                        sum[4] += wgt;
                        for (int c = 0; c < 4; ++c) sum[c] += wgt * tap[c];
                    }
                    for (int c = 0; c < 4; ++c) to[(size_t(y) * e.w + size_t(x)) * 4 + size_t(c)] = sum[4] > 0 ? sum[c] / sum[4] : 0;
                }
            return to;
        };
        const std::vector<double> want =
            pass(pass(std::vector<double>(src.data.begin(), src.data.end()), true, k.nearest), false, false);

        YUCIBilateralFilter f;
        f.setInputImage(in);
        f.setInputRadius(k.radius);
        f.setInputTexelSpacingMultiplier(k.spacing);
        f.setInputDistanceNormalizationFactor(k.factor);
        const Pixels got = readPixels(f.outputImage());
        ASSERT_EQ(got.rect, e);
        EXPECT_LT(worstDifference(got, want), 2e-5f) << k.w << "x" << k.h << " spacing " << k.spacing;
    }
}

TEST(SmoothingFilters, CreatedByNameWithAttributes) {
    registerSmoothingFilters();  // what the engine does before any filter is made by name
    EXPECT_EQ(&YUCIFilterConstructor::constructor(), &YUCIFilterConstructor::constructor());
    const std::pair<const char*, const char*> names[] = {{"YUCIFXAA", "Fast Approximate Anti-Aliasing"},
                                                         {"YUCIHistogramEqualization", "Histogram Equalization"},
                                                         {"YUCISurfaceBlur", "Surface Blur"}};
    for (auto [name, display] : names) {
        FilterPtr f = FilterRegistry::create(name);
        ASSERT_TRUE(f) << name;
        EXPECT_EQ(f->name(), name);
        EXPECT_NE(f, FilterRegistry::create(name));  // a new object each time
        FilterPtr g = YUCIFilterConstructor::constructor().filterWithName(name);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->name(), name);
        const FilterClassAttributes* attr = YUCIFilterConstructor::attributesForName(name);
        ASSERT_TRUE(attr) << name;
        EXPECT_EQ(attr->displayName, display);
        EXPECT_EQ(attr->categories[0], kCategoryStillImage);
        EXPECT_EQ(attr->categories[1], kCategoryVideo);
    }
    EXPECT_EQ(YUCIFilterConstructor::attributesForName("YUCISurfaceBlur")->categories.back(), kCategoryBlur);
    EXPECT_EQ(YUCIFilterConstructor::attributesForName("YUCIHistogramEqualization")->categories.back(),
              kCategoryColorAdjustment);
    EXPECT_TRUE(dynamic_cast<YUCISurfaceBlur*>(FilterRegistry::create("YUCISurfaceBlur").get()));

    EXPECT_FALSE(FilterRegistry::create("YUCIBilateralFilter"));
    EXPECT_FALSE(YUCIFilterConstructor::constructor().filterWithName("YUCIBilateralFilter"));
    EXPECT_FALSE(YUCIFilterConstructor::constructor().filterWithName("CIGaussianBlur"));
    EXPECT_FALSE(YUCIFilterConstructor::attributesForName("YUCIBilateralFilter"));

    // Created by name, the surface blur works through its keys.
    Image in = noisyStep(40, 20, 0.2f, 0.8f, 0.05f, 1);
    Image out = in.applyingFilter("YUCISurfaceBlur", {{"inputRadius", 3}, {"inputThreshold", 30}});
    ASSERT_TRUE(out);
    EXPECT_LT(maxDifference(readPixels(out), readPixels(surfaceBlur(in, 3, 30))), 1e-6f);
}

TEST(SmoothingFilters, InputsDefaultsAndAbsentImage) {
    YUCISurfaceBlur s;
    EXPECT_EQ(s.inputRadius(), 10);
    EXPECT_EQ(s.inputThreshold(), 10);
    s.setInputRadius(3);
    s.setValue("inputThreshold", "not a number");
    EXPECT_EQ(s.inputRadius(), 3);
    EXPECT_EQ(s.inputThreshold(), 10);
    s.setDefaults();
    EXPECT_EQ(s.inputRadius(), 10);
    YUCIBilateralFilter b;
    EXPECT_EQ(b.inputRadius(), 10);
    EXPECT_EQ(b.inputTexelSpacingMultiplier(), 1.0);
    EXPECT_EQ(b.inputDistanceNormalizationFactor(), 5.0);
    b.setInputRadius(2);
    b.setDefaults();
    EXPECT_EQ(b.inputRadius(), 10);

    YUCIFXAA f;
    YUCIHistogramEqualization h;
    EXPECT_FALSE(f.outputImage());
    EXPECT_FALSE(h.outputImage());
    EXPECT_FALSE(s.outputImage());
    EXPECT_FALSE(b.outputImage());
    EXPECT_FALSE(QXVideoFilterUtilities::surfaceBlur(Image(), 5, 10));
    // After an image is set and removed again there is no output either.
    s.setInputImage(solid(4, 4, 1, 1, 1, 1));
    EXPECT_TRUE(s.outputImage());
    s.setInputImage(Image());
    EXPECT_FALSE(s.outputImage());
}

TEST(SmoothingFilters, TinyAndInfiniteInputs) {
    // Edge clamping covers inputs smaller than every kernel's reach.
    Image one = solid(1, 1, 0.2f, 0.4f, 0.6f, 1.0f, {3, 4});
    Image strip = grey(1, 5, [](int, int y) { return y < 2 ? 0.0 : 1.0; });
    for (const Image& in : {one, strip}) {
        Pixels src = readPixels(in);
        Pixels a = readPixels(fxaa(in));
        Pixels s = readPixels(surfaceBlur(in, 4, 10));
        YUCIBilateralFilter b;
        b.setInputImage(in);
        b.setInputRadius(3);
        b.setInputTexelSpacingMultiplier(3);
        Pixels c = readPixels(b.outputImage());
        ASSERT_EQ(a.data.size(), src.data.size());
        ASSERT_EQ(s.data.size(), src.data.size());
        ASSERT_EQ(c.data.size(), src.data.size());
        for (size_t i = 0; i < src.data.size(); ++i) {
            EXPECT_TRUE(std::isfinite(a.data[i]) && std::isfinite(c.data[i]));
            EXPECT_NEAR(s.data[i], src.data[i], 1e-6f);  // the step is far above the threshold
        }
    }
    EXPECT_NEAR(readPixels(fxaa(one)).at(3, 4, 1), 0.4f, 1e-6f);

    // An infinite input gives an infinite output; any window of it renders.
    Image c = Image::constantColor({0.25, 0.5, 0.75, 1});
    Image f = fxaa(c);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f.extent().isInfinite());
    Pixels p = readPixels(f, IRect{-1000, 50, 9, 9});
    EXPECT_NEAR(p.at(-996, 54, 2), 0.75f, 1e-6f);
    Pixels q = readPixels(surfaceBlur(c, 3, 5), IRect{7, 7, 3, 3});
    EXPECT_NEAR(q.at(8, 8, 0), 0.25f, 1e-6f);
}
