// Edge tangent flow: the initial field and its encoding, coherence smoothing, flow-guided
// noise reduction and the base object's line drawing.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_abstract.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/node.h"
#include "vellari/platform/simd.h"

using namespace vellari;
using namespace vellari::test;

namespace {

struct Tangent {
    float x, y, g;
};
Tangent tangentAt(const Pixels& f, int x, int y) {
    return {2 * f.at(x, y, 0) - 1, 2 * f.at(x, y, 1) - 1, f.at(x, y, 2)};
}

Image greyImage(int w, int h, const std::function<float(int, int)>& value) {
    return imageFrom(w, h, [&](int x, int y, float* p) {
        const float v = value(x, y);
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
}

// Mean angle (radians) between the field and the true tangent of a circle round (cx, cy),
// over the pixels of its edge band.
double circleTangentError(const Pixels& f, double cx, double cy, double radius) {
    double sum = 0;
    int n = 0;
    for (int y = 0; y < f.rect.h; ++y)
        for (int x = 0; x < f.rect.w; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy, d = std::hypot(dx, dy);
            if (std::abs(d - radius) > 1.5) continue;
            const Tangent t = tangentAt(f, x, y);
            const double c = std::abs((t.x * -dy + t.y * dx) / d) / std::max(1e-9, double(std::hypot(t.x, t.y)));
            sum += std::acos(std::min(1.0, c));
            ++n;
        }
    return sum / n;
}

struct Stats {
    double mean, sd;
};
// Mean and standard deviation of red inside the stripe interiors of one kind.
Stats stripeStats(const Pixels& p, int period, bool dark, int margin) {
    double s = 0, s2 = 0;
    int n = 0;
    for (int y = margin; y < p.rect.h - margin; ++y)
        for (int x = 0; x < p.rect.w; ++x) {
            const int in = x % period;
            const bool isDark = in < period / 2;
            const int fromEdge = std::min(in % (period / 2), period / 2 - 1 - in % (period / 2));
            if (isDark != dark || fromEdge < margin || x < period || x >= p.rect.w - period) continue;
            const double v = p.at(x, y, 0);
            s += v;
            s2 += v * v;
            ++n;
        }
    const double m = s / n;
    return {m, std::sqrt(std::max(0.0, s2 / n - m * m))};
}

}  // namespace

TEST(EdgeFlow, InitialFieldEncodingAndEdgeDirections) {
    QXVideoFilterAbstract f;
    f.ETFIterations = 0;
    // Larger than one render tile both ways, so tile borders are crossed.
    const int w = 300, h = 260;
    const Image vertical = greyImage(w, h, [](int x, int) { return x < 150 ? 0.0f : 1.0f; });
    const Image field = f.computeEdgeTangentFlow(vertical);
    ASSERT_FALSE(field.isNull());
    EXPECT_EQ(field.extent().size().width, w);

    // No smoothing: exactly the conversion of the grey image.
    const Image grey = QXVideoFilterUtilities::grayscale(vertical);
    const Image initial =
        QXCoreImageUtilities::applyMetalKernelNamed("ETFconvertValueToNormalizedPerpNormalMap", {grey, 1.0});
    Pixels pf = readPixels(field);
    EXPECT_EQ(pf.data, readPixels(initial).data);

    for (int y : {0, 127, 128, 200, h - 1})
        for (int x : {149, 150}) {
            const Tangent t = tangentAt(pf, x, y);
            EXPECT_NEAR(std::abs(t.y), 1.0f, 1e-4) << x << "," << y;
            EXPECT_NEAR(t.x, 0.0f, 1e-4);
            EXPECT_NEAR(t.g, 1.0f, 1e-4);  // a full black-white step
            EXPECT_EQ(pf.at(x, y, 3), 1.0f);
        }
    // Flat regions, the frame's border included, hold the zero vector.
    for (int x : {0, 10, 147, 152, w - 1}) {
        EXPECT_FLOAT_EQ(pf.at(x, 0, 0), 0.5f) << x;
        EXPECT_FLOAT_EQ(pf.at(x, h - 1, 1), 0.5f);
        EXPECT_FLOAT_EQ(pf.at(x, 100, 2), 0.0f);
    }

    const Image horizontal = greyImage(64, 64, [](int, int y) { return y < 32 ? 0.2f : 0.7f; });
    Pixels ph = readPixels(f.computeEdgeTangentFlow(horizontal));
    const Tangent th = tangentAt(ph, 20, 31);
    EXPECT_NEAR(std::abs(th.x), 1.0f, 1e-4);
    EXPECT_NEAR(th.y, 0.0f, 1e-4);
    EXPECT_NEAR(th.g, 0.5f, 1e-4);  // magnitude proportional to the step

    // Smoothing keeps a straight edge's direction and is free of seams at tile borders.
    f.ETFIterations = 3;
    f.ETFRadius = 2;
    Pixels ps = readPixels(f.computeEdgeTangentFlow(vertical));
    for (int y : {0, 127, 128, 255, 256, h - 1}) {
        const Tangent t = tangentAt(ps, 150, y);
        EXPECT_NEAR(std::abs(t.y), 1.0f, 1e-3) << y;
        for (int x = 140; x < 160; ++x)
            for (int c = 0; c < 4; ++c) EXPECT_NEAR(ps.at(x, y, c), ps.at(x, 64, c), 1e-5) << x << "," << y;
    }
    for (int y : {127, 128})
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(ps.at(255, y, c), ps.at(256, y, c), 1e-5);
}

TEST(EdgeFlow, SmoothingMakesANoisyCircleFieldCoherent) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> noise(-0.15f, 0.15f);
    const double cx = 48, cy = 48, radius = 30;
    std::vector<float> values(96 * 96);
    for (auto& v : values) v = noise(rng);
    const Image img = greyImage(96, 96, [&](int x, int y) {
        const bool inside = std::hypot(x + 0.5 - cx, y + 0.5 - cy) < radius;
        return (inside ? 0.75f : 0.25f) + values[size_t(y) * 96 + x];
    });
    QXVideoFilterAbstract f;
    f.ETFIterations = 0;
    const double before = circleTangentError(readPixels(f.computeEdgeTangentFlow(img)), cx, cy, radius);
    f.ETFIterations = 6;
    f.ETFRadius = 2;
    Pixels smooth = readPixels(f.computeEdgeTangentFlow(img));
    const double after = circleTangentError(smooth, cx, cy, radius);
    EXPECT_LT(after, 0.5 * before) << before << " -> " << after;
    EXPECT_LT(after, 0.15) << before;  // under 9 degrees, pixelated outline included
    // Every vector stays a unit vector (or zero), in the encoding the next pass reads.
    for (int y = 0; y < 96; y += 5)
        for (int x = 0; x < 96; x += 5) {
            const Tangent t = tangentAt(smooth, x, y);
            const float l = std::hypot(t.x, t.y);
            EXPECT_TRUE(std::abs(l - 1) < 1e-3 || l < 1e-6) << x << "," << y << " " << l;
            EXPECT_GE(t.g, 0.0f);
            EXPECT_LE(t.g, 1.0f);
        }
}

TEST(EdgeFlow, ReduceNoiseSmoothsAlongStripesNotAcross) {
    const int period = 16;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
    std::vector<float> values(128 * 96);
    for (auto& v : values) v = noise(rng);
    const Image img = greyImage(128, 96, [&](int x, int y) {
        return (x % period < period / 2 ? 0.25f : 0.75f) + values[size_t(y) * 128 + x];
    });
    QXVideoFilterAbstract f;
    f.ETFIterations = 6;
    f.ETFRadius = 2;
    const Image field = f.computeEdgeTangentFlow(img);

    // No passes: the input's content. Either way the result is a cached intermediate.
    const Image same = f.reduceNoise(img, field, 0);
    ASSERT_FALSE(same.isNull());
    EXPECT_EQ(readPixels(same).data, readPixels(img).data);
    EXPECT_TRUE(same.node()->intermediate);
    EXPECT_TRUE(f.reduceNoise(img, field, 2).node()->intermediate);

    Pixels in = readPixels(img);
    Pixels out = readPixels(f.reduceNoise(img, field, 3));
    ASSERT_EQ(out.rect.w, 128);
    for (bool dark : {true, false}) {
        const Stats a = stripeStats(in, period, dark, 2), b = stripeStats(out, period, dark, 2);
        EXPECT_LT(b.sd, 0.6 * a.sd) << dark << ": " << a.sd << " -> " << b.sd;
    }
    const double contrastIn = stripeStats(in, period, false, 1).mean - stripeStats(in, period, true, 1).mean;
    const double contrastOut = stripeStats(out, period, false, 1).mean - stripeStats(out, period, true, 1).mean;
    EXPECT_GE(contrastOut, 0.9 * contrastIn) << contrastIn << " -> " << contrastOut;
    // The edge itself stays sharp: its two sides keep their levels apart.
    EXPECT_GT(out.at(8, 48, 0) - out.at(7, 48, 0), 0.3f);

    // Grey, colour and translucent images are smoothed alike, channel by channel.
    const Image colour = imageFrom(128, 96, [&](int x, int y, float* q) {
        q[0] = in.at(x, y, 0);
        q[1] = 0.4f;
        q[2] = 1 - in.at(x, y, 0);
        q[3] = 1;
    });
    const Image translucent = imageFrom(128, 96, [&](int x, int y, float* q) {
        for (int c = 0; c < 3; ++c) q[c] = 0.5f * in.at(x, y, 0);
        q[3] = 0.5f;
    });
    Pixels oc = readPixels(f.reduceNoise(colour, field, 3));
    Pixels ot = readPixels(f.reduceNoise(translucent, field, 3));
    for (int y = 0; y < 96; y += 3)
        for (int x = 0; x < 128; x += 3) {
            EXPECT_NEAR(oc.at(x, y, 0), out.at(x, y, 0), 1e-5) << x << "," << y;
            EXPECT_NEAR(oc.at(x, y, 1), 0.4f, 1e-5);
            EXPECT_NEAR(oc.at(x, y, 2), 1 - out.at(x, y, 0), 1e-5);
            EXPECT_EQ(oc.at(x, y, 3), 1.0f);
            EXPECT_NEAR(ot.at(x, y, 2), 0.5f * out.at(x, y, 0), 1e-5);
            EXPECT_NEAR(ot.at(x, y, 3), 0.5f, 1e-5);
        }

    // Across render tiles: a vertical edge smooths to the same row everywhere.
    const Image big = greyImage(300, 260, [](int x, int) { return x < 150 ? 0.2f : 0.8f; });
    Pixels pb = readPixels(f.reduceNoise(big, f.computeEdgeTangentFlow(big), 2));
    for (int y : {0, 127, 128, 255, 259})
        for (int x = 140; x < 160; ++x) EXPECT_NEAR(pb.at(x, y, 0), pb.at(x, 64, 0), 1e-5) << x << "," << y;
    EXPECT_NEAR(pb.at(149, 64, 0), 0.2f, 1e-5);  // smoothing along the edge does not cross it
    EXPECT_NEAR(pb.at(150, 64, 0), 0.8f, 1e-5);

    // Nearest sampling of the input: still smooths within the stripes, not across them.
    Pixels on = readPixels(f.reduceNoise(img.samplingNearest(), field, 3));
    for (bool dark : {true, false})
        EXPECT_LT(stripeStats(on, period, dark, 2).sd, 0.7 * stripeStats(in, period, dark, 2).sd) << dark;
    EXPECT_GE(stripeStats(on, period, false, 1).mean - stripeStats(on, period, true, 1).mean, 0.9 * contrastIn);

    // Rendering part of the result reads what the passes need around it: the same pixels
    // as the whole render (the field recomputed too).
    const IRect part{40, 30, 21, 17};
    Pixels pp = readPixels(f.reduceNoise(img, f.computeEdgeTangentFlow(img), 3), part);
    Pixels pf = readPixels(field, part);
    Pixels whole = readPixels(field);
    QXVideoFilterAbstract unsmoothed;
    const Image initial = unsmoothed.computeEdgeTangentFlow(img);
    Pixels pi = readPixels(initial, part);
    Pixels wholeInitial = readPixels(initial);
    for (int y = part.y; y < part.bottom(); ++y)
        for (int x = part.x; x < part.right(); ++x)
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(pp.at(x, y, c), out.at(x, y, c), 1e-5) << x << "," << y;
                EXPECT_NEAR(pf.at(x, y, c), whole.at(x, y, c), 1e-5) << x << "," << y;
                EXPECT_NEAR(pi.at(x, y, c), wholeInitial.at(x, y, c), 1e-5) << x << "," << y;
            }

