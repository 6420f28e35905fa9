// The inflater bridge: zlib-ng's inflater called straight, or Python
// inflater objects (zlib-ng's or the host zlib's decompressobj), feeding the
// PNG row core, which pulls the inflated stream through an InflatedSource.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/pngrows.hpp"
#include "py/ref.hpp"

namespace mv {

// One stretch of the compressed image data: `size` bytes from `offset` of
// the bytes object `owner` (an IDAT chunk's data as _readChunk gave it, or a
// stretch of the source's own bytes, read in place). Whoever fills a
// CompressedData keeps its owners alive while it is used.
struct Stretch {
    PyObject* owner;
    Py_ssize_t offset;
    Py_ssize_t size;
};

// The compressed image data: its non-empty stretches, in order.
class CompressedData {
public:
    CompressedData() = default;
    CompressedData(const CompressedData&) = delete;
    CompressedData& operator=(const CompressedData&) = delete;
    ~CompressedData() { PyMem_Free(items_); }

    // Appends a stretch (an empty one is passed over); false with
    // MemoryError set.
    bool add(PyObject* owner, Py_ssize_t offset, Py_ssize_t size);
    Py_ssize_t count() const { return count_; }
    const Stretch& operator[](Py_ssize_t i) const { return items_[i]; }
    // The total size, saturated.
    uint64_t total() const { return total_; }

private:
    Stretch* items_ = nullptr;
    Py_ssize_t count_ = 0, capacity_ = 0;
    uint64_t total_ = 0;
};

// What reads an inflated stream to its end: the row decoder, or the length
// count. inflateThrough may run it twice (see there). It is given each
// piece without the interpreter lock, maybe on another thread (see
// inflateThrough), and must touch no Python object.
class StreamReader {
public:
    virtual PngRowOutcome read(InflatedSource& source) = 0;

protected:
    ~StreamReader() = default;
};

// Runs `reader` on the inflated stream of `data`, which is `expected` bytes
// long if it is right (that length only sizes the pieces): inflated by
// zlib-ng where the module's initialisation chose it (see png/fastzlib.hpp),
// else by the host's zlib (its decompressobj as recorded). zlib-ng's
// inflater is called straight while its module's decompressobj is the one
// the initialisation recorded, else through that decompressobj. Nothing here
// imports. Any failure of zlib-ng's run is taken as unknown: the host's
// zlib then inflates the stream again, so that a failure is the host's
// zlib.error, with its message. False with the error set; a SourceFailed
// outcome also comes back with the error set.
//
// Called straight, zlib-ng's inflater and `reader` run without the
// interpreter lock throughout. Through an inflater object, each piece it
// hands over is worked on by `reader` without the lock, which is taken back
// before the inflater is called again: other threads run meanwhile, as they
// do inside the inflater's own calls. Where the stream makes more than a
// piece and a quarter and no other decode runs, `reader` runs on the row
// worker (core/rowworker.hpp) and works on each piece while the inflater
// makes the next.
bool inflateThrough(const CompressedData& data, uint64_t expected, StreamReader& reader, PngRowOutcome* outcome);

// The same with a callable `readStream(InflatedSource&) -> PngRowOutcome`.
template <class ReadStream>
bool inflateThrough(const CompressedData& data, uint64_t expected, ReadStream&& readStream, PngRowOutcome* outcome) {
    class Reader final : public StreamReader {
    public:
        explicit Reader(ReadStream& fn) : fn_(fn) {}
        PngRowOutcome read(InflatedSource& source) override { return fn_(source); }

    private:
        ReadStream& fn_;
    } reader(readStream);
    return inflateThrough(data, expected, static_cast<StreamReader&>(reader), outcome);
}

// How the inflater that `module.decompressobj()` makes inflates `data` (as
// above), driven as the decoder drives zlib-ng's but with at most
// `inputPiece` bytes of input and `outputPiece` (an int) of output per call:
// Same when its output is `expected` and then it ends; Other when its output
// differs, or ends early or late; Failed when it fails, with its error
// pending if it raised one.
enum class Inflated { Same, Other, Failed };
Inflated inflateAndCompare(PyObject* module, const CompressedData& data, const uint8_t* expected, size_t size,
                           Py_ssize_t inputPiece, PyObject* outputPiece);

struct DirectZlib;

// The same for zlib-ng's inflater called straight, as the decoder calls it,
// with at most `piece` bytes of output per call; Failed with MemoryError
// pending where there was no memory for it, with nothing pending where the
// stream failed.
Inflated inflateDirectAndCompare(const DirectZlib& zng, const CompressedData& data, const uint8_t* expected,
                                 size_t size, size_t piece);

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

}  // namespace mv
