#include "png.hpp"

#include <cstring>
#include <memory>

#include "kernels.hpp"

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
        raiseValue("Unexpected EOF while reading chunk length");
        return nullptr;
    }
    static PyObject* fmtLength;
    Ref unpacked(structCall(names.unpack, fmtLength, ">I", lengthBytes.get()));
    if (!unpacked) return nullptr;
    Ref length(itemAt(unpacked.get(), 0));
    if (!length) return nullptr;
    Ref chunkType(readCounted(stream, names.int4, &n));
    if (!chunkType) return nullptr;
    if (n != 4) {
        raiseValue("Unexpected EOF while reading chunk type");
        return nullptr;
    }
    Ref data(readCounted(stream, length.get(), &n));
    if (!data) return nullptr;
    Ref got(PyLong_FromSsize_t(n));
    if (!got) return nullptr;
    int differs = compareTruth(got.get(), length.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) {
        raiseValue("Unexpected EOF while reading chunk data");
        return nullptr;
    }
    Ref crc(readCounted(stream, names.int4, &n));
    if (!crc) return nullptr;
    if (n != 4) {
        raiseValue("Unexpected EOF while reading chunk CRC");
        return nullptr;
    }
    Ref expectedCrc(chunkCrc(chunkType.get(), data.get()));
    if (!expectedCrc) return nullptr;
    unpacked.reset(structCall(names.unpack, fmtLength, ">I", crc.get()));
    if (!unpacked) return nullptr;
    Ref actualCrc(itemAt(unpacked.get(), 0));
    if (!actualCrc) return nullptr;
    differs = compareTruth(actualCrc.get(), expectedCrc.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) {
        raiseValue("Corrupted PNG chunk detected");
        return nullptr;
    }
    return PyTuple_Pack(2, chunkType.get(), data.get());
}

