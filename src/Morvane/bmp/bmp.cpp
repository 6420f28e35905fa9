#include "bmp/bmp.hpp"

#include <algorithm>
#include <cstring>

#include "core/kernels.hpp"
#include "py/messages.hpp"

namespace mv {

namespace {

// With width 0 every row is empty: past this many rows the decoder stops
// reading them, so that a tiny file claiming 2^31 empty rows cannot keep it
// busy for minutes. The result is the same.
constexpr int64_t kEmptyRowReads = 1 << 16;

// Floor division by a positive divisor, as the host divides.
int64_t floorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// ((width * 3 + 3) // 4) * 4: the bytes of one stored row, pad included.
int64_t rowStrideOf(int64_t width) { return floorDiv(width * 3 + 3, 4) * 4; }

// A signed 32-bit header value as a machine integer.
bool headerValue(PyObject* value, int64_t* out) {
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kIndexSized);
        return false;
    }
    *out = v;
    return true;
}

// Unpacks `data` with struct.unpack(format) into exactly N values.
template <size_t N>
bool unpackHeader(PyObject* format, PyObject* data, Ref (&out)[N]) {
    Ref values(structCall(names.unpack, format, data));
    if (!values) return false;
    PyObject* items[N];
    if (!unpackExactly(values.get(), static_cast<Py_ssize_t>(N), items)) return false;
    for (size_t i = 0; i < N; ++i) out[i].reset(items[i]);
    return true;
}

// The row reads on a plain io.BytesIO, done without them: each row is taken
// straight from the stream's value, and the stream is left where the reads
// would have left it, on success and on failure alike.
template <class Place>
bool readRowsInPlace(PyObject* stream, int64_t rows, int64_t rowStride, Place&& place) {
    Ref value(callMethod(stream, names.getvalue));
    if (!value) return false;
    Ref where(callMethod(stream, names.tell));
    if (!where) return false;
    const Py_ssize_t start = PyLong_AsSsize_t(where.get());
    if (start < 0 && PyErr_Occurred()) return false;
    const char* data = PyBytes_AS_STRING(value.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(value.get());
    Py_ssize_t pos = start;
    bool complete = true;
    for (int64_t row = 0; row < rows; ++row) {
        const Py_ssize_t available = pos < size ? size - pos : 0;
        if (available < rowStride) {
            pos += available;
            complete = false;
            break;
        }
        place(row, rowStride ? data + pos : data);
        pos += static_cast<Py_ssize_t>(rowStride);
    }
    if (pos != start) {
        Ref at(PyLong_FromSsize_t(pos));
        if (!at) return false;
        Ref r(callMethod(stream, names.seek, at.get()));
        if (!r) return false;
    }
    if (!complete) raiseValue(msg::kBmpPixels);
    return complete;
}

}  // namespace

