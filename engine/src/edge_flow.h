#pragma once
// Edge-tangent-flow kernels of the shader library: "ETFconvertValueToNormalizedPerpNormalMap"
// (grey image, scale), "ETF08" (flow field, radius) and "flowBlur07" (image, flow field).
// The flow-field encoding is the one documented on QXVideoFilterAbstract.

namespace vellari {

// Registers the three kernels with the platform's kernel registry. Idempotent and safe to
// call from several threads; the flow operations of the filter base object call it too.
void registerEdgeFlowKernels();

}  // namespace vellari
