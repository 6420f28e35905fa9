// Coverage feedback from a gcc-instrumented module to libFuzzer (atheris).
//
// gcc's -fsanitize-coverage=trace-pc calls __sanitizer_cov_trace_pc() at the
// start of every basic block; current libFuzzer no longer accepts that hook
// (it only knows clang's inline 8-bit counters). This shim, linked into the
// fuzzing build of the module only (CMake option MORVANE_FUZZ), turns the
// calls into AFL-style edge counts in an array of 8-bit counters that it
// registers with libFuzzer through the same interface clang's instrumentation
// uses. gcc's trace-cmp hooks (__sanitizer_cov_trace_cmp*) go straight to
// libFuzzer, which defines them.
//
// It must not be instrumented itself: CMake builds it as a separate static
// library without the coverage flags.
#include <cstddef>
#include <cstdint>

namespace {

constexpr size_t kCounters = size_t{1} << 16;  // edges hashed into 64 Ki slots
alignas(64) uint8_t gCounters[kCounters];
// libFuzzer's PC table: one (pc, flags) pair per counter. The "pcs" are
// made-up, distinct, non-zero values; they only have to line up with the
// counters.
uintptr_t gPcs[2 * kCounters];
// Not thread_local: the module runs under the interpreter lock, and a TLS
// access from a shared object goes through __tls_get_addr, which ASan
// intercepts -- far too slow for a hook that runs in every basic block.
uintptr_t gPrevious;

}  // namespace

extern "C" {

// Provided by libFuzzer (atheris's asan_with_fuzzer.so); weak so that the
// module still loads, without feedback, when no fuzzer is present.
__attribute__((weak)) void __sanitizer_cov_8bit_counters_init(uint8_t* start, uint8_t* stop);
__attribute__((weak)) void __sanitizer_cov_pcs_init(const uintptr_t* start, const uintptr_t* stop);

void __sanitizer_cov_trace_pc() {
    uintptr_t pc = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    // Mix the address bits so nearby blocks spread over the table.
    pc ^= pc >> 17;
    pc *= UINT64_C(0x9E3779B97F4A7C15);
    const uintptr_t current = (pc >> 40) & (kCounters - 1);
    uint8_t& c = gCounters[(current ^ gPrevious) & (kCounters - 1)];
    if (c != 255) ++c;
    gPrevious = current >> 1;
}

// gcc emits these for floating-point comparisons; libFuzzer has no use for them.
void __sanitizer_cov_trace_cmpf(float, float) {}
void __sanitizer_cov_trace_cmpd(double, double) {}

}  // extern "C"

namespace {

__attribute__((constructor)) void registerCounters() {
    if (!__sanitizer_cov_8bit_counters_init) return;
    for (size_t i = 0; i < kCounters; ++i) {
        gPcs[2 * i] = 0x10000 + i;  // fake, distinct, non-zero
        gPcs[2 * i + 1] = 0;
    }
    __sanitizer_cov_8bit_counters_init(gCounters, gCounters + kCounters);
    if (__sanitizer_cov_pcs_init) __sanitizer_cov_pcs_init(gPcs, gPcs + 2 * kCounters);
}

}  // namespace
