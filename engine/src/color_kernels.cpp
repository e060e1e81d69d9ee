#include "color_kernels.h"

#include <algorithm>
#include <cmath>

#include "color_kernel_spans.h"

namespace vellari::kernels {
namespace {
inline float clamp01(float v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }
}  // namespace

void grayscale(const ColorSpan& s) { grayscaleSpan(s.src[0], s.dst, size_t(s.n)); }

void grayscaleEnhanceLips(const ColorSpan& s) {
    const float* p = s.src[0];
    for (int i = 0; i < s.n; ++i) {
        float r = p[i * 4], g = p[i * 4 + 1], b = p[i * 4 + 2];
        float mx = std::max(r, std::max(g, b)), mn = std::min(r, std::min(g, b));
        float v = g * mx + (1 - g) * mn;
        s.dst[i * 4] = s.dst[i * 4 + 1] = s.dst[i * 4 + 2] = v;
        s.dst[i * 4 + 3] = p[i * 4 + 3];
    }
}

void thresholdMultichannelImage(const ColorSpan& s) {
    const float* p = s.src[0];
    const float t = s.val[0][0];
    for (int i = 0; i < s.n; ++i) {
        for (int c = 0; c < 3; ++c) s.dst[i * 4 + c] = p[i * 4 + c] > t ? 1.0f : 0.0f;
        s.dst[i * 4 + 3] = p[i * 4 + 3];
    }
}

void unsharpMask(const ColorSpan& s) {
    const float* a = s.src[0];
    const float* b = s.src[1];
    const float k = s.val[0][0];
    for (int i = 0; i < s.n * 4; ++i) s.dst[i] = clamp01((a[i] - b[i]) * k + a[i]);
}

void highPass(const ColorSpan& s) {
    const float* a = s.src[0];
    const float* b = s.src[1];
    const float k = s.val[0][0];
    for (int i = 0; i < s.n; ++i) {
        for (int c = 0; c < 3; ++c) s.dst[i * 4 + c] = clamp01((a[i * 4 + c] - b[i * 4 + c]) * k + 0.5f);
        s.dst[i * 4 + 3] = 1;
    }
}

void maskInRange(const ColorSpan& s) {
    const float* p = s.src[0];
    const ArgValue& c = s.val[0];
    if (s.valCount < 2) {
        for (int i = 0; i < s.n; ++i) {
            const float r = p[i * 4];
            const bool inside = 0 < r && r < 1;
            for (int k = 0; k < 4; ++k) s.dst[i * 4 + k] = inside ? c[k] : p[i * 4 + k];
        }
        return;
    }
    const float d = s.val[1][0], lo = 0.5f - d, hi = 0.5f + d;
    for (int i = 0; i < s.n; ++i) {
        const float r = p[i * 4];
        if (lo < r && r < hi) {
            for (int k = 0; k < 4; ++k) s.dst[i * 4 + k] = c[k];
        } else {
            const float v = r <= 0.5f ? 1.0f : 0.0f;
            s.dst[i * 4] = s.dst[i * 4 + 1] = s.dst[i * 4 + 2] = v;
            s.dst[i * 4 + 3] = 1;
        }
    }
}

void scaleRange(const ColorSpan& s) {
    const float* p = s.src[0];
    const float k = s.val[0][0], b = s.val[1][0];
    for (int i = 0; i < s.n; ++i) {
        for (int c = 0; c < 3; ++c) s.dst[i * 4 + c] = clamp01(p[i * 4 + c] * k + b);
        s.dst[i * 4 + 3] = p[i * 4 + 3];
    }
}

void maskFromZeroCrossingValues(const ColorSpan& s) {
    const float* p = s.src[0];
    for (int i = 0; i < s.n; ++i) {
        s.dst[i * 4] = s.dst[i * 4 + 1] = s.dst[i * 4 + 2] = 0;
        s.dst[i * 4 + 3] = 2 * std::abs(p[i * 4] - 0.5f);
    }
}

void supressMidRange(const ColorSpan& s) {
    const float* p = s.src[0];
    const float d = s.val[0][0], lo = 0.5f - d, hi = 0.5f + d;
    for (int i = 0; i < s.n; ++i) {
        const float r = p[i * 4];
        if (lo < r && r < hi) {
            s.dst[i * 4] = s.dst[i * 4 + 1] = s.dst[i * 4 + 2] = 0.5f;
            s.dst[i * 4 + 3] = 0;
        } else {
            for (int k = 0; k < 4; ++k) s.dst[i * 4 + k] = p[i * 4 + k];
        }
    }
}

void supressHighRange(const ColorSpan& s) {
    const float* p = s.src[0];
    const float d = s.val[0][0];
    for (int i = 0; i < s.n; ++i) {
        s.dst[i * 4] = s.dst[i * 4 + 1] = s.dst[i * 4 + 2] = 0;
        s.dst[i * 4 + 3] = p[i * 4] > d ? 0.0f : 1.0f;
    }
}

void clampRange(const ColorSpan& s) {
    const float* p = s.src[0];
    for (int i = 0; i < s.n * 4; ++i) s.dst[i] = clamp01(p[i]);
}

void bilateralBlurValue(const GeneralTile& t) {
    const SamplerView& v = t.src[0];
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        float* o = t.row(y);
        for (int x = t.rect.x; x < t.rect.right(); ++x) {
            float px[4];
            v.pixel(x, y, px);
            const float centre = px[0];
            float sum = centre, total = 1;
            const int nx[4] = {x - 1, x + 1, x, x};
            const int ny[4] = {y, y, y - 1, y + 1};
            for (int k = 0; k < 4; ++k) {
                v.pixel(nx[k], ny[k], px);
                const float n = px[0];
                // Weighted against the running sum, not the centre value.
                const float w = 1 - std::abs(sum - n);
                total += w;
                sum += w * n;
            }
            // A vanishing total would divide by zero: keep the centre then.
            const float r = std::abs(total) > 1e-6f ? clamp01(sum / total) : clamp01(centre);
            float* q = o + (x - t.rect.x) * 4;
            q[0] = q[1] = q[2] = r;
            q[3] = 1;
        }
    }
}

}  // namespace vellari::kernels
