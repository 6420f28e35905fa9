// SHA-256 and URL-safe base64 against published answers: FIPS 180-4's
// examples (one block, two blocks, a million bytes), the empty message, and
// every length around the padding's block boundary given in uneven pieces,
// which must digest as the same bytes given whole.
//
// sources: core/digest.cpp
#include <algorithm>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/digest.hpp"

using check::ctx;

namespace {

std::string hex(const uint8_t* d, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[d[i] >> 4];
        out += digits[d[i] & 15];
    }
    return out;
}

std::string digestOf(const std::vector<uint8_t>& data, size_t piece) {
    mv::Sha256 sha;
    for (size_t i = 0; i < data.size(); i += piece) sha.update(data.data() + i, std::min(piece, data.size() - i));
    uint8_t d[mv::Sha256::kDigestSize];
    sha.finish(d);
    return hex(d, sizeof d);
}

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

std::string base64(const std::string& s) {
    std::string out(mv::base64UrlSize(s.size()), '?');
    mv::base64Url(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out.data());
    return out;
}

}  // namespace

int main() {
    CHECK(digestOf({}, 1) == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "");
    CHECK(digestOf(bytesOf("abc"), 1) == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "");
    const std::vector<uint8_t> twoBlocks = bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq");
    CHECK(digestOf(twoBlocks, 64) == "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", "");
    const std::vector<uint8_t> million(1000000, 'a');
    CHECK(digestOf(million, 4096) == "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", "");
    check::Rng rng(7);
    std::vector<uint8_t> data(200);
    for (auto& b : data) b = rng.byte();
    for (size_t n = 0; n <= data.size(); ++n) {
        const std::vector<uint8_t> part(data.begin(), data.begin() + static_cast<long>(n));
        const std::string whole = digestOf(part, n ? n : 1);
        for (size_t piece : {1, 7, 63, 64, 65})
            CHECK(digestOf(part, piece) == whole,
                  ctx("n=%ld piece=%ld", static_cast<long>(n), static_cast<long>(piece)));
    }
    // RFC 4648's examples, in the URL-safe alphabet and without padding.
    CHECK(base64("") == "", "");
    CHECK(base64("f") == "Zg", "");
    CHECK(base64("fo") == "Zm8", "");
    CHECK(base64("foo") == "Zm9v", "");
    CHECK(base64("foobar") == "Zm9vYmFy", "");
    CHECK(base64("\xfb\xff\xbf") == "-_-_", "");
    return check::finish("digest");
}
