// The streaming row decoder against a plain one-shot reference: the whole
// stream first, then its length, then the rows top to bottom with the plain
// byte-by-byte filters. Every filter byte in every row position (row pairs
// included), 3 and 4 bytes per pixel, the stream cut into pieces at every
// kind of place (inside a filter byte's row, right before and after a row,
// one byte at a time, at random), too long, too short, and a source that
// fails at any piece. Each piece lives in its own exact-size allocation,
// freed when the next one is asked for, so a sanitizer build also catches a
// row read past its piece or after its piece went away. On every stream that
// decodes, the fast paths taken are counted (core/paths.hpp) and compared
// with the ones its rows and pieces call for.
//
// sources: core/pngrows.cpp core/kernels.cpp
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/kernels.hpp"
#include "core/paths.hpp"
#include "core/pngrows.hpp"
#include "pngrows_reference.hpp"

using check::ctx;
using Bytes = std::vector<uint8_t>;
using mv::PngRowGeometry;
using mv::PngRowOutcome;
using Kind = PngRowOutcome::Kind;
using pngref::Expected;
using pngref::PieceSource;
using pngref::reference;

namespace {

constexpr uint8_t kCanary = 0xA5;

// The end of each piece PieceSource hands out of a stream of `total` bytes.
std::vector<uint64_t> pieceEnds(size_t total, const std::vector<size_t>& sizes) {
    std::vector<uint64_t> ends;
    for (size_t pos = 0, k = 0; pos < total; ++k) {
        const size_t n = sizes.empty() ? total : sizes[k % sizes.size()];
        pos += std::min(std::max<size_t>(n, 1), total - pos);
        ends.push_back(pos);
    }
    return ends;
}

struct Paths {
    uint64_t octs = 0, quads = 0, paired = 0, waiting = 0, carried = 0;
};

// Whether the kernels take four rows at once: with SSE4.1 (not in the builds
// that stand for a processor with SSE2 alone or for no vector code).
bool quadKernels() {
#if defined(MV_FORCE_SSE2) || defined(MV_FORCE_SCALAR) || !(defined(__x86_64__) || defined(__i386__))
    return false;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") != 0;
#endif
}

// The fast paths a stream of valid rows calls for. Every Average or Paeth
// row with a row above it and one below waits for the next row; with the
// vector kernels, that row is undone with it when it is Average or Paeth
// too. A row is copied into a carry row only when it straddles two pieces,
// or when it waits and its piece ends before the next row is complete.
Paths expectedPaths(const PngRowGeometry& g, const Bytes& stream, const std::vector<uint64_t>& ends) {
    auto pieceOf = [&](uint64_t offset) { return std::upper_bound(ends.begin(), ends.end(), offset) - ends.begin(); };
    auto averageOrPaeth = [](int filter) { return filter == 3 || filter == 4; };
    const uint64_t stride = g.stride();
    Paths want;
    bool waiting = false;
    auto filterOf = [&](uint64_t y) { return static_cast<int>(stream[y * stride]); };
    for (uint64_t y = 0; y < g.height; ++y) {
        const uint64_t first = y * stride, last = first + stride - 1;
        // Eight rows of valid filters, four or more of them Average or Paeth
        // (where the geometry allows), or four Average or Paeth rows, in one
        // piece, below a row, none waiting.
        auto several = [&](uint64_t n) {
            if (waiting || y == 0 || g.rowLength() == 0 || y + n > g.height) return false;
            if (pieceOf(first) != pieceOf(last + (n - 1) * stride)) return false;
            uint64_t slow = 0;
            for (uint64_t k = 0; k < n; ++k) {
                if (filterOf(y + k) > 4) return false;
                slow += averageOrPaeth(filterOf(y + k));
            }
            return n == 8 ? slow >= 4 : slow == 4;
        };
        if (check::haveAvx2() && g.eightAtOnce() && several(8)) {
            want.octs += 8;
            y += 7;
            continue;
        }
        if (quadKernels() && several(4)) {
            want.quads += 4;
            y += 3;
            continue;
        }
        const bool straddles = pieceOf(first) != pieceOf(last);
        if (straddles) want.carried += stride;
        const int filter = stream[first];
        if (waiting) {
            waiting = false;
            if (mv::vectorKernels() && averageOrPaeth(filter)) {
                want.paired += 2;
                continue;
            }
        }
        if (averageOrPaeth(filter) && y > 0 && g.rowLength() > 0 && y + 1 < g.height) {
            ++want.waiting;
            waiting = true;
            if (!straddles && pieceOf(last + stride) != pieceOf(last)) want.carried += stride;
        }
    }
    return want;
}

uint64_t countOf(mv::Path path) { return mv::pathCounts[static_cast<int>(path)]; }

// Decodes `stream` through the pieces and compares with the reference.
void checkDecode(const PngRowGeometry& g, const Bytes& stream, const std::vector<size_t>& sizes,
                 const std::string& where, long failAt = -1) {
    Bytes pixels(g.pixelBytes(), kCanary);
    // Exact-size scratch: a sanitizer build catches any use past it.
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[g.scratchBytes()]);
    PieceSource source(stream, sizes, failAt);
    std::fill(std::begin(mv::pathCounts), std::end(mv::pathCounts), 0);
    // As in the module, an image of no bytes still has a buffer to write to.
    const PngRowOutcome got = mv::decodePngRows(g, source, check::at(pixels), scratch.get());
    const Expected want = reference(g, stream);
    if (failAt >= 0 && failAt < source.calls()) {
        CHECK(got.kind == Kind::SourceFailed, where + " (a failed source fails the decode)");
        return;
    }
    CHECK(got.kind == want.kind,
          where + ctx(" kind %ld want %ld", static_cast<long>(got.kind), static_cast<long>(want.kind)));
    if (got.kind != want.kind) return;
    if (want.kind == Kind::BadFilter)
        CHECK(got.filterByte == want.filterByte && got.row == want.row,
              where + ctx(" bad filter %ld row %ld, want %ld row %ld", got.filterByte, static_cast<long>(got.row),
                          want.filterByte, static_cast<long>(want.row)));
    if (want.kind == Kind::Done) {
        CHECK(pixels == want.pixels, where + " pixels");
        const Paths paths = expectedPaths(g, stream, pieceEnds(stream.size(), sizes));
        CHECK(countOf(mv::Path::OctRows) == paths.octs && countOf(mv::Path::QuadRows) == paths.quads &&
                  countOf(mv::Path::PairedRows) == paths.paired && countOf(mv::Path::WaitingRows) == paths.waiting &&
                  countOf(mv::Path::CarriedBytes) == paths.carried,
              where +
                  ctx(" paths: octs %ld quads %ld paired %ld", countOf(mv::Path::OctRows), countOf(mv::Path::QuadRows),
                      countOf(mv::Path::PairedRows)) +
                  ctx(" waiting %ld carried %ld", countOf(mv::Path::WaitingRows), countOf(mv::Path::CarriedBytes)) +
                  ctx(", want %ld %ld %ld %ld %ld", paths.octs, paths.quads, paths.paired, paths.waiting) +
                  ctx(" %ld", paths.carried));
    }
    CHECK(source.askedAfterEnd == 0, where + " (the source was asked for more after it ended)");

