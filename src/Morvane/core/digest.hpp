// SHA-256 and the text form an installed-files record gives a file's digest
// in (URL-safe base64 without padding): plain C++, no interpreter involved.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv {

class Sha256 {
public:
    static constexpr size_t kDigestSize = 32;

    Sha256() noexcept;
    void update(const uint8_t* data, size_t size) noexcept;
    // The digest of everything given so far; the object is spent after it.
    void finish(uint8_t (&digest)[kDigestSize]) noexcept;

private:
    void compress(const uint8_t* block) noexcept;

    uint32_t state_[8];
    uint8_t block_[64];
    size_t filled_ = 0;
    uint64_t total_ = 0;
};

// Writes `data` to `out` in URL-safe base64 ('-' and '_' for '+' and '/'),
// without the '=' padding: base64UrlSize(size) characters, no terminator.
constexpr size_t base64UrlSize(size_t size) { return (size * 4 + 2) / 3; }
void base64Url(const uint8_t* data, size_t size, char* out) noexcept;

}  // namespace mv
