#include "bmp.hpp"

#include <algorithm>
#include <cstring>

#include "kernels.hpp"

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

// A host int of a 128-bit value.
PyObject* longFrom(__int128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) return PyLong_FromLongLong(static_cast<long long>(v));
    Ref high(PyLong_FromLongLong(static_cast<long long>(v >> 64)));
    Ref low(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    Ref shift(PyLong_FromLong(64));
    if (!high || !low || !shift) return nullptr;
    Ref shifted(PyNumber_Lshift(high.get(), shift.get()));
    if (!shifted) return nullptr;
    return PyNumber_Add(shifted.get(), low.get());
}

// A signed 32-bit header value as a machine integer.
bool headerValue(PyObject* value, int64_t* out) {
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        return false;
    }
    *out = v;
    return true;
}

// `value != expected`, as the host compares: 1, 0, or -1 on error.
int differsFrom(PyObject* value, long expected) {
    Ref other(PyLong_FromLong(expected));
    if (!other) return -1;
    return compareTruth(value, other.get(), Py_NE);
}

// Unpacks `data` with struct.unpack(format) into exactly n values.
bool unpackHeader(PyObject*& slot, const char* format, PyObject* data, Py_ssize_t n, Ref* out) {
    Ref values(structCall(names.unpack, slot, format, data));
    if (!values) return false;
    PyObject* items[10];
    if (!unpackExactly(values.get(), n, items)) return false;
    for (Py_ssize_t i = 0; i < n; ++i) out[i].reset(items[i]);
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
    if (!complete) raiseValue("Incomplete BMP pixel data");
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
        if ((isBmp = equalsBytes(magic.get(), "BM", 2)) < 0) return nullptr;
    }
    if (!isBmp) {
        raiseValue("Unsupported BMP header");
        return nullptr;
    }
    Ref fileHeader[4];  // fileSize, reserved, reserved, pixelOffset
    {
        Ref rest(PySequence_GetSlice(header.get(), 2, PY_SSIZE_T_MAX));
        static PyObject* fmtFile;
        if (!rest || !unpackHeader(fmtFile, "<IHHI", rest.get(), 4, fileHeader)) return nullptr;
    }
    Ref sizeBytes(readCounted(stream, names.int4, &n));
    if (!sizeBytes) return nullptr;
    if (n != 4) {
        raiseValue("Corrupted BMP DIB header");
        return nullptr;
    }
    {
        static PyObject* fmtSize;
        Ref dibHeaderSize[1];
        if (!unpackHeader(fmtSize, "<I", sizeBytes.get(), 1, dibHeaderSize)) return nullptr;
        int differs = differsFrom(dibHeaderSize[0].get(), 40);
        if (differs < 0) return nullptr;
        if (differs) {
            raiseValue("Only BITMAPINFOHEADER BMP files are supported");
            return nullptr;
        }
    }
    // width, height, planes, bitCount, compression, imageSize, xPpm, yPpm,
    // clrUsed, clrImportant
    Ref dib[10];
    {
        Ref dibData(callMethod(stream, names.read, names.int36));
        static PyObject* fmtDib;
        if (!dibData || !unpackHeader(fmtDib, "<iiHHIIiiII", dibData.get(), 10, dib)) return nullptr;
    }
    const long required[3] = {1, 24, 0};
    for (int k = 0; k < 3; ++k) {
        int differs = differsFrom(dib[2 + k].get(), required[k]);
        if (differs < 0) return nullptr;
        if (differs) {
            raiseValue("Only uncompressed 24-bit BMP files are supported");
            return nullptr;
        }
    }
    int64_t width, height;
    if (!headerValue(dib[0].get(), &width) || !headerValue(dib[1].get(), &height)) return nullptr;
    const int64_t absHeight = height < 0 ? -height : height;
    const int64_t rowStride = rowStrideOf(width);
    // bytearray(width * absHeight * 3), with the host's refusals.
    const __int128 size = static_cast<__int128>(width) * 3 * absHeight;
    if (size < 0) {
        raiseValue("negative count");
        return nullptr;
    }
    if (size > PY_SSIZE_T_MAX) {
        PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
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
                PyErr_Format(PyExc_TypeError, "Expected bytes, got %.200s", Py_TYPE(rowData.get())->tp_name);
                return nullptr;
            }
            if (PyBytes_GET_SIZE(rowData.get()) != rowStride) {
                raiseValue("Incomplete BMP pixel data");
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

PyObject* writeBmpImpl(const BoundArgs& args) {
    PyObject* path = args.obj[0];
    const int32_t width = args.i32[1], height = args.i32[2];
    PyObject* pixels = args.obj[3];
    const int64_t rowStride = rowStrideOf(width);
    const __int128 pixelArraySize = static_cast<__int128>(rowStride) * height;
    const __int128 fileSize = 54 + pixelArraySize;
    Ref pixBuf = PyByteArray_Check(pixels)
                     ? Ref::borrow(pixels)
                     : Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), pixels));
    if (!pixBuf) return nullptr;
    ByteView view;
    bool ok = withOpenFile(path, names.wb, [&](PyObject* output) {
        if (!view.acquire(pixBuf.get(), false)) return false;
        {
            Ref magic(PyBytes_FromStringAndSize("BM", 2));
            if (!magic || !writeTo(output, magic.get())) return false;
        }
        {
            Ref size(longFrom(fileSize)), offset(PyLong_FromLong(54));
            if (!size || !offset) return false;
            static PyObject* fmtFile;
            Ref packed(structCall(names.pack, fmtFile, "<IHHI", size.get(), names.int0, names.int0, offset.get()));
            if (!packed || !writeTo(output, packed.get())) return false;
        }
        {
            Ref values[] = {Ref(PyLong_FromLong(40)),   Ref(PyLong_FromLong(width)), Ref(PyLong_FromLong(height)),
                            Ref(PyLong_FromLong(1)),    Ref(PyLong_FromLong(24)),    Ref(longFrom(pixelArraySize)),
                            Ref(PyLong_FromLong(2835))};
            for (const Ref& v : values)
                if (!v) return false;
            static PyObject* fmtDib;
            Ref packed(structCall(names.pack, fmtDib, "<IIIHHIIIIII", values[0].get(), values[1].get(),
                                  values[2].get(), values[3].get(), values[4].get(), names.int0, values[5].get(),
                                  values[6].get(), values[6].get(), names.int0, names.int0));
            if (!packed || !writeTo(output, packed.get())) return false;
        }
        // Rows bottom first: blue, green, red per pixel, then zero padding.
        const size_t rowPixels = width > 0 ? static_cast<size_t>(width) : 0;
        const size_t rowPad = static_cast<size_t>(rowStride - int64_t{width} * 3);
        const size_t rowOut = rowPixels * 3 + rowPad;
        const Py_ssize_t length = view.size();
        // The bottom row is written first and lies at the end of the buffer,
        // so a short buffer shows in the first row: only its pixels before the
        // first one reaching past the end are written.
        size_t firstRowPixels = rowPixels;
        if (height > 0 && rowPixels > 0) {
            // Exact: with a rebound `struct` that packs any value, both
            // dimensions can be near 2^31 here, beyond 64-bit products.
            const __int128 start = static_cast<__int128>(height - 1) * width * 3;
            const __int128 room = static_cast<__int128>(length) - start;
            if (room < static_cast<__int128>(rowPixels * 3)) firstRowPixels = room < 0 ? 0 : static_cast<size_t>(room / 3);
        }
        if (rowOut == 0 || height <= 0) return true;
        const bool shortBuffer = firstRowPixels < rowPixels;
        const size_t chunkRows = shortBuffer ? 1 : std::max<size_t>(1, kWriteChunk / rowOut);
        int64_t y = height - 1;
        while (y >= 0) {
            const size_t nrows = std::min<size_t>(chunkRows, static_cast<size_t>(y) + 1);
            const size_t bytes = shortBuffer ? firstRowPixels * 3 : nrows * rowOut;
            Ref chunk(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
            if (!chunk) return false;
            uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(chunk.get()));
            if (shortBuffer) {
                // With no pixel of the row inside the buffer, its start is not
                // a position in the buffer at all: do not form it.
                if (firstRowPixels > 0)
                    swapRedBlue(view.data() + static_cast<size_t>(y) * rowPixels * 3, out, firstRowPixels);
            } else {
                for (size_t r = 0; r < nrows; ++r, --y) {
                    swapRedBlue(view.data() + static_cast<size_t>(y) * rowPixels * 3, out, rowPixels);
                    std::memset(out + rowPixels * 3, 0, rowPad);
                    out += rowOut;
                }
            }
            if (bytes > 0 && !writeTo(output, chunk.get())) return false;
            if (shortBuffer) {
                PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
                return false;
            }
        }
        return true;
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef kWriteBmp = {
    "_writeBmp", Kind::Function,
    {"_writeBmp", 4, {{"path"}, {"width", nullptr, nullptr, true}, {"height", nullptr, nullptr, true}, {"pixels"}}},
    "None", writeBmpImpl};

}  // namespace mv
