// Owned references, buffer views and calls: the ownership rules of the
// interpreter's C interface, kept by the compiler. Every part of the module
// that touches Python objects builds on this file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace mv {

// An owned (strong) reference, released when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* owned = nullptr) noexcept { *this = Ref(owned); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A one-dimensional byte view of an object supporting the buffer protocol,
// released when it goes out of scope.
class ByteView {
public:
    ByteView() noexcept { view_.obj = nullptr; }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    // Returns false with the host's exception set.
    bool acquire(PyObject* obj, bool writable) {
        return PyObject_GetBuffer(obj, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) == 0;
    }
    unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_;
};

// Calls `method` of `obj` with the given arguments (objects, or anything that
// converts to one, such as a Constant); a new reference or nullptr.
template <class... Args>
inline PyObject* callMethod(PyObject* obj, PyObject* method, const Args&... args) {
    PyObject* argv[] = {obj, args...};
    return PyObject_VectorcallMethod(method, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Calls `fn` with the given arguments; a new reference or nullptr.
template <class... Args>
inline PyObject* call(PyObject* fn, const Args&... args) {
    PyObject* argv[] = {nullptr, args...};
    return PyObject_Vectorcall(fn, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace mv
