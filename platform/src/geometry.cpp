#include "vellari/platform/geometry.h"

#include <climits>

namespace vellari {

IRect Rect::integral() const {
    if (isEmpty()) return {0, 0, 0, 0};
    // Keep within int range; "infinite" rectangles become the largest representable one.
    constexpr double lim = double(INT_MAX / 4);
    double x0 = std::floor(std::max(x, -lim)), y0 = std::floor(std::max(y, -lim));
    double x1 = std::ceil(std::min(maxX(), lim)), y1 = std::ceil(std::min(maxY(), lim));
    // Absorb float noise so that 0.9999999 does not grow a whole pixel.
    if (maxX() - std::floor(maxX()) < 1e-9) x1 = std::floor(std::min(maxX(), lim));
    if (maxY() - std::floor(maxY()) < 1e-9) y1 = std::floor(std::min(maxY(), lim));
    if (std::ceil(x) - x < 1e-9) x0 = std::ceil(std::max(x, -lim));
    if (std::ceil(y) - y < 1e-9) y0 = std::ceil(std::max(y, -lim));
    if (x1 <= x0 || y1 <= y0) return {int(x0), int(y0), 0, 0};
    return {int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
}

AffineTransform AffineTransform::inverted() const {
    double det = determinant();
    if (det == 0) return *this;  // singular transforms are left as they are
    double ia = d / det, ib = -b / det, ic = -c / det, id = a / det;
    return {ia, ib, ic, id, -(ia * tx + ic * ty), -(ib * tx + id * ty)};
}

Rect AffineTransform::apply(const Rect& r) const {
    if (r.isInfinite()) return r;
    if (r.isEmpty()) return Rect::null();
    Point p[4] = {apply(Point{r.minX(), r.minY()}), apply(Point{r.maxX(), r.minY()}),
                  apply(Point{r.minX(), r.maxY()}), apply(Point{r.maxX(), r.maxY()})};
    double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
    for (auto& q : p) {
        x0 = std::min(x0, q.x);
        x1 = std::max(x1, q.x);
        y0 = std::min(y0, q.y);
        y1 = std::max(y1, q.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace vellari
