#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "test_support.h"
#include "vellari/common/connected_components.h"
#include "vellari/platform/simd.h"

using namespace vellari;
using namespace vellari::test;

namespace {

using SR = QXCISuperResolution;

// Plain bicubic enlargement of one channel by an integer factor: Keys' cubic with
// a = −0.75, pixel centres at +0.5, edge pixels repeated (what OpenCV's INTER_CUBIC resize
// computes; the tests do not link OpenCV's headers).
std::vector<double> bicubic(const std::vector<double>& src, int w, int h, int f) {
    auto weights = [](double t, double wt[4]) {
        const double a = -0.75;
        auto k = [a](double x) {
            x = std::abs(x);
            if (x <= 1) return ((a + 2) * x - (a + 3)) * x * x + 1;
            if (x < 2) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
            return 0.0;
        };
        for (int j = 0; j < 4; ++j) wt[j] = k(t - (j - 1));
    };
    std::vector<double> out(size_t(w) * f * h * f);
    for (int Y = 0; Y < h * f; ++Y)
        for (int X = 0; X < w * f; ++X) {
            const double u = (X + 0.5) / f - 0.5, v = (Y + 0.5) / f - 0.5;
            const int i0 = int(std::floor(u)), j0 = int(std::floor(v));
            double wx[4], wy[4];
            weights(u - i0, wx);
            weights(v - j0, wy);
            double s = 0;
            for (int b = 0; b < 4; ++b)
                for (int a = 0; a < 4; ++a) {
                    const int sx = std::clamp(i0 - 1 + a, 0, w - 1), sy = std::clamp(j0 - 1 + b, 0, h - 1);
                    s += wx[a] * wy[b] * src[size_t(sy) * w + sx];
                }
            out[size_t(Y) * w * f + X] = s;
        }
    return out;
}

}  // namespace

TEST(CommonUpscale, ExtentAndPassThrough) {
    Image img = solid(30, 20, 0.4f, 0.4f, 0.4f, 1, {4, 6});
    EXPECT_EQ(SR::upscaleImageUsingFX0D(img, 2).extent(), (Rect{8, 12, 60, 40}));
    EXPECT_EQ(SR::upscaleImageUsingFX0D(img, 1.5).extent(), (Rect{6, 9, 45, 30}));
    EXPECT_EQ(SR::upscaleImageUsingFX0D(img, 0.5).extent(), (Rect{2, 3, 15, 10}));
    for (double m : {1.0, 0.0, -2.0})
        EXPECT_TRUE(SR::upscaleImageUsingFX0D(img, m).sameAs(img)) << m;
    EXPECT_FALSE(SR::upscaleImageUsingFX0D(Image(), 2));
    // A flat image stays flat, right to its edges.
    Pixels p = readPixels(SR::upscaleImageUsingFX0D(img, 3));
    for (float v : p.data) EXPECT_TRUE(v == 0.4f || v == 1.0f) << v;
}

TEST(CommonUpscale, LineArtStaysCrispWithoutRinging) {
    // Grey and white line art: a vertical step, a one-pixel line and a filled square.
    const int w = 32, h = 24, f = 2;
    const float lo = 0.2f, hi = 0.9f;
    auto value = [&](int x, int y) {
        if (x >= 20) return hi;
        if (x == 6) return hi;
        if (x >= 10 && x < 16 && y >= 8 && y < 14) return hi;
        return lo;
    };
    Image img = imageFrom(w, h, [&](int x, int y, float* p) {
        p[0] = p[1] = p[2] = value(x, y);
        p[3] = 1;
    });
    Image up = SR::upscaleImageUsingFX0D(img, f);
    ASSERT_EQ(up.extent(), (Rect{0, 0, double(w * f), double(h * f)}));
    Pixels p = readPixels(up);

    std::vector<double> src(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) src[size_t(y) * w + x] = value(x, y);
    const std::vector<double> cubic = bicubic(src, w, h, f);

    double maeOurs = 0, maeCubic = 0, cubicMin = 1, cubicMax = 0;
    int interOurs = 0, interCubic = 0;  // values well inside the transition
    for (int Y = 0; Y < h * f; ++Y)
        for (int X = 0; X < w * f; ++X) {
            const double ref = value(X / f, Y / f);  // nearest neighbour: the crisp edge
            const float* q = p.at(X, Y);
            EXPECT_GE(q[0], lo);
            EXPECT_LE(q[0], hi);
            EXPECT_EQ(q[0], q[1]);
            EXPECT_EQ(q[3], 1.0f);
            const double c = cubic[size_t(Y) * w * f + X];
            cubicMin = std::min(cubicMin, c);
            cubicMax = std::max(cubicMax, c);
            maeOurs += std::abs(q[0] - ref);
            interOurs += q[0] > lo + 0.15 * (hi - lo) && q[0] < hi - 0.15 * (hi - lo);
            interCubic += c > lo + 0.15 * (hi - lo) && c < hi - 0.15 * (hi - lo);
            maeCubic += std::abs(c - ref);
        }
    // The test image is one on which plain bicubic does ring.
    EXPECT_LT(cubicMin, lo - 0.02);
    EXPECT_GT(cubicMax, hi + 0.02);
    EXPECT_LT(maeOurs, maeCubic * 0.5);
    // and its edges are narrower: fewer values well inside the transition.
    EXPECT_LT(interOurs, interCubic * 0.6);

    // Away from the edges, the flat areas are exactly flat.
    EXPECT_EQ(p.at(2 * f, 20 * f, 0), lo);
    EXPECT_EQ(p.at(26 * f, 4 * f, 0), hi);
}

