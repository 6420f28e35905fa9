// The module Morvane.simpleImage_ext: initialisation, the published names,
// the SimpleImage class and the way in for reading images.
#include <cstring>

#include "bmp/bmp.hpp"
#include "py/function.hpp"
#include "module/image.hpp"
#include "py/messages.hpp"
#include "png/png.hpp"

namespace mv {

namespace {

// ---------------------------------------------------------------------------
// SimpleImage: construction

PyTypeObject ImageType = {
    PyVarObject_HEAD_INIT(nullptr, 0)  //
    "Morvane.simpleImage_ext.SimpleImage",
};

ImageObject* asImage(PyObject* o) { return reinterpret_cast<ImageObject*>(o); }

const Signature kConstructor = {
    "__cinit__", 3, {{"width", nullptr, nullptr, true}, {"height", nullptr, nullptr, true}, {"pixels"}}};

void raiseLengthMismatch() { PyErr_SetString(PyExc_ValueError, msg::kLengthMismatch); }

// The buffer length an image of width x height needs, compared exactly.
bool lengthMatches(int32_t width, int32_t height, Py_ssize_t length) {
    const int64_t area = static_cast<int64_t>(width) * height;
    return area >= 0 && area <= PY_SSIZE_T_MAX / 3 && area * 3 == length;
}

// Steps after binding: the length test, then the private copy. `self` is
// the freshly allocated instance, whose _pixels is None.
bool initialise(PyObject* self, const BoundArgs& args) {
    PyObject* pixels = args.obj[2];
    Py_ssize_t length = PyObject_Length(pixels);
    if (length < 0) return false;
    if (!lengthMatches(args.i32[0], args.i32[1], length)) {
        raiseLengthMismatch();
        return false;
    }
    ImageObject* image = asImage(self);
    image->width = args.i32[0];
    image->height = args.i32[1];
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

PyObject* imageNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self(allocateImage(type));
    if (!self) return nullptr;
    BoundArgs bound;
    if (!bindArgumentsDict(kConstructor, args, kwargs, bound) || !initialise(self.get(), bound)) return nullptr;
    return self.release();
}

// A plain SimpleImage that takes over `buffer`, a bytearray nobody else
// holds, after the same length test the constructor makes.
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
inline bool smallInt(PyObject* v, long* out) {
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
inline bool smallCoords(PyObject* x, PyObject* y, long* lx, long* ly) { return smallInt(x, lx) && smallInt(y, ly); }


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
    int ok = compareTruth(names.int0, x, Py_LE);
    if (ok > 0) {
        Ref width(PyLong_FromLong(image->width));
        if (!width) return nullptr;
        ok = compareTruth(x, width.get(), Py_LT);
    }
    if (ok > 0) ok = compareTruth(names.int0, y, Py_LE);
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
    return PyNumber_Multiply(sum.get(), names.int3);
}

// index + k, as the host adds.
PyObject* offsetIndex(PyObject* index, long k) {
    if (k == 0) return Py_NewRef(index);
    return PyNumber_Add(index, names.byteValues[k]);
}

// The pixel at `index` of an exact bytearray known to hold it.
inline PyObject* pixelTuple(ImageObject* image, Py_ssize_t index) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(image->pixels)) + index;
    PyObject* result = PyTuple_New(3);
    if (!result) return nullptr;
    for (int k = 0; k < 3; ++k) PyTuple_SET_ITEM(result, k, Py_NewRef(names.byteValues[p[k]]));
    return result;
}

PyObject* getPixelImpl(const BoundArgs& args) {
    ImageObject* image = asImage(args.self);
    PyObject *x, *y;
    if (!splitCoords(args.obj[0], &x, &y)) return nullptr;
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
    for (long k = 0; k < 3; ++k) {
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
            if (index >= 0) return pixelTuple(image, index);
        }
    }
    return genericVectorcall(callable, args, nargsf, kwnames);
}

// int(value) & 255 as the host computes it, for one channel.
PyObject* channelByte(PyObject* value) {
    Ref asInt(PyNumber_Long(value));
    if (!asInt) return nullptr;
    return PyNumber_And(asInt.get(), names.int255);
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
            smallInt(channels[0], &r) && smallInt(channels[1], &g) && smallInt(channels[2], &b)) {
            const Py_ssize_t index = fastIndex(image, x, y);
            if (index >= 0) {
                unsigned char* p = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(image->pixels)) + index;
                p[0] = static_cast<unsigned char>(r);
                p[1] = static_cast<unsigned char>(g);
                p[2] = static_cast<unsigned char>(b);
                Py_RETURN_NONE;
            }
        }
    }
    return genericVectorcall(callable, args, nargsf, kwnames);
}

