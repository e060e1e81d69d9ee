#include "vellari/webp/webp_image_serialization.h"

#include <webp/decode.h>
#include <webp/encode.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include <spdlog/spdlog.h>

namespace vellari {

namespace {

// The keys of the string table; its English texts are the keys themselves.
constexpr const char* kHeaderError = "WebP header formatting error";
constexpr const char* kDecoderInitError = "WebP image failed to initialize structure";
constexpr const char* kPresetError = "WebP image configuration preset initialization failed.";
constexpr const char* kConfigError = "WebP image invalid configuration.";
constexpr const char* kPictureInitError = "WebP image failed to initialize structure.";
constexpr const char* kEncodeError = "WebP image encoding failed.";

const char* statusText(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY: return "VP8 out of memory";
        case VP8_STATUS_INVALID_PARAM: return "VP8 invalid parameter";
        case VP8_STATUS_BITSTREAM_ERROR: return "VP8 bitstream error";
        case VP8_STATUS_UNSUPPORTED_FEATURE: return "VP8 unsupported feature";
        case VP8_STATUS_SUSPENDED: return "VP8 suspended";
        case VP8_STATUS_USER_ABORT: return "VP8 user Abort";
        case VP8_STATUS_NOT_ENOUGH_DATA: return "VP8 not enough data";
        default: return "VP8 bitstream error";  // a status this build does not know
    }
}

// Decoded pictures larger than this (1 GiB of RGBA) are refused rather than attempted:
// a generous fitting size must not turn into an allocation that takes the process down.
constexpr uint64_t kMaxDecodedPixels = uint64_t(1) << 28;

void setError(WebPError* error, const char* key) {
    if (!error) return;
    error->domain = WebPImageSerialization::kErrorDomain;
    error->code = WebPImageSerialization::kErrorCode;
    error->localizedDescription = localizedString(key, WebPImageSerialization::kStringTable);
}

std::vector<uint8_t> encode(const Picture& source, int preset, float quality, bool lossless, WebPError* error) {
    auto fail = [&](const char* key) {
        setError(error, key);
        return std::vector<uint8_t>{};
    };

    WebPConfig config;
    // An unknown preset would silently act as the default one, and a NaN quality passes the
    // encoder's own range check: both are refused here.
    if (preset < WEBP_PRESET_DEFAULT || preset > WEBP_PRESET_TEXT || std::isnan(quality) ||
        !WebPConfigPreset(&config, WebPPreset(preset), quality))
        return fail(kPresetError);
    if (lossless) {
        config.lossless = 1;
        config.exact = 1;  // keep the colour under fully transparent pixels too
    }
    if (!WebPValidateConfig(&config)) return fail(kConfigError);

    // WebP stores no orientation: write the pixels the way the picture is seen.
    const Picture upright = source.orientation() == 1 ? Picture() : source.upright();
    const Picture& p = source.orientation() == 1 ? source : upright;
    if (p.isNull() || p.width() > WEBP_MAX_DIMENSION || p.height() > WEBP_MAX_DIMENSION ||
        p.rgba().size() != size_t(p.width()) * p.height() * 4)
        return fail(kPictureInitError);

    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return fail(kPictureInitError);
    picture.use_argb = lossless ? 1 : 0;
    picture.colorspace = WEBP_YUV420;
    picture.width = p.width();
    picture.height = p.height();
    if (!WebPPictureImportRGBA(&picture, p.rgba().data(), p.width() * 4)) {
        WebPPictureFree(&picture);
        return fail(kPictureInitError);
    }

    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &writer;
    const int ok = WebPEncode(&config, &picture);
    const WebPEncodingError code = picture.error_code;
    WebPPictureFree(&picture);
    if (!ok) {
        WebPMemoryWriterClear(&writer);
        spdlog::debug("WebP encoding of a {} x {} picture failed with encoder error {}", p.width(), p.height(),
                      int(code));
        return fail(kEncodeError);
    }
    std::vector<uint8_t> out;
    try {
        out.assign(writer.mem, writer.mem + writer.size);
    } catch (const std::bad_alloc&) {
        WebPMemoryWriterClear(&writer);
        return fail(kEncodeError);
    }
    WebPMemoryWriterClear(&writer);
    return out;
}

}  // namespace