    // Without a pixel buffer only the length is judged.
    PieceSource again(stream, sizes);
    const PngRowOutcome counted = mv::decodePngRows(g, again, nullptr, nullptr);
    CHECK(counted.kind == (want.kind == Kind::WrongLength ? Kind::WrongLength : Kind::Done), where + " counting");
}

// Piece sizes that put the boundaries everywhere a row can be cut.
std::vector<std::vector<size_t>> splits(size_t stride, size_t total, check::Rng& rng) {
    // (Byte by byte only where that stays quick.)
    const size_t small = total < 4096 ? 1 : 61;
    std::vector<std::vector<size_t>> out = {{total + 1},        {small},          {2, small},
                                            {stride},           {stride + 1},     {2 * stride},
                                            {2 * stride + 1},   {3 * stride - 1}, {stride, 1, stride - 1},
                                            {1, 2 * stride - 1}};
    if (stride > 1) out.push_back({stride - 1});
    if (stride > 2) out.push_back({stride / 2, stride, stride / 2 + 2});
    std::vector<size_t> random;
    for (int k = 0; k < 16; ++k) random.push_back(1 + rng.next() % (3 * stride + 2));
    out.push_back(random);
    return out;
}

Bytes makeStream(const PngRowGeometry& g, const std::vector<int>& filters, int pattern, check::Rng& rng) {
    const size_t rowLength = g.rowLength();
    Bytes stream;
    for (uint32_t y = 0; y < g.height; ++y) {
        Bytes row(rowLength);
        check::fill(row, pattern, rng);
        stream.push_back(static_cast<uint8_t>(filters[y]));
        stream.insert(stream.end(), row.begin(), row.end());
    }
    return stream;
}

