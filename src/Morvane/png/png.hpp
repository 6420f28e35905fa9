// PNG: the chunk codec, the decoder and the encoder.
#pragma once

#include "py/function.hpp"

namespace mv {

extern const char kPngSignature[8];

extern const FunctionDef kReadChunk;  // _readChunk(stream)
extern const FunctionDef kMakeChunk;  // _makeChunk(chunkType, data)
extern const FunctionDef kWritePng;   // _writePng(path, width, height, pixels)

// Decodes a PNG stream positioned at its signature into the tuple
// (width, height, pixels).
PyObject* loadPng(PyObject* stream);

}  // namespace mv
