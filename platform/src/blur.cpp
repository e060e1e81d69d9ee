// "CIGaussianBlur": separable convolution for small radii; for large ones an
// area-averaged pyramid level is blurred and interpolated back, which keeps the cost
// nearly independent of the radius.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "blur_kernels.h"
#include "builtin_filters.h"
#include "node.h"
#include "resample.h"
#include "vellari/platform/filter.h"

namespace vellari::detail {
namespace {

// Sigma up to which the blur is a direct convolution (at most 31 taps).
constexpr double kDirectSigmaMax = 5.0;

class GaussianBlurNode final : public Node {
public:
    // With `clamp` not empty the input is read as clamped to that rectangle (an image
    // clamped to its extent), its edge pixels repeated, without storing the clamped copy.
    GaussianBlurNode(NodePtr in, double sigma, IRect clamp = {}) : clamp_(clamp) {
        r_ = std::max(1, int(std::ceil(3.0 * sigma)));
        k_.resize(r_ + 1);
        double sum = 0;
        for (int i = 0; i <= r_; ++i) {
            k_[i] = std::exp(-0.5 * i * i / (sigma * sigma));
            sum += i ? 2 * k_[i] : k_[i];
        }
        for (auto& v : k_) v = float(v / sum);
        extent = in->extent.isInfinite() || !clamp.empty() ? Rect::infinite() : in->extent.inset(-r_, -r_);
        // A blur is a new picture: it resamples linearly whatever its input did.
        inputs.push_back(std::move(in));
    }
    Kind kind() const override { return Kind::Sampling; }
    IRect roi(int, const IRect& d) const override {
        const IRect need = d.inset(-r_, -r_);
        if (clamp_.empty()) return need;
        const int x0 = std::clamp(need.x, clamp_.x, clamp_.right() - 1);
        const int x1 = std::clamp(need.right() - 1, clamp_.x, clamp_.right() - 1) + 1;
        const int y0 = std::clamp(need.y, clamp_.y, clamp_.bottom() - 1);
        const int y1 = std::clamp(need.bottom() - 1, clamp_.y, clamp_.bottom() - 1) + 1;
        return {x0, y0, x1 - x0, y1 - y0};
    }

    void evalTile(const SamplerView* in, const TileBuffer& out) const override {
        const SamplerView& v = in[0];
        if (greyTile(v, out)) return;
        const IRect& t = out.rect;
        const int R = r_;
        const int pw = t.w + 2 * R;  // padded row, pixels
        const int rows = t.h + 2 * R;
        const int n = t.w * 4;
        float* pad = threadScratch(0, size_t(pw) * 4);
        float* h = threadScratch(1, size_t(rows) * n);
        const int x0 = t.x - R;
        const int cx0 = std::max(x0, v.rect.x), cx1 = std::min(t.right() + R, v.rect.right());
        const float* k = k_.data();
        const float* taps[2 * kMaxRadius + 1];
        for (int j = 0; j < rows; ++j) {
            int y = t.y - R + j;
            float* hr = h + size_t(j) * n;
            if (!clamp_.empty()) {
                y = std::clamp(y, clamp_.y, clamp_.bottom() - 1);
                clampedRow(v, y, x0, pw, pad);
                const float* c = pad + size_t(R) * 4;
                for (int m = -R; m <= R; ++m) taps[m + R] = c + 4 * m;
                symmetricTaps(taps, k, R, hr, n);
                continue;
            }
            if (y < v.rect.y || y >= v.rect.bottom() || cx1 <= cx0) {
                std::memset(hr, 0, size_t(n) * 4);  // outside the input: transparent
                continue;
            }
            std::memset(pad, 0, size_t(pw) * 16);
            std::memcpy(pad + size_t(cx0 - x0) * 4, v.row(y) + ptrdiff_t(cx0) * 4, size_t(cx1 - cx0) * 16);
            const float* c = pad + size_t(R) * 4;
            for (int m = -R; m <= R; ++m) taps[m + R] = c + 4 * m;
            symmetricTaps(taps, k, R, hr, n);
        }
        for (int yy = 0; yy < t.h; ++yy) {
            for (int m = -R; m <= R; ++m) taps[m + R] = h + size_t(yy + R + m) * n;
            symmetricTaps(taps, k, R, out.row(t.y + yy), n);
        }
    }

