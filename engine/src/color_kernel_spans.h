#pragma once
// Vector span bodies of the engine's colour kernels, on the best instruction set
// available (see vellari/platform/simd.h).

#include <cstddef>

namespace vellari::kernels {

// Grey 0.3·r + 0.59·g + 0.11·b in the three colour channels, alpha kept; the three are
// exactly equal (later stages take grey pictures by that).
void grayscaleSpan(const float* p, float* out, size_t n);

}  // namespace vellari::kernels
