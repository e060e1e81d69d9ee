#pragma once
// Kernels between 8-bit RGBA pixels and premultiplied RGBA floats, over `rows` rows of w
// pixels, each row `stride` bytes or floats after the one before. Each runs on the best
// instruction set available (see vellari/platform/simd.h).

#include <cstddef>
#include <cstdint>

#include "vellari/platform/context.h"

namespace vellari::detail {

// RGBA8 pixels to floats in [0, 1]; straight ones are premultiplied on the way (colour ·
// alpha, both as floats).
void bytesToFloats(const uint8_t* s, size_t sStride, float* out, ptrdiff_t outStride, size_t w, size_t rows,
                   bool premultiply);

// Float pixels to bytes in the order of an 8-bit format (not RGBAf): each value clamped to
// [0, 1] (NaN to 0), scaled by 255 and rounded half up (truncating v · 255 + 0.5); the
// same bytes on every instruction set.
void floatsToBytes(const float* s, ptrdiff_t sStride, uint8_t* out, size_t outStride, size_t w, size_t rows,
                   PixelFormat format);

// RGBA8 pixels reordered into an 8-bit format's order (RGBA8 is a plain copy).
void reorderBytes(const uint8_t* s, size_t sStride, uint8_t* out, size_t outStride, size_t w, size_t rows,
                  PixelFormat format);

}  // namespace vellari::detail
