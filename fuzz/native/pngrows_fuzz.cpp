// libFuzzer harness for the PNG row core (src/Morvane/core/pngrows.cpp), without
// Python: the input chooses a geometry, the cuts of the stream into pieces,
// a piece at which the source fails (or none) and the inflated stream
// itself; the core's outcome and pixels must be those of a plain one-shot
// decode (length first, then the rows top to bottom). Each piece lives in
// its own exact-size allocation, freed when the next one is asked for.
//
//   tools/fuzz.sh native pngrows [LIBFUZZER ARGS...]   # builds it with clang and runs it
//
// sources: core/pngrows.cpp core/kernels.cpp
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/pngrows.hpp"
#include "pngrows_reference.hpp"

using pngref::Bytes;
using Kind = mv::PngRowOutcome::Kind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const uint32_t bpp = data[0] & 1 ? 4 : 3;
    const uint32_t width = data[1] & 0x80 ? (data[1] & 0x7F) * 37u : data[1] % 48u;
    const uint32_t height = data[2] % 24u;
    const long failAt = data[3] < 32 ? data[3] : -1;
    const bool validFilters = data[4] & 1;
    const size_t cutCount = data[5] % 8;
    data += 6;
    size -= 6;
    Bytes cuts(data, data + (cutCount < size ? cutCount : size));
    data += cuts.size();
    size -= cuts.size();
    const mv::PngRowGeometry g{width, height, bpp};
    Bytes stream(data, data + size);
    if (validFilters)
        for (size_t at = 0; at < stream.size(); at += g.stride()) stream[at] = stream[at] % 5;

    const pngref::Expected want = pngref::reference(g, stream);

    Bytes pixels(g.pixelBytes(), 0xA5);
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[g.scratchBytes()]);
    // Piece sizes from the cuts, as many as there are (none: one piece).
    std::vector<size_t> sizes;
    for (uint8_t cut : cuts) sizes.push_back(1 + size_t{cut} * (1 + cuts[0] % 61));
    pngref::PieceSource source(stream, sizes, failAt);
    const mv::PngRowOutcome got = mv::decodePngRows(g, source, pixels.data(), scratch.get());
    if (failAt >= 0 && failAt < source.calls()) {
        if (got.kind != Kind::SourceFailed) std::abort();
        return 0;
    }
    if (got.kind != want.kind || source.askedAfterEnd) std::abort();
    if (want.kind == Kind::BadFilter && (got.filterByte != want.filterByte || got.row != want.row)) std::abort();
    if (want.kind == Kind::Done && pixels != want.pixels) std::abort();
    return 0;
}
