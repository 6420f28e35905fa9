// BMP: the decoder and the encoder.
#pragma once

#include "py/function.hpp"

namespace mv {

extern const FunctionDef kWriteBmp;  // _writeBmp(path, width, height, pixels)

// Decodes a BMP stream positioned at its first byte into the tuple
// (width, height, pixels).
PyObject* loadBmp(PyObject* stream);

}  // namespace mv