    // Placement: the same picture at another origin gives the same pixels there.
    const Image moved = img.translated(37, -11);
    Pixels om = readPixels(f.reduceNoise(moved, f.computeEdgeTangentFlow(moved), 3));
    ASSERT_EQ(om.rect.x, 37);
    ASSERT_EQ(om.rect.y, -11);
    for (int y = 0; y < 96; y += 5)
        for (int x = 0; x < 128; x += 5) EXPECT_NEAR(om.at(37 + x, y - 11, 0), out.at(x, y, 0), 1e-5) << x << "," << y;

    // An image one pixel wide: samples stay on it, results stay within its values.
    const Image column = greyImage(1, 24, [](int, int y) { return y < 12 ? 0.1f + 0.01f * y : 0.9f; });
    Pixels oneWide = readPixels(f.reduceNoise(column, f.computeEdgeTangentFlow(column), 3));
    ASSERT_EQ(oneWide.rect.w, 1);
    for (int y = 0; y < 24; ++y) {
        EXPECT_GE(oneWide.at(0, y, 0), 0.1f - 1e-5f) << y;
        EXPECT_LE(oneWide.at(0, y, 0), 0.9f + 1e-5f) << y;
        EXPECT_NEAR(oneWide.at(0, y, 3), 1.0f, 1e-5);
    }

