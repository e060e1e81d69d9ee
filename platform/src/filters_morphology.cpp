// "CIMorphologyRectangleMinimum": over a width × height window, the minimum of each colour
// channel and the maximum of alpha, on the stored premultiplied values. On opaque
// pictures this is the ordinary minimum filter; a dark shape on transparency grows.
//
// The window is separable: a horizontal pass per input row, then a vertical pass. Alpha is
// negated on the way in so that both passes are one plain elementwise minimum, and negated
// back on the way out. Pixels outside the input's extent do not take part (they read as
// +big), like the border handling of an ordinary minimum filter: an opaque picture does
// not darken along its edges.

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "builtin_filters.h"
#include "morphology_kernels.h"
#include "node.h"
#include "vellari/platform/filter.h"

namespace vellari::detail {
namespace {

constexpr float kNeutral = 3.0e38f;  // larger than any stored value: neutral for a minimum
constexpr int kMaxWindow = 4097;
constexpr int kDirectMax = 9;  // windows up to this size: k − 1 minima per element

// Nearest odd window size; an even size (a tie) rounds up, so 4 gives 5 and 10 gives 11.
// Sizes below 1 (or not a number) give 1, the identity.
int oddWindow(double v) {
    if (!(v >= 1)) return 1;
    double k = 2 * std::floor(v / 2) + 1;
    return int(std::min(k, double(kMaxWindow)));
}

// dst element i = elementwise minimum of src elements i … i + k − 1, for i in [0, L − k].
// Elements are m contiguous floats; src elements lie `ss` floats apart, dst ones `ds`.
void slidingMin(const float* src, ptrdiff_t ss, float* dst, ptrdiff_t ds, int L, int k, int m,
                std::vector<float>& scratch) {
    const int outN = L - k + 1;
    if (outN <= 0) return;
    if (k <= kDirectMax) {
        // k − 1 minima per element; packed elements (a row of pixels) are one span.
        if (ss == m && ds == m) return windowMinimumSpan(src, ss, dst, size_t(outN) * m, k);
        for (int i = 0; i < outN; ++i) windowMinimumSpan(src + i * ss, ss, dst + i * ds, size_t(m), k);
        return;
    }
    // Van Herk / Gil-Werman: about three minima per element whatever the window.
    scratch.resize(size_t(2) * L * m);
    blockedWindowMinimum(src, ss, dst, ds, L, k, m, scratch.data());
}

void minimumTile(const SamplerView& v, const TileBuffer& out, int hx, int hy) {
    const IRect& t = out.rect;
    const int kx = 2 * hx + 1, ky = 2 * hy + 1;
    const int rows = t.h + 2 * hy, pw = t.w + 2 * hx, n = t.w * 4;
    thread_local std::vector<float> pad, hbuf, scratch;
    pad.resize(size_t(pw) * 4);
    hbuf.resize(size_t(rows) * n);

    const int x0 = t.x - hx;
    const int cx0 = std::clamp(v.rect.x, x0, x0 + pw), cx1 = std::clamp(v.rect.right(), cx0, x0 + pw);
    for (int j = 0; j < rows; ++j) {
        const int y = t.y - hy + j;
        float* hr = hbuf.data() + size_t(j) * n;
        if (y < v.rect.y || y >= v.rect.bottom() || cx1 <= cx0) {
            std::fill(hr, hr + n, kNeutral);
            continue;
        }
        std::fill(pad.begin(), pad.begin() + ptrdiff_t(cx0 - x0) * 4, kNeutral);
        negateAlphaSpan(v.row(y) + ptrdiff_t(cx0) * 4, pad.data() + ptrdiff_t(cx0 - x0) * 4, size_t(cx1 - cx0));
        std::fill(pad.begin() + ptrdiff_t(cx1 - x0) * 4, pad.end(), kNeutral);
        slidingMin(pad.data(), 4, hr, 4, pw, kx, 4, scratch);
    }
    slidingMin(hbuf.data(), n, out.row(t.y), out.stride, rows, ky, n, scratch);
    for (int y = t.y; y < t.bottom(); ++y) finishMinimumSpan(out.row(y), size_t(t.w), kNeutral);
}

class MorphologyRectangleMinimumFilter final : public Filter {
public:
    MorphologyRectangleMinimumFilter() : Filter("CIMorphologyRectangleMinimum") {
        declareInput("inputImage");
        declareInput("inputWidth", 5.0);
        declareInput("inputHeight", 5.0);
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        const int hx = oddWindow(value("inputWidth").number(5)) / 2;
        const int hy = oddWindow(value("inputHeight").number(5)) / 2;
        if (hx == 0 && hy == 0) return in;
        return makeSampling(
            in.extent(), {in}, [hx, hy](int, const IRect& d) { return d.inset(-hx, -hy); },
            [hx, hy](const SamplerView* src, const TileBuffer& out) { minimumTile(src[0], out, hx, hy); });
    }
};

}  // namespace

void registerMorphologyFilters() {
    FilterRegistry::add("CIMorphologyRectangleMinimum", [] { return std::make_shared<MorphologyRectangleMinimumFilter>(); });
}

}  // namespace vellari::detail
