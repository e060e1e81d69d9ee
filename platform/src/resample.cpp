#include "resample.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "node.h"
#include "resample_kernels.h"

namespace vellari::detail {
namespace {

enum class AxisMode { Nearest, Linear, Area, Tent };

// Taps of one axis for a run of output pixels: output k reads input pixels
// first[k] .. first[k] + count[k] - 1 with weights w[off[k] ...].
struct Taps {
    std::vector<int> first, count, off;
    std::vector<float> w;
    int lo = 0, hi = 0;  // input range touched, [lo, hi)
};

// Output coordinate X maps to input coordinate (X - shift) / scale on this axis.
// With clampLo < clampHi, input indices outside [clampLo, clampHi) read the nearest edge
// pixel (an image clamped to its extent), their weights merged into its tap.
Taps buildTaps(int outStart, int n, double scale, double shift, AxisMode mode, int viewLo, int viewHi,
               int clampLo = 0, int clampHi = 0) {
    Taps t;
    t.first.resize(n);
    t.count.resize(n);
    t.off.resize(n);
    t.lo = viewHi;
    t.hi = viewLo;
    auto add = [&](int k, int i, double wt) {
        if (clampLo < clampHi) i = std::clamp(i, clampLo, clampHi - 1);
        if (i < viewLo || i >= viewHi || wt == 0) return;  // outside the input: transparent
        if (t.count[k] > 0 && i == t.first[k] + t.count[k] - 1) {  // clamped onto the last tap
            t.w.back() += float(wt);
            return;
        }
        if (t.count[k] == 0) t.first[k] = i;
        // taps are generated in increasing order and contiguous
        t.w.push_back(float(wt));
        t.count[k]++;
        t.lo = std::min(t.lo, i);
        t.hi = std::max(t.hi, i + 1);
    };
    for (int k = 0; k < n; ++k) {
        const double X = outStart + k;
        t.off[k] = int(t.w.size());
        t.count[k] = 0;
        t.first[k] = viewLo;
        if (mode == AxisMode::Nearest) {
            add(k, int(std::floor((X + 0.5 - shift) / scale)), 1.0);
        } else if (mode == AxisMode::Linear) {
            double u = (X + 0.5 - shift) / scale - 0.5;
            double i0 = std::floor(u), f = u - i0;
            if (f < 1e-9) {
                add(k, int(i0), 1.0);
            } else if (f > 1 - 1e-9) {
                add(k, int(i0) + 1, 1.0);
            } else {
                add(k, int(i0), 1 - f);
                add(k, int(i0) + 1, f);
            }
        } else if (mode == AxisMode::Tent) {
            // Weights of the bilinear interpolation's adjoint: mass moves to the two
            // nearest output centres, which keeps its centre where it was.
            const double c = (X + 0.5 - shift) / scale, hw = 1.0 / std::abs(scale);
            double sum = 0;
            for (int i = int(std::floor(c - hw)); i <= int(std::ceil(c + hw)); ++i) sum += std::max(0.0, 1 - std::abs(i + 0.5 - c) / hw);
            for (int i = int(std::floor(c - hw)); i <= int(std::ceil(c + hw)); ++i) {
                double wt = std::max(0.0, 1 - std::abs(i + 0.5 - c) / hw);
                if (wt > 0) add(k, i, wt / sum);
            }
        } else {
            double u0 = (X - shift) / scale, u1 = (X + 1 - shift) / scale;
            if (u1 < u0) std::swap(u0, u1);
            double len = u1 - u0;
            for (int i = int(std::floor(u0)); i < int(std::ceil(u1 - 1e-9)); ++i) {
                double ov = std::min(u1, double(i + 1)) - std::max(u0, double(i));
                if (ov > 1e-12) add(k, i, ov / len);
            }
        }
    }
    if (t.hi < t.lo) t.lo = t.hi = viewLo;
    return t;
}

// Tiles in one column (or row) of a render share their taps: a few recent tap sets per
// thread are kept, keyed by everything that decides them.
std::shared_ptr<const Taps> cachedTaps(int outStart, int n, double scale, double shift, AxisMode mode, int viewLo,
                                       int viewHi, int clampLo, int clampHi) {
    struct Entry {
        int outStart = 0, n = -1;
        double scale = 0, shift = 0;
        AxisMode mode = AxisMode::Nearest;
        int viewLo = 0, viewHi = 0, clampLo = 0, clampHi = 0;
        std::shared_ptr<const Taps> taps;
    };
    constexpr int kEntries = 32;
    thread_local Entry cache[kEntries];
    thread_local int next = 0;
    for (Entry& e : cache)
        if (e.n == n && e.outStart == outStart && e.scale == scale && e.shift == shift && e.mode == mode &&
            e.viewLo == viewLo && e.viewHi == viewHi && e.clampLo == clampLo && e.clampHi == clampHi)
            return e.taps;
    Entry& e = cache[next];
    next = (next + 1) % kEntries;
    auto taps =
        std::make_shared<const Taps>(buildTaps(outStart, n, scale, shift, mode, viewLo, viewHi, clampLo, clampHi));
    e = Entry{outStart, n, scale, shift, mode, viewLo, viewHi, clampLo, clampHi, std::move(taps)};
    return e.taps;
}

class TransformNode final : public Node {
public:
    TransformNode(NodePtr in, const AffineTransform& t, bool hq, bool tent = false, IRect clamp = {})
        : t_(t), inv_(t.inverted()), hq_(hq), tent_(tent), clamp_(clamp) {
        Rect e = in->extent;
        extent = e.isInfinite() || !clamp.empty() ? Rect::infinite() : Rect::fromIRect(t.apply(e).integral());
        if (tent && !e.isInfinite()) extent = extent.inset(-1, -1);  // the tent reaches one output pixel out
        nearest = in->nearest;
        axisAligned_ = t.b == 0 && t.c == 0;
        // Quarter turns and mirrors that map pixel centres onto pixel centres copy exactly.
        bool perm = (t.a == 0 && t.d == 0 && std::abs(t.b) == 1 && std::abs(t.c) == 1);
        if (perm) {
            Point p = t.apply(Point{0.5, 0.5});
            exact_ = std::abs(p.x - 0.5 - std::round(p.x - 0.5)) < 1e-9 && std::abs(p.y - 0.5 - std::round(p.y - 0.5)) < 1e-9;
        }
        inputs.push_back(std::move(in));
    }
    Kind kind() const override { return Kind::Sampling; }