    // A missing field gives no image once a pass has to read it.
    EXPECT_TRUE(f.reduceNoise(img, Image(), 1).isNull());
    EXPECT_FALSE(f.reduceNoise(img, Image(), 0).isNull());
}

TEST(EdgeFlow, FlowBlurSpreadsAlongTheFieldWhicheverWayItsVectorsPoint) {
    // A vertical field, once with every vector pointing down and once with the sense
    // flipping from row to row: a line has no sense, so both must smooth alike.
    const int n = 32, cx = 15, cy = 16;
    auto field = [&](bool alternate) {
        return imageFrom(n, n, [&](int, int y, float* p) {
            const float ty = alternate && (y / 2) % 2 ? -1.0f : 1.0f;  // the rows two apart disagree
            p[0] = 0.5f;
            p[1] = 0.5f + 0.5f * ty;
            p[2] = 0.5f;
            p[3] = 1;
        });
    };
    const Image dot = greyImage(n, n, [&](int x, int y) { return x == cx && y == cy ? 1.0f : 0.0f; });
    QXVideoFilterAbstract f;
    Pixels down = readPixels(f.reduceNoise(dot, field(false), 1));
    Pixels mixed = readPixels(f.reduceNoise(dot, field(true), 1));
    double total = 0;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            EXPECT_NEAR(mixed.at(x, y, 0), down.at(x, y, 0), 1e-6) << x << "," << y;
            if (x != cx) {
                EXPECT_EQ(down.at(x, y, 0), 0.0f) << x << "," << y;  // nothing across the flow
            }
            total += down.at(x, y, 0);
        }
    EXPECT_NEAR(total, 1.0, 1e-4);  // weights sum to one
    // Gaussian-like along the flow: symmetric, falling off, reaching about four pixels.
    for (int k = 1; k <= 5; ++k) {
        EXPECT_NEAR(down.at(cx, cy - k, 0), down.at(cx, cy + k, 0), 1e-6) << k;
        EXPECT_LT(down.at(cx, cy + k, 0), down.at(cx, cy + k - 1, 0)) << k;
    }
    EXPECT_GT(down.at(cx, cy + 3, 0), 0.02f);
    EXPECT_EQ(down.at(cx, cy + 6, 0), 0.0f);

    // The walk turns with the field: around a centre, the response follows the circle
    // through the dot instead of its straight tangent.
    const double ox = 10, oy = 16;  // centre of the circles, between pixel centres
    const Image ring = imageFrom(n, n, [&](int x, int y, float* p) {
        const double dx = x + 0.5 - ox, dy = y + 0.5 - oy, d = std::hypot(dx, dy);
        p[0] = float(0.5 - 0.5 * dy / d);
        p[1] = float(0.5 + 0.5 * dx / d);
        p[2] = 0.5f;
        p[3] = 1;
    });
    Pixels bent = readPixels(f.reduceNoise(dot, ring, 1));
    double off = 0, mass = 0;  // mean distance of the response from the dot's circle
    const double radius = std::hypot(cx + 0.5 - ox, cy + 0.5 - oy);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const float v = bent.at(x, y, 0);
            off += v * std::abs(std::hypot(x + 0.5 - ox, y + 0.5 - oy) - radius);
            mass += v;
        }
    EXPECT_LT(off / mass, 0.36);  // 0.31 following the field, 0.41 walking straight
}

