// The BMP decoder: the file header and the info header read and checked as
// the host would (through struct), then the pixel rows, bottom-up or
// top-down, each turned from BGR to RGB into the pixel buffer.
#include "bmp/decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "bmp/constants.hpp"
#include "core/kernels.hpp"
#include "py/buffers.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

// With width 0 every row is empty: past this many rows the decoder stops
// reading them, so that a tiny file claiming 2^31 empty rows cannot keep it
// busy for minutes. The result is the same.
constexpr int64_t kEmptyRowReads = 1 << 16;

// The info header's fields after its size, as the decoder unpacks them: the
// five it uses, then image size, resolution, colours used and important.
enum InfoField { kWidthField, kHeightField, kPlanesField, kBitCountField, kCompressionField, kInfoFieldCount = 10 };

// A signed 32-bit header value as a machine integer.
bool headerValue(PyObject* value, int64_t* out) {
    // A value past 64 bits (from a rebound struct) is out of range like any
    // other, with the same message, not the conversion's own.
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kIndexSized);
        return false;
    }
    *out = v;
    return true;
}

// Unpacks `data` with struct.unpack(format) into exactly N values.
template <size_t N>
bool unpackHeader(PyObject* format, PyObject* data, Ref (&out)[N]) {
    Ref values(structCall(name::unpack, format, data));
    if (!values) return false;
    PyObject* items[N];
    if (!unpackExactly(values.get(), static_cast<Py_ssize_t>(N), items)) return false;
    for (size_t i = 0; i < N; ++i) out[i].reset(items[i]);
    return true;
}

// The file header: "BM", then the file size, two reserved fields and the
// offset of the pixel rows (into *pixelOffset).
bool readFileHeader(PyObject* stream, Ref* pixelOffset) {
    Py_ssize_t n;
    Ref header(readCounted(stream, smallInt(bmp::kFileHeaderSize), &n));
    if (!header) return false;
    int isBmp = 0;
    if (n == bmp::kFileHeaderSize) {
        Ref magic(PySequence_GetSlice(header.get(), 0, bmp::kMagicSize));
        if (!magic) return false;
        if ((isBmp = equalsBytes(magic.get(), bmp::kMagic)) < 0) return false;
    }
    if (!isBmp) {
        raiseValue(msg::kBmpHeader);
        return false;
    }
    Ref fields[4];  // fileSize, reserved, reserved, pixelOffset
    Ref rest(PySequence_GetSlice(header.get(), bmp::kMagicSize, PY_SSIZE_T_MAX));
    if (!rest || !unpackHeader(bmp::kFileHeaderFormat, rest.get(), fields)) return false;
    *pixelOffset = std::move(fields[3]);
    return true;
}

// The info header: its size must be BITMAPINFOHEADER's, and the file one
// plane of uncompressed 24-bit pixels.
bool readInfoHeader(PyObject* stream, Ref (&fields)[kInfoFieldCount]) {
    Py_ssize_t n;
    Ref sizeBytes(readCounted(stream, smallInt(bmp::kHeaderSizeFieldSize), &n));
    if (!sizeBytes) return false;
    if (n != bmp::kHeaderSizeFieldSize) {
        raiseValue(msg::kBmpDib);
        return false;
    }
    {
        Ref values(structCall(name::unpack, bmp::kHeaderSizeFormat, sizeBytes.get()));
        if (!values) return false;
        Ref headerSize(itemAt(values.get(), 0));
        if (!headerSize) return false;
        const int differs = compareTruth(headerSize.get(), smallInt(bmp::kInfoHeaderSize), Py_NE);
        if (differs < 0) return false;
        if (differs) {
            raiseValue(msg::kBmpInfoHeader);
            return false;
        }
    }
    Ref data(callMethod(stream, name::read, smallInt(bmp::kInfoFieldsSize)));
    if (!data || !unpackHeader(bmp::kInfoReadFormat, data.get(), fields)) return false;
    const std::pair<InfoField, int> required[] = {
        {kPlanesField, bmp::kPlanes}, {kBitCountField, bmp::kBitsPerPixel}, {kCompressionField, bmp::kNoCompression}};
    for (const auto& [field, value] : required) {
        const int differs = compareTruth(fields[field].get(), smallInt(value), Py_NE);
        if (differs < 0) return false;
        if (differs) {
            raiseValue(msg::kBmpKind);
            return false;
        }
    }
    return true;
}

