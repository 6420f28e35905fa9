// PNG chunks read in place (see chunkscan.hpp): each field where the
// stream's read would take it from, the CRC over the type and data where they
// lie.
#include "png/chunkscan.hpp"

#include "png/constants.hpp"
#include "png/inflate.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// zlib.crc32 of the `n` bytes at `p`, masked to 32 bits: the host's crc32,
// or zlib-ng's (the same function), over a view of the bytes where they lie.
// The type and the data of a chunk follow each other, so one call gives what
// _readChunk's two give.
bool crc32Of(const uint8_t* p, Py_ssize_t n, uint32_t* crc) {
    PyObject* fast;
    if (!fastZlib(&fast)) return false;
    Ref view(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<uint8_t*>(p)), n, PyBUF_READ));
    if (!view) return false;
    Ref value(fast ? callMethod(fast, name::crc32, view.get()) : call(process.zlib.crc32, view.get()));
    if (!value) return false;
    const unsigned long v = PyLong_AsUnsignedLongMask(value.get());
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    *crc = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

Py_ssize_t ChunkScanner::read(uint64_t n) {
    // A read at or past the end gives nothing and leaves the position.
    const uint64_t available = position_ < size_ ? static_cast<uint64_t>(size_ - position_) : 0;
    const Py_ssize_t got = static_cast<Py_ssize_t>(n < available ? n : available);
    position_ += got;
    return got;
}

ChunkScanner::Result ChunkScanner::next() {
    const Py_ssize_t lengthAt = position_;
    const Py_ssize_t lengthGot = read(png::kFieldSize);
    if (lengthGot == 0) return Result::End;
    if (lengthGot != png::kFieldSize) {
        raiseValue(msg::kEofLength);
        return Result::Failed;
    }
    const uint32_t length = bigEndian32(data_ + lengthAt);
    typeOffset_ = position_;
    if (read(png::kFieldSize) != png::kFieldSize) {
        raiseValue(msg::kEofType);
        return Result::Failed;
    }
    dataSize_ = read(length);
    if (static_cast<uint64_t>(dataSize_) != length) {
        raiseValue(msg::kEofData);
        return Result::Failed;
    }
    const Py_ssize_t crcAt = position_;
    if (read(png::kFieldSize) != png::kFieldSize) {
        raiseValue(msg::kEofCrc);
        return Result::Failed;
    }
    uint32_t expected;
    if (!crc32Of(data_ + typeOffset_, png::kFieldSize + dataSize_, &expected)) return Result::Failed;
    if (bigEndian32(data_ + crcAt) != expected) {
        raiseValue(msg::kBadCrc);
        return Result::Failed;
    }
    return Result::Chunk;
}

}  // namespace mv
