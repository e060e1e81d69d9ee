#pragma once
// Span kernels of the Porter–Duff operators and the blend modes, on premultiplied RGBA.
// Each runs on the best instruction set available (see vellari/platform/simd.h).

#include <cstddef>

namespace vellari::detail {

enum class CompositeOp {
    SourceOver,
    SourceAtop,
    SourceIn,
    SourceOut,
    Multiply,
    Screen,
    Overlay,
    Darken,
    Lighten,
    ColorDodge,
    ColorBurn,
    HardLight,
    SoftLight,
    Difference,
    Exclusion,
    Hue,
    Saturation,
    Color,
    Luminosity,
};

// out = op(s, b) over n pixels, s the source and b the backdrop; both are first clamped
// to valid premultiplied colour (alpha in [0, 1], colour in [0, alpha]). Blend modes
// composite their B(Cb, Cs) source-over.
void compositeSpan(CompositeOp op, const float* s, const float* b, float* out, size_t n);

}  // namespace vellari::detail
