// The pixel kernels: the PNG row filters undone, one row or two, four or
// eight at a time, and the red/blue swap and alpha drop, each as a plain loop
// and, on x86, as SSE2 (SSSE3, SSE4.1, AVX2 where the processor has them)
// code chosen at run time.
#include "core/kernels.hpp"

#include <cstring>
#include <type_traits>
#include <utility>

#include "core/paths.hpp"

// The vector kernels need SSE2 as a baseline: always there on x86-64, and
// on 32-bit x86 only when the compiler was told so. MV_FORCE_SCALAR builds
// the plain kernels alone, as machines without vector code run them.
// MV_FORCE_SSE2 (a build of the native checks) keeps the vector kernels but
// takes no SSSE3, SSE4.1 or AVX2 path, as a processor with SSE2 alone runs
// them; MV_NO_AVX2 (another) takes every path but AVX2's, as a processor
// without AVX2 runs them.
#if !defined(MV_FORCE_SCALAR) && (defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__)))
#define MV_X86 1
#include <emmintrin.h>
#include <immintrin.h>
#include <smmintrin.h>
#include <tmmintrin.h>
#endif

namespace mv {

// ---------------------------------------------------------------------------
// Row filters, byte by byte

bool unfilterRowScalar(int filterType, const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length,
                       int bytesPerPixel) {
    if (length == 0) return true;
    if (filterType < 0 || filterType > 4) return false;
    const size_t bpp = static_cast<size_t>(bytesPerPixel);
    for (size_t i = 0; i < length; ++i) {
        const int left = i >= bpp ? recon[i - bpp] : 0;
        const int up = prev ? prev[i] : 0;
        const int upLeft = (i >= bpp && prev) ? prev[i - bpp] : 0;
        int value = row[i];
        switch (filterType) {
            case 1: value += left; break;
            case 2: value += up; break;
            case 3: value += (left + up) >> 1; break;
            case 4: value += paethPredictor(left, up, upLeft); break;
            default: break;
        }
        recon[i] = static_cast<uint8_t>(value);
    }
    return true;
}

void swapRedBlueScalar(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels * 3; i += 3) {
        dst[i] = src[i + 2];
        dst[i + 1] = src[i + 1];
        dst[i + 2] = src[i];
    }
}

void dropAlphaScalar(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t p = 0; p < pixels; ++p) std::memcpy(dst + p * 3, src + p * 4, 3);
}

#ifdef MV_X86

namespace {

// Pixel-at-a-time loads and stores of N (3 or 4) bytes into the low lanes.
// N is a compile-time constant so that they compile to plain moves and the
// running pixel stays in a register.
template <size_t N>
inline __m128i load(const uint8_t* p) {
    int32_t v = 0;
    std::memcpy(&v, p, N);
    return _mm_cvtsi32_si128(v);
}

template <size_t N>
inline void store(uint8_t* p, __m128i x) {
    const int32_t v = _mm_cvtsi128_si32(x);
    std::memcpy(p, &v, N);
}

template <size_t N>
using Width = std::integral_constant<size_t, N>;

// Walks the pixels of a row: `step(i, Width<n>)` for the pixel at byte i,
// with n = 4 wherever four bytes can be touched there (the fourth belongs to
// the next pixel and is rewritten by it) and n = BPP for the last pixel.
template <size_t BPP, class Step>
inline void eachPixel(size_t length, Step&& step) {
    size_t i = 0;
    for (; i + 4 <= length; i += BPP) step(i, Width<4>{});
    for (; i < length; i += BPP) step(i, Width<BPP>{});
}

template <size_t BPP>
void sub(const uint8_t* row, uint8_t* recon, size_t length) {
    __m128i a = _mm_setzero_si128();
    eachPixel<BPP>(length, [&](size_t i, auto n) {
        constexpr size_t N = decltype(n)::value;
        a = _mm_add_epi8(a, load<N>(row + i));
        store<N>(recon + i, a);
    });
}

// Sub over whole vectors: within 16 bytes, the running sum of the pixels
// (each lane plus the lanes one, two and four pixels back: a prefix sum in
// three steps), plus the sum of the vectors before, spread over every pixel.
// That carry grows by each vector's last pixel summed, so the vectors wait
// on one another for one addition only. Four-byte pixels take four per
// vector; three-byte ones five (the sixteenth byte, stored too, is rewritten
// by the next vector), their last pixel spread with SSSE3's shuffle.
void sub4Prefix(const uint8_t* row, uint8_t* recon, size_t length) {
    __m128i last = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= length; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(recon + i), _mm_add_epi8(x, last));
        last = _mm_add_epi8(last, _mm_shuffle_epi32(x, 0xFF));
    }
    for (; i < length; i += 4) {
        last = _mm_add_epi8(last, load<4>(row + i));
        store<4>(recon + i, last);
    }
}

__attribute__((target("ssse3"))) void sub3PrefixSsse3(const uint8_t* row, uint8_t* recon, size_t length) {
    const __m128i spread = _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12);
    __m128i last = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= length; i += 15) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 3));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 6));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(recon + i), _mm_add_epi8(x, last));
        last = _mm_add_epi8(last, _mm_shuffle_epi8(x, spread));
    }
    // The rest pixel by pixel, from the last pixel done (in the low lanes).
    eachPixel<3>(length - i, [&](size_t k, auto n) {
        constexpr size_t N = decltype(n)::value;
        last = _mm_add_epi8(last, load<N>(row + i + k));
        store<N>(recon + i + k, last);
    });
}

