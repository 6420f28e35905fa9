// The inflater bridge: Python inflater objects (zlib-ng's or the host
// zlib's decompressobj) feeding the PNG row core, which pulls the inflated
// stream through an InflatedSource.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/pngrows.hpp"
#include "py/ref.hpp"

namespace mv {

// The faster inflater, zlib-ng's zlib-compatible module, imported on first
// use: *module is nullptr (no error) when it cannot be imported. An
// ImportError (the package missing or broken) gives it up for good. Any
// other exception while importing (a failed allocation, say) gives it up for
// this call only, and an interruption (an error that is no Exception)
// propagates, returning false: the next call tries again.
bool fastZlib(PyObject** module);

// What reads an inflated stream to its end: the row decoder, or the length
// count. inflateThrough may run it twice (see there).
class StreamReader {
public:
    virtual PngRowOutcome read(InflatedSource& source) = 0;

protected:
    ~StreamReader() = default;
};

// Runs `reader` on the inflated stream of `chunks` (a list of the non-empty
// bytes objects of compressed data, in order, that nobody else holds):
// inflated by zlib-ng where it can be imported, else by the host's zlib (its
// decompressobj as recorded). Any failure of zlib-ng's run is taken as
// unknown: the host's zlib then inflates the stream again, so that a failure
// is the host's zlib.error, with its message. False with the error set; a
// SourceFailed outcome also comes back with the error set.
bool inflateThrough(PyObject* chunks, StreamReader& reader, PngRowOutcome* outcome);

// The same with a callable `readStream(InflatedSource&) -> PngRowOutcome`.
template <class ReadStream>
bool inflateThrough(PyObject* chunks, ReadStream&& readStream, PngRowOutcome* outcome) {
    class Reader final : public StreamReader {
    public:
        explicit Reader(ReadStream& fn) : fn_(fn) {}
        PngRowOutcome read(InflatedSource& source) override { return fn_(source); }

    private:
        ReadStream& fn_;
    } reader(readStream);
    return inflateThrough(chunks, static_cast<StreamReader&>(reader), outcome);
}

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
