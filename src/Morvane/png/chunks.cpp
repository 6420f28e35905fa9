// PNG chunks: reading one from a stream (length, type, data, CRC, each
// checked) and framing one, with the CRC as zlib.crc32 computes it.
#include "png/chunks.hpp"

#include <cstring>

#include "png/constants.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

// zlib.crc32(chunkType), then zlib.crc32(data, that) & 0xFFFFFFFF. With the
// host's own zlib and crc32, and bytes to check, no Python code can see the
// calls, and zlib-ng's crc32 (the same function, faster) computes them.
PyObject* chunkCrc(PyObject* chunkType, PyObject* data) {
    if (PyBytes_CheckExact(chunkType) && PyBytes_CheckExact(data)) {
        Ref zlib(lookupGlobal(name::zlib));
        if (!zlib) return nullptr;
        PyObject* fast = nullptr;
        if (zlib.get() == process.zlib.module) {
            Ref crc32(PyObject_GetAttr(zlib.get(), name::crc32));
            if (!crc32) return nullptr;
            if (crc32.get() == process.zlib.crc32) fast = process.fastZlib.module;
        }
        if (fast) {
            Ref first(callMethod(fast, name::crc32, chunkType));
            if (!first) return nullptr;
            Ref second(callMethod(fast, name::crc32, data, first.get()));
            if (!second) return nullptr;
            return PyNumber_And(second.get(), png::kCrcMask);
        }
    }
    Ref first(callGlobalMethod(name::zlib, name::crc32, chunkType));
    if (!first) return nullptr;
    Ref second(callGlobalMethod(name::zlib, name::crc32, data, first.get()));
    if (!second) return nullptr;
    return PyNumber_And(second.get(), png::kCrcMask);
}

// struct.unpack(">I", field)[0]
PyObject* unpackU32(PyObject* field) {
    Ref unpacked(structCall(name::unpack, png::kU32Format, field));
    if (!unpacked) return nullptr;
    return itemAt(unpacked.get(), 0);
}

// `a != b` as the host compares; -1 on error.
int differ(PyObject* a, PyObject* b) { return compareTruth(a, b, Py_NE); }

PyObject* readChunk(PyObject* stream) {
    PyObject* const fieldSize = smallInt(png::kFieldSize);
    Py_ssize_t n;
    Ref lengthBytes(readCounted(stream, fieldSize, &n));
    if (!lengthBytes) return nullptr;
    if (n == 0) return PyTuple_Pack(2, kEmptyBytes.get(), kEmptyBytes.get());
    if (n != png::kFieldSize) {
        raiseValue(msg::kEofLength);
        return nullptr;
    }
    Ref length(unpackU32(lengthBytes.get()));
    if (!length) return nullptr;
    Ref chunkType(readCounted(stream, fieldSize, &n));
    if (!chunkType) return nullptr;
    if (n != png::kFieldSize) {
        raiseValue(msg::kEofType);
        return nullptr;
    }
    Ref data(readCounted(stream, length.get(), &n));
    if (!data) return nullptr;
    Ref got(PyLong_FromSsize_t(n));
    if (!got) return nullptr;
    int differs = differ(got.get(), length.get());
    if (differs < 0) return nullptr;
    if (differs) {
        raiseValue(msg::kEofData);
        return nullptr;
    }
    Ref crc(readCounted(stream, fieldSize, &n));
    if (!crc) return nullptr;
    if (n != png::kFieldSize) {
        raiseValue(msg::kEofCrc);
        return nullptr;
    }
    Ref expectedCrc(chunkCrc(chunkType.get(), data.get()));
    if (!expectedCrc) return nullptr;
    Ref actualCrc(unpackU32(crc.get()));
    if (!actualCrc) return nullptr;
    differs = differ(actualCrc.get(), expectedCrc.get());
    if (differs < 0) return nullptr;
    if (differs) {
        raiseValue(msg::kBadCrc);
        return nullptr;
    }
    return PyTuple_Pack(2, chunkType.get(), data.get());
}

// length + chunkType + data + crc, as the host concatenates them: one copy
// when all four are bytes.
PyObject* concatenate(PyObject* const (&parts)[4]) {
    Py_ssize_t total = 0;
    for (PyObject* part : parts) {
        if (!PyBytes_CheckExact(part)) {
            Ref result = Ref::borrow(parts[0]);
            for (int i = 1; i < 4; ++i) {
                result.reset(PyNumber_Add(result.get(), parts[i]));
                if (!result) return nullptr;
            }
            return result.release();
        }
        total += PyBytes_GET_SIZE(part);
    }
    PyObject* result = PyBytes_FromStringAndSize(nullptr, total);
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result);
    for (PyObject* part : parts) {
        std::memcpy(out, PyBytes_AS_STRING(part), PyBytes_GET_SIZE(part));
        out += PyBytes_GET_SIZE(part);
    }
    return result;
}

PyObject* makeChunk(PyObject* chunkType, PyObject* data) {
    Ref dataLength(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    if (!dataLength) return nullptr;
    Ref length(structCall(name::pack, png::kU32Format, dataLength.get()));
    if (!length) return nullptr;
    Ref crcValue(chunkCrc(chunkType, data));
    if (!crcValue) return nullptr;
    Ref crc(structCall(name::pack, png::kU32Format, crcValue.get()));
    if (!crc) return nullptr;
    return concatenate({length.get(), chunkType, data, crc.get()});
}

}  // namespace

const FunctionDef kReadChunk = function<readChunk>("_readChunk", {param("stream")}, "Tuple[bytes, bytes]");
const FunctionDef kMakeChunk = function<makeChunk>(
    "_makeChunk", {exact("chunkType", &PyBytes_Type, "bytes"), exact("data", &PyBytes_Type, "bytes")}, "bytes");

}  // namespace mv
