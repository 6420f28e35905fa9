// The PNG decoder's orchestration: the signature, the chunks through
// _readChunk, IHDR's fields and their tests, then the image data: inflated
// by the host's zlib (or zlib-ng) in pieces and undone row by row by the row
// core, or, where user code rebound zlib, inflated in one call as the host
// would.
#include "png/decoder.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

#include "core/pngrows.hpp"
#include "png/chunks.hpp"
#include "png/chunkscan.hpp"
#include "png/constants.hpp"
#include "png/inflate.hpp"
#include "py/buffers.hpp"
#include "py/function.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

// IHDR's fields as read; -1 until an IHDR sets them (a rebound struct may
// give any 32-bit values, -1 included, which then counts as missing too).
struct Ihdr {
    int32_t width = -1;
    int32_t height = -1;
    int32_t bitDepth = -1;
    int32_t colourType = -1;
    int32_t compression = -1;
    int32_t filterMethod = -1;
    int32_t interlace = -1;
};

// The fields in the order the chunk stores them.
constexpr int32_t Ihdr::*kIhdrFields[] = {&Ihdr::width,       &Ihdr::height,       &Ihdr::bitDepth, &Ihdr::colourType,
                                          &Ihdr::compression, &Ihdr::filterMethod, &Ihdr::interlace};
constexpr int kIhdrFieldCount = sizeof kIhdrFields / sizeof kIhdrFields[0];

// struct.unpack(">IIBBBBB", data) into the header's fields.
bool readIhdr(PyObject* data, Ihdr* header) {
    Ref record(structCall(name::unpack, png::kIhdrFormat, data));
    PyObject* values[kIhdrFieldCount];
    if (!record || !unpackExactly(record.get(), kIhdrFieldCount, values)) return false;
    bool ok = true;
    for (int k = 0; k < kIhdrFieldCount; ++k) {
        if (ok) ok = toInt32(values[k], &(header->*kIhdrFields[k]));
        Py_DECREF(values[k]);
    }
    return ok;
}

// The signature: stream.read(8) == PNG_SIGNATURE (the module's, which user
// code may rebind).
bool readSignature(PyObject* stream) {
    Ref signature(callMethod(stream, name::read, smallInt(png::kSignatureSize)));
    if (!signature) return false;
    Ref expected(lookupGlobal(name::PNG_SIGNATURE));
    if (!expected) return false;
    const int differs = compareTruth(signature.get(), expected.get(), Py_NE);
    if (differs < 0) return false;
    if (differs) raiseValue(msg::kPngSignature);
    return !differs;
}

// The chunks up to IEND, or to the end of the stream: IHDR's fields into
// `header`, the IDAT data appended to `idatChunks`; any other chunk is
// passed over.
bool readChunks(PyObject* stream, Ihdr* header, PyObject* idatChunks) {
    for (;;) {
        PyObject* pair[2];
        {
            // _readChunk normally lands in readChunk (png/chunks.cpp).
            Ref readChunk(lookupGlobal(name::_readChunk));
            if (!readChunk) return false;
            Ref result(call(readChunk.get(), stream));
            if (!result || !unpackExactly(result.get(), 2, pair)) return false;
        }
        Ref chunkType(pair[0]), data(pair[1]);
        int is = equalsBytes(chunkType.get(), kEmptyBytes);
        if (is) return is > 0;
        if ((is = equalsBytes(chunkType.get(), png::kTypeIHDR)) < 0) return false;
        if (is) {
            if (!readIhdr(data.get(), header)) return false;
            continue;
        }
        if ((is = equalsBytes(chunkType.get(), png::kTypeIDAT)) < 0) return false;
        if (is) {
            if (PyList_Append(idatChunks, data.get()) < 0) return false;
            continue;
        }
        if ((is = equalsBytes(chunkType.get(), png::kTypeIEND)) < 0) return false;
        if (is) return true;
    }
}

