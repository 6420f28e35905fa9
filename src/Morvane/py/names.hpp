// The interned names the module looks up: names in its own namespace (which
// user code may rebind, so they are looked up at each use), attribute and
// method names, and file modes.
#pragma once

#include "py/constant.hpp"

namespace mv::name {

// The module's namespace.
inline Constant struct_ = Constant::text("struct");
inline Constant zlib = Constant::text("zlib");
inline Constant BytesIO = Constant::text("BytesIO");
inline Constant Path = Constant::text("Path");
inline Constant Union = Constant::text("Union");
inline Constant PNG_SIGNATURE = Constant::text("PNG_SIGNATURE");
inline Constant _readChunk = Constant::text("_readChunk");
inline Constant _makeChunk = Constant::text("_makeChunk");
inline Constant _writePng = Constant::text("_writePng");
inline Constant _writeBmp = Constant::text("_writeBmp");
inline Constant _streamToImage = Constant::text("_streamToImage");

// Attributes and methods.
inline Constant read = Constant::text("read");
inline Constant readinto = Constant::text("readinto");
inline Constant raw = Constant::text("raw");
inline Constant seek = Constant::text("seek");
inline Constant tell = Constant::text("tell");
inline Constant write = Constant::text("write");
inline Constant getvalue = Constant::text("getvalue");
inline Constant enter = Constant::text("__enter__");
inline Constant exit = Constant::text("__exit__");
inline Constant pack = Constant::text("pack");
inline Constant unpack = Constant::text("unpack");
inline Constant crc32 = Constant::text("crc32");
inline Constant compress = Constant::text("compress");
inline Constant compressobj = Constant::text("compressobj");
inline Constant flush = Constant::text("flush");
inline Constant decompress = Constant::text("decompress");
inline Constant decompressobj = Constant::text("decompressobj");
inline Constant unconsumed_tail = Constant::text("unconsumed_tail");
inline Constant eof = Constant::text("eof");
inline Constant join = Constant::text("join");
inline Constant startswith = Constant::text("startswith");

// File modes.
inline Constant rb = Constant::text("rb");
inline Constant wb = Constant::text("wb");

}  // namespace mv::name
