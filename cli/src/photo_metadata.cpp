#include "photo_metadata.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

namespace vellari::cli {

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void put32(Bytes& b, size_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xffff);
}
void putText(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }

// At most `limit` bytes, never cutting a UTF-8 sequence in two.
std::string_view clipped(std::string_view s, size_t limit) {
    if (s.size() <= limit) return s;
    size_t n = limit;
    while (n > 0 && (uint8_t(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// --- JPEG: an APP13 segment holding an IPTC block, after the leading APPn segments.

void iptcDataSet(Bytes& b, int record, int dataset, std::string_view value) {
    b.push_back(0x1C);
    b.push_back(uint8_t(record));
    b.push_back(uint8_t(dataset));
    put16(b, value.size());
    putText(b, value);
}

Bytes jpegWithIptc(Bytes jpeg, const QXPhotoMetadata& m) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return jpeg;

    Bytes iptc;
    iptcDataSet(iptc, 1, 90, "\x1B%G");  // the text is UTF-8
    iptcDataSet(iptc, 2, 0, std::string_view("\x00\x04", 2));
    // The standard's field lengths: 32, 10 and 2000 bytes.
    iptcDataSet(iptc, 2, 65, clipped(m.originatingProgram, 32));
    iptcDataSet(iptc, 2, 70, clipped(m.programVersion, 10));
    iptcDataSet(iptc, 2, 120, clipped(m.caption, 2000));
    if (iptc.size() % 2) iptc.push_back(0);

    Bytes payload;
    putText(payload, std::string_view("Photoshop 3.0\0", 14));
    putText(payload, "8BIM");
    put16(payload, 0x0404);  // the IPTC resource
    put16(payload, 0);       // empty name, padded to even length
    put32(payload, iptc.size());
    payload.insert(payload.end(), iptc.begin(), iptc.end());
    if (payload.size() + 2 > 0xFFFF) return jpeg;

    Bytes segment{0xFF, 0xED};
    put16(segment, payload.size() + 2);
    segment.insert(segment.end(), payload.begin(), payload.end());

    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] >= 0xE0 && jpeg[at + 1] <= 0xEF) {
        const size_t len = (size_t(jpeg[at + 2]) << 8) | jpeg[at + 3];
        if (len < 2 || at + 2 + len > jpeg.size()) return jpeg;
        at += 2 + len;
    }
    jpeg.insert(jpeg.begin() + std::ptrdiff_t(at), segment.begin(), segment.end());
    return jpeg;
}

// --- PNG: text chunks right after the header chunk.

uint32_t crc32(const uint8_t* p, size_t n) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void pngChunk(Bytes& out, std::string_view type, const Bytes& data) {
    put32(out, data.size());
    const size_t start = out.size();
    putText(out, type);
    out.insert(out.end(), data.begin(), data.end());
    put32(out, crc32(out.data() + start, out.size() - start));
}

// International text: keyword, no compression, no language, UTF-8 text.
Bytes iTXt(std::string_view keyword, std::string_view text) {
    Bytes d;
    putText(d, keyword);
    d.insert(d.end(), {0, 0, 0, 0, 0});
    putText(d, text);
    return d;
}

Bytes pngWithText(Bytes png, const QXPhotoMetadata& m) {
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < 33 || !std::equal(kSignature, kSignature + 8, png.begin())) return png;
    if (std::string_view(reinterpret_cast<const char*>(png.data() + 12), 4) != "IHDR") return png;
    const size_t ihdrEnd = 8 + 12 + ((size_t(png[8]) << 24) | (size_t(png[9]) << 16) | (size_t(png[10]) << 8) | png[11]);
    if (ihdrEnd > png.size()) return png;

    Bytes chunks;
    std::string software = m.originatingProgram;
    if (!m.programVersion.empty()) software += " " + m.programVersion;
    pngChunk(chunks, "iTXt", iTXt("Software", software));
    pngChunk(chunks, "iTXt", iTXt("Description", m.caption));
    png.insert(png.begin() + std::ptrdiff_t(ihdrEnd), chunks.begin(), chunks.end());
    return png;
}

}  // namespace

std::vector<uint8_t> withPhotoMetadata(std::vector<uint8_t> encoded, PictureFormat format,
                                       const QXPhotoMetadata& metadata) {
    switch (format) {
        case PictureFormat::JPEG: return jpegWithIptc(std::move(encoded), metadata);
        case PictureFormat::PNG: return pngWithText(std::move(encoded), metadata);
        case PictureFormat::WebP: break;
    }
    return encoded;
}

}  // namespace vellari::cli