// The header's tests, in order: every field there, then the bit depth, the
// colour type and the three methods.
bool checkHeader(const Ihdr& header) {
    for (int32_t Ihdr::*field : kIhdrFields) {
        if (header.*field == -1) {
            raiseValue(msg::kPngHeader);
            return false;
        }
    }
    if (header.bitDepth != png::kBitDepth) {
        raiseValue(msg::kPngDepth);
        return false;
    }
    if (header.colourType != png::kColourRgb && header.colourType != png::kColourRgba) {
        raiseValue(msg::kPngColour);
        return false;
    }
    if (header.compression != png::kMethodZero || header.filterMethod != png::kMethodZero ||
        header.interlace != png::kMethodZero) {
        raiseValue(msg::kPngConfig);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The image data

// The shape of the image data, with the sizes exact and signed as the host
// computes them (a rebound struct may give any 32-bit values: an expected
// length that is negative, or beyond 64 bits, matches no data at all).
struct Shape {
    Shape(int32_t w, int32_t h, int bytesPerPixel)
        : width(w),
          height(h),
          expected(expectedLength(w, h, bytesPerPixel)),
          // With rows (height > 0, hence width >= 0 wherever a length can
          // match), the geometry of the row decoder; otherwise only the
          // length counts.
          rows(h > 0 && w >= 0),
          geometry{rows ? static_cast<uint32_t>(w) : 0u, rows ? static_cast<uint32_t>(h) : 0u,
                   static_cast<uint32_t>(bytesPerPixel)} {}

    static int64_t expectedLength(int32_t w, int32_t h, int bytesPerPixel) {
        const int64_t rowLength = int64_t{w} * bytesPerPixel;
        int64_t length;
        if (__builtin_mul_overflow(int64_t{h}, rowLength + 1, &length) || length < 0) return -1;
        return length;
    }

    const int32_t width, height;
    const int64_t expected;  // -1: no length matches
    const bool rows;
    const PngRowGeometry geometry;
};

// The IDAT data as the inflaters take it: the stretches of compressed data
// in order (the chunks themselves when all are bytes, else their join as the
// host makes it, or stretches of the source's own bytes when they were read
// in place).
struct Compressed {
    CompressedData stretches;
    Ref joined;  // b"".join(idatChunks), when it was made
    Ref source;  // the bytes read in place, when they were

    bool gather(PyObject* idatChunks) {
        const Py_ssize_t count = PyList_GET_SIZE(idatChunks);
        bool allBytes = true;
        for (Py_ssize_t i = 0; i < count && allBytes; ++i)
            allBytes = PyBytes_CheckExact(PyList_GET_ITEM(idatChunks, i));
        if (allBytes) {
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyObject* chunk = PyList_GET_ITEM(idatChunks, i);
                if (!stretches.add(chunk, 0, PyBytes_GET_SIZE(chunk))) return false;
            }
            return true;
        }
        if (!join(idatChunks)) return false;
        return stretches.add(joined.get(), 0, PyBytes_GET_SIZE(joined.get()));
    }

    bool join(PyObject* idatChunks) {
        if (!joined) joined.reset(callMethod(kEmptyBytes, name::join, idatChunks));
        return static_cast<bool>(joined);
    }
};

// Whether `zlib` is the host's own, as the module body imported it, with the
// functions it had then: then none of the inflating can be observed. 1, 0,
// or -1 on error.
int isHostZlib(PyObject* zlib) {
    if (zlib != process.zlib.module) return 0;
    Ref decompress(PyObject_GetAttr(zlib, name::decompress));
    if (!decompress) return -1;
    Ref decompressobj(PyObject_GetAttr(zlib, name::decompressobj));
    if (!decompressobj) return -1;
    return decompress.get() == process.zlib.decompress && decompressobj.get() == process.zlib.decompressobj;
}

struct PyMemFree {
    void operator()(uint8_t* p) const { PyMem_Free(p); }
};

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

// With the host's own zlib: the chunks inflated in order, without the joined
// copy, and each row undone as soon as it is inflated (or, without rows,
// only the length counted).
bool inflateRows(const Shape& shape, const Compressed& data, RowBuffers& buffers, PngRowOutcome* outcome) {
    const CompressedData& chunks = data.stretches;
    // No length matches: a length no stream has.
    const uint64_t expected = shape.expected < 0 ? UINT64_MAX : static_cast<uint64_t>(shape.expected);
    if (!shape.rows) {
        auto measure = [&](InflatedSource& source) { return measureStream(source, shape.expected); };
        return inflateThrough(chunks, expected, measure, outcome);
    }
    // The pixel buffer comes first, where the stream can be long enough to
    // fill it; else, or if there is no memory for it, the stream is inflated
    // without it, and only if it turns out right is the buffer asked for
    // again (then the memory error, if it still cannot be had).
    const uint64_t compressed = data.stretches.total();
    if (reachable(shape.geometry.expected(), compressed) && !buffers.allocate(shape.geometry, false)) return false;
    auto decode = [&](InflatedSource& source) {
        return decodePngRows(shape.geometry, source, buffers.data(), buffers.scratch.get());
    };
    if (!inflateThrough(chunks, expected, decode, outcome)) return false;
    if (outcome->kind == PngRowOutcome::Kind::Done && !buffers.pixels) {
        if (!buffers.allocate(shape.geometry, true)) return false;
        if (!inflateThrough(chunks, expected, decode, outcome)) return false;
    }
    return true;
}

// With any other zlib: rawImage = zlib.decompress(b"".join(idatChunks)) in
// one call, then the length test and the rows.
bool inflateWhole(PyObject* zlib, PyObject* idatChunks, const Shape& shape, Compressed& data, RowBuffers& buffers,
                  PngRowOutcome* outcome) {
    if (!data.join(idatChunks)) return false;
    Ref rawImage(callMethod(zlib, name::decompress, data.joined.get()));
    if (!rawImage) return false;
    data.joined.reset();
    *outcome = {PngRowOutcome::Kind::WrongLength, 0, 0};
    const Py_ssize_t rawLength = PyObject_Length(rawImage.get());
    if (rawLength < 0) return false;
    if (rawLength != shape.expected) return true;
    ByteView raw;
    if (!raw.acquire(rawImage.get(), false)) return false;
    if (raw.size() != shape.expected) return true;
    if (!shape.rows) {
        *outcome = {PngRowOutcome::Kind::Done, 0, 0};
        return true;
    }
    if (!buffers.allocate(shape.geometry, true)) return false;
    WholeStream source(raw.data(), static_cast<size_t>(raw.size()));
    *outcome = decodePngRows(shape.geometry, source, buffers.data(), buffers.scratch.get());
    return true;
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
// and the rows, as the host computes them; see inflateRows and inflateWhole
// for the two ways there. `idatChunks` is nullptr when the chunks were read
// in place (with the host's own zlib: `data` holds the stretches).
PyObject* decodeImageData(PyObject* idatChunks, Compressed& data, const Ihdr& header) {
    const Shape shape(header.width, header.height, header.colourType == png::kColourRgb ? 3 : 4);
    if (idatChunks && !data.gather(idatChunks)) return nullptr;
    Ref zlib(lookupGlobal(name::zlib));
    if (!zlib) return nullptr;
    const int hostZlib = isHostZlib(zlib.get());
    if (hostZlib < 0) return nullptr;
    RowBuffers buffers;
    PngRowOutcome outcome;
    const bool inflated = hostZlib ? inflateRows(shape, data, buffers, &outcome)
                                   : inflateWhole(zlib.get(), idatChunks, shape, data, buffers, &outcome);
    if (!inflated) return nullptr;
    switch (outcome.kind) {
        case PngRowOutcome::Kind::SourceFailed: return nullptr;
        case PngRowOutcome::Kind::WrongLength: raiseValue(msg::kPngData); return nullptr;
        case PngRowOutcome::Kind::BadFilter:
            PyErr_Format(PyExc_ValueError, msg::kPngFilter, outcome.filterByte);
            return nullptr;
        case PngRowOutcome::Kind::Done: break;
    }
    if (!shape.rows) return emptyRows(shape.width, shape.height);
    return Py_BuildValue("(iiO)", shape.width, shape.height, buffers.pixels.get());
}

// ---------------------------------------------------------------------------
// The chunks read in place

// Whether the chunks of `stream` can be read in place: it is a plain
// io.BytesIO, and _readChunk, struct and zlib are the module's own, with
// the functions they had when the module body ran. Then no Python code can
// see the difference: the reads would only have moved the stream's
// position, which is set to where they would have left it.
bool readableInPlace(PyObject* stream) {
    if (!isPlainBytesIO(stream) || !process.module) return false;
    PyObject* globals = PyModule_GetDict(process.module);
    auto global = [&](PyObject* key) {
        PyObject* value = PyDict_GetItemWithError(globals, key);
        if (!value) PyErr_Clear();
        return value;
    };
    PyObject* readChunk = global(name::_readChunk);
    if (!readChunk || !isFunctionFor(readChunk, kReadChunk)) return false;
    PyObject* structModule = global(name::struct_);
    if (!structModule || structModule != process.structModule.module ||
        moduleEntry(structModule, name::unpack) != process.structModule.unpack)
        return false;
    PyObject* zlib = global(name::zlib);
    return zlib && zlib == process.zlib.module && moduleEntry(zlib, name::crc32) == process.zlib.crc32 &&
           moduleEntry(zlib, name::decompress) == process.zlib.decompress &&
           moduleEntry(zlib, name::decompressobj) == process.zlib.decompressobj;
}

// The chunk loop of readChunks over the bytes of `stream` (see
// readableInPlace), from its position on: the IHDR fields into `header`,
// the IDAT data as stretches of the stream's bytes into `data`. The stream
// is left where the reads would have left it, on failure too.
bool readChunksInPlace(PyObject* stream, Ihdr* header, Compressed* data) {
    Ref where(callMethod(stream, name::tell));
    if (!where) return false;
    const Py_ssize_t start = PyLong_AsSsize_t(where.get());
    if (start < 0 && PyErr_Occurred()) return false;
    data->source.reset(callMethod(stream, name::getvalue));
    if (!data->source) return false;
    PyObject* source = data->source.get();
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(source));
    ChunkScanner scanner(bytes, PyBytes_GET_SIZE(source), start);
    bool ok = true;
    for (bool more = true; more && ok;) {
        switch (scanner.next()) {
            case ChunkScanner::Result::Failed: ok = false; break;
            case ChunkScanner::Result::End: more = false; break;
            case ChunkScanner::Result::Chunk: {
                const uint8_t* type = scanner.type();
                const Py_ssize_t at = scanner.dataOffset(), size = scanner.dataSize();
                if (std::memcmp(type, PyBytes_AS_STRING(png::kTypeIHDR.get()), png::kFieldSize) == 0) {
                    Ref record(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes + at), size));
                    ok = record && readIhdr(record.get(), header);
                } else if (std::memcmp(type, PyBytes_AS_STRING(png::kTypeIDAT.get()), png::kFieldSize) == 0) {
                    ok = data->stretches.add(source, at, size);
                } else if (std::memcmp(type, PyBytes_AS_STRING(png::kTypeIEND.get()), png::kFieldSize) == 0) {
                    more = false;
                }
                break;
            }
        }
    }
    if (scanner.position() == start) return ok;
    auto seek = [&] {
        Ref at(PyLong_FromSsize_t(scanner.position()));
        if (!at) return false;
        Ref r(callMethod(stream, name::seek, at.get()));
        return static_cast<bool>(r);
    };
    if (ok) return seek();
    runKeepingError(seek);
    return false;
}

}  // namespace

PyObject* loadPng(PyObject* stream) {
    if (!readSignature(stream)) return nullptr;
    Ihdr header;
    Compressed data;
    if (readableInPlace(stream)) {
        if (!readChunksInPlace(stream, &header, &data) || !checkHeader(header)) return nullptr;
        return decodeImageData(nullptr, data, header);
    }
    Ref idatChunks(PyList_New(0));
    if (!idatChunks || !readChunks(stream, &header, idatChunks.get()) || !checkHeader(header)) return nullptr;
    return decodeImageData(idatChunks.get(), data, header);
}

}  // namespace mv
