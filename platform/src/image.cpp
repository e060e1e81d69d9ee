#include "vellari/platform/image.h"

#include <cstring>

#include "node.h"
#include "pixel_format_kernels.h"
#include "resample.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/picture.h"

namespace vellari {
namespace detail {

IRect roundOut(const Rect& r) { return r.integral(); }

namespace {

class ConstantNode final : public Node {
public:
    explicit ConstantNode(const float c[4]) {
        std::memcpy(color_, c, sizeof color_);
        extent = Rect::infinite();
    }
    Kind kind() const override { return Kind::Source; }
    void readTile(const TileBuffer& out) const override {
        for (int y = out.rect.y; y < out.rect.bottom(); ++y) {
            float* p = out.row(y);
            for (int i = 0; i < out.rect.w; ++i)
                for (int c = 0; c < 4; ++c) p[i * 4 + c] = color_[c];
        }
    }

private:
    float color_[4];
};

// Float pixels owned by the image; read in place when the request lies inside.
class FloatSourceNode final : public Node {
public:
    FloatSourceNode(std::shared_ptr<const std::vector<float>> d, int w, int h, Point origin)
        : data_(std::move(d)), w_(w), ox_(int(std::floor(origin.x))), oy_(int(std::floor(origin.y))) {
        extent = {double(ox_), double(oy_), double(w), double(h)};
    }
    Kind kind() const override { return Kind::Source; }
    bool directView(const IRect& r, const float*& data, ptrdiff_t& stride) const override {
        data = data_->data() + (ptrdiff_t(r.y - oy_) * w_ + (r.x - ox_)) * 4;
        stride = ptrdiff_t(w_) * 4;
        return true;
    }
    void readTile(const TileBuffer& out) const override {
        const float* src;
        ptrdiff_t stride;
        directView(out.rect, src, stride);
        for (int y = 0; y < out.rect.h; ++y)
            std::memcpy(out.row(out.rect.y + y), src + y * stride, size_t(out.rect.w) * 16);
    }

private:
    std::shared_ptr<const std::vector<float>> data_;
    int w_, ox_, oy_;
};

// 8-bit RGBA pixels, straight or premultiplied, converted per tile.
class ByteSourceNode final : public Node {
public:
    ByteSourceNode(std::shared_ptr<const std::vector<uint8_t>> d, int w, int h, size_t rowBytes, bool premultiplied,
                   Point origin)
        : data_(std::move(d)), rowBytes_(rowBytes), premultiplied_(premultiplied),
          ox_(int(std::floor(origin.x))), oy_(int(std::floor(origin.y))) {
        extent = {double(ox_), double(oy_), double(w), double(h)};
    }
    Kind kind() const override { return Kind::Source; }
    bool byteView(const IRect& r, const uint8_t*& data, size_t& rowBytes) const override {
        if (!premultiplied_ || !extent.integral().contains(r)) return false;
        data = data_->data() + size_t(r.y - oy_) * rowBytes_ + size_t(r.x - ox_) * 4;
        rowBytes = rowBytes_;
        return true;
    }
    void readTile(const TileBuffer& out) const override {
        const uint8_t* s = data_->data() + size_t(out.rect.y - oy_) * rowBytes_ + size_t(out.rect.x - ox_) * 4;
        bytesToFloats(s, rowBytes_, out.row(out.rect.y), out.stride, size_t(out.rect.w), size_t(out.rect.h),
                      !premultiplied_);
    }

private:
    std::shared_ptr<const std::vector<uint8_t>> data_;
    size_t rowBytes_;
    bool premultiplied_;
    int ox_, oy_;
};

class AliasNode final : public Node {
public:
    AliasNode(NodePtr in, Rect ext) {
        extent = ext;
        nearest = in->nearest;
        inputs.push_back(std::move(in));
    }
    Kind kind() const override { return Kind::Alias; }
};

class OffsetNode final : public Node {
public:
    OffsetNode(NodePtr in, int ddx, int ddy) {
        extent = in->extent.offset(ddx, ddy);
        nearest = in->nearest;
        dx = ddx;
        dy = ddy;
        inputs.push_back(std::move(in));
    }
    Kind kind() const override { return Kind::Offset; }
};

// Edge pixels repeated to infinity.
class ClampNode final : public Node {
public:
    explicit ClampNode(NodePtr in) : e_(in->extent.integral()) {
        extent = Rect::infinite();
        nearest = in->nearest;
        inputs.push_back(std::move(in));
    }
    Kind kind() const override { return Kind::Sampling; }
    const IRect& clampRect() const { return e_; }
    IRect roi(int, const IRect& d) const override {
        int x0 = std::clamp(d.x, e_.x, e_.right() - 1), x1 = std::clamp(d.right() - 1, e_.x, e_.right() - 1);
        int y0 = std::clamp(d.y, e_.y, e_.bottom() - 1), y1 = std::clamp(d.bottom() - 1, e_.y, e_.bottom() - 1);
        return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
    }
    void evalTile(const SamplerView* in, const TileBuffer& out) const override {
        const SamplerView& v = in[0];
        const IRect& r = out.rect;
        for (int y = r.y; y < r.bottom(); ++y) {
            int sy = std::clamp(y, v.rect.y, v.rect.bottom() - 1);
            const float* s = v.row(sy);
            float* p = out.row(y);
            int x = r.x;
            const int left = v.rect.x, right = v.rect.right() - 1;
            for (; x < r.right() && x < left; ++x) std::memcpy(p + (x - r.x) * 4, s + ptrdiff_t(left) * 4, 16);
            int mid = std::min(r.right(), right + 1) - x;
            if (mid > 0) {
                std::memcpy(p + (x - r.x) * 4, s + ptrdiff_t(x) * 4, size_t(mid) * 16);
                x += mid;
            }
            for (; x < r.right(); ++x) std::memcpy(p + (x - r.x) * 4, s + ptrdiff_t(right) * 4, 16);
        }
    }

private:
    IRect e_;
};


}  // namespace

const Node* clampedInput(const Node* n, IRect* bounds) {
    const auto* c = dynamic_cast<const ClampNode*>(n);
    if (!c) return nullptr;
    *bounds = c->clampRect();
    return c->inputs[0].get();
}

Image makePointwise(const Rect& extent, std::vector<Image> inputs, FunctionPointwiseNode::Fn fn) {
    std::vector<NodePtr> ins;
    for (auto& i : inputs) {
        if (!i) return {};
        ins.push_back(i.node());
    }
    return Image(std::make_shared<FunctionPointwiseNode>(extent, std::move(ins), std::move(fn)));
}

// A kernel that reads a few pixels round each output pixel (an edge-preserving pass, a
// gradient) takes its inputs tile by tile, recomputing a thin margin, rather than having
// them stored whole: a tile's share stays in cache and no full-size buffer is written.
FunctionSamplingNode::FunctionSamplingNode(Rect ext, std::vector<NodePtr> ins, Roi roi, Fn fn)
    : roi_(std::move(roi)), fn_(std::move(fn)) {
    extent = ext;
    inputs = std::move(ins);
    const IRect probe{0, 0, kTileW, kTileH};
    local_ = true;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const IRect r = this->roi(int(i), probe);
        if (!r.contains(probe) || r.area() * 10 > probe.area() * 11) local_ = false;
    }
}

Image makeSampling(const Rect& extent, std::vector<Image> inputs, FunctionSamplingNode::Roi roi,
                   FunctionSamplingNode::Fn fn) {
    std::vector<NodePtr> ins;
    for (auto& i : inputs) {
        if (!i) return {};
        ins.push_back(i.node());
    }
    return Image(std::make_shared<FunctionSamplingNode>(extent, std::move(ins), std::move(roi), std::move(fn)));
}

}  // namespace detail