    IRect roi(int, const IRect& d) const override {
        Rect r = inv_.apply(Rect::fromIRect(d));
        const double grow = tent_ ? std::max(std::abs(inv_.a), std::abs(inv_.d)) + 1 : 1.0;
        IRect need = r.inset(-grow, -grow).integral();
        if (clamp_.empty()) return need;
        // Only the clamped rectangle is read; far outside it, its nearest edge.
        auto fit = [](int lo, int hi, int cLo, int cHi, int& a, int& b) {
            a = std::clamp(lo, cLo, cHi - 1);
            b = std::clamp(hi - 1, cLo, cHi - 1) + 1;
        };
        int x0, x1, y0, y1;
        fit(need.x, need.right(), clamp_.x, clamp_.right(), x0, x1);
        fit(need.y, need.bottom(), clamp_.y, clamp_.bottom(), y0, y1);
        return {x0, y0, x1 - x0, y1 - y0};
    }

    // Neighbouring tiles read all but disjoint parts of the input (one pixel of overlap).
    bool readsLocally() const override { return axisAligned_; }
    // Bilinear reduction to under half the height reads two rows of every few.
    bool readsRowsItself(int) const override {
        return axisAligned_ && std::abs(t_.d) < 0.5 && modeFor(t_.d) == AxisMode::Linear &&
               modeFor(t_.a) != AxisMode::Area && modeFor(t_.a) != AxisMode::Tent;
    }

    void evalTile(const SamplerView* in, const TileBuffer& out) const override {
        if (axisAligned_)
            separable(in[0], out);
        else
            general(in[0], out);
    }

private:
    AxisMode modeFor(double scale) const {
        if (tent_ && std::abs(scale) < 1) return AxisMode::Tent;
        if (hq_ && std::abs(scale) < 1) return AxisMode::Area;
        return inputs[0]->nearest ? AxisMode::Nearest : AxisMode::Linear;
    }

