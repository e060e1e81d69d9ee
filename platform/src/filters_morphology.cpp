// "CIMorphologyRectangleMinimum": over a width × height window, the minimum of each colour
// channel and the maximum of alpha, on the stored premultiplied values. On opaque
// pictures this is the ordinary minimum filter; a dark shape on transparency grows.
//
// The window is separable: a horizontal pass per input row, then a vertical pass. Alpha is
// negated on the way in so that both passes are one plain elementwise minimum (which
// vectorises), and negated back on the way out. Pixels outside the input's extent do not
// take part (they read as +big), like the border handling of an ordinary minimum filter:
// an opaque picture does not darken along its edges.

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "builtin_filters.h"
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
        for (int i = 0; i < outN; ++i) {
            float* d = dst + i * ds;
            const float* s0 = src + i * ss;
            std::copy(s0, s0 + m, d);
            for (int j = 1; j < k; ++j) {
                const float* sj = s0 + j * ss;
                for (int c = 0; c < m; ++c) d[c] = std::min(d[c], sj[c]);
            }
        }
        return;
    }
    // Van Herk / Gil-Werman: prefix and suffix minima within blocks of k elements; any
    // window of k spans at most two blocks, so its minimum is min(suffix, prefix).
    scratch.resize(size_t(2) * L * m);
    float* g = scratch.data();
    float* h = g + size_t(L) * m;
    for (int b0 = 0; b0 < L; b0 += k) {
        const int b1 = std::min(b0 + k, L);
        std::copy(src + b0 * ss, src + b0 * ss + m, g + size_t(b0) * m);
        for (int i = b0 + 1; i < b1; ++i) {
            const float* s = src + i * ss;
            const float* p = g + size_t(i - 1) * m;
            float* q = g + size_t(i) * m;
            for (int c = 0; c < m; ++c) q[c] = std::min(p[c], s[c]);
        }
        std::copy(src + (b1 - 1) * ss, src + (b1 - 1) * ss + m, h + size_t(b1 - 1) * m);
        for (int i = b1 - 2; i >= b0; --i) {
            const float* s = src + i * ss;
            const float* p = h + size_t(i + 1) * m;
            float* q = h + size_t(i) * m;
            for (int c = 0; c < m; ++c) q[c] = std::min(p[c], s[c]);
        }
    }
    for (int i = 0; i < outN; ++i) {
        const float* a = h + size_t(i) * m;
        const float* b = g + size_t(i + k - 1) * m;
        float* d = dst + i * ds;
        for (int c = 0; c < m; ++c) d[c] = std::min(a[c], b[c]);
    }
}

void minimumTile(const SamplerView& v, const TileBuffer& out, int hx, int hy) {
    const IRect& t = out.rect;
    const int kx = 2 * hx + 1, ky = 2 * hy + 1;
    const int rows = t.h + 2 * hy, pw = t.w + 2 * hx, n = t.w * 4;
    thread_local std::vector<float> pad, hbuf, scratch;
    pad.resize(size_t(pw) * 4);
    hbuf.resize(size_t(rows) * n);
    constexpr float sign[4] = {1.f, 1.f, 1.f, -1.f};

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
        const float* s = v.row(y) + ptrdiff_t(cx0) * 4;
        float* p = pad.data() + ptrdiff_t(cx0 - x0) * 4;
        for (int i = 0; i < cx1 - cx0; ++i)
            for (int c = 0; c < 4; ++c) p[i * 4 + c] = s[i * 4 + c] * sign[c];
        std::fill(pad.begin() + ptrdiff_t(cx1 - x0) * 4, pad.end(), kNeutral);
        slidingMin(pad.data(), 4, hr, 4, pw, kx, 4, scratch);
    }
    slidingMin(hbuf.data(), n, out.row(t.y), out.stride, rows, ky, n, scratch);
    for (int y = t.y; y < t.bottom(); ++y) {
        float* o = out.row(y);
        for (int i = 0; i < t.w; ++i)
            for (int c = 0; c < 4; ++c) {
                const float q = o[i * 4 + c];
                o[i * 4 + c] = q >= kNeutral ? 0.f : q * sign[c];
            }
    }
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
