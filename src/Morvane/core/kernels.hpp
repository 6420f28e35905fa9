// Pixel kernels: plain C++ over byte spans, no interpreter involved.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv {

// The Paeth predictor: of left (a), up (b) and upper left (c), the one
// nearest to a + b - c; ties go to a, then to b.
inline int paethPredictor(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    if (pb <= pc) return b;
    return c;
}

// Undoes the PNG row filter `filterType` (0 to 4) of `row` (`length` bytes)
// into `recon`, given the previous row's reconstruction `prev` (nullptr for
// the first row, which then counts as all zero) and the bytes per pixel
// (3 or 4). `recon` must not overlap `row` or `prev`. Returns false, writing
// nothing, for a filter type above 4.
bool unfilterRow(int filterType, const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length,
                 int bytesPerPixel);

// Undoes the filters of two consecutive rows at once where that is faster
// (both rows Average or Paeth, and a previous row `prev` exists); returns
// false, writing nothing, otherwise, and the caller takes them one by one.
// reconA is the first row's reconstruction and the second row's up row.
bool unfilterRowPair(int filterA, const uint8_t* rowA, int filterB, const uint8_t* rowB, const uint8_t* prev,
                     uint8_t* reconA, uint8_t* reconB, size_t length, int bytesPerPixel);

// Undoes the filters of four consecutive rows at once where that is faster
// (all four Average or Paeth, a previous row `prev` exists, and the
// processor has SSE4.1); returns false, writing nothing, otherwise. recon[k]
// is row k's reconstruction and row k + 1's up row; no recon row may overlap
// a row or `prev`.
bool unfilterRowQuad(const int* filters, const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon,
                     size_t length, int bytesPerPixel);

// The same for eight rows, where the processor has AVX2; these may be of
// any filter (0 to 4), as long as four or more are Average or Paeth.
bool unfilterRowOct(const int* filters, const uint8_t* const* rows, const uint8_t* prev, uint8_t* const* recon,
                    size_t length, int bytesPerPixel);

// Reference version of unfilterRow, byte by byte (for tests and for
// platforms without vector instructions).
bool unfilterRowScalar(int filterType, const uint8_t* row, const uint8_t* prev, uint8_t* recon, size_t length,
                       int bytesPerPixel);

// Swaps the first and third byte of each of `pixels` 3-byte pixels: BGR to
// RGB and back. `src` and `dst` must not overlap.
void swapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels);

// Copies the first three bytes of each of `pixels` 4-byte pixels.
void dropAlpha(const uint8_t* src, uint8_t* dst, size_t pixels);

// Reference versions of the two above, pixel by pixel (also the tails of the
// vector versions, and what machines without vector instructions run).
void swapRedBlueScalar(const uint8_t* src, uint8_t* dst, size_t pixels);
void dropAlphaScalar(const uint8_t* src, uint8_t* dst, size_t pixels);

// BMP rows: `count` rows of `width` RGB pixels from `rgb`, bottom-up from
// row `last` down to row last - count + 1, each written to `out` as BGR
// followed by `pad` zero bytes, one after the other.
void packBmpRows(const uint8_t* rgb, size_t width, size_t last, size_t count, size_t pad, uint8_t* out);

// Whether this build runs vector kernels at all (false when built with
// MV_FORCE_SCALAR or for a machine without them).
bool vectorKernels();

}  // namespace mv
