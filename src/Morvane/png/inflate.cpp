// The inflater bridge: compressed data handed to a Python inflater object in
// bounded pieces, its output handed on to the row core as it comes.
#include "png/inflate.hpp"

#include <utility>

#include "py/host.hpp"

namespace mv {

bool fastZlib(PyObject** module) {
    if (!process.fastZlib.tried) {
        process.fastZlib.module = PyImport_ImportModule("zlib_ng.zlib_ng");
        if (!process.fastZlib.module) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            const bool missing = PyErr_ExceptionMatches(PyExc_ImportError);
            PyErr_Clear();
            if (!missing) {
                *module = nullptr;
                return true;
            }
        }
        process.fastZlib.tried = true;
    }
    *module = process.fastZlib.module;
    return true;
}

namespace {

// The pieces the inflaters work in: at most this much compressed data per
// call, and at most kOutputPiece of output. Larger output pieces let more
// matches copy from the output itself rather than from the inflater's window.
constexpr Py_ssize_t kInputPiece = 64 << 10;
Constant kOutputPiece = Constant::integer(128ul << 10);

// The truth of obj.<attribute>: 1, 0, or -1 on error.
int attributeTruth(PyObject* obj, PyObject* attribute) {
    Ref value(PyObject_GetAttr(obj, attribute));
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// The inflated stream of a decompressobj (the host's zlib or zlib-ng) fed
// the compressed data in order, in bounded pieces: nothing more than one
// piece of input and one of output is held at a time, whatever the stream
// inflates to. Input after the end of the stream is ignored, as the one-shot
// call ignores it. The host's inflater fails with the one-shot call's
// zlib.error; another one just fails.
class ObjectInflater final : public InflatedSource {
public:
    // `chunks`: a list of non-empty bytes objects that nobody else holds.
    ObjectInflater(PyObject* inflater, PyObject* chunks, bool host)
        : inflater_(inflater), chunks_(chunks), host_(host) {}

    Status next(const uint8_t** data, size_t* size) override {
        out_.reset();
        for (;;) {
            if (eof_) return Status::End;
            const bool haveTail = tail_ && PyBytes_GET_SIZE(tail_.get()) > 0;
            const bool flushing = !haveTail && chunk_ == PyList_GET_SIZE(chunks_);
            Ref input;
            if (haveTail) {
                input = std::move(tail_);
            } else if (!flushing) {
                input.reset(nextInput());
                if (!input) return Status::Failed;
            } else {
                // No input left: what the inflater still holds.
                input = Ref::borrow(kEmptyBytes);
            }
            Ref out(callMethod(inflater_, name::decompress, input.get(), kOutputPiece));
            if (!out) return Status::Failed;
            tail_.reset(PyObject_GetAttr(inflater_, name::unconsumed_tail));
            if (!tail_) return Status::Failed;
            if (!PyBytes_Check(out.get()) || !PyBytes_Check(tail_.get())) {
                PyErr_SetString(PyExc_TypeError, msg::kInflaterNoBytes);
                return Status::Failed;
            }
            const int eof = attributeTruth(inflater_, name::eof);
            if (eof < 0) return Status::Failed;
            eof_ = eof != 0;
            if (PyBytes_GET_SIZE(out.get()) > 0) {
                *data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(out.get()));
                *size = static_cast<size_t>(PyBytes_GET_SIZE(out.get()));
                out_ = std::move(out);
                return Status::Piece;
            }
            if (flushing && !eof_ && PyBytes_GET_SIZE(tail_.get()) == 0) {
                if (host_) PyErr_SetString(process.zlib.error, msg::kTruncatedStream);
                return Status::Failed;
            }
            // Neither output nor input consumed: no progress can be made
            // (zlib never does this; a broken inflater fails here).
            if (haveTail && PyBytes_GET_SIZE(tail_.get()) == PyObject_Length(input.get())) {
                PyErr_SetString(PyExc_RuntimeError, msg::kInflaterNoProgress);
                return Status::Failed;
            }
        }
    }

private:
    // The next piece of compressed data: a whole chunk, or a slice of a long
    // one (a view, not a copy).
    PyObject* nextInput() {
        PyObject* chunk = PyList_GET_ITEM(chunks_, chunk_);
        const Py_ssize_t length = PyBytes_GET_SIZE(chunk);
        if (offset_ == 0 && length <= kInputPiece) {
            ++chunk_;
            return Py_NewRef(chunk);
        }
        if (!view_) {
            view_.reset(PyMemoryView_FromObject(chunk));
            if (!view_) return nullptr;
        }
        const Py_ssize_t end = length - offset_ > kInputPiece ? offset_ + kInputPiece : length;
        PyObject* piece = PySequence_GetSlice(view_.get(), offset_, end);
        if (!piece) return nullptr;
        offset_ = end;
        if (offset_ == length) {
            ++chunk_;
            offset_ = 0;
            view_.reset();
        }
        return piece;
    }

    PyObject* inflater_;
    PyObject* const chunks_;
    const bool host_;
    Py_ssize_t chunk_ = 0;
    Py_ssize_t offset_ = 0;
    Ref view_, out_, tail_;
    bool eof_ = false;
};

}  // namespace

bool inflateThrough(PyObject* chunks, StreamReader& reader, PngRowOutcome* outcome) {
    PyObject* fast;
    if (!fastZlib(&fast)) return false;
    if (fast) {
        Ref inflater(PyObject_CallMethodNoArgs(fast, name::decompressobj));
        if (inflater) {
            ObjectInflater source(inflater.get(), chunks, false);
            *outcome = reader.read(source);
            if (outcome->kind != PngRowOutcome::Kind::SourceFailed) return true;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
        }
    }
    Ref inflater(PyObject_CallNoArgs(process.zlib.decompressobj));
    if (!inflater) return false;
    ObjectInflater source(inflater.get(), chunks, true);
    *outcome = reader.read(source);
    return true;
}

}  // namespace mv
