// The SimpleImage class: its object layout, and what opening images and the
// module's initialisation need of it.
#pragma once

#include <cstdint>

#include "py/ref.hpp"

namespace mv {

struct ImageObject {
    PyObject_HEAD int32_t width;
    int32_t height;
    PyObject* pixels;  // a bytearray, or None
};

PyTypeObject* imageType();

// Readies the type (idempotent).
bool readyImageType();
// Sets the class attribute `name`, taking over `value` (an empty Ref: its
// creation failed, and the error is pending).
bool setImageMember(const char* name, Ref value);
// The class's refusal to pickle: __reduce__ and __setstate__.
bool addPicklingRefusal();
// The pixel methods, copy, save and saveBmp.
bool addImageMethods();

// A plain SimpleImage that takes over `buffer`, a bytearray nobody else
// holds, after the same length test the constructor makes.
PyObject* adoptBuffer(int32_t width, int32_t height, Ref buffer);

}  // namespace mv
