// The function type and the binder: binding arguments to parameters as the
// host binds them (with its messages), the function object, and the
// introspection it offers (signature, annotations, names).
#include "py/function.hpp"

#include <cstddef>
#include <memory>

#include "py/messages.hpp"
#include "py/state.hpp"

namespace mv {

// ---------------------------------------------------------------------------
// Argument binding

namespace {

void raiseCount(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, msg::kArgCount, sig.name, "exactly", static_cast<Py_ssize_t>(sig.nparams),
                 sig.nparams == 1 ? "" : "s", given);
}

bool nameIs(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

int findParam(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.nparams; ++i)
        if (nameIs(key, sig.params[i].name)) return i;
    return -1;
}

void raiseType(const Param& param, PyObject* value) {
    PyTypeObject* got = Py_TYPE(value);
    if (PyType_IsSubtype(got, param.exactType)) {
        PyErr_Format(PyExc_TypeError, msg::kArgTypeSubclass, param.name, param.exactType->tp_name, got->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, msg::kArgType, param.name, param.exactType->tp_name, got->tp_name);
    }
}

}  // namespace

bool bindKeywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
    const int n = sig.nparams;
    if (nargs > n) {
        raiseCount(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.obj[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < n) {
            raiseCount(sig, nargs);
            return false;
        }
    } else {
        PyObject* const* kwvalues = args + nargs;
        // Each parameter not given by position must come by keyword; the
        // first one missing ends binding.
        for (Py_ssize_t i = nargs; i < n; ++i) {
            PyObject* found = nullptr;
            for (Py_ssize_t k = 0; k < nkw && !found; ++k)
                if (nameIs(PyTuple_GET_ITEM(kwnames, k), sig.params[i].name)) found = kwvalues[k];
            if (!found) {
                raiseCount(sig, i);
                return false;
            }
            out.obj[i] = found;
        }
        // Only then the keywords themselves are judged, in the order given.
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, msg::kKeywordNotString, sig.name);
                return false;
            }
            int j = findParam(sig, key);
            if (j < 0) {
                PyErr_Format(PyExc_TypeError, msg::kKeywordUnexpected, sig.name, key);
                return false;
            }
            if (j < nargs) {
                PyErr_Format(PyExc_TypeError, msg::kKeywordTwice, sig.name, key);
                return false;
            }
        }
    }
    return true;
}

bool raiseParamType(const Signature& sig, const BoundArgs& out) {
    for (int i = 0; i < sig.nparams; ++i) {
        const Param& p = sig.params[i];
        if (p.exactType && Py_TYPE(out.obj[i]) != p.exactType) {
            raiseType(p, out.obj[i]);
            break;
        }
    }
    return false;
}

bool convertInt32(const Signature& sig, BoundArgs& out) {
    for (int i = 0; i < sig.nparams; ++i)
        if (sig.params[i].int32 && !toInt32(out.obj[i], &out.i32[i])) return false;
    return true;
}

namespace {

// Lays a call made with an argument tuple and a keyword dict out as a
// vectorcall would (positional values, then the keyword values, the keyword
// names in a tuple, whatever their type) and hands it to `fn`.
template <class Fn>
auto withVectorLayout(PyObject* args, PyObject* kwargs, Fn&& fn) -> decltype(fn(nullptr, 0, nullptr)) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return fn(&PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    struct Free {
        void operator()(void* p) const { PyMem_Free(p); }
    };
    std::unique_ptr<PyObject*[], Free> stack(PyMem_New(PyObject*, nargs + nkw));
    Ref kwnames(PyTuple_New(nkw));
    if (!stack || !kwnames) {
        if (!stack) PyErr_NoMemory();
        return fn(nullptr, -1, nullptr);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k] = value;
        ++k;
    }
    return fn(stack.get(), nargs, kwnames.get());
}

}  // namespace

bool bindArgumentsDict(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    return withVectorLayout(args, kwargs, [&](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        return nargs >= 0 && bindArguments(sig, stack, nargs, kwnames, out);
    });
}

// ---------------------------------------------------------------------------
// The function object

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* annotations;
    PyObject* code;
};

FunctionObject* asFunction(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

bool takesSelf(Kind kind) { return kind == Kind::Method || kind == Kind::ClassMethod; }

}  // namespace

PyObject* genericVectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* fn = asFunction(callable);
    const FunctionDef& def = *fn->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    BoundArgs bound;
    bound.self = nullptr;
    if (takesSelf(def.kind)) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, msg::kUnboundNeedsArgument, fn->qualname);
            return nullptr;
        }
        bound.self = args[0];
        if (def.kind == Kind::Method && !PyObject_TypeCheck(bound.self, def.owner)) {
            PyErr_Format(PyExc_TypeError, msg::kDescriptorMismatch, fn->name, def.owner->tp_name,
                         Py_TYPE(bound.self)->tp_name);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    if (!bindArguments(def.sig, args, nargs, kwnames, bound)) return nullptr;
    return def.impl(bound);
}

namespace {

PyObject* functionDescrGet(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// A call made with an argument tuple and a keyword dict: `f(*args, **kw)`,
// and every call of a function that takes no vectorcall. Keywords that are
// not strings reach the binder, which names the function in its message.
PyObject* functionCall(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return withVectorLayout(args, kwargs, [&](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        return nargs < 0 ? nullptr : genericVectorcall(callable, stack, static_cast<size_t>(nargs), kwnames);
    });
}

PyObject* functionRepr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", asFunction(self)->qualname, self);
}

// Only the annotations dict, which user code may fill, can take part in a
// reference cycle; the names and the code object hold nothing of the user's,
// and stay set until the object is freed.
int functionTraverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(asFunction(self)->annotations);
    return 0;
}

