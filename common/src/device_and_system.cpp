#include "vellari/common/device_and_system.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

namespace vellari {

bool QuillmereDeviceAndSystem::iDeviceIsLessThan8() {
    if (const char* force = std::getenv("VELLARI_SLOW_DEVICE")) {
        if (std::strcmp(force, "1") == 0) return true;
        if (std::strcmp(force, "0") == 0) return false;
    }
    if (std::thread::hardware_concurrency() == 1) return true;
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGE_SIZE);
    // When the system does not say, assume a capable machine rather than degrade quality.
    if (pages <= 0 || pageSize <= 0) return false;
    constexpr unsigned long long kTwoGiB = 2ull << 30;
    return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize) < kTwoGiB;
}

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

Color colorFromString(const std::string& hex) {
    std::string_view s = hex;
    if (!s.empty() && s.front() == '#') s.remove_prefix(1);
    if (s.size() != 6) return Color::black();
    int v[6];
    for (int i = 0; i < 6; ++i)
        if ((v[i] = hexDigit(s[i])) < 0) return Color::black();
    return {(v[0] * 16 + v[1]) / 255.0, (v[2] * 16 + v[3]) / 255.0, (v[4] * 16 + v[5]) / 255.0, 1.0};
}

std::string xorString(const uint8_t* bytes, int32_t count, const char* key, int32_t keyLength) {
    if (count <= 0 || bytes == nullptr) return std::string(1, '\0');
    std::string out(reinterpret_cast<const char*>(bytes), size_t(count));
    if (key != nullptr && keyLength > 0)
        for (int32_t i = 0; i < count; ++i) out[size_t(i)] = char(uint8_t(out[size_t(i)]) ^ uint8_t(key[i % keyLength]));
    out.push_back('\0');
    return out;
}

}  // namespace vellari