void up(const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length) {
    size_t i = 0;
    for (; i + 16 <= length; i += 16) {
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(recon + i), _mm_add_epi8(r, p));
    }
    for (; i < length; ++i) recon[i] = static_cast<uint8_t>(row[i] + prev[i]);
}

template <size_t BPP>
void average(const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length) {
    const __m128i one = _mm_set1_epi8(1);
    __m128i a = _mm_setzero_si128();
    eachPixel<BPP>(length, [&](size_t i, auto n) {
        constexpr size_t N = decltype(n)::value;
        const __m128i b = prev ? load<N>(prev + i) : _mm_setzero_si128();
        // (a + b) >> 1 without overflow: the rounded-up mean, less the
        // rounding bit.
        __m128i avg = _mm_avg_epu8(a, b);
        avg = _mm_sub_epi8(avg, _mm_and_si128(_mm_xor_si128(a, b), one));
        a = _mm_add_epi8(load<N>(row + i), avg);
        store<N>(recon + i, a);
    });
}

inline __m128i abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// One pixel of each filter that looks up, on 16-bit lanes holding bytes:
// a left, b up, c upper left, d the filtered pixel. Byte-wise addition
// wraps modulo 256 and keeps the high bytes zero.
struct PaethStep {
    static inline __m128i apply(__m128i a, __m128i b, __m128i c, __m128i d) {
        __m128i pa = _mm_sub_epi16(b, c);    // p - a
        __m128i pb = _mm_sub_epi16(a, c);    // p - b
        __m128i pc = _mm_add_epi16(pa, pb);  // p - c
        pa = abs16(pa);
        pb = abs16(pb);
        pc = abs16(pc);
        const __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        const __m128i nearest = select(_mm_cmpeq_epi16(smallest, pa), a, select(_mm_cmpeq_epi16(smallest, pb), b, c));
        return _mm_add_epi8(d, nearest);
    }
};

struct AverageStep {
    static inline __m128i apply(__m128i a, __m128i b, __m128i, __m128i d) {
        return _mm_add_epi8(d, _mm_srli_epi16(_mm_add_epi16(a, b), 1));
    }
};

template <size_t N>
inline __m128i load16(const uint8_t* p) {
    return _mm_unpacklo_epi8(load<N>(p), _mm_setzero_si128());
}

template <size_t N>
inline void store16(uint8_t* p, __m128i x) {
    store<N>(p, _mm_packus_epi16(x, x));
}

template <size_t BPP>
void paeth(const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length) {
    __m128i a = _mm_setzero_si128(), c = a;
    eachPixel<BPP>(length, [&](size_t i, auto n) {
        constexpr size_t N = decltype(n)::value;
        const __m128i b = load16<N>(prev + i);
        a = PaethStep::apply(a, b, c, load16<N>(row + i));
        store16<N>(recon + i, a);
        c = b;
    });
}

// Paeth with SSE4.1, for a row alone: only the left bytes `a` come from the
// pixel before; the up and upper-left bytes b and c are known beforehand. So
// the predictor is turned into thresholds on `a`, worked out from b and c
// beside the chain, and what is left on it is three comparisons and two
// blends. With e = b - c, the predictor is a unless a lies strictly between
// b and 3c - 2b (only there is b or c nearer the estimate a + b - c than a
// is). There it is b where e * (2a + b - 3c) >= 0, else c: for e > 0, b
// where a > (3c - b - 1) >> 1; for e < 0, c where a > (3c - b) >> 1.
template <size_t N>
__attribute__((target("sse4.1"))) inline void paethPixel41(const uint8_t* row, const uint8_t* prev, uint8_t* recon,
                                                           size_t i, __m128i& a, __m128i& c) {
    const __m128i b = load16<N>(prev + i);
    const __m128i k = _mm_sub_epi16(_mm_add_epi16(c, _mm_add_epi16(c, c)), b);  // 3c - b
    const __m128i far = _mm_sub_epi16(k, b);                                    // 3c - 2b
    const __m128i low = _mm_min_epi16(b, far), high = _mm_max_epi16(b, far);
    const __m128i cAboveB = _mm_cmpgt_epi16(c, b);  // e < 0
    const __m128i half = _mm_srai_epi16(_mm_sub_epi16(k, _mm_andnot_si128(cAboveB, _mm_set1_epi16(1))), 1);
    // The pick where a > half, and the other.
    const __m128i above = _mm_blendv_epi8(b, c, cAboveB), below = _mm_blendv_epi8(c, b, cAboveB);
    const __m128i notA = _mm_and_si128(_mm_cmpgt_epi16(a, low), _mm_cmpgt_epi16(high, a));
    const __m128i bOrC = _mm_blendv_epi8(below, above, _mm_cmpgt_epi16(a, half));
    a = _mm_add_epi8(load16<N>(row + i), _mm_blendv_epi8(a, bOrC, notA));
    store16<N>(recon + i, a);
    c = b;
}

