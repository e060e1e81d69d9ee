#include "vellari/common/core_image_utilities.h"

#include <spdlog/spdlog.h>

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

#include "common_kernels.h"
#include "vellari/platform/node.h"

namespace vellari {

Image QXCoreImageUtilities::applyMetalKernelNamed(const std::string& name, const std::vector<KernelArg>& args) {
    return QXShaderLibrary::apply(name, firstImageExtent(args), args, Bundle::main());
}

Image QXCoreImageUtilities::applyMetalKernelNamed(const std::string& name, const std::vector<KernelArg>& args,
                                                  const Bundle& bundle) {
    return QXShaderLibrary::apply(name, firstImageExtent(args), args, bundle);
}

Image QXCoreImageUtilities::applyMetalKernelNamed(const std::string& name, const Rect& rect,
                                                  const std::vector<KernelArg>& args) {
    return QXShaderLibrary::apply(name, rect, args, Bundle::main());
}

Image QXCoreImageUtilities::blurImage(const Image& image, double radius) {
    if (!image) return {};
    const Rect e = image.extent();
    return image.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", radius}}).cropped(e);
}

Image QXCoreImageUtilities::blurImage(const Image& image, double radius, double prescale) {
    if (!image) return {};
    if (!(prescale > 0) || prescale == 1 || image.extent().isInfinite()) return blurImage(image, radius);
    const Rect e = image.extent();
    // Shrink (area-averaged), blur with the radius shrunk alike, and grow back over the
    // clamped small result so that the borders do not fade.
    Image small = image.translated(-e.x, -e.y).scaled(prescale, prescale, true);
    Image blurred = blurImage(small, radius * prescale);
    return blurred.clampedToExtent()
        .scaled(1 / prescale, 1 / prescale)
        .translated(e.x, e.y)
        .cropped(e);
}

namespace {
void addWeightedSpan(const ColorSpan& s) {
    common::addWeightedSpan(s.src[0], s.src[1], s.dst, size_t(s.n), s.val[0][0], s.val[1][0], s.val[2][0]);
}
}  // namespace

const KernelPtr& QXCoreImageUtilities::addWeightedKernel() {
    static const KernelPtr k = Kernel::makeColor("addWeighted", addWeightedSpan);
    return k;
}

Image QXCoreImageUtilities::addWeighted(const Image& a, const Image& b, double alpha, double beta, double gamma) {
    if (!a || !b) return {};
    return applyKernel(addWeightedKernel(), a.extent().unite(b.extent()), {a, b, alpha, beta, gamma});
}

Image QXCoreImageUtilities::differenceImageA(const Image& a, const Image& b, double weight, double gain) {
    if (!a || !b) return {};
    return addWeighted(a, b, weight, -weight, gain + 0.5).cropped(a.extent());
}

Image QXCoreImageUtilities::makeImage(const Image& image, const Size& size) {
    if (!image) return {};
    const Rect e = image.extent();
    const double sx = size.width / e.width, sy = size.height / e.height;
    if (sx == 1 && sy == 1) return image;
    if (e.isInfinite()) return image.scaled(sx, sy);
    // Resized from the clamped picture, so that linear sampling does not fade the border
    // pixels into the transparency outside; the extent is the scaled one, as before.
    const Rect scaled{e.x * sx, e.y * sy, e.width * sx, e.height * sy};
    return image.clampedToExtent().scaled(sx, sy).cropped(Rect::fromIRect(scaled.integral()));
}

Image QXCoreImageUtilities::setImageAlpha(const Image& image, double constant) {
    if (!image) return {};
    return image.applyingFilter("CIColorMatrix", {{"inputAVector", Vector{0, 0, 0, constant}}});
}

FilterPtr QXCoreImageUtilities::createColorCubeFilter(const Picture& lut) {
    const unsigned n = unsigned(lut.width());
    if (lut.isNull() || n == 0) return nullptr;
    const size_t entries = size_t(n) * n * n;
    // A table smaller than N³ pixels would be read past its end: refuse it.
    if (size_t(lut.width()) * size_t(lut.height()) < entries) {
        spdlog::warn("look-up table of {}x{} pixels is too small for a cube of dimension {}", lut.width(),
                     lut.height(), n);
        return nullptr;
    }
    auto data = std::make_shared<std::vector<float>>(entries * 4);
    const uint8_t* px = lut.rgba().data();
    for (size_t k = 0; k < entries; ++k) {
        (*data)[k * 4 + 0] = float(double(px[k * 4 + 0]) / 255.0);
        (*data)[k * 4 + 1] = float(double(px[k * 4 + 1]) / 255.0);
        (*data)[k * 4 + 2] = float(double(px[k * 4 + 2]) / 255.0);
        (*data)[k * 4 + 3] = 1.0f;
    }
    FilterPtr f = FilterRegistry::create("CIColorCube");
    if (!f) return nullptr;
    f->setValue("inputCubeDimension", double(n));
    f->setValue("inputCubeData", FloatData(std::move(data)));
    return f;
}

Image QXCoreImageUtilities::overlayImage(const Image& top, double alpha, const Image& bottom) {
    if (!top) return bottom;
    if (!bottom) return setImageAlpha(top, alpha);
    return setImageAlpha(top, alpha).compositedOver(bottom);
}

Picture QXCoreImageUtilities::imageNamed(const std::string& name, const Bundle& bundle, bool useCache) {
    static std::mutex mutex;
    static auto* cache = new std::map<std::string, Picture>;
    const std::string key = bundle.root() + "\n" + name;
    if (useCache) {
        std::lock_guard lock(mutex);
        if (auto it = cache->find(key); it != cache->end()) return it->second;
    }
    auto path = bundle.pathForResource(name);
    if (!path) return {};
    PictureResult r = readPicture(*path);
    if (!r.ok()) {
        spdlog::warn("{}", r.error);
        return {};
    }
    if (useCache) {
        std::lock_guard lock(mutex);
        (*cache)[key] = r.picture;
    }
    return r.picture;
}

namespace {
// Small deterministic offset of a repetition, a fraction of the tile.
void jitterFor(long cx, long cy, double w, double h, double& ox, double& oy) {
    uint64_t z = uint64_t(cx) * 0x9E3779B97F4A7C15ull ^ uint64_t(cy) * 0xC2B2AE3D27D4EB4Full;
    z ^= z >> 31;
    z *= 0xBF58476D1CE4E5B9ull;
    z ^= z >> 27;
    ox = (double(z & 0xFFFF) / 65535.0 - 0.5) * 0.25 * w;
    oy = (double((z >> 16) & 0xFFFF) / 65535.0 - 0.5) * 0.25 * h;
}
}  // namespace

Image QXCoreImageUtilities::makeTileNoPadding(const Image& tile, const Rect& extent, const AffineTransform& transform,
                                              bool jitter) {
    if (!tile) return {};
    const IRect te = tile.extent().integral();
    if (te.empty() || extent.isEmpty()) return {};
    const AffineTransform inv = transform.inverted();
    const bool nearest = tile.samplesNearest();
    return detail::makeSampling(
        extent, {tile}, [te](int, const IRect&) { return te; },
        [te, inv, nearest, jitter](const SamplerView* in, const detail::TileBuffer& out) {
            const SamplerView& v = in[0];
            const double W = te.w, H = te.h;
            // Positions inside the tile, kept in [0, W) x [0, H) while stepping along a row.
            auto wrapInto = [](double a, double n) {
                a = std::fmod(a, n);
                return a < 0 ? a + n : a;
            };
            auto texel = [&](int ix, int iy) { return v.row(te.y + iy) + ptrdiff_t(te.x + ix) * 4; };
            for (int y = out.rect.y; y < out.rect.bottom(); ++y) {
                float* o = out.row(y);
                const Point q0 = inv.apply(Point{out.rect.x + 0.5, y + 0.5});
                double u = wrapInto(q0.x - te.x, W), w = wrapInto(q0.y - te.y, H);
                const double du = wrapInto(inv.a, W), dw = wrapInto(inv.b, H);
                for (int x = out.rect.x; x < out.rect.right(); ++x, u += du, w += dw) {
                    if (u >= W) u -= W;
                    if (w >= H) w -= H;
                    double su = u, sw = w;
                    if (jitter) {
                        const Point q = inv.apply(Point{x + 0.5, y + 0.5});
                        double ox, oy;
                        jitterFor(long(std::floor((q.x - te.x) / W)), long(std::floor((q.y - te.y) / H)), W, H, ox, oy);
                        su = wrapInto(su + ox, W);
                        sw = wrapInto(sw + oy, H);
                    }
                    float* p = o + (x - out.rect.x) * 4;
                    if (nearest) {
                        const int ix = std::min(int(su), te.w - 1), iy = std::min(int(sw), te.h - 1);
                        std::memcpy(p, texel(ix, iy), 16);
                        continue;
                    }
                    // Bilinear with the neighbours taken across the seam, so tiles join.
                    const double fx = su - 0.5, fy = sw - 0.5;
                    const double fx0 = std::floor(fx), fy0 = std::floor(fy);
                    const float tx = float(fx - fx0), ty = float(fy - fy0);
                    int xa = int(fx0), ya = int(fy0);
                    if (xa < 0) xa += te.w;
                    if (ya < 0) ya += te.h;
                    const int xb = xa + 1 == te.w ? 0 : xa + 1, yb = ya + 1 == te.h ? 0 : ya + 1;
                    const float* a = texel(xa, ya);
                    const float* b = texel(xb, ya);
                    const float* c = texel(xa, yb);
                    const float* d = texel(xb, yb);
                    for (int k = 0; k < 4; ++k) {
                        const float top = a[k] + (b[k] - a[k]) * tx, bot = c[k] + (d[k] - c[k]) * tx;
                        p[k] = top + (bot - top) * ty;
                    }
                }
            }
        });
}

}  // namespace vellari