PyObject* putPixelImpl(const BoundArgs& args) {
    ImageObject* image = asImage(args.self);
    PyObject *x, *y;
    if (!splitCoords(args.obj[0], &x, &y)) return nullptr;
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
    if (!unpackExactly(args.obj[1], 3, channels)) return nullptr;
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

PyObject* copyImpl(const BoundArgs& args) {
    ImageObject* image = asImage(args.self);
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
PyObject* saveThrough(PyObject* writer, const BoundArgs& args) {
    ImageObject* image = asImage(args.self);
    Ref write(lookupGlobal(writer));
    if (!write) return nullptr;
    Ref w(PyLong_FromLong(image->width)), h(PyLong_FromLong(image->height));
    if (!w || !h) return nullptr;
    Ref pixels = Ref::borrow(image->pixels);
    Ref result(call(write.get(), args.obj[0], w.get(), h.get(), pixels.get()));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* saveImpl(const BoundArgs& args) { return saveThrough(names._writePng, args); }
PyObject* saveBmpImpl(const BoundArgs& args) { return saveThrough(names._writeBmp, args); }

PyObject* refusePickle(const BoundArgs&) {
    PyErr_SetString(PyExc_TypeError, msg::kNoPickle);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Opening images

PyObject* streamToImageImpl(const BoundArgs& args) {
    PyObject* stream = args.obj[0];
    Ref signature(callMethod(stream, names.read, names.int8));
    if (!signature) return nullptr;
    {
        Ref r(callMethod(stream, names.seek, names.int0));
        if (!r) return nullptr;
    }
    {
        Ref expected(lookupGlobal(names.PNG_SIGNATURE));
        if (!expected) return nullptr;
        Ref starts(callMethod(signature.get(), names.startswith, expected.get()));
        if (!starts) return nullptr;
        int isPng = PyObject_IsTrue(starts.get());
        if (isPng < 0) return nullptr;
        if (isPng) return loadPng(stream);
    }
    Ref upToTwo(PySlice_New(nullptr, names.int2, nullptr));
    if (!upToTwo) return nullptr;
    Ref head(PyObject_GetItem(signature.get(), upToTwo.get()));
    if (!head) return nullptr;
    int isBmp = equalsBytes(head.get(), names.bytesBM);
    if (isBmp < 0) return nullptr;
    if (isBmp) return loadBmp(stream);
    raiseValue(msg::kUnsupportedFormat);
    return nullptr;
}

// cls._streamToImage(stream), unpacked into width, height and pixels.
bool decodeStream(PyObject* cls, PyObject* stream, Ref* parts) {
    Ref result(callMethod(cls, names._streamToImage, stream));
    PyObject* items[3];
    if (!result || !unpackExactly(result.get(), 3, items)) return false;
    for (int k = 0; k < 3; ++k) parts[k].reset(items[k]);
    return true;
}

PyObject* openImpl(const BoundArgs& args) {
    PyObject* cls = args.self;
    PyObject* source = args.obj[0];
    int isPath = PyUnicode_Check(source);
    if (!isPath) {
        Ref pathType(lookupGlobal(names.Path));
        if (!pathType) return nullptr;
        if ((isPath = PyObject_IsInstance(source, pathType.get())) < 0) return nullptr;
    }
    Ref parts[3];  // width, height, pixels
    if (isPath) {
        // The file is closed, on every path, before the image is made.
        const Block block =
            withOpenFile(source, names.rb, [&](PyObject* stream) { return decodeStream(cls, stream, parts); });
        if (block == Block::Failed) return nullptr;
        if (block == Block::Suppressed) {
            // The file's manager swallowed the decoder's error: the values
            // the image is made of were never assigned.
            PyErr_SetString(PyExc_UnboundLocalError, msg::kUnboundWidth);
            return nullptr;
        }
    } else if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref bytesIO(lookupGlobal(names.BytesIO));
        if (!bytesIO) return nullptr;
        Ref stream(call(bytesIO.get(), source));
        if (!stream || !decodeStream(cls, stream.get(), parts)) return nullptr;
    } else {
        PyErr_SetString(PyExc_TypeError, msg::kSourceType);
        return nullptr;
    }
    Ref image;
    PyObject* pixels = parts[2].get();
    if (cls == reinterpret_cast<PyObject*>(&ImageType) && PyByteArray_CheckExact(pixels) && Py_REFCNT(pixels) == 1) {
        // The decoder's buffer is held by nobody else: the new image may keep
        // it as its own copy, after the constructor's tests.
        BoundArgs bound;
        bound.obj[0] = parts[0].get();
        bound.obj[1] = parts[1].get();
        if (!toInt32(parts[0].get(), &bound.i32[0]) || !toInt32(parts[1].get(), &bound.i32[1])) return nullptr;
        image.reset(adoptBuffer(bound.i32[0], bound.i32[1], std::move(parts[2])));
    } else {
        image.reset(call(cls, parts[0].get(), parts[1].get(), pixels));
    }
    if (!image) return nullptr;
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), &ImageType)) {
        PyErr_Format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(image.get())->tp_name, ImageType.tp_name);
        return nullptr;
    }
    return image.release();
}

