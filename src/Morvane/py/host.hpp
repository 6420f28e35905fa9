// Small helpers over the interpreter's C interface, shared by every part of
// the module: owned references, buffer views, the 32-bit integer conversion,
// unpacking, module-namespace lookup and `with`-block handling of files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

#include "py/messages.hpp"

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

// The interpreter's own exception chaining: while `fn` runs, the pending
// exception is saved; if `fn` raises, the saved one becomes its context.
template <class Fn>
bool runKeepingError(Fn&& fn) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    bool ok = fn();
    if (ok) {
        PyErr_Restore(type, value, tb);
        return true;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    PyObject *type2, *value2, *tb2;
    PyErr_Fetch(&type2, &value2, &tb2);
    PyErr_NormalizeException(&type2, &value2, &tb2);
    PyException_SetContext(value2, value);  // steals value
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Restore(type2, value2, tb2);
    return false;
}

// A new bytearray of n bytes, not cleared: the caller writes every byte.
// (Built by resizing an empty one: the host's direct constructor mishandles
// a failed allocation.)
PyObject* newByteArray(Py_ssize_t n);
// A new bytearray holding a copy of the n bytes at `data`.
PyObject* copyToNewByteArray(const char* data, Py_ssize_t n);
// bytearray(obj): a new, independent buffer built as the host's bytearray
// constructor builds it.
PyObject* copyToByteArray(PyObject* obj);
// The writers' view of a pixel buffer: a bytearray (subclasses included)
// itself, read in place, anything else copied with bytearray(obj).
PyObject* asByteArray(PyObject* obj);

// The module's constants, in one place: interned names, struct formats,
// small ints and byte strings. initNames() makes them during initialisation
// (only those still missing, so a retried initialisation leaks nothing);
// they live as long as the process.
struct Names {
    // Module-level names looked up at each use.
    PyObject* struct_;
    PyObject* zlib;
    PyObject* BytesIO;
    PyObject* Path;
    PyObject* PNG_SIGNATURE;
    PyObject* _readChunk;
    PyObject* _makeChunk;
    PyObject* _writePng;
    PyObject* _writeBmp;
    PyObject* _streamToImage;
    PyObject* Union;
    // Attribute and method names.
    PyObject* read;
    PyObject* seek;
    PyObject* write;
    PyObject* pack;
    PyObject* unpack;
    PyObject* crc32;
    PyObject* compress;
    PyObject* decompress;
    PyObject* decompressobj;
    PyObject* unconsumed_tail;
    PyObject* eof;
    PyObject* join;
    PyObject* startswith;
    PyObject* enter;
    PyObject* exit;
    PyObject* getvalue;
    PyObject* tell;
    // File modes.
    PyObject* rb;
    PyObject* wb;
    // struct formats.
    PyObject* fmtU32BE;       // ">I"
    PyObject* fmtIhdr;        // ">IIBBBBB"
    PyObject* fmtBmpFile;     // "<IHHI"
    PyObject* fmtU32LE;       // "<I"
    PyObject* fmtBmpDibRead;  // "<iiHHIIiiII"
    PyObject* fmtBmpDib;      // "<IIIHHIIIIII"
    // Ints.
    PyObject* int0;
    PyObject* int1;
    PyObject* int2;
    PyObject* int3;
    PyObject* int4;
    PyObject* int8;
    PyObject* int14;
    PyObject* int24;
    PyObject* int36;
    PyObject* int40;
    PyObject* int54;
    PyObject* int255;
    PyObject* int2835;
    PyObject* mask32;       // 0xFFFFFFFF
    PyObject* outputPiece;  // what a PNG inflater gives at most per call (bytes)
    // Byte strings.
    PyObject* emptyBytes;  // b""
    PyObject* bytesBM;     // b"BM"
    PyObject* typeIHDR;
    PyObject* typeIDAT;
    PyObject* typeIEND;
    // The ints 0 to 255, for pixel values.
    PyObject* byteValues[256];
    // The host's in-memory byte stream type, io.BytesIO; its `open` and the
    // type of the files that gives for writing.
    PyTypeObject* bytesIOType;
    PyObject* ioOpen;
    PyTypeObject* bufferedWriterType;
    // The host's zlib module as imported, and the functions it had then.
    PyObject* zlibModule;
    PyObject* zlibDecompress;
    PyObject* zlibDecompressobj;
    PyObject* zlibCrc32;
    PyObject* zlibError;
    // zlib-ng's zlib-compatible module, imported on first use (nullptr when
    // it cannot be).
    PyObject* zlibNg;
    bool zlibNgTried;
};
extern Names names;
bool initNames();
// Records the zlib module the module body imported.
bool recordZlib(PyObject* zlib);

// Whether `stream` is exactly an io.BytesIO whose methods nobody replaced:
// then reading it has no effect but moving its position, and a reader may
// take the bytes from its value directly.
bool isPlainBytesIO(PyObject* stream);

