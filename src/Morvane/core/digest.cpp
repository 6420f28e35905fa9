// SHA-256 (FIPS 180-4), one 64-byte block at a time, and URL-safe base64.
#include "core/digest.hpp"

#include <cstring>

namespace mv {

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// The four mixing functions of FIPS 180-4, each a line of its own: the
// coverage build counts calls per line, and a rotation of its own would be
// counted six times a round.
constexpr uint32_t bigSigma0(uint32_t x) { return (x >> 2 | x << 30) ^ (x >> 13 | x << 19) ^ (x >> 22 | x << 10); }
constexpr uint32_t bigSigma1(uint32_t x) { return (x >> 6 | x << 26) ^ (x >> 11 | x << 21) ^ (x >> 25 | x << 7); }
constexpr uint32_t smallSigma0(uint32_t x) { return (x >> 7 | x << 25) ^ (x >> 18 | x << 14) ^ (x >> 3); }
constexpr uint32_t smallSigma1(uint32_t x) { return (x >> 17 | x << 15) ^ (x >> 19 | x << 13) ^ (x >> 10); }

}  // namespace

Sha256::Sha256() noexcept
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::compress(const uint8_t* block) noexcept {
    uint32_t w[64];
    for (size_t i = 0; i < 16; ++i, block += 4)
        w[i] = uint32_t{block[0]} << 24 | uint32_t{block[1]} << 16 | uint32_t{block[2]} << 8 | uint32_t{block[3]};
    for (int i = 16; i < 64; ++i) w[i] = w[i - 16] + smallSigma0(w[i - 15]) + w[i - 7] + smallSigma1(w[i - 2]);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = h + bigSigma1(e) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const uint32_t t2 = bigSigma0(a) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void Sha256::update(const uint8_t* data, size_t size) noexcept {
    total_ += size;
    if (filled_ > 0) {
        const size_t take = size < sizeof block_ - filled_ ? size : sizeof block_ - filled_;
        std::memcpy(block_ + filled_, data, take);
        filled_ += take;
        data += take;
        size -= take;
        if (filled_ < sizeof block_) return;
        compress(block_);
        filled_ = 0;
    }
    for (; size >= sizeof block_; data += sizeof block_, size -= sizeof block_) compress(data);
    std::memcpy(block_, data, size);
    filled_ = size;
}

void Sha256::finish(uint8_t (&digest)[kDigestSize]) noexcept {
    // The message, a 1 bit, zeros, and its length in bits in the last 8
    // bytes of the last block.
    const uint64_t bits = total_ * 8;
    block_[filled_++] = 0x80;
    if (filled_ > sizeof block_ - 8) {
        std::memset(block_ + filled_, 0, sizeof block_ - filled_);
        compress(block_);
        filled_ = 0;
    }
    std::memset(block_ + filled_, 0, sizeof block_ - 8 - filled_);
    for (int i = 0; i < 8; ++i) block_[sizeof block_ - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    compress(block_);
    for (size_t i = 0; i < kDigestSize; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
}

void base64Url(const uint8_t* data, size_t size, char* out) noexcept {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (size_t i = 0; i < size; i += 3) {
        const size_t left = size - i;
        const uint32_t group = uint32_t{data[i]} << 16 | (left > 1 ? uint32_t{data[i + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t{data[i + 2]} : 0);
        const size_t chars = left > 2 ? 4 : left + 1;
        for (size_t k = 0; k < chars; ++k) *out++ = kAlphabet[(group >> (18 - 6 * k)) & 63];
    }
}

}  // namespace mv
