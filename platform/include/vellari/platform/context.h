#pragma once
// Rendering: turns an image's rectangle into a bitmap. Rendering is multi-threaded and
// evaluates only the pixels that the output needs.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vellari/platform/geometry.h"
#include "vellari/platform/image.h"

namespace vellari {

class Picture;

enum class PixelFormat {
    RGBA8,  // bytes R, G, B, A
    ARGB8,  // bytes A, R, G, B
    BGRA8,  // bytes B, G, R, A
    RGBAf,  // four floats
};
size_t bytesPerPixel(PixelFormat f);

// A rendered bitmap: premultiplied, row 0 at the top of the rendered rectangle.
struct Bitmap {
    int width = 0, height = 0;
    PixelFormat format = PixelFormat::RGBA8;
    size_t rowBytes = 0;
    std::vector<uint8_t> bytes;

    const float* floatRow(int y) const { return reinterpret_cast<const float*>(bytes.data() + y * rowBytes); }
    const uint8_t* row(int y) const { return bytes.data() + y * rowBytes; }
};

class Context {
public:
    struct Options {
        int threads = 0;                      // 0: all cores
        size_t memoryBudget = 320u << 20;     // bytes of intermediate buffers before banding
    };
    Context() = default;
    explicit Context(Options o) : options_(o) {}

    // Renders `rect` (rounded out to whole pixels) of the image into `data`. 8-bit formats
    // are clamped to [0, 1] and rounded to nearest; float keeps the values as computed.
    void render(const Image& image, const Rect& rect, PixelFormat format, void* data, size_t rowBytes) const;
    Bitmap render(const Image& image, const Rect& rect, PixelFormat format = PixelFormat::RGBAf) const;
    // The rectangle as a picture (straight alpha, RGBA8).
    Picture createPicture(const Image& image, const Rect& rect) const;

    const Options& options() const { return options_; }

private:
    Options options_;
};

// A shared default context for callers that do not keep their own.
const Context& defaultContext();

// Mutable store of fixed extent in RGBA8: setting an image renders it at once (values
// clamped and rounded to 8 bits, premultiplied); reading gives that content as an image.
class ImageAccumulator {
public:
    explicit ImageAccumulator(const Rect& extent);
    Rect extent() const { return Rect::fromIRect(rect_); }
    void setImage(const Image& image);
    void setImage(const Image& image, const Rect& dirty);
    Image image() const;
    void clear();

private:
    IRect rect_;
    std::shared_ptr<std::vector<uint8_t>> pixels_;  // replaced, never mutated, once shared
    std::shared_ptr<std::vector<uint8_t>> spare_;   // the buffer before, reused once released
};

}  // namespace vellari
