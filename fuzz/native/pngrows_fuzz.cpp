// libFuzzer harness for the PNG row core (src/Morvane/pngrows.cpp), without
// Python: the input chooses a geometry, the cuts of the stream into pieces,
// a piece at which the source fails (or none) and the inflated stream
// itself; the core's outcome and pixels must be those of a plain one-shot
// decode (length first, then the rows top to bottom). Each piece lives in
// its own exact-size allocation, freed when the next one is asked for.
//
//   tools/fuzz.sh native [LIBFUZZER ARGS...]   # builds it with clang and runs it
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kernels.hpp"
#include "pngrows.hpp"

using Bytes = std::vector<uint8_t>;
using Kind = mv::PngRowOutcome::Kind;

namespace {

class Source final : public mv::InflatedSource {
public:
    Source(const Bytes& stream, const Bytes& cuts, long failAt) : stream_(stream), cuts_(cuts), failAt_(failAt) {}
    Status next(const uint8_t** data, size_t* size) override {
        piece_.reset();
        if (calls_++ == failAt_) return Status::Failed;
        if (pos_ == stream_.size()) return Status::End;
        size_t n = cuts_.empty() ? stream_.size() : 1 + cuts_[index_++ % cuts_.size()] * (1 + cuts_[0] % 61);
        if (n > stream_.size() - pos_) n = stream_.size() - pos_;
        piece_.reset(new uint8_t[n]);
        std::memcpy(piece_.get(), stream_.data() + pos_, n);
        pos_ += n;
        *data = piece_.get();
        *size = n;
        return Status::Piece;
    }
    long calls() const { return calls_; }

private:
    const Bytes& stream_;
    const Bytes& cuts_;
    long failAt_;
    size_t pos_ = 0, index_ = 0;
    long calls_ = 0;
    std::unique_ptr<uint8_t[]> piece_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const uint32_t bpp = data[0] & 1 ? 4 : 3;
    const uint32_t width = data[1] & 0x80 ? (data[1] & 0x7F) * 37u : data[1] % 48u;
    const uint32_t height = data[2] % 24u;
    const long failAt = data[3] < 32 ? data[3] : -1;
    const bool validFilters = data[4] & 1;
    const size_t cutCount = data[5] % 8;
    data += 6;
    size -= 6;
    Bytes cuts(data, data + (cutCount < size ? cutCount : size));
    data += cuts.size();
    size -= cuts.size();
    const mv::PngRowGeometry g{width, height, bpp};
    Bytes stream(data, data + size);
    if (validFilters)
        for (size_t at = 0; at < stream.size(); at += g.stride()) stream[at] = stream[at] % 5;

    // The one-shot outcome.
    Kind want = stream.size() == g.expected() ? Kind::Done : Kind::WrongLength;
    int wantFilter = 0;
    uint64_t wantRow = 0;
    Bytes wantPixels(g.pixelBytes());
    if (want == Kind::Done) {
        Bytes prev, recon(g.rowLength());
        for (uint64_t y = 0; y < height && want == Kind::Done; ++y) {
            const uint8_t* r = stream.data() + y * g.stride();
            if (!mv::unfilterRowScalar(r[0], r + 1, prev.empty() ? nullptr : prev.data(), recon.data(),
                                       g.rowLength(), static_cast<int>(bpp))) {
                want = Kind::BadFilter;
                wantFilter = r[0];
                wantRow = y;
                break;
            }
            for (uint32_t x = 0; x < width; ++x) std::memcpy(&wantPixels[(y * width + x) * 3], &recon[x * bpp], 3);
            prev = recon;
        }
    }

    Bytes pixels(g.pixelBytes(), 0xA5);
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[g.scratchBytes()]);
    Source source(stream, cuts, failAt);
    const mv::PngRowOutcome got = mv::decodePngRows(g, source, pixels.data(), scratch.get());
    if (failAt >= 0 && failAt < source.calls()) {
        if (got.kind != Kind::SourceFailed) std::abort();
        return 0;
    }
    if (got.kind != want) std::abort();
    if (want == Kind::BadFilter && (got.filterByte != wantFilter || got.row != wantRow)) std::abort();
    if (want == Kind::Done && pixels != wantPixels) std::abort();
    return 0;
}
