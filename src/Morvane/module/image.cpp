// The SimpleImage class: construction (the length test, then a private copy
// of the pixels), the attributes, pixel access (with vectorcall shortcuts for
// the common calls), copy, save and saveBmp, and the refusal to pickle.
#include "module/image.hpp"

#include <utility>

#include "core/paths.hpp"
#include "py/buffers.hpp"
#include "py/function.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

constexpr int kBytesPerPixel = 3;

// ---------------------------------------------------------------------------
// SimpleImage: construction

PyTypeObject ImageType = {
    PyVarObject_HEAD_INIT(nullptr, 0)  //
    "Morvane.simpleImage_ext.SimpleImage",
};

ImageObject* asImage(PyObject* o) { return reinterpret_cast<ImageObject*>(o); }

void raiseLengthMismatch() { PyErr_SetString(PyExc_ValueError, msg::kLengthMismatch); }

// The buffer length an image of width x height needs, compared exactly.
bool lengthMatches(int32_t width, int32_t height, Py_ssize_t length) {
    const int64_t area = static_cast<int64_t>(width) * height;
    return area >= 0 && area <= PY_SSIZE_T_MAX / 3 && area * 3 == length;
}

// Steps after binding: the length test, then the private copy. `image` is
// the freshly allocated instance, whose _pixels is None.
bool initialise(ImageObject* image, int32_t width, int32_t height, PyObject* pixels) {
    Py_ssize_t length = PyObject_Length(pixels);
    if (length < 0) return false;
    if (!lengthMatches(width, height, length)) {
        raiseLengthMismatch();
        return false;
    }
    image->width = width;
    image->height = height;
    Ref copy(copyToByteArray(pixels));
    if (!copy) return false;
    // The length test counted items, the copy counts bytes: an array of wider
    // items (int64, float, array('H')) passes the first and copies its raw
    // bytes. An image whose buffer does not fit its size is refused.
    if (PyByteArray_GET_SIZE(copy.get()) != length) {
        raiseLengthMismatch();
        return false;
    }
    Py_SETREF(image->pixels, copy.release());
    return true;
}

PyObject* allocateImage(PyTypeObject* type) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ImageObject* image = asImage(self);
    image->width = 0;
    image->height = 0;
    image->pixels = Py_NewRef(Py_None);
    return self;
}

const Signature kConstructor =
    constructorSignature<initialise>("__cinit__", {param("width"), param("height"), param("pixels")});

PyObject* imageNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self(allocateImage(type));
    if (!self) return nullptr;
    BoundArgs bound;
    if (!bindArgumentsDict(kConstructor, args, kwargs, bound) || !callConstructorStep<initialise>(self.get(), bound))
        return nullptr;
    return self.release();
}

}  // namespace

PyObject* adoptBuffer(int32_t width, int32_t height, Ref buffer) {
    if (!lengthMatches(width, height, PyByteArray_GET_SIZE(buffer.get()))) {
        raiseLengthMismatch();
        return nullptr;
    }
    PyObject* self = allocateImage(&ImageType);
    if (!self) return nullptr;
    asImage(self)->width = width;
    asImage(self)->height = height;
    Py_SETREF(asImage(self)->pixels, buffer.release());
    return self;
}

namespace {

void imageDealloc(PyObject* self) {
    Py_CLEAR(asImage(self)->pixels);
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------
// SimpleImage: attributes

PyObject* getSize(PyObject* self, void*) { return Py_BuildValue("(ii)", asImage(self)->width, asImage(self)->height); }

PyObject* getWidth(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->width); }
PyObject* getHeight(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->height); }

int setDimension(int32_t* field, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, msg::kDeleteDimension);
        return -1;
    }
    int32_t converted;
    if (!toInt32(value, &converted)) return -1;
    *field = converted;
    return 0;
}

int setWidth(PyObject* self, PyObject* value, void*) { return setDimension(&asImage(self)->width, value); }
int setHeight(PyObject* self, PyObject* value, void*) { return setDimension(&asImage(self)->height, value); }

