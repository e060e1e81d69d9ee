#pragma once
// File, date and time helpers of the companion media library.

#include <chrono>
#include <optional>
#include <string>

namespace vellari {

class QXFileHelper {
public:
    // <directory>/<fileName>.<fileExtension> (no dot when the extension is empty); the
    // directory is created if needed. Nothing when it cannot be created.
    static std::optional<std::string> getFileURL(const std::string& inDirectory, const std::string& fileName,
                                                 const std::string& fileExtension);
    // True only when something was removed: a missing file or an error gives false.
    // Directories are not removed.
    static bool removeFile(const std::string& atURL);
    // Creates the directory and its parents; true when it exists afterwards.
    static bool createDirectory(const std::string& atURL);
    // prefix + "yyyy-MM-dd_HH-mm-ss" (local time) + suffix.
    static std::string fileNameWithCurrentDateTime(const std::string& prefix, const std::string& suffix);
};

enum class CalendarComponent { Day };

class QXDateHelper {
public:
    // Local date and time for file information, "yyyy:MM:dd HH:mm:ss" (the EXIF form).
    static std::string dateForFileInfo();
    // Whole days from `from` to `to`, counted as 24-hour spans and truncated toward zero
    // (36 hours is 1, -36 hours is -1).
    static long calculateDateDifference(std::chrono::system_clock::time_point from,
                                        std::chrono::system_clock::time_point to,
                                        CalendarComponent calendarComponent = CalendarComponent::Day);
};

class QXTimeHelper {
public:
    // "m:ss", or "h:mm:ss" from one hour on; fractions of a second are dropped; negative,
    // NaN and infinite times read as 0.
    static std::string getDisplayableTime(double timeInSeconds);
};

}  // namespace vellari
