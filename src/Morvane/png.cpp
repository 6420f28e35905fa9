#include "png.hpp"

#include <cstring>
#include <memory>
#include <vector>

#include "pngrows.hpp"

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

bool isTrue(PyObject* obj, PyObject* name, int* out) {
    Ref value(PyObject_GetAttr(obj, name));
    if (!value) return false;
    *out = PyObject_IsTrue(value.get());
    return *out >= 0;
}

// The pieces the inflaters work in: at most this much compressed data per
// call, and at most this much output. Larger output pieces let more matches
// copy from the output itself rather than from the inflater's window.
constexpr Py_ssize_t kInputPiece = 64 << 10;
constexpr Py_ssize_t kOutputPiece = 128 << 10;

// The faster inflater, zlib-ng's zlib-compatible module, imported on first
// use; nullptr (no error) when it cannot be imported, and then never tried
// again. An interruption while importing (an error that is no Exception)
// propagates, and the next decode tries again.
bool fastZlib(PyObject** module) {
    static PyObject* imported = nullptr;
    static bool tried = false;
    if (!tried) {
        imported = PyImport_ImportModule("zlib_ng.zlib_ng");
        if (!imported) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
        }
        tried = true;
    }
    *module = imported;
    return true;
}

// The inflated stream of a decompressobj (the host's zlib or zlib-ng) fed
// the compressed data in order, in bounded pieces: nothing more than one
// piece of input and one of output is held at a time, whatever the stream
// inflates to. Input after the end of the stream is ignored, as the one-shot
// call ignores it. The host's inflater fails with the one-shot call's
// zlib.error; another one just fails.
class ObjectInflater final : public InflatedSource {
public:
    ObjectInflater(PyObject* inflater, const std::vector<PyObject*>& chunks, bool host)
        : inflater_(inflater), chunks_(chunks), host_(host) {}

    Status next(const uint8_t** data, size_t* size) override {
        static PyObject* decompressName;
        static PyObject* tailName;
        static PyObject* eofName;
        static PyObject* limit;
        if (!constantString(decompressName, "decompress") || !constantString(tailName, "unconsumed_tail") ||
            !constantString(eofName, "eof"))
            return Status::Failed;
        if (!limit && !(limit = PyLong_FromSsize_t(kOutputPiece))) return Status::Failed;
        out_.reset();
        for (;;) {
            if (eof_) return Status::End;
            Ref input;
            const bool flushing = !(tail_ && PyBytes_GET_SIZE(tail_.get()) > 0) && chunk_ == chunks_.size();
            if (tail_ && PyBytes_GET_SIZE(tail_.get()) > 0) {
                input = std::move(tail_);
            } else if (!flushing) {
                input.reset(nextInput());
                if (!input) return Status::Failed;
            } else {
                // No input left: what the inflater still holds.
                input = Ref::borrow(names.emptyBytes);
            }
            Ref out(callMethod(inflater_, decompressName, input.get(), limit));
            if (!out) return Status::Failed;
            if (!PyBytes_Check(out.get())) {
                PyErr_SetString(PyExc_TypeError, "inflater returned no bytes");
                return Status::Failed;
            }
            tail_.reset(PyObject_GetAttr(inflater_, tailName));
            if (!tail_) return Status::Failed;
            if (!PyBytes_Check(tail_.get())) {
                PyErr_SetString(PyExc_TypeError, "inflater kept no bytes");
                return Status::Failed;
            }
            int eof;
            if (!isTrue(inflater_, eofName, &eof)) return Status::Failed;
            eof_ = eof != 0;
            if (PyBytes_GET_SIZE(out.get()) > 0) {
                *data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(out.get()));
                *size = static_cast<size_t>(PyBytes_GET_SIZE(out.get()));
                out_ = std::move(out);
                return Status::Piece;
            }
            if (flushing && !eof_ && PyBytes_GET_SIZE(tail_.get()) == 0) {
                if (host_)
                    PyErr_SetString(names.zlibError,
                                    "Error -5 while decompressing data: incomplete or truncated stream");
                return Status::Failed;
            }
        }
    }

private:
    // The next piece of compressed data: a whole chunk, or a slice of a long
    // one (a view, not a copy).
    PyObject* nextInput() {
        PyObject* chunk = chunks_[chunk_];
        const Py_ssize_t length = PyBytes_GET_SIZE(chunk);
        if (offset_ == 0 && length <= kInputPiece) {
            ++chunk_;
            return Py_NewRef(chunk);
        }
        if (!view_) {
            view_.reset(PyMemoryView_FromObject(chunk));
            if (!view_) return nullptr;
        }
        const Py_ssize_t end = length - offset_ > kInputPiece ? offset_ + kInputPiece : length;
        PyObject* piece = PySequence_GetSlice(view_.get(), offset_, end);
        if (!piece) return nullptr;
        offset_ = end;
        if (offset_ == length) {
            ++chunk_;
            offset_ = 0;
            view_.reset();
        }
        return piece;
    }

    PyObject* inflater_;
    const std::vector<PyObject*>& chunks_;
    const bool host_;
    size_t chunk_ = 0;
    Py_ssize_t offset_ = 0;
    Ref view_, out_, tail_;
    bool eof_ = false;
};

