// The PNG row core: the inflated stream pulled in pieces and each row undone
// as soon as its bytes are there (see pngrows.hpp).
#include "core/pngrows.hpp"

#include <cstring>

#include "core/kernels.hpp"
#include "core/paths.hpp"

namespace mv {

namespace {

// Pulls `source` to its end, handing each piece to `onPiece(data, size,
// total)` (total: the bytes before it); the outcome at the end is
// `atEnd(total)`, with total the stream's length (saturated).
template <class OnPiece, class AtEnd>
PngRowOutcome pullAll(InflatedSource& source, OnPiece&& onPiece, AtEnd&& atEnd) {
    uint64_t total = 0;
    for (;;) {
        const uint8_t* data = nullptr;
        size_t size = 0;
        switch (source.next(&data, &size)) {
            case InflatedSource::Status::Failed: return {PngRowOutcome::Kind::SourceFailed, 0, 0};
            case InflatedSource::Status::End: return atEnd(total);
            case InflatedSource::Status::Piece: break;
        }
        onPiece(data, size, total);
        total = total + size < total ? UINT64_MAX : total + size;
    }
}

class RowDecoder {
public:
    RowDecoder(const PngRowGeometry& g, uint8_t* pixels, uint8_t* scratch)
        : g_(g),
          rowLength_(static_cast<size_t>(g.rowLength())),
          stride_(static_cast<size_t>(g.stride())),
          outRow_(size_t{g.width} * 3),
          bpp_(static_cast<int>(g.bytesPerPixel)),
          pixels_(pixels),
          carry_{scratch, scratch + stride_},
          ring_(g.bytesPerPixel == 4 ? scratch + 2 * stride_ : nullptr),
          ringPitch_(static_cast<size_t>(g.ringPitch())),
          eight_(g.eightAtOnce()) {}

    PngRowOutcome run(InflatedSource& source) {
        const uint64_t expected = g_.expected();
        return pullAll(
            source,
            [&](const uint8_t* data, size_t size, uint64_t total) {
                // Only the first `expected` bytes can hold rows; the rest is counted.
                const uint64_t room = total < expected ? expected - total : 0;
                const size_t useful = room < size ? static_cast<size_t>(room) : size;
                if (!bad_ && useful > 0) piece(data, useful);
            },
            [&](uint64_t total) -> PngRowOutcome {
                if (total != expected) return {PngRowOutcome::Kind::WrongLength, 0, 0};
                if (bad_) return {PngRowOutcome::Kind::BadFilter, badFilter_, badRow_};
                return {PngRowOutcome::Kind::Done, 0, 0};
            });
    }

private:
    // The rows in one piece of the stream.
    void piece(const uint8_t* p, size_t n) {
        if (partial_ > 0) {
            const size_t take = stride_ - partial_ < n ? stride_ - partial_ : n;
            std::memcpy(carry_[partialSlot_] + partial_, p, take);
            countPath(Path::CarriedBytes, take);
            partial_ += take;
            p += take;
            n -= take;
            if (partial_ < stride_) return;
            partial_ = 0;
            if (!row(carry_[partialSlot_], partialSlot_)) return;
        }
        while (n >= stride_) {
            size_t rows = 1;
            if (n >= 8 * stride_ && eight_ && several<8>(p, unfilterRowOct))
                rows = 8;
            else if (n >= 4 * stride_ && several<4>(p, unfilterRowQuad))
                rows = 4;
            if (rows == 1 && !row(p, -1)) return;
            p += rows * stride_;
            n -= rows * stride_;
        }
        // The piece goes away: keep a waiting row, and start the next row.
        if (waiting_ && waitingSlot_ < 0) {
            const int slot = 0;
            std::memcpy(carry_[slot], waiting_, stride_);
            countPath(Path::CarriedBytes, stride_);
            waiting_ = carry_[slot];
            waitingSlot_ = slot;
        }
        if (n > 0) {
            partialSlot_ = waitingSlot_ == 0 ? 1 : 0;
            std::memcpy(carry_[partialSlot_], p, n);
            countPath(Path::CarriedBytes, n);
            partial_ = n;
        }
    }

    uint8_t* recon(uint64_t y) const { return ring_ ? ring_ + (y % 9) * ringPitch_ : pixels_ + y * rowLength_; }

