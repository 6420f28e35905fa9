// Byte buffers as the host makes them (see buffers.hpp).
#include "py/buffers.hpp"

#include <cstring>

#include "core/hugepages.hpp"
#include "py/names.hpp"
#include "py/state.hpp"

namespace mv {

namespace {

// Whether nothing was set on the object itself (an attribute there would
// hide the type's method of that name).
bool noOwnAttributes(PyObject* obj) {
    PyObject** dict = _PyObject_GetDictPtr(obj);
    return !dict || !*dict || PyDict_GET_SIZE(*dict) == 0;
}

}  // namespace

bool isPlainBytesIO(PyObject* stream) {
    return process.io.bytesIO && Py_IS_TYPE(stream, process.io.bytesIO) && noOwnAttributes(stream);
}

bool isPlainFileReader(PyObject* stream) {
    if (!process.io.bufferedReader || !Py_IS_TYPE(stream, process.io.bufferedReader) || !noOwnAttributes(stream))
        return false;
    // `raw` is a field of the reader: no Python code runs.
    Ref raw(PyObject_GetAttr(stream, name::raw));
    if (!raw) PyErr_Clear();  // a reader whose raw file was detached fails as it reads
    if (!raw || !Py_IS_TYPE(raw.get(), process.io.fileIO)) return false;
    // The raw file keeps its name in its own attributes; the reader calls
    // its readinto, so that one must be the type's.
    PyObject** rawDict = _PyObject_GetDictPtr(raw.get());
    if (!rawDict || !*rawDict) return true;
    const int shadowed = PyDict_Contains(*rawDict, name::readinto);
    if (shadowed < 0) PyErr_Clear();
    return shadowed == 0;
}

PyObject* newByteArray(Py_ssize_t n) {
    PyObject* result = PyByteArray_FromStringAndSize(nullptr, 0);
    if (result && n > 0 && PyByteArray_Resize(result, n) < 0) Py_CLEAR(result);
    if (result) adviseHugePages(PyByteArray_AS_STRING(result), static_cast<size_t>(n));
    return result;
}

PyObject* copyToNewByteArray(const char* data, Py_ssize_t n) {
    PyObject* result = newByteArray(n);
    if (result && n > 0) std::memcpy(PyByteArray_AS_STRING(result), data, static_cast<size_t>(n));
    return result;
}

PyObject* copyToByteArray(PyObject* obj) {
    if (PyBytes_CheckExact(obj)) return copyToNewByteArray(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    if (PyByteArray_CheckExact(obj)) return copyToNewByteArray(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj));
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), obj);
}

PyObject* asByteArray(PyObject* obj) {
    if (PyByteArray_Check(obj)) return Py_NewRef(obj);
    return copyToByteArray(obj);
}

}  // namespace mv