// The whole inflated stream, already in memory, as one piece.
class WholeStream final : public InflatedSource {
public:
    WholeStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    Status next(const uint8_t** data, size_t* size) override {
        if (given_ || size_ == 0) return Status::End;
        given_ = true;
        *data = data_;
        *size = size_;
        return Status::Piece;
    }

private:
    const uint8_t* data_;
    size_t size_;
    bool given_ = false;
};

// The rows of the image data in `chunks` (the IDAT data, in order), inflated
// by zlib-ng where it can be imported, else by the host's zlib (its
// decompressobj as recorded). Any failure of zlib-ng's run is taken as
// unknown: the host's zlib then runs the stream again, so that a failure is
// the host's zlib.error, with its message. SourceFailed comes back with the
// error set.
bool inflateRows(const PngRowGeometry& geometry, const std::vector<PyObject*>& chunks, uint8_t* pixels,
                 uint8_t* scratch, PngRowOutcome* outcome) {
    PyObject* fast;
    if (!fastZlib(&fast)) return false;
    if (fast) {
        static PyObject* decompressobjName;
        if (!constantString(decompressobjName, "decompressobj")) return false;
        Ref inflater(PyObject_CallMethodNoArgs(fast, decompressobjName));
        if (inflater) {
            ObjectInflater source(inflater.get(), chunks, false);
            *outcome = decodePngRows(geometry, source, pixels, scratch);
            if (outcome->kind != PngRowOutcome::Kind::SourceFailed) return true;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
        }
    }
    Ref inflater(PyObject_CallNoArgs(names.zlibDecompressobj));
    if (!inflater) return false;
    ObjectInflater source(inflater.get(), chunks, true);
    *outcome = decodePngRows(geometry, source, pixels, scratch);
    return true;
}

// No stream inflates to more than 1032 bytes per byte (a 258-byte match in
// two bits); a bound well above that tells which announced sizes cannot be
// reached, so that no pixel buffer is asked for them.
bool reachable(uint64_t size, uint64_t compressed) {
    constexpr uint64_t kRatio = 2048, kSlack = 1 << 16;
    return compressed > (UINT64_MAX - kSlack) / kRatio || size <= compressed * kRatio + kSlack;
}

// A pixel buffer and the decoder's scratch rows, each nullptr if it cannot be
// had (`strict`: then with MemoryError set, and the result false).
struct RowBuffers {
    Ref pixels;
    std::unique_ptr<uint8_t, PyMemFree> scratch;

    bool allocate(const PngRowGeometry& g, bool strict) {
        const uint64_t pixelBytes = g.pixelBytes(), scratchBytes = g.scratchBytes();
        if (pixelBytes <= static_cast<uint64_t>(PY_SSIZE_T_MAX) &&
            scratchBytes <= static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            // Every byte of the pixel buffer is written before it is handed out.
            pixels.reset(newByteArray(static_cast<Py_ssize_t>(pixelBytes)));
            if (pixels) scratch.reset(static_cast<uint8_t*>(PyMem_Malloc(static_cast<size_t>(scratchBytes))));
        }
        if (pixels && scratch) return true;
        pixels.reset();
        if (strict) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return false;
        }
        PyErr_Clear();
        return true;
    }
    uint8_t* data() const { return pixels ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get())) : nullptr; }
};

// The outcome of the row decoder as the decoder's result or error.
PyObject* finishRows(const PngRowOutcome& outcome, int32_t width, int32_t height, RowBuffers& buffers) {
    switch (outcome.kind) {
        case PngRowOutcome::Kind::SourceFailed: return nullptr;
        case PngRowOutcome::Kind::WrongLength: raiseValue("Malformed PNG image data"); return nullptr;
        case PngRowOutcome::Kind::BadFilter:
            PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", outcome.filterByte);
            return nullptr;
        case PngRowOutcome::Kind::Done: break;
    }
    return Py_BuildValue("(iiO)", width, height, buffers.pixels.get());
}

