// The module's one function-object type, and the binder every Python-visible
// function and the constructor go through. An implementation is a plain C++
// function whose parameters are the Python ones, by name and type:
//
//     PyObject* writePng(PyObject* path, int32_t width, int32_t height, PyObject* pixels);
//     const FunctionDef kWritePng = function<writePng>(
//         "_writePng", {param("path"), param("width"), param("height"), param("pixels")}, "None");
//
// A PyObject* parameter takes the argument as given (borrowed), an int32_t
// one takes it through the 32-bit integer conversion. A method's first
// parameter is the instance (or, for a class method, the class).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "py/host.hpp"

namespace mv {

constexpr int kMaxParams = 4;

enum class Kind {
    Function,      // a module function
    Method,        // bound to an instance of its owner class (the first argument)
    ClassMethod,   // bound to a class (the first argument, any object)
    StaticMethod,  // no implicit first argument
};

struct Param {
    const char* name;
    const char* annotation;   // nullptr: not annotated
    PyTypeObject* exactType;  // nullptr: any object
    bool int32;               // takes the 32-bit integer conversion (from the implementation's type)
};

// A parameter that takes any object.
constexpr Param param(const char* name, const char* annotation = nullptr) { return {name, annotation, nullptr, false}; }
// A parameter that takes only objects of exactly `type` (no subclass).
constexpr Param exact(const char* name, PyTypeObject* type, const char* annotation) {
    return {name, annotation, type, false};
}

// The arguments as bound: `self` (or cls) for methods, the objects in
// parameter order (borrowed), and the 32-bit values of integer parameters.
struct BoundArgs {
    PyObject* self;
    PyObject* obj[kMaxParams];
    int32_t i32[kMaxParams];
};

struct Signature {
    const char* name;  // the short name used in argument messages
    int nparams;       // not counting self or cls
    Param params[kMaxParams];
};

using Impl = PyObject* (*)(const BoundArgs& args);

struct FunctionDef {
    const char* qualname;
    Kind kind;
    PyTypeObject* owner;  // Kind::Method: the class whose instances it applies to
    Signature sig;
    const char* returnAnnotation;  // nullptr: not annotated
    Impl impl;
    // Optional vectorcall entry point for the hottest calls: it handles only
    // calls that bind trivially and hands every other call to
    // genericVectorcall. Functions without one are called through tp_call.
    vectorcallfunc shortcut;
};

// ---------------------------------------------------------------------------
// From an implementation's C++ parameters to the binder's tables

namespace binding {

template <class T>
struct Argument;
template <>
struct Argument<PyObject*> {
    static constexpr bool int32 = false;
    static PyObject* from(const BoundArgs& args, size_t i) { return args.obj[i]; }
};
template <>
struct Argument<int32_t> {
    static constexpr bool int32 = true;
    static int32_t from(const BoundArgs& args, size_t i) { return args.i32[i]; }
};

// The instance or class a method is bound to, as its first parameter's type.
template <class Self>
Self selfAs(PyObject* self) {
    return reinterpret_cast<Self>(self);
}

// The parameters an implementation takes after self (if it takes one), and
// the call of it with the bound arguments.
template <class... Ps>
struct ParameterList {
    static constexpr size_t count = sizeof...(Ps);
    static constexpr bool int32[] = {Argument<Ps>::int32..., false};  // (one past the end: never empty)
    // fn(first..., the bound arguments in parameter order)
    template <class Fn, class... First>
    static auto call(Fn fn, const BoundArgs& args, First... first) {
        return callWith(fn, args, std::index_sequence_for<Ps...>{}, first...);
    }
    template <class Fn, size_t... I, class... First>
    static auto callWith(Fn fn, const BoundArgs& args, std::index_sequence<I...>, First... first) {
        return fn(first..., Argument<Ps>::from(args, I)...);
    }
};

// The parameters of `Fn` (after self, for a method) and how it is called.
template <auto Fn, bool WithSelf>
struct Parameters;
template <class R, class... Ps, R (*Fn)(Ps...)>
struct Parameters<Fn, false> : ParameterList<Ps...> {
    static R invoke(const BoundArgs& args) { return ParameterList<Ps...>::call(Fn, args); }
};
template <class R, class Self, class... Ps, R (*Fn)(Self, Ps...)>
struct Parameters<Fn, true> : ParameterList<Ps...> {
    static R invoke(const BoundArgs& args) { return ParameterList<Ps...>::call(Fn, args, selfAs<Self>(args.self)); }
};

// The signature of `Fn`, its parameters named by `params` in order.
template <auto Fn, bool WithSelf, size_t N>
Signature signatureOf(const char* name, const Param (&params)[N]) {
    using P = Parameters<Fn, WithSelf>;
    static_assert(N == P::count, "one name for each parameter of the implementation");
    static_assert(N <= kMaxParams, "too many parameters");
    Signature sig{name, static_cast<int>(N), {}};
    for (size_t i = 0; i < N; ++i) {
        sig.params[i] = params[i];
        sig.params[i].int32 = P::int32[i];
    }
    return sig;
}
template <auto Fn, bool WithSelf>
Signature signatureOf(const char* name) {
    static_assert(Parameters<Fn, WithSelf>::count == 0, "one name for each parameter of the implementation");
    return Signature{name, 0, {}};
}

// The name after the last dot of a qualified name.
inline const char* shortName(const char* qualname) {
    const char* dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
}

template <auto Fn, Kind K, class... Params>
FunctionDef define(PyTypeObject* owner, const char* qualname, const char* returns, vectorcallfunc shortcut,
                   const Params&... params) {
    constexpr bool withSelf = K == Kind::Method || K == Kind::ClassMethod;
    FunctionDef def{qualname, K, owner, {}, returns, Parameters<Fn, withSelf>::invoke, shortcut};
    def.sig = signatureOf<Fn, withSelf>(shortName(qualname), params...);
    return def;
}

}  // namespace binding

// A module function.
template <auto Fn, size_t N>
FunctionDef function(const char* name, const Param (&params)[N], const char* returns) {
    return binding::define<Fn, Kind::Function>(nullptr, name, returns, nullptr, params);
}
// A method of `owner` (Fn's first parameter is the instance).
template <auto Fn, size_t N>
FunctionDef method(PyTypeObject* owner, const char* qualname, const Param (&params)[N], const char* returns,
                   vectorcallfunc shortcut = nullptr) {
    return binding::define<Fn, Kind::Method>(owner, qualname, returns, shortcut, params);
}
template <auto Fn>
FunctionDef method(PyTypeObject* owner, const char* qualname, const char* returns) {
    return binding::define<Fn, Kind::Method>(owner, qualname, returns, nullptr);
}
// A class method (Fn's first parameter is the class).
template <auto Fn, size_t N>
FunctionDef classMethod(const char* qualname, const Param (&params)[N], const char* returns) {
    return binding::define<Fn, Kind::ClassMethod>(nullptr, qualname, returns, nullptr, params);
}
template <auto Fn, size_t N>
FunctionDef staticMethod(const char* qualname, const Param (&params)[N], const char* returns) {
    return binding::define<Fn, Kind::StaticMethod>(nullptr, qualname, returns, nullptr, params);
}
// The signature of a constructor step `Fn(self, ...)`, for bindArgumentsDict.
template <auto Fn, size_t N>
Signature constructorSignature(const char* name, const Param (&params)[N]) {
    return binding::signatureOf<Fn, true>(name, params);
}
// Calls `Fn(self, ...)` with the arguments bound to its constructor signature.
template <auto Fn>
auto callConstructorStep(PyObject* self, BoundArgs& args) {
    args.self = self;
    return binding::Parameters<Fn, true>::invoke(args);
}

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
// Whether `obj` is a function object made for `def`: the module's own
// function, not a replacement bound under its name.
bool isFunctionFor(PyObject* obj, const FunctionDef& def);

}  // namespace mv
