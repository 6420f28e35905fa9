// zlib-ng's own inflater, called straight: the functions of the library
// inside zlib-ng's module, found by their exported names in the module's
// shared object once the module proved the genuine one (png/fastzlib.hpp).
// Plain C: no Python object is touched through them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv {

// zlib-ng's stream record (zng_stream), as its 2.x series lays it out.
struct ZngStream {
    const uint8_t* nextIn;
    uint32_t availIn;
    size_t totalIn;
    uint8_t* nextOut;
    uint32_t availOut;
    size_t totalOut;
    const char* msg;
    void* state;
    void* (*zalloc)(void*, unsigned, unsigned);
    void (*zfree)(void*, void*);
    void* opaque;
    int dataType;
    uint32_t adler;
    unsigned long reserved;
};

struct DirectZlib {
    int32_t (*inflateInit2)(ZngStream*, int32_t windowBits);
    int32_t (*inflate)(ZngStream*, int32_t flush);
    int32_t (*inflateEnd)(ZngStream*);
};

// zlib's return codes and the flush mode the host's decompressobj inflates
// with.
constexpr int32_t kZOk = 0, kZStreamEnd = 1, kZBufError = -5, kZSyncFlush = 2, kZWindowBits = 15;

}  // namespace mv