TEST(EdgeFlow, CreateLinesOnAFlatImage) {
    QXVideoFilterAbstract f;
    f.setRadiusLower(1);
    f.setRadiusUpper(3);
    f.linesDiffWeight = 4;
    f.linesDiffGain = 0;
    f.linesFactor = 2;
    const Image flat = solid(40, 30, 0.3f, 0.3f, 0.3f, 1);

    // Black grey tone: the screen blend leaves the line layer as it is, mid-grey.
    f.linesGrayContrastScale = 0;
    f.linesGrayBrightnessShift = 0;
    f.linesGrayThreshold = 0;
    Pixels up = readPixels(f.createLines(flat));
    ASSERT_EQ(up.rect.w, 80);
    ASSERT_EQ(up.rect.h, 60);
    for (int y = 0; y < 60; y += 7)
        for (int x = 0; x < 80; x += 7) {
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(up.at(x, y, c), 0.5f, 1e-5) << x << "," << y;
            EXPECT_NEAR(up.at(x, y, 3), 1.0f, 1e-5);
        }

    // The grey tone itself screened over mid-grey: 1 − (1 − 0.3)(1 − 0.5).
    f.linesGrayContrastScale = 1;
    Pixels tone = readPixels(f.createLines(flat));
    EXPECT_NEAR(tone.at(10, 10, 0), 0.65f, 1e-4);
    // A threshold of 0 runs no threshold pass (one would turn 0.3 into white) ...
    f.linesGrayThreshold = -1;
    EXPECT_NEAR(readPixels(f.createLines(flat)).at(33, 20, 1), 0.65f, 1e-4);
    // ... a positive one does: 0.3 is under 0.5, so the tone is black.
    f.linesGrayThreshold = 0.5;
    EXPECT_NEAR(readPixels(f.createLines(flat)).at(33, 20, 1), 0.5f, 1e-4);

    EXPECT_TRUE(f.createLines(Image()).isNull());
}

