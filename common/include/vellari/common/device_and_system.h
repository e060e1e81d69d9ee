#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vellari/platform/values.h"

namespace vellari {

class QuillmereDeviceAndSystem {
public:
    // True on older, slower machines: a single core or under 2 GiB of physical memory.
    // The environment variable VELLARI_SLOW_DEVICE overrides the answer: "1" forces true,
    // "0" forces false, anything else is ignored. It is read on every call.
    static bool iDeviceIsLessThan8();
};

// A colour from six hexadecimal digits (red, green, blue; either case), "#" optional;
// opaque, each component the digit pair / 255. Malformed text gives opaque black.
Color colorFromString(const std::string& hex);

// Byte i of the first `count` bytes of `bytes` XOR key[i mod keyLength]. The result holds
// count + 1 bytes, the last one zero, so callers can copy count + 1 bytes and read them as
// zero-terminated text. count <= 0 or a null `bytes` gives just the zero; a null key or
// keyLength <= 0 leaves the bytes unchanged.
std::string xorString(const uint8_t* bytes, int32_t count, const char* key, int32_t keyLength);

}  // namespace vellari
