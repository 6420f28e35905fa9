// PNG chunks read in place: the chunks of bytes already in memory, taken as
// _readChunk takes them from an io.BytesIO over those bytes (the same reads,
// the same checks in the same order, the same messages), without copying
// their data out.
#pragma once

#include <cstdint>

#include "py/ref.hpp"

namespace mv {

class ChunkScanner {
public:
    // The stream's `size` bytes at `data` (they must stay put while the
    // scanner is used), read from `position` on.
    ChunkScanner(const uint8_t* data, Py_ssize_t size, Py_ssize_t position)
        : data_(data), size_(size), position_(position) {}

    enum class Result {
        Chunk,   // a chunk whose CRC matched: type(), dataOffset(), dataSize()
        End,     // the stream ended where a chunk would begin (the pair (b"", b""))
        Failed,  // the error _readChunk raises is set
    };
    Result next();

    // The chunk's 4 type bytes.
    const uint8_t* type() const { return data_ + typeOffset_; }
    Py_ssize_t dataOffset() const { return typeOffset_ + 4; }
    Py_ssize_t dataSize() const { return dataSize_; }
    // Where the reads so far would have left the stream.
    Py_ssize_t position() const { return position_; }

private:
    // A read of `n` bytes: how many came back, from the position on.
    Py_ssize_t read(uint64_t n);

    const uint8_t* const data_;
    const Py_ssize_t size_;
    Py_ssize_t position_;
    Py_ssize_t typeOffset_ = 0, dataSize_ = 0;
};

}  // namespace mv
