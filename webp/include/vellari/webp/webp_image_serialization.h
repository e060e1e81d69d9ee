#pragma once
// WebP pictures: decoding WebP data into pictures and encoding pictures as WebP, on libwebp.
// Once registered (registerWebPSerialization, also done automatically for every program
// that links this library), the picture layer's decodePicture/readPicture and named
// resources open WebP data transparently, and writePicture(..., PictureFormat::WebP)
// writes WebP files.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vellari/platform/bundle.h"
#include "vellari/platform/geometry.h"
#include "vellari/platform/picture.h"

namespace vellari {

// Why a WebP conversion failed. The description is the text of the string table
// "WebPImageSerialization" for the failure.
struct WebPError {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
};

class WebPImageSerialization {
public:
    static constexpr const char* kErrorDomain = "com.webp.image.error";
    static constexpr int kErrorCode = -1;
    static constexpr const char* kStringTable = "WebPImageSerialization";

    // Encoder presets by index (the encoder's own order).
    enum Preset : int { PresetDefault = 0, PresetPicture, PresetPhoto, PresetDrawing, PresetIcon, PresetText };
    struct PixelSize {
        int width = 0, height = 0;
        friend bool operator==(const PixelSize&, const PixelSize&) = default;
    };
    // Quality used when none is given: the top of the encoder's 0...100 scale.
    static constexpr float kDefaultQuality = 100.0f;

    // Decodes WebP data into an upright 8-bit RGBA picture (straight alpha) of scale
    // `scale`. With a fitting size whose sides are both positive the picture is scaled, aspect
    // kept, to fit inside it (it may be enlarged). A null picture on failure, with `error` set.
    static Picture imageWithData(std::span<const uint8_t> data, WebPError* error = nullptr);
    static Picture imageWithData(std::span<const uint8_t> data, double scale, WebPError* error = nullptr);
    static Picture imageWithData(std::span<const uint8_t> data, double scale, Size fittingSize,
                                          WebPError* error = nullptr);

    // Lossy WebP bytes of the picture's upright pixels with encoder preset `preset` (0...5)
    // and `quality` on the encoder's 0...100 scale. Empty on failure, with `error` set.
    static std::vector<uint8_t> dataWithImage(const Picture& picture, WebPError* error = nullptr);
    static std::vector<uint8_t> dataWithImage(const Picture& picture, int preset, float quality,
                                              WebPError* error = nullptr);
    // Lossless WebP bytes: every pixel, alpha and colour under full transparency included,
    // comes back exactly. `effort` (0...100) trades encoding time for size.
    static std::vector<uint8_t> losslessDataWithImage(const Picture& picture, float effort = 75.0f,
                                                      WebPError* error = nullptr);

    // Encodes and writes a WebP file atomically. Empty string on success, else
    // "<path>: <why>".
    static std::string writeImage(const Picture& picture, const std::string& path, int preset,
                                  float quality, bool overwrite = true);

    // Whether `data` is non-empty and its WebP header gives a width and height of at least 1.
    static bool isWebP(std::span<const uint8_t> data);
    // The size a W x H picture decodes to for `fittingSize` (W x H itself unless both sides
    // of the fitting size are positive).
    static PixelSize fittedSize(int width, int height, Size fittingSize);
};

// WebP-aware picture constructors: WebP data is decoded here (errors discarded), anything
// else goes to the picture layer's own decoders. Null picture when neither can read it.
Picture webp_initWithData(std::span<const uint8_t> data);
Picture webp_initWithData(std::span<const uint8_t> data, double scale);
Picture webp_initWithContentsOfFile(const std::string& path);
// A named bundle resource, preferring the "@3x"/"@2x" variant that suits `screenScale`
// ("icon.png" looks for "icon@2x.png" first at scale 2). The picture's scale is the
// variant's.
Picture webp_imageNamed(const std::string& name, const Bundle& bundle = Bundle::main(),
                                 double screenScale = 1.0);

// Registers the WebP decoder and encoder with the picture layer; later calls do nothing.
// Programs linking this library get it at start-up; calling it again is harmless.
void registerWebPSerialization();

}  // namespace vellari
