// Conversions between 8-bit and float pixels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "platform/src/pixel_format_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "pixel_format_kernels.h"
#include "vellari/platform/simd.h"

#ifndef VELLARI_PIXEL_FORMAT_TABLES
#define VELLARI_PIXEL_FORMAT_TABLES
namespace vellari::detail {
namespace {

// The RGBA channel each byte of a pixel holds, per 8-bit format.
constexpr int kChannelAt[3][4] = {{0, 1, 2, 3}, {2, 1, 0, 3}, {3, 0, 1, 2}};
int orderOf(PixelFormat f) { return f == PixelFormat::BGRA8 ? 1 : f == PixelFormat::ARGB8 ? 2 : 0; }

// Byte shuffles within a 16-byte block. kPick[o][k]: from a block of four 32-bit channel
// levels (one pixel), its low bytes in format o's order, into bytes 4k .. 4k+3 (0x80
// elsewhere gives zero). kReorder[o]: four RGBA8 pixels into format o's order.
struct Tables {
    alignas(16) uint8_t pick[3][4][16];
    alignas(16) uint8_t reorder[3][16];
};
constexpr Tables makeTables() {
    Tables t{};
    for (int o = 0; o < 3; ++o) {
        for (int k = 0; k < 4; ++k)
            for (int b = 0; b < 16; ++b)
                t.pick[o][k][b] = b / 4 == k ? uint8_t(4 * kChannelAt[o][b % 4]) : uint8_t(0x80);
        for (int b = 0; b < 16; ++b) t.reorder[o][b] = uint8_t(b / 4 * 4 + kChannelAt[o][b % 4]);
    }
    return t;
}
constexpr Tables kTables = makeTables();

}  // namespace
}  // namespace vellari::detail
#endif

HWY_BEFORE_NAMESPACE();
namespace vellari::detail::pixel_formats::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// Lanes(d) / 4 pixels of bytes to floats; alpha marks the alpha lanes.
template <bool kPremultiply, class D>
HWY_INLINE void BytesToFloatsBlock(D d, hn::Mask<D> alpha, const uint8_t* HWY_RESTRICT s, float* HWY_RESTRICT out) {
    const hn::Rebind<uint8_t, D> d8;
    const hn::Rebind<int32_t, D> di;
    auto v = hn::Mul(hn::ConvertTo(d, hn::PromoteTo(di, hn::LoadU(d8, s))), hn::Set(d, 1.0f / 255.0f));
    // A pixel is one 128-bit block: lane 3 of each block is its alpha.
    if (kPremultiply) v = hn::IfThenElse(alpha, v, hn::Mul(v, hn::Broadcast<3>(v)));
    hn::StoreU(v, d, out);
}

template <class D>
HWY_INLINE hn::Mask<D> AlphaLanes(D d) {
    const hn::RebindToUnsigned<D> du;
    const auto three = hn::Set(du, 3);
    return hn::RebindMask(d, hn::Eq(hn::And(hn::Iota(du, 0), three), three));
}

template <bool kPremultiply>
HWY_INLINE void BytesToFloatsRow(const uint8_t* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n) {
    const hn::ScalableTag<float> d;
    const hn::FixedTag<float, 4> d4;
    const size_t N = hn::Lanes(d);
    const auto alpha = AlphaLanes(d);
    size_t i = 0;  // floats (bytes) done
    for (; i + N <= 4 * n; i += N) BytesToFloatsBlock<kPremultiply>(d, alpha, s + i, out + i);
    const auto alpha4 = AlphaLanes(d4);
    for (; i < 4 * n; i += 4) BytesToFloatsBlock<kPremultiply>(d4, alpha4, s + i, out + i);
}

void BytesToFloats(const uint8_t* HWY_RESTRICT s, size_t sStride, float* HWY_RESTRICT out, ptrdiff_t outStride,
                   size_t w, size_t rows, bool premultiply) {
    for (size_t y = 0; y < rows; ++y, s += sStride, out += outStride) {
        if (premultiply)
            BytesToFloatsRow<true>(s, out, w);
        else
            BytesToFloatsRow<false>(s, out, w);
    }
}

// Levels 0 .. 255 of Lanes(d) values, each in the low byte of its 32-bit lane: clamped
// (NaN to 0), times 255, plus one half, truncated. Clamping the product to [0, 255] gives
// the levels of clamping the value to [0, 1] first. (Fused or not, v · 255 + 0.5 truncates
// to the same level for every float v in [0, 1].) The whole number is moved into the low
// mantissa bits by adding 2^23, which is exact and costs less than a conversion that
// guards against overflow.
template <class D>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<D>> Levels(D d, const float* HWY_RESTRICT p) {
    const auto v = hn::Mul(hn::LoadU(d, p), hn::Set(d, 255.0f));
    const auto c = hn::IfThenElseZero(hn::Gt(v, hn::Zero(d)), hn::Min(v, hn::Set(d, 255.0f)));
    const auto whole = hn::Floor(hn::Add(c, hn::Set(d, 0.5f)));
    return hn::BitCast(hn::RebindToUnsigned<D>(), hn::Add(whole, hn::Set(d, 8388608.0f)));
}

