/* Experiment for bench_pixels: what a getPixel call costs depending on how
 * the method is reached, with the same body each time.
 *
 *   get_o          a METH_O method descriptor (CPython 3.11 specialises the
 *                  call: PRECALL_NO_KW_METHOD_DESCRIPTOR_O)
 *   get_o_table    the same, channel ints taken from a 256-entry table
 *   get_fastkw     a METH_FASTCALL|METH_KEYWORDS descriptor (also specialised)
 *   get_custom     a custom callable type with vectorcall and
 *                  Py_TPFLAGS_METHOD_DESCRIPTOR, as Morvane's function objects
 *                  are (3.11 cannot specialise the call: generic CALL path)
 *   get_custom_table  the same with the int table
 * Built and timed by callpath.py; not part of the package.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

typedef struct {
    PyObject_HEAD
    int width, height;
    PyObject* pixels;
} Img;

static PyObject* small[256];
static PyTypeObject Img_Type;

static PyObject* body(PyObject* self, PyObject* coords, int table) {
    Img* im = (Img*)self;
    if (!PyTuple_CheckExact(coords) || PyTuple_GET_SIZE(coords) != 2) {
        PyErr_SetString(PyExc_TypeError, "coords");
        return NULL;
    }
    long x = PyLong_AsLong(PyTuple_GET_ITEM(coords, 0)), y = PyLong_AsLong(PyTuple_GET_ITEM(coords, 1));
    if (x < 0 || x >= im->width || y < 0 || y >= im->height) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "Pixel coordinate out of bounds");
        return NULL;
    }
    const unsigned char* p = (const unsigned char*)PyByteArray_AS_STRING(im->pixels) + (y * im->width + x) * 3;
    PyObject* t = PyTuple_New(3);
    if (!t) return NULL;
    for (int k = 0; k < 3; ++k)
        PyTuple_SET_ITEM(t, k, table ? Py_NewRef(small[p[k]]) : PyLong_FromLong(p[k]));
    return t;
}

static PyObject* get_o(PyObject* self, PyObject* c) { return body(self, c, 0); }
static PyObject* get_o_table(PyObject* self, PyObject* c) { return body(self, c, 1); }
static PyObject* get_fastkw(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
    if (n != 1 || kw) {
        PyErr_SetString(PyExc_TypeError, "args");
        return NULL;
    }
    return body(self, args[0], 0);
}

typedef struct {
    PyObject_HEAD
    vectorcallfunc vc;
} Fn;

static PyObject* custom(PyObject* const* args, size_t nargsf, PyObject* kw, int table) {
    if (PyVectorcall_NARGS(nargsf) != 2 || kw || !PyObject_TypeCheck(args[0], &Img_Type)) {
        PyErr_SetString(PyExc_TypeError, "args");
        return NULL;
    }
    return body(args[0], args[1], table);
}
static PyObject* fn_plain(PyObject* f, PyObject* const* a, size_t n, PyObject* kw) { return custom(a, n, kw, 0); }
static PyObject* fn_table(PyObject* f, PyObject* const* a, size_t n, PyObject* kw) { return custom(a, n, kw, 1); }
static PyObject* fn_get(PyObject* self, PyObject* obj, PyObject* type) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}
static PyTypeObject Fn_Type = {PyVarObject_HEAD_INIT(NULL, 0) "callpath.function"};

static PyMethodDef img_methods[] = {
    {"get_o", get_o, METH_O, NULL},
    {"get_o_table", get_o_table, METH_O, NULL},
    {"get_fastkw", (PyCFunction)(void (*)(void))get_fastkw, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL}};

static int img_init(PyObject* self, PyObject* args, PyObject* kw) {
    Img* im = (Img*)self;
    PyObject* px;
    if (!PyArg_ParseTuple(args, "iiY", &im->width, &im->height, &px)) return -1;
    Py_XSETREF(im->pixels, Py_NewRef(px));
    return 0;
}
static void img_dealloc(PyObject* self) {
    Py_XDECREF(((Img*)self)->pixels);
    Py_TYPE(self)->tp_free(self);
}
static PyTypeObject Img_Type = {PyVarObject_HEAD_INIT(NULL, 0) "callpath.Img"};
static struct PyModuleDef mod = {PyModuleDef_HEAD_INIT, "callpath", NULL, -1, NULL};

static int add_custom(const char* name, vectorcallfunc vc) {
    Fn* f = PyObject_New(Fn, &Fn_Type);
    if (!f) return -1;
    f->vc = vc;
    int r = PyDict_SetItemString(Img_Type.tp_dict, name, (PyObject*)f);
    Py_DECREF(f);
    return r;
}

PyMODINIT_FUNC PyInit_callpath(void) {
    for (int i = 0; i < 256; ++i) small[i] = PyLong_FromLong(i);
    Fn_Type.tp_basicsize = sizeof(Fn);
    Fn_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    Fn_Type.tp_vectorcall_offset = offsetof(Fn, vc);
    Fn_Type.tp_call = PyVectorcall_Call;
    Fn_Type.tp_descr_get = fn_get;
    if (PyType_Ready(&Fn_Type) < 0) return NULL;
    Img_Type.tp_basicsize = sizeof(Img);
    Img_Type.tp_flags = Py_TPFLAGS_DEFAULT;
    Img_Type.tp_new = PyType_GenericNew;
    Img_Type.tp_init = img_init;
    Img_Type.tp_dealloc = img_dealloc;
    Img_Type.tp_methods = img_methods;
    if (PyType_Ready(&Img_Type) < 0) return NULL;
    if (add_custom("get_custom", fn_plain) < 0 || add_custom("get_custom_table", fn_table) < 0) return NULL;
    PyType_Modified(&Img_Type);
    PyObject* m = PyModule_Create(&mod);
    if (m && PyModule_AddObject(m, "Img", Py_NewRef((PyObject*)&Img_Type)) < 0) return NULL;
    return m;
}