    int radius() const { return r_; }

private:
    static constexpr int kMaxRadius = 16;  // ceil(3 sigma) at the largest direct sigma

    // A grey input (every pixel R = G = B, as the line stage's structure images are) is
    // blurred as one plane, and alpha as a second only where it is not 1: a quarter to a
    // half of the work, the same sums. Pixels the view does not hold are transparent, so
    // an opaque input's alpha is the blur of the held rectangle's indicator, which is
    // separable: the column blur times the row blur. False, having written nothing, for
    // any other input.
    bool greyTile(const SamplerView& v, const TileBuffer& out) const {
        const IRect& t = out.rect;
        const int R = r_;
        const int pw = t.w + 2 * R, rows = t.h + 2 * R, x0 = t.x - R;
        const bool clamped = !clamp_.empty();
        // Columns of the padded row read in place; with the clamp those outside repeat the
        // edge, without it they are transparent.
        const IRect& held = clamped ? clamp_ : v.rect;
        const int a = std::clamp(held.x - x0, 0, pw), b = std::clamp(held.right() - x0, a, pw);
        float* line = threadScratch(0, size_t(pw) * 3);
        float* alphaLine = line + pw;
        float* inside = alphaLine + pw;
        const size_t plane = size_t(rows) * t.w;
        float* h = threadScratch(1, plane + t.w + size_t(rows));
        float* across = h + plane;  // the column indicator blurred
        float* rowIn = across + t.w;
        float* ha = nullptr;        // alpha rows blurred, once an alpha other than 1 is seen
        const float* k = k_.data();
        const float* taps[2 * kMaxRadius + 1];
        auto horizontal = [&](const float* src, float* dst) {
            for (int m = -R; m <= R; ++m) taps[m + R] = src + R + m;
            symmetricTaps(taps, k, R, dst, t.w);
        };
        std::fill(inside, inside + pw, clamped ? 1.0f : 0.0f);
        std::fill(inside + a, inside + b, 1.0f);
        horizontal(inside, across);
        for (int j = 0; j < rows; ++j) {
            int y = t.y - R + j;
            if (clamped) y = std::clamp(y, clamp_.y, clamp_.bottom() - 1);
            rowIn[j] = y >= v.rect.y && y < v.rect.bottom() && b > a ? 1.0f : 0.0f;
            float* hr = h + size_t(j) * t.w;
            if (rowIn[j] == 0) {
                std::fill(hr, hr + t.w, 0.0f);
                if (ha) std::fill(ha + size_t(j) * t.w, ha + size_t(j + 1) * t.w, 0.0f);
                continue;
            }
            // Only the columns the padded row covers are read; beyond the clamp's edges they
            // repeat its first and last column, which lie inside [a, b) whenever the row
            // reaches past them. (The view holds the region of interest, not the whole
            // clamp: an edge column far from this tile need not be there.)
            const unsigned flags =
                greySplitSpan(v.row(y) + ptrdiff_t(x0 + a) * 4, size_t(b - a), line + a, alphaLine + a);
            const float fill[4] = {clamped ? line[a] : 0.0f, clamped ? alphaLine[a] : 0.0f,
                                   clamped ? line[b - 1] : 0.0f, clamped ? alphaLine[b - 1] : 0.0f};
            std::fill(line, line + a, fill[0]);
            std::fill(alphaLine, alphaLine + a, fill[1]);
            std::fill(line + b, line + pw, fill[2]);
            std::fill(alphaLine + b, alphaLine + pw, fill[3]);
            const bool translucent = flags & kGreyTranslucent;
            if (flags & kGreyDiffers) return false;
            horizontal(line, hr);
            if (translucent && !ha) {
                // the rows before were opaque: their blurred alpha is the indicator's
                ha = threadScratch(3, plane);
                for (int jj = 0; jj < j; ++jj)
                    for (int i = 0; i < t.w; ++i) ha[size_t(jj) * t.w + i] = across[i] * rowIn[jj];
            }
            if (ha) horizontal(alphaLine, ha + size_t(j) * t.w);
        }
        float* o = threadScratch(2, size_t(t.w) * 2);
        float* oa = o + t.w;
        for (int yy = 0; yy < t.h; ++yy) {
            float down = 0;
            for (int m = -R; m <= R; ++m) taps[m + R] = rowIn + yy + R + m;
            symmetricTaps(taps, k, R, &down, 1);
            for (int m = -R; m <= R; ++m) taps[m + R] = h + size_t(yy + R + m) * t.w;
            symmetricTaps(taps, k, R, o, t.w);
            if (ha) {
                for (int m = -R; m <= R; ++m) taps[m + R] = ha + size_t(yy + R + m) * t.w;
                symmetricTaps(taps, k, R, oa, t.w);
                greyJoinSpan(o, oa, 1.0f, out.row(t.y + yy), size_t(t.w));
            } else {
                greyJoinSpan(o, across, down, out.row(t.y + yy), size_t(t.w));
            }
        }
        return true;
    }

