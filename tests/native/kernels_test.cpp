// The fast pixel kernels against their plain twins, exhaustively where the
// domain is small: every filter byte and every ordered pair of filter bytes,
// widths 0-67 and a few large ones, 3 and 4 bytes per pixel, with and without
// a previous row, and a Paeth row over every (left, up, upper left) triple.
// Buffers are allocated at their exact size, so a sanitizer build also
// catches any read or write past a row. The fast paths taken are counted
// (core/paths.hpp): a kernel that silently went the plain way fails.
//
// sources: core/kernels.cpp
#include <cstring>
#include <vector>

#include "check.hpp"
#include "core/kernels.hpp"
#include "core/paths.hpp"

using check::ctx;
using Bytes = std::vector<uint8_t>;

namespace {

std::vector<size_t> allWidths() {
    std::vector<size_t> widths;
    for (size_t w = 0; w <= 67; ++w) widths.push_back(w);
    for (size_t w : {100, 255, 256, 1021, 4099}) widths.push_back(w);
    return widths;
}

// A few widths for the pairs with an invalid byte, which must write nothing.
const size_t kFewWidths[] = {0, 1, 2, 5, 16, 67};

constexpr uint8_t kCanary = 0xA5;

bool valid(int filter) { return filter >= 0 && filter <= 4; }

// Whether the processor runs the SSE4.1 kernels (not in the build that
// stands for a processor with SSE2 alone).
bool haveSse41() {
#if defined(MV_FORCE_SSE2) || !(defined(__x86_64__) || defined(__i386__))
    return false;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") != 0;
#endif
}

uint64_t countOf(mv::Path path) { return mv::pathCounts[static_cast<int>(path)]; }

// One row: unfilterRow against unfilterRowScalar.
void checkRow(int filter, size_t width, int bpp, bool withPrev, int pattern, check::Rng& rng) {
    const size_t length = width * static_cast<size_t>(bpp);
    Bytes row(length), prev(length), fast(length, kCanary), plain(length, kCanary);
    check::fill(row, pattern, rng);
    check::fill(prev, pattern, rng);
    const uint8_t* up = withPrev ? check::at(prev) : nullptr;
    const uint64_t vectorBefore = countOf(mv::Path::VectorRows);
    const bool gotFast = mv::unfilterRow(filter, check::at(row), up, check::at(fast), length, bpp);
    // Rows of 3 and 4 bytes per pixel go the vector way, where there is one.
    CHECK(countOf(mv::Path::VectorRows) - vectorBefore ==
              (mv::vectorKernels() && (bpp == 3 || bpp == 4) && length > 0 ? 1u : 0u),
          ctx("filter %ld width %ld bpp %ld (vector)", filter, static_cast<long>(width), bpp));
    const bool gotPlain = mv::unfilterRowScalar(filter, check::at(row), up, check::at(plain), length, bpp);
    const std::string where = ctx("filter %ld width %ld bpp %ld prev %ld pattern %ld", filter, static_cast<long>(width),
                                  bpp, withPrev, pattern);
    // Nothing is noticed in an empty row; otherwise only 0-4 are accepted.
    CHECK(gotPlain == (length == 0 || valid(filter)), where);
    CHECK(gotFast == gotPlain, where);
    CHECK(fast == plain, where);
}

// Two rows: unfilterRowPair, when it takes them, against two plain rows; when
// it declines, it must have written nothing. With the vector kernels it takes
// every pair of Average and Paeth rows below a previous row, with its SSE4.1
// code where the processor has it; it takes no other.
void checkPair(int filterA, int filterB, size_t width, int bpp, bool withPrev, int pattern, check::Rng& rng) {
    const size_t length = width * static_cast<size_t>(bpp);
    Bytes rowA(length), rowB(length), prev(length);
    check::fill(rowA, pattern, rng);
    check::fill(rowB, pattern, rng);
    check::fill(prev, pattern, rng);
    const uint8_t* up = withPrev ? check::at(prev) : nullptr;
    Bytes fastA(length, kCanary), fastB(length, kCanary);
    const uint64_t sse41Before = countOf(mv::Path::Sse41Pairs);
    const bool taken = mv::unfilterRowPair(filterA, check::at(rowA), filterB, check::at(rowB), up, check::at(fastA),
                                           check::at(fastB), length, bpp);
    const std::string where =
        ctx("filters %ld,%ld width %ld bpp %ld prev %ld", filterA, filterB, static_cast<long>(width), bpp, withPrev);
    auto averageOrPaeth = [](int filter) { return filter == 3 || filter == 4; };
    const bool pairable = averageOrPaeth(filterA) && averageOrPaeth(filterB) && withPrev && length > 0;
    CHECK(taken == (mv::vectorKernels() && pairable), where + " (taken)");
    CHECK(countOf(mv::Path::Sse41Pairs) - sse41Before == (taken && haveSse41() ? 1u : 0u), where + " (SSE4.1)");
    if (!taken) {
        CHECK(fastA == Bytes(length, kCanary) && fastB == Bytes(length, kCanary), where);
        return;
    }
    // Taken: both bytes must be valid, and the rows exactly the plain ones.
    CHECK(valid(filterA) && valid(filterB), where);
    Bytes plainA(length), plainB(length);
    const bool okA = mv::unfilterRowScalar(filterA, check::at(rowA), up, check::at(plainA), length, bpp);
    const bool okB = mv::unfilterRowScalar(filterB, check::at(rowB), check::at(plainA), check::at(plainB), length, bpp);
    CHECK(okA && okB, where);
    CHECK(fastA == plainA, where);
    CHECK(fastB == plainB, where);
}

// Whether N rows of these filters go at once (below a previous row, where
// the processor can): four when all are Average or Paeth; eight when all are
// valid and four or more of them Average or Paeth.
template <int N>
bool takesSeveral(const int (&filters)[N]) {
    int slow = 0;
    for (int filter : filters) {
        if (!valid(filter)) return false;
        slow += filter >= 3;
    }
    return N == 4 ? slow == 4 : slow >= 4;
}

// N (4 or 8) rows: unfilterRowQuad or unfilterRowOct, when it takes them,
// against N plain rows, each the next one's up row; when it declines, it
// must have written nothing. It takes the rows of takesSeveral below a
// previous row where the processor has SSE4.1 (four) or AVX2 (eight), and
// no others.
template <int N>
void checkSeveral(const int (&filters)[N], size_t width, int bpp, bool withPrev, int pattern, check::Rng& rng) {
    const size_t length = width * static_cast<size_t>(bpp);
    std::vector<Bytes> rows(N, Bytes(length)), fast(N, Bytes(length, kCanary));
    Bytes prev(length);
    for (Bytes& row : rows) check::fill(row, pattern, rng);
    check::fill(prev, pattern, rng);
    const uint8_t* up = withPrev ? check::at(prev) : nullptr;
    const uint8_t* in[N];
    uint8_t* out[N];
    std::string where = N == 4 ? "quad, filters" : "oct, filters";
    for (int k = 0; k < N; ++k) {
        in[k] = check::at(rows[k]);
        out[k] = check::at(fast[k]);
        where += ctx(" %ld", filters[k]);
    }
    where += ctx(" width %ld bpp %ld prev %ld pattern %ld", static_cast<long>(width), bpp, withPrev, pattern);
    const mv::Path path = N == 4 ? mv::Path::QuadRows : mv::Path::OctRows;
    const uint64_t before = countOf(path);
    const bool taken = N == 4 ? mv::unfilterRowQuad(filters, in, up, out, length, bpp)
                              : mv::unfilterRowOct(filters, in, up, out, length, bpp);
    bool takes = withPrev && length > 0 && (bpp == 3 || bpp == 4) && (N == 4 ? haveSse41() : check::haveAvx2()) &&
                 mv::vectorKernels();
    takes = takes && takesSeveral(filters);
    CHECK(taken == takes, where + " (taken)");
    CHECK(countOf(path) - before == (taken ? static_cast<uint64_t>(N) : 0u), where + " (counted)");
    for (int k = 0; k < N; ++k) {
        Bytes plain(length);
        if (!taken) {
            CHECK(fast[k] == Bytes(length, kCanary), where + ctx(" row %ld written", k));
            continue;
        }
        CHECK(mv::unfilterRowScalar(filters[k], in[k], k ? check::at(fast[k - 1]) : up, check::at(plain), length, bpp),
              where);
        CHECK(fast[k] == plain, where + ctx(" row %ld", k));
    }
}

// Every mix of Average and Paeth among four rows, and among eight a few
// mixes besides all of one (the eight take one path for any mix), at every
// width; then any other byte in any place, and other pixel sizes: declined.
template <int N>
void checkSeveral(const std::vector<int>& keys) {
    check::Rng rng(N);
    int filters[N];
    for (int bpp : {3, 4})
        for (int key : keys) {
            for (int k = 0; k < N; ++k) filters[k] = 3 + (key >> k & 1);
            for (size_t width : allWidths())
                for (bool withPrev : {false, true})
                    for (int pattern = 0; pattern < check::kPatterns; ++pattern)
                        checkSeveral<N>(filters, width, bpp, withPrev, pattern, rng);
        }
    for (int bpp : {1, 2, 3, 4, 6})
        for (int place = 0; place < N; ++place)
            for (int other : {0, 1, 2, 5, 255}) {
                for (int k = 0; k < N; ++k) filters[k] = 3 + (k & 1);
                filters[place] = other;
                for (size_t width : kFewWidths) checkSeveral<N>(filters, width, bpp, true, 0, rng);
            }
    for (int k = 0; k < N; ++k) filters[k] = 4;
    for (int bpp : {1, 2, 6, 8}) checkSeveral<N>(filters, 9, bpp, true, 0, rng);
}

// Eight rows of None, Sub and Up among Average and Paeth ones, 0 to 8 of
// those at random places: taken with four or more.
void checkMixedOcts() {
    check::Rng rng(9);
    int filters[8];
    for (int set = 0; set < 45; ++set) {
        for (int& filter : filters) filter = static_cast<int>(rng.next() % 3);
        for (int slow = 0; slow < set % 9;) {
            int& filter = filters[rng.next() % 8];
            if (filter < 3) {
                filter = 3 + static_cast<int>(rng.next() % 2);
                ++slow;
            }
        }
        for (int bpp : {3, 4})
            for (size_t width : allWidths())
                for (bool withPrev : {false, true})
                    for (int pattern = 0; pattern < check::kPatterns; ++pattern)
                        checkSeveral<8>(filters, width, bpp, withPrev, pattern, rng);
    }
}

void checkQuadsAndOcts() {
    std::vector<int> quads;
    for (int key = 0; key < 16; ++key) quads.push_back(key);
    checkSeveral<4>(quads);
    checkSeveral<8>({0x00, 0xFF, 0x01, 0x80, 0x0F, 0xF0, 0x55, 0xAA, 0x7E, 0x96});
    checkMixedOcts();
}

void checkRows() {
    check::Rng rng(1);
    for (int bpp : {3, 4})
        for (size_t width : allWidths())
            for (int filter = 0; filter < 256; ++filter)
                for (bool withPrev : {false, true})
                    for (int pattern = 0; pattern < (valid(filter) ? check::kPatterns : 1); ++pattern)
                        checkRow(filter, width, bpp, withPrev, pattern, rng);
    // Other pixel sizes go the plain way, and still agree.
    for (int bpp : {1, 2, 6, 8})
        for (int filter = 0; filter < 6; ++filter) checkRow(filter, 9, bpp, true, 0, rng);
}

// A Paeth row alone, over every (left, up, upper left) triple: row c, v
// below a previous row of pixels c, 0, c, 1, ..., c, 255 (every byte of a
// pixel alike) gives pixel 2k + 1 the up byte k and the upper-left byte c;
// its left bytes are the result of pixel 2k, which the filtered bytes there
// set to v, v + 64, v + 128 and v + 192 (one per byte of the pixel; for
// three bytes, v + 86 and v + 172).
void checkPaethEveryTriple() {
    for (int bpp : {3, 4}) {
        const size_t step = bpp == 4 ? 64 : 86, width = 512, length = width * static_cast<size_t>(bpp);
        Bytes prev(length), wanted(length), row(length), out(length);
        for (size_t c = 0; c < 256; ++c) {
            for (size_t x = 0; x < width; ++x)
                std::memset(&prev[x * bpp], static_cast<int>(x % 2 ? x / 2 : c), static_cast<size_t>(bpp));
            for (size_t v = 0; v < step; ++v) {
                for (size_t i = 0; i < length; ++i) {
                    const size_t x = i / bpp;
                    wanted[i] = static_cast<uint8_t>(x % 2 ? x * 7 + i : v + step * (i % bpp));
                    const int left = i >= size_t(bpp) ? wanted[i - bpp] : 0,
                              upLeft = i >= size_t(bpp) ? prev[i - bpp] : 0;
                    row[i] = static_cast<uint8_t>(wanted[i] - mv::paethPredictor(left, prev[i], upLeft));
                }
                CHECK(mv::unfilterRow(4, check::at(row), check::at(prev), check::at(out), length, bpp),
                      ctx("paeth triples bpp %ld", bpp));
                if (out != wanted) {
                    CHECK(false,
                          ctx("paeth triples bpp %ld c %ld v %ld", bpp, static_cast<long>(c), static_cast<long>(v)));
                    return;
                }
            }
        }
    }
}

void checkPairs() {
    check::Rng rng(2);
    const std::vector<size_t> widths = allWidths();
    for (int bpp : {3, 4})
        for (int filterA = 0; filterA < 256; ++filterA)
            for (int filterB = 0; filterB < 256; ++filterB)
                for (bool withPrev : {false, true}) {
                    if (valid(filterA) && valid(filterB)) {
                        for (size_t width : widths)
                            for (int pattern = 0; pattern < check::kPatterns; ++pattern)
                                checkPair(filterA, filterB, width, bpp, withPrev, pattern, rng);
                    } else {
                        for (size_t width : kFewWidths) checkPair(filterA, filterB, width, bpp, withPrev, 0, rng);
                    }
                }
    // Other pixel sizes are never taken in pairs: each row goes the plain way.
    for (int bpp : {1, 2, 6, 8}) {
        const size_t length = 9 * static_cast<size_t>(bpp);
        Bytes rows(length, 1), outA(length, kCanary), outB(length, kCanary);
        const bool taken =
            mv::unfilterRowPair(3, rows.data(), 4, rows.data(), rows.data(), outA.data(), outB.data(), length, bpp);
        CHECK(!taken && outA == Bytes(length, kCanary) && outB == Bytes(length, kCanary), ctx("pair, bpp %ld", bpp));
    }
}

void checkPixelCopies() {
    check::Rng rng(3);
    std::vector<size_t> counts;
    for (size_t n = 0; n <= 200; ++n) counts.push_back(n);
    for (size_t n : {1000, 4097, 65537}) counts.push_back(n);
    for (size_t pixels : counts) {
        for (int pattern = 0; pattern < 2; ++pattern) {
            Bytes bgr(pixels * 3), rgba(pixels * 4);
            check::fill(bgr, pattern, rng);
            check::fill(rgba, pattern, rng);
            Bytes fast(pixels * 3, kCanary), plain(pixels * 3, kCanary);
            mv::swapRedBlue(bgr.data(), fast.data(), pixels);
            mv::swapRedBlueScalar(bgr.data(), plain.data(), pixels);
            CHECK(fast == plain, ctx("swapRedBlue %ld pixels", static_cast<long>(pixels)));
            for (size_t p = 0; p < pixels; ++p)
                CHECK(plain[3 * p] == bgr[3 * p + 2] && plain[3 * p + 1] == bgr[3 * p + 1] &&
                          plain[3 * p + 2] == bgr[3 * p],
                      ctx("swapRedBlueScalar pixel %ld", static_cast<long>(p)));
            fast.assign(pixels * 3, kCanary);
            plain.assign(pixels * 3, kCanary);
            mv::dropAlpha(rgba.data(), fast.data(), pixels);
            mv::dropAlphaScalar(rgba.data(), plain.data(), pixels);
            CHECK(fast == plain, ctx("dropAlpha %ld pixels", static_cast<long>(pixels)));
            for (size_t p = 0; p < pixels; ++p)
                CHECK(std::memcmp(&plain[3 * p], &rgba[4 * p], 3) == 0,
                      ctx("dropAlphaScalar pixel %ld", static_cast<long>(p)));
        }
    }
}

// BMP rows: any run of rows, bottom-up, each BGR and padded with zeros, and
// nothing written past the last pad.
void checkBmpRows() {
    check::Rng rng(5);
    for (size_t width : {1, 2, 3, 4, 5, 21, 67}) {
        const size_t height = 5, pad = (4 - width * 3 % 4) % 4, rowOut = width * 3 + pad;
        Bytes rgb(width * height * 3);
        check::fill(rgb, 1, rng);
        for (size_t last = 0; last < height; ++last) {
            for (size_t count = 0; count <= last + 1; ++count) {
                Bytes out(count * rowOut + 1, kCanary);
                mv::packBmpRows(rgb.data(), width, last, count, pad, out.data());
                for (size_t r = 0; r < count; ++r) {
                    const uint8_t* row = &rgb[(last - r) * width * 3];
                    for (size_t x = 0; x < width; ++x)
                        CHECK(out[r * rowOut + 3 * x] == row[3 * x + 2] &&
                                  out[r * rowOut + 3 * x + 1] == row[3 * x + 1] &&
                                  out[r * rowOut + 3 * x + 2] == row[3 * x],
                              ctx("packBmpRows width %ld row %ld pixel %ld", static_cast<long>(width),
                                  static_cast<long>(r), static_cast<long>(x)));
                    for (size_t k = 0; k < pad; ++k)
                        CHECK(out[r * rowOut + width * 3 + k] == 0,
                              ctx("packBmpRows width %ld row %ld pad", static_cast<long>(width), static_cast<long>(r)));
                }
                CHECK(out.back() == kCanary,
                      ctx("packBmpRows width %ld wrote past its rows", static_cast<long>(width)));
            }
        }
    }
}

}  // namespace

int main() {
#ifdef MV_FORCE_SCALAR
    CHECK(!mv::vectorKernels(), "forced scalar build runs vector kernels");
#endif
    checkRows();
    checkPaethEveryTriple();
    checkPairs();
    checkQuadsAndOcts();
    checkPixelCopies();
    checkBmpRows();
    return check::finish(mv::vectorKernels() ? "kernels (vector)" : "kernels (scalar)");
}