template <size_t BPP>
__attribute__((target("sse4.1"))) void paeth41(const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length) {
    __m128i a = _mm_setzero_si128(), c = a;
    size_t i = 0;
    for (; i + 4 <= length; i += BPP) paethPixel41<4>(row, prev, recon, i, a, c);
    for (; i < length; i += BPP) paethPixel41<BPP>(row, prev, recon, i, a, c);
}

// Two consecutive rows at once, the second one pixel behind the first: each
// pixel depends on the one to its left, so one row alone leaves the processor
// waiting; two independent chains keep it busy. The second row's up and upper
// left bytes are the first row's results, passed on in registers.
template <size_t BPP, class StepA, class StepB>
void rowPair(const uint8_t* rowA, const uint8_t* rowB, const uint8_t* prev, uint8_t* reconA, uint8_t* reconB,
             size_t length) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, c = zero;    // first row
    __m128i aB = zero, cB = zero;  // second row
    bool first = true;
    eachPixel<BPP>(length, [&](size_t i, auto n) {
        constexpr size_t N = decltype(n)::value;
        const __m128i b = load16<N>(prev + i);
        const __m128i d = StepA::apply(a, b, c, load16<N>(rowA + i));
        store16<N>(reconA + i, d);
        c = b;
        if (!first) {
            // The second row's pixel to the left of i: its up byte is `a`.
            const size_t j = i - BPP;  // j + 4 <= i + 1 <= length
            aB = StepB::apply(aB, a, cB, load16<4>(rowB + j));
            store16<4>(reconB + j, aB);
            cB = a;
        }
        first = false;
        a = d;
    });
    const size_t j = length - BPP;
    aB = StepB::apply(aB, a, cB, load16<BPP>(rowB + j));
    store16<BPP>(reconB + j, aB);
}

// The same two rows in one register, with SSE4.1: row A's pixel at byte i
// in the low four 16-bit lanes, row B's pixel at byte i - BPP in the high
// four, so one step of the arithmetic serves both rows. Row B's up bytes
// are row A's previous result, and its upper-left bytes the step before's
// up bytes. FA and FB are the rows' filters (3 Average, 4 Paeth).
template <int FA, int FB>
__attribute__((target("sse4.1"))) inline __m128i pairStep41(__m128i a, __m128i b, __m128i c, __m128i d) {
    __m128i paeth = a, average = a;
    if (FA == 4 || FB == 4) {
        __m128i pa = _mm_sub_epi16(b, c);  // p - a
        __m128i pb = _mm_sub_epi16(a, c);  // p - b
        const __m128i pc = _mm_abs_epi16(_mm_add_epi16(pa, pb));
        pa = _mm_abs_epi16(pa);
        pb = _mm_abs_epi16(pb);
        // b unless c is nearer; then a unless b or c is nearer than a.
        const __m128i bOrC = _mm_blendv_epi8(b, c, _mm_cmpgt_epi16(pb, pc));
        paeth = _mm_blendv_epi8(a, bOrC, _mm_cmpgt_epi16(pa, _mm_min_epi16(pb, pc)));
    }
    if (FA == 3 || FB == 3) average = _mm_srli_epi16(_mm_add_epi16(a, b), 1);
    __m128i predicted;
    if (FA == FB)
        predicted = FA == 4 ? paeth : average;
    else if (FA == 4)
        predicted = _mm_blend_epi16(paeth, average, 0xF0);
    else
        predicted = _mm_blend_epi16(average, paeth, 0xF0);
    return _mm_add_epi8(d, predicted);
}

template <size_t BPP, int FA, int FB, size_t N>
__attribute__((target("sse4.1"))) inline void pairPixel41(const uint8_t* rowA, const uint8_t* rowB, const uint8_t* prev,
                                                          uint8_t* reconA, uint8_t* reconB, size_t i, __m128i& res,
                                                          __m128i& c) {
    const __m128i zero = _mm_setzero_si128();
    // Row B's pixel at i - BPP; none beside row A's first pixel (its half
    // stays zero: B's first left and upper-left bytes).
    const __m128i filteredB = i >= BPP ? load<4>(rowB + i - BPP) : zero;
    const __m128i d = _mm_unpacklo_epi8(_mm_unpacklo_epi32(load<N>(rowA + i), filteredB), zero);
    const __m128i b = _mm_unpacklo_epi64(_mm_unpacklo_epi8(load<N>(prev + i), zero), res);
    res = pairStep41<FA, FB>(res, b, c, d);
    c = b;
    const __m128i packed = _mm_packus_epi16(res, res);
    store<N>(reconA + i, packed);
    if (i >= BPP) store<4>(reconB + i - BPP, _mm_srli_epi64(packed, 32));
}

