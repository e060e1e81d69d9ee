#pragma once
// Row-span bodies of the engine's colour kernels; the compiled kernels of the utilities
// and the same-named kernels of the shader library share them.

#include "vellari/platform/kernel.h"

namespace vellari::kernels {

void grayscale(const ColorSpan& s);
void grayscaleEnhanceLips(const ColorSpan& s);
void thresholdMultichannelImage(const ColorSpan& s);
void unsharpMask(const ColorSpan& s);
void highPass(const ColorSpan& s);
void maskInRange(const ColorSpan& s);  // two or three arguments (colour, optional range)
void scaleRange(const ColorSpan& s);
void maskFromZeroCrossingValues(const ColorSpan& s);
void supressMidRange(const ColorSpan& s);
void supressHighRange(const ColorSpan& s);
void clampRange(const ColorSpan& s);
void bilateralBlurValue(const GeneralTile& t);

}  // namespace vellari::kernels
