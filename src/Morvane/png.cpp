#include "png.hpp"

#include <cstring>
#include <memory>

#include "kernels.hpp"
#include "messages.hpp"

namespace mv {

const char kPngSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};

namespace {


// zlib.crc32(chunkType), then zlib.crc32(data, that) & 0xFFFFFFFF.
PyObject* chunkCrc(PyObject* chunkType, PyObject* data) {
    Ref first(callGlobalMethod(names.zlib, names.crc32, chunkType));
    if (!first) return nullptr;
    Ref second(callGlobalMethod(names.zlib, names.crc32, data, first.get()));
    if (!second) return nullptr;
    return PyNumber_And(second.get(), names.mask32);
}


// ---------------------------------------------------------------------------
// Chunks

PyObject* readChunkImpl(const BoundArgs& args) {
    PyObject* stream = args.obj[0];
    Py_ssize_t n;
    Ref lengthBytes(readCounted(stream, names.int4, &n));
    if (!lengthBytes) return nullptr;
    if (n == 0) return PyTuple_Pack(2, names.emptyBytes, names.emptyBytes);
    if (n != 4) {
        raiseValue(msg::kEofLength);
        return nullptr;
    }
    Ref unpacked(structCall(names.unpack, names.fmtU32BE, lengthBytes.get()));
    if (!unpacked) return nullptr;
    Ref length(itemAt(unpacked.get(), 0));
    if (!length) return nullptr;
    Ref chunkType(readCounted(stream, names.int4, &n));
    if (!chunkType) return nullptr;
    if (n != 4) {
        raiseValue(msg::kEofType);
        return nullptr;
    }
    Ref data(readCounted(stream, length.get(), &n));
    if (!data) return nullptr;
    Ref got(PyLong_FromSsize_t(n));
    if (!got) return nullptr;
    int differs = compareTruth(got.get(), length.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) {
        raiseValue(msg::kEofData);
        return nullptr;
    }
    Ref crc(readCounted(stream, names.int4, &n));
    if (!crc) return nullptr;
    if (n != 4) {
        raiseValue(msg::kEofCrc);
        return nullptr;
    }
    Ref expectedCrc(chunkCrc(chunkType.get(), data.get()));
    if (!expectedCrc) return nullptr;
    unpacked.reset(structCall(names.unpack, names.fmtU32BE, crc.get()));
    if (!unpacked) return nullptr;
    Ref actualCrc(itemAt(unpacked.get(), 0));
    if (!actualCrc) return nullptr;
    differs = compareTruth(actualCrc.get(), expectedCrc.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) {
        raiseValue(msg::kBadCrc);
        return nullptr;
    }
    return PyTuple_Pack(2, chunkType.get(), data.get());
}

PyObject* makeChunkImpl(const BoundArgs& args) {
    PyObject* chunkType = args.obj[0];
    PyObject* data = args.obj[1];
    Ref dataLength(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    if (!dataLength) return nullptr;
    Ref length(structCall(names.pack, names.fmtU32BE, dataLength.get()));
    if (!length) return nullptr;
    Ref crcValue(chunkCrc(chunkType, data));
    if (!crcValue) return nullptr;
    Ref crc(structCall(names.pack, names.fmtU32BE, crcValue.get()));
    if (!crc) return nullptr;
    PyObject* parts[4] = {length.get(), chunkType, data, crc.get()};
    bool allBytes = true;
    Py_ssize_t total = 0;
    for (PyObject* part : parts) {
        if (!PyBytes_CheckExact(part)) {
            allBytes = false;
            break;
        }
        total += PyBytes_GET_SIZE(part);
    }
    if (allBytes) {
        // The three concatenations, done as one copy.
        PyObject* result = PyBytes_FromStringAndSize(nullptr, total);
        if (!result) return nullptr;
        char* out = PyBytes_AS_STRING(result);
        for (PyObject* part : parts) {
            std::memcpy(out, PyBytes_AS_STRING(part), PyBytes_GET_SIZE(part));
            out += PyBytes_GET_SIZE(part);
        }
        return result;
    }
    Ref result = Ref::borrow(parts[0]);
    for (int i = 1; i < 4; ++i) {
        result.reset(PyNumber_Add(result.get(), parts[i]));
        if (!result) return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Decoder

struct PyMemFree {
    void operator()(uint8_t* p) const { PyMem_Free(p); }
};

bool isTrue(PyObject* obj, PyObject* name, int* out) {
    Ref value(PyObject_GetAttr(obj, name));
    if (!value) return false;
    *out = PyObject_IsTrue(value.get());
    return *out >= 0;
}

// zlib.decompress(data), for the host's own zlib, without ever holding more
// than `expected` + 1 bytes of output: a stream that inflates to more than
// the image needs fails the size test anyway, and a few kilobytes must not
// make the process allocate gigabytes first. The outcome is the one-shot
// call's: the stream is still inflated to its end (its output dropped) so
// that a bad or cut stream gives the same zlib.error.
PyObject* boundedDecompress(PyObject* data, int64_t expected) {
    Ref inflater(PyObject_CallNoArgs(names.zlibDecompressobj));
    if (!inflater) return nullptr;
    Ref limit(PyLong_FromSsize_t(expected < PY_SSIZE_T_MAX ? static_cast<Py_ssize_t>(expected) + 1 : PY_SSIZE_T_MAX));
    if (!limit) return nullptr;
    Ref out(callMethod(inflater.get(), names.decompress, data, limit.get()));
    if (!out) return nullptr;
    const bool tooLong = PyBytes_GET_SIZE(out.get()) > expected;
    if (tooLong) out.reset();
    int eof;
    if (!isTrue(inflater.get(), names.eof, &eof)) return nullptr;
    if (tooLong) {
        Ref step(PyLong_FromLong(1L << 20));
        if (!step) return nullptr;
        while (!eof) {
            Ref tail(PyObject_GetAttr(inflater.get(), names.unconsumed_tail));
            if (!tail) return nullptr;
            Ref more(callMethod(inflater.get(), names.decompress, tail.get(), step.get()));
            if (!more) return nullptr;
            if (!isTrue(inflater.get(), names.eof, &eof)) return nullptr;
            if (PyBytes_GET_SIZE(more.get()) == 0 && PyBytes_GET_SIZE(tail.get()) == 0) break;
        }
    }
    if (!eof) {
        PyErr_SetString(names.zlibError, msg::kTruncatedStream);
        return nullptr;
    }
    if (tooLong) {
        raiseValue(msg::kPngData);
        return nullptr;
    }
    return out.release();
}

// rawImage = zlib.decompress(data) through the module namespace; the host's
// own zlib is run with output bounded by `expected` (0 to INT64_MAX), the
// same outcome.
PyObject* decompressImageData(PyObject* data, int64_t expected) {
    Ref zlib(lookupGlobal(names.zlib));
    if (!zlib) return nullptr;
    if (zlib.get() == names.zlibModule && PyBytes_CheckExact(data)) {
        Ref decompress(PyObject_GetAttr(zlib.get(), names.decompress));
        if (!decompress) return nullptr;
        Ref decompressobj(PyObject_GetAttr(zlib.get(), names.decompressobj));
        if (!decompressobj) return nullptr;
        if (decompress.get() == names.zlibDecompress && decompressobj.get() == names.zlibDecompressobj)
            return boundedDecompress(data, expected);
    }
    return callMethod(zlib.get(), names.decompress, data);
}

}  // namespace

PyObject* loadPng(PyObject* stream) {
    Ref signature(callMethod(stream, names.read, names.int8));
    if (!signature) return nullptr;
    {
        Ref expected(lookupGlobal(names.PNG_SIGNATURE));
        if (!expected) return nullptr;
        int differs = compareTruth(signature.get(), expected.get(), Py_NE);
        if (differs < 0) return nullptr;
        if (differs) {
            raiseValue(msg::kPngSignature);
            return nullptr;
        }
    }
    // width, height, bitDepth, colorType, compression, filterMethod, interlace
    int32_t header[7] = {-1, -1, -1, -1, -1, -1, -1};
    Ref idatChunks(PyList_New(0));
    if (!idatChunks) return nullptr;
    for (;;) {
        PyObject* pair[2];
        {
            Ref readChunk(lookupGlobal(names._readChunk));
            if (!readChunk) return nullptr;
            Ref result(call(readChunk.get(), stream));
            if (!result || !unpackExactly(result.get(), 2, pair)) return nullptr;
        }
        Ref chunkType(pair[0]), data(pair[1]);
        int is = equalsBytes(chunkType.get(), names.emptyBytes);
        if (is < 0) return nullptr;
        if (is) break;
        if ((is = equalsBytes(chunkType.get(), names.typeIHDR)) < 0) return nullptr;
        if (is) {
            Ref record(structCall(names.unpack, names.fmtIhdr, data.get()));
            PyObject* values[7];
            if (!record || !unpackExactly(record.get(), 7, values)) return nullptr;
            bool ok = true;
            for (int k = 0; k < 7; ++k) {
                if (ok) ok = toInt32(values[k], &header[k]);
                Py_DECREF(values[k]);
            }
            if (!ok) return nullptr;
            continue;
        }
        if ((is = equalsBytes(chunkType.get(), names.typeIDAT)) < 0) return nullptr;
        if (is) {
            if (PyList_Append(idatChunks.get(), data.get()) < 0) return nullptr;
            continue;
        }
        if ((is = equalsBytes(chunkType.get(), names.typeIEND)) < 0) return nullptr;
        if (is) break;
    }
    const int32_t width = header[0], height = header[1];
    for (int32_t field : header) {
        if (field == -1) {
            raiseValue(msg::kPngHeader);
            return nullptr;
        }
    }
    if (header[2] != 8) {
        raiseValue(msg::kPngDepth);
        return nullptr;
    }
    if (header[3] != 2 && header[3] != 6) {
        raiseValue(msg::kPngColour);
        return nullptr;
    }
    if (header[4] != 0 || header[5] != 0 || header[6] != 0) {
        raiseValue(msg::kPngConfig);
        return nullptr;
    }
    const int bytesPerPixel = header[3] == 2 ? 3 : 4;
    // The sizes, exact and signed as the host computes them. The host's
    // struct never gives a negative IHDR value, but a rebound one may give
    // any 32-bit value. An expected length that is negative, or beyond 64
    // bits, matches no data at all (-1 below).
    const int64_t rowLength = int64_t{width} * bytesPerPixel;
    int64_t expected;
    if (__builtin_mul_overflow(int64_t{height}, rowLength + 1, &expected) || expected < 0) expected = -1;
    Ref rawImage;
    {
        Ref joined(callMethod(names.emptyBytes, names.join, idatChunks.get()));
        if (!joined) return nullptr;
        rawImage.reset(decompressImageData(joined.get(), expected < 0 ? 0 : expected));
        if (!rawImage) return nullptr;
    }
    const Py_ssize_t rawLength = PyObject_Length(rawImage.get());
    if (rawLength < 0) return nullptr;
    ByteView raw;
    if (rawLength != expected) {
        raiseValue(msg::kPngData);
        return nullptr;
    }
    if (!raw.acquire(rawImage.get(), false)) return nullptr;
    if (raw.size() != expected) {
        raiseValue(msg::kPngData);
        return nullptr;
    }
    // Past the size test, either there are rows (height > 0 and width >= 0)
    // or there are none (height 0, or both negative with a rebound struct);
    // bytearray(width * height * 3) then stays as it is made, zero-filled.
    const bool rows = height > 0;
    int64_t pixelBytes;
    if (__builtin_mul_overflow(int64_t{width} * height, 3, &pixelBytes) || pixelBytes > PY_SSIZE_T_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kIndexSized);
        return nullptr;
    }
    // Every byte of the pixel buffer is written by the row loop below.
    const size_t outRow = rows ? static_cast<size_t>(width) * 3 : 0;
    Ref pixels(newByteArray(static_cast<Py_ssize_t>(pixelBytes)));
    if (!pixels) return nullptr;
    if (!rows && pixelBytes > 0) std::memset(PyByteArray_AS_STRING(pixels.get()), 0, static_cast<size_t>(pixelBytes));
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    // RGB rows are reconstructed in place in the pixel buffer; RGBA rows in
    // three rotating scratch rows, then copied out without their alpha.
    std::unique_ptr<uint8_t, PyMemFree> scratch;
    const size_t rowSize = rows ? static_cast<size_t>(rowLength) : 0;
    if (bytesPerPixel == 4 && rowSize > 0) {
        scratch.reset(static_cast<uint8_t*>(PyMem_Malloc(3 * rowSize)));
        if (!scratch) return PyErr_NoMemory();
    }
    auto reconRow = [&](int32_t y) {
        return bytesPerPixel == 3 ? out + y * outRow : scratch.get() + (y % 3) * rowSize;
    };
    auto finishRow = [&](int32_t y, const uint8_t* recon) {
        if (bytesPerPixel == 4) dropAlpha(recon, out + y * outRow, static_cast<size_t>(width));
    };
    const uint8_t* src = raw.data();
    const size_t stride = rowSize + 1;
    const uint8_t* prev = nullptr;
    for (int32_t y = 0; y < height;) {
        const int filterType = src[0];
        uint8_t* recon = reconRow(y);
        // Two rows at once where the kernels can overlap their work.
        if (y + 1 < height) {
            uint8_t* next = reconRow(y + 1);
            if (unfilterRowPair(filterType, src + 1, src[stride], src + stride + 1, prev, recon, next, rowSize,
                                bytesPerPixel)) {
                finishRow(y, recon);
                finishRow(y + 1, next);
                prev = next;
                y += 2;
                src += 2 * stride;
                continue;
            }
        }
        if (!unfilterRow(filterType, src + 1, prev, recon, rowSize, bytesPerPixel)) {
            PyErr_Format(PyExc_ValueError, msg::kPngFilter, filterType);
            return nullptr;
        }
        finishRow(y, recon);
        prev = recon;
        ++y;
        src += stride;
    }
    return Py_BuildValue("(iiN)", width, height, pixels.release());
}

// ---------------------------------------------------------------------------
// Encoder

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

// output.write(_makeChunk(chunkType, data))
bool writeChunk(PyObject* output, PyObject* chunkType, PyObject* data) {
    Ref makeChunk(lookupGlobal(names._makeChunk));
    if (!makeChunk) return false;
    Ref chunk(call(makeChunk.get(), chunkType, data));
    return chunk && writeTo(output, chunk.get());
}

PyObject* writePngImpl(const BoundArgs& args) {
    PyObject* path = args.obj[0];
    const int32_t width = args.i32[1], height = args.i32[2];
    PyObject* pixels = args.obj[3];
    Ref ihdr;
    {
        Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height));
        if (!w || !h) return nullptr;
        ihdr.reset(structCall(names.pack, names.fmtIhdr, w.get(), h.get(), names.int8, names.int2, names.int0,
                              names.int0, names.int0));
        if (!ihdr) return nullptr;
    }
    Ref pixView(asByteArray(pixels));
    if (!pixView) return nullptr;
    Ref scanlines;
    {
        ByteView view;
        if (!view.acquire(pixView.get(), false)) return nullptr;
        // A short buffer would make an unreadable file: refuse it before
        // anything is written.
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
    Ref compressed(callGlobalMethod(names.zlib, names.compress, scanlines.get()));
    if (!compressed) return nullptr;
    scanlines.reset();
    const Block block = withOpenFile(path, names.wb, [&](PyObject* output) {
        Ref signature(lookupGlobal(names.PNG_SIGNATURE));
        if (!signature || !writeTo(output, signature.get())) return false;
        return writeChunk(output, names.typeIHDR, ihdr.get()) && writeChunk(output, names.typeIDAT, compressed.get()) &&
               writeChunk(output, names.typeIEND, names.emptyBytes);
    });
    if (block == Block::Failed) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const FunctionDef kReadChunk = {"_readChunk", Kind::Function, {"_readChunk", 1, {{"stream"}}},
                                 "Tuple[bytes, bytes]", readChunkImpl};
const FunctionDef kMakeChunk = {
    "_makeChunk", Kind::Function,
    {"_makeChunk", 2, {{"chunkType", "bytes", &PyBytes_Type}, {"data", "bytes", &PyBytes_Type}}}, "bytes",
    makeChunkImpl};
const FunctionDef kWritePng = {
    "_writePng", Kind::Function,
    {"_writePng", 4, {{"path"}, {"width", nullptr, nullptr, true}, {"height", nullptr, nullptr, true}, {"pixels"}}},
    "None", writePngImpl};

}  // namespace mv
