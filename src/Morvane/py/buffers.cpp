// Byte buffers as the host makes them (see buffers.hpp).
#include "py/buffers.hpp"

#include <cstring>

#include "core/hugepages.hpp"
#include "py/state.hpp"

namespace mv {

bool isPlainBytesIO(PyObject* stream) {
    if (!process.io.bytesIO || !Py_IS_TYPE(stream, process.io.bytesIO)) return false;
    PyObject** dict = _PyObject_GetDictPtr(stream);
    return !dict || !*dict || PyDict_GET_SIZE(*dict) == 0;
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