// ---------------------------------------------------------------------------
// Published functions and methods

const FunctionDef kGetPixel = {
    "SimpleImage.getPixel", Kind::Method, {"getPixel", 1, {{"coords", "Tuple[int, int]", &PyTuple_Type}}},
    "Tuple[int, int, int]", getPixelImpl, getPixelShortcut};
const FunctionDef kPutPixel = {
    "SimpleImage.putPixel",
    Kind::Method,
    {"putPixel", 2, {{"coords", "Tuple[int, int]", &PyTuple_Type}, {"value", "Sequence[int]"}}},
    "None",
    putPixelImpl,
    putPixelShortcut};
const FunctionDef kCopy = {"SimpleImage.copy", Kind::Method, {"copy", 0, {}}, "'SimpleImage'", copyImpl};
const FunctionDef kStreamToImage = {
    "SimpleImage._streamToImage", Kind::StaticMethod, {"_streamToImage", 1, {{"stream"}}}, nullptr, streamToImageImpl};
const FunctionDef kOpen = {
    "SimpleImage.open", Kind::ClassMethod, {"open", 1, {{"source", "ImageInput"}}}, "'SimpleImage'", openImpl};
const FunctionDef kSave = {
    "SimpleImage.save", Kind::Method, {"save", 1, {{"path", "str", &PyUnicode_Type}}}, "None", saveImpl};
const FunctionDef kSaveBmp = {
    "SimpleImage.saveBmp", Kind::Method, {"saveBmp", 1, {{"path", "str", &PyUnicode_Type}}}, "None", saveBmpImpl};
const FunctionDef kReduce = {"SimpleImage.__reduce__", Kind::Method, {"__reduce__", 0, {}}, nullptr, refusePickle};
const FunctionDef kSetstate = {
    "SimpleImage.__setstate__", Kind::Method, {"__setstate__", 1, {{"state"}}}, nullptr, refusePickle};

// ---------------------------------------------------------------------------
// Initialisation

int64_t gInterpreterId = -1;

PyObject* builtinsModule() { return PyImport_AddModule("builtins"); }

bool setTypeMember(const char* name, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(ImageType.tp_dict, name, owned.get()) == 0;
}

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

// `import name` into the namespace `globals`.
bool importModule(PyObject* globals, const char* name) {
    Ref module(PyImport_ImportModuleLevel(name, globals, nullptr, nullptr, 0));
    return module && PyDict_SetItemString(globals, name, module.get()) == 0;
}

// `from module import n1, n2, ...` into the namespace `globals`.
bool importFrom(PyObject* globals, const char* module, std::initializer_list<const char*> what) {
    Ref fromlist(PyTuple_New(static_cast<Py_ssize_t>(what.size())));
    if (!fromlist) return false;
    Py_ssize_t i = 0;
    for (const char* n : what) {
        PyObject* s = PyUnicode_FromString(n);
        if (!s) return false;
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref source(PyImport_ImportModuleLevel(module, globals, nullptr, fromlist.get(), 0));
    if (!source) return false;
    for (const char* n : what) {
        Ref value(PyObject_GetAttrString(source.get(), n));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, msg::kCannotImportName, n, module);
            return false;
        }
        if (PyDict_SetItemString(globals, n, value.get()) < 0) return false;
    }
    return true;
}