HWY_INLINE void FloatsToBytesRow(const float* HWY_RESTRICT s, uint8_t* HWY_RESTRICT out, size_t n, int order) {
    const hn::ScalableTag<float> d;
    const hn::Repartition<uint8_t, decltype(d)> d8;
    const hn::RebindToUnsigned<decltype(d)> du;
    const size_t N = hn::Lanes(d);
    const auto& pick = kTables.pick[order];
    // Four vectors of levels give one of bytes: vector k's pixels land in bytes 4k .. 4k+3
    // of each block, so block b holds pixels b, B + b, 2B + b, 3B + b (B blocks a vector);
    // a permute of 32-bit lanes puts them in order.
    const auto p0 = hn::LoadDup128(d8, pick[0]), p1 = hn::LoadDup128(d8, pick[1]);
    const auto p2 = hn::LoadDup128(d8, pick[2]), p3 = hn::LoadDup128(d8, pick[3]);
    const size_t blocks = N / 4;
    const int shift = int(hwy::FloorLog2(blocks));  // blocks: a power of two
    const auto j = hn::Iota(du, 0);
    const auto from =
        hn::Add(hn::ShiftLeft<2>(hn::And(j, hn::Set(du, uint32_t(blocks - 1)))), hn::ShiftRightSame(j, shift));
    const auto perm = hn::IndicesFromVec(du, from);
    size_t i = 0;  // pixels done
    for (; i + N <= n; i += N) {
        const float* p = s + 4 * i;
        const auto b0 = hn::TableLookupBytesOr0(hn::BitCast(d8, Levels(d, p)), p0);
        const auto b1 = hn::TableLookupBytesOr0(hn::BitCast(d8, Levels(d, p + N)), p1);
        const auto b2 = hn::TableLookupBytesOr0(hn::BitCast(d8, Levels(d, p + 2 * N)), p2);
        const auto b3 = hn::TableLookupBytesOr0(hn::BitCast(d8, Levels(d, p + 3 * N)), p3);
        const auto all = hn::BitCast(du, hn::Or(hn::Or(b0, b1), hn::Or(b2, b3)));
        hn::StoreU(hn::BitCast(d8, hn::TableLookupLanes(all, perm)), d8, out + 4 * i);
    }
    // The rest a pixel at a time.
    const hn::FixedTag<float, 4> d4;
    const hn::Repartition<uint8_t, decltype(d4)> d48;
    const hn::RebindToUnsigned<decltype(d4)> du4;
    const auto q0 = hn::LoadU(d48, pick[0]);
    for (; i < n; ++i) {
        const auto b = hn::TableLookupBytesOr0(hn::BitCast(d48, Levels(d4, s + 4 * i)), q0);
        const uint32_t w = hn::GetLane(hn::BitCast(du4, b));
        std::memcpy(out + 4 * i, &w, 4);
    }
}

HWY_INLINE void ReorderBytesRow(const uint8_t* HWY_RESTRICT s, uint8_t* HWY_RESTRICT out, size_t n, int order) {
    const hn::ScalableTag<uint8_t> d;
    const size_t N = hn::Lanes(d);
    const auto idx = hn::LoadDup128(d, kTables.reorder[order]);
    size_t i = 0;  // bytes done
    for (; i + N <= 4 * n; i += N) hn::StoreU(hn::TableLookupBytes(hn::LoadU(d, s + i), idx), d, out + i);
    const hn::FixedTag<uint8_t, 4> d4;
    const auto idx4 = hn::LoadU(d4, kTables.reorder[order]);
    for (; i < 4 * n; i += 4) hn::StoreU(hn::TableLookupBytes(hn::LoadU(d4, s + i), idx4), d4, out + i);
}

void FloatsToBytes(const float* HWY_RESTRICT s, ptrdiff_t sStride, uint8_t* HWY_RESTRICT out, size_t outStride,
                   size_t w, size_t rows, int order) {
    for (size_t y = 0; y < rows; ++y, s += sStride, out += outStride) FloatsToBytesRow(s, out, w, order);
}

void ReorderBytes(const uint8_t* HWY_RESTRICT s, size_t sStride, uint8_t* HWY_RESTRICT out, size_t outStride,
                  size_t w, size_t rows, int order) {
    for (size_t y = 0; y < rows; ++y, s += sStride, out += outStride) ReorderBytesRow(s, out, w, order);
}

}  // namespace vellari::detail::pixel_formats::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::detail::pixel_formats {
namespace {
VELLARI_SIMD_PROBE("pixel formats")
}  // namespace

HWY_EXPORT(BytesToFloats);
HWY_EXPORT(FloatsToBytes);
HWY_EXPORT(ReorderBytes);
}  // namespace vellari::detail::pixel_formats

namespace vellari::detail {

void bytesToFloats(const uint8_t* s, size_t sStride, float* out, ptrdiff_t outStride, size_t w, size_t rows,
                   bool premultiply) {
    using namespace pixel_formats;
    VELLARI_DISPATCH(BytesToFloats)(s, sStride, out, outStride, w, rows, premultiply);
}
void floatsToBytes(const float* s, ptrdiff_t sStride, uint8_t* out, size_t outStride, size_t w, size_t rows,
                   PixelFormat format) {
    using namespace pixel_formats;
    VELLARI_DISPATCH(FloatsToBytes)(s, sStride, out, outStride, w, rows, orderOf(format));
}
void reorderBytes(const uint8_t* s, size_t sStride, uint8_t* out, size_t outStride, size_t w, size_t rows,
                  PixelFormat format) {
    if (format == PixelFormat::RGBA8) {
        for (size_t y = 0; y < rows; ++y) std::memcpy(out + y * outStride, s + y * sStride, w * 4);
        return;
    }
    using namespace pixel_formats;
    VELLARI_DISPATCH(ReorderBytes)(s, sStride, out, outStride, w, rows, orderOf(format));
}

}  // namespace vellari::detail
#endif  // HWY_ONCE
