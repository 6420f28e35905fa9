// The module's one function-object type, and the argument binder every
// Python-visible function and the constructor go through.
#pragma once

#include "py/host.hpp"

namespace mv {

constexpr int kMaxParams = 4;

enum class Kind {
    Function,      // a module function
    Method,        // bound to a SimpleImage instance (args[0] is self)
    ClassMethod,   // bound to a class (args[0] is cls, any object)
    StaticMethod,  // no implicit first argument
};

struct Param {
    const char* name;
    const char* annotation;   // nullptr: not annotated
    PyTypeObject* exactType;  // nullptr: any object
    bool int32;               // takes the 32-bit integer conversion
};

// The arguments as bound: `self` (or cls) for methods, the objects in
// parameter order (borrowed), and the 32-bit values of integer parameters.
struct BoundArgs {
    PyObject* self;
    PyObject* obj[kMaxParams];
    int32_t i32[kMaxParams];
};

using Impl = PyObject* (*)(const BoundArgs& args);

struct Signature {
    const char* name;  // the short name used in argument messages
    int nparams;       // not counting self or cls
    Param params[kMaxParams];
};

struct FunctionDef {
    const char* qualname;
    Kind kind;
    Signature sig;
    const char* returnAnnotation;  // nullptr: not annotated
    Impl impl;
    // Optional vectorcall entry point for the hottest calls: it handles only
    // calls that bind trivially and hands every other call to
    // genericVectorcall. Functions without one are called through tp_call.
    vectorcallfunc shortcut = nullptr;
};

// The entry point of every function object: binding, then the body.
PyObject* genericVectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Pieces of bindArguments below, out of line.
bool bindKeywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);
bool raiseParamType(const Signature& sig, const BoundArgs& out);
bool convertInt32(const Signature& sig, BoundArgs& out);

// Binds positional and keyword arguments (vectorcall layout, self already
// removed) to the signature's parameters, then applies the exact-type tests
// and the 32-bit conversions. Returns false with the TypeError (or the
// conversion's error) set. A call passing exactly the parameters by
// position takes the short way.
inline bool bindArguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          BoundArgs& out) {
    if (nargs == sig.nparams && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out.obj[i] = args[i];
    } else if (!bindKeywords(sig, args, nargs, kwnames, out)) {
        return false;
    }
    bool anyInt32 = false;
    for (int i = 0; i < sig.nparams; ++i) {
        const Param& p = sig.params[i];
        if (p.exactType && Py_TYPE(out.obj[i]) != p.exactType) return raiseParamType(sig, out);
        anyInt32 |= p.int32;
    }
    return !anyInt32 || convertInt32(sig, out);
}
// The same for a call made with an argument tuple and a keyword dict.
bool bindArgumentsDict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// Readies the function type (idempotent).
bool readyFunctionType();
// Makes a function object for `def` (which must outlive it).
PyObject* newFunction(const FunctionDef& def);

}  // namespace mv
