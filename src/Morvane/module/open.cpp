// Opening images: the format told by the stream's first bytes, the decoder
// of that format, and SimpleImage.open over a path (inside a `with` block
// over the file) or over bytes (through io.BytesIO).
#include "module/open.hpp"

#include <cstdint>
#include <utility>

#include "bmp/constants.hpp"
#include "bmp/decoder.hpp"
#include "module/image.hpp"
#include "png/constants.hpp"
#include "png/decoder.hpp"
#include "py/function.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

PyObject* streamToImage(PyObject* stream) {
    Ref signature(callMethod(stream, name::read, smallInt(png::kSignatureSize)));
    if (!signature) return nullptr;
    {
        Ref r(callMethod(stream, name::seek, smallInt(0)));
        if (!r) return nullptr;
    }
    {
        Ref expected(lookupGlobal(name::PNG_SIGNATURE));
        if (!expected) return nullptr;
        Ref starts(callMethod(signature.get(), name::startswith, expected.get()));
        if (!starts) return nullptr;
        int isPng = PyObject_IsTrue(starts.get());
        if (isPng < 0) return nullptr;
        if (isPng) return loadPng(stream);
    }
    Ref upToMagic(PySlice_New(nullptr, smallInt(bmp::kMagicSize), nullptr));
    if (!upToMagic) return nullptr;
    Ref head(PyObject_GetItem(signature.get(), upToMagic.get()));
    if (!head) return nullptr;
    int isBmp = equalsBytes(head.get(), bmp::kMagic);
    if (isBmp < 0) return nullptr;
    if (isBmp) return loadBmp(stream);
    raiseValue(msg::kUnsupportedFormat);
    return nullptr;
}

// cls._streamToImage(stream), unpacked into width, height and pixels.
bool decodeStream(PyObject* cls, PyObject* stream, Ref (&parts)[3]) {
    // _streamToImage normally lands in streamToImage (above).
    Ref result(callMethod(cls, name::_streamToImage, stream));
    PyObject* items[3];
    if (!result || !unpackExactly(result.get(), 3, items)) return false;
    for (int k = 0; k < 3; ++k) parts[k].reset(items[k]);
    return true;
}

// The width, height and pixels `source` decodes to, read from a path inside
// a `with` block over the file, or from bytes through io.BytesIO.
bool decodeSource(PyObject* cls, PyObject* source, Ref (&parts)[3]) {
    int isPath = PyUnicode_Check(source);
    if (!isPath) {
        Ref pathType(lookupGlobal(name::Path));
        if (!pathType) return false;
        if ((isPath = PyObject_IsInstance(source, pathType.get())) < 0) return false;
    }
    if (isPath) {
        // The file is closed, on every path, before the image is made.
        const Block block =
            withOpenFile(source, name::rb, [&](PyObject* stream) { return decodeStream(cls, stream, parts); });
        if (block == Block::Suppressed) {
            // The file's manager swallowed the decoder's error: the values
            // the image is made of were never assigned.
            PyErr_SetString(PyExc_UnboundLocalError, msg::kUnboundWidth);
        }
        return block == Block::Completed;
    }
    if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref bytesIO(lookupGlobal(name::BytesIO));
        if (!bytesIO) return false;
        Ref stream(call(bytesIO.get(), source));
        return stream && decodeStream(cls, stream.get(), parts);
    }
    PyErr_SetString(PyExc_TypeError, msg::kSourceType);
    return false;
}

PyObject* openImage(PyObject* cls, PyObject* source) {
    Ref parts[3];  // width, height, pixels
    if (!decodeSource(cls, source, parts)) return nullptr;
    PyTypeObject* const type = imageType();
    Ref image;
    PyObject* pixels = parts[2].get();
    if (cls == reinterpret_cast<PyObject*>(type) && PyByteArray_CheckExact(pixels) && Py_REFCNT(pixels) == 1) {
        // The decoder's buffer is held by nobody else: the new image may keep
        // it as its own copy, after the constructor's tests.
        int32_t width, height;
        if (!toInt32(parts[0].get(), &width) || !toInt32(parts[1].get(), &height)) return nullptr;
        image.reset(adoptBuffer(width, height, std::move(parts[2])));
    } else {
        image.reset(call(cls, parts[0].get(), parts[1].get(), pixels));
    }
    if (!image) return nullptr;
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), type)) {
        PyErr_Format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(image.get())->tp_name, type->tp_name);
        return nullptr;
    }
    return image.release();
}

const FunctionDef kStreamToImage =
    staticMethod<streamToImage>("SimpleImage._streamToImage", {param("stream")}, nullptr);
const FunctionDef kOpen = classMethod<openImage>("SimpleImage.open", {param("source", "ImageInput")}, "'SimpleImage'");

}  // namespace

bool addOpeningMethods(PyObject* staticmethod) {
    {
        Ref fn(newFunction(kStreamToImage));
        if (!fn || !setImageMember("_streamToImage", Ref(PyObject_CallOneArg(staticmethod, fn.get())))) return false;
    }
    Ref fn(newFunction(kOpen));
    return fn && setImageMember("open", Ref(PyClassMethod_New(fn.get())));
}

}  // namespace mv
