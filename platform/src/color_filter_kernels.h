#pragma once
// Span kernels of the colour filters: n premultiplied RGBA pixels in, n out. Each runs on
// the best instruction set available (see vellari/platform/simd.h).

#include <cstddef>

namespace vellari::detail {

// A monotone cubic through at most five points, as polynomial segments:
// v = a0 + u·(a1 + u·(a2 + u·a3)), u = (t − x) · invh, for t clamped to [lo, hi].
struct ToneCurve {
    static constexpr int kMaxSegments = 4;
    int segments = 1;
    float lo = 0, hi = 1;  // the points' x range: flat outside it
    float x[kMaxSegments]{}, invh[kMaxSegments]{}, a0[kMaxSegments]{}, a1[kMaxSegments]{}, a2[kMaxSegments]{},
        a3[kMaxSegments]{};
};

void colorControlsSpan(const float* s, float* out, size_t n, float saturation, float brightness, float contrast);
void toneCurveSpan(const float* s, float* out, size_t n, const ToneCurve& curve);
// out = s + (s − blurred)·k on all four channels.
void unsharpSpan(const float* s, const float* blurred, float* out, size_t n, float k);

// Colour times (alpha > 0), alpha kept: what the filters that unpremultiply give when
// their parameters make them the identity.
void clearTransparentSpan(const float* s, float* out, size_t n);
// Trilinear look-up in a dim³ table (dim ≥ 2) of (r, g, b, 1) entries, red varying
// fastest, on straight colour clamped to [0, 1]; the pixel's alpha is kept.
void colorCubeSpan(const float* s, float* out, size_t n, const float* table, int dim);
// m: the rows R, G, B, A (four floats each), then the bias (four floats).
void colorMatrixSpan(const float* s, float* out, size_t n, const float* m);
// |c|^power with c's sign on straight colour.
void gammaSpan(const float* s, float* out, size_t n, float power);
void vibranceSpan(const float* s, float* out, size_t n, float amount);
// m (3×3, rows) on linear sRGB between the transfer curve's decoding and encoding.
void linearRgbMatrixSpan(const float* s, float* out, size_t n, const float* m);
void colorInvertSpan(const float* s, float* out, size_t n);

}  // namespace vellari::detail
