// The PNG decoder: the chunks read in order, the header checked, and the
// image data inflated and its rows undone into a pixel buffer.
#pragma once

#include "py/ref.hpp"

namespace mv {

// Decodes a PNG stream positioned at its signature into the tuple
// (width, height, pixels).
PyObject* loadPng(PyObject* stream);

}  // namespace mv
