#include "png/png.hpp"

#include <cstring>
#include <memory>

#include "py/messages.hpp"
#include "core/pngrows.hpp"

namespace mv {

const char kPngSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};

namespace {


// The faster inflater, zlib-ng's zlib-compatible module, imported on first
// use; nullptr (no error) when it cannot be imported. An ImportError (the
// package missing or broken) gives it up for good. Any other exception while
// importing (a failed allocation, say) gives it up for this call only, and
// an interruption (an error that is no Exception) propagates: the next call
// tries again.
bool fastZlib(PyObject** module) {
    if (!names.zlibNgTried) {
        names.zlibNg = PyImport_ImportModule("zlib_ng.zlib_ng");
        if (!names.zlibNg) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            const bool missing = PyErr_ExceptionMatches(PyExc_ImportError);
            PyErr_Clear();
            if (!missing) {
                *module = nullptr;
                return true;
            }
        }
        names.zlibNgTried = true;
    }
    *module = names.zlibNg;
    return true;
}

// zlib.crc32(chunkType), then zlib.crc32(data, that) & 0xFFFFFFFF. With the
// host's own zlib and crc32, and bytes to check, no Python code can see the
// calls, and zlib-ng's crc32 (the same function, faster) computes them.
PyObject* chunkCrc(PyObject* chunkType, PyObject* data) {
    if (PyBytes_CheckExact(chunkType) && PyBytes_CheckExact(data)) {
        Ref zlib(lookupGlobal(names.zlib));
        if (!zlib) return nullptr;
        PyObject* fast = nullptr;
        if (zlib.get() == names.zlibModule) {
            Ref crc32(PyObject_GetAttr(zlib.get(), names.crc32));
            if (!crc32) return nullptr;
            if (crc32.get() == names.zlibCrc32 && !fastZlib(&fast)) return nullptr;
        }
        if (fast) {
            Ref first(callMethod(fast, names.crc32, chunkType));
            if (!first) return nullptr;
            Ref second(callMethod(fast, names.crc32, data, first.get()));
            if (!second) return nullptr;
            return PyNumber_And(second.get(), names.mask32);
        }
    }
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

// The pieces the inflaters work in: at most this much compressed data per
// call, and at most names.outputPiece (128 KiB) of output. Larger output
// pieces let more matches copy from the output itself rather than from the
// inflater's window.
constexpr Py_ssize_t kInputPiece = 64 << 10;

// The inflated stream of a decompressobj (the host's zlib or zlib-ng) fed
// the compressed data in order, in bounded pieces: nothing more than one
// piece of input and one of output is held at a time, whatever the stream
// inflates to. Input after the end of the stream is ignored, as the one-shot
// call ignores it. The host's inflater fails with the one-shot call's
// zlib.error; another one just fails.
class ObjectInflater final : public InflatedSource {
public:
    // `chunks`: a list of non-empty bytes objects that nobody else holds.
    ObjectInflater(PyObject* inflater, PyObject* chunks, bool host)
        : inflater_(inflater), chunks_(chunks), host_(host) {}

    Status next(const uint8_t** data, size_t* size) override {
        out_.reset();
        for (;;) {
            if (eof_) return Status::End;
            const bool haveTail = tail_ && PyBytes_GET_SIZE(tail_.get()) > 0;
            const bool flushing = !haveTail && chunk_ == PyList_GET_SIZE(chunks_);
            Ref input;
            if (haveTail) {
                input = std::move(tail_);
            } else if (!flushing) {
                input.reset(nextInput());
                if (!input) return Status::Failed;
            } else {
                // No input left: what the inflater still holds.
                input = Ref::borrow(names.emptyBytes);
            }
            Ref out(callMethod(inflater_, names.decompress, input.get(), names.outputPiece));
            if (!out) return Status::Failed;
            tail_.reset(PyObject_GetAttr(inflater_, names.unconsumed_tail));
            if (!tail_) return Status::Failed;
            if (!PyBytes_Check(out.get()) || !PyBytes_Check(tail_.get())) {
                PyErr_SetString(PyExc_TypeError, "the inflater gave no bytes");
                return Status::Failed;
            }
            int eof;
            if (!isTrue(inflater_, names.eof, &eof)) return Status::Failed;
            eof_ = eof != 0;
            if (PyBytes_GET_SIZE(out.get()) > 0) {
                *data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(out.get()));
                *size = static_cast<size_t>(PyBytes_GET_SIZE(out.get()));
                out_ = std::move(out);
                return Status::Piece;
            }
            if (flushing && !eof_ && PyBytes_GET_SIZE(tail_.get()) == 0) {
                if (host_) PyErr_SetString(names.zlibError, msg::kTruncatedStream);
                return Status::Failed;
            }
            // Neither output nor input consumed: no progress can be made
            // (zlib never does this; a broken inflater fails here).
            if (haveTail && PyBytes_GET_SIZE(tail_.get()) == PyObject_Length(input.get())) {
                PyErr_SetString(PyExc_RuntimeError, "the inflater made no progress");
                return Status::Failed;
            }
        }
    }

private:
    // The next piece of compressed data: a whole chunk, or a slice of a long
    // one (a view, not a copy).
    PyObject* nextInput() {
        PyObject* chunk = PyList_GET_ITEM(chunks_, chunk_);
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
    PyObject* const chunks_;
    const bool host_;
    Py_ssize_t chunk_ = 0;
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

// Runs `decode` on the inflated stream of `chunks` (the IDAT data, in
// order): inflated by zlib-ng where it can be imported, else by the host's
// zlib (its decompressobj as recorded). Any failure of zlib-ng's run is
// taken as unknown: the host's zlib then inflates the stream again, so that
// a failure is the host's zlib.error, with its message. SourceFailed comes
// back with the error set.
template <class Decode>
bool inflateThrough(PyObject* chunks, Decode&& decode, PngRowOutcome* outcome) {
    PyObject* fast;
    if (!fastZlib(&fast)) return false;
    if (fast) {
        Ref inflater(PyObject_CallMethodNoArgs(fast, names.decompressobj));
        if (inflater) {
            ObjectInflater source(inflater.get(), chunks, false);
            *outcome = decode(source);
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
    *outcome = decode(source);
    return true;
}

// No stream inflates to more than 1032 bytes per byte (a 258-byte match in
// two bits); a bound well above that tells which announced sizes cannot be
// reached, so that no pixel buffer is asked for them.
bool reachable(uint64_t size, uint64_t compressed) {
    constexpr uint64_t kRatio = 2048, kSlack = 1 << 16;
    return compressed > (UINT64_MAX - kSlack) / kRatio || size <= compressed * kRatio + kSlack;
}

// bytearray(n) for n >= 0 as the host makes it: OverflowError past
// PY_SSIZE_T_MAX, MemoryError when there is no memory. Not zero-filled.
PyObject* pixelBuffer(uint64_t n) {
    if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        // GCOVR_EXCL_START unreachable: asked for only with image data that long (or, before inflating, 2048 times shorter), which no process holds
        PyErr_SetString(PyExc_OverflowError, msg::kIndexSized);
        return nullptr;
        // GCOVR_EXCL_STOP
    }
    return newByteArray(static_cast<Py_ssize_t>(n));
}

// The pixel buffer and the row decoder's scratch rows.
struct RowBuffers {
    Ref pixels;
    std::unique_ptr<uint8_t, PyMemFree> scratch;

    // False with the error set; `strict` false: no error, and no buffers
    // (the stream is then inflated without them).
    bool allocate(const PngRowGeometry& g, bool strict) {
        // Every byte of the pixel buffer is written before it is handed out.
        pixels.reset(pixelBuffer(g.pixelBytes()));
        const uint64_t scratchBytes = g.scratchBytes();
        if (pixels) {
            if (scratchBytes <= static_cast<uint64_t>(PY_SSIZE_T_MAX))
                scratch.reset(static_cast<uint8_t*>(PyMem_Malloc(static_cast<size_t>(scratchBytes))));
            if (!scratch) {
                pixels.reset();
                PyErr_NoMemory();
            }
        }
        if (pixels) return true;
        if (strict) return false;
        PyErr_Clear();
        return true;
    }
    uint8_t* data() const { return pixels ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get())) : nullptr; }
};

PyObject* filterError(const PngRowOutcome& outcome) {
    PyErr_Format(PyExc_ValueError, msg::kPngFilter, outcome.filterByte);
    return nullptr;
}

// The result of image data without rows (height 0, or, from a rebound
// struct, width and height both negative) that had the right length:
// bytearray(width * height * 3), zero-filled.
PyObject* emptyRows(int32_t width, int32_t height) {
    int64_t pixelBytes;
    if (__builtin_mul_overflow(int64_t{width} * height, 3, &pixelBytes)) {
        // GCOVR_EXCL_START unreachable: comes after image data of height * (width * 3 + 1) bytes, more than 2^62 here
        PyErr_SetString(PyExc_OverflowError, msg::kIndexSized);
        return nullptr;
        // GCOVR_EXCL_STOP
    }
    Ref pixels(pixelBuffer(static_cast<uint64_t>(pixelBytes)));
    if (!pixels) return nullptr;
    if (pixelBytes > 0) std::memset(PyByteArray_AS_STRING(pixels.get()), 0, static_cast<size_t>(pixelBytes));
    return Py_BuildValue("(iiN)", width, height, pixels.release());
}

// rawImage = zlib.decompress(b"".join(idatChunks)), then the length test
// and the rows, with the sizes exact and signed as the host computes them
// (a rebound struct may give any 32-bit values: an expected length that is
// negative, or beyond 64 bits, matches no data at all). With the host's own
// zlib (the module it imported, and its functions as they were) none of
// this can be observed, so the chunks are inflated in order, without the
// joined copy, and each row is undone as soon as it is inflated; any other
// zlib gets the joined data in one call.
PyObject* decodeImageData(PyObject* idatChunks, int32_t width, int32_t height, int bytesPerPixel) {
    const int64_t rowLength = int64_t{width} * bytesPerPixel;
    int64_t expected;
    if (__builtin_mul_overflow(int64_t{height}, rowLength + 1, &expected) || expected < 0) expected = -1;
    // With rows (height > 0, hence width >= 0 wherever a length can match),
    // the geometry of the row decoder; otherwise only the length counts.
    const bool rows = height > 0 && width >= 0;
    const PngRowGeometry geometry{rows ? static_cast<uint32_t>(width) : 0u, rows ? static_cast<uint32_t>(height) : 0u,
                                  static_cast<uint32_t>(bytesPerPixel)};

    Ref chunks(PyList_New(0));  // the non-empty pieces of compressed data, in order
    if (!chunks) return nullptr;
    Ref joined;
    uint64_t compressed = 0;
    const Py_ssize_t count = PyList_GET_SIZE(idatChunks);
    bool allBytes = true;
    for (Py_ssize_t i = 0; i < count && allBytes; ++i) allBytes = PyBytes_CheckExact(PyList_GET_ITEM(idatChunks, i));
    if (allBytes) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* chunk = PyList_GET_ITEM(idatChunks, i);
            compressed += static_cast<uint64_t>(PyBytes_GET_SIZE(chunk));
            if (PyBytes_GET_SIZE(chunk) > 0 && PyList_Append(chunks.get(), chunk) < 0) return nullptr;
        }
    } else {
        joined.reset(callMethod(names.emptyBytes, names.join, idatChunks));
        if (!joined) return nullptr;
        compressed = static_cast<uint64_t>(PyBytes_GET_SIZE(joined.get()));
        if (compressed > 0 && PyList_Append(chunks.get(), joined.get()) < 0) return nullptr;
    }
    Ref zlib(lookupGlobal(names.zlib));
    if (!zlib) return nullptr;
    bool genuine = zlib.get() == names.zlibModule;
    if (genuine) {
        Ref decompress(PyObject_GetAttr(zlib.get(), names.decompress));
        if (!decompress) return nullptr;
        Ref decompressobj(PyObject_GetAttr(zlib.get(), names.decompressobj));
        if (!decompressobj) return nullptr;
        genuine = decompress.get() == names.zlibDecompress && decompressobj.get() == names.zlibDecompressobj;
    }
    RowBuffers buffers;
    PngRowOutcome outcome;
    if (genuine) {
        if (!rows) {
            auto measure = [&](InflatedSource& source) { return measureStream(source, expected); };
            if (!inflateThrough(chunks.get(), measure, &outcome)) return nullptr;
        } else {
            // The pixel buffer comes first, where the stream can be long
            // enough to fill it; else, or if there is no memory for it, the
            // stream is inflated without it, and only if it turns out right
            // is the buffer asked for again (then the memory error, if it
            // still cannot be had).
            if (reachable(geometry.expected(), compressed) && !buffers.allocate(geometry, false)) return nullptr;
            auto decode = [&](InflatedSource& source) {
                return decodePngRows(geometry, source, buffers.data(), buffers.scratch.get());
            };
            if (!inflateThrough(chunks.get(), decode, &outcome)) return nullptr;
            if (outcome.kind == PngRowOutcome::Kind::Done && !buffers.pixels) {
                if (!buffers.allocate(geometry, true)) return nullptr;
                if (!inflateThrough(chunks.get(), decode, &outcome)) return nullptr;
            }
        }
    } else {
        if (!joined) {
            joined.reset(callMethod(names.emptyBytes, names.join, idatChunks));
            if (!joined) return nullptr;
        }
        Ref rawImage(callMethod(zlib.get(), names.decompress, joined.get()));
        if (!rawImage) return nullptr;
        joined.reset();
        const Py_ssize_t rawLength = PyObject_Length(rawImage.get());
        if (rawLength < 0) return nullptr;
        if (rawLength != expected) {
            raiseValue(msg::kPngData);
            return nullptr;
        }
        ByteView raw;
        if (!raw.acquire(rawImage.get(), false)) return nullptr;
        if (raw.size() != expected) {
            raiseValue(msg::kPngData);
            return nullptr;
        }
        if (!rows) return emptyRows(width, height);
        if (!buffers.allocate(geometry, true)) return nullptr;
        WholeStream source(raw.data(), static_cast<size_t>(raw.size()));
        outcome = decodePngRows(geometry, source, buffers.data(), buffers.scratch.get());
    }
    switch (outcome.kind) {
        case PngRowOutcome::Kind::SourceFailed: return nullptr;
        case PngRowOutcome::Kind::WrongLength: raiseValue(msg::kPngData); return nullptr;
        case PngRowOutcome::Kind::BadFilter: return filterError(outcome);
        case PngRowOutcome::Kind::Done: break;
    }
    if (!rows) return emptyRows(width, height);
    return Py_BuildValue("(iiO)", width, height, buffers.pixels.get());
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

const FunctionDef kReadChunk = {
    "_readChunk", Kind::Function, {"_readChunk", 1, {{"stream"}}}, "Tuple[bytes, bytes]", readChunkImpl};
const FunctionDef kMakeChunk = {
    "_makeChunk",
    Kind::Function,
    {"_makeChunk", 2, {{"chunkType", "bytes", &PyBytes_Type}, {"data", "bytes", &PyBytes_Type}}},
    "bytes",
    makeChunkImpl};
const FunctionDef kWritePng = {
    "_writePng",
    Kind::Function,
    {"_writePng", 4, {{"path"}, {"width", nullptr, nullptr, true}, {"height", nullptr, nullptr, true}, {"pixels"}}},
    "None",
    writePngImpl};

}  // namespace mv
