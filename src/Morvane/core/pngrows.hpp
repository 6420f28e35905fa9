// PNG rows undone as they are inflated: plain C++, no interpreter involved.
//
// The inflated image data (each scanline a filter byte, then the filtered
// row) is pulled from an InflatedSource in pieces of any size. Each row is
// undone as soon as its bytes are there: straight into the pixel buffer for
// RGB, through a ring of nine rows for RGBA (then copied out without the
// alpha). Only a row that straddles two pieces is copied, into one of two
// carry rows. Average and Paeth rows are undone eight or four at a time
// where that many such rows lie in one piece, else two at a time where both
// rows are there (a row waits for the next one, in a carry row if its piece
// goes away first).
//
// The outcome is the one of inflating the whole stream first, then testing
// its length, then undoing the rows top to bottom: a stream that does not
// inflate fails first, then a stream of the wrong length, then the first row
// with a bad filter byte. So after a bad filter byte, or past the expected
// length, the rest of the stream is still pulled (its bytes counted and
// dropped) before the outcome is known.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv {

// Where the inflated bytes come from.
class InflatedSource {
public:
    enum class Status { Piece, End, Failed };
    // Piece: the next *size (> 0) bytes are at *data, valid until the next
    // call. End: the stream is complete. Failed: it cannot be inflated (the
    // source keeps the reason); nothing more is asked of it.
    virtual Status next(const uint8_t** data, size_t* size) = 0;

protected:
    ~InflatedSource() = default;
};

// The shape of the filtered image data. Width and height are below 2^31 and
// bytesPerPixel is 3 or 4, so every size here is exact in 64 bits:
// height * (width * 4 + 1) < 2^64.
struct PngRowGeometry {
    uint32_t width;
    uint32_t height;
    uint32_t bytesPerPixel;

    uint64_t rowLength() const { return uint64_t{width} * bytesPerPixel; }
    uint64_t stride() const { return rowLength() + 1; }
    // The exact length of the inflated stream.
    uint64_t expected() const { return uint64_t{height} * stride(); }
    // The pixel buffer: width * height RGB pixels.
    uint64_t pixelBytes() const { return uint64_t{width} * height * 3; }
    // The distance between the rows of the RGBA ring: at least a row, and
    // 576 bytes past a multiple of 4 KiB, so that eight rows at once (each a
    // pixel behind the one above) touch eight different sets of the
    // processor's first-level cache.
    uint64_t ringPitch() const { return rowLength() + (576 + 4096 - rowLength() % 4096) % 4096; }
    // The scratch memory decodePngRows needs: two carry rows, and for RGBA
    // the ring of nine reconstructed rows.
    uint64_t scratchBytes() const { return 2 * stride() + (bytesPerPixel == 4 ? 9 * ringPitch() : 0); }
    // Whether Average and Paeth rows are undone eight at a time where they
    // can be. Not for RGB rows that lie about a multiple of 4 KiB apart (less
    // the pixel each row is behind), so that more than six of the eight fall
    // into one set of the processor's first-level cache (of 64-byte lines,
    // 4 KiB a round) at each step: with their reconstructions, which lie
    // alike, they evict each other, and four at a time is faster.
    bool eightAtOnce() const {
        if (bytesPerPixel == 4) return true;
        int inSet[64] = {};
        for (uint64_t k = 0; k < 8; ++k)
            if (++inSet[(k * (stride() - bytesPerPixel) % 4096) / 64] > 6) return false;
        return true;
    }
    bool valid() const {
        return width < (1u << 31) && height < (1u << 31) && (bytesPerPixel == 3 || bytesPerPixel == 4);
    }
};

struct PngRowOutcome {
    enum class Kind {
        Done,          // every row undone (or, without a pixel buffer, the length is right)
        SourceFailed,  // the source failed
        WrongLength,   // the stream ended, longer or shorter than expected()
        BadFilter,     // the stream is right, but row `row` has the filter byte `filterByte` (> 4)
    };
    Kind kind;
    int filterByte;
    uint64_t row;
};

// Pulls `source` to its end and undoes the rows into `pixels`
// (pixelBytes() bytes, every one written on Done). `scratch` holds
// scratchBytes() bytes. With `pixels` nullptr nothing is undone: only the
// stream's length is checked (no scratch needed).
PngRowOutcome decodePngRows(const PngRowGeometry& geometry, InflatedSource& source, uint8_t* pixels, uint8_t* scratch);

// Pulls `source` to its end, only counting its bytes: Done when there are
// exactly `expected` (a negative `expected` matches no stream), else
// WrongLength or SourceFailed.
PngRowOutcome measureStream(InflatedSource& source, int64_t expected);

}  // namespace mv
