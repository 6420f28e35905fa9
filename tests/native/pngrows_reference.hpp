// Shared by the native checks and the native fuzz harness of the PNG row
// core: a plain one-shot decode to compare with, and a source that hands out
// a stream in chosen pieces.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "core/kernels.hpp"
#include "core/pngrows.hpp"

namespace pngref {

using Bytes = std::vector<uint8_t>;
using Kind = mv::PngRowOutcome::Kind;

// What a one-shot decode makes of `stream`: the length test, then the rows
// top to bottom with the plain byte-by-byte filters.
struct Expected {
    Kind kind;
    int filterByte;
    uint64_t row;
    Bytes pixels;
};

inline Expected reference(const mv::PngRowGeometry& g, const Bytes& stream) {
    if (stream.size() != g.expected()) return {Kind::WrongLength, 0, 0, {}};
    const size_t rowLength = g.rowLength(), stride = g.stride();
    const int bpp = static_cast<int>(g.bytesPerPixel);
    Expected e{Kind::Done, 0, 0, {}};
    e.pixels.assign(g.pixelBytes(), 0);
    Bytes prev, recon(rowLength);
    for (uint64_t y = 0; y < g.height; ++y) {
        const uint8_t* r = stream.data() + y * stride;
        if (!mv::unfilterRowScalar(r[0], r + 1, prev.empty() ? nullptr : prev.data(), recon.data(), rowLength, bpp))
            return {Kind::BadFilter, r[0], y, {}};
        for (uint32_t x = 0; x < g.width; ++x)
            std::memcpy(&e.pixels[(y * g.width + x) * 3], &recon[x * g.bytesPerPixel], 3);
        prev = recon;
    }
    return e;
}

// Hands out `stream` in the pieces `sizes` says (cyclically; none: the whole
// stream at once), each in a fresh allocation of exactly its size, freed
// when the next one is asked for (with `keepLast`, when the one after it
// is); fails instead of giving piece `failAt`. `askedAfterEnd` counts calls
// made after it ended or failed.
class PieceSource final : public mv::InflatedSource {
public:
    PieceSource(const Bytes& stream, std::vector<size_t> sizes, long failAt = -1, bool keepLast = false)
        : stream_(stream), sizes_(std::move(sizes)), failAt_(failAt), keepLast_(keepLast) {}

    Status next(const uint8_t** data, size_t* size) override {
        last_.reset();
        if (keepLast_) last_ = std::move(piece_);
        piece_.reset();
        if (ended_) {
            ++askedAfterEnd;
            return Status::Failed;
        }
        if (calls_++ == failAt_) {
            ended_ = true;
            return Status::Failed;
        }
        if (pos_ == stream_.size()) {
            ended_ = true;
            return Status::End;
        }
        size_t n = sizes_.empty() ? stream_.size() : sizes_[index_++ % sizes_.size()];
        if (n == 0) n = 1;
        if (n > stream_.size() - pos_) n = stream_.size() - pos_;
        piece_.reset(new uint8_t[n]);
        std::memcpy(piece_.get(), stream_.data() + pos_, n);
        pos_ += n;
        *data = piece_.get();
        *size = n;
        return Status::Piece;
    }

    long calls() const { return calls_; }
    long askedAfterEnd = 0;

private:
    const Bytes& stream_;
    std::vector<size_t> sizes_;
    long failAt_;
    bool keepLast_;
    size_t pos_ = 0, index_ = 0;
    long calls_ = 0;
    bool ended_ = false;
    std::unique_ptr<uint8_t[]> piece_, last_;
};

}  // namespace pngref