// Every filter byte at every row position, among rows of one valid filter
// (Average and Paeth rows go in pairs), cut in every way.
void checkEveryFilterByte() {
    check::Rng rng(11);
    const uint32_t height = 5;
    for (uint32_t bpp : {3u, 4u})
        for (uint32_t width : {0u, 1u, 2u, 5u})
            for (int others = 0; others <= 4; ++others)
                for (uint32_t position = 0; position < height; ++position)
                    for (int filter = 0; filter < 256; ++filter) {
                        const PngRowGeometry g{width, height, bpp};
                        std::vector<int> filters(height, others);
                        filters[position] = filter;
                        const Bytes stream = makeStream(g, filters, filter % check::kPatterns, rng);
                        // Bytes 5-255 take the same way: every cut for a few of
                        // them, three for the rest.
                        auto all = splits(g.stride(), stream.size(), rng);
                        if (filter > 5 && filter < 255) all = {all[1], all[4], all.back()};
                        int s = 0;
                        for (const auto& sizes : all)
                            checkDecode(g, stream, sizes,
                                        ctx("bpp %ld width %ld others %ld filter %ld at row %ld", bpp, width, others,
                                            filter, position) +
                                            ctx(" split %ld", s++));
                    }
}

// Random rows of random valid filters, Average and Paeth most often, and now
// and then a bad byte; random widths and piece sizes.
void checkRandomImages() {
    check::Rng rng(12);
    static const int kFilters[] = {0, 1, 2, 3, 3, 4, 4, 4};
    for (int round = 0; round < 1500; ++round) {
        const uint32_t bpp = rng.next() & 1 ? 4 : 3;
        const uint32_t width = static_cast<uint32_t>(rng.next() % (round % 10 == 0 ? 1100 : 70));
        const uint32_t height = static_cast<uint32_t>(rng.next() % 24);
        const PngRowGeometry g{width, height, bpp};
        std::vector<int> filters(height);
        for (int& f : filters)
            f = rng.next() % 64 == 0 ? 5 + static_cast<int>(rng.next() % 251) : kFilters[rng.next() % 8];
        const Bytes stream = makeStream(g, filters, static_cast<int>(rng.next() % check::kPatterns), rng);
        for (const auto& sizes : splits(g.stride(), stream.size(), rng))
            checkDecode(g, stream, sizes, ctx("random image %ld (%ldx%ld bpp %ld)", round, width, height, bpp));
    }
}

// Too long and too short, with and without a bad filter byte: the length is
// judged first.
void checkLengths() {
    check::Rng rng(13);
    for (uint32_t bpp : {3u, 4u})
        for (uint32_t width : {0u, 1u, 3u, 40u})
            for (uint32_t height : {0u, 1u, 2u, 7u})
                for (int bad : {-1, 0, 1}) {
                    const PngRowGeometry g{width, height, bpp};
                    std::vector<int> filters(height, 4);
                    if (bad >= 0 && height > 0) filters[bad % height] = 9;
                    const Bytes good = makeStream(g, filters, 0, rng);
                    const long stride = static_cast<long>(g.stride());
                    for (long delta : {-stride - 1, -stride, -2L, -1L, 1L, 2L, stride, stride + 1, 5000L}) {
                        Bytes stream = good;
                        if (delta < 0) {
                            if (static_cast<long>(stream.size()) + delta < 0) continue;
                            stream.resize(stream.size() + delta);
                        } else {
                            for (long k = 0; k < delta; ++k) stream.push_back(static_cast<uint8_t>(k));
                        }
                        for (const auto& sizes : splits(g.stride(), stream.size(), rng))
                            checkDecode(
                                g, stream, sizes,
                                ctx("length %ldx%ld bpp %ld bad %ld delta %ld", width, height, bpp, bad, delta));
                    }
                }
}