PyObject* getPixels(PyObject* self, void*) { return Py_NewRef(asImage(self)->pixels); }

int setPixels(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyByteArray_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, msg::kExpectedType, "bytearray", Py_TYPE(value)->tp_name);
        return -1;
    }
    Py_SETREF(asImage(self)->pixels, Py_NewRef(value));
    return 0;
}

PyGetSetDef imageGetset[] = {
    {"size", getSize, nullptr, nullptr, nullptr},       {"width", getWidth, setWidth, nullptr, nullptr},
    {"height", getHeight, setHeight, nullptr, nullptr}, {"_pixels", getPixels, setPixels, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// SimpleImage: pixel access

void raiseOutOfBounds() { PyErr_SetString(PyExc_ValueError, msg::kOutOfBounds); }

// Splits a coordinate tuple into x and y (borrowed).
bool splitCoords(PyObject* coords, PyObject** x, PyObject** y) {
    Py_ssize_t n = PyTuple_GET_SIZE(coords);
    if (n != 2) {
        if (n > 2)
            raiseTooMany(2);
        else
            raiseNeedMore(n);
        return false;
    }
    *x = PyTuple_GET_ITEM(coords, 0);
    *y = PyTuple_GET_ITEM(coords, 1);
    return true;
}

// The value of an exact int of at most one digit (every coordinate an
// image can have fits one); false for anything else.
inline bool exactSmallInt(PyObject* v, long* out) {
    if (!PyLong_CheckExact(v)) return false;
#if PY_VERSION_HEX < 0x030C0000
    const Py_ssize_t size = Py_SIZE(v);
    if (size < -1 || size > 1) return false;
    *out = size * static_cast<long>(reinterpret_cast<PyLongObject*>(v)->ob_digit[0]);
    return true;
#else
    int overflow;
    *out = PyLong_AsLongAndOverflow(v, &overflow);
    return !overflow;
#endif
}

// Machine-word coordinates of exact ints, when both fit.
inline bool smallCoords(PyObject* x, PyObject* y, long* lx, long* ly) {
    return exactSmallInt(x, lx) && exactSmallInt(y, ly);
}


// Byte index of (x, y) in the current buffer when it is an exact bytearray
// holding the whole pixel; -1 otherwise (the generic path then decides).
Py_ssize_t fastIndex(ImageObject* image, long x, long y) {
    PyObject* pixels = image->pixels;
    if (!PyByteArray_CheckExact(pixels)) return -1;
    const uint64_t index =
        (static_cast<uint64_t>(y) * static_cast<uint64_t>(image->width) + static_cast<uint64_t>(x)) * 3u;
    if (index + 2 >= static_cast<uint64_t>(PyByteArray_GET_SIZE(pixels))) return -1;
    return static_cast<Py_ssize_t>(index);
}

bool inBounds(ImageObject* image, long x, long y) { return x >= 0 && x < image->width && y >= 0 && y < image->height; }

// The generic bounds test and index: the host's comparisons and arithmetic
// on the coordinates as passed. Returns the index object or nullptr.
PyObject* genericIndex(ImageObject* image, PyObject* x, PyObject* y) {
    int ok = compareTruth(smallInt(0), x, Py_LE);
    if (ok > 0) {
        Ref width(PyLong_FromLong(image->width));
        if (!width) return nullptr;
        ok = compareTruth(x, width.get(), Py_LT);
    }
    if (ok > 0) ok = compareTruth(smallInt(0), y, Py_LE);
    if (ok > 0) {
        Ref height(PyLong_FromLong(image->height));
        if (!height) return nullptr;
        ok = compareTruth(y, height.get(), Py_LT);
    }
    if (ok < 0) return nullptr;
    if (ok == 0) {
        raiseOutOfBounds();
        return nullptr;
    }
    Ref width(PyLong_FromLong(image->width));
    if (!width) return nullptr;
    Ref row(PyNumber_Multiply(y, width.get()));
    if (!row) return nullptr;
    Ref sum(PyNumber_Add(row.get(), x));
    if (!sum) return nullptr;
    return PyNumber_Multiply(sum.get(), smallInt(kBytesPerPixel));
}

// index + k, as the host adds.
PyObject* offsetIndex(PyObject* index, int k) {
    if (k == 0) return Py_NewRef(index);
    return PyNumber_Add(index, smallInt(k));
}

// The pixel at `index` of an exact bytearray known to hold it.
inline PyObject* pixelTuple(ImageObject* image, Py_ssize_t index) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(image->pixels)) + index;
    PyObject* result = PyTuple_New(3);
    if (!result) return nullptr;
    for (int k = 0; k < 3; ++k) PyTuple_SET_ITEM(result, k, Py_NewRef(smallInt(p[k])));
    return result;
}

