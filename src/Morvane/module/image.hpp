// The SimpleImage object layout, shared by the class and the encoders.
#pragma once

#include "py/host.hpp"

namespace mv {

struct ImageObject {
    PyObject_HEAD int32_t width;
    int32_t height;
    PyObject* pixels;  // a bytearray, or None
};

PyTypeObject* imageType();

}  // namespace mv
