// The pending exception as an object: taken out of the interpreter, put back,
// and chained to another one as the interpreter chains them.
#pragma once

#include <utility>

#include "py/ref.hpp"

namespace mv {

// Takes the pending exception out of the interpreter, normalised and with its
// traceback attached.
inline Ref takeError() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref(value);
#endif
}

// Makes `error`, an exception taken with takeError, the pending one again.
inline void restoreError(Ref error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// The interpreter's own exception chaining: while `fn` runs, the pending
// exception is saved; if `fn` raises, the saved one becomes its context.
template <class Fn>
bool runKeepingError(Fn&& fn) {
    Ref saved = takeError();
    if (fn()) {
        restoreError(std::move(saved));
        return true;
    }
    Ref raised = takeError();
    PyException_SetContext(raised.get(), saved.release());  // steals the saved one
    restoreError(std::move(raised));
    return false;
}

}  // namespace mv
