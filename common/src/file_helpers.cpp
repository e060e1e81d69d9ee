#include "vellari/common/file_helpers.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace vellari {
namespace fs = std::filesystem;

namespace {
std::string formatLocalNow(const char* format) {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, format, &local);
    return std::string(buf, n);
}
}  // namespace

std::optional<std::string> QXFileHelper::getFileURL(const std::string& inDirectory, const std::string& fileName,
                                                    const std::string& fileExtension) {
    if (!createDirectory(inDirectory)) return std::nullopt;
    std::string name = fileExtension.empty() ? fileName : fileName + "." + fileExtension;
    return (fs::path(inDirectory) / name).string();
}

bool QXFileHelper::removeFile(const std::string& atURL) {
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(atURL, ec))) return false;
    return fs::remove(atURL, ec) && !ec;
}

bool QXFileHelper::createDirectory(const std::string& atURL) {
    if (atURL.empty()) return false;
    std::error_code ec;
    fs::create_directories(atURL, ec);
    return fs::is_directory(atURL, ec);
}

std::string QXFileHelper::fileNameWithCurrentDateTime(const std::string& prefix, const std::string& suffix) {
    return prefix + formatLocalNow("%Y-%m-%d_%H-%M-%S") + suffix;
}

std::string QXDateHelper::dateForFileInfo() { return formatLocalNow("%Y:%m:%d %H:%M:%S"); }

long QXDateHelper::calculateDateDifference(std::chrono::system_clock::time_point from,
                                           std::chrono::system_clock::time_point to,
                                           CalendarComponent calendarComponent) {
    switch (calendarComponent) {
        case CalendarComponent::Day:
            // duration_cast truncates toward zero in both directions.
            return long(std::chrono::duration_cast<std::chrono::days>(to - from).count());
    }
    return 0;
}

std::string QXTimeHelper::getDisplayableTime(double timeInSeconds) {
    // Also keeps the integer conversion below in range (about 31 million years).
    if (!(timeInSeconds >= 0) || !std::isfinite(timeInSeconds) || timeInSeconds >= 1e15) timeInSeconds = 0;
    long long total = static_cast<long long>(timeInSeconds);
    long long hours = total / 3600, minutes = total / 60 % 60, seconds = total % 60;
    char buf[48];
    if (hours > 0)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", hours, minutes, seconds);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", minutes, seconds);
    return buf;
}

}  // namespace vellari
