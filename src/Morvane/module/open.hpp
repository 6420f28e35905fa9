// Opening images: SimpleImage._streamToImage (the format told by the first
// bytes) and SimpleImage.open (a path, or the bytes of a file).
#pragma once

#include "py/ref.hpp"

namespace mv {

// Adds _streamToImage (through `staticmethod`, the built-in) and open to the
// class.
bool addOpeningMethods(PyObject* staticmethod);

}  // namespace mv