// Header values that are not both integers (from a rebound struct) meet the
// host's own arithmetic (the absolute height, the row stride, the buffer's
// size) and its bytearray() before the stream moves, which refuse most of
// them with their own messages. What they accept is taken like any header
// value.
bool hostSizeRefusals(PyObject* width, PyObject* height) {
    Ref absHeight(PyNumber_Absolute(height));
    if (!absHeight) return false;
    Ref stride(PyNumber_Multiply(width, smallInt(3)));  // ((width * 3 + 3) // 4) * 4
    if (stride) stride.reset(PyNumber_Add(stride.get(), smallInt(3)));
    if (stride) stride.reset(PyNumber_FloorDivide(stride.get(), smallInt(4)));
    if (stride) stride.reset(PyNumber_Multiply(stride.get(), smallInt(4)));
    if (!stride) return false;
    Ref size(PyNumber_Multiply(width, absHeight.get()));
    if (size) size.reset(PyNumber_Multiply(size.get(), smallInt(3)));
    if (!size) return false;
    Ref buffer(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), size.get()));
    return static_cast<bool>(buffer);
}

// bytearray(width * absHeight * 3), with the host's refusals. Both factors
// are below 2^33 in magnitude, so only the last product can overflow, and
// then its sign is the width's. Every byte of the buffer is written by the
// rows, so it is not cleared first: a header announcing a huge image with
// little data behind it costs address space, not memory.
PyObject* pixelBufferFor(int64_t width, int64_t absHeight) {
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
    return newByteArray(static_cast<Py_ssize_t>(size));
}

// Rows from this many bytes on are placed without the interpreter lock.
constexpr int64_t kUnlockedRows = 64 << 10;