using namespace detail;

Rect Image::extent() const { return node_ ? node_->extent : Rect::null(); }

Image Image::constantColor(const Color& c) {
    float p[4] = {float(c.r * c.a), float(c.g * c.a), float(c.b * c.a), float(c.a)};
    return Image(std::make_shared<ConstantNode>(p));
}

Image Image::empty() {
    float p[4] = {0, 0, 0, 0};
    auto n = std::make_shared<ConstantNode>(p);
    return Image(std::make_shared<AliasNode>(n, Rect::null()));
}

Image Image::fromRGBA8(const uint8_t* data, int width, int height, size_t rowBytes, bool premultiplied) {
    if (!data || width <= 0 || height <= 0) return {};
    auto d = std::make_shared<std::vector<uint8_t>>(size_t(width) * 4 * height);
    for (int y = 0; y < height; ++y) std::memcpy(d->data() + size_t(y) * width * 4, data + y * rowBytes, size_t(width) * 4);
    return Image(std::make_shared<ByteSourceNode>(std::move(d), width, height, size_t(width) * 4, premultiplied, Point{}));
}

Image Image::fromRGBAf(std::vector<float> data, int width, int height, Point origin) {
    if (width <= 0 || height <= 0 || data.size() < size_t(width) * height * 4) return {};
    auto d = std::make_shared<const std::vector<float>>(std::move(data));
    return Image(std::make_shared<FloatSourceNode>(std::move(d), width, height, origin));
}