template <size_t BPP, int FA, int FB>
__attribute__((target("sse4.1"))) void rowPair41(const uint8_t* rowA, const uint8_t* rowB, const uint8_t* prev,
                                                 uint8_t* reconA, uint8_t* reconB, size_t length) {
    __m128i res = _mm_setzero_si128(), c = res;
    size_t i = 0;
    for (; i + 4 <= length; i += BPP) pairPixel41<BPP, FA, FB, 4>(rowA, rowB, prev, reconA, reconB, i, res, c);
    for (; i < length; i += BPP) pairPixel41<BPP, FA, FB, BPP>(rowA, rowB, prev, reconA, reconB, i, res, c);
    // Row B's last pixel; row A's half is done.
    const __m128i zero = _mm_setzero_si128();
    const size_t j = length - BPP;
    const __m128i d = _mm_unpacklo_epi8(_mm_unpacklo_epi32(zero, load<BPP>(rowB + j)), zero);
    const __m128i b = _mm_unpacklo_epi64(zero, res);
    res = pairStep41<FA, FB>(res, b, c, d);
    store<BPP>(reconB + j, _mm_srli_epi64(_mm_packus_epi16(res, res), 32));
}

// Four consecutive rows at once, each a pixel behind the one before: two
// registers as above, rows A and B in one, C and D in the other. Row C's up
// bytes are row B's previous result and row D's row C's, so the second
// register's up bytes are the high half of the first and the low half of
// itself, one step back; each register's upper-left bytes are its up bytes
// of the step before. The two registers' chains run side by side, which a
// pair alone leaves the processor idle for. Step s takes each row's pixel
// at byte (s - k) * BPP, k its place among the four, where the row has one;
// elsewhere its lanes hold zeros (the left and upper-left bytes of a row's
// first pixel) until it starts, and are left unused once it has ended.
template <size_t BPP>
__attribute__((target("sse4.1"))) inline __m128i pixelOf(const uint8_t* row, size_t i, size_t lag, size_t length) {
    if (i < lag || i - lag >= length) return _mm_setzero_si128();
    return i - lag + 4 <= length ? load<4>(row + i - lag) : load<BPP>(row + i - lag);
}

template <size_t BPP>
__attribute__((target("sse4.1"))) inline void storePixel(uint8_t* recon, size_t i, size_t lag, size_t length,
                                                         __m128i x) {
    if (i < lag || i - lag >= length) return;
    if (i - lag + 4 <= length)
        store<4>(recon + i - lag, x);
    else
        store<BPP>(recon + i - lag, x);
}

struct QuadState {
    __m128i first, second, upperLeft1, upperLeft2;
};

// One step; Whole: every row has a pixel at byte i of its own, with four
// bytes to touch there.
template <size_t BPP, int FA, int FB, int FC, int FD, bool Whole>
__attribute__((target("sse4.1"))) inline void quadStep41(QuadState& q, const uint8_t* const* rows, const uint8_t* prev,
                                                         uint8_t* const* recon, size_t i, size_t length) {
    const __m128i zero = _mm_setzero_si128();
    auto in = [&](const uint8_t* row, size_t lag) {
        return Whole ? load<4>(row + i - lag) : pixelOf<BPP>(row, i, lag, length);
    };
    auto out = [&](uint8_t* row, size_t lag, __m128i x) {
        if (Whole)
            store<4>(row + i - lag, x);
        else
            storePixel<BPP>(row, i, lag, length, x);
    };
    const __m128i d1 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(in(rows[0], 0), in(rows[1], BPP)), zero);
    const __m128i d2 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(in(rows[2], 2 * BPP), in(rows[3], 3 * BPP)), zero);
    const __m128i up1 = _mm_unpacklo_epi64(_mm_unpacklo_epi8(in(prev, 0), zero), q.first);
    const __m128i up2 = _mm_alignr_epi8(q.second, q.first, 8);
    q.first = pairStep41<FA, FB>(q.first, up1, q.upperLeft1, d1);
    q.second = pairStep41<FC, FD>(q.second, up2, q.upperLeft2, d2);
    q.upperLeft1 = up1;
    q.upperLeft2 = up2;
    const __m128i packed1 = _mm_packus_epi16(q.first, q.first), packed2 = _mm_packus_epi16(q.second, q.second);
    out(recon[0], 0, packed1);
    out(recon[1], BPP, _mm_srli_epi64(packed1, 32));
    out(recon[2], 2 * BPP, packed2);
    out(recon[3], 3 * BPP, _mm_srli_epi64(packed2, 32));
}

template <size_t BPP, int FA, int FB, int FC, int FD>
__attribute__((target("sse4.1"))) void rowQuad41(const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon,
                                                 size_t length) {
    const __m128i zero = _mm_setzero_si128();
    QuadState q{zero, zero, zero, zero};
    const size_t end = length + 3 * BPP;
    size_t i = 0;
    for (; i < end && i < 3 * BPP; i += BPP) quadStep41<BPP, FA, FB, FC, FD, false>(q, rows, prev, recon, i, length);
    for (; i + 4 <= length; i += BPP) quadStep41<BPP, FA, FB, FC, FD, true>(q, rows, prev, recon, i, length);
    for (; i < end; i += BPP) quadStep41<BPP, FA, FB, FC, FD, false>(q, rows, prev, recon, i, length);
}

bool haveSse41() {
#ifdef MV_FORCE_SSE2
    return false;
#else
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.1") != 0;
    }();
    return have;
#endif
}

