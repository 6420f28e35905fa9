// PNG's fixed values: the signature, the chunk fields and types, the header
// values this module reads and writes, and the struct formats of the fields.
#pragma once

#include "py/constant.hpp"

namespace mv::png {

constexpr char kSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
constexpr int kSignatureSize = 8;
// A chunk's length, type and CRC fields are 4 bytes each.
constexpr int kFieldSize = 4;

// IHDR values: 8 bits per sample; RGB or RGBA; compression, filter method
// and interlace method 0 (deflate, the five filters, no interlacing).
constexpr int kBitDepth = 8;
constexpr int kColourRgb = 2;
constexpr int kColourRgba = 6;
constexpr int kMethodZero = 0;

inline Constant kTypeIHDR = Constant::bytes("IHDR");
inline Constant kTypeIDAT = Constant::bytes("IDAT");
inline Constant kTypeIEND = Constant::bytes("IEND");

// struct formats: a chunk's length or CRC; IHDR's seven fields (width,
// height, bit depth, colour type, compression, filter method, interlace).
inline Constant kU32Format = Constant::text(">I");
inline Constant kIhdrFormat = Constant::text(">IIBBBBB");
// A CRC is the low 32 bits of zlib.crc32.
inline Constant kCrcMask = Constant::integer(0xFFFFFFFFul);

}  // namespace mv::png