Image Image::fromPicture(const Picture& picture) {
    if (picture.isNull()) return {};
    Picture up = picture.orientation() == 1 ? picture : picture.upright();
    auto d = std::make_shared<const std::vector<uint8_t>>(up.rgba());
    return Image(std::make_shared<ByteSourceNode>(std::move(d), up.width(), up.height(), size_t(up.width()) * 4, false,
                                                  Point{}));
}

namespace detail {
Image imageFromSharedBytes(std::shared_ptr<const std::vector<uint8_t>> d, const IRect& r) {
    return Image(std::make_shared<ByteSourceNode>(std::move(d), r.w, r.h, size_t(r.w) * 4, true,
                                                  Point{double(r.x), double(r.y)}));
}
}  // namespace detail

Image Image::cropped(const Rect& r) const {
    if (!node_) return {};
    return Image(std::make_shared<AliasNode>(node_, extent().intersect(r)));
}

Image Image::clampedToExtent() const {
    if (!node_) return {};
    if (extent().isInfinite()) return *this;
    if (extent().integral().empty()) return *this;
    return Image(std::make_shared<ClampNode>(node_));
}

Image Image::samplingNearest() const {
    if (!node_) return {};
    auto n = std::make_shared<AliasNode>(node_, extent());
    n->nearest = true;
    return Image(n);
}

Image Image::samplingLinear() const {
    if (!node_) return {};
    auto n = std::make_shared<AliasNode>(node_, extent());
    n->nearest = false;
    return Image(n);
}

bool Image::samplesNearest() const { return node_ && node_->nearest; }

Image Image::insertingIntermediate(bool /*cache*/) const {
    if (!node_) return {};
    auto n = std::make_shared<AliasNode>(node_, extent());
    n->intermediate = true;
    return Image(n);
}

Image Image::transformed(const AffineTransform& t, bool highQualityDownsample) const {
    if (!node_) return {};
    if (t.isIdentity()) return *this;
    if (t.a == 1 && t.b == 0 && t.c == 0 && t.d == 1 && t.tx == std::floor(t.tx) && t.ty == std::floor(t.ty) &&
        std::abs(t.tx) < 1e9 && std::abs(t.ty) < 1e9)
        return Image(std::make_shared<OffsetNode>(node_, int(t.tx), int(t.ty)));
    if (extent().isInfinite()) {
        // An infinite image stays infinite; constant colours are unchanged by any transform.
        if (dynamic_cast<const ConstantNode*>(node_.get())) return *this;
    }
    return makeTransformNode(*this, t, highQualityDownsample);
}

AffineTransform orientationTransform(int o, double w, double h) {
    switch (o) {
        case 2: return {-1, 0, 0, 1, w, 0};   // mirrored horizontally
        case 3: return {-1, 0, 0, -1, w, h};  // half turn
        case 4: return {1, 0, 0, -1, 0, h};   // mirrored vertically
        case 5: return {0, 1, 1, 0, 0, 0};    // transposed
        case 6: return {0, 1, -1, 0, h, 0};   // stored turned left: turn a quarter clockwise
        case 7: return {0, -1, -1, 0, h, w};  // transverse
        case 8: return {0, -1, 1, 0, 0, w};   // stored turned right: turn a quarter anticlockwise
        default: return {};
    }
}

Image Image::oriented(int o) const {
    if (!node_) return {};
    if (o < 2 || o > 8) return *this;
    Rect e = extent();
    AffineTransform t = AffineTransform::translation(-e.x, -e.y)
                            .concat(orientationTransform(o, e.width, e.height))
                            .translated(e.x, e.y);
    return transformed(t);
}

Image Image::compositedOver(const Image& background) const {
    if (!node_) return {};
    if (!background) return *this;
    return applyingFilter("CISourceOverCompositing", {{"inputBackgroundImage", background}});
}

Image Image::applyingFilter(const std::string& name, const std::map<std::string, FilterValue>& params) const {
    if (!node_) return {};
    FilterPtr f = FilterRegistry::create(name);
    if (!f) return {};
    f->setValue("inputImage", *this);
    for (auto& [k, v] : params) f->setValue(k, v);
    ProfileLabel label(name.c_str());
    return f->outputImage();
}

Image Image::applyingFilter(const std::string& name) const { return applyingFilter(name, {}); }

}  // namespace vellari
