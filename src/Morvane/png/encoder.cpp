// The PNG encoder: an 8-bit RGB image as the signature, IHDR, one IDAT of
// unfiltered scanlines compressed by zlib, and IEND, each chunk framed by
// _makeChunk and written inside a `with` block over the file.
#include "png/encoder.hpp"

#include <cstdint>
#include <cstring>

#include "png/constants.hpp"
#include "py/buffers.hpp"

namespace mv {

namespace {

// The scanline stream: each row a filter byte 0, then the row's slice of
// the pixel bytes, its bounds resolved as a Python slice's are.
PyObject* buildScanlines(int32_t width, int32_t height, const uint8_t* pixels, Py_ssize_t length) {
    const int64_t rowStride = static_cast<int64_t>(width) * 3;
    auto slice = [&](int64_t y, Py_ssize_t* from) {
        int64_t start = y * rowStride, stop = start + rowStride;
        auto clamp = [&](int64_t v) {
            if (v < 0) v = v + length < 0 ? 0 : v + length;
            return v > length ? static_cast<int64_t>(length) : v;
        };
        start = clamp(start);
        stop = clamp(stop);
        *from = static_cast<Py_ssize_t>(start);
        return static_cast<Py_ssize_t>(stop > start ? stop - start : 0);
    };
    Py_ssize_t total = 0, from;
    for (int64_t y = 0; y < height; ++y) {
        const Py_ssize_t n = slice(y, &from);
        if (total > PY_SSIZE_T_MAX - 1 - n) return PyErr_NoMemory();
        total += 1 + n;
    }
    PyObject* result = PyBytes_FromStringAndSize(nullptr, total);
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result);
    for (int64_t y = 0; y < height; ++y) {
        const Py_ssize_t n = slice(y, &from);
        *out++ = 0;
        std::memcpy(out, pixels + from, static_cast<size_t>(n));
        out += n;
    }
    return result;
}

// IHDR's data: struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0).
PyObject* packIhdr(int32_t width, int32_t height) {
    Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height));
    if (!w || !h) return nullptr;
    PyObject* const zero = smallInt(png::kMethodZero);
    return structCall(name::pack, png::kIhdrFormat, w.get(), h.get(), smallInt(png::kBitDepth),
                      smallInt(png::kColourRgb), zero, zero, zero);
}

// The compressed scanlines: zlib.compress of the rows of `pixels` (viewed
// as the writers view it). A short buffer would make an unreadable file: it
// is refused before anything is written.
PyObject* compressedScanlines(int32_t width, int32_t height, PyObject* pixels) {
    Ref pixView(asByteArray(pixels));
    if (!pixView) return nullptr;
    Ref scanlines;
    {
        ByteView view;
        if (!view.acquire(pixView.get(), false)) return nullptr;
        const int64_t area = int64_t{width} * height;
        int64_t needed;
        if (__builtin_mul_overflow(area, 3, &needed) ? area > 0 : view.size() < needed) {
            PyErr_SetString(PyExc_ValueError, msg::kLengthMismatch);
            return nullptr;
        }
        scanlines.reset(buildScanlines(width, height, view.data(), view.size()));
        if (!scanlines) return nullptr;
    }
    pixView.reset();
    return callGlobalMethod(name::zlib, name::compress, scanlines.get());
}

// output.write(_makeChunk(chunkType, data))
bool writeChunk(PyObject* output, PyObject* chunkType, PyObject* data) {
    // _makeChunk normally lands in makeChunk (png/chunks.cpp).
    Ref makeChunk(lookupGlobal(name::_makeChunk));
    if (!makeChunk) return false;
    Ref chunk(call(makeChunk.get(), chunkType, data));
    return chunk && writeTo(output, chunk.get());
}

PyObject* writePng(PyObject* path, int32_t width, int32_t height, PyObject* pixels) {
    Ref ihdr(packIhdr(width, height));
    if (!ihdr) return nullptr;
    Ref compressed(compressedScanlines(width, height, pixels));
    if (!compressed) return nullptr;
    const Block block = withOpenFile(path, name::wb, [&](PyObject* output) {
        Ref signature(lookupGlobal(name::PNG_SIGNATURE));
        if (!signature || !writeTo(output, signature.get())) return false;
        return writeChunk(output, png::kTypeIHDR, ihdr.get()) && writeChunk(output, png::kTypeIDAT, compressed.get()) &&
               writeChunk(output, png::kTypeIEND, kEmptyBytes);
    });
    if (block == Block::Failed) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef kWritePng =
    function<writePng>("_writePng", {param("path"), param("width"), param("height"), param("pixels")}, "None");

}  // namespace mv
