// Kernels of the texture and halftone layer and of the watermark.
//
// Screens follow one convention (tools/make_screens.cpp): a screen value is high at the
// dot centres and low between them, and a tone v is inked where v < screen, so dots grow
// from their centres as the tone darkens.

#include <algorithm>
#include <cmath>
#include <mutex>

#include "style_kernels.h"
#include "vellari/platform/kernel.h"

namespace vellari {
namespace {

// Rec. 709 luma, as the colour controls use.
constexpr float kLr = 0.2125f, kLg = 0.7154f, kLb = 0.0721f;

inline float clamp01(float v) { return std::min(std::max(v, 0.0f), 1.0f); }
inline float smoothstep(float e0, float e1, float x) {
    const float t = clamp01((x - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}

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
    const int x0 = t.rect.x, x1 = t.rect.right();
    const int inner0 = std::max(x0, h.x + 1), inner1 = std::min(x1, h.right() - 1);
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const float* ip = img.row(y);
        const float* sc = scr.row(y);
        const float* su = scr.row(std::max(y - 1, h.y));
        const float* sd = scr.row(std::min(y + 1, h.bottom() - 1));
        float* o = t.row(y) - ptrdiff_t(x0) * 4;
        auto edge = [&](int x) {
            const int xl = std::max(x - 1, h.x), xr = std::min(x + 1, h.right() - 1);
            monoPixel(ip + x * 4, sc[x * 4], sc[xl * 4], sc[xr * 4], su[x * 4], sd[x * 4], o + x * 4);
        };
        for (int x = x0; x < std::min(inner0, x1); ++x) edge(x);
        for (int x = inner0; x < inner1; ++x)
            monoPixel(ip + x * 4, sc[x * 4], sc[(x - 1) * 4], sc[(x + 1) * 4], su[x * 4], sd[x * 4], o + x * 4);
        for (int x = std::max(inner1, inner0); x < x1; ++x) edge(x);
    }
}

IRect halftoneMonoRoi(int index, const IRect& d, const ArgValue*, int) {
    return index == 1 ? d.inset(-1, -1) : d;
}

// "halftoneCMY_cheap" (image, process screen): cyan, magenta and yellow ink where the
// red, green and blue of the image lie below the screen's red, green and blue (the ink
// amounts 1 − r, 1 − g, 1 − b above 1 − screen); each ink takes its complementary primary
// away from white. The edge is a fixed narrow smoothstep, not the screen's gradient,
// hence cheap. Alpha of the image.
void halftoneCMYCheap(const ColorSpan& s) {
    constexpr float w = 0.04f;
    const float* __restrict ip = s.src[0];
    const float* __restrict sp = s.src[1];
    float* __restrict dst = s.dst;
    const int n = s.n;
    for (int i = 0; i < n; ++i) {
        const float a = ip[i * 4 + 3];
        const float inv = 1 / std::max(a, 1.0e-20f);
        // All four lanes alike (so the loop vectorises), the alpha lane replaced after.
        float o[4];
        for (int c = 0; c < 4; ++c) {
            // Without alpha the tone is white: no ink.
            const float v = a > 0 ? clamp01(ip[i * 4 + c] * inv) : 1.0f;
            o[c] = (1 - smoothstep(0, 1, inkRamp(sp[i * 4 + c], v, w))) * a;
        }
        o[3] = a;
        for (int c = 0; c < 4; ++c) dst[i * 4 + c] = o[c];
    }
}

// "setAlpha" (image, a): the same straight colour at alpha a. The data is premultiplied,
// so colour is scaled by a / alpha; a pixel without alpha has no colour to keep and
// becomes (0, 0, 0, a).
void setAlpha(const ColorSpan& s) {
    const float na = s.val[0][0];
    const float* p = s.src[0];
    for (int i = 0; i < s.n; ++i) {
        const float a = p[i * 4 + 3];
        const float k = a > 0 ? na / a : 0.0f;
        for (int c = 0; c < 3; ++c) s.dst[i * 4 + c] = p[i * 4 + c] * k;
        s.dst[i * 4 + 3] = na;
    }
}

// "thresholdWatermark" (mark, phase t in 0..1): the mark's shape (its alpha) in near
// black, crossed by a soft lighter band along the diagonal x + y that sweeps across the
// mark as t runs from 0 to 1. The band repeats every kPeriod pixels of x + y, so t = 1
// looks exactly like t = 0 and the video loop has no jump. Coordinates are the mark's
// own (it is moved to the origin first).
void thresholdWatermark(const ColorSpan& s) {
    constexpr float kPeriod = 1024.0f, kHalfWidth = 110.0f, kBand = 0.45f, kBase = 0.05f;
    const float phase = s.val[0][0];
    const float* p = s.src[0];
    const float yc = float(s.y) + 0.5f;
    for (int i = 0; i < s.n; ++i) {
        const float xc = float(s.x + i) + 0.5f;
        float f = (xc + yc) / kPeriod - phase + 0.5f;
        f -= std::floor(f);
        const float dist = std::abs(f - 0.5f) * kPeriod;  // pixels from the band's centre
        const float grey = kBase + (kBand - kBase) * smoothstep(kHalfWidth, 0.0f, dist);
        const float a = p[i * 4 + 3];
        s.dst[i * 4] = s.dst[i * 4 + 1] = s.dst[i * 4 + 2] = grey * a;
        s.dst[i * 4 + 3] = a;
    }
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
