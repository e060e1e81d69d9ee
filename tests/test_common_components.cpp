#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "test_support.h"
#include "vellari/common/connected_components.h"

using namespace vellari;
using namespace vellari::test;

namespace {

using Px = std::pair<int, int>;

// Mid grey with dark (0) and light (1) pixels at the given places (relative to the origin).
Image threeValued(int w, int h, const std::set<Px>& dark, const std::set<Px>& light, Point origin) {
    return imageFrom(w, h, [&](int x, int y, float* p) {
        float v = dark.count({x, y}) ? 0.f : (light.count({x, y}) ? 1.f : 0.5f);
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    }, origin);
}

}  // namespace

TEST(CommonComponents, RemovesRegionsSmallerThanTheirThreshold) {
    const Point origin{5, -7};
    // A 3-pixel dark speck joined only diagonally (one region with 8-connectivity), a
    // 5-pixel dark bar, a 2-pixel light speck, a 4-pixel light square, and a dark and a
    // light pixel that touch (separate regions of one pixel each).
    const std::set<Px> darkSpeck{{2, 2}, {3, 3}, {4, 3}}, darkBar{{10, 2}, {11, 2}, {12, 2}, {13, 2}, {14, 2}};
    const std::set<Px> lightSpeck{{2, 10}, {3, 10}}, lightSquare{{10, 10}, {11, 10}, {10, 11}, {11, 11}};
    const Px touchDark{16, 13}, touchLight{17, 13};
    std::set<Px> dark = darkSpeck, light = lightSpeck;
    dark.insert(darkBar.begin(), darkBar.end());
    dark.insert(touchDark);
    light.insert(lightSquare.begin(), lightSquare.end());
    light.insert(touchLight);
    Image img = threeValued(20, 16, dark, light, origin);
    Pixels in = readPixels(img);
    const Color repl{0.25, 0.75, 0.125, 0.5};

    struct Case {
        double darkT, lightT;
        bool speckGone, lightSpeckGone;
    };
    for (Case c :
         {Case{4, 3, true, true}, Case{3, 2, false, false}, Case{4, 2, true, false}, Case{0, 0, false, false}}) {
        Image out = QXConnectedComponents::removeDetailBinary(img, c.darkT, c.lightT, repl);
        ASSERT_TRUE(out);
        EXPECT_EQ(out.extent(), img.extent());
        Pixels p = readPixels(out);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 20; ++x) {
                const Px q{x, y};
                bool gone = (darkSpeck.count(q) && c.speckGone) || (lightSpeck.count(q) && c.lightSpeckGone) ||
                            (q == touchDark && c.darkT > 1) || (q == touchLight && c.lightT > 1);
                const float* got = p.at(x + 5, y - 7);
                if (gone) {
                    // The colour as given: straight, not premultiplied.
                    EXPECT_EQ(got[0], 0.25f);
                    EXPECT_EQ(got[1], 0.75f);
                    EXPECT_EQ(got[2], 0.125f);
                    EXPECT_EQ(got[3], 0.5f);
                } else {
                    for (int ch = 0; ch < 4; ++ch)
                        EXPECT_EQ(got[ch], in.at(x + 5, y - 7, ch)) << x << "," << y << " T " << c.darkT;
                }
            }
    }
}

TEST(CommonComponents, ThresholdsTheRedChannelAndPassesThroughDegenerateInputs) {
    // Values near but not at 0 and 1 still count as dark or light; mid grey never does.
    Image img = imageFrom(6, 4, [](int x, int y, float* p) {
        float v = 0.5f;
        if (x == 1 && y == 1) v = 0.2f;
        if (x == 4 && y == 2) v = 0.8f;
        if (x == 2 && y == 3) v = 0.3f;  // grey-ish: neither
        p[0] = v, p[1] = 0.5f, p[2] = 0.5f, p[3] = 1;
    });
    Pixels p = readPixels(QXConnectedComponents::removeDetailBinary(img, 2, 2, Color{0.5, 0.5, 0.5, 0}));
    EXPECT_EQ(p.at(1, 1, 3), 0.f);
    EXPECT_EQ(p.at(4, 2, 3), 0.f);
    EXPECT_EQ(p.at(4, 2, 0), 0.5f);
    EXPECT_EQ(p.at(2, 3, 0), 0.3f);
    EXPECT_EQ(p.at(2, 3, 3), 1.f);
    EXPECT_EQ(p.at(0, 0, 3), 1.f);

    Image inf = Image::constantColor(Color::black());
    EXPECT_TRUE(QXConnectedComponents::removeDetailBinary(inf, 10, 10, Color::white()).sameAs(inf));
    Image none = Image::empty();
    EXPECT_TRUE(QXConnectedComponents::removeDetailBinary(none, 10, 10, Color::white()).sameAs(none));
    EXPECT_FALSE(QXConnectedComponents::removeDetailBinary(Image(), 10, 10, Color::white()));
}
