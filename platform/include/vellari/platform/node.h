#pragma once
// Recipe nodes of the lazy image layer: the extension interface for operations that the
// public Image API does not offer (the system's own sampling operations).
//
// Rendering plans the graph once per request: regions of interest propagate from the
// output back to the sources; the input of every sampling node (and every explicit
// intermediate) is materialised into a padded float buffer over the union of what its
// consumers need; everything else (pointwise chains, sampling nodes themselves) is
// evaluated tile by tile, in parallel, with a per-tile memo so that a node shared by two
// consumers is computed once per tile.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vellari/platform/geometry.h"
#include "vellari/platform/kernel.h"
#include "vellari/platform/profile.h"

namespace vellari::detail {

class Node;
using NodePtr = std::shared_ptr<const Node>;

// A writable RGBA float tile.
struct TileBuffer {
    IRect rect;
    float* data = nullptr;
    ptrdiff_t stride = 0;  // floats per row
    float* row(int y) const { return data + ptrdiff_t(y - rect.y) * stride; }
    float* at(int x, int y) const { return row(y) + ptrdiff_t(x - rect.x) * 4; }
};

class Node {
public:
    enum class Kind {
        Source,     // fills tiles from data it owns (readTile)
        Pointwise,  // each output pixel from the same pixel of every input (evalSpan)
        Sampling,   // reads inputs anywhere inside roi() (evalTile); inputs are materialised
        Alias,      // the first input, restricted to this node's extent (crop, sampling mode)
        Offset,     // the first input moved by whole pixels (dx, dy)
    };

    Node() : label(currentProfileLabel()) {}
    virtual ~Node() = default;
    virtual Kind kind() const = 0;

    std::string label;  // the operations that made it, for profiles

    Rect extent;
    std::vector<NodePtr> inputs;
    bool nearest = false;       // later resampling of this image is nearest-pixel
    bool intermediate = false;  // materialise once per render
    int dx = 0, dy = 0;         // Offset only

    // Sampling: the input pixels needed to compute `dest` (this node's coordinates).
    virtual IRect roi(int /*input*/, const IRect& dest) const { return dest; }
    // Sampling: the rois of neighbouring tiles hardly overlap (a resampling map, not a wide
    // blur), so an input used by this node alone is computed tile by tile instead of
    // stored whole.
    virtual bool readsLocally() const { return false; }
    // Sampling: reads the rows it needs of a source input itself (a strong reduction reads
    // few of the rows its region spans) instead of having the whole region converted.
    virtual bool readsRowsItself(int /*input*/) const { return false; }
    // Pointwise: one row span; in[i] holds n RGBA pixels of input i at the same position.
    virtual void evalSpan(const float* const* /*in*/, float* /*out*/, int /*n*/, int /*x*/, int /*y*/) const {}
    // Sampling: `out.rect` lies inside this node's extent; in[i] covers roi(i, out.rect).
    virtual void evalTile(const SamplerView* /*in*/, const TileBuffer& /*out*/) const {}
    // Source: `out.rect` lies inside this node's extent.
    virtual void readTile(const TileBuffer& /*out*/) const {}
    // Source: float pixels of `r` readable in place (no copy), if the source holds them.
    virtual bool directView(const IRect& /*r*/, const float*& /*data*/, ptrdiff_t& /*stride*/) const { return false; }
    // Source: premultiplied 8-bit RGBA pixels of `r` readable in place, if the source holds
    // them; `data` is pixel (r.x, r.y).
    virtual bool byteView(const IRect& /*r*/, const uint8_t*& /*data*/, size_t& /*rowBytes*/) const { return false; }
};

// Pointwise node whose work is a function of row spans.
class FunctionPointwiseNode final : public Node {
public:
    using Fn = std::function<void(const float* const* in, float* out, int n, int x, int y)>;
    FunctionPointwiseNode(Rect ext, std::vector<NodePtr> ins, Fn fn) : fn_(std::move(fn)) {
        extent = ext;
        inputs = std::move(ins);
    }
    Kind kind() const override { return Kind::Pointwise; }
    void evalSpan(const float* const* in, float* out, int n, int x, int y) const override { fn_(in, out, n, x, y); }

private:
    Fn fn_;
};

// Sampling node whose work and region of interest are functions.
class FunctionSamplingNode final : public Node {
public:
    using Fn = std::function<void(const SamplerView* in, const TileBuffer& out)>;
    using Roi = std::function<IRect(int input, const IRect& dest)>;
    FunctionSamplingNode(Rect ext, std::vector<NodePtr> ins, Roi roi, Fn fn);
    Kind kind() const override { return Kind::Sampling; }
    IRect roi(int i, const IRect& dest) const override { return roi_ ? roi_(i, dest) : dest; }
    bool readsLocally() const override { return local_; }
    void evalTile(const SamplerView* in, const TileBuffer& out) const override { fn_(in, out); }

private:
    Roi roi_;
    Fn fn_;
    bool local_ = false;  // every input read over little more than the tile
};

// Helpers for building images from nodes.
inline Image makeImage(NodePtr n) { return Image(std::move(n)); }
Image makePointwise(const Rect& extent, std::vector<Image> inputs, FunctionPointwiseNode::Fn fn);
Image makeSampling(const Rect& extent, std::vector<Image> inputs, FunctionSamplingNode::Roi roi,
                   FunctionSamplingNode::Fn fn);

// Clamps a premultiplied pixel's colour channels to [0, alpha] with alpha in [0, 1]
// (what compositing and blend filters do to their inputs first).
inline void clampPremultiplied(const float* p, float* q) {
    float a = p[3] < 0 ? 0 : (p[3] > 1 ? 1 : p[3]);
    for (int c = 0; c < 3; ++c) q[c] = p[c] < 0 ? 0 : (p[c] > a ? a : p[c]);
    q[3] = a;
}

// Straight colour of a premultiplied pixel (alpha 0 gives colour 0).
inline void unpremultiply(const float* p, float* q) {
    float a = p[3];
    if (a > 0) {
        float inv = 1.0f / a;
        q[0] = p[0] * inv;
        q[1] = p[1] * inv;
        q[2] = p[2] * inv;
    } else {
        q[0] = q[1] = q[2] = 0;
    }
    q[3] = a;
}

// Per-thread scratch memory for tile kernels: grows, never shrinks, is not zeroed.
// `slot` tells apart buffers needed at the same time.
float* threadScratch(int slot, size_t floats);

// The integral rect of the pixels of `r` (rounded out), intersected with `clip`.
IRect roundOut(const Rect& r);

}  // namespace vellari::detail
