// libFuzzer harness for the pixel kernels (src/Morvane/core/kernels.cpp),
// without Python: the input chooses the bytes per pixel, the filter bytes of
// two rows, of four and of eight (a bad one included), whether they have a row above, and the rows
// themselves; every fast kernel must give what its plain twin gives, to the
// byte, and a kernel that declines must write nothing. Each row lives in its
// own exact-size allocation, so that the sanitizers see any read past it.
//
//   tools/fuzz.sh native kernels [LIBFUZZER ARGS...]
//
// sources: core/kernels.cpp
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/kernels.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

void require(bool ok) {
    if (!ok) std::abort();
}

// Undoes one row with the plain kernel; `recon` keeps its sentinel bytes
// where the kernel declines.
bool plainRow(int filter, const Bytes& row, const Bytes* prev, Bytes& recon, int bpp) {
    return mv::unfilterRowScalar(filter, row.data(), prev ? prev->data() : nullptr, recon.data(), row.size(), bpp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int bpp = (data[0] & 1) ? 4 : 3;
    const bool withPrev = (data[0] & 2) != 0;
    const int filterA = data[1] % 6, filterB = data[2] % 6;  // 5: not a filter
    const int filterC = (data[0] >> 2) % 6, filterD = (data[0] >> 5) % 6;
    const int filterE = data[1] / 6 % 6, filterF = data[1] / 36, filterG = data[2] / 6 % 6, filterH = data[2] / 36;
    data += 3;
    size -= 3;

    // Three rows of the same length (a whole number of pixels): the row
    // above, and the two rows.
    const size_t length = size / 3 / static_cast<size_t>(bpp) * static_cast<size_t>(bpp);
    const Bytes prev(data, data + length), rowA(data + length, data + 2 * length),
        rowB(data + 2 * length, data + 3 * length);
    const Bytes* above = withPrev ? &prev : nullptr;

    // One row: fast against plain.
    Bytes fast(length, 0xA5), plain(length, 0xA5);
    const bool fastOk =
        mv::unfilterRow(filterA, rowA.data(), above ? above->data() : nullptr, fast.data(), length, bpp);
    require(fastOk == plainRow(filterA, rowA, above, plain, bpp));
    require(fast == plain);

    // Two rows at once: either both as the plain kernel undoes them one after
    // the other, or declined with nothing written.
    Bytes pairA(length, 0x5A), pairB(length, 0x5A);
    if (mv::unfilterRowPair(filterA, rowA.data(), filterB, rowB.data(), above ? above->data() : nullptr, pairA.data(),
                            pairB.data(), length, bpp)) {
        Bytes plainA(length), plainB(length);
        require(plainRow(filterA, rowA, above, plainA, bpp) && plainRow(filterB, rowB, &plainA, plainB, bpp));
        require(pairA == plainA && pairB == plainB);
    } else {
        require(pairA == Bytes(length, 0x5A) && pairB == Bytes(length, 0x5A));
    }

    // Four rows at once: the two rows, then the same two again as the third
    // and fourth (with two more filter bytes), each
    // undone above the next; or declined with nothing written.
    const int filters[4] = {filterA, filterB, filterC, filterD};
    const Bytes rowC = rowA, rowD = rowB;
    const uint8_t* const rows[4] = {rowA.data(), rowB.data(), rowC.data(), rowD.data()};
    std::vector<Bytes> quad(4, Bytes(length, 0x5A));
    uint8_t* const out[4] = {quad[0].data(), quad[1].data(), quad[2].data(), quad[3].data()};
    if (mv::unfilterRowQuad(filters, rows, above ? above->data() : nullptr, out, length, bpp)) {
        const Bytes* up = above;
        const Bytes* in[4] = {&rowA, &rowB, &rowC, &rowD};
        for (int k = 0; k < 4; ++k) {
            Bytes plain(length);
            require(plainRow(filters[k], *in[k], up, plain, bpp) && quad[k] == plain);
            up = &quad[k];
        }
    } else {
        for (const Bytes& row : quad) require(row == Bytes(length, 0x5A));
    }

    // Eight rows at once: the four again, with four more filter bytes.
    const int eight[8] = {filterA, filterB, filterC, filterD, filterE, filterF, filterG, filterH};
    const uint8_t* const rows8[8] = {rowA.data(), rowB.data(), rowC.data(), rowD.data(),
                                     rowA.data(), rowB.data(), rowC.data(), rowD.data()};
    std::vector<Bytes> oct(8, Bytes(length, 0x5A));
    uint8_t* out8[8];
    for (int k = 0; k < 8; ++k) out8[k] = oct[k].data();
    if (mv::unfilterRowOct(eight, rows8, above ? above->data() : nullptr, out8, length, bpp)) {
        const Bytes* up = above;
        for (int k = 0; k < 8; ++k) {
            Bytes plain(length);
            require(plainRow(eight[k], k % 2 ? rowB : rowA, up, plain, bpp) && oct[k] == plain);
            up = &oct[k];
        }
    } else {
        for (const Bytes& row : oct) require(row == Bytes(length, 0x5A));
    }

    // The red/blue swap and the alpha drop over the whole input.
    const Bytes all(data, data + size);
    Bytes swapped(size / 3 * 3), swappedPlain(size / 3 * 3);
    mv::swapRedBlue(all.data(), swapped.data(), size / 3);
    mv::swapRedBlueScalar(all.data(), swappedPlain.data(), size / 3);
    require(swapped == swappedPlain);
    Bytes dropped(size / 4 * 3), droppedPlain(size / 4 * 3);
    mv::dropAlpha(all.data(), dropped.data(), size / 4);
    mv::dropAlphaScalar(all.data(), droppedPlain.data(), size / 4);
    require(dropped == droppedPlain);
    return 0;
}