bool WebPImageSerialization::isWebP(std::span<const uint8_t> data) {
    int w = 0, h = 0;
    return !data.empty() && WebPGetInfo(data.data(), data.size(), &w, &h) && w >= 1 && h >= 1;
}

WebPImageSerialization::PixelSize WebPImageSerialization::fittedSize(int width, int height, Size fitting) {
    const PixelSize full{width, height};
    if (!(fitting.width > 0) || !(fitting.height > 0) || width < 1 || height < 1) return full;
    // k = min(fw / W, fh / H). The constraining side becomes the fitting side itself and the
    // other is computed in one rounding step, so that 451 x 300 fitted to 100 x 100 is
    // 100 wide, not 99 through (100 / 451) * 451.
    const double fw = fitting.width, fh = fitting.height;
    const bool widthLimits = fw * height <= fh * width;
    double w = widthLimits ? fw : double(width) * fh / height;
    double h = widthLimits ? double(height) * fw / width : fh;
    constexpr double kLimit = double(std::numeric_limits<int>::max());
    w = std::floor(std::min(w, kLimit));
    h = std::floor(std::min(h, kLimit));
    // A fitting size smaller than a pixel still gives a picture.
    return {std::max(int(w), 1), std::max(int(h), 1)};
}

Picture WebPImageSerialization::imageWithData(std::span<const uint8_t> data, WebPError* error) {
    return imageWithData(data, 1.0, Size{}, error);
}

Picture WebPImageSerialization::imageWithData(std::span<const uint8_t> data, double scale, WebPError* error) {
    return imageWithData(data, scale, Size{}, error);
}

Picture WebPImageSerialization::imageWithData(std::span<const uint8_t> data, double scale, Size fittingSize,
                                              WebPError* error) {
    auto fail = [&](const char* key) {
        setError(error, key);
        return Picture();
    };
    int width = 0, height = 0;
    if (data.empty() || !WebPGetInfo(data.data(), data.size(), &width, &height) || width < 1 || height < 1)
        return fail(kHeaderError);

    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return fail(kDecoderInitError);
    config.output.colorspace = MODE_RGBA;
    config.options.bypass_filtering = 1;
    config.options.no_fancy_upsampling = 1;
    config.options.use_threads = 1;

    const PixelSize out = fittedSize(width, height, fittingSize);
    if (out.width != width || out.height != height) {
        config.options.use_scaling = 1;
        config.options.scaled_width = out.width;
        config.options.scaled_height = out.height;
    }
    if (uint64_t(out.width) * uint64_t(out.height) > kMaxDecodedPixels) return fail(statusText(VP8_STATUS_OUT_OF_MEMORY));

    // The decoder writes straight into the picture's own storage.
    std::vector<uint8_t> rgba;
    try {
        rgba.resize(size_t(out.width) * out.height * 4);
    } catch (const std::bad_alloc&) {
        return fail(statusText(VP8_STATUS_OUT_OF_MEMORY));
    }
    config.output.is_external_memory = 1;
    config.output.width = out.width;
    config.output.height = out.height;
    config.output.u.RGBA.rgba = rgba.data();
    config.output.u.RGBA.stride = out.width * 4;
    config.output.u.RGBA.size = rgba.size();

    const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) return fail(statusText(status));

    if (!std::isfinite(scale) || scale <= 0) scale = 1.0;
    return Picture(out.width, out.height, std::move(rgba), scale, 1);
}

std::vector<uint8_t> WebPImageSerialization::dataWithImage(const Picture& picture, WebPError* error) {
    return dataWithImage(picture, PresetDefault, kDefaultQuality, error);
}

std::vector<uint8_t> WebPImageSerialization::dataWithImage(const Picture& picture, int preset, float quality,
                                                           WebPError* error) {
    return encode(picture, preset, quality, false, error);
}

std::vector<uint8_t> WebPImageSerialization::losslessDataWithImage(const Picture& picture, float effort,
                                                                   WebPError* error) {
    return encode(picture, PresetDefault, effort, true, error);
}

std::string WebPImageSerialization::writeImage(const Picture& picture, const std::string& path, int preset,
                                               float quality, bool overwrite) {
    WebPError error;
    const std::vector<uint8_t> bytes = dataWithImage(picture, preset, quality, &error);
    if (bytes.empty()) return path + ": " + error.localizedDescription;
    return writeFileAtomically(path, bytes, overwrite);
}

}  // namespace vellari