    void separable(const SamplerView& v, const TileBuffer& out) const {
        const IRect& r = out.rect;
        const auto txHeld =
            cachedTaps(r.x, r.w, t_.a, t_.tx, modeFor(t_.a), v.rect.x, v.rect.right(), clamp_.x, clamp_.right());
        const auto tyHeld =
            cachedTaps(r.y, r.h, t_.d, t_.ty, modeFor(t_.d), v.rect.y, v.rect.bottom(), clamp_.y, clamp_.bottom());
        const Taps &tx = *txHeld, &ty = *tyHeld;
        const int rows = ty.hi - ty.lo;
        if (rows <= 0 || tx.hi <= tx.lo) {
            for (int y = r.y; y < r.bottom(); ++y) std::memset(out.row(y), 0, size_t(r.w) * 16);
            return;
        }
        if (!v.data) return sparseRows(v, tx, ty, out);
        // One tap of weight one on both axes (nearest-pixel maps): a plain gather.
        auto single = [](const Taps& t) {
            for (size_t k = 0; k < t.count.size(); ++k)
                if (t.count[k] != 1 || t.w[size_t(t.off[k])] != 1.0f) return false;
            return true;
        };
        if (single(tx) && single(ty)) {
            for (int k = 0; k < r.h; ++k) {
                const float* s = v.row(ty.first[k]);
                float* o = out.row(r.y + k);
                for (int i = 0; i < r.w; ++i) std::memcpy(o + i * 4, s + ptrdiff_t(tx.first[i]) * 4, 16);
            }
            return;
        }
        // Horizontal pass over every input row the vertical taps touch.
        float* h = threadScratch(0, size_t(rows) * r.w * 4);
        horizontal(planHorizontal(tx), v, tx, ty.lo, ty.hi, h);
        vertical(ty, h, out);
    }

    // The horizontal taps as the kernels take them, made once a tile. Every output pixel
    // gets exactly m = 2 or 4 taps (short ones padded with weight 0 on their own first
    // pixel); m = 0: their own counts, more than four somewhere.
    struct HorizontalTaps {
        int m = 0;
        const int32_t* idx = nullptr;  // float offsets from the first pixel any tap reads
        const float* wt = nullptr;     // m planes of weights, each repeated over four channels
    };

    static HorizontalTaps planHorizontal(const Taps& tx) {
        HorizontalTaps p;
        int maxCount = 0;
        for (int c : tx.count) maxCount = std::max(maxCount, c);
        if (maxCount > 4) return p;
        p.m = maxCount <= 2 ? 2 : 4;
        const size_t w = tx.count.size(), m = size_t(p.m);
        float* wt = threadScratch(1, w * m * 4);
        int32_t* idx = reinterpret_cast<int32_t*>(threadScratch(2, w * m));
        for (size_t k = 0; k < w; ++k) {
            const int c = tx.count[k];
            // No taps (outside the picture): the first pixel read instead of the view's
            // first, which the rows sparseRows reads do not hold.
            const int first = c > 0 ? tx.first[k] : tx.lo;
            for (size_t j = 0; j < m; ++j) {
                const bool real = int(j) < c;
                const float wj = real ? tx.w[size_t(tx.off[k]) + j] : 0.0f;
                for (size_t ch = 0; ch < 4; ++ch) wt[(j * w + k) * 4 + ch] = wj;
                idx[k * m + j] = (first + (real ? int(j) : 0) - tx.lo) * 4;
            }
        }
        p.idx = idx;
        p.wt = wt;
        return p;
    }

    // Pixel (x, y) of a view that holds it.
    static const float* at(const SamplerView& v, int x, int y) {
        return v.data + ptrdiff_t(y - v.rect.y) * v.stride + ptrdiff_t(x - v.rect.x) * 4;
    }

