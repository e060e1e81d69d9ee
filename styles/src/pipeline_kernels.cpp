// Kernels of the pipeline itself.

#include <cmath>
#include <mutex>

#include "style_kernels.h"
#include "vellari/platform/kernel.h"

namespace vellari {
namespace {

// "displaceWithNormalMapPerp" (image, flow field, amount): each pixel of the image sampled
// `amount` pixels along the field's tangent, decoded from 0.5 + 0.5·t, weighted by the
// field's magnitude so flat regions stay put.
void displaceWithNormalMapPerp(const GeneralTile& t) {
    const SamplerView& img = t.src[0];
    const SamplerView& field = t.src[1];
    const float amount = t.val[0][0];
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        float* o = t.row(y);
        for (int x = t.rect.x; x < t.rect.right(); ++x) {
            float f[4];
            field.pixel(x, y, f);
            const float m = std::clamp(f[2], 0.0f, 1.0f);
            const float dx = (2 * f[0] - 1) * amount * m, dy = (2 * f[1] - 1) * amount * m;
            img.sample(x + 0.5 + dx, y + 0.5 + dy, o + (x - t.rect.x) * 4);
        }
    }
}

IRect displaceRoi(int index, const IRect& d, const ArgValue* v, int n) {
    if (index != 0 || n < 1) return d;
    const int m = int(std::ceil(std::abs(v[0][0]))) + 1;
    return d.inset(-m, -m);
}

}  // namespace

void registerPipelineKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        KernelRegistry::add(Kernel::makeGeneral("displaceWithNormalMapPerp", displaceWithNormalMapPerp, displaceRoi));
    });
}

}  // namespace vellari
