// The Python objects the module makes once and keeps for the life of the
// process: interned strings, ints and bytes. Each is declared beside the code
// that uses it (`inline Constant kName = Constant::text("...");` in a header,
// or a plain definition in a source file) and enlists itself; makeConstants()
// makes them all during initialisation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "py/ref.hpp"

namespace mv {

class Constant {
public:
    // An interned str.
    static Constant text(const char* text) noexcept { return Constant(Kind::Text, text, 0, 0); }
    static Constant integer(unsigned long value) noexcept { return Constant(Kind::Integer, nullptr, 0, value); }
    // A bytes object holding the characters of the literal `data`.
    template <size_t N>
    static Constant bytes(const char (&data)[N]) noexcept {
        return Constant(Kind::Bytes, data, static_cast<Py_ssize_t>(N - 1), 0);
    }

    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;
    ~Constant() = default;

    // The object (borrowed); nullptr until makeConstants() made it. A
    // Constant stands wherever an object is expected.
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

private:
    enum class Kind { Text, Integer, Bytes };
    Constant(Kind kind, const char* data, Py_ssize_t size, unsigned long value) noexcept
        : kind_(kind), data_(data), size_(size), value_(value), next_(first_) {
        first_ = this;
    }
    bool make();
    friend bool makeConstants();

    // Every Constant, linked at static initialisation (the head is constant-
    // initialised, so the order of the source files does not matter).
    static inline Constant* first_ = nullptr;
    const Kind kind_;
    const char* const data_;
    const Py_ssize_t size_;
    const unsigned long value_;
    Constant* const next_;
    PyObject* object_ = nullptr;
};

// Makes every Constant still missing, and the ints 0 to 255 (so that a
// retried initialisation leaks nothing). False with the error set.
bool makeConstants();

// The ints 0 to 255, for pixel values and small header fields (`value` in
// that range).
extern PyObject* smallInts[256];
inline PyObject* smallInt(int value) { return smallInts[value]; }

// b"", for reads that found nothing and the join of a list of bytes.
inline Constant kEmptyBytes = Constant::bytes("");

}  // namespace mv
