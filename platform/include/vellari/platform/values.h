#pragma once
// Plain values handed to kernels and filters.

#include <initializer_list>
#include <string>

namespace vellari {

// A colour with straight (not premultiplied) components, as the caller wrote it.
struct Color {
    double r = 0, g = 0, b = 0, a = 1;

    static Color clear() { return {0, 0, 0, 0}; }
    static Color black() { return {0, 0, 0, 1}; }
    static Color white() { return {1, 1, 1, 1}; }
    friend bool operator==(const Color&, const Color&) = default;
};

// A vector of one to four numbers.
struct Vector {
    double v[4] = {0, 0, 0, 0};
    int count = 0;

    Vector() = default;
    Vector(std::initializer_list<double> xs) {
        for (double x : xs)
            if (count < 4) v[count++] = x;
    }
    double operator[](int i) const { return i < count ? v[i] : 0.0; }
    double x() const { return (*this)[0]; }
    double y() const { return (*this)[1]; }
    double z() const { return (*this)[2]; }
    double w() const { return (*this)[3]; }
    friend bool operator==(const Vector& l, const Vector& r) {
        if (l.count != r.count) return false;
        for (int i = 0; i < l.count; ++i)
            if (l.v[i] != r.v[i]) return false;
        return true;
    }
};

}  // namespace vellari
