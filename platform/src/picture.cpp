#include "vellari/platform/picture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace vellari {

// ---------------------------------------------------------------------------------------
// Picture

Picture::Picture(int width, int height)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), rgba_(size_t(width_) * height_ * 4, 0) {}

Picture::Picture(int width, int height, std::vector<uint8_t> rgba, double scale, int orientation)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), rgba_(std::move(rgba)), scale_(scale),
      orientation_(orientation) {
    if (rgba_.size() != size_t(width_) * height_ * 4)
        throw std::invalid_argument("Picture: pixel data does not match " + std::to_string(width) + " x " +
                                    std::to_string(height));
}

Picture Picture::upright() const {
    if (isNull() || orientation_ < 2 || orientation_ > 8) {
        Picture p = *this;
        p.orientation_ = 1;
        return p;
    }
    const cv::Mat src(height_, width_, CV_8UC4, const_cast<uint8_t*>(rgba_.data()));
    const bool swaps = orientation_ >= 5;
    const int w = swaps ? height_ : width_, h = swaps ? width_ : height_;
    std::vector<uint8_t> out(size_t(w) * h * 4);
    cv::Mat dst(h, w, CV_8UC4, out.data());
    switch (orientation_) {
        case 2: cv::flip(src, dst, 1); break;
        case 3: cv::rotate(src, dst, cv::ROTATE_180); break;
        case 4: cv::flip(src, dst, 0); break;
        case 5: cv::transpose(src, dst); break;
        case 6: cv::rotate(src, dst, cv::ROTATE_90_CLOCKWISE); break;
        case 7: {
            // Transverse: the anti-diagonal mirror, a transpose turned a half turn.
            cv::Mat t;
            cv::transpose(src, t);
            cv::flip(t, dst, -1);
            break;
        }
        case 8: cv::rotate(src, dst, cv::ROTATE_90_COUNTERCLOCKWISE); break;
    }
    // OpenCV writes into `out` only when dst keeps its buffer; guard against a reallocation.
    if (dst.data != out.data()) std::memcpy(out.data(), dst.data, out.size());
    return Picture(w, h, std::move(out), scale_, 1);
}

// ---------------------------------------------------------------------------------------
// Registries

namespace {

struct Codecs {
    std::mutex mutex;
    std::vector<PictureDecoder> decoders;
    std::map<PictureFormat, PictureEncoder> encoders;
};
Codecs& codecs() {
    static Codecs* c = new Codecs;  // never destroyed: static registrations outlive main
    return *c;
}

void silenceOpenCV() {
    static std::once_flag once;
    std::call_once(once, [] { cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT); });
}

}  // namespace

void registerPictureDecoder(PictureDecoder decoder) {
    Codecs& c = codecs();
    std::lock_guard lock(c.mutex);
    c.decoders.push_back(std::move(decoder));
}

void registerPictureEncoder(PictureFormat format, PictureEncoder encoder) {
    Codecs& c = codecs();
    std::lock_guard lock(c.mutex);
    c.encoders[format] = std::move(encoder);
}

// ---------------------------------------------------------------------------------------
// Structure checks. The codecs below OpenCV accept damaged files and fill the missing
// part with grey, so the container is walked here first.

