// The process-wide record and the steps that fill it.
#include "py/state.hpp"

#include <utility>

#include "py/messages.hpp"

namespace mv {

ProcessState process;

void recordModule(Ref module) { Py_XSETREF(process.module, module.release()); }

void recordOpen(Ref open) { Py_XSETREF(process.open, open.release()); }

bool recordIo() {
    if (process.io.bytesIO && process.io.open && process.io.bufferedWriter && process.io.bufferedReader &&
        process.io.fileIO)
        return true;
    Ref io(PyImport_ImportModule("_io"));
    if (!io) return false;
    const std::pair<PyObject**, const char*> fromIo[] = {
        {reinterpret_cast<PyObject**>(&process.io.bytesIO), "BytesIO"},
        {&process.io.open, "open"},
        {reinterpret_cast<PyObject**>(&process.io.bufferedWriter), "BufferedWriter"},
        {reinterpret_cast<PyObject**>(&process.io.bufferedReader), "BufferedReader"},
        {reinterpret_cast<PyObject**>(&process.io.fileIO), "FileIO"},
    };
    for (const auto& [slot, attr] : fromIo) {
        if (*slot) continue;
        Ref value(PyObject_GetAttrString(io.get(), attr));
        if (!value) return false;
        if (slot != &process.io.open && !PyType_Check(value.get())) {
            PyErr_Format(PyExc_ImportError, msg::kIoNotAType, attr);
            return false;
        }
        *slot = value.release();
    }
    return true;
}

bool recordStruct(PyObject* structModule) {
    PyObject* unpack = PyObject_GetAttrString(structModule, "unpack");
    if (!unpack) return false;
    Py_XSETREF(process.structModule.unpack, unpack);
    Py_XSETREF(process.structModule.module, Py_NewRef(structModule));
    return true;
}

bool recordZlib(PyObject* zlib) {
    const std::pair<PyObject**, const char*> entries[] = {
        {&process.zlib.decompress, "decompress"},
        {&process.zlib.decompressobj, "decompressobj"},
        {&process.zlib.crc32, "crc32"},
        {&process.zlib.error, "error"},
    };
    for (const auto& [slot, attr] : entries) {
        PyObject* value = PyObject_GetAttrString(zlib, attr);
        if (!value) return false;
        Py_XSETREF(*slot, value);
    }
    Py_XSETREF(process.zlib.module, Py_NewRef(zlib));
    return true;
}

}  // namespace mv
