// PNG chunks: _readChunk and _makeChunk, the module functions through which
// the decoder reads and the encoder frames every chunk.
#pragma once

#include "py/function.hpp"

namespace mv {

extern const FunctionDef kReadChunk;  // _readChunk(stream) -> (chunkType, data)
extern const FunctionDef kMakeChunk;  // _makeChunk(chunkType, data) -> the framed chunk

}  // namespace mv
