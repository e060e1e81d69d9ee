#include "vellari/platform/kernel.h"

#include <cstring>
#include <map>
#include <mutex>

#include "node.h"

namespace vellari {

void SamplerView::pixel(int ix, int iy, float out[4]) const {
    if (ix < rect.x || iy < rect.y || ix >= rect.right() || iy >= rect.bottom()) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    std::memcpy(out, row(iy) + ptrdiff_t(ix) * 4, 16);
}

void SamplerView::sample(double x, double y, float out[4]) const {
    if (nearest) {
        pixel(int(std::floor(x)), int(std::floor(y)), out);
        return;
    }
    double fx = x - 0.5, fy = y - 0.5;
    double x0 = std::floor(fx), y0 = std::floor(fy);
    float tx = float(fx - x0), ty = float(fy - y0);
    int ix = int(x0), iy = int(y0);
    float p00[4], p10[4], p01[4], p11[4];
    if (ix >= rect.x && iy >= rect.y && ix + 1 < rect.right() && iy + 1 < rect.bottom()) {
        const float* r0 = row(iy) + ptrdiff_t(ix) * 4;
        const float* r1 = row(iy + 1) + ptrdiff_t(ix) * 4;
        for (int c = 0; c < 4; ++c) {
            float top = r0[c] + (r0[c + 4] - r0[c]) * tx;
            float bot = r1[c] + (r1[c + 4] - r1[c]) * tx;
            out[c] = top + (bot - top) * ty;
        }
        return;
    }
    pixel(ix, iy, p00);
    pixel(ix + 1, iy, p10);
    pixel(ix, iy + 1, p01);
    pixel(ix + 1, iy + 1, p11);
    for (int c = 0; c < 4; ++c) {
        float top = p00[c] + (p10[c] - p00[c]) * tx;
        float bot = p01[c] + (p11[c] - p01[c]) * tx;
        out[c] = top + (bot - top) * ty;
    }
}

std::shared_ptr<const Kernel> Kernel::makeColor(std::string name, ColorKernelFunction fn) {
    if (!fn) return nullptr;
    return std::make_shared<Kernel>(std::move(name), Kind::Color, fn, nullptr);
}

std::shared_ptr<const Kernel> Kernel::makeGeneral(std::string name, GeneralKernelFunction fn, KernelRoiFunction roi) {
    if (!fn) return nullptr;
    return std::make_shared<Kernel>(std::move(name), Kind::General, nullptr, fn, roi);
}

namespace {
ArgValue toArg(const KernelArg& a) {
    ArgValue v;
    if (auto d = std::get_if<double>(&a)) {
        v.v[0] = float(*d);
        v.count = 1;
    } else if (auto vec = std::get_if<Vector>(&a)) {
        for (int i = 0; i < vec->count; ++i) v.v[i] = float(vec->v[i]);
        v.count = vec->count;
    } else if (auto c = std::get_if<Color>(&a)) {
        v.v[0] = float(c->r);
        v.v[1] = float(c->g);
        v.v[2] = float(c->b);
        v.v[3] = float(c->a);
        v.count = 4;
    }
    return v;
}
}  // namespace

Image applyKernel(const KernelPtr& kernel, const Rect& extent, const std::vector<KernelArg>& args, RoiCallback roi) {
    if (!kernel) return {};
    ProfileLabel label(kernel->name().c_str());
    std::vector<Image> images;
    std::vector<ArgValue> values;
    for (const auto& a : args) {
        if (auto img = std::get_if<Image>(&a)) {
            if (!*img) return {};
            images.push_back(*img);
        } else {
            values.push_back(toArg(a));
        }
    }
    if (kernel->kind() == Kernel::Kind::Color) {
        ColorKernelFunction fn = kernel->colorFunction();
        const int ns = int(images.size());
        return detail::makePointwise(extent, std::move(images),
                                     [fn, values, ns](const float* const* in, float* out, int n, int x, int y) {
                                         fn(ColorSpan{in, values.data(), out, n, x, y, ns, int(values.size())});
                                     });
    }
    GeneralKernelFunction fn = kernel->generalFunction();
    const int ns = int(images.size());
    detail::FunctionSamplingNode::Roi r;
    if (roi)
        r = [roi](int i, const IRect& d) { return roi(i, Rect::fromIRect(d)).integral(); };
    else if (KernelRoiFunction own = kernel->roiFunction())
        r = [own, values](int i, const IRect& d) { return own(i, d, values.data(), int(values.size())); };
    return detail::makeSampling(extent, std::move(images), std::move(r),
                                [fn, values, ns](const SamplerView* in, const detail::TileBuffer& out) {
                                    fn(GeneralTile{in, values.data(), out.data, out.stride, out.rect, ns,
                                                   int(values.size())});
                                });
}

namespace {
struct KernelTable {
    std::mutex mutex;
    std::map<std::string, KernelPtr> kernels;
};
KernelTable& table() {
    static KernelTable* t = new KernelTable;
    return *t;
}
}  // namespace

void KernelRegistry::add(const KernelPtr& kernel) {
    if (!kernel) return;
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.kernels[kernel->name()] = kernel;
}

KernelPtr KernelRegistry::find(const std::string& name) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.kernels.find(name);
    return it == t.kernels.end() ? nullptr : it->second;
}

std::vector<std::string> KernelRegistry::names() {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    std::vector<std::string> out;
    for (auto& [k, _] : t.kernels) out.push_back(k);
    return out;
}

}  // namespace vellari
