#pragma once
// Pictures: decoded 8-bit bitmaps, RGBA in that byte order, straight alpha, row 0 at the
// top, rows exactly 4·width bytes, with a scale and an EXIF orientation.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vellari {

class Picture {
public:
    Picture() = default;
    Picture(int width, int height);  // transparent
    Picture(int width, int height, std::vector<uint8_t> rgba, double scale = 1.0, int orientation = 1);

    int width() const { return width_; }
    int height() const { return height_; }
    bool isNull() const { return width_ <= 0 || height_ <= 0; }
    explicit operator bool() const { return !isNull(); }
    double scale() const { return scale_; }
    int orientation() const { return orientation_; }
    void setScale(double s) { scale_ = s; }
    void setOrientation(int o) { orientation_ = o; }

    const std::vector<uint8_t>& rgba() const { return rgba_; }
    std::vector<uint8_t>& rgba() { return rgba_; }
    const uint8_t* pixel(int x, int y) const { return rgba_.data() + (size_t(y) * width_ + x) * 4; }
    uint8_t* pixel(int x, int y) { return rgba_.data() + (size_t(y) * width_ + x) * 4; }

    // The same pixels turned upright (orientation 1).
    Picture upright() const;

private:
    int width_ = 0, height_ = 0;
    std::vector<uint8_t> rgba_;
    double scale_ = 1.0;
    int orientation_ = 1;
};

enum class PictureFormat { PNG, JPEG, WebP };

// Outcome of reading or writing: a picture, or a message naming the file and the cause.
struct PictureResult {
    Picture picture;
    std::string error;
    bool ok() const { return error.empty(); }
};

struct PictureDecodeOptions {
    // Apply the file's EXIF orientation to the pixels (orientation 1 afterwards); when
    // false the raw pixels are kept and the orientation is recorded.
    bool applyOrientation = true;
};

// Decodes PNG, JPEG and TIFF, and any format whose decoder has been registered.
PictureResult decodePicture(std::span<const uint8_t> data, const std::string& nameForErrors,
                            PictureDecodeOptions options = {});
PictureResult readPicture(const std::string& path, PictureDecodeOptions options = {});

// Encoded bytes (JPEG at `quality` 0..1); empty on failure with `error` set.
std::vector<uint8_t> encodePicture(const Picture& picture, PictureFormat format, double quality = 0.9,
                                   std::string* error = nullptr);
// Writes atomically (a temporary file renamed into place). Returns an empty string on
// success, else the message. `overwrite` false refuses an existing file.
std::string writePicture(const Picture& picture, const std::string& path, PictureFormat format,
                         double quality = 0.9, bool overwrite = true);

// The format implied by a file name's extension, if any.
std::optional<PictureFormat> pictureFormatForPath(const std::string& path);

// Decoders registered by other libraries (WebP): `sniff` tells whether data is theirs.
struct PictureDecoder {
    std::string name;
    std::function<bool(std::span<const uint8_t>)> sniff;
    std::function<PictureResult(std::span<const uint8_t>, const std::string& nameForErrors)> decode;
};
void registerPictureDecoder(PictureDecoder decoder);

// Encoders registered by other libraries, by format.
using PictureEncoder = std::function<std::vector<uint8_t>(const Picture&, double quality, std::string* error)>;
void registerPictureEncoder(PictureFormat format, PictureEncoder encoder);

// Writes bytes to `path` atomically; returns an empty string or the message.
std::string writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes, bool overwrite = true);
// Reads a whole file; nullopt with `error` set on failure.
std::optional<std::vector<uint8_t>> readFileBytes(const std::string& path, std::string* error = nullptr);

}  // namespace vellari