PyObject* builtinNamed(const char* name) {
    PyObject* builtins = builtinsModule();
    if (!builtins) return nullptr;
    Ref key(PyUnicode_InternFromString(name));
    if (!key) return nullptr;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(builtins), key.get());
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNotDefined, key.get());
        return nullptr;
    }
    return Py_NewRef(value);
}

bool checkVersion() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    // GCOVR_EXCL_START only in a Python of another version than the build's, whose import system refuses the file by its name first
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, msg::kVersionMismatch, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                            "Morvane.simpleImage_ext", "does not match", major, minor) == 0;
    // GCOVR_EXCL_STOP
}

// The exec step after the module has been recorded.
bool execModule(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    PyObject* builtins = builtinsModule();
    if (!builtins || PyDict_SetItemString(globals, "__builtins__", builtins) < 0) return false;
    if (!checkVersion()) return false;
    Ref staticmethod(builtinNamed("staticmethod"));
    if (!staticmethod) return false;
    PyObject* open = builtinNamed("open");
    if (!open) return false;
    setBuiltinOpen(open);
    if (!initNames() || !readyFunctionType() || !readyImageType()) return false;
    if (PyDict_SetItemString(globals, "SimpleImage", reinterpret_cast<PyObject*>(&ImageType)) < 0) return false;
    if (!setTypeMember("__reduce__", newFunction(kReduce)) || !setTypeMember("__setstate__", newFunction(kSetstate)))
        return false;
    PyType_Modified(&ImageType);

    // The module body.
    if (!importModule(globals, "struct") || !importModule(globals, "zlib") || !importFrom(globals, "io", {"BytesIO"}) ||
        !importFrom(globals, "pathlib", {"Path"}) ||
        !importFrom(globals, "typing", {"List", "Sequence", "Tuple", "Union"}))
        return false;
    {
        // Looked up with the interned key, which cannot fail for want of
        // memory (a C-string key would be made anew, and its failure would
        // read as a missing entry).
        PyObject* zlib = PyDict_GetItemWithError(globals, names.zlib);
        if (!zlib) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, msg::kNotDefined, names.zlib);
            return false;
        }
        if (!recordZlib(zlib)) return false;
    }
    {
        Ref signature(PyBytes_FromStringAndSize(kPngSignature, 8));
        if (!signature || PyDict_SetItemString(globals, "PNG_SIGNATURE", signature.get()) < 0) return false;
    }
    {
        Ref unionForm(lookupGlobal(names.Union));
        Ref path(unionForm ? lookupGlobal(names.Path) : nullptr);
        if (!path) return false;
        Ref members(PyTuple_Pack(4, &PyUnicode_Type, path.get(), &PyBytes_Type, &PyByteArray_Type));
        if (!members) return false;
        Ref alias(PyObject_GetItem(unionForm.get(), members.get()));
        if (!alias || PyDict_SetItemString(globals, "ImageInput", alias.get()) < 0) return false;
    }
    for (const FunctionDef* def : {&kReadChunk, &kMakeChunk, &kWritePng, &kWriteBmp}) {
        Ref fn(newFunction(*def));
        if (!fn || PyDict_SetItemString(globals, def->sig.name, fn.get()) < 0) return false;
    }
    {
        Ref fn(newFunction(kStreamToImage));
        if (!fn || !setTypeMember("_streamToImage", PyObject_CallOneArg(staticmethod.get(), fn.get()))) return false;
    }
    {
        Ref fn(newFunction(kOpen));
        if (!fn || !setTypeMember("open", PyClassMethod_New(fn.get()))) return false;
    }
    for (const FunctionDef* def : {&kGetPixel, &kPutPixel, &kCopy, &kSave, &kSaveBmp})
        if (!setTypeMember(def->sig.name, newFunction(*def))) return false;
    PyType_Modified(&ImageType);
    Ref test(PyDict_New());
    return test && PyDict_SetItemString(globals, "__test__", test.get()) == 0;
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
    if (PyObject* recorded = recordedModule()) return Py_NewRef(recorded);
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
    if (PyObject* recorded = recordedModule()) {
        if (recorded == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, msg::kReinitialised);
        return -1;
    }
    setRecordedModule(Py_NewRef(module));
    if (execModule(module)) return 0;
    setRecordedModule(nullptr);
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

PyTypeObject* imageType() { return &ImageType; }

}  // namespace mv

PyMODINIT_FUNC PyInit_simpleImage_ext(void) { return PyModuleDef_Init(&mv::moduleDef); }