template <size_t BPP>
bool pairFor(int filterA, int filterB, const uint8_t* rowA, const uint8_t* rowB, const uint8_t* prev, uint8_t* reconA,
             uint8_t* reconB, size_t length) {
    // Only pairs of valid filter bytes may reach the combined key below: an
    // invalid byte is left to the row-by-row path, which refuses it.
    if (filterA < 3 || filterA > 4 || filterB < 3 || filterB > 4) return false;
    if (haveSse41()) {
        countPath(Path::Sse41Pairs);
        switch (filterA * 8 + filterB) {
            case 3 * 8 + 3: rowPair41<BPP, 3, 3>(rowA, rowB, prev, reconA, reconB, length); return true;
            case 3 * 8 + 4: rowPair41<BPP, 3, 4>(rowA, rowB, prev, reconA, reconB, length); return true;
            case 4 * 8 + 3: rowPair41<BPP, 4, 3>(rowA, rowB, prev, reconA, reconB, length); return true;
            case 4 * 8 + 4: rowPair41<BPP, 4, 4>(rowA, rowB, prev, reconA, reconB, length); return true;
            default: return false;  // GCOVR_EXCL_LINE unreachable: only 3 and 4 pass the test above
        }
    }
    switch (filterA * 8 + filterB) {
        case 3 * 8 + 3: rowPair<BPP, AverageStep, AverageStep>(rowA, rowB, prev, reconA, reconB, length); return true;
        case 3 * 8 + 4: rowPair<BPP, AverageStep, PaethStep>(rowA, rowB, prev, reconA, reconB, length); return true;
        case 4 * 8 + 3: rowPair<BPP, PaethStep, AverageStep>(rowA, rowB, prev, reconA, reconB, length); return true;
        case 4 * 8 + 4: rowPair<BPP, PaethStep, PaethStep>(rowA, rowB, prev, reconA, reconB, length); return true;
        default: return false;  // GCOVR_EXCL_LINE unreachable: only 3 and 4 pass the test above
    }
}

// The four rows' filters, each 3 or 4, as one number: bit k set for Paeth.
template <size_t BPP, int Key>
void quadAs(const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon, size_t length) {
    rowQuad41<BPP, 3 + (Key & 1), 3 + ((Key >> 1) & 1), 3 + ((Key >> 2) & 1), 3 + ((Key >> 3) & 1)>(rows, prev, recon,
                                                                                                    length);
}

template <size_t BPP, int... Keys>
void quadFor(int key, const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon, size_t length,
             std::integer_sequence<int, Keys...>) {
    using Kernel = void (*)(const uint8_t* const*, const uint8_t*, uint8_t* const*, size_t);
    static constexpr Kernel kernels[] = {&quadAs<BPP, Keys>...};
    kernels[key](rows, prev, recon, length);
}

bool haveSsse3() {
#ifdef MV_FORCE_SSE2
    return false;
#else
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return have;
#endif
}

bool haveAvx2() {
#if defined(MV_FORCE_SSE2) || defined(MV_NO_AVX2)
    return false;
#else
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return have;
#endif
}

// Which quarters of a register hold rows of each filter (all ones there).
struct OctLanes {
    __m256i paeth, slow, sub, up;  // slow: Average or Paeth
};

// Eight consecutive rows at once, with AVX2: as the four above, in two
// 256-bit registers of four rows each (16-bit lanes; row k's pixel at byte
// i - k * BPP in quarter k % 4 of register k / 4, at step i). A register's
// up bytes are its own results of the step before moved up a quarter, its
// lowest quarter taking the row above's pixel (first register) or the first
// register's highest quarter (second); its upper-left bytes are its up bytes
// of the step before. Mode 4 undoes eight Paeth rows, 3 eight Average rows,
// 0 a mix of the two, Paeth in the quarters `lanes.paeth` sets; 5 any mix of
// the five filters, as `lanes` sets.
template <int Mode>
__attribute__((target("avx2"), always_inline)) inline __m256i octPredict(__m256i a, __m256i b, __m256i c, __m256i d,
                                                                         const OctLanes& lanes) {
    const __m256i paeth = lanes.paeth;
    __m256i byPaeth = a, byAverage = a;
    if (Mode != 3) {
        __m256i pa = _mm256_sub_epi16(b, c);  // p - a
        __m256i pb = _mm256_sub_epi16(a, c);  // p - b
        const __m256i pc = _mm256_abs_epi16(_mm256_add_epi16(pa, pb));
        pa = _mm256_abs_epi16(pa);
        pb = _mm256_abs_epi16(pb);
        const __m256i bOrC = _mm256_blendv_epi8(b, c, _mm256_cmpgt_epi16(pb, pc));
        byPaeth = _mm256_blendv_epi8(a, bOrC, _mm256_cmpgt_epi16(pa, _mm256_min_epi16(pb, pc)));
    }
    if (Mode != 4) byAverage = _mm256_srli_epi16(_mm256_add_epi16(a, b), 1);
    __m256i predicted;
    if (Mode == 4) {
        predicted = byPaeth;
    } else if (Mode == 3) {
        predicted = byAverage;
    } else {
        predicted = _mm256_blendv_epi8(byAverage, byPaeth, paeth);
        if (Mode == 5) {
            // None: zero; Sub: the left bytes; Up: the up bytes.
            const __m256i fast = _mm256_blendv_epi8(_mm256_and_si256(b, lanes.up), a, lanes.sub);
            predicted = _mm256_blendv_epi8(fast, predicted, lanes.slow);
        }
    }
    return _mm256_add_epi8(d, predicted);
}