int functionClear(PyObject* self) {
    Py_CLEAR(asFunction(self)->annotations);
    return 0;
}

void functionDealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FunctionObject* fn = asFunction(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->code);
    PyObject_GC_Del(self);
}

PyObject* getName(PyObject* self, void*) { return Py_NewRef(asFunction(self)->name); }
PyObject* getQualname(PyObject* self, void*) { return Py_NewRef(asFunction(self)->qualname); }
// After the collector cleared them, the annotations start again empty, as a
// Python function's do.
PyObject* getAnnotations(PyObject* self, void*) {
    FunctionObject* fn = asFunction(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(fn->annotations);
}
PyObject* getCode(PyObject* self, void*) { return Py_NewRef(asFunction(self)->code); }
PyObject* getNone(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* getModule(PyObject*, void*) { return PyUnicode_FromString("Morvane.simpleImage_ext"); }
PyObject* getGlobals(PyObject*, void*) {
    if (!process.module) {
        PyErr_SetString(PyExc_AttributeError, msg::kNoGlobals);
        return nullptr;
    }
    return Py_NewRef(PyModule_GetDict(process.module));
}

PyGetSetDef functionGetset[] = {
    {"__name__", getName, nullptr, nullptr, nullptr},
    {"__qualname__", getQualname, nullptr, nullptr, nullptr},
    {"__module__", getModule, nullptr, nullptr, nullptr},
    {"__doc__", getNone, nullptr, nullptr, nullptr},
    {"__defaults__", getNone, nullptr, nullptr, nullptr},
    {"__kwdefaults__", getNone, nullptr, nullptr, nullptr},
    {"__annotations__", getAnnotations, nullptr, nullptr, nullptr},
    {"__code__", getCode, nullptr, nullptr, nullptr},
    {"__globals__", getGlobals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)  //
    "Morvane.simpleImage_ext.function",
};

// A code object whose argument names are the function's parameters, so that
// introspection reports the signature.
PyObject* makeCode(const FunctionDef& def, PyObject* name, PyObject* qualname) {
    const int implicit = takesSelf(def.kind) ? 1 : 0;
    const int argcount = implicit + def.sig.nparams;
    Ref varnames(PyTuple_New(argcount));
    if (!varnames) return nullptr;
    if (implicit) {
        PyObject* first = PyUnicode_InternFromString(def.kind == Kind::ClassMethod ? "cls" : "self");
        if (!first) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), 0, first);
    }
    for (int i = 0; i < def.sig.nparams; ++i) {
        PyObject* s = PyUnicode_InternFromString(def.sig.params[i].name);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), implicit + i, s);
    }
    Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty("simpleImage_ext", def.sig.name, 1)));
    if (!empty) return nullptr;
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    Ref kwargs(Py_BuildValue("{s:i,s:i,s:O,s:O,s:O}", "co_argcount", argcount, "co_nlocals", argcount, "co_varnames",
                             varnames.get(), "co_name", name, "co_qualname", qualname));
    if (!kwargs) return nullptr;
    Ref noArgs(PyTuple_New(0));
    if (!noArgs) return nullptr;
    return PyObject_Call(replace.get(), noArgs.get(), kwargs.get());
}

PyObject* makeAnnotations(const FunctionDef& def) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    auto add = [&](const char* key, const char* text) {
        Ref value(PyUnicode_FromString(text));
        return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
    };
    for (int i = 0; i < def.sig.nparams; ++i) {
        const Param& p = def.sig.params[i];
        if (p.annotation && !add(p.name, p.annotation)) return nullptr;
    }
    if (def.returnAnnotation && !add("return", def.returnAnnotation)) return nullptr;
    return dict.release();
}

}  // namespace

bool readyFunctionType() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = functionCall;
    FunctionType.tp_descr_get = functionDescrGet;
    FunctionType.tp_repr = functionRepr;
    FunctionType.tp_traverse = functionTraverse;
    FunctionType.tp_clear = functionClear;
    FunctionType.tp_dealloc = functionDealloc;
    FunctionType.tp_getset = functionGetset;
    return PyType_Ready(&FunctionType) == 0;
}

PyObject* newFunction(const FunctionDef& def) {
    Ref name(PyUnicode_InternFromString(def.sig.name));
    if (!name) return nullptr;
    Ref qualname(PyUnicode_InternFromString(def.qualname));
    if (!qualname) return nullptr;
    Ref annotations(makeAnnotations(def));
    if (!annotations) return nullptr;
    Ref code(makeCode(def, name.get(), qualname.get()));
    if (!code) return nullptr;
    FunctionObject* fn = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!fn) return nullptr;
    // The pixel methods take vectorcall for speed (the interpreter then
    // checks `**` keywords itself); every other function is called through
    // functionCall.
    fn->vectorcall = def.shortcut;
    fn->def = &def;
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->annotations = annotations.release();
    fn->code = code.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(fn));
    return reinterpret_cast<PyObject*>(fn);
}

bool isFunctionFor(PyObject* obj, const FunctionDef& def) {
    return Py_IS_TYPE(obj, &FunctionType) && asFunction(obj)->def == &def;
}

}  // namespace mv
