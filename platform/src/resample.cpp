#include "resample.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "node.h"
#include "vellari/platform/pixel_vectors.h"

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
        horizontal(v, tx, ty.lo, ty.hi, r.w, h);
        vertical(ty, h, out);
    }

    static void horizontal(const SamplerView& v, const Taps& tx, int y0, int y1, int w, float* h) {
        int maxCount = 0;
        for (int c : tx.count) maxCount = std::max(maxCount, c);
        if (maxCount <= 2)
            horizontalFixed<2>(v, tx, y0, y1, w, h);
        else if (maxCount <= 4)
            horizontalFixed<4>(v, tx, y0, y1, w, h);
        else
            horizontalAny(v, tx, y0, y1, w, h);
    }

    // The view holds no pixels (readsRowsItself): only the rows the vertical taps use are
    // read from the source, a row at a time, and passed horizontally.
    void sparseRows(const SamplerView& v, const Taps& tx, const Taps& ty, const TileBuffer& out) const {
        const IRect& r = out.rect;
        const int rows = ty.hi - ty.lo, span = tx.hi - tx.lo;
        float* h = threadScratch(0, size_t(rows) * r.w * 4);
        float* line = threadScratch(3, size_t(span) * 4);
        std::vector<char> used(size_t(rows), 0);
        for (size_t k = 0; k < ty.count.size(); ++k)
            for (int j = 0; j < ty.count[k]; ++j) used[size_t(ty.first[k] + j - ty.lo)] = 1;
        for (int iy = ty.lo; iy < ty.hi; ++iy) {
            if (!used[size_t(iy - ty.lo)]) continue;
            const IRect need{tx.lo, iy, span, 1};
            IRect at = need;
            const Node* src = sourceBehind(inputs[0].get(), at);
            src->readTile(TileBuffer{at, line, ptrdiff_t(span) * 4});
            horizontal(SamplerView{need, line, ptrdiff_t(span) * 4, v.nearest}, tx, iy, iy + 1, r.w,
                       h + size_t(iy - ty.lo) * r.w * 4);
        }
        vertical(ty, h, out);
    }

    // Vertical pass over the rows `h` holds from ty.lo, vectorised along the row.
    static void vertical(const Taps& ty, const float* h, const TileBuffer& out) {
        const IRect& r = out.rect;
        const int n = r.w * 4;
        for (int k = 0; k < r.h; ++k) {
            float* o = out.row(r.y + k);
            const int c = ty.count[k];
            if (c == 0) {
                std::memset(o, 0, size_t(n) * 4);
                continue;
            }
            const float* w = ty.w.data() + ty.off[k];
            const float* h0 = h + size_t(ty.first[k] - ty.lo) * n;
            const float w0 = w[0];
            if (c == 2) {
                const float* h1 = h0 + n;
                const float w1 = w[1];
                for (int i = 0; i < n; ++i) o[i] = w0 * h0[i] + w1 * h1[i];
                continue;
            }
            for (int i = 0; i < n; ++i) o[i] = w0 * h0[i];
            for (int j = 1; j < c; ++j) {
                const float* hp = h0 + size_t(j) * n;
                const float wj = w[j];
                for (int i = 0; i < n; ++i) o[i] += wj * hp[i];
            }
        }
    }

    // Every output pixel with exactly M taps (short ones padded with weight 0 on their own
    // first pixel): a fixed inner loop the compiler unrolls, outputs independent.
    template <int M>
    static void horizontalFixed(const SamplerView& v, const Taps& tx, int y0, int y1, int w, float* h) {
        float* wt = threadScratch(1, size_t(w) * M);
        int* idx = reinterpret_cast<int*>(threadScratch(2, size_t(w) * M));
        for (int k = 0; k < w; ++k) {
            const int c = tx.count[k];
            for (int j = 0; j < M; ++j) {
                const bool real = j < c;
                wt[k * M + j] = real ? tx.w[size_t(tx.off[k] + j)] : 0.0f;
                idx[k * M + j] = (tx.first[k] + (real ? j : 0)) * 4;
            }
        }
        for (int iy = y0; iy < y1; ++iy) {
            const float* s = v.row(iy);
            float* hp = h + size_t(iy - y0) * w * 4;
            for (int k = 0; k < w; ++k) {
                V4 acc = wt[k * M] * loadV<V4>(s + idx[k * M]);
                for (int j = 1; j < M; ++j) acc += wt[k * M + j] * loadV<V4>(s + idx[k * M + j]);
                std::memcpy(hp + k * 4, &acc, sizeof acc);
            }
        }
    }

    static void horizontalAny(const SamplerView& v, const Taps& tx, int y0, int y1, int w, float* h) {
        for (int iy = y0; iy < y1; ++iy) {
            const float* s = v.row(iy);
            float* hp = h + size_t(iy - y0) * w * 4;
            for (int k = 0; k < w; ++k) {
                V4 acc = {0, 0, 0, 0};
                const float* wk = tx.w.data() + tx.off[k];
                const float* p = s + ptrdiff_t(tx.first[k]) * 4;
                for (int j = 0; j < tx.count[k]; ++j) acc += wk[j] * loadV<V4>(p + j * 4);
                std::memcpy(hp + k * 4, &acc, sizeof acc);
            }
        }
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