// Row `row`'s pixel at byte i - lag as the bits of a 32-bit lane, and back:
// four bytes where Whole says there are four, else as pixelOf and
// storePixel above take them.
template <size_t BPP, bool Whole>
__attribute__((target("sse4.1"), always_inline)) inline int32_t octIn(const uint8_t* row, size_t i, size_t lag,
                                                                      size_t length) {
    return _mm_cvtsi128_si32(Whole ? load<4>(row + i - lag) : pixelOf<BPP>(row, i, lag, length));
}

template <size_t BPP, bool Whole>
__attribute__((target("sse4.1"), always_inline)) inline void octOut(uint8_t* row, size_t i, size_t lag, size_t length,
                                                                    int32_t v) {
    if (Whole)
        store<4>(row + i - lag, _mm_cvtsi32_si128(v));
    else
        storePixel<BPP>(row, i, lag, length, _mm_cvtsi32_si128(v));
}

struct OctState {
    __m256i first, second, upperLeft1, upperLeft2;
};

// Rows k to k + 3's pixels of step i, widened to 16-bit lanes.
template <size_t BPP, bool Whole>
__attribute__((target("avx2"), always_inline)) inline __m256i octGather(const uint8_t* const* rows, size_t k, size_t i,
                                                                        size_t length) {
    const int32_t p0 = octIn<BPP, Whole>(rows[k], i, k * BPP, length),
                  p1 = octIn<BPP, Whole>(rows[k + 1], i, (k + 1) * BPP, length),
                  p2 = octIn<BPP, Whole>(rows[k + 2], i, (k + 2) * BPP, length),
                  p3 = octIn<BPP, Whole>(rows[k + 3], i, (k + 3) * BPP, length);
    __m128i v = _mm_cvtsi32_si128(p0);
    v = _mm_insert_epi32(v, p1, 1);
    v = _mm_insert_epi32(v, p2, 2);
    v = _mm_insert_epi32(v, p3, 3);
    return _mm256_cvtepu8_epi16(v);
}

template <size_t BPP, bool Whole>
__attribute__((target("avx2"), always_inline)) inline void octScatter(uint8_t* const* recon, size_t k, size_t i,
                                                                      size_t length, __m256i x) {
    const __m256i packed = _mm256_packus_epi16(x, x);
    const __m128i low = _mm256_castsi256_si128(packed), high = _mm256_extracti128_si256(packed, 1);
    octOut<BPP, Whole>(recon[k], i, k * BPP, length, _mm_cvtsi128_si32(low));
    octOut<BPP, Whole>(recon[k + 1], i, (k + 1) * BPP, length, _mm_extract_epi32(low, 1));
    octOut<BPP, Whole>(recon[k + 2], i, (k + 2) * BPP, length, _mm_cvtsi128_si32(high));
    octOut<BPP, Whole>(recon[k + 3], i, (k + 3) * BPP, length, _mm_extract_epi32(high, 1));
}

template <size_t BPP, int Mode, bool Whole>
__attribute__((target("avx2"), always_inline)) inline void octStep(OctState& q, const uint8_t* const* rows,
                                                                   const uint8_t* prev, uint8_t* const* recon, size_t i,
                                                                   size_t length, const OctLanes& paeth1,
                                                                   const OctLanes& paeth2) {
    const __m256i d1 = octGather<BPP, Whole>(rows, 0, i, length), d2 = octGather<BPP, Whole>(rows, 4, i, length);
    const __m128i above = _mm_cvtepu8_epi16(_mm_cvtsi32_si128(octIn<BPP, Whole>(prev, i, 0, length)));
    const __m256i turned1 = _mm256_permute4x64_epi64(q.first, _MM_SHUFFLE(2, 1, 0, 3));
    const __m256i turned2 = _mm256_permute4x64_epi64(q.second, _MM_SHUFFLE(2, 1, 0, 3));
    const __m256i up1 = _mm256_blend_epi32(turned1, _mm256_castsi128_si256(above), 0x03);
    const __m256i up2 = _mm256_blend_epi32(turned2, turned1, 0x03);
    q.first = octPredict<Mode>(q.first, up1, q.upperLeft1, d1, paeth1);
    q.second = octPredict<Mode>(q.second, up2, q.upperLeft2, d2, paeth2);
    q.upperLeft1 = up1;
    q.upperLeft2 = up2;
    octScatter<BPP, Whole>(recon, 0, i, length, q.first);
    octScatter<BPP, Whole>(recon, 4, i, length, q.second);
}

template <size_t BPP, int Mode>
__attribute__((target("avx2"))) void rowOctAvx2(const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon,
                                                size_t length, OctLanes paeth1, OctLanes paeth2) {
    const __m256i zero = _mm256_setzero_si256();
    OctState q{zero, zero, zero, zero};
    const size_t end = length + 7 * BPP;
    size_t i = 0;
    for (; i < end && i < 7 * BPP; i += BPP) octStep<BPP, Mode, false>(q, rows, prev, recon, i, length, paeth1, paeth2);
    for (; i + 4 <= length; i += BPP) octStep<BPP, Mode, true>(q, rows, prev, recon, i, length, paeth1, paeth2);
    for (; i < end; i += BPP) octStep<BPP, Mode, false>(q, rows, prev, recon, i, length, paeth1, paeth2);
}