PyObject* getPixel(ImageObject* image, PyObject* coords) {
    PyObject *x, *y;
    if (!splitCoords(coords, &x, &y)) return nullptr;
    long lx, ly;
    if (smallCoords(x, y, &lx, &ly)) {
        if (!inBounds(image, lx, ly)) {
            raiseOutOfBounds();
            return nullptr;
        }
        Py_ssize_t index = fastIndex(image, lx, ly);
        if (index >= 0) return pixelTuple(image, index);
    }
    Ref index(genericIndex(image, x, y));
    if (!index) return nullptr;
    Ref items[3];
    for (int k = 0; k < 3; ++k) {
        Ref at(offsetIndex(index.get(), k));
        if (!at) return nullptr;
        Ref pixels = Ref::borrow(image->pixels);
        items[k].reset(PyObject_GetItem(pixels.get(), at.get()));
        if (!items[k]) return nullptr;
    }
    return PyTuple_Pack(3, items[0].get(), items[1].get(), items[2].get());
}

// getPixel(self, (x, y)) by position with exact ints inside the image and
// an exact bytearray holding the pixel; any other call binds generically.
PyObject* getPixelShortcut(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) == 2 && !kwnames && Py_IS_TYPE(args[0], &ImageType) && PyTuple_CheckExact(args[1]) &&
        PyTuple_GET_SIZE(args[1]) == 2) {
        ImageObject* image = asImage(args[0]);
        long x, y;
        if (smallCoords(PyTuple_GET_ITEM(args[1], 0), PyTuple_GET_ITEM(args[1], 1), &x, &y) && inBounds(image, x, y)) {
            const Py_ssize_t index = fastIndex(image, x, y);
            if (index >= 0) {
                countPath(Path::PixelCalls);
                return pixelTuple(image, index);
            }
        }
    }
    return genericVectorcall(callable, args, nargsf, kwnames);
}

// int(value) & 255 as the host computes it, for one channel.
PyObject* channelByte(PyObject* value) {
    Ref asInt(PyNumber_Long(value));
    if (!asInt) return nullptr;
    return PyNumber_And(asInt.get(), smallInt(255));
}

// The low eight bits of an exact int, or -1 when it does not fit a long.
int exactChannel(PyObject* value) {
    if (!PyLong_CheckExact(value)) return -1;
    int overflow;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow) return -1;
    return static_cast<int>(static_cast<unsigned long>(v) & 255u);
}

// putPixel(self, (x, y), (r, g, b)) by position with exact ints everywhere,
// the coordinates inside the image and an exact bytearray holding the
// pixel; any other call binds generically.
PyObject* putPixelShortcut(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) == 3 && !kwnames && Py_IS_TYPE(args[0], &ImageType) && PyTuple_CheckExact(args[1]) &&
        PyTuple_GET_SIZE(args[1]) == 2 && (PyTuple_CheckExact(args[2]) || PyList_CheckExact(args[2])) &&
        Py_SIZE(args[2]) == 3) {
        ImageObject* image = asImage(args[0]);
        PyObject* const* channels =
            PyTuple_CheckExact(args[2]) ? &PyTuple_GET_ITEM(args[2], 0) : &PyList_GET_ITEM(args[2], 0);
        long x, y, r, g, b;
        if (smallCoords(PyTuple_GET_ITEM(args[1], 0), PyTuple_GET_ITEM(args[1], 1), &x, &y) && inBounds(image, x, y) &&
            exactSmallInt(channels[0], &r) && exactSmallInt(channels[1], &g) && exactSmallInt(channels[2], &b)) {
            const Py_ssize_t index = fastIndex(image, x, y);
            if (index >= 0) {
                unsigned char* p = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(image->pixels)) + index;
                p[0] = static_cast<unsigned char>(r);
                p[1] = static_cast<unsigned char>(g);
                p[2] = static_cast<unsigned char>(b);
                countPath(Path::PixelCalls);
                Py_RETURN_NONE;
            }
        }
    }
    return genericVectorcall(callable, args, nargsf, kwnames);
}