TEST(EdgeFlow, KernelsMissingFromTheLibraryGiveNoImage) {
    // A library that lists the conversion but not the smoothing kernels.
    const std::string dir = tempDir();
    std::ofstream(dir + "/default.metallib") << "grayscale\nETFconvertValueToNormalizedPerpNormalMap\n";
    QXShaderLibrary::resetForTesting();
    struct Restore {
        ~Restore() { QXShaderLibrary::resetForTesting(); }  // later tests read the real library
    } restore;
    Bundle b(dir);
    registerEngineKernels();
    ASSERT_TRUE(QXShaderLibrary::kernelNamed("grayscale", b));  // this library is now the one read

    QXVideoFilterAbstract f;
    const Image img = greyImage(16, 16, [](int x, int) { return x < 8 ? 0.0f : 1.0f; });
    f.ETFIterations = 0;
    const Image field = f.computeEdgeTangentFlow(img);
    EXPECT_FALSE(field.isNull());
    f.ETFIterations = 2;
    f.ETFRadius = 1;
    EXPECT_TRUE(f.computeEdgeTangentFlow(img).isNull());
    EXPECT_TRUE(f.reduceNoise(img, field, 1).isNull());
    EXPECT_TRUE(f.computeEdgeTangentFlow(Image()).isNull());
}

