// The BMP encoder: the two headers, then the pixel rows bottom-up as BGR,
// each padded to four bytes, written inside a `with` block over the file:
// piece by piece as the host's steps go, or joined into large writes where
// the file is the host's own and only the bytes on disk can be seen.
#include "bmp/encoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bmp/constants.hpp"
#include "core/kernels.hpp"
#include "py/buffers.hpp"

namespace mv {

namespace {

// Up to this many bytes of rows are assembled before each write.
constexpr size_t kWriteChunk = size_t{1} << 20;

// y * width * 3 + offset, or INT64_MAX where that does not fit (a position
// past the end of any buffer).
int64_t bytePosition(int64_t y, int32_t width, int64_t offset) {
    int64_t start, at;
    if (__builtin_mul_overflow(y, int64_t{width} * 3, &start) || __builtin_add_overflow(start, offset, &at))
        return INT64_MAX;
    return at;
}

// The pixel rows, bottom row first, as the steps go: one write per pixel
// (blue, green, red) and one per row for its padding. A short buffer fails
// with IndexError when the first byte past its end is read.
bool writeRowsPiecewise(PyObject* output, const uint8_t* data, Py_ssize_t length, int32_t width, int32_t height,
                        size_t rowPad) {
    if (width <= 0 && rowPad == 0) return true;  // nothing to write, nothing read
    Ref padBytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rowPad)));
    if (!padBytes) return false;
    std::memset(PyBytes_AS_STRING(padBytes.get()), 0, rowPad);
    for (int64_t y = int64_t{height} - 1; y >= 0; --y) {
        for (int32_t x = 0; x < width; ++x) {
            const int64_t idx = bytePosition(y, width, int64_t{x} * 3);
            uint8_t rgb[3];
            for (int k = 0; k < 3; ++k) {
                if (idx >= length - k) {
                    PyErr_SetString(PyExc_IndexError, msg::kByteArrayIndex);
                    return false;
                }
                rgb[k] = data[idx + k];
            }
            const char bgr[3] = {static_cast<char>(rgb[2]), static_cast<char>(rgb[1]), static_cast<char>(rgb[0])};
            Ref piece(PyBytes_FromStringAndSize(bgr, 3));
            if (!piece || !writeTo(output, piece.get())) return false;
        }
        if (rowPad != 0 && !writeTo(output, padBytes.get())) return false;
    }
    return true;
}

// The same rows joined into large writes, for the host's own buffered file,
// where only the bytes on disk can be seen. A short buffer leaves the same
// bytes in the file as the piecewise writes.
bool writeRowsJoined(PyObject* output, const uint8_t* data, Py_ssize_t length, int32_t width, int32_t height,
                     size_t rowPad) {
    const size_t rowPixels = width > 0 ? static_cast<size_t>(width) : 0;
    const size_t rowOut = rowPixels * 3 + rowPad;
    if (rowOut == 0 || height <= 0) return true;
    // The bottom row is written first and lies at the end of the buffer, so
    // a short buffer shows in the first row: only its pixels before the first
    // one reaching past the end are written.
    size_t firstRowPixels = rowPixels;
    if (rowPixels > 0) {
        const int64_t start = bytePosition(int64_t{height} - 1, width, 0);
        const int64_t room = start >= length ? 0 : length - start;
        if (room < static_cast<int64_t>(rowPixels * 3)) firstRowPixels = static_cast<size_t>(room / 3);
    }
    const bool shortBuffer = firstRowPixels < rowPixels;
    const size_t chunkRows = shortBuffer ? 1 : std::max<size_t>(1, kWriteChunk / rowOut);
    int64_t y = int64_t{height} - 1;
    while (y >= 0) {
        const size_t nrows = std::min<size_t>(chunkRows, static_cast<size_t>(y) + 1);
        const size_t bytes = shortBuffer ? firstRowPixels * 3 : nrows * rowOut;
        Ref chunk(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
        if (!chunk) return false;
        uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(chunk.get()));
        if (shortBuffer) {
            // With no pixel of the row inside the buffer, its start is not a
            // position in the buffer at all: do not form it.
            if (firstRowPixels > 0) swapRedBlue(data + static_cast<size_t>(y) * rowPixels * 3, out, firstRowPixels);
        } else {
            packBmpRows(data, rowPixels, static_cast<size_t>(y), nrows, rowPad, out);
            y -= static_cast<int64_t>(nrows);
        }
        if (bytes > 0 && !writeTo(output, chunk.get())) return false;
        if (shortBuffer) {
            PyErr_SetString(PyExc_IndexError, msg::kByteArrayIndex);
            return false;
        }
    }
    return true;
}

// The headers: "BM", the file header, and the info header.
bool writeHeaders(PyObject* output, int32_t width, int32_t height, PyObject* fileSize, PyObject* pixelArraySize) {
    PyObject* const zero = smallInt(0);
    if (!writeTo(output, bmp::kMagic)) return false;
    {
        Ref packed(structCall(name::pack, bmp::kFileHeaderFormat, fileSize, zero, zero, smallInt(bmp::kPixelOffset)));
        if (!packed || !writeTo(output, packed.get())) return false;
    }
    Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height));
    if (!w || !h) return false;
    Ref packed(structCall(name::pack, bmp::kInfoWriteFormat, smallInt(bmp::kInfoHeaderSize), w.get(), h.get(),
                          smallInt(bmp::kPlanes), smallInt(bmp::kBitsPerPixel), smallInt(bmp::kNoCompression),
                          pixelArraySize, bmp::kPixelsPerMetre, bmp::kPixelsPerMetre, zero, zero));
    return packed && writeTo(output, packed.get());
}

PyObject* writeBmp(PyObject* path, int32_t width, int32_t height, PyObject* pixels) {
    // The derived sizes, exact host integers, before the file is opened.
    const int64_t rowStride = bmp::rowStride(width);
    const size_t rowPad = static_cast<size_t>(rowStride - int64_t{width} * 3);
    Ref pixelArraySize, fileSize;
    {
        Ref stride(PyLong_FromLongLong(rowStride)), rows(PyLong_FromLong(height));
        if (!stride || !rows) return nullptr;
        pixelArraySize.reset(PyNumber_Multiply(stride.get(), rows.get()));
        if (!pixelArraySize) return nullptr;
        fileSize.reset(PyNumber_Add(smallInt(bmp::kPixelOffset), pixelArraySize.get()));
        if (!fileSize) return nullptr;
    }
    Ref pixBuf(asByteArray(pixels));
    if (!pixBuf) return nullptr;
    ByteView view;
    const Block block = withOpenFile(path, name::wb, [&](PyObject* output) {
        if (!view.acquire(pixBuf.get(), false)) return false;
        if (!writeHeaders(output, width, height, fileSize.get(), pixelArraySize.get())) return false;
        // With the genuine built-in `open` the file is the host's own, and
        // joining the pieces cannot be told apart from writing them one by one.
        const bool plainFile = process.open == process.io.open && Py_IS_TYPE(output, process.io.bufferedWriter);
        return plainFile ? writeRowsJoined(output, view.data(), view.size(), width, height, rowPad)
                         : writeRowsPiecewise(output, view.data(), view.size(), width, height, rowPad);
    });
    if (block == Block::Failed) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef kWriteBmp =
    function<writeBmp>("_writeBmp", {param("path"), param("width"), param("height"), param("pixels")}, "None");

}  // namespace mv