PyObject* putPixel(ImageObject* image, PyObject* coords, PyObject* value) {
    PyObject *x, *y;
    if (!splitCoords(coords, &x, &y)) return nullptr;
    long lx, ly;
    Py_ssize_t fast = -1;
    Ref index;
    if (smallCoords(x, y, &lx, &ly)) {
        if (!inBounds(image, lx, ly)) {
            raiseOutOfBounds();
            return nullptr;
        }
        fast = fastIndex(image, lx, ly);
    }
    if (fast < 0) {
        index.reset(genericIndex(image, x, y));
        if (!index) return nullptr;
    }
    PyObject* channels[3];
    if (!unpackExactly(value, 3, channels)) return nullptr;
    Ref owned[3] = {Ref(channels[0]), Ref(channels[1]), Ref(channels[2])};
    // Drawing the items of an iterable `value` runs user code, which may have
    // replaced, shrunk or deleted the buffer since the index was computed:
    // then the index goes through the buffer's own indexing below.
    if (fast >= 0 && (!PyByteArray_CheckExact(image->pixels) || fast + 2 >= PyByteArray_GET_SIZE(image->pixels))) {
        index.reset(PyLong_FromSsize_t(fast));
        if (!index) return nullptr;
        fast = -1;
    }
    // Exact ints on the fast path are written straight into the buffer: no
    // user code runs in between, so the buffer cannot change under us.
    int k = 0;
    if (fast >= 0) {
        unsigned char* p = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(image->pixels)) + fast;
        for (; k < 3; ++k) {
            int byte = exactChannel(channels[k]);
            if (byte < 0) break;
            p[k] = static_cast<unsigned char>(byte);
        }
        if (k == 3) Py_RETURN_NONE;
        index.reset(PyLong_FromSsize_t(fast));
        if (!index) return nullptr;
    }
    // Any other channel value: convert it, then write it through the
    // buffer's own indexing, one channel at a time.
    for (; k < 3; ++k) {
        Ref byte(channelByte(channels[k]));
        if (!byte) return nullptr;
        Ref at(offsetIndex(index.get(), k));
        if (!at) return nullptr;
        Ref pixels = Ref::borrow(image->pixels);
        if (PyObject_SetItem(pixels.get(), at.get(), byte.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* copy(ImageObject* image) {
    PyObject* pixels = image->pixels;
    Ref slice;
    if (PyByteArray_CheckExact(pixels))
        slice.reset(copyToNewByteArray(PyByteArray_AS_STRING(pixels), PyByteArray_GET_SIZE(pixels)));
    else {
        Ref all(PySlice_New(nullptr, nullptr, nullptr));
        if (!all) return nullptr;
        slice.reset(PyObject_GetItem(pixels, all.get()));
    }
    if (!slice) return nullptr;
    // The slice is ours alone, so the new image may keep it as its copy.
    if (PyByteArray_CheckExact(slice.get())) return adoptBuffer(image->width, image->height, std::move(slice));
    // GCOVR_EXCL_START unreachable: _pixels is an exact bytearray or None (its setter takes nothing else), so the slice is a bytearray or failed
    Ref width(PyLong_FromLong(image->width));
    Ref height(PyLong_FromLong(image->height));
    if (!width || !height) return nullptr;
    return call(reinterpret_cast<PyObject*>(&ImageType), width.get(), height.get(), slice.get());
    // GCOVR_EXCL_STOP
}

// save and saveBmp: hand the image's fields, its live buffer included, to
// the module-level writer named `writer`, looked up at each call.
PyObject* saveThrough(PyObject* writer, ImageObject* image, PyObject* path) {
    // _writePng or _writeBmp: normally lands in writePng (png/encoder.cpp) or writeBmp (bmp/encoder.cpp).
    Ref write(lookupGlobal(writer));
    if (!write) return nullptr;
    Ref w(PyLong_FromLong(image->width)), h(PyLong_FromLong(image->height));
    if (!w || !h) return nullptr;
    Ref pixels = Ref::borrow(image->pixels);
    Ref result(call(write.get(), path, w.get(), h.get(), pixels.get()));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save(ImageObject* image, PyObject* path) { return saveThrough(name::_writePng, image, path); }
PyObject* saveBmp(ImageObject* image, PyObject* path) { return saveThrough(name::_writeBmp, image, path); }

PyObject* refusePickle(PyObject*) {
    PyErr_SetString(PyExc_TypeError, msg::kNoPickle);
    return nullptr;
}
PyObject* refuseSetstate(PyObject* self, PyObject*) { return refusePickle(self); }


const FunctionDef kGetPixel =
    method<getPixel>(&ImageType, "SimpleImage.getPixel", {exact("coords", &PyTuple_Type, "Tuple[int, int]")},
                     "Tuple[int, int, int]", getPixelShortcut);
const FunctionDef kPutPixel = method<putPixel>(
    &ImageType, "SimpleImage.putPixel",
    {exact("coords", &PyTuple_Type, "Tuple[int, int]"), param("value", "Sequence[int]")}, "None", putPixelShortcut);
const FunctionDef kCopy = method<copy>(&ImageType, "SimpleImage.copy", "'SimpleImage'");
const FunctionDef kSave = method<save>(&ImageType, "SimpleImage.save", {exact("path", &PyUnicode_Type, "str")}, "None");
const FunctionDef kSaveBmp =
    method<saveBmp>(&ImageType, "SimpleImage.saveBmp", {exact("path", &PyUnicode_Type, "str")}, "None");
const FunctionDef kReduce = method<refusePickle>(&ImageType, "SimpleImage.__reduce__", nullptr);
const FunctionDef kSetstate = method<refuseSetstate>(&ImageType, "SimpleImage.__setstate__", {param("state")}, nullptr);

}  // namespace

PyTypeObject* imageType() { return &ImageType; }

bool readyImageType() {
    if (ImageType.tp_flags & Py_TPFLAGS_READY) return true;
    ImageType.tp_basicsize = sizeof(ImageObject);
    ImageType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    ImageType.tp_doc = "SimpleImage(width, height, pixels)\n--\n\nA minimal RGB image helper.";
    ImageType.tp_new = imageNew;
    ImageType.tp_dealloc = imageDealloc;
    ImageType.tp_getset = imageGetset;
    return PyType_Ready(&ImageType) == 0;
}

bool setImageMember(const char* name, Ref value) {
    return value && PyDict_SetItemString(ImageType.tp_dict, name, value.get()) == 0;
}

bool addPicklingRefusal() {
    if (!setImageMember("__reduce__", Ref(newFunction(kReduce))) ||
        !setImageMember("__setstate__", Ref(newFunction(kSetstate))))
        return false;
    PyType_Modified(&ImageType);
    return true;
}

bool addImageMethods() {
    for (const FunctionDef* def : {&kGetPixel, &kPutPixel, &kCopy, &kSave, &kSaveBmp})
        if (!setImageMember(def->sig.name, Ref(newFunction(*def)))) return false;
    return true;
}

}  // namespace mv

#ifdef MV_COUNT_PATHS
// The counts of a counting build, for its tests (which read them with ctypes).
extern "C" __attribute__((visibility("default"))) const uint64_t* morvanePathCounts() { return mv::pathCounts; }
#endif