namespace {

enum class Format { Unknown, PNG, JPEG, TIFF, WebP };

Format sniff(std::span<const uint8_t> d) {
    static const uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (d.size() >= 8 && std::memcmp(d.data(), png, 8) == 0) return Format::PNG;
    if (d.size() >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return Format::JPEG;
    if (d.size() >= 4 && ((d[0] == 'I' && d[1] == 'I' && d[2] == 42 && d[3] == 0) ||
                          (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == 42)))
        return Format::TIFF;
    if (d.size() >= 12 && std::memcmp(d.data(), "RIFF", 4) == 0 && std::memcmp(d.data() + 8, "WEBP", 4) == 0)
        return Format::WebP;
    return Format::Unknown;
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

struct CRCTable {
    uint32_t t[256];
    constexpr CRCTable() : t() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
    }
};
constexpr CRCTable kCRC;

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) c = kCRC.t[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Walks the chunks up to IEND and checks the CRCs of the critical ones (libpng would
// report those on stderr itself). Ancillary chunks other than transparency are dropped
// into `cleaned` when there are any: nothing here uses colour profiles, gamma or text, and
// libpng warns about imperfect ones on stderr. Empty on success, else what is wrong.
std::string checkPNG(std::span<const uint8_t> d, std::vector<uint8_t>& cleaned) {
    struct Chunk {
        size_t pos, size;
    };
    std::vector<Chunk> keep;
    bool dropped = false;
    size_t pos = 8;
    for (;;) {
        if (d.size() - pos < 12) return "truncated PNG data";
        const uint32_t len = be32(&d[pos]);
        if (len > 0x7fffffffu) return "corrupt PNG data";
        const uint8_t* type = &d[pos + 4];
        for (int i = 0; i < 4; ++i)
            if (!std::isalpha(type[i])) return "corrupt PNG data";
        if (keep.empty() && !dropped && std::memcmp(type, "IHDR", 4) != 0) return "corrupt PNG data";
        if (d.size() - pos - 12 < len) return "truncated PNG data";
        const bool critical = (type[0] & 0x20) == 0;
        if (critical || std::memcmp(type, "tRNS", 4) == 0) {
            if (crc32(type, 4 + size_t(len)) != be32(type + 4 + len)) return "corrupt PNG data";
            keep.push_back({pos, 12 + size_t(len)});
        } else {
            dropped = true;
        }
        pos += 12 + size_t(len);
        if (std::memcmp(type, "IEND", 4) == 0) break;
    }
    if (dropped) {
        size_t total = 8;
        for (const auto& c : keep) total += c.size;
        cleaned.reserve(total);
        cleaned.assign(d.begin(), d.begin() + 8);
        for (const auto& c : keep) cleaned.insert(cleaned.end(), d.begin() + c.pos, d.begin() + c.pos + c.size);
    }
    return {};
}

// The orientation tag (0x0112) of an Exif APP1 payload, or 0.
int exifOrientation(const uint8_t* p, size_t n) {
    if (n < 14 || std::memcmp(p, "Exif\0\0", 6) != 0) return 0;
    const uint8_t* t = p + 6;
    const size_t tn = n - 6;
    bool little;
    if (t[0] == 'I' && t[1] == 'I') little = true;
    else if (t[0] == 'M' && t[1] == 'M') little = false;
    else return 0;
    auto u16 = [&](size_t o) -> uint32_t { return little ? uint32_t(t[o] | t[o + 1] << 8) : be16(t + o); };
    auto u32 = [&](size_t o) -> uint32_t {
        return little ? uint32_t(t[o]) | uint32_t(t[o + 1]) << 8 | uint32_t(t[o + 2]) << 16 | uint32_t(t[o + 3]) << 24
                      : be32(t + o);
    };
    if (u16(2) != 42) return 0;
    const size_t ifd = u32(4);
    if (ifd > tn || tn - ifd < 2) return 0;
    const size_t count = u16(ifd);
    for (size_t i = 0; i < count; ++i) {
        const size_t e = ifd + 2 + 12 * i;
        if (e > tn || tn - e < 12) break;
        if (u16(e) != 0x0112) continue;
        const uint32_t type = u16(e + 2);
        const uint32_t v = type == 3 ? u16(e + 8) : type == 4 ? u32(e + 8) : 0;
        return v >= 1 && v <= 8 ? int(v) : 0;
    }
    return 0;
}

struct JPEGCheck {
    std::string error;
    int orientation = 1;
};

// Walks the marker segments and the entropy-coded scans up to EOI.
JPEGCheck checkJPEG(std::span<const uint8_t> d) {
    JPEGCheck r;
    const size_t n = d.size();
    size_t pos = 2;
    bool sawScan = false, sawExif = false;
    for (;;) {
        // Decoders tolerate stray bytes between segments; so do we.
        while (pos < n && d[pos] != 0xFF) ++pos;
        while (pos < n && d[pos] == 0xFF) ++pos;
        if (pos >= n) return {"truncated JPEG data"};
        const uint8_t marker = d[pos++];
        if (marker == 0xD9) {
            if (!sawScan) return {"corrupt JPEG data (no image data)"};
            return r;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length field
        if (n - pos < 2) return {"truncated JPEG data"};
        const size_t len = be16(&d[pos]);
        if (len < 2) return {"corrupt JPEG data"};
        if (n - pos < len) return {"truncated JPEG data"};
        if (marker == 0xE1 && !sawExif) {
            if (int o = exifOrientation(&d[pos + 2], len - 2)) {
                r.orientation = o;
                sawExif = true;
            }
        }
        pos += len;
        if (marker != 0xDA) continue;
        sawScan = true;
        // Entropy-coded data: ends at the first marker other than a stuffed zero or a restart.
        for (;;) {
            const void* ff = std::memchr(&d[pos], 0xFF, n - pos);
            if (!ff) return {"truncated JPEG data"};
            pos = size_t(static_cast<const uint8_t*>(ff) - d.data());
            if (pos + 1 >= n) return {"truncated JPEG data"};
            const uint8_t next = d[pos + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) pos += 2;
            else if (next == 0xFF) pos += 1;
            else break;
        }
    }
}

const char* formatName(Format f) {
    switch (f) {
        case Format::PNG: return "PNG";
        case Format::JPEG: return "JPEG";
        case Format::TIFF: return "TIFF";
        default: return "picture";
    }
}

// Any OpenCV decode result as straight RGBA8; empty message on success.
std::string toRGBA8(const cv::Mat& m, Picture& out) {
    cv::Mat m8;
    switch (m.depth()) {
        case CV_8U: m8 = m; break;
        case CV_16U: m.convertTo(m8, CV_8U, 1.0 / 257.0); break;
        case CV_32F:
        case CV_64F: m.convertTo(m8, CV_8U, 255.0); break;
        default: return "unsupported sample format";
    }
    Picture p(m8.cols, m8.rows);
    cv::Mat dst(m8.rows, m8.cols, CV_8UC4, p.rgba().data());
    switch (m8.channels()) {
        case 1: cv::cvtColor(m8, dst, cv::COLOR_GRAY2RGBA); break;
        case 2: {
            // Grey with alpha: OpenCV has no conversion for it.
            for (int y = 0; y < m8.rows; ++y) {
                const uint8_t* s = m8.ptr<uint8_t>(y);
                uint8_t* q = p.pixel(0, y);
                for (int x = 0; x < m8.cols; ++x, s += 2, q += 4) {
                    q[0] = q[1] = q[2] = s[0];
                    q[3] = s[1];
                }
            }
            break;
        }
        case 3: cv::cvtColor(m8, dst, cv::COLOR_BGR2RGBA); break;
        case 4: cv::cvtColor(m8, dst, cv::COLOR_BGRA2RGBA); break;
        default: return "unsupported channel layout";
    }
    if (dst.data != p.rgba().data()) return "internal conversion error";
    out = std::move(p);
    return {};
}

}  // namespace

PictureResult decodePicture(std::span<const uint8_t> data, const std::string& nameForErrors,
                            PictureDecodeOptions options) {
    silenceOpenCV();
    auto fail = [&](const std::string& why) { return PictureResult{{}, nameForErrors + ": " + why}; };
    if (data.empty()) return fail("empty file");

    std::vector<PictureDecoder> decoders;
    {
        Codecs& c = codecs();
        std::lock_guard lock(c.mutex);
        decoders = c.decoders;
    }
    for (const auto& d : decoders) {
        if (d.sniff && d.decode && d.sniff(data)) {
            PictureResult r = d.decode(data, nameForErrors);
            if (r.ok() && r.picture.isNull()) return fail("corrupt " + d.name + " data");
            return r;
        }
    }

    const Format format = sniff(data);
    int orientation = 1;
    std::vector<uint8_t> cleaned;
    switch (format) {
        case Format::PNG:
            if (auto e = checkPNG(data, cleaned); !e.empty()) return fail(e);
            if (!cleaned.empty()) data = cleaned;
            break;
        case Format::JPEG: {
            JPEGCheck c = checkJPEG(data);
            if (!c.error.empty()) return fail(c.error);
            orientation = c.orientation;
            break;
        }
        case Format::TIFF: break;
        // Only a registered decoder reads WebP; reaching here means none is linked in.
        case Format::WebP: return fail("WebP pictures are not supported in this program");
        case Format::Unknown: return fail("not a picture (unrecognised format)");
    }

    cv::Mat m;
    try {
        const cv::Mat buf(1, int(std::min<size_t>(data.size(), size_t(INT32_MAX))), CV_8U,
                          const_cast<uint8_t*>(data.data()));
        // UNCHANGED keeps alpha and 16-bit samples and leaves the orientation to us.
        m = cv::imdecode(buf, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
        m.release();
    }
    if (m.empty()) return fail(std::string("corrupt ") + formatName(format) + " data");

    PictureResult r;
    if (auto e = toRGBA8(m, r.picture); !e.empty()) return fail(e);
    r.picture.setOrientation(orientation);
    if (options.applyOrientation && orientation != 1) r.picture = r.picture.upright();
    return r;
}

PictureResult readPicture(const std::string& path, PictureDecodeOptions options) {
    std::string error;
    auto bytes = readFileBytes(path, &error);
    if (!bytes) return {{}, error};
    return decodePicture(*bytes, path, options);
}

// ---------------------------------------------------------------------------------------
// Encoding

std::vector<uint8_t> encodePicture(const Picture& picture, PictureFormat format, double quality, std::string* error) {
    silenceOpenCV();
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return std::vector<uint8_t>{};
    };
    if (picture.isNull()) return fail("empty picture");

    PictureEncoder custom;
    {
        Codecs& c = codecs();
        std::lock_guard lock(c.mutex);
        if (auto it = c.encoders.find(format); it != c.encoders.end()) custom = it->second;
    }
    if (custom) {
        std::string e;
        auto bytes = custom(picture, quality, &e);
        if (bytes.empty()) return fail(e.empty() ? "encoding failed" : e);
        return bytes;
    }

    const cv::Mat src(picture.height(), picture.width(), CV_8UC4, const_cast<uint8_t*>(picture.rgba().data()));
    cv::Mat bgr;
    std::vector<int> params;
    const char* ext = nullptr;
    switch (format) {
        case PictureFormat::PNG: {
            bool opaque = true;
            const auto& px = picture.rgba();
            for (size_t i = 3; i < px.size() && opaque; i += 4) opaque = px[i] == 255;
            // An opaque picture loses nothing without its alpha channel and is a quarter smaller.
            cv::cvtColor(src, bgr, opaque ? cv::COLOR_RGBA2BGR : cv::COLOR_RGBA2BGRA);
            ext = ".png";
            break;
        }
        case PictureFormat::JPEG:
            cv::cvtColor(src, bgr, cv::COLOR_RGBA2BGR);
            params = {cv::IMWRITE_JPEG_QUALITY, int(std::lround(std::clamp(quality, 0.0, 1.0) * 100))};
            ext = ".jpg";
            break;
        case PictureFormat::WebP: return fail("no WebP encoder is available");
    }
    std::vector<uint8_t> out;
    try {
        if (!cv::imencode(ext, bgr, out, params)) out.clear();
    } catch (const cv::Exception& e) {
        out.clear();
    }
    if (out.empty()) return fail("encoding failed");
    return out;
}

std::string writePicture(const Picture& picture, const std::string& path, PictureFormat format, double quality,
                         bool overwrite) {
    std::string error;
    auto bytes = encodePicture(picture, format, quality, &error);
    if (bytes.empty()) return path + ": " + error;
    return writeFileAtomically(path, bytes, overwrite);
}

std::optional<PictureFormat> pictureFormatForPath(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (ext == ".png") return PictureFormat::PNG;
    if (ext == ".jpg" || ext == ".jpeg") return PictureFormat::JPEG;
    if (ext == ".webp") return PictureFormat::WebP;
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Files

namespace {

std::string describeErrno(const std::string& path, int err, bool writing) {
    switch (err) {
        case ENOENT: return path + (writing ? ": no such folder" : ": no such file");
        case EACCES:
        case EPERM: return path + ": permission denied";
        case EISDIR: return path + ": is a folder";
        case ENOTDIR: return path + ": a parent is not a folder";
        case ENOSPC: return path + ": no space left on device";
        case EEXIST: return path + ": already exists";
        default: return path + ": " + std::strerror(err);
    }
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::write(fd, p, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += k;
        n -= size_t(k);
    }
    return true;
}

}  // namespace

std::string writeFileAtomically(const std::string& path, std::span<const uint8_t> bytes, bool overwrite) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    if (target.filename().empty()) return path + ": not a file name";
    struct stat st;
    if (!overwrite && ::lstat(path.c_str(), &st) == 0) return path + ": already exists";
    const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();

    // A hidden sibling, so the rename stays within one file system.
    std::random_device rd;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".tmp-%08x", unsigned(rd()));
        std::string name = ".";
        name += target.filename().string();
        name += suffix;
        tmp = (dir / name).string();
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return describeErrno(path, errno, true);
    }
    if (fd < 0) return path + ": cannot create a temporary file";

    auto abandon = [&](int err) {
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        return describeErrno(path, err, true);
    };
    if (!writeAll(fd, bytes.data(), bytes.size())) return abandon(errno);
    if (::fsync(fd) != 0) return abandon(errno);
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return abandon(errno);

    if (overwrite) {
        if (::rename(tmp.c_str(), path.c_str()) != 0) return abandon(errno);
    } else if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return abandon(errno);
        // File systems without the no-replace rename: a hard link refuses an existing name too.
        if (::link(tmp.c_str(), path.c_str()) != 0) return abandon(errno);
        ::unlink(tmp.c_str());
    }

    // Make the rename itself durable.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

std::optional<std::vector<uint8_t>> readFileBytes(const std::string& path, std::string* error) {
    auto fail = [&](int err) -> std::optional<std::vector<uint8_t>> {
        if (error) *error = describeErrno(path, err, false);
        return std::nullopt;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return fail(e);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return fail(EISDIR);
    }
    // Regular files are read straight into place; files that grow, pipes and /proc in chunks.
    std::vector<uint8_t> data(S_ISREG(st.st_mode) ? size_t(st.st_size) : 0);
    size_t used = 0;
    uint8_t chunk[1 << 14];
    for (;;) {
        const bool full = used == data.size();
        ssize_t k = full ? ::read(fd, chunk, sizeof chunk) : ::read(fd, data.data() + used, data.size() - used);
        if (k < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            return fail(e);
        }
        if (k == 0) break;
        if (full) data.insert(data.end(), chunk, chunk + k);
        used += size_t(k);
    }
    data.resize(used);
    ::close(fd);
    return data;
}

}  // namespace vellari