TEST(EdgeFlow, FusedNoiseReductionPassesEqualTheSinglePasses) {
    // Several passes are computed together per tile; they must give the chain of single
    // passes exactly, at the image's borders, across tiles and with nearest input sampling.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0, 1);
    const Image colour = imageFrom(300, 170, [&](int x, int y, float* p) {
        const float ring = std::sin(std::hypot(x - 120.0f, y - 60.0f) * 0.3f);
        for (int c = 0; c < 3; ++c) p[c] = 0.5f + 0.3f * ring + 0.2f * (u(rng) - 0.5f);
        p[3] = 1;
    }).translated(-13, 29);
    QXVideoFilterAbstract f;
    f.ETFIterations = 2;
    const Image field = f.computeEdgeTangentFlow(colour);
    for (bool nearest : {false, true})
        for (uint64_t passes : {2u, 3u, 11u}) {
            const Image input = nearest ? colour.samplingNearest() : colour;
            Image chain = input;
            for (uint64_t i = 0; i < passes; ++i)
                chain = QXCoreImageUtilities::applyMetalKernelNamed("flowBlur07", {chain, field});
            const Pixels want = readPixels(chain);
            const Pixels got = readPixels(f.reduceNoise(input, field, passes));
            ASSERT_EQ(got.rect, want.rect);
            // Nearest samples exactly half-way between pixels may round either way with
            // the plane's origin; those are rare.
            int differing = 0;
            for (int y = want.rect.y; y < want.rect.bottom(); ++y)
                for (int x = want.rect.x; x < want.rect.right(); ++x)
                    for (int c = 0; c < 4; ++c)
                        if (std::abs(got.at(x, y, c) - want.at(x, y, c)) > 1e-5) {
                            ++differing;
                            break;
                        }
            if (nearest)
                EXPECT_LT(differing, want.rect.area() / 1000) << passes << " passes";
            else
                EXPECT_EQ(differing, 0) << passes << " passes";
        }
}

TEST(EdgeFlow, FusedFlowPassesEqualTheSinglePasses) {
    // Several ETF08 passes are computed together per tile; the field must be the chain of
    // single passes, at the image's borders (an offset origin) and across render tiles.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0, 1);
    const Image img = greyImage(300, 170, [&](int x, int y) {
        return 0.5f + 0.3f * std::sin(std::hypot(x - 90.0f, y - 70.0f) * 0.25f) + 0.15f * (u(rng) - 0.5f);
    }).translated(17, -9);
    for (int64_t passes : {2, 6, 11}) {
        QXVideoFilterAbstract fused;
        fused.ETFIterations = passes;
        fused.ETFRadius = 2;
        QXVideoFilterAbstract none;
        none.ETFIterations = 0;
        Image chain = none.computeEdgeTangentFlow(img);
        for (int64_t i = 0; i < passes; ++i) chain = QXCoreImageUtilities::applyMetalKernelNamed("ETF08", {chain, 2.0});
        const Pixels want = readPixels(chain);
        const Pixels got = readPixels(fused.computeEdgeTangentFlow(img));
        ASSERT_EQ(got.rect, want.rect);
        double worst = 0;
        for (int y = want.rect.y; y < want.rect.bottom(); ++y)
            for (int x = want.rect.x; x < want.rect.right(); ++x)
                for (int c = 0; c < 4; ++c) worst = std::max(worst, double(std::abs(got.at(x, y, c) - want.at(x, y, c))));
        // The chain stores the field between passes; the fused passes keep it in floats.
        EXPECT_LT(worst, 1e-4) << passes << " passes";
    }
}

TEST(EdgeFlow, CoherencePassWeighsNeighboursByAgreementAndMagnitudeStep) {
    // One ETF08 pass against the textbook sum over the disc of radius 2: each neighbour
    // tangent t' weighted by (t·t') (0.5 + 0.5 tanh(g' − g)), the sum normalised. Random
    // tangents and magnitudes over the whole range, so that steep magnitude steps count.
    const QXVideoFilterAbstract filter;  // loads the kernel library
    const int w = 40, h = 23, r = 2;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<Tangent> field(size_t(w) * h);
    for (auto& t : field) {
        const float a = 6.2831853f * u(rng);
        t = {std::cos(a), std::sin(a), u(rng)};
    }
    const Image in = imageFrom(w, h, [&](int x, int y, float* p) {
        const Tangent& t = field[size_t(y) * w + x];
        p[0] = 0.5f + 0.5f * t.x;
        p[1] = 0.5f + 0.5f * t.y;
        p[2] = t.g;
        p[3] = 1;
    });
    const Pixels got = readPixels(QXCoreImageUtilities::applyMetalKernelNamed("ETF08", {in, double(r)}));
    ASSERT_EQ(got.rect, (IRect{0, 0, w, h}));
    double worst = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Tangent& c = field[size_t(y) * w + x];
            double sx = 0, sy = 0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    if (dx * dx + dy * dy > (r + 0.5) * (r + 0.5) || x + dx < 0 || y + dy < 0 || x + dx >= w ||
                        y + dy >= h)
                        continue;
                    const Tangent& n = field[size_t(y + dy) * w + x + dx];
                    const double k = (c.x * n.x + c.y * n.y) * (0.5 + 0.5 * std::tanh(double(n.g) - c.g));
                    sx += k * n.x;
                    sy += k * n.y;
                }
            const double l = std::hypot(sx, sy);
            ASSERT_GT(l, 1e-6);
            const Tangent t = tangentAt(got, x, y);
            worst = std::max({worst, std::abs(t.x - sx / l), std::abs(t.y - sy / l), double(std::abs(t.g - c.g))});
        }
    EXPECT_LT(worst, 1e-4);
}

