#pragma once
// Row kernels of the edge tangent flow (edge_flow.cpp): the initial field and its coherence
// passes (edge_flow_field_kernels.cpp), the flow-guided smoothing (edge_flow_blur_kernels.cpp).
// Each runs on the best instruction set available (see vellari/platform/simd.h).

#include <cstddef>
#include <cstdint>

namespace vellari::edgeflow {

// ---------------------------------------------------------------- field and coherence

// Floats in the vectors the coherence sums work with now; a row's sums run in blocks of
// twice as many.
size_t blockLanes();

// The red channel of n RGBA pixels.
void redSpan(const float* rgba, size_t n, float* v);
// n encoded field pixels decoded: tangent (tx, ty), magnitude g; zero where transparent.
void decodeFieldSpan(const float* rgba, size_t n, float* tx, float* ty, float* g);
// One row of the initial field from the grey rows above, at and below it (aligned to x,
// one value readable either side): unit tangent and the magnitude times scale, at most 1.
void sobelRow(const float* a, const float* b, const float* c, size_t n, float scale, float* tx, float* ty,
              float* tg);
// Field planes encoded as RGBA: 0.5 + 0.5 t, g, opaque.
void encodeRow(const float* tx, const float* ty, const float* g, size_t n, float* out);
// e^{−2g} for g in [0, 1].
void expMinusTwicePlane(const float* g, size_t n, float* f);
// The coherence sum over a disc (plane offsets offs) around each of n pixels from (cx, cy)
// with cf = e^{−2g}, normalised into (ox, oy); a pixel whose sum vanishes keeps its own
// tangent. sx and sy are scratch. Whole blocks of 2 blockLanes() pixels: that many minus
// one past n are read from the planes and written to sx, sy (not to ox, oy).
void coherenceRow(const float* cx, const float* cy, const float* cf, const ptrdiff_t* offs, int taps, size_t n,
                  float* sx, float* sy, float* ox, float* oy);

// ---------------------------------------------------------------- flow-guided smoothing

// Weights of the pixel and of its pairs of steps, normalised, and where the pairs lie:
// from the pixel, and from the point two steps out.
struct FlowTaps {
    float centre, near, far;
    float nearAt, farAt;
};

// Per output row: the field pixels two steps out, and where each of a pixel's four samples
// lies: the offset in floats of its top-left neighbour from the image origin, and its
// bilinear fractions. The fractions are read in pairs of pixels, up to two floats past
// the row's last pixel.
struct FlowRow {
    int32_t *ahead, *behind;  // field plane indices two steps out each way
    float* seen[4];           // the tangents there: x and y ahead, then behind
    int32_t* off[4];
    float* fx[4];
    float* fy[4];
};

// Where one row of samples is placed: the field's unit tangent planes and the image,
// both in local coordinates. Positions are clamped to the field's and the image's rects.
struct FlowPlacement {
    const float* tangentX;  // the field's unit tangents, planes of stride fieldStride
    const float* tangentY;
    size_t centre;        // plane index of the row's first pixel
    int fieldStride;
    int shift;            // plane index of field pixel (ix, iy) is iy * fieldStride + ix − shift
    float fieldMaxX, fieldMaxY;
    float fieldX0, fieldY;  // the row's first pixel in field coordinates
    float imageMaxX, imageMaxY;
    int imageLastX, imageLastY;  // the last top-left neighbours a bilinear sample may have
    int imageStride;             // floats per image row
    float imageX0, imageY;       // the row's first pixel in image coordinates
};

// Unit vectors of n encoded tangents; zero where the field holds none.
void decodeUnitRow(const float* rgba, size_t n, float* x, float* y);
// The four samples of n pixels; nearest rounds each to the pixel holding it.
void placeFlowSamples(bool nearest, const FlowPlacement& g, const FlowTaps& k, size_t n, const FlowRow& s);
// out = the weighted pixel and its four bilinear samples, all four channels. image is the
// origin the offsets count from, stride its floats per row; centre is the row's first pixel.
void sumFlowSamples(const float* image, int stride, const float* centre, size_t n, const FlowTaps& k,
                    const FlowRow& s, float* out);

}  // namespace vellari::edgeflow
