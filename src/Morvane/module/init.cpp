// The module Morvane.simpleImage_ext: its create and exec steps, and the
// module body they stand in for (the imports, PNG_SIGNATURE, the ImageInput
// alias, and the functions and class it publishes).
#include <cstdlib>

#include "bmp/encoder.hpp"
#include "module/image.hpp"
#include "module/open.hpp"
#include "png/chunks.hpp"
#include "png/constants.hpp"
#include "png/encoder.hpp"
#include "png/fastzlib.hpp"
#include "py/function.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

int64_t gInterpreterId = -1;

// glibc serves a block over its mmap threshold with a fresh mapping, and
// gives the top of its heap back to the system whenever more than its trim
// threshold lies free there. Both start at 128 KiB and rise only when a
// mapped block is freed, to that block's size (and twice that). Until the
// process frees a larger block, a loop over small images faults its pixel
// buffers and the inflater's output pieces in anew on every decode (about
// 50 to 160 faults for a 256 x 256 image, a sixth to a third of its time).
// Freeing one mapped block of 1 MiB here raises them as the first larger
// free would: blocks up to 1 MiB come from the heap, and up to 2 MiB of
// free memory stays at its top. Thresholds set by the user (mallopt, the
// MALLOC_MMAP_THRESHOLD_ and MALLOC_TRIM_THRESHOLD_ variables) are fixed, and
// this free leaves them as set. The block is never touched: it costs no
// memory.
void raiseHeapThresholds() {
#ifdef __GLIBC__
    constexpr size_t kBlock = size_t{1} << 20;
    // Through a volatile pointer, so that the compiler keeps the pair.
    void* volatile block = std::malloc(kBlock);
    std::free(block);
#endif
}

PyObject* builtinsModule() { return PyImport_AddModule("builtins"); }

bool checkVersion() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    // GCOVR_EXCL_START only in a Python of another version than the build's, whose import system refuses the file by its name first
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, msg::kVersionMismatch, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                            "Morvane.simpleImage_ext", "does not match", major, minor) == 0;
    // GCOVR_EXCL_STOP
}

// The module body: its imports, the struct and zlib it records, PNG_SIGNATURE and the
// ImageInput alias.
bool runModuleBody(PyObject* globals) {
    if (!importModule(globals, "struct") || !importModule(globals, "zlib") || !importFrom(globals, "io", {"BytesIO"}) ||
        !importFrom(globals, "pathlib", {"Path"}) ||
        !importFrom(globals, "typing", {"List", "Sequence", "Tuple", "Union"}))
        return false;
    {
        // As zlib below.
        PyObject* structModule = PyDict_GetItemWithError(globals, name::struct_);
        if (!structModule) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNotDefined, name::struct_.get());
            return false;
        }
        if (!recordStruct(structModule)) return false;
    }
    {
        // Looked up with the interned key, which cannot fail for want of
        // memory (a C-string key would be made anew, and its failure would
        // read as a missing entry).
        PyObject* zlib = PyDict_GetItemWithError(globals, name::zlib);
        if (!zlib) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNotDefined, name::zlib.get());
            return false;
        }
        if (!recordZlib(zlib)) return false;
    }
    {
        Ref signature(PyBytes_FromStringAndSize(png::kSignature, sizeof png::kSignature));
        if (!signature || PyDict_SetItemString(globals, "PNG_SIGNATURE", signature.get()) < 0) return false;
    }
    Ref unionForm(lookupGlobal(name::Union));
    Ref path(unionForm ? lookupGlobal(name::Path) : nullptr);
    if (!path) return false;
    Ref members(PyTuple_Pack(4, &PyUnicode_Type, path.get(), &PyBytes_Type, &PyByteArray_Type));
    if (!members) return false;
    Ref alias(PyObject_GetItem(unionForm.get(), members.get()));
    return alias && PyDict_SetItemString(globals, "ImageInput", alias.get()) == 0;
}

// The exec step after the module has been recorded.
bool execModule(PyObject* module) {
    raiseHeapThresholds();
    PyObject* globals = PyModule_GetDict(module);
    PyObject* builtins = builtinsModule();
    if (!builtins || PyDict_SetItemString(globals, "__builtins__", builtins) < 0) return false;
    if (!checkVersion()) return false;
    Ref staticmethod(builtinNamed("staticmethod"));
    if (!staticmethod) return false;
    Ref open(builtinNamed("open"));
    if (!open) return false;
    recordOpen(std::move(open));
    if (!makeConstants() || !recordIo() || !readyFunctionType() || !readyImageType()) return false;
    if (PyDict_SetItemString(globals, "SimpleImage", reinterpret_cast<PyObject*>(imageType())) < 0) return false;
    if (!addPicklingRefusal() || !runModuleBody(globals)) return false;
    for (const FunctionDef* def : {&kReadChunk, &kMakeChunk, &kWritePng, &kWriteBmp}) {
        Ref fn(newFunction(*def));
        if (!fn || PyDict_SetItemString(globals, def->sig.name, fn.get()) < 0) return false;
    }
    if (!addOpeningMethods(staticmethod.get()) || !addImageMethods()) return false;
    PyType_Modified(imageType());
    Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(globals, "__test__", test.get()) < 0) return false;
    // Last, with everything else in place: zlib-ng is imported here, where no
    // decode holds data, and never during one.
    return chooseFastZlib();
}

PyObject* moduleCreate(PyObject* moduleSpec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (gInterpreterId == -1) {
        gInterpreterId = id;
    } else if (gInterpreterId != id) {
        PyErr_SetString(PyExc_ImportError, msg::kOtherInterpreter);
        return nullptr;
    }
    if (process.module) return Py_NewRef(process.module);
    Ref name(PyObject_GetAttrString(moduleSpec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool allowNone;
    };
    for (const Copy& c : {Copy{"loader", "__loader__", true}, Copy{"origin", "__file__", true},
                          Copy{"parent", "__package__", true}, Copy{"submodule_search_locations", "__path__", false}}) {
        Ref value(PyObject_GetAttrString(moduleSpec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if ((c.allowNone || value.get() != Py_None) && PyDict_SetItemString(globals, c.to, value.get()) < 0)
            return nullptr;
    }
    return module.release();
}

int moduleExec(PyObject* module) {
    if (process.module) {
        if (process.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, msg::kReinitialised);
        return -1;
    }
    recordModule(Ref::borrow(module));
    if (execModule(module)) return 0;
    recordModule(Ref());
    return -1;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(moduleCreate)},
    {Py_mod_exec, reinterpret_cast<void*>(moduleExec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The state is process-wide (the static SimpleImage type, the cached
    // constants, the recorded module and interpreter), so the module cannot
    // live in a second interpreter. Saying so lets an interpreter that checks
    // its extensions refuse the import itself; one that does not check reaches
    // the create step, which refuses.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyMethodDef moduleMethods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "simpleImage_ext", nullptr, 0, moduleMethods, moduleSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace mv

PyMODINIT_FUNC PyInit_simpleImage_ext(void) { return PyModuleDef_Init(&mv::moduleDef); }
