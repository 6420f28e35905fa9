// What the module keeps for the whole process, in one record: the module
// object, the built-in `open`, the host's I/O types, its struct and zlib and
// the faster inflater. The module lives in one interpreter per process, so one record
// serves it.
#pragma once

#include "py/ref.hpp"

namespace mv {

// The host's zlib module as the module body imported it, and the functions
// it had then: while they are still the ones in use, no Python code can see
// how the module inflates and checksums.
struct ZlibRecord {
    PyObject* module;
    PyObject* decompress;
    PyObject* decompressobj;
    PyObject* crc32;
    PyObject* error;
};

// The host's struct module as the module body imported it, and its unpack
// then: while both are still the ones in use, no Python code can see how
// the module unpacks a chunk's fields.
struct StructRecord {
    PyObject* module;
    PyObject* unpack;
};

// The host's own I/O: the in-memory byte stream type, `open`, the types of
// the files that gives for writing and reading, and of the raw file under
// them.
struct IoRecord {
    PyTypeObject* bytesIO;
    PyObject* open;
    PyTypeObject* bufferedWriter;
    PyTypeObject* bufferedReader;
    PyTypeObject* fileIO;
};

struct DirectZlib;

// zlib-ng's zlib-compatible module, as chosen once by the module's
// initialisation (png/fastzlib.hpp); nullptr: the host's zlib does all the
// inflating and checksumming. With it, its decompressobj then, and the
// library's inflater called straight where it was found and answers alike
// (nullptr otherwise): that one is used while the module's decompressobj is
// still the one recorded.
struct FastZlibRecord {
    PyObject* module;
    PyObject* decompressobj;
    const DirectZlib* direct;
};

struct ProcessState {
    PyObject* module;  // the module, from the start of its exec step (nullptr after a failed one)
    PyObject* open;    // the built-in `open`, taken once during initialisation
    IoRecord io;
    StructRecord structModule;
    ZlibRecord zlib;
    FastZlibRecord fastZlib;
};
extern ProcessState process;

// Takes over `module` as the recorded module; an empty Ref forgets it.
void recordModule(Ref module);
// Takes over `open` as the built-in `open`.
void recordOpen(Ref open);
// Records the host's I/O types from _io (those still missing).
bool recordIo();
// Records the struct module the module body imported, and its unpack.
bool recordStruct(PyObject* structModule);
// Records the zlib module the module body imported, and its functions.
bool recordZlib(PyObject* zlib);

}  // namespace mv
