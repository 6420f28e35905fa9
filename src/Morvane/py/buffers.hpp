// Byte buffers as the host makes them: new bytearrays, copies, the writers'
// view of a pixel buffer, and the test for a plain in-memory stream whose
// bytes may be read in place.
#pragma once

#include "py/ref.hpp"

namespace mv {

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

// Whether `stream` is exactly an io.BytesIO whose methods nobody replaced:
// then reading it has no effect but moving its position, and a reader may
// take the bytes from its value directly.
bool isPlainBytesIO(PyObject* stream);

// Whether `stream` is exactly the host's buffered reader over its own raw
// file, neither with methods replaced: then reading it has no effect but
// moving its position, and bytes read in one call or in several are the same
// bytes, leaving it at the same place (where reads that would block do not
// come into it: the callers read only after seeking, which pipes, sockets
// and terminals refuse).
bool isPlainFileReader(PyObject* stream);

}  // namespace mv
