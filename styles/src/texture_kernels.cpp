// Kernels of the texture and halftone layer and of the watermark.
//
// Screens follow one convention (tools/make_screens.cpp): a screen value is high at the
// dot centres and low between them, and a tone v is inked where v < screen, so dots grow
// from their centres as the tone darkens.
//
// The rules are stated here, with the arguments' checks; the loops over the pixels are in
// texture_spans.cpp, compiled for every instruction set (but for the mono screen's
// bounds-checked path for screens smaller than the output, which is rare).

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>
#include <vector>

#include "style_kernels.h"
#include "texture_spans.h"
#include "vellari/platform/kernel.h"

namespace vellari {
namespace {

using namespace styles::texture;

// Rec. 709 luma, as the colour controls use.
constexpr float kLr = 0.2125f, kLg = 0.7154f, kLb = 0.0721f;

inline float clamp01(float v) { return std::min(std::max(v, 0.0f), 1.0f); }
// Ink amount of a pixel whose screen value s meets the tone v, with an edge `width` wide in
// screen units. The threshold moves by up to half the edge towards the nearer end, so
// white (v = 1) takes no ink and black (v = 0) is solid even at the dot centres, where
// the screen peaks just inside 0..1.
inline float inkRamp(float s, float v, float width) { return clamp01((s - v) / width + (1 - v)); }

// "halftone_mono" (image, screen): black dots on white, alpha of the image. Ink covers
// the part of the pixel where the screen exceeds the image's luminance; the screen's own
// gradient (central differences) sets the edge width, so the edge is about one output
// pixel wide whatever the screen's scale. A pixel without alpha counts as white.
inline void monoPixel(const float* ip, float s, float l, float r, float u, float d, float* o) {
    const float a = ip[3];
    const float lum = kLr * ip[0] + kLg * ip[1] + kLb * ip[2];
    const float L = a > 0 ? clamp01(lum / a) : 1.0f;
    const float gx = 0.5f * (r - l), gy = 0.5f * (d - u);
    const float g = std::max(std::sqrt(gx * gx + gy * gy), 1.0e-3f);
    const float v = (1 - inkRamp(s, L, g)) * a;
    o[0] = o[1] = o[2] = v;
    o[3] = a;
}

void halftoneMono(const GeneralTile& t) {
    const SamplerView& img = t.src[0];
    const SamplerView& scr = t.src[1];
    // The screen is held over the region of interest within its extent: at the extent's
    // edges the missing neighbour is replaced by the pixel itself (a one-sided gradient).
    const IRect& h = scr.rect;
    if (!h.contains(t.rect) || !img.rect.contains(t.rect)) {
        // A screen or image smaller than the output (a caller's own arguments): read
        // through the bounds-checked accessor, off-screen pixels taking no ink.
        float ip[4], c[4], n[4][4];
        const int dx[4] = {-1, 1, 0, 0}, dy[4] = {0, 0, -1, 1};
        for (int y = t.rect.y; y < t.rect.bottom(); ++y)
            for (int x = t.rect.x; x < t.rect.right(); ++x) {
                img.pixel(x, y, ip);
                scr.pixel(x, y, c);
                for (int k = 0; k < 4; ++k) scr.pixel(x + dx[k], y + dy[k], n[k]);
                auto v = [&](int k) { return n[k][3] > 0 ? n[k][0] : c[0]; };
                monoPixel(ip, c[3] > 0 ? c[0] : 0.0f, v(0), v(1), v(2), v(3), t.row(y) + (x - t.rect.x) * 4);
            }
        return;
    }
    // The screen's red as planes, one value either side of the tile's columns, with the
    // clamped neighbours at the extent's edges already in place. Each screen row serves
    // three output rows, so the last three planes are kept.
    if (t.rect.empty()) return;
    const int x0 = t.rect.x, w = t.rect.w;
    const size_t stride = size_t(w) + 2;
    std::vector<float> planes(3 * stride);
    int held[3] = {INT_MIN, INT_MIN, INT_MIN};
    const int jl = std::max(0, h.x - (x0 - 1)), jr = std::min(w + 2, h.right() - (x0 - 1));
    auto plane = [&](int ry, int keepA, int keepB) -> const float* {
        for (int k = 0; k < 3; ++k)
            if (held[k] == ry) return planes.data() + k * stride + 1;
        int k = 0;
        while (held[k] == keepA || held[k] == keepB) ++k;
        held[k] = ry;
        float* p = planes.data() + k * stride;
        redPlaneSpan(scr.row(ry) + ptrdiff_t(x0 - 1 + jl) * 4, p + jl, size_t(jr - jl));
        std::fill(p, p + jl, p[jl]);
        std::fill(p + jr, p + stride, p[jr - 1]);
        return p + 1;
    };
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const int yu = std::max(y - 1, h.y), yd = std::min(y + 1, h.bottom() - 1);
        const float* centre = plane(y, yu, yd);
        const float* up = plane(yu, y, yd);
        const float* down = plane(yd, y, yu);
        halftoneMonoSpan(img.row(y) + ptrdiff_t(x0) * 4, centre, up, down, t.row(y), size_t(w));
    }
}

IRect halftoneMonoRoi(int index, const IRect& d, const ArgValue*, int) {
    return index == 1 ? d.inset(-1, -1) : d;
}

// "halftoneCMY_cheap" (image, process screen): cyan, magenta and yellow ink where the
// red, green and blue of the image lie below the screen's red, green and blue (the ink
// amounts 1 − r, 1 − g, 1 − b above 1 − screen); each ink takes its complementary primary
// away from white. The edge is a fixed narrow smoothstep (0.04 wide in screen units), not
// the screen's gradient, hence cheap. Without alpha the tone is white. Alpha of the image.
void halftoneCMYCheap(const ColorSpan& s) { halftoneCMYCheapSpan(s.src[0], s.src[1], s.dst, size_t(s.n)); }

// "setAlpha" (image, a): the same straight colour at alpha a. The data is premultiplied,
// so colour is scaled by a / alpha; a pixel without alpha has no colour to keep and
// becomes (0, 0, 0, a).
void setAlpha(const ColorSpan& s) { setAlphaSpan(s.src[0], s.dst, size_t(s.n), s.val[0][0]); }

// "thresholdWatermark" (mark, phase t in 0..1): the mark's shape (its alpha) in near
// black, crossed by a soft lighter band along the diagonal x + y that sweeps across the
// mark as t runs from 0 to 1. The band repeats every 1024 pixels of x + y, so t = 1 looks
// exactly like t = 0 and the video loop has no jump. Coordinates are the mark's own (it
// is moved to the origin first).
void thresholdWatermark(const ColorSpan& s) {
    thresholdWatermarkSpan(s.src[0], s.dst, size_t(s.n), s.x, s.y, s.val[0][0]);
}

}  // namespace

void registerTextureKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        KernelRegistry::add(Kernel::makeGeneral("halftone_mono", halftoneMono, halftoneMonoRoi));
        KernelRegistry::add(Kernel::makeColor("halftoneCMY_cheap", halftoneCMYCheap));
        KernelRegistry::add(Kernel::makeColor("setAlpha", setAlpha));
        KernelRegistry::add(Kernel::makeColor("thresholdWatermark", thresholdWatermark));
    });
}

}  // namespace vellari