PyObject* makeChunkImpl(const BoundArgs& args) {
    PyObject* chunkType = args.obj[0];
    PyObject* data = args.obj[1];
    static PyObject* fmtLength;
    Ref dataLength(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    if (!dataLength) return nullptr;
    Ref length(structCall(names.pack, fmtLength, ">I", dataLength.get()));
    if (!length) return nullptr;
    Ref crcValue(chunkCrc(chunkType, data));
    if (!crcValue) return nullptr;
    Ref crc(structCall(names.pack, fmtLength, ">I", crcValue.get()));
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

PyObject* chunkBytes(const char* type) { return PyBytes_FromStringAndSize(type, 4); }

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
PyObject* boundedDecompress(PyObject* data, unsigned __int128 expected) {
    static PyObject* decompressName;
    static PyObject* tailName;
    static PyObject* eofName;
    if (!constantString(decompressName, "decompress") || !constantString(tailName, "unconsumed_tail") ||
        !constantString(eofName, "eof"))
        return nullptr;
    Ref inflater(PyObject_CallNoArgs(names.zlibDecompressobj));
    if (!inflater) return nullptr;
    const unsigned __int128 cap = static_cast<unsigned __int128>(PY_SSIZE_T_MAX);
    Ref limit(PyLong_FromSsize_t(static_cast<Py_ssize_t>(expected < cap ? expected + 1 : cap)));
    if (!limit) return nullptr;
    Ref out(callMethod(inflater.get(), decompressName, data, limit.get()));
    if (!out) return nullptr;
    const bool tooLong = static_cast<unsigned __int128>(PyBytes_GET_SIZE(out.get())) > expected;
    if (tooLong) out.reset();
    int eof;
    if (!isTrue(inflater.get(), eofName, &eof)) return nullptr;
    if (tooLong) {
        Ref step(PyLong_FromLong(1L << 20));
        if (!step) return nullptr;
        while (!eof) {
            Ref tail(PyObject_GetAttr(inflater.get(), tailName));
            if (!tail) return nullptr;
            Ref more(callMethod(inflater.get(), decompressName, tail.get(), step.get()));
            if (!more) return nullptr;
            if (!isTrue(inflater.get(), eofName, &eof)) return nullptr;
            if (PyBytes_GET_SIZE(more.get()) == 0 && PyBytes_GET_SIZE(tail.get()) == 0) break;
        }
    }
    if (!eof) {
        PyErr_SetString(names.zlibError, "Error -5 while decompressing data: incomplete or truncated stream");
        return nullptr;
    }
    if (tooLong) {
        raiseValue("Malformed PNG image data");
        return nullptr;
    }
    return out.release();
}

// rawImage = zlib.decompress(data) through the module namespace; the host's
// own zlib is run with bounded output (same outcome).
PyObject* decompressImageData(PyObject* data, unsigned __int128 expected) {
    Ref zlib(lookupGlobal(names.zlib));
    if (!zlib) return nullptr;
    if (zlib.get() == names.zlibModule && PyBytes_CheckExact(data)) {
        Ref decompress(PyObject_GetAttr(zlib.get(), names.decompress));
        if (!decompress) return nullptr;
        static PyObject* decompressobjName;
        if (!constantString(decompressobjName, "decompressobj")) return nullptr;
        Ref decompressobj(PyObject_GetAttr(zlib.get(), decompressobjName));
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
            raiseValue("Unsupported PNG signature");
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
        int is = equalsBytes(chunkType.get(), "", 0);
        if (is < 0) return nullptr;
        if (is) break;
        if ((is = equalsBytes(chunkType.get(), "IHDR", 4)) < 0) return nullptr;
        if (is) {
            static PyObject* fmtIhdr;
            Ref record(structCall(names.unpack, fmtIhdr, ">IIBBBBB", data.get()));
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
        if ((is = equalsBytes(chunkType.get(), "IDAT", 4)) < 0) return nullptr;
        if (is) {
            if (PyList_Append(idatChunks.get(), data.get()) < 0) return nullptr;
            continue;
        }
        if ((is = equalsBytes(chunkType.get(), "IEND", 4)) < 0) return nullptr;
        if (is) break;
    }
    const int32_t width = header[0], height = header[1];
    for (int32_t field : header) {
        if (field == -1) {
            raiseValue("Incomplete PNG header information");
            return nullptr;
        }
    }
    if (header[2] != 8) {
        raiseValue("Only 8-bit PNG images are supported");
        return nullptr;
    }
    if (header[3] != 2 && header[3] != 6) {
        raiseValue("Only RGB/RGBA PNG images are supported");
        return nullptr;
    }
    if (header[4] != 0 || header[5] != 0 || header[6] != 0) {
        raiseValue("Unsupported PNG configuration (compression/filter/interlace)");
        return nullptr;
    }
    const int bytesPerPixel = header[3] == 2 ? 3 : 4;
    // IHDR values are below 2^31 here, so these products are exact.
    const uint64_t rowLength = static_cast<uint64_t>(width) * bytesPerPixel;
    const unsigned __int128 expected = static_cast<unsigned __int128>(height) * (rowLength + 1);
    Ref rawImage;
    {
        Ref joined(callMethod(names.emptyBytes, names.join, idatChunks.get()));
        if (!joined) return nullptr;
        rawImage.reset(decompressImageData(joined.get(), expected));
        if (!rawImage) return nullptr;
    }
    const Py_ssize_t rawLength = PyObject_Length(rawImage.get());
    if (rawLength < 0) return nullptr;
    ByteView raw;
    if (static_cast<unsigned __int128>(rawLength) != expected) {
        raiseValue("Malformed PNG image data");
        return nullptr;
    }
    if (!raw.acquire(rawImage.get(), false)) return nullptr;
    if (static_cast<unsigned __int128>(raw.size()) != expected) {
        raiseValue("Malformed PNG image data");
        return nullptr;
    }
    // Every byte of the pixel buffer is written by the row loop below.
    const size_t outRow = static_cast<size_t>(width) * 3;
    Ref pixels(newByteArray(static_cast<Py_ssize_t>(outRow * height)));
    if (!pixels) return nullptr;
    uint8_t* out = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    // RGB rows are reconstructed in place in the pixel buffer; RGBA rows in
    // three rotating scratch rows, then copied out without their alpha. With
    // no rows there is nothing to reconstruct: an IHDR of height 0 may
    // announce any width.
    std::unique_ptr<uint8_t, PyMemFree> scratch;
    if (bytesPerPixel == 4 && rowLength > 0 && height > 0) {
        scratch.reset(static_cast<uint8_t*>(PyMem_Malloc(3 * rowLength)));
        if (!scratch) return PyErr_NoMemory();
    }
    auto reconRow = [&](int32_t y) {
        return bytesPerPixel == 3 ? out + y * outRow : scratch.get() + (y % 3) * rowLength;
    };
    auto finishRow = [&](int32_t y, const uint8_t* recon) {
        if (bytesPerPixel == 4) dropAlpha(recon, out + y * outRow, static_cast<size_t>(width));
    };
    const uint8_t* src = raw.data();
    const size_t stride = rowLength + 1;
    const uint8_t* prev = nullptr;
    for (int32_t y = 0; y < height;) {
        const int filterType = src[0];
        uint8_t* recon = reconRow(y);
        // Two rows at once where the kernels can overlap their work.
        if (y + 1 < height) {
            uint8_t* next = reconRow(y + 1);
            if (unfilterRowPair(filterType, src + 1, src[stride], src + stride + 1, prev, recon, next, rowLength,
                                bytesPerPixel)) {
                finishRow(y, recon);
                finishRow(y + 1, next);
                prev = next;
                y += 2;
                src += 2 * stride;
                continue;
            }
        }
        if (!unfilterRow(filterType, src + 1, prev, recon, rowLength, bytesPerPixel)) {
            PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", filterType);
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

// output.write(_makeChunk(type, data))
bool writeChunk(PyObject* output, const char* type, PyObject* data) {
    Ref makeChunk(lookupGlobal(names._makeChunk));
    if (!makeChunk) return false;
    Ref typeBytes(chunkBytes(type));
    if (!typeBytes) return false;
    Ref chunk(call(makeChunk.get(), typeBytes.get(), data));
    return chunk && writeTo(output, chunk.get());
}

PyObject* writePngImpl(const BoundArgs& args) {
    PyObject* path = args.obj[0];
    const int32_t width = args.i32[1], height = args.i32[2];
    PyObject* pixels = args.obj[3];
    Ref ihdr;
    {
        Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height)), depth(PyLong_FromLong(8)),
            colour(PyLong_FromLong(2));
        if (!w || !h || !depth || !colour) return nullptr;
        static PyObject* fmtIhdr;
        ihdr.reset(structCall(names.pack, fmtIhdr, ">IIBBBBB", w.get(), h.get(), depth.get(), colour.get(),
                              names.int0, names.int0, names.int0));
        if (!ihdr) return nullptr;
    }
    Ref pixView = PyByteArray_Check(pixels)
                      ? Ref::borrow(pixels)
                      : Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), pixels));
    if (!pixView) return nullptr;
    Ref scanlines;
    {
        ByteView view;
        if (!view.acquire(pixView.get(), false)) return nullptr;
        // A short buffer would make an unreadable file: refuse it before
        // anything is written.
        const __int128 needed = static_cast<__int128>(width) * height * 3;
        if (static_cast<__int128>(view.size()) < needed) {
            PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
            return nullptr;
        }
        scanlines.reset(buildScanlines(width, height, view.data(), view.size()));
        if (!scanlines) return nullptr;
    }
    pixView.reset();
    Ref compressed(callGlobalMethod(names.zlib, names.compress, scanlines.get()));
    if (!compressed) return nullptr;
    scanlines.reset();
    bool ok = withOpenFile(path, names.wb, [&](PyObject* output) {
        Ref signature(lookupGlobal(names.PNG_SIGNATURE));
        if (!signature || !writeTo(output, signature.get())) return false;
        return writeChunk(output, "IHDR", ihdr.get()) && writeChunk(output, "IDAT", compressed.get()) &&
               writeChunk(output, "IEND", names.emptyBytes);
    });
    if (!ok) return nullptr;
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
