#pragma once
// Span kernels of the texture and halftone layer and of the watermark: n premultiplied
// RGBA pixels in, n out, on the best instruction set available (see
// vellari/platform/simd.h). The rules are those of texture_kernels.cpp.

#include <cstddef>

namespace vellari::styles::texture {

// The red channel of n RGBA pixels, as one plane.
void redPlaneSpan(const float* src, float* red, size_t n);
// One row of the mono screen: image pixels, the screen's red at the pixel (centre), its
// left and right neighbours (centre − 1 and centre + 1 hold them) and the rows above and
// below (up, down), all planes of n values. Black ink on white at the image's alpha.
void halftoneMonoSpan(const float* image, const float* centre, const float* up, const float* down, float* dst,
                      size_t n);
void halftoneCMYCheapSpan(const float* image, const float* screen, float* dst, size_t n);
void setAlphaSpan(const float* src, float* dst, size_t n, float alpha);
// The mark's band for pixels (x .. x + n − 1, y).
void thresholdWatermarkSpan(const float* src, float* dst, size_t n, int x, int y, float phase);

}  // namespace vellari::styles::texture