PyObject* loadBmp(PyObject* stream) {
    Py_ssize_t n;
    Ref header(readCounted(stream, names.int14, &n));
    if (!header) return nullptr;
    int isBmp = 0;
    if (n == 14) {
        Ref magic(PySequence_GetSlice(header.get(), 0, 2));
        if (!magic) return nullptr;
        if ((isBmp = equalsBytes(magic.get(), names.bytesBM)) < 0) return nullptr;
    }
    if (!isBmp) {
        raiseValue(msg::kBmpHeader);
        return nullptr;
    }
    Ref fileHeader[4];  // fileSize, reserved, reserved, pixelOffset
    {
        Ref rest(PySequence_GetSlice(header.get(), 2, PY_SSIZE_T_MAX));
        if (!rest || !unpackHeader(names.fmtBmpFile, rest.get(), fileHeader)) return nullptr;
    }
    Ref sizeBytes(readCounted(stream, names.int4, &n));
    if (!sizeBytes) return nullptr;
    if (n != 4) {
        raiseValue(msg::kBmpDib);
        return nullptr;
    }
    {
        Ref values(structCall(names.unpack, names.fmtU32LE, sizeBytes.get()));
        if (!values) return nullptr;
        Ref dibHeaderSize(itemAt(values.get(), 0));
        if (!dibHeaderSize) return nullptr;
        int differs = compareTruth(dibHeaderSize.get(), names.int40, Py_NE);
        if (differs < 0) return nullptr;
        if (differs) {
            raiseValue(msg::kBmpInfoHeader);
            return nullptr;
        }
    }
    // width, height, planes, bitCount, compression, imageSize, xPpm, yPpm,
    // clrUsed, clrImportant
    Ref dib[10];
    {
        Ref dibData(callMethod(stream, names.read, names.int36));
        if (!dibData || !unpackHeader(names.fmtBmpDibRead, dibData.get(), dib)) return nullptr;
    }
    PyObject* const required[3] = {names.int1, names.int24, names.int0};  // planes, bitCount, compression
    for (int k = 0; k < 3; ++k) {
        int differs = compareTruth(dib[2 + k].get(), required[k], Py_NE);
        if (differs < 0) return nullptr;
        if (differs) {
            raiseValue(msg::kBmpKind);
            return nullptr;
        }
    }
    int64_t width, height;
    if (!headerValue(dib[0].get(), &width) || !headerValue(dib[1].get(), &height)) return nullptr;
    const int64_t absHeight = height < 0 ? -height : height;
    const int64_t rowStride = rowStrideOf(width);
    // bytearray(width * absHeight * 3), with the host's refusals. Both
    // factors are below 2^33 in magnitude, so only the last product can
    // overflow, and then its sign is the width's.
    int64_t size;
    const bool overflow = __builtin_mul_overflow(width * 3, absHeight, &size);
    if (overflow ? width < 0 : size < 0) {
        raiseValue(msg::kNegativeCount);
        return nullptr;
    }
    if (overflow || size > PY_SSIZE_T_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kIndexSized);
        return nullptr;
    }
    // Every byte of the buffer is written by the row loop below, so it is
    // not cleared first: a header announcing a huge image with little data
    // behind it costs address space, not memory.
    Ref pixels(newByteArray(static_cast<Py_ssize_t>(size)));
    if (!pixels) return nullptr;
    {
        Ref r(callMethod(stream, names.seek, fileHeader[3].get()));
        if (!r) return nullptr;
    }
    const int64_t rows = width == 0 ? std::min(absHeight, kEmptyRowReads) : absHeight;
    const size_t rowPixels = width > 0 ? static_cast<size_t>(width) : 0;
    // Stored row `row` (BGR) goes to its image row (RGB) in the buffer.
    auto place = [&](int64_t row, const char* stored) {
        const int64_t targetRow = height > 0 ? absHeight - 1 - row : row;
        uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
        swapRedBlue(reinterpret_cast<const uint8_t*>(stored), out + static_cast<size_t>(targetRow) * rowPixels * 3,
                    rowPixels);
    };
    if (isPlainBytesIO(stream)) {
        if (!readRowsInPlace(stream, rows, rowStride, place)) return nullptr;
    } else {
        Ref rowStrideObj(PyLong_FromLongLong(rowStride));
        if (!rowStrideObj) return nullptr;
        for (int64_t row = 0; row < rows; ++row) {
            Ref rowData(callMethod(stream, names.read, rowStrideObj.get()));
            if (!rowData) return nullptr;
            if (!PyBytes_CheckExact(rowData.get())) {
                PyErr_Format(PyExc_TypeError, msg::kExpectedType, "bytes", Py_TYPE(rowData.get())->tp_name);
                return nullptr;
            }
            if (PyBytes_GET_SIZE(rowData.get()) != rowStride) {
                raiseValue(msg::kBmpPixels);
                return nullptr;
            }
            place(row, PyBytes_AS_STRING(rowData.get()));
        }
    }
    Ref heightObj(PyLong_FromLongLong(absHeight));
    if (!heightObj) return nullptr;
    return PyTuple_Pack(3, dib[0].get(), heightObj.get(), pixels.get());
}

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
            for (size_t r = 0; r < nrows; ++r, --y) {
                swapRedBlue(data + static_cast<size_t>(y) * rowPixels * 3, out, rowPixels);
                std::memset(out + rowPixels * 3, 0, rowPad);
                out += rowOut;
            }
        }
        if (bytes > 0 && !writeTo(output, chunk.get())) return false;
        if (shortBuffer) {
            PyErr_SetString(PyExc_IndexError, msg::kByteArrayIndex);
            return false;
        }
    }
    return true;
}

PyObject* writeBmpImpl(const BoundArgs& args) {
    PyObject* path = args.obj[0];
    const int32_t width = args.i32[1], height = args.i32[2];
    PyObject* pixels = args.obj[3];
    // The derived sizes, exact host integers, before the file is opened.
    const int64_t rowStride = rowStrideOf(width);
    const size_t rowPad = static_cast<size_t>(rowStride - int64_t{width} * 3);
    Ref pixelArraySize, fileSize;
    {
        Ref stride(PyLong_FromLongLong(rowStride)), rows(PyLong_FromLong(height));
        if (!stride || !rows) return nullptr;
        pixelArraySize.reset(PyNumber_Multiply(stride.get(), rows.get()));
        if (!pixelArraySize) return nullptr;
        fileSize.reset(PyNumber_Add(names.int54, pixelArraySize.get()));
        if (!fileSize) return nullptr;
    }
    Ref pixBuf(asByteArray(pixels));
    if (!pixBuf) return nullptr;
    ByteView view;
    const Block block = withOpenFile(path, names.wb, [&](PyObject* output) {
        if (!view.acquire(pixBuf.get(), false)) return false;
        if (!writeTo(output, names.bytesBM)) return false;
        {
            Ref packed(structCall(names.pack, names.fmtBmpFile, fileSize.get(), names.int0, names.int0, names.int54));
            if (!packed || !writeTo(output, packed.get())) return false;
        }
        {
            Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height));
            if (!w || !h) return false;
            Ref packed(structCall(names.pack, names.fmtBmpDib, names.int40, w.get(), h.get(), names.int1, names.int24,
                                  names.int0, pixelArraySize.get(), names.int2835, names.int2835, names.int0,
                                  names.int0));
            if (!packed || !writeTo(output, packed.get())) return false;
        }
        // With the genuine built-in `open` the file is the host's own, and
        // joining the pieces cannot be told apart from writing them one by one.
        const bool plainFile = builtinOpen() == names.ioOpen && Py_IS_TYPE(output, names.bufferedWriterType);
        return plainFile ? writeRowsJoined(output, view.data(), view.size(), width, height, rowPad)
                         : writeRowsPiecewise(output, view.data(), view.size(), width, height, rowPad);
    });
    if (block == Block::Failed) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef kWriteBmp = {
    "_writeBmp",
    Kind::Function,
    {"_writeBmp", 4, {{"path"}, {"width", nullptr, nullptr, true}, {"height", nullptr, nullptr, true}, {"pixels"}}},
    "None",
    writeBmpImpl};

}  // namespace mv