// All ones in quarter j where rows k + j's filter is one of `which`.
__attribute__((target("avx2"))) inline __m256i octQuarters(const int* filters, int k, int which1, int which2 = -1) {
    auto lane = [&](int j) -> long long { return filters[k + j] == which1 || filters[k + j] == which2 ? -1 : 0; };
    return _mm256_setr_epi64x(lane(0), lane(1), lane(2), lane(3));
}

__attribute__((target("avx2"))) inline OctLanes octLanes(const int* filters, int k) {
    return {octQuarters(filters, k, 4), octQuarters(filters, k, 3, 4), octQuarters(filters, k, 1),
            octQuarters(filters, k, 2)};
}

// The eight rows' filters, each 0 to 4, four or more of them Average or Paeth.
template <size_t BPP>
__attribute__((target("avx2"))) void octFor(const int* filters, const uint8_t* const* rows, const uint8_t* prev,
                                            uint8_t* const* recon, size_t length) {
    int paeth = 0, average = 0;
    for (int k = 0; k < 8; ++k) {
        paeth += filters[k] == 4;
        average += filters[k] == 3;
    }
    const OctLanes none{};
    if (paeth == 8) return rowOctAvx2<BPP, 4>(rows, prev, recon, length, none, none);
    if (average == 8) return rowOctAvx2<BPP, 3>(rows, prev, recon, length, none, none);
    if (paeth + average == 8)
        return rowOctAvx2<BPP, 0>(rows, prev, recon, length, octLanes(filters, 0), octLanes(filters, 4));
    rowOctAvx2<BPP, 5>(rows, prev, recon, length, octLanes(filters, 0), octLanes(filters, 4));
}

// Up, 32 bytes at a time.
__attribute__((target("avx2"))) void upAvx2(const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length) {
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i));
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prev + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(recon + i), _mm256_add_epi8(r, p));
    }
    up(row + i, prev + i, recon + i, length - i);
}

// Ten pixels per step: five in each half, from 15 bytes apart; the
// sixteenth byte of each half is rewritten by the next half stored.
__attribute__((target("avx2"))) void swapRedBlueAvx2(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const size_t total = pixels * 3;
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15, 2, 1, 0, 5, 4, 3, 8, 7,
                                           6, 11, 10, 9, 14, 13, 12, 15);
    size_t i = 0;
    for (; i + 31 <= total; i += 30) {
        const __m256i v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(src + i + 15),
                                              reinterpret_cast<const __m128i*>(src + i));
        const __m256i w = _mm256_shuffle_epi8(v, order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm256_castsi256_si128(w));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 15), _mm256_extracti128_si256(w, 1));
    }
    swapRedBlueScalar(src + i, dst + i, (total - i) / 3);
}

// Eight pixels per step: each half's four pixels packed into its low 12
// bytes, then the halves joined; the 8 bytes stored past them are rewritten
// by the next step.
__attribute__((target("avx2"))) void dropAlphaAvx2(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const __m256i order = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6, 8,
                                           9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    size_t p = 0;
    for (; p + 11 <= pixels; p += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + p * 4));
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, order), join);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + p * 3), packed);
    }
    dropAlphaScalar(src + p * 4, dst + p * 3, pixels - p);
}

__attribute__((target("ssse3"))) void swapRedBlueSsse3(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const size_t total = pixels * 3;
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t i = 0;
    // Five whole pixels per step; the sixteenth byte is rewritten by the next.
    for (; i + 16 <= total; i += 15) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_shuffle_epi8(v, order));
    }
    swapRedBlueScalar(src + i, dst + i, (total - i) / 3);
}

__attribute__((target("ssse3"))) void dropAlphaSsse3(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    size_t p = 0;
    // Four pixels per step; the last four bytes stored are rewritten by the next.
    for (; p + 6 <= pixels; p += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + p * 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + p * 3), _mm_shuffle_epi8(v, order));
    }
    dropAlphaScalar(src + p * 4, dst + p * 3, pixels - p);
}

// Sub, the fastest way this processor has.
template <size_t BPP>
void subFastest(const uint8_t* row, uint8_t* recon, size_t length) {
    if (BPP == 4)
        sub4Prefix(row, recon, length);
    else if (haveSsse3())
        sub3PrefixSsse3(row, recon, length);
    else
        sub<BPP>(row, recon, length);
}

template <size_t BPP>
bool unfilterVector(int filterType, const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length) {
    countPath(Path::VectorRows);
    switch (filterType) {
        case 0: std::memcpy(recon, row, length); return true;
        case 1: subFastest<BPP>(row, recon, length); return true;
        case 2:
            if (prev && haveAvx2())
                upAvx2(row, prev, recon, length);
            else if (prev)
                up(row, prev, recon, length);
            else
                std::memcpy(recon, row, length);
            return true;
        case 3: average<BPP>(row, prev, recon, length); return true;
        case 4:
            // On the first row the predictor always picks the left byte.
            if (prev && haveSse41())
                paeth41<BPP>(row, prev, recon, length);
            else if (prev)
                paeth<BPP>(row, prev, recon, length);
            else
                subFastest<BPP>(row, recon, length);
            return true;
        default: return false;
    }
}

