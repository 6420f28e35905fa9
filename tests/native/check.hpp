// A minimal harness for the native checks: CHECK records a failure with its
// context and goes on; main() returns the failure count (0: all passed).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace check {

inline long failures = 0;
inline long checks = 0;

inline void fail(const char* file, int line, const char* what, const std::string& context) {
    if (++failures <= 20) std::fprintf(stderr, "%s:%d: %s [%s]\n", file, line, what, context.c_str());
}

// Deterministic pseudo-random bytes (xorshift64*).
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed * 2654435761u + 1) {}
    uint64_t next() {
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return s_ * 2685821657736338717ull;
    }
    uint8_t byte() { return static_cast<uint8_t>(next() >> 56); }

private:
    uint64_t s_;
};

// Byte patterns that reach the corners of the filter arithmetic: the full
// range, a narrow range (Paeth ties), all 255 (Average's 9-bit sum) and
// values around the wrap-around.
inline void fill(std::vector<uint8_t>& v, int pattern, Rng& rng) {
    static const uint8_t aroundWrap[4] = {254, 255, 0, 1};
    for (uint8_t& b : v) {
        switch (pattern) {
            case 0: b = rng.byte(); break;
            case 1: b = static_cast<uint8_t>(rng.next() % 3); break;
            case 2: b = 255; break;
            default: b = aroundWrap[rng.next() % 4]; break;
        }
    }
}
constexpr int kPatterns = 4;

// A buffer's first byte, at a valid address even when it has none, as the
// module's empty buffers have: an empty vector's data() may be null, and a
// null row takes another way through the code than an empty one.
inline uint8_t* at(std::vector<uint8_t>& v) {
    static uint8_t none;
    return v.empty() ? &none : v.data();
}

inline std::string ctx(const char* fmt, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, a, b, c, d, e);
    return buf;
}

// Whether the kernels take their AVX2 paths: the processor has AVX2, and the
// build does not stand for one without it (or without vector code).
inline bool haveAvx2() {
#if defined(MV_FORCE_SSE2) || defined(MV_NO_AVX2) || defined(MV_FORCE_SCALAR) || \
    !(defined(__x86_64__) || defined(__i386__))
    return false;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#endif
}

inline int finish(const char* name) {
    std::printf("%s: %ld checks, %ld failures\n", name, checks, failures);
    return failures ? 1 : 0;
}

}  // namespace check

#define CHECK(cond, context)                                            \
    do {                                                                \
        ++check::checks;                                                \
        if (!(cond)) check::fail(__FILE__, __LINE__, #cond, (context)); \
    } while (0)