// rawImage = zlib.decompress(b"".join(idatChunks)), then the length test
// and the rows. With the host's own zlib (the module it imported, and its
// functions as they were) nothing of this can be observed, so the chunks are
// inflated in order, without the joined copy, and each row is undone as soon
// as it is inflated; any other zlib gets the joined data in one call.
PyObject* decodeImageData(PyObject* idatChunks, int32_t width, int32_t height, int bytesPerPixel) {
    std::vector<PyObject*> chunks;
    Ref joined;
    uint64_t compressed = 0;
    const Py_ssize_t count = PyList_GET_SIZE(idatChunks);
    bool allBytes = true;
    for (Py_ssize_t i = 0; i < count && allBytes; ++i) allBytes = PyBytes_CheckExact(PyList_GET_ITEM(idatChunks, i));
    if (allBytes) {
        chunks.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* chunk = PyList_GET_ITEM(idatChunks, i);
            compressed += static_cast<uint64_t>(PyBytes_GET_SIZE(chunk));
            if (PyBytes_GET_SIZE(chunk) > 0) chunks.push_back(chunk);
        }
    } else {
        joined.reset(callMethod(names.emptyBytes, names.join, idatChunks));
        if (!joined) return nullptr;
        compressed = static_cast<uint64_t>(PyBytes_GET_SIZE(joined.get()));
        if (compressed > 0) chunks.push_back(joined.get());
    }
    Ref zlib(lookupGlobal(names.zlib));
    if (!zlib) return nullptr;
    bool genuine = zlib.get() == names.zlibModule;
    if (genuine) {
        static PyObject* decompressobjName;
        if (!constantString(decompressobjName, "decompressobj")) return nullptr;
        Ref decompress(PyObject_GetAttr(zlib.get(), names.decompress));
        if (!decompress) return nullptr;
        Ref decompressobj(PyObject_GetAttr(zlib.get(), decompressobjName));
        if (!decompressobj) return nullptr;
        genuine = decompress.get() == names.zlibDecompress && decompressobj.get() == names.zlibDecompressobj;
    }
    // Negative sizes come only from a replaced struct: no stream has their
    // (wrapped-around) length, except the empty one when the height is 0.
    const bool negative = width < 0 || height < 0;
    const PngRowGeometry geometry{negative ? 0u : static_cast<uint32_t>(width),
                                  negative ? 0u : static_cast<uint32_t>(height),
                                  static_cast<uint32_t>(bytesPerPixel)};
    const bool fits = !negative || height == 0;
    RowBuffers buffers;
    if (genuine) {
        PngRowOutcome outcome;
        if (!fits) {
            if (!inflateRows(geometry, chunks, nullptr, nullptr, &outcome)) return nullptr;
            if (outcome.kind == PngRowOutcome::Kind::Done) outcome.kind = PngRowOutcome::Kind::WrongLength;
            return finishRows(outcome, width, height, buffers);
        }
        // The pixel buffer comes first, where the stream can be long enough
        // to fill it; else, or if there is no memory for it, the stream is
        // inflated without it, and only if it turns out right is the buffer
        // asked for again (then MemoryError, if it still cannot be had).
        if (reachable(geometry.expected(), compressed) && !buffers.allocate(geometry, false)) return nullptr;
        if (!inflateRows(geometry, chunks, buffers.data(), buffers.scratch.get(), &outcome)) return nullptr;
        if (outcome.kind == PngRowOutcome::Kind::Done && !buffers.pixels) {
            if (!buffers.allocate(geometry, true)) return nullptr;
            if (!inflateRows(geometry, chunks, buffers.data(), buffers.scratch.get(), &outcome)) return nullptr;
        }
        return finishRows(outcome, width, height, buffers);
    }
    if (!joined) {
        joined.reset(callMethod(names.emptyBytes, names.join, idatChunks));
        if (!joined) return nullptr;
    }
    Ref rawImage(callMethod(zlib.get(), names.decompress, joined.get()));
    if (!rawImage) return nullptr;
    joined.reset();
    const Py_ssize_t rawLength = PyObject_Length(rawImage.get());
    if (rawLength < 0) return nullptr;
    if (!fits || static_cast<uint64_t>(rawLength) != geometry.expected()) {
        raiseValue("Malformed PNG image data");
        return nullptr;
    }
    ByteView raw;
    if (!raw.acquire(rawImage.get(), false)) return nullptr;
    if (static_cast<uint64_t>(raw.size()) != geometry.expected()) {
        raiseValue("Malformed PNG image data");
        return nullptr;
    }
    if (!buffers.allocate(geometry, true)) return nullptr;
    WholeStream source(raw.data(), static_cast<size_t>(raw.size()));
    return finishRows(decodePngRows(geometry, source, buffers.data(), buffers.scratch.get()), width, height,
                      buffers);
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
    return decodeImageData(idatChunks.get(), header[0], header[1], header[3] == 2 ? 3 : 4);
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

PyObject* chunkBytes(const char* type) { return PyBytes_FromStringAndSize(type, 4); }

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