    // Horizontal pass over input rows [y0, y1) into rows of h.
    static void horizontal(const HorizontalTaps& p, const SamplerView& v, const Taps& tx, int y0, int y1, float* h) {
        const size_t w = tx.count.size();
        if (p.m > 0)
            resampleRowsFixed(at(v, tx.lo, y0), v.stride, size_t(y1 - y0), p.idx, p.wt, p.m, w, h);
        else
            resampleRowsAny(at(v, tx.lo, y0), v.stride, size_t(y1 - y0), tx.lo, tx.first.data(), tx.count.data(),
                            tx.off.data(), tx.w.data(), w, h);
    }

    // The view holds no pixels (readsRowsItself): only the rows the vertical taps use are
    // read from the source, a row at a time, and passed horizontally.
    void sparseRows(const SamplerView& v, const Taps& tx, const Taps& ty, const TileBuffer& out) const {
        const IRect& r = out.rect;
        const int rows = ty.hi - ty.lo, span = tx.hi - tx.lo;
        float* h = threadScratch(0, size_t(rows) * r.w * 4);
        float* line = threadScratch(3, size_t(span) * 4);
        const HorizontalTaps taps = planHorizontal(tx);
        std::vector<char> used(size_t(rows), 0);
        for (size_t k = 0; k < ty.count.size(); ++k)
            for (int j = 0; j < ty.count[k]; ++j) used[size_t(ty.first[k] + j - ty.lo)] = 1;
        for (int iy = ty.lo; iy < ty.hi; ++iy) {
            if (!used[size_t(iy - ty.lo)]) continue;
            const IRect need{tx.lo, iy, span, 1};
            IRect at = need;
            const Node* src = sourceBehind(inputs[0].get(), at);
            src->readTile(TileBuffer{at, line, ptrdiff_t(span) * 4});
            horizontal(taps, SamplerView{need, line, ptrdiff_t(span) * 4, v.nearest}, tx, iy, iy + 1,
                       h + size_t(iy - ty.lo) * r.w * 4);
        }
        vertical(ty, h, out);
    }

    // Vertical pass over the rows `h` holds from ty.lo.
    static void vertical(const Taps& ty, const float* h, const TileBuffer& out) {
        const IRect& r = out.rect;
        blendRows(h, size_t(r.w) * 4, ty.lo, ty.first.data(), ty.count.data(), ty.off.data(), ty.w.data(), size_t(r.h),
                  out.row(r.y), out.stride);
    }

    void general(const SamplerView& v, const TileBuffer& out) const {
        const IRect& r = out.rect;
        SamplerView sv = v;
        if (exact_) sv.nearest = true;
        for (int y = r.y; y < r.bottom(); ++y) {
            float* o = out.row(y);
            for (int x = r.x; x < r.right(); ++x) {
                Point q = inv_.apply(Point{x + 0.5, y + 0.5});
                sv.sample(q.x, q.y, o + (x - r.x) * 4);
            }
        }
    }

    AffineTransform t_, inv_;
    bool hq_;
    bool tent_;
    IRect clamp_;  // not empty: the input is read as clamped to this rectangle
    bool axisAligned_ = false;
    bool exact_ = false;
};

}  // namespace

Image makeTentDownsample(const Image& image, double factor) {
    if (!image) return {};
    return Image(std::make_shared<TransformNode>(image.node(), AffineTransform::scale(1 / factor, 1 / factor), false, true));
}

Image makeTransformNode(const Image& image, const AffineTransform& t, bool hq) {
    if (!image) return {};
    if (t.determinant() == 0) return Image::empty();
    ProfileLabel label(hq ? "resample(hq)" : "resample");
    // An axis-aligned map of a clamped image reads the clamped image's source directly,
    // its taps held to the edge, instead of materialising the clamped copy first.
    IRect bounds;
    if (t.b == 0 && t.c == 0)
        if (const Node* inner = clampedInput(image.node().get(), &bounds); inner && !bounds.empty()) {
            for (const NodePtr& p : image.node()->inputs)
                if (p.get() == inner)
                    return Image(std::make_shared<TransformNode>(p, t, hq, false, bounds));
        }
    return Image(std::make_shared<TransformNode>(image.node(), t, hq));
}

}  // namespace vellari::detail