TEST(CommonUpscale, GradientsFollowTheSourceAndTilesAgree) {
    // A gentle ramp (steps of 0.05, below what counts as an edge) comes out as plain
    // bicubic gives it: no posterising, and the sample positions of a scale about the
    // origin even when the origin is not (0, 0).
    const int w = 18, h = 8;
    std::vector<double> src(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) src[size_t(y) * w + x] = 0.1 + 0.05 * x;
    Image ramp = imageFrom(w, h, [&](int x, int y, float* p) {
        p[0] = p[1] = p[2] = float(src[size_t(y) * w + x]);
        p[3] = 1;
    }, {3, 5});
    Pixels p = readPixels(SR::upscaleImageUsingFX0D(ramp, 2));
    ASSERT_EQ(p.rect, (IRect{6, 10, 36, 16}));
    const std::vector<double> cubic = bicubic(src, w, h, 2);
    for (int Y = 0; Y < 2 * h; ++Y)
        for (int X = 0; X < 2 * w; ++X) {
            const float v = p.at(X + 6, Y + 10, 0);
            if (X > 0 && X < 2 * w - 1)
                EXPECT_NEAR(v, cubic[size_t(Y) * 2 * w + X], 1e-5) << X << "," << Y;
            else  // where the repeated edge makes plain bicubic overshoot, the clamp holds
                EXPECT_TRUE(v >= 0.1f && v <= 0.95f) << X << "," << Y << " " << v;
        }

    // Rendering a part (other tiles, another region of interest) gives the same pixels.
    Image art = imageFrom(300, 200, [](int x, int y, float* q) {
        q[0] = q[1] = q[2] = ((x / 7 + y / 5) % 3 == 0) ? 1.f : 0.f;
        q[3] = 1;
    });
    Image up = SR::upscaleImageUsingFX0D(art, 2);
    Pixels all = readPixels(up);
    const IRect part{257, 131, 200, 150};
    Pixels some = readPixels(up, part);
    double d = 0;
    for (int y = part.y; y < part.bottom(); ++y)
        for (int x = part.x; x < part.right(); ++x)
            d = std::max(d, double(std::abs(some.at(x, y, 0) - all.at(x, y, 0))));
    EXPECT_EQ(d, 0.0);
}

TEST(CommonUpscale, EveryInstructionSetEnlargesAlike) {
    // Translucent colour noise with hard edges, of a width no vector width divides, at an
    // offset origin: each machine's instruction set gives the portable code's pixels to
    // within rounding, across tiles and in the leftover lanes of each row.
    const int w = 67, h = 29;
    Image art = imageFrom(w, h, [](int x, int y, float* q) {
        const unsigned v = unsigned(x * 2654435761u ^ y * 40503u);
        q[3] = float((v >> 3) % 5) / 4;
        for (int c = 0; c < 3; ++c) q[c] = q[3] * float(((v >> (5 + 4 * c)) % 9) / 8.0);
    }, {-5, 3});
    struct OnTarget {
        explicit OnTarget(int64_t t) { simd::setTargetForTest(t); }
        ~OnTarget() { simd::setTargetForTest(0); }
    };
    for (double m : {2.0, 1.5, 4.3}) {
        const Image up = SR::upscaleImageUsingFX0D(art, m);
        Pixels want;
        {
            OnTarget scalar(simd::targetNamed("scalar"));
            want = readPixels(up);
        }
        for (int64_t t : simd::machineTargets()) {
            OnTarget on(t);
            const Pixels got = readPixels(up);
            ASSERT_EQ(got.rect, want.rect);
            float worst = 0;
            for (size_t i = 0; i < got.data.size(); ++i) worst = std::max(worst, std::abs(got.data[i] - want.data[i]));
            EXPECT_LT(worst, 1e-5f) << "magnification " << m << " on " << simd::nameOf(t);
        }
    }
}
