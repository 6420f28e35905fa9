// The host's own steps: namespace lookup, imports, the 32-bit conversion,
// unpacking, comparisons, reads and writes, and the end of a `with` block.
#include "py/host.hpp"

#include <climits>
#include <cstring>
#include <utility>

namespace mv {

PyObject* lookupGlobal(PyObject* name) {
    if (process.module) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(process.module), name);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        PyObject* value = PyDict_GetItemWithError(builtins, name);
        if (value) return Py_NewRef(value);
        if (PyErr_Occurred()) return nullptr;
    }
    PyErr_Format(PyExc_NameError, msg::kNotDefined, name);
    return nullptr;
}

PyObject* moduleEntry(PyObject* module, PyObject* key) {
    if (!Py_IS_TYPE(module, &PyModule_Type)) return nullptr;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), key);
    if (!value) PyErr_Clear();
    return value;
}

bool importModule(PyObject* globals, const char* name) {
    Ref module(PyImport_ImportModuleLevel(name, globals, nullptr, nullptr, 0));
    return module && PyDict_SetItemString(globals, name, module.get()) == 0;
}

bool importFrom(PyObject* globals, const char* module, std::initializer_list<const char*> what) {
    Ref fromlist(PyTuple_New(static_cast<Py_ssize_t>(what.size())));
    if (!fromlist) return false;
    Py_ssize_t i = 0;
    for (const char* n : what) {
        PyObject* s = PyUnicode_FromString(n);
        if (!s) return false;
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref source(PyImport_ImportModuleLevel(module, globals, nullptr, fromlist.get(), 0));
    if (!source) return false;
    for (const char* n : what) {
        Ref value(PyObject_GetAttrString(source.get(), n));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, msg::kCannotImportName, n, module);
            return false;
        }
        if (PyDict_SetItemString(globals, n, value.get()) < 0) return false;
    }
    return true;
}

PyObject* builtinNamed(const char* name) {
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins) return nullptr;
    Ref key(PyUnicode_InternFromString(name));
    if (!key) return nullptr;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(builtins), key.get());
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNotDefined, key.get());
        return nullptr;
    }
    return Py_NewRef(value);
}

namespace {
bool longToInt32(PyObject* value, int32_t* out) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kIntTooLarge);
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}
}  // namespace

bool toInt32(PyObject* value, int32_t* out) {
    if (PyLong_Check(value)) return longToInt32(value, out);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, msg::kIntRequired);
        return false;
    }
    Ref converted(nb->nb_int(value));
    if (!converted) return false;
    if (!PyLong_CheckExact(converted.get())) {
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, msg::kIntNonInt, Py_TYPE(converted.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, msg::kIntSubclassDeprecated,
                             Py_TYPE(converted.get())->tp_name) < 0)
            return false;
    }
    return longToInt32(converted.get(), out);
}

int compareTruth(PyObject* a, PyObject* b, int op) {
    Ref result(PyObject_RichCompare(a, b, op));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

int equalsBytes(PyObject* obj, PyObject* constant) {
    if (PyBytes_CheckExact(obj)) {
        const Py_ssize_t n = PyBytes_GET_SIZE(constant);
        return PyBytes_GET_SIZE(obj) == n && std::memcmp(PyBytes_AS_STRING(obj), PyBytes_AS_STRING(constant), n) == 0;
    }
    return compareTruth(obj, constant, Py_EQ);
}

PyObject* itemAt(PyObject* obj, Py_ssize_t i) {
    if (PyTuple_CheckExact(obj) && i < PyTuple_GET_SIZE(obj)) return Py_NewRef(PyTuple_GET_ITEM(obj, i));
    Ref index(PyLong_FromSsize_t(i));
    if (!index) return nullptr;
    return PyObject_GetItem(obj, index.get());
}

PyObject* readCounted(PyObject* stream, PyObject* n, Py_ssize_t* length) {
    Ref got(callMethod(stream, name::read, n));
    if (!got) return nullptr;
    *length = PyObject_Length(got.get());
    if (*length < 0) return nullptr;
    return got.release();
}

bool writeTo(PyObject* output, PyObject* data) {
    Ref r(callMethod(output, name::write, data));
    return static_cast<bool>(r);
}

PyObject* lookupSpecial(PyObject* obj, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj), name);
    if (!found) return nullptr;
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return Py_NewRef(found);
    return get(found, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

Block exitAfterError(PyObject* exitFn) {
    Ref error = takeError();
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
    Ref value = Ref::borrow(error.get());
    Ref tb(PyException_GetTraceback(error.get()));
    // Pending again while __exit__ runs, so that an error of its own is
    // chained to this one.
    restoreError(std::move(error));
    int suppress = 0;
    const bool exited = runKeepingError([&] {
        Ref r(call(exitFn, type.get(), value.get(), tb ? tb.get() : Py_None));
        if (!r) return false;
        suppress = PyObject_IsTrue(r.get());
        return suppress >= 0;
    });
    if (!exited) return Block::Failed;
    if (!suppress) return Block::Failed;
    PyErr_Clear();
    return Block::Suppressed;
}

void raiseTooMany(Py_ssize_t expected) { PyErr_Format(PyExc_ValueError, msg::kTooManyValues, expected); }

void raiseNeedMore(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, msg::kNeedMoreValues, found, found == 1 ? "" : "s");
}

bool unpackExactly(PyObject* seq, Py_ssize_t n, PyObject** out) {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = Py_SIZE(seq);
        if (size != n) {
            if (size > n)
                raiseTooMany(n);
            else
                raiseNeedMore(size);
            return false;
        }
        PyObject** items = PyTuple_CheckExact(seq) ? &PyTuple_GET_ITEM(seq, 0) : &PyList_GET_ITEM(seq, 0);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Py_NewRef(items[i]);
        return true;
    }
    Ref it(PyObject_GetIter(seq));
    if (!it) return false;
    Py_ssize_t got = 0;
    auto dropDrawn = [&] {
        for (Py_ssize_t i = 0; i < got; ++i) Py_CLEAR(out[i]);
    };
    for (; got < n; ++got) {
        PyObject* item = PyIter_Next(it.get());
        if (!item) {
            if (!PyErr_Occurred()) raiseNeedMore(got);
            dropDrawn();
            return false;
        }
        out[got] = item;
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra || PyErr_Occurred()) {
        if (extra) {
            Py_DECREF(extra);
            raiseTooMany(n);
        }
        dropDrawn();
        return false;
    }
    return true;
}

}  // namespace mv
