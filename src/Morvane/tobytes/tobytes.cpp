// Morvane._tobytes: the bytes of a BMP file made straight in memory, for
// Morvane.encode(). It is not part of simpleImage_ext and has one function,
// which encode() calls only when saveBmp() could not fail and every step it
// takes is the host's own: then the module's writer would produce exactly
// these bytes, and going through a file only adds a copy. The rows are packed
// by the same kernel as the writer's.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "core/hugepages.hpp"
#include "core/kernels.hpp"

namespace {

constexpr int64_t kHeaderSize = 54;  // the file header (14) and BITMAPINFOHEADER (40)
constexpr uint32_t kPixelsPerMetre = 2835;

void putU16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void putU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The two headers of a width x height 24-bit BMP whose rows are
// `pixelArraySize` bytes in all, as the writer packs them.
void writeHeaders(uint8_t* out, uint32_t width, uint32_t height, uint32_t pixelArraySize) {
    std::memset(out, 0, kHeaderSize);
    out[0] = 'B';
    out[1] = 'M';
    putU32(out + 2, static_cast<uint32_t>(kHeaderSize) + pixelArraySize);  // the file's size
    putU32(out + 10, static_cast<uint32_t>(kHeaderSize));                  // where the rows start
    putU32(out + 14, 40);                                                  // the info header's size
    putU32(out + 18, width);
    putU32(out + 22, height);
    putU16(out + 26, 1);   // planes
    putU16(out + 28, 24);  // bits per pixel
    putU32(out + 34, pixelArraySize);
    putU32(out + 38, kPixelsPerMetre);
    putU32(out + 42, kPixelsPerMetre);
}

// A side of the image: an int from 1 to 2**31 - 1.
bool imageSide(PyObject* value, const char* what, int64_t* out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.100s", what, Py_TYPE(value)->tp_name);
        return false;
    }
    const long long side = PyLong_AsLongLong(value);
    if (side == -1 && PyErr_Occurred()) return false;
    if (side < 1 || side > INT32_MAX) {
        PyErr_Format(PyExc_ValueError, "%s must be from 1 to %d", what, INT32_MAX);
        return false;
    }
    *out = side;
    return true;
}

// Releases a buffer on every way out.
struct BufferHold {
    Py_buffer view{};
    bool held = false;
    ~BufferHold() {
        if (held) PyBuffer_Release(&view);
    }
};

// bmp(width, height, pixels, /) -> bytes: the file saveBmp() writes for an
// image of that size whose pixel bytes (RGB, rows top-down) start `pixels`.
PyObject* bmp(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "bmp() takes 3 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    int64_t width, height;
    if (!imageSide(args[0], "width", &width) || !imageSide(args[1], "height", &height)) return nullptr;
    // Rows padded to four bytes; the sizes in the headers are 32-bit fields.
    const int64_t stride = (width * 3 + 3) / 4 * 4;
    int64_t pixelArraySize, pixelBytes;
    if (__builtin_mul_overflow(stride, height, &pixelArraySize) || pixelArraySize > int64_t{UINT32_MAX} - kHeaderSize ||
        __builtin_mul_overflow(width * 3, height, &pixelBytes)) {
        PyErr_SetString(PyExc_ValueError, "image too large for a BMP file");
        return nullptr;
    }
    BufferHold pixels;
    if (PyObject_GetBuffer(args[2], &pixels.view, PyBUF_SIMPLE) != 0) return nullptr;
    pixels.held = true;
    if (pixels.view.len < pixelBytes) {
        PyErr_SetString(PyExc_ValueError, "pixels holds fewer bytes than the image");
        return nullptr;
    }
    const int64_t fileSize = kHeaderSize + pixelArraySize;
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(fileSize));
    if (!result) return nullptr;
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result));
    mv::adviseHugePages(out, static_cast<size_t>(fileSize));  // a large result: fewer page faults
    writeHeaders(out, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                 static_cast<uint32_t>(pixelArraySize));
    // The buffer stays Python's to reach meanwhile, so the interpreter lock
    // is held, as the writer holds it.
    mv::packBmpRows(static_cast<const uint8_t*>(pixels.view.buf), static_cast<size_t>(width),
                    static_cast<size_t>(height - 1), static_cast<size_t>(height),
                    static_cast<size_t>(stride - width * 3), out + kHeaderSize);
    return result;
}

PyMethodDef methods[] = {
    {"bmp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bmp)), METH_FASTCALL,
     "bmp($module, width, height, pixels, /)\n--\n\nThe bytes of the BMP file saveBmp() writes for the image."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "_tobytes", "encode()'s in-memory BMP writer.", 0, methods, slots,
};

}  // namespace

PyMODINIT_FUNC PyInit__tobytes() { return PyModuleDef_Init(&moduleDef); }