    void finish(uint64_t y, const uint8_t* reconRow) {
        if (ring_) dropAlpha(reconRow, pixels_ + y * outRow_, g_.width);
        prev_ = reconRow;
    }

    // One undone row: false on a bad filter byte (noted; nothing more is undone).
    bool single(const uint8_t* r) {
        const uint64_t y = done_;
        uint8_t* out = recon(y);
        if (!unfilterRow(r[0], r + 1, prev_, out, rowLength_, bpp_)) {
            bad_ = true;
            badFilter_ = r[0];
            badRow_ = y;
            return false;
        }
        finish(y, out);
        ++done_;
        return true;
    }

    // The N complete rows from `r` on, in the piece, undone at once by
    // `kernel` when no row is waiting, a row lies above them and the kernel
    // takes them (all N Average or Paeth).
    using Kernel = bool (*)(const int*, const uint8_t* const*, const uint8_t*, uint8_t* const*, size_t, int);
    template <int N>
    bool several(const uint8_t* r, Kernel kernel) {
        if (waiting_ || !prev_) return false;
        int filters[N];
        const uint8_t* rows[N];
        uint8_t* out[N];
        for (int k = 0; k < N; ++k) {
            filters[k] = r[k * stride_];
            rows[k] = r + k * stride_ + 1;
            out[k] = recon(done_ + k);
        }
        if (!kernel(filters, rows, prev_, out, rowLength_, bpp_)) return false;
        for (int k = 0; k < N; ++k) finish(done_ + k, out[k]);
        done_ += N;
        arrived_ += N;
        return true;
    }

    // A complete row `r` (a carry row if `slot` >= 0): undone now, with the
    // waiting row, or kept waiting for the next one.
    bool row(const uint8_t* r, int slot) {
        ++arrived_;
        if (waiting_) {
            const uint8_t* a = waiting_;
            waiting_ = nullptr;
            waitingSlot_ = -1;
            const uint64_t y = done_;
            uint8_t* outA = recon(y);
            uint8_t* outB = recon(y + 1);
            if (unfilterRowPair(a[0], a + 1, r[0], r + 1, prev_, outA, outB, rowLength_, bpp_)) {
                finish(y, outA);
                finish(y + 1, outB);
                done_ += 2;
                countPath(Path::PairedRows, 2);
                return true;
            }
            if (!single(a)) return false;
        }
        // Average and Paeth rows wait for the next row, if there is one and
        // this row has one above it.
        if ((r[0] == 3 || r[0] == 4) && prev_ && rowLength_ > 0 && arrived_ < g_.height) {
            waiting_ = r;
            waitingSlot_ = slot;
            countPath(Path::WaitingRows);
            return true;
        }
        return single(r);
    }

    const PngRowGeometry g_;
    const size_t rowLength_, stride_, outRow_;
    const int bpp_;
    uint8_t* const pixels_;
    uint8_t* const carry_[2];
    uint8_t* const ring_;
    const size_t ringPitch_;
    const bool eight_;

    uint64_t arrived_ = 0;  // complete rows seen
    uint64_t done_ = 0;     // rows undone
    const uint8_t* prev_ = nullptr;
    const uint8_t* waiting_ = nullptr;  // a complete row not yet undone (row done_)
    int waitingSlot_ = -1;              // its carry row, or -1 while it lies in the piece
    size_t partial_ = 0;                // bytes of the next row in carry_[partialSlot_]
    int partialSlot_ = 0;
    bool bad_ = false;
    int badFilter_ = 0;
    uint64_t badRow_ = 0;
};

}  // namespace

PngRowOutcome decodePngRows(const PngRowGeometry& geometry, InflatedSource& source, uint8_t* pixels, uint8_t* scratch) {
    if (!pixels) {
        const uint64_t expected = geometry.expected();
        return measureStream(source, expected > uint64_t{INT64_MAX} ? -1 : static_cast<int64_t>(expected));
    }
    RowDecoder decoder(geometry, pixels, scratch);
    return decoder.run(source);
}

PngRowOutcome measureStream(InflatedSource& source, int64_t expected) {
    return pullAll(
        source, [](const uint8_t*, size_t, uint64_t) {},
        [&](uint64_t total) -> PngRowOutcome {
            if (expected >= 0 && total == static_cast<uint64_t>(expected)) return {PngRowOutcome::Kind::Done, 0, 0};
            return {PngRowOutcome::Kind::WrongLength, 0, 0};
        });
}

}  // namespace mv
