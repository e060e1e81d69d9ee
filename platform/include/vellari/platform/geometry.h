#pragma once
// Geometry of the image layer: x grows to the right, y grows downwards, pixel (i, j)
// covers [i, i+1) x [j, j+1) and is sampled at its centre (i + 0.5, j + 0.5).

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vellari {

struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0, height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// Integer rectangle: the unit of rendering and of buffers.
struct IRect {
    int x = 0, y = 0, w = 0, h = 0;

    bool empty() const { return w <= 0 || h <= 0; }
    int right() const { return x + w; }
    int bottom() const { return y + h; }
    int64_t area() const { return empty() ? 0 : int64_t(w) * h; }
    bool contains(const IRect& r) const {
        return r.empty() || (r.x >= x && r.y >= y && r.right() <= right() && r.bottom() <= bottom());
    }
    IRect intersect(const IRect& o) const {
        int x0 = std::max(x, o.x), y0 = std::max(y, o.y);
        int x1 = std::min(right(), o.right()), y1 = std::min(bottom(), o.bottom());
        if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
        return {x0, y0, x1 - x0, y1 - y0};
    }
    IRect unite(const IRect& o) const {
        if (empty()) return o;
        if (o.empty()) return *this;
        int x0 = std::min(x, o.x), y0 = std::min(y, o.y);
        int x1 = std::max(right(), o.right()), y1 = std::max(bottom(), o.bottom());
        return {x0, y0, x1 - x0, y1 - y0};
    }
    IRect inset(int dx, int dy) const { return {x + dx, y + dy, w - 2 * dx, h - 2 * dy}; }
    IRect offset(int dx, int dy) const { return {x + dx, y + dy, w, h}; }
    friend bool operator==(const IRect&, const IRect&) = default;
};

// Rectangle in image space. An infinite rectangle (constant colours, clamped images)
// is a very large finite one, so that intersections and offsets keep working.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;

    static constexpr double kInfiniteSize = 1.0e12;
    static Rect infinite() { return {-kInfiniteSize / 2, -kInfiniteSize / 2, kInfiniteSize, kInfiniteSize}; }
    static Rect null() { return {0, 0, 0, 0}; }
    static Rect fromIRect(const IRect& r) { return {double(r.x), double(r.y), double(r.w), double(r.h)}; }

    bool isInfinite() const { return width >= kInfiniteSize * 0.5 || height >= kInfiniteSize * 0.5; }
    bool isEmpty() const { return !(width > 0) || !(height > 0); }
    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    Size size() const { return {width, height}; }

    Rect intersect(const Rect& o) const {
        double x0 = std::max(x, o.x), y0 = std::max(y, o.y);
        double x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
        if (!(x1 > x0) || !(y1 > y0)) return null();
        return {x0, y0, x1 - x0, y1 - y0};
    }
    Rect unite(const Rect& o) const {
        if (isEmpty()) return o;
        if (o.isEmpty()) return *this;
        double x0 = std::min(x, o.x), y0 = std::min(y, o.y);
        double x1 = std::max(maxX(), o.maxX()), y1 = std::max(maxY(), o.maxY());
        return {x0, y0, x1 - x0, y1 - y0};
    }
    Rect inset(double dx, double dy) const {
        if (isInfinite()) return *this;
        return {x + dx, y + dy, width - 2 * dx, height - 2 * dy};
    }
    Rect offset(double dx, double dy) const {
        if (isInfinite()) return *this;
        return {x + dx, y + dy, width, height};
    }
    bool contains(const Point& p) const { return p.x >= x && p.y >= y && p.x < maxX() && p.y < maxY(); }
    // The smallest whole-pixel rectangle that contains this one (clipped to int range).
    IRect integral() const;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// Affine map: x' = a·x + c·y + tx, y' = b·x + d·y + ty.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    static AffineTransform translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    // Positive angles turn from +x towards +y (clockwise on screen, since y points down).
    static AffineTransform rotation(double radians) {
        double cs = std::cos(radians), sn = std::sin(radians);
        return {cs, sn, -sn, cs, 0, 0};
    }

    // This transform followed by `then`.
    AffineTransform concat(const AffineTransform& then) const {
        const AffineTransform& t = then;
        return {a * t.a + b * t.c, a * t.b + b * t.d, c * t.a + d * t.c, c * t.b + d * t.d,
                tx * t.a + ty * t.c + t.tx, tx * t.b + ty * t.d + t.ty};
    }
    AffineTransform translated(double x, double y) const { return concat(translation(x, y)); }
    AffineTransform scaled(double sx, double sy) const { return concat(scale(sx, sy)); }
    AffineTransform rotated(double r) const { return concat(rotation(r)); }
    double determinant() const { return a * d - b * c; }
    bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
    AffineTransform inverted() const;
    Point apply(const Point& p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    // Bounding box of the transformed rectangle.
    Rect apply(const Rect& r) const;
    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

}  // namespace vellari
