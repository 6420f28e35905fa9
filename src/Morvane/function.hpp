// The module's one function-object type, and the argument binder every
// Python-visible function and the constructor go through.
#pragma once

#include "host.hpp"

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
    const char* name;      // the short name used in argument messages
    int nparams;           // not counting self or cls
    Param params[kMaxParams];
};

struct FunctionSpec {
    const char* qualname;
    Kind kind;
    Signature sig;
    const char* returnAnnotation;  // nullptr: not annotated
    Impl impl;
};

// Binds positional and keyword arguments (vectorcall layout, self already
// removed) to the signature's parameters, then applies the exact-type tests
// and the 32-bit conversions. Returns false with the TypeError (or the
// conversion's error) set.
bool bindArguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundArgs& out);
// The same for a call made with an argument tuple and a keyword dict.
bool bindArgumentsDict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// Readies the function type (idempotent).
bool readyFunctionType();
// Makes a function object for `spec` (which must outlive it).
PyObject* newFunction(const FunctionSpec& spec);

}  // namespace mv