// The row reads on a plain io.BytesIO, done without them: each row is taken
// straight from the stream's value, and the stream is left where the reads
// would have left it, on success and on failure alike. The rows are placed
// without the interpreter lock (the value is immutable and held here, the
// pixel buffer not handed out yet), unless there are few of them.
template <class Place>
bool readRowsInPlace(PyObject* stream, int64_t rows, int64_t rowStride, Place&& place) {
    Ref value(callMethod(stream, name::getvalue));
    if (!value) return false;
    Ref where(callMethod(stream, name::tell));
    if (!where) return false;
    const Py_ssize_t start = PyLong_AsSsize_t(where.get());
    if (start < 0 && PyErr_Occurred()) return false;
    const char* data = PyBytes_AS_STRING(value.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(value.get());
    Py_ssize_t pos = start;
    bool complete = true;
    PyThreadState* saved = rows * rowStride >= kUnlockedRows ? PyEval_SaveThread() : nullptr;
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
    if (saved) PyEval_RestoreThread(saved);
    if (pos != start) {
        Ref at(PyLong_FromSsize_t(pos));
        if (!at) return false;
        Ref r(callMethod(stream, name::seek, at.get()));
        if (!r) return false;
    }
    if (!complete) raiseValue(msg::kBmpPixels);
    return complete;
}

// Rows are read from a plain file about this many bytes at a time (at least
// one row): a block the allocator keeps at hand between decodes (a larger one
// would be mapped afresh each time, its pages faulted in by every read), and
// large enough to place without the interpreter lock.
constexpr int64_t kFileBlock = 96 << 10;

// The row reads on the host's own reader of a file, done as fewer,
// larger reads: a block of rows at a time into scratch memory, through the
// reader's readinto. The same bytes come from the same file, and the file is
// left where the row reads would leave it: after the last row, or at its end
// when it is short (then the rows fail, as a short row read fails). Rows are
// placed without the interpreter lock, unless there are few of them.
template <class Place>
bool readRowsFromFile(PyObject* stream, int64_t rows, int64_t rowStride, Place&& place) {
    const int64_t blockRows = std::max<int64_t>(1, std::min<int64_t>(rows, kFileBlock / rowStride));
    struct Scratch {
        void* data;
        ~Scratch() { PyMem_Free(data); }
    } scratch{PyMem_Malloc(static_cast<size_t>(blockRows * rowStride))};
    if (!scratch.data) {
        PyErr_NoMemory();
        return false;
    }
    const char* const block = static_cast<const char*>(scratch.data);
    for (int64_t row = 0; row < rows;) {
        const int64_t want = std::min(blockRows, rows - row);
        Py_ssize_t got;
        {
            Ref view(PyMemoryView_FromMemory(static_cast<char*>(scratch.data), want * rowStride, PyBUF_WRITE));
            if (!view) return false;
            // The count read: a seekable file's reader never returns None.
            Ref count(callMethod(stream, name::readinto, view.get()));
            if (!count || (got = PyLong_AsSsize_t(count.get())) < 0) return false;
        }
        const int64_t complete = std::min<int64_t>(got / rowStride, want);
        PyThreadState* saved = complete * rowStride >= kUnlockedRows ? PyEval_SaveThread() : nullptr;
        for (int64_t k = 0; k < complete; ++k) place(row + k, block + k * rowStride);
        if (saved) PyEval_RestoreThread(saved);
        if (complete < want) {
            raiseValue(msg::kBmpPixels);
            return false;
        }
        row += want;
    }
    return true;
}

// The same rows through stream.read, one call per row.
template <class Place>
bool readRowsThroughReads(PyObject* stream, int64_t rows, int64_t rowStride, Place&& place) {
    Ref rowStrideObj(PyLong_FromLongLong(rowStride));
    if (!rowStrideObj) return false;
    for (int64_t row = 0; row < rows; ++row) {
        Ref rowData(callMethod(stream, name::read, rowStrideObj.get()));
        if (!rowData) return false;
        if (!PyBytes_CheckExact(rowData.get())) {
            PyErr_Format(PyExc_TypeError, msg::kExpectedType, "bytes", Py_TYPE(rowData.get())->tp_name);
            return false;
        }
        if (PyBytes_GET_SIZE(rowData.get()) != rowStride) {
            raiseValue(msg::kBmpPixels);
            return false;
        }
        place(row, PyBytes_AS_STRING(rowData.get()));
    }
    return true;
}

// The pixel rows from the stream's position into `pixels`: stored bottom-up
// for a positive height, top-down for a negative one, each padded to a
// multiple of four bytes.
bool readRows(PyObject* stream, int64_t width, int64_t height, PyObject* pixels) {
    const int64_t absHeight = height < 0 ? -height : height;
    const int64_t rowStride = bmp::rowStride(width);
    const int64_t rows = width == 0 ? std::min(absHeight, kEmptyRowReads) : absHeight;
    const size_t rowPixels = width > 0 ? static_cast<size_t>(width) : 0;
    // Stored row `row` (BGR) goes to its image row (RGB) in the buffer.
    uint8_t* const out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels));
    auto place = [&](int64_t row, const char* stored) {
        const int64_t targetRow = height > 0 ? absHeight - 1 - row : row;
        swapRedBlue(reinterpret_cast<const uint8_t*>(stored), out + static_cast<size_t>(targetRow) * rowPixels * 3,
                    rowPixels);
    };
    if (isPlainBytesIO(stream)) return readRowsInPlace(stream, rows, rowStride, place);
    if (rowStride > 0 && isPlainFileReader(stream)) return readRowsFromFile(stream, rows, rowStride, place);
    return readRowsThroughReads(stream, rows, rowStride, place);
}

}  // namespace

PyObject* loadBmp(PyObject* stream) {
    Ref pixelOffset;
    Ref info[kInfoFieldCount];
    if (!readFileHeader(stream, &pixelOffset) || !readInfoHeader(stream, info)) return nullptr;
    PyObject* const widthValue = info[kWidthField].get();
    PyObject* const heightValue = info[kHeightField].get();
    if ((!PyLong_Check(widthValue) || !PyLong_Check(heightValue)) && !hostSizeRefusals(widthValue, heightValue))
        return nullptr;
    int64_t width, height;
    if (!headerValue(widthValue, &width) || !headerValue(heightValue, &height)) return nullptr;
    const int64_t absHeight = height < 0 ? -height : height;
    Ref pixels(pixelBufferFor(width, absHeight));
    if (!pixels) return nullptr;
    {
        Ref r(callMethod(stream, name::seek, pixelOffset.get()));
        if (!r) return nullptr;
    }
    if (!readRows(stream, width, height, pixels.get())) return nullptr;
    Ref heightObj(PyLong_FromLongLong(absHeight));
    if (!heightObj) return nullptr;
    return PyTuple_Pack(3, info[kWidthField].get(), heightObj.get(), pixels.get());
}

}  // namespace mv