// The filters of n rows as bits, bit k set where row k is Paeth; -1 unless
// every one is Average or Paeth, or where the rows cannot be taken together.
int severalKey(const int* filters, int n, size_t length, const uint8_t* prev, int bytesPerPixel) {
    if (length == 0 || !prev || (bytesPerPixel != 3 && bytesPerPixel != 4)) return -1;
    int key = 0;
    for (int k = 0; k < n; ++k) {
        if (filters[k] != 3 && filters[k] != 4) return -1;
        key |= (filters[k] - 3) << k;
    }
    return key;
}

}  // namespace

bool unfilterRow(int filterType, const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length,
                 int bytesPerPixel) {
    if (length == 0) return true;
    const size_t bpp = static_cast<size_t>(bytesPerPixel);
    if (bpp != 3 && bpp != 4) return unfilterRowScalar(filterType, row, prev, recon, length, bytesPerPixel);
    return bpp == 3 ? unfilterVector<3>(filterType, row, prev, recon, length)
                    : unfilterVector<4>(filterType, row, prev, recon, length);
}

bool unfilterRowPair(int filterA, const uint8_t* rowA, int filterB, const uint8_t* rowB, const uint8_t* prev,
                     uint8_t* reconA, uint8_t* reconB, size_t length, int bytesPerPixel) {
    if (length == 0 || !prev) return false;
    if (bytesPerPixel == 3) return pairFor<3>(filterA, filterB, rowA, rowB, prev, reconA, reconB, length);
    if (bytesPerPixel == 4) return pairFor<4>(filterA, filterB, rowA, rowB, prev, reconA, reconB, length);
    return false;
}

bool unfilterRowQuad(const int* filters, const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon,
                     size_t length, int bytesPerPixel) {
    const int key = severalKey(filters, 4, length, prev, bytesPerPixel);
    if (key < 0 || !haveSse41()) return false;
    countPath(Path::QuadRows, 4);
    if (bytesPerPixel == 3)
        quadFor<3>(key, rows, prev, recon, length, std::make_integer_sequence<int, 16>{});
    else
        quadFor<4>(key, rows, prev, recon, length, std::make_integer_sequence<int, 16>{});
    return true;
}

bool unfilterRowOct(const int* filters, const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon,
                    size_t length, int bytesPerPixel) {
    if (length == 0 || !prev || (bytesPerPixel != 3 && bytesPerPixel != 4) || !haveAvx2()) return false;
    // Eight rows at once cost about what one chain of Paeth steps costs; so
    // do one Average or Paeth row alone, or two in a pair, while None, Sub
    // and Up rows alone cost little. Rows of a drawing or a screenshot mix
    // them; eight at once pay where four or more of them are slow ones.
    constexpr int kMinSlow = 4;
    int slow = 0;
    for (int k = 0; k < 8; ++k) {
        if (filters[k] < 0 || filters[k] > 4) return false;
        slow += filters[k] >= 3;
    }
    if (slow < kMinSlow) return false;
    countPath(Path::OctRows, 8);
    if (bytesPerPixel == 3)
        octFor<3>(filters, rows, prev, recon, length);
    else
        octFor<4>(filters, rows, prev, recon, length);
    return true;
}

void swapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels) {
    if (haveAvx2()) return swapRedBlueAvx2(src, dst, pixels);
    if (haveSsse3()) return swapRedBlueSsse3(src, dst, pixels);
    swapRedBlueScalar(src, dst, pixels);
}

void dropAlpha(const uint8_t* src, uint8_t* dst, size_t pixels) {
    if (haveAvx2()) return dropAlphaAvx2(src, dst, pixels);
    if (haveSsse3()) return dropAlphaSsse3(src, dst, pixels);
    dropAlphaScalar(src, dst, pixels);
}

#else  // no vector instructions

bool unfilterRowPair(int, const uint8_t*, int, const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, size_t, int) {
    return false;
}

bool unfilterRowQuad(const int*, const uint8_t* const*, const uint8_t*, uint8_t* const*, size_t, int) { return false; }

bool unfilterRowOct(const int*, const uint8_t* const*, const uint8_t*, uint8_t* const*, size_t, int) { return false; }

bool unfilterRow(int filterType, const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length,
                 int bytesPerPixel) {
    return unfilterRowScalar(filterType, row, prev, recon, length, bytesPerPixel);
}

void swapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels) { swapRedBlueScalar(src, dst, pixels); }

void dropAlpha(const uint8_t* src, uint8_t* dst, size_t pixels) { dropAlphaScalar(src, dst, pixels); }

#endif

void packBmpRows(const uint8_t* rgb, size_t width, size_t last, size_t count, size_t pad, uint8_t* out) {
    const size_t rowIn = width * 3;
    for (size_t r = 0; r < count; ++r) {
        swapRedBlue(rgb + (last - r) * rowIn, out, width);
        std::memset(out + rowIn, 0, pad);
        out += rowIn + pad;
    }
}

bool vectorKernels() {
#ifdef MV_X86
    return true;
#else
    return false;
#endif
}

}  // namespace mv
