// WebP-aware picture constructors and the registration with the picture layer.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "vellari/webp/webp_image_serialization.h"

namespace vellari {

namespace {

// Data that announces itself as WebP is claimed even when its header is damaged, so that
// the caller hears what is wrong with it rather than that the format is unknown.
bool looksLikeWebP(std::span<const uint8_t> d) {
    if (d.size() >= 12 && std::memcmp(d.data(), "RIFF", 4) == 0 && std::memcmp(d.data() + 8, "WEBP", 4) == 0)
        return true;
    return WebPImageSerialization::isWebP(d);
}

PictureResult decodeForPictureLayer(std::span<const uint8_t> data, const std::string& nameForErrors) {
    WebPError error;
    Picture picture = WebPImageSerialization::imageWithData(data, 1.0, Size{}, &error);
    if (picture.isNull()) return {{}, nameForErrors + ": " + error.localizedDescription};
    return {std::move(picture), {}};
}

// The picture layer's quality is JPEG's 0...1; the encoder's scale is 0...100.
std::vector<uint8_t> encodeForPictureLayer(const Picture& picture, double quality, std::string* message) {
    const double q = std::isnan(quality) ? 0.9 : std::clamp(quality, 0.0, 1.0);
    WebPError error;
    auto bytes = WebPImageSerialization::dataWithImage(picture, WebPImageSerialization::PresetDefault,
                                                       float(q * 100.0), &error);
    if (bytes.empty() && message) *message = error.localizedDescription;
    return bytes;
}

Picture platformPicture(std::span<const uint8_t> data, const std::string& name, double scale) {
    Picture p = decodePicture(data, name).picture;
    if (!p.isNull()) p.setScale(scale);
    return p;
}

}  // namespace

Picture webp_initWithData(std::span<const uint8_t> data) { return webp_initWithData(data, 1.0); }

Picture webp_initWithData(std::span<const uint8_t> data, double scale) {
    if (WebPImageSerialization::isWebP(data)) return WebPImageSerialization::imageWithData(data, scale, Size{});
    return platformPicture(data, "picture data", scale);
}

Picture webp_initWithContentsOfFile(const std::string& path) {
    auto bytes = readFileBytes(path);
    if (!bytes) return {};
    if (WebPImageSerialization::isWebP(*bytes)) return WebPImageSerialization::imageWithData(*bytes, 1.0, Size{});
    return platformPicture(*bytes, path, 1.0);
}

Picture webp_imageNamed(const std::string& name, const Bundle& bundle, double screenScale) {
    const double variantScale = screenScale >= 3.0 ? 3.0 : screenScale >= 2.0 ? 2.0 : 1.0;
    const std::filesystem::path n(name);
    std::optional<std::string> path;
    double scale = 1.0;
    if (variantScale > 1.0) {
        const std::string suffix = variantScale >= 3.0 ? "@3x" : "@2x";
        std::string extension = n.extension().string();
        if (!extension.empty()) extension.erase(0, 1);
        path = bundle.pathForResource((n.parent_path() / n.stem()).string() + suffix, extension);
        if (path) scale = variantScale;
    }
    if (!path) path = bundle.pathForResource(name);
    if (!path) return {};
    auto bytes = readFileBytes(*path);
    if (!bytes) return {};
    if (WebPImageSerialization::isWebP(*bytes)) return WebPImageSerialization::imageWithData(*bytes, scale);
    return platformPicture(*bytes, *path, scale);
}

void registerWebPSerialization() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerPictureDecoder({"WebP", looksLikeWebP, decodeForPictureLayer});
        registerPictureEncoder(PictureFormat::WebP, encodeForPictureLayer);
    });
}

}  // namespace vellari

// Kept by the linker in every program through the library's link options (see
// webp/CMakeLists.txt), so WebP reads and writes work without an explicit call.
extern "C" {
[[gnu::used]] int vellari_webp_registered_at_startup = (vellari::registerWebPSerialization(), 1);
}
