// The BMP decoder: uncompressed 24-bit BITMAPINFOHEADER files.
#pragma once

#include "py/ref.hpp"

namespace mv {

// Decodes a BMP stream positioned at its first byte into the tuple
// (width, height, pixels).
PyObject* loadBmp(PyObject* stream);

}  // namespace mv
