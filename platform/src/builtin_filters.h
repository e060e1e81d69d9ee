#pragma once
// Registration of the built-in filters (internal). Each group lives in its own file.

namespace vellari::detail {

void registerBuiltinFilters();     // all groups below, once

void registerBlurFilters();        // CIGaussianBlur
void registerColorFilters();       // colour cube, matrix, controls, gamma, tone curve, vibrance,
                                   // temperature and tint, invert, unsharp mask
void registerCompositingFilters(); // Porter-Duff operators and blend modes
void registerMorphologyFilters();  // CIMorphologyRectangleMinimum

}  // namespace vellari::detail