// Process-wide module record, filled by the exec step.
PyObject* recordedModule();
void setRecordedModule(PyObject* module);  // steals; nullptr forgets it
// The built-in `open`, taken from the builtins once during initialisation.
PyObject* builtinOpen();
void setBuiltinOpen(PyObject* fn);  // steals

// Looks `name` up in the module namespace, falling back to the builtins.
// Returns a new reference, or nullptr with NameError set.
PyObject* lookupGlobal(PyObject* name);

// The 32-bit integer conversion: an int (subclasses included) by its value,
// anything else through its __int__; OverflowError outside 32 bits.
bool toInt32(PyObject* value, int32_t* out);

// Unpacks `seq` into exactly `n` items (new references in `out`): a tuple or
// list by its length, anything else by iterating it (drawing at most n + 1
// items). Raises ValueError with the host's unpacking messages otherwise.
bool unpackExactly(PyObject* seq, Py_ssize_t n, PyObject** out);
// The unpacking messages, for callers that know the count themselves.
void raiseTooMany(Py_ssize_t expected);
void raiseNeedMore(Py_ssize_t found);

// `a op b` with the host's comparison, as a truth value; -1 on error.
int compareTruth(PyObject* a, PyObject* b, int op);

// `obj == constant` for a bytes constant: 1, 0, or -1 on error.
int equalsBytes(PyObject* obj, PyObject* constant);

// obj[i], as the host indexes; a new reference or nullptr.
PyObject* itemAt(PyObject* obj, Py_ssize_t i);

// Calls `method` of `obj` with the given arguments; a new reference or nullptr.
template <class... Args>
inline PyObject* callMethod(PyObject* obj, PyObject* method, Args... args) {
    PyObject* argv[] = {obj, args...};
    return PyObject_VectorcallMethod(method, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
template <class... Args>
inline PyObject* call(PyObject* fn, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return PyObject_Vectorcall(fn, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
// Calls attribute `method` of the module-level object named `global`.
template <class... Args>
inline PyObject* callGlobalMethod(PyObject* global, PyObject* method, Args... args) {
    Ref owner(lookupGlobal(global));
    if (!owner) return nullptr;
    return callMethod(owner.get(), method, args...);
}

// struct.<method>(format, args...) through the module namespace.
template <class... Args>
inline PyObject* structCall(PyObject* method, PyObject* format, Args... args) {
    return callGlobalMethod(names.struct_, method, format, args...);
}

// stream.read(n), and the length of what came back (len()).
PyObject* readCounted(PyObject* stream, PyObject* n, Py_ssize_t* length);

// output.write(data), its result ignored.
bool writeTo(PyObject* output, PyObject* data);

inline void raiseValue(const char* message) { PyErr_SetString(PyExc_ValueError, message); }

// A special method looked up on the type, as the `with` statement does;
// nullptr without an error when the type has none.
PyObject* lookupSpecial(PyObject* obj, PyObject* name);

// How a `with` block over a file ended.
enum class Block {
    Completed,   // the body ran to its end
    Suppressed,  // the body raised, and the manager's __exit__ swallowed it
    Failed,      // an exception is pending
};

// Runs `body(file)` inside a `with` block over `open(path, mode)` (the
// built-in taken at initialisation), as the statement does: __exit__ runs
// on every way out; when the body raised, a true result of __exit__
// suppresses the exception and the caller goes on after the block; an error
// from __exit__ itself is chained to the body's.
template <class Body>
Block withOpenFile(PyObject* path, PyObject* mode, Body&& body) {
    Ref manager(call(builtinOpen(), path, mode));
    if (!manager) return Block::Failed;
    Ref enterFn(lookupSpecial(manager.get(), names.enter));
    Ref exitFn;
    if (enterFn) exitFn.reset(lookupSpecial(manager.get(), names.exit));
    if (!exitFn || !enterFn) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, msg::kNotContextManager, Py_TYPE(manager.get())->tp_name);
        return Block::Failed;
    }
    Ref file(PyObject_CallNoArgs(enterFn.get()));
    if (!file) return Block::Failed;
    if (body(file.get())) {
        Ref r(call(exitFn.get(), Py_None, Py_None, Py_None));
        return r ? Block::Completed : Block::Failed;
    }
    // The body failed: let the manager see the error.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    PyErr_Restore(type, value, tb);
    int suppress = 0;
    const bool exited = runKeepingError([&] {
        Ref r(call(exitFn.get(), type, value, tb ? tb : Py_None));
        if (!r) return false;
        suppress = PyObject_IsTrue(r.get());
        return suppress >= 0;
    });
    if (!exited) return Block::Failed;
    if (!suppress) return Block::Failed;
    PyErr_Clear();
    return Block::Suppressed;
}

}  // namespace mv