namespace {

// Runs the rest of a scope on one instruction set, then restores the usual choice.
struct OnTarget {
    explicit OnTarget(int64_t t) { simd::setTargetForTest(t); }
    ~OnTarget() { simd::setTargetForTest(0); }
};

}  // namespace

TEST(EdgeFlow, FieldAndSmoothingAgreeOnEveryInstructionSet) {
    // Each instruction set groups pixels and samples into vectors its own way (two pixels a
    // vector, one, or one neighbour); all must give the same pictures. Odd sizes at an
    // offset origin, larger than a tile, so that blocks, tails and tile borders all occur;
    // a translucent colour input with transparent columns.
    const int w = 301, h = 263;
    std::mt19937 rng(13);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> grain(size_t(w) * h * 4);
    for (auto& v : grain) v = u(rng);
    auto pictures = [&] {
        const Image grey = greyImage(w, h, [&](int x, int y) {
            return 0.5f + 0.3f * std::sin(std::hypot(x - 140.0f, y - 90.0f) * 0.2f) + 0.2f * (grain[size_t(y) * w + x] - 0.5f);
        }).translated(-7, 12);
        const Image colour = imageFrom(w, h, [&](int x, int y, float* p) {
            const float* g = &grain[(size_t(y) * w + x) * 4];
            const float a = x % 17 == 3 ? 0.0f : 0.4f + 0.6f * g[3];
            for (int c = 0; c < 3; ++c) p[c] = a * g[c];
            p[3] = a;
        }).translated(-7, 12);
        QXVideoFilterAbstract f;
        f.ETFIterations = 3;
        f.ETFRadius = 2;
        const Image field = f.computeEdgeTangentFlow(grey);
        return std::vector<Pixels>{readPixels(field), readPixels(f.reduceNoise(colour, field, 1)),
                                   readPixels(f.reduceNoise(colour, field, 3))};
    };
    const std::vector<int64_t> targets = simd::machineTargets();
    ASSERT_FALSE(targets.empty());
    std::vector<Pixels> want;
    {
        OnTarget on(targets.back());
        want = pictures();
    }
    // Targets with fused multiply-adds round differently; where the smoothing sums nearly
    // cancel, that moves a tangent a little, and the samples placed along it. A fault in
    // how pixels are grouped moves whole pixels.
    const char* what[] = {"field", "one smoothing pass", "three fused passes"};
    for (int64_t t : targets) {
        OnTarget on(t);
        const std::vector<Pixels> got = pictures();
        for (size_t k = 0; k < want.size(); ++k) {
            ASSERT_EQ(got[k].rect, want[k].rect) << what[k];
            float worst = 0;
            size_t off = 0;
            for (size_t i = 0; i < got[k].data.size(); ++i) {
                const float d = std::abs(got[k].data[i] - want[k].data[i]);
                worst = std::max(worst, d);
                off += d > 1e-5f;
            }
            // The walk along the flow stops on a comparison, so a tangent moved by rounding
            // may take or drop a whole tap at a few pixels: a bound on the worst value that a
            // pixel may move, and on how many move at all.
            EXPECT_LT(worst, 1e-2f) << what[k] << " on " << simd::nameOf(t);
            EXPECT_LT(off, got[k].data.size() / 200) << what[k] << " on " << simd::nameOf(t);
        }
    }
}