    // Pixels x0 .. x0 + count - 1 of row y of the clamped input.
    void clampedRow(const SamplerView& v, int y, int x0, int count, float* pad) const {
        const float* src = v.row(y);
        const int lo = clamp_.x, hi = clamp_.right() - 1;
        const int a = std::clamp(lo, x0, x0 + count), b = std::clamp(hi + 1, a, x0 + count);
        for (int x = x0; x < a; ++x) std::memcpy(pad + size_t(x - x0) * 4, src + ptrdiff_t(lo) * 4, 16);
        if (b > a) std::memcpy(pad + size_t(a - x0) * 4, src + ptrdiff_t(a) * 4, size_t(b - a) * 16);
        for (int x = b; x < x0 + count; ++x) std::memcpy(pad + size_t(x - x0) * 4, src + ptrdiff_t(hi) * 4, 16);
    }

    static void symmetricTaps(const float* const* p, const float* k, int R, float* o, int n) {
        symmetricTapsSpan(p, k, R, o, size_t(n));
    }

    int r_;
    std::vector<float> k_;
    IRect clamp_;
};

Image gaussianBlur(const Image& input, double sigma) {
    if (!input) return {};
    if (!(sigma > 0)) return input;
    const Rect e = input.extent();
    if (sigma <= kDirectSigmaMax) {
        IRect bounds;
        if (const Node* inner = clampedInput(input.node().get(), &bounds); inner && !bounds.empty())
            return Image(std::make_shared<GaussianBlurNode>(input.node()->inputs[0], sigma, bounds));
        return Image(std::make_shared<GaussianBlurNode>(input.node(), sigma));
    }

    // Shrink by f so that the remaining blur is a few pixels; the tents of the shrinking
    // and of the interpolation back add f²/6 of variance each, which is taken off.
    double f = 1;
    while (sigma / (f * 2) > kDirectSigmaMax / 2) f *= 2;
    const double rest = sigma * sigma - f * f / 3.0;
    const double sigmaLow = std::sqrt(std::max(rest, 0.25)) / f;
    Image low = makeTentDownsample(input, f);
    Image blurred(std::make_shared<GaussianBlurNode>(low.node(), sigmaLow));
    Image up = blurred.samplingLinear().scaled(f, f);
    if (e.isInfinite()) return up;
    const int R = int(std::ceil(3.0 * sigma));
    return up.cropped(e.inset(-R, -R));
}

class GaussianBlurFilter final : public Filter {
public:
    GaussianBlurFilter() : Filter("CIGaussianBlur") {
        declareInput("inputImage");
        declareInput("inputRadius", 10.0);
    }
    Image outputImage() const override { return gaussianBlur(image("inputImage"), number("inputRadius")); }
};

}  // namespace

void registerBlurFilters() {
    FilterRegistry::add("CIGaussianBlur", [] { return std::make_shared<GaussianBlurFilter>(); });
}

}  // namespace vellari::detail
