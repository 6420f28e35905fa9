// BMP's fixed values and the layout of its rows: the file header, the
// BITMAPINFOHEADER this module reads and writes, and the struct formats of
// their fields.
#pragma once

#include <cstdint>

#include "py/constant.hpp"

namespace mv::bmp {

// The file header: "BM", the file size, two reserved fields and the offset of
// the pixel rows.
constexpr int kFileHeaderSize = 14;
constexpr int kMagicSize = 2;
inline Constant kMagic = Constant::bytes("BM");
inline Constant kFileHeaderFormat = Constant::text("<IHHI");  // after the magic

// BITMAPINFOHEADER: its own size, then the fields the decoder reads (width,
// height, planes, bit count, compression, image size, resolution, colours
// used and important).
constexpr int kInfoHeaderSize = 40;
constexpr int kHeaderSizeFieldSize = 4;
constexpr int kInfoFieldsSize = kInfoHeaderSize - kHeaderSizeFieldSize;
inline Constant kHeaderSizeFormat = Constant::text("<I");
inline Constant kInfoReadFormat = Constant::text("<iiHHIIiiII");
inline Constant kInfoWriteFormat = Constant::text("<IIIHHIIIIII");  // with its size first

// The one kind of file this module reads and writes: one plane, 24 bits per
// pixel, no compression; the rows right after the headers.
constexpr int kPlanes = 1;
constexpr int kBitsPerPixel = 24;
constexpr int kNoCompression = 0;
constexpr int kPixelOffset = kFileHeaderSize + kInfoHeaderSize;
// The resolution written: 72 dots per inch.
inline Constant kPixelsPerMetre = Constant::integer(2835);

// Floor division by a positive divisor, as the host divides.
inline int64_t floorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// ((width * 3 + 3) // 4) * 4: the bytes of one stored row, pad included.
inline int64_t rowStride(int64_t width) { return floorDiv(width * 3 + 3, 4) * 4; }

}  // namespace mv::bmp
