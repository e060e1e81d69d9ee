#pragma once
// The program and caption that exported stills carry: IPTC fields in JPEG files, text
// chunks in PNG files. WebP files are written without them.

#include <cstdint>
#include <vector>

#include "vellari/capture/filter_wrapper.h"
#include "vellari/platform/picture.h"

namespace vellari::cli {

// `encoded` (a complete file of `format`) with the metadata added; unchanged for WebP or
// for data that is not a well-formed file of that format.
std::vector<uint8_t> withPhotoMetadata(std::vector<uint8_t> encoded, PictureFormat format,
                                       const QXPhotoMetadata& metadata);

}  // namespace vellari::cli
