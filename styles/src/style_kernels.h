#pragma once
// Registration of the styles' shader-library kernels, one group per layer (internal).

namespace vellari {

void registerPipelineKernels();  // "displaceWithNormalMapPerp"
void registerShadingKernels();   // saturation boosts, masks, spot-colour recolouring, posterisation
void registerBlobKernels();      // the ink-blob layer's thresholds, bands and winner-take-all maps
void registerTextureKernels();   // halftone screens, alpha, the watermark's mark

}  // namespace vellari
