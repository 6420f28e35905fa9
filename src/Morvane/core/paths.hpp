// Which way the row core, the pixel kernels and the module's pixel calls
// went: counts of their fast paths, kept only in the builds of the native
// checks and of the mutation tool (MV_COUNT_PATHS), so that a check can tell
// a fast path taken from one silently turned off, whose output is the same.
// Elsewhere (the module as built for use) a count is an empty inline call.
#pragma once

#include <cstdint>

namespace mv {

enum class Path {
    PairedRows,    // rows the row core undid two at a time
    WaitingRows,   // rows the row core kept waiting for the next one
    CarriedBytes,  // bytes the row core copied into its carry rows
    VectorRows,    // rows the kernels undid with their vector code
    Sse41Pairs,    // pairs of rows the kernels undid with their SSE4.1 code
    PixelCalls,    // getPixel and putPixel calls the module served without binding their arguments
    InputPieces,   // pieces of compressed data handed to an inflater object
    QuadRows,      // rows the kernels undid four at a time
    OctRows,       // rows the kernels undid eight at a time
    DirectInputs,  // inputs handed to zlib-ng's inflater called straight
    kCount
};

#ifdef MV_COUNT_PATHS
inline uint64_t pathCounts[static_cast<int>(Path::kCount)] = {};
inline void countPath(Path path, uint64_t n = 1) { pathCounts[static_cast<int>(path)] += n; }
#else
inline void countPath(Path, uint64_t = 1) {}
#endif

}  // namespace mv