// A source that fails at any piece fails the decode, whatever came before:
// a bad filter byte, too many bytes, or nothing at all.
void checkFailures() {
    check::Rng rng(14);
    for (uint32_t bpp : {3u, 4u})
        for (int bad : {-1, 0, 3})
            for (long extra : {0L, 1L, 300L}) {
                const PngRowGeometry g{6, 5, bpp};
                std::vector<int> filters(5, 3);
                if (bad >= 0) filters[bad] = 200;
                Bytes stream = makeStream(g, filters, 0, rng);
                stream.insert(stream.end(), static_cast<size_t>(extra), 7);
                for (const auto& sizes :
                     {std::vector<size_t>{1}, std::vector<size_t>{g.stride() + 1}, std::vector<size_t>{stream.size()}})
                    for (long failAt = 0; failAt <= static_cast<long>(stream.size()) + 1; ++failAt)
                        checkDecode(g, stream, sizes,
                                    ctx("failure at %ld bpp %ld bad %ld extra %ld", failAt, bpp, bad, extra), failAt);
            }
}

void checkGeometry() {
    // The largest geometry: every size exact in 64 bits.
    const PngRowGeometry big{(1u << 31) - 1, (1u << 31) - 1, 4};
    CHECK(big.valid(), "largest geometry valid");
    CHECK(big.rowLength() == 4ull * ((1ull << 31) - 1), "rowLength");
    CHECK(big.expected() / big.stride() == (1ull << 31) - 1 && big.expected() % big.stride() == 0, "expected exact");
    CHECK(big.pixelBytes() / 3 / big.width == big.height, "pixelBytes exact");
    CHECK(!(PngRowGeometry{1u << 31, 1, 3}.valid()) && !(PngRowGeometry{1, 1, 2}.valid()), "invalid geometry");
    // The RGBA ring's rows: at least a row apart, and 576 bytes past a
    // multiple of 4 KiB.
    for (uint32_t width : {0u, 1u, 100u, 1024u, 1167u, 5000u}) {
        const PngRowGeometry g{width, 1, 4};
        CHECK(g.ringPitch() >= g.rowLength() && g.ringPitch() < g.rowLength() + 4096 && g.ringPitch() % 4096 == 576,
              ctx("ring pitch, width %ld", width));
    }
    // Eight rows at once, but not RGB rows about a multiple of 4 KiB apart.
    auto eight = [](uint32_t width, uint32_t bpp) { return PngRowGeometry{width, 1, bpp}.eightAtOnce(); };
    for (uint32_t width : {1024u, 1390u, 683u, 1370u}) CHECK(eight(width, 3), ctx("eight at once, width %ld", width));
    CHECK(eight(4096, 4) && eight(1366, 4), "eight at once, RGBA");
    CHECK(!eight(1366, 3) && !eight(4096, 3) && !eight(2731, 3), "not eight at once");
}

// Wide rows: RGB rows that are undone four at a time, not eight (1366), and
// rows that are undone eight at a time, through the RGBA ring too.
void checkWideRows() {
    check::Rng rng(15);
    for (uint32_t bpp : {3u, 4u})
        for (uint32_t width : {1024u, 1366u}) {
            const PngRowGeometry g{width, 21, bpp};
            std::vector<int> filters(g.height);
            for (uint32_t y = 0; y < g.height; ++y) filters[y] = y == 11 ? 1 : 3 + static_cast<int>(y % 3 == 0);
            const Bytes stream = makeStream(g, filters, 1, rng);
            for (const auto& sizes : {std::vector<size_t>{stream.size()}, std::vector<size_t>{9 * g.stride() + 5}})
                checkDecode(g, stream, sizes, ctx("wide rows %ld bpp %ld", width, bpp));
        }
}

}  // namespace

int main() {
    checkGeometry();
    checkEveryFilterByte();
    checkRandomImages();
    checkLengths();
    checkFailures();
    checkWideRows();
    return check::finish(mv::vectorKernels() ? "pngrows (vector)" : "pngrows (scalar)");
}
