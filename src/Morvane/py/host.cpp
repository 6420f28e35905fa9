#include "py/host.hpp"

#include <climits>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "py/messages.hpp"

namespace mv {

Names names;

bool initNames() {
    struct Text {
        PyObject** slot;
        const char* text;
    };
    const Text texts[] = {
        {&names.struct_, "struct"},
        {&names.zlib, "zlib"},
        {&names.BytesIO, "BytesIO"},
        {&names.Path, "Path"},
        {&names.PNG_SIGNATURE, "PNG_SIGNATURE"},
        {&names._readChunk, "_readChunk"},
        {&names._makeChunk, "_makeChunk"},
        {&names._writePng, "_writePng"},
        {&names._writeBmp, "_writeBmp"},
        {&names._streamToImage, "_streamToImage"},
        {&names.Union, "Union"},
        {&names.read, "read"},
        {&names.seek, "seek"},
        {&names.write, "write"},
        {&names.pack, "pack"},
        {&names.unpack, "unpack"},
        {&names.crc32, "crc32"},
        {&names.compress, "compress"},
        {&names.decompress, "decompress"},
        {&names.decompressobj, "decompressobj"},
        {&names.unconsumed_tail, "unconsumed_tail"},
        {&names.eof, "eof"},
        {&names.join, "join"},
        {&names.startswith, "startswith"},
        {&names.enter, "__enter__"},
        {&names.exit, "__exit__"},
        {&names.getvalue, "getvalue"},
        {&names.tell, "tell"},
        {&names.rb, "rb"},
        {&names.wb, "wb"},
        {&names.fmtU32BE, ">I"},
        {&names.fmtIhdr, ">IIBBBBB"},
        {&names.fmtBmpFile, "<IHHI"},
        {&names.fmtU32LE, "<I"},
        {&names.fmtBmpDibRead, "<iiHHIIiiII"},
        {&names.fmtBmpDib, "<IIIHHIIIIII"},
    };
    for (const Text& t : texts)
        if (!*t.slot && !(*t.slot = PyUnicode_InternFromString(t.text))) return false;

    struct Int {
        PyObject** slot;
        unsigned long value;
    };
    const Int ints[] = {
        {&names.int0, 0},
        {&names.int1, 1},
        {&names.int2, 2},
        {&names.int3, 3},
        {&names.int4, 4},
        {&names.int8, 8},
        {&names.int14, 14},
        {&names.int24, 24},
        {&names.int36, 36},
        {&names.int40, 40},
        {&names.int54, 54},
        {&names.int255, 255},
        {&names.int2835, 2835},
        {&names.mask32, 0xFFFFFFFFul},
        {&names.outputPiece, 128ul << 10},
    };
    for (const Int& i : ints)
        if (!*i.slot && !(*i.slot = PyLong_FromUnsignedLong(i.value))) return false;
    for (unsigned long v = 0; v < 256; ++v)
        if (!names.byteValues[v] && !(names.byteValues[v] = PyLong_FromUnsignedLong(v))) return false;

    struct Bytes {
        PyObject** slot;
        const char* data;
        Py_ssize_t size;
    };
    const Bytes bytes[] = {
        {&names.emptyBytes, "", 0},   {&names.bytesBM, "BM", 2},    {&names.typeIHDR, "IHDR", 4},
        {&names.typeIDAT, "IDAT", 4}, {&names.typeIEND, "IEND", 4},
    };
    for (const Bytes& b : bytes)
        if (!*b.slot && !(*b.slot = PyBytes_FromStringAndSize(b.data, b.size))) return false;

    if (!names.bytesIOType || !names.ioOpen || !names.bufferedWriterType) {
        Ref io(PyImport_ImportModule("_io"));
        if (!io) return false;
        const std::pair<PyObject**, const char*> fromIo[] = {
            {reinterpret_cast<PyObject**>(&names.bytesIOType), "BytesIO"},
            {&names.ioOpen, "open"},
            {reinterpret_cast<PyObject**>(&names.bufferedWriterType), "BufferedWriter"},
        };
        for (const auto& [slot, attr] : fromIo) {
            if (*slot) continue;
            Ref value(PyObject_GetAttrString(io.get(), attr));
            if (!value) return false;
            if (slot != &names.ioOpen && !PyType_Check(value.get())) {
                PyErr_Format(PyExc_ImportError, "_io.%s is not a type", attr);
                return false;
            }
            *slot = value.release();
        }
    }
    return true;
}

bool recordZlib(PyObject* zlib) {
    const std::pair<PyObject**, const char*> entries[] = {
        {&names.zlibDecompress, "decompress"},
        {&names.zlibDecompressobj, "decompressobj"},
        {&names.zlibCrc32, "crc32"},
        {&names.zlibError, "error"},
    };
    for (const auto& [slot, attr] : entries) {
        PyObject* value = PyObject_GetAttrString(zlib, attr);
        if (!value) return false;
        Py_XSETREF(*slot, value);
    }
    Py_XSETREF(names.zlibModule, Py_NewRef(zlib));
    return true;
}

namespace {
PyObject* gModule = nullptr;
PyObject* gOpen = nullptr;
}  // namespace

PyObject* recordedModule() { return gModule; }

void setRecordedModule(PyObject* module) {
    PyObject* old = gModule;
    gModule = module;
    Py_XDECREF(old);
}

PyObject* builtinOpen() { return gOpen; }

void setBuiltinOpen(PyObject* fn) {
    PyObject* old = gOpen;
    gOpen = fn;
    Py_XDECREF(old);
}

PyObject* lookupGlobal(PyObject* name) {
    if (gModule) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(gModule), name);
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
    Ref got(callMethod(stream, names.read, n));
    if (!got) return nullptr;
    *length = PyObject_Length(got.get());
    if (*length < 0) return nullptr;
    return got.release();
}

bool writeTo(PyObject* output, PyObject* data) {
    Ref r(callMethod(output, names.write, data));
    return static_cast<bool>(r);
}

bool isPlainBytesIO(PyObject* stream) {
    if (!names.bytesIOType || !Py_IS_TYPE(stream, names.bytesIOType)) return false;
    PyObject** dict = _PyObject_GetDictPtr(stream);
    return !dict || !*dict || PyDict_GET_SIZE(*dict) == 0;
}

PyObject* newByteArray(Py_ssize_t n) {
    PyObject* result = PyByteArray_FromStringAndSize(nullptr, 0);
    if (result && n > 0 && PyByteArray_Resize(result, n) < 0) Py_CLEAR(result);
#ifdef MADV_HUGEPAGE
    // A large buffer about to be filled front to back: ask for huge pages, one
    // page fault per 2 MiB instead of per 4 KiB. Only the pages touched are
    // committed, huge or not.
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    if (result && static_cast<uintptr_t>(n) >= 4 * kHuge) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(PyByteArray_AS_STRING(result));
        const uintptr_t from = (start + kHuge - 1) & ~(kHuge - 1);
        const uintptr_t to = (start + static_cast<uintptr_t>(n)) & ~(kHuge - 1);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    }
#endif
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

PyObject* lookupSpecial(PyObject* obj, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj), name);
    if (!found) return nullptr;
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return Py_NewRef(found);
    return get(found, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
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
