// The inflater bridge: compressed data handed to a Python inflater object in
// bounded pieces, its output handed on to the row core as it comes.
#include "png/inflate.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/paths.hpp"
#include "core/rowworker.hpp"
#include "png/directzlib.hpp"
#include "py/host.hpp"

namespace mv {

bool CompressedData::add(PyObject* owner, Py_ssize_t offset, Py_ssize_t size) {
    if (size == 0) return true;
    if (count_ == capacity_) {
        const Py_ssize_t grown = capacity_ ? 2 * capacity_ : 16;
        auto* items = static_cast<Stretch*>(PyMem_Realloc(items_, static_cast<size_t>(grown) * sizeof(Stretch)));
        if (!items) {
            PyErr_NoMemory();
            return false;
        }
        items_ = items;
        capacity_ = grown;
    }
    items_[count_++] = {owner, offset, size};
    const uint64_t n = static_cast<uint64_t>(size);
    total_ = total_ + n < total_ ? UINT64_MAX : total_ + n;
    return true;
}

namespace {

// The pieces the inflaters work in: at most kOutputPiece of output per call
// (larger output pieces let more matches copy from the output itself rather
// than from the inflater's window, and cost fewer calls), and a little less
// compressed data than inflates to that, judged by the stream so far: input
// that does not fit is copied by the inflater into its unconsumed tail, and
// zlib-ng's inflater, left with a tail call after call, holds on to ever more
// memory (15 MiB over a 27 MiB stream). A small image's data go in one
// piece: each call starts a fresh output buffer, and the matches that reach
// back into the last call's output take the inflater's slower window path.
constexpr Py_ssize_t kOutputPieceSize = 512 << 10;
Constant kOutputPiece = Constant::integer(static_cast<unsigned long>(kOutputPieceSize));
constexpr Py_ssize_t kFirstInput = 64 << 10, kMinInput = 4 << 10, kMaxInput = 256 << 10;
// What the last piece is cut down to where a row worker undoes the pieces:
// all of the last piece's rows are left to do once the inflater is done.
constexpr uint64_t kShortLastPiece = 64 << 10;

// What the next piece is cut to, so that a short one is left over, where
// `left` bytes of rows are still to come and a whole piece is about `whole`:
// 0 where the rows left are too few or too many for that to matter.
constexpr uint64_t cutForShortLast(uint64_t left, uint64_t whole) {
    return left > 2 * kShortLastPiece && left <= whole + whole / 4 ? left - kShortLastPiece : 0;
}
// Pieces from this size on are worked on without the interpreter lock.
constexpr size_t kUnlockedPiece = 32 << 10;

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
//
// A piece is handed over with the interpreter lock released: it is a bytes
// object that only this source holds, and the reader touches nothing else of
// Python's. The lock is taken back at the next call, before anything else.
class ObjectInflater final : public InflatedSource {
public:
    // `expected` is the inflated stream's length where the image gives it.
    // `fixedInput` (when above 0) and `outputPiece` replace the decoder's
    // piece sizes.
    ObjectInflater(PyObject* inflater, const CompressedData& data, bool host, uint64_t expected,
                   Py_ssize_t fixedInput = 0, PyObject* outputPiece = kOutputPiece)
        : inflater_(inflater),
          data_(data),
          host_(host),
          expected_(expected),
          fixedInput_(fixedInput),
          outputPiece_(outputPiece) {
        // All of it where both the data and what they inflate to fit a piece.
        if (expected <= static_cast<uint64_t>(kOutputPieceSize) && data.total() <= static_cast<uint64_t>(kMaxInput))
            firstInput_ = kMaxInput;
    }
    ~ObjectInflater() { lock(); }
    ObjectInflater(const ObjectInflater&) = delete;
    ObjectInflater& operator=(const ObjectInflater&) = delete;

    Status next(const uint8_t** data, size_t* size) override {
        lock();
        const Status status = pull(data, size);
        // Everything of Python's that pull() used is let go of by now. A
        // small piece is not worth the lock: taking it back can mean waiting
        // for another thread's turn to end.
        if (status == Status::Piece && *size >= kUnlockedPiece) saved_ = PyEval_SaveThread();
        return status;
    }

    const CompressedData& data() const { return data_; }

    // For a row worker: the piece last handed over stays alive through the
    // next call too, until the one after, as the worker may still be at it
    // meanwhile; and the stream's last piece is a short one, where the
    // expected length says which is the last.
    void serveWorker() { forWorker_ = true; }

private:
    Status pull(const uint8_t** data, size_t* size) {
        last_.reset();
        if (forWorker_) last_ = std::move(out_);
        out_.reset();
        for (;;) {
            if (eof_) return Status::End;
            const bool haveTail = tail_ && PyBytes_GET_SIZE(tail_.get()) > 0;
            const bool flushing = !haveTail && stretch_ == data_.count();
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
            const Py_ssize_t given = PyObject_Length(input.get());
            if (given < 0) return Status::Failed;
            Ref out(callMethod(inflater_, name::decompress, input.get(), outputPiece_));
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
            const Py_ssize_t produced = PyBytes_GET_SIZE(out.get());
            consumed_ += static_cast<double>(given - PyBytes_GET_SIZE(tail_.get()));
            produced_ += static_cast<double>(produced);
            if (produced > 0) {
                *data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(out.get()));
                *size = static_cast<size_t>(produced);
                out_ = std::move(out);
                return Status::Piece;
            }
            if (flushing && !eof_ && PyBytes_GET_SIZE(tail_.get()) == 0) {
                if (host_) PyErr_SetString(process.zlib.error, msg::kTruncatedStream);
                return Status::Failed;
            }
            // Neither output nor input consumed: no progress can be made
            // (zlib never does this; a broken inflater fails here).
            if (haveTail && PyBytes_GET_SIZE(tail_.get()) == given) {
                PyErr_SetString(PyExc_RuntimeError, msg::kInflaterNoProgress);
                return Status::Failed;
            }
        }
    }

    void lock() {
        if (saved_) PyEval_RestoreThread(saved_);
        saved_ = nullptr;
    }

    // How much compressed data to hand over next: `size` bytes, or all that
    // is left where no more than `slack` would be left over, which is not
    // worth a call of its own.
    struct InputPiece {
        Py_ssize_t size, slack;
    };

    // What inflates to about seven eighths of an output piece, at the ratio
    // seen so far; for a row worker, the last but one piece leaves a short
    // one over.
    InputPiece inputPiece() const {
        if (fixedInput_ > 0) return {fixedInput_, fixedInput_ / 4};
        if (consumed_ <= 0 || produced_ <= 0) return {firstInput_, firstInput_ / 4};
        const double perByte = consumed_ / produced_;
        double target = static_cast<double>(kOutputPieceSize) * 7 / 8;
        double slack = -1;
        if (forWorker_ && expected_ != UINT64_MAX && produced_ < static_cast<double>(expected_)) {
            const uint64_t left = expected_ - static_cast<uint64_t>(produced_);
            if (const uint64_t cut = cutForShortLast(left, static_cast<uint64_t>(target))) {
                target = static_cast<double>(cut);
                slack = static_cast<double>(kShortLastPiece) / 2 * perByte;
            }
        }
        double n = target * perByte;
        if (n <= static_cast<double>(kMinInput)) n = static_cast<double>(kMinInput);
        if (n >= static_cast<double>(kMaxInput)) n = static_cast<double>(kMaxInput);
        const auto size = static_cast<Py_ssize_t>(n);
        return {size, slack < 0 ? size / 4 : static_cast<Py_ssize_t>(slack)};
    }

    // The next piece of compressed data: a whole chunk as it is, a view of
    // a part of a stretch (not a copy), or, where the stretch's rest is
    // smaller than a piece, the rest joined with the stretches after it.
    PyObject* nextInput() {
        countPath(Path::InputPieces);
        const Stretch& s = data_[stretch_];
        const Py_ssize_t left = s.size - offset_;
        const InputPiece want = inputPiece();
        if (left < want.size && stretch_ + 1 < data_.count()) return joinedInput(want);
        const Py_ssize_t n = left - want.size > want.slack ? want.size : left;
        if (n == s.size && s.offset == 0 && PyBytes_GET_SIZE(s.owner) == s.size) {
            ++stretch_;
            return Py_NewRef(s.owner);
        }
        if (viewOwner_ != s.owner) {
            view_.reset(PyMemoryView_FromObject(s.owner));
            if (!view_) return nullptr;
            viewOwner_ = s.owner;
        }
        const Py_ssize_t from = s.offset + offset_;
        PyObject* piece = PySequence_GetSlice(view_.get(), from, from + n);
        if (!piece) return nullptr;
        offset_ += n;
        if (offset_ == s.size) {
            ++stretch_;
            offset_ = 0;
        }
        return piece;
    }

    // About `want.size` bytes from the current stretch on, copied into one bytes
    // object: each inflater call has a cost of its own (and starts a fresh
    // output buffer), so small chunks handed over one by one cost several
    // times what their data take. Only a piece is copied at a time.
    PyObject* joinedInput(InputPiece want) {
        // All that is left when it is not worth a further call.
        const Py_ssize_t limit = want.size + want.slack;
        Py_ssize_t n = 0;
        for (Py_ssize_t i = stretch_, from = offset_; i < data_.count() && n <= limit; ++i, from = 0)
            n += data_[i].size - from;
        if (n > limit) n = want.size;
        PyObject* piece = PyBytes_FromStringAndSize(nullptr, n);
        if (!piece) return nullptr;
        char* out = PyBytes_AS_STRING(piece);
        for (Py_ssize_t at = 0; at < n;) {
            // Every owner is a bytes object (see CompressedData).
            const Stretch& s = data_[stretch_];
            const Py_ssize_t take = std::min(s.size - offset_, n - at);
            std::memcpy(out + at, PyBytes_AS_STRING(s.owner) + s.offset + offset_, static_cast<size_t>(take));
            at += take;
            offset_ += take;
            if (offset_ == s.size) {
                ++stretch_;
                offset_ = 0;
            }
        }
        return piece;
    }

    PyObject* inflater_;
    const CompressedData& data_;
    const bool host_;
    const uint64_t expected_;
    const Py_ssize_t fixedInput_;
    Py_ssize_t firstInput_ = kFirstInput;
    PyObject* const outputPiece_;
    PyThreadState* saved_ = nullptr;
    Py_ssize_t stretch_ = 0;
    Py_ssize_t offset_ = 0;  // within the current stretch
    PyObject* viewOwner_ = nullptr;
    Ref view_, out_, last_, tail_;
    double consumed_ = 0, produced_ = 0;
    bool eof_ = false, forWorker_ = false;
};

// zlib-ng's inflater called straight (png/directzlib.hpp), on the
// compressed data where they lie, into output pieces of its own: the same
// library that zlib-ng's decompressobj wraps, without the wrapper's objects
// per call, its growing output blocks joined into one, and the copies of
// the input it has not consumed yet. It touches no Python object (every
// owner of a stretch is a bytes object, kept alive by the caller), so it
// runs without the interpreter lock. Any failure (a damaged or cut stream,
// no memory for the inflater) is Failed, with no error set: the host's zlib
// then inflates the stream again for its own outcome. Input after the end of
// the stream is ignored, as the one-shot call ignores it.
class DirectInflater final : public InflatedSource {
public:
    // Pieces of at most `piece` bytes; `worker`: two pieces alternate (the
    // last one handed over stays as it is through the next call, while a
    // row worker may be at it), and the stream's last piece is a short one,
    // where `expected` says which is the last.
    DirectInflater(const DirectZlib& zng, const CompressedData& data, uint64_t expected, size_t piece, bool worker)
        : zng_(zng), data_(data), expected_(expected), piece_(piece), worker_(worker) {
        for (int k = 0; k < (worker ? 2 : 1); ++k)
            if (!(buffers_[k] = static_cast<uint8_t*>(PyMem_RawMalloc(piece)))) return;
        started_ = zng_.inflateInit2(&stream_, kZWindowBits) == kZOk;
    }
    ~DirectInflater() {
        if (started_) zng_.inflateEnd(&stream_);
        PyMem_RawFree(buffers_[0]);
        PyMem_RawFree(buffers_[1]);
        PyMem_RawFree(joined_);
    }
    DirectInflater(const DirectInflater&) = delete;
    DirectInflater& operator=(const DirectInflater&) = delete;

    // False where there was no memory for the pieces or the inflater.
    bool ready() const { return started_; }

    Status next(const uint8_t** data, size_t* size) override {
        if (ended_) return Status::End;
        if (failed_) return Status::Failed;
        uint8_t* out = buffers_[turn_];
        if (worker_) turn_ ^= 1;
        const size_t want = pieceSize();
        stream_.nextOut = out;
        stream_.availOut = static_cast<uint32_t>(want);
        for (;;) {
            if (stream_.availIn == 0) {
                feed();
                if (stream_.availIn == 0 && stretch_ < data_.count()) return fail();  // no memory to join the input
            }
            const uint32_t inBefore = stream_.availIn, outBefore = stream_.availOut;
            const int32_t rc = zng_.inflate(&stream_, kZSyncFlush);
            if (rc == kZStreamEnd) {
                ended_ = true;
                break;
            }
            if (rc != kZOk && rc != kZBufError) return fail();
            if (stream_.availOut == 0) break;
            // Wanting input where there is none left: the stream is cut short.
            if (stream_.availIn == 0 && stretch_ == data_.count()) return fail();
            if (stream_.availIn == inBefore && stream_.availOut == outBefore)
                return fail();  // GCOVR_EXCL_LINE zlib never stalls with input and room
        }
        const size_t produced = want - stream_.availOut;
        produced_ += produced;
        if (produced == 0) return Status::End;
        *data = out;
        *size = produced;
        return Status::Piece;
    }

private:
    // The next input: the rest of a large stretch where it lies (a
    // gigabyte at most); else up to kJoinedInput bytes of the stretches from
    // here on, copied into one piece. Each input costs the inflater a return
    // and a fresh start, where it copies what it made into its window and
    // finds the matches that reach back before it there, the slower way:
    // small chunks given one by one would cost that every few kilobytes.
    void feed() {
        if (stretch_ == data_.count()) return;
        countPath(Path::DirectInputs);
        constexpr Py_ssize_t kMaxFeed = Py_ssize_t{1} << 30, kInPlace = 64 << 10;
        const Stretch& s = data_[stretch_];
        const Py_ssize_t left = s.size - offset_;
        if (left >= kInPlace || stretch_ + 1 == data_.count()) {
            const Py_ssize_t n = std::min(left, kMaxFeed);
            stream_.nextIn = bytesOf(s) + offset_;
            stream_.availIn = static_cast<uint32_t>(n);
            advance(n);
            return;
        }
        if (!joined_ && !(joined_ = static_cast<uint8_t*>(PyMem_RawMalloc(kJoinedInput)))) return;
        Py_ssize_t n = 0;
        while (n < kJoinedInput && stretch_ < data_.count()) {
            const Stretch& t = data_[stretch_];
            const Py_ssize_t take = std::min(t.size - offset_, kJoinedInput - n);
            std::memcpy(joined_ + n, bytesOf(t) + offset_, static_cast<size_t>(take));
            n += take;
            advance(take);
        }
        stream_.nextIn = joined_;
        stream_.availIn = static_cast<uint32_t>(n);
    }

    static const uint8_t* bytesOf(const Stretch& s) {
        return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(s.owner)) + s.offset;
    }

    void advance(Py_ssize_t n) {
        offset_ += n;
        if (offset_ == data_[stretch_].size) {
            ++stretch_;
            offset_ = 0;
        }
    }

    // A whole piece; for a row worker, the last but one piece leaves a
    // short one over.
    size_t pieceSize() const {
        if (!worker_ || expected_ == UINT64_MAX || expected_ <= produced_) return piece_;
        const uint64_t cut = cutForShortLast(expected_ - produced_, piece_);
        return cut ? std::min<uint64_t>(piece_, cut) : piece_;
    }

    Status fail() {
        failed_ = true;
        return Status::Failed;
    }

    const DirectZlib& zng_;
    const CompressedData& data_;
    const uint64_t expected_;
    const size_t piece_;
    const bool worker_;
    ZngStream stream_{};
    static constexpr Py_ssize_t kJoinedInput = kMaxInput;
    uint8_t* buffers_[2] = {nullptr, nullptr};
    uint8_t* joined_ = nullptr;
    int turn_ = 0;
    bool started_ = false, ended_ = false, failed_ = false;
    Py_ssize_t stretch_ = 0, offset_ = 0;
    uint64_t produced_ = 0;
};

// Whether a stream of `expected` bytes from `data` is worth the row worker:
// more than a piece and a quarter, and compressed to three quarters of that
// or less. (With less, the second piece is too small to hide the work on
// the first, and the worker's waking up costs more than it saves; data
// that hardly compress, stored ones above all, inflate at the pace of a
// copy, which hides next to nothing of the rows' work.)
bool worthWorker(const CompressedData& data, uint64_t expected) {
    constexpr uint64_t kWorkerFrom = kOutputPieceSize + kOutputPieceSize / 4;
    return expected > kWorkerFrom && expected != UINT64_MAX && data.total() <= expected / 4 * 3;
}

// `reader` run on the row worker, fed the pieces of `source` (made for a
// worker) by this thread, so that each piece is worked on while the inflater makes the
// next. The outcome is the one of reading here: the reader pulls every
// stream to its end or its failure, so the inflater is called just as often
// and in the same order. `locked`: this thread holds the interpreter lock
// when `source` hands over the end or a failure, and lets it go while it
// waits for the worker.
template <class Source>
PngRowOutcome readOnWorker(RowWorker& worker, Source& source, StreamReader& reader, bool locked) {
    worker.start([](void* r, InflatedSource& s) { return static_cast<StreamReader*>(r)->read(s); }, &reader);
    for (;;) {
        const uint8_t* piece = nullptr;
        size_t size = 0;
        const InflatedSource::Status status = source.next(&piece, &size);
        if (status == InflatedSource::Status::Piece) {
            worker.put(status, piece, size);
            continue;
        }
        PyThreadState* saved = locked ? PyEval_SaveThread() : nullptr;
        worker.put(status, nullptr, 0);
        const PngRowOutcome outcome = worker.finish();
        if (locked) PyEval_RestoreThread(saved);
        return outcome;
    }
}

// `reader` run on the stream of `source`: on the row worker where it is
// free and the stream is worth it, else here. A piece comes without the
// interpreter lock where it is large enough (see ObjectInflater::next), the
// end and a failure with it.
PngRowOutcome readStream(ObjectInflater& source, uint64_t expected, StreamReader& reader) {
    RowWorker* worker = worthWorker(source.data(), expected) ? RowWorker::reserve() : nullptr;
    if (!worker) return reader.read(source);
    source.serveWorker();
    return readOnWorker(*worker, source, reader, true);
}

// `reader` run on the stream of `data` as zlib-ng's inflater called
// straight makes it, without the interpreter lock throughout; as
// readStream, on the row worker where that is free and worth it. False
// where the stream failed there (or there was no memory for the inflater),
// with no error set: the host's zlib is then to inflate it again.
bool readDirect(const DirectZlib& zng, const CompressedData& data, uint64_t expected, StreamReader& reader,
                PngRowOutcome* outcome) {
    PyThreadState* saved = PyEval_SaveThread();
    RowWorker* worker = worthWorker(data, expected) ? RowWorker::reserve() : nullptr;
    const size_t piece = expected < static_cast<uint64_t>(kOutputPieceSize)
                             ? static_cast<size_t>(std::max<uint64_t>(expected, 4096))
                             : static_cast<size_t>(kOutputPieceSize);
    bool done = false;
    {
        DirectInflater source(zng, data, expected, piece, worker != nullptr);
        if (source.ready()) {
            *outcome = worker ? readOnWorker(*worker, source, reader, false) : reader.read(source);
            done = outcome->kind != PngRowOutcome::Kind::SourceFailed;
        }
    }
    PyEval_RestoreThread(saved);
    return done;
}

// Whether `source` inflates to the `size` bytes at `expected` and ends.
Inflated compareStream(InflatedSource& source, const uint8_t* expected, size_t size) {
    size_t at = 0;
    for (;;) {
        const uint8_t* piece;
        size_t n;
        switch (source.next(&piece, &n)) {
            case InflatedSource::Status::Failed: return Inflated::Failed;
            case InflatedSource::Status::End: return at == size ? Inflated::Same : Inflated::Other;
            case InflatedSource::Status::Piece:
                if (n > size - at || std::memcmp(piece, expected + at, n) != 0) return Inflated::Other;
                at += n;
                break;
        }
    }
}

}  // namespace

bool inflateThrough(const CompressedData& data, uint64_t expected, StreamReader& reader, PngRowOutcome* outcome) {
    RowWorker::Decoding decoding;
    PyObject* const fast = process.fastZlib.module;
    if (fast && process.fastZlib.direct && moduleEntry(fast, name::decompressobj) == process.fastZlib.decompressobj) {
        if (readDirect(*process.fastZlib.direct, data, expected, reader, outcome)) return true;
    } else if (fast) {
        Ref inflater(PyObject_CallMethodNoArgs(fast, name::decompressobj));
        if (inflater) {
            ObjectInflater source(inflater.get(), data, false, expected);
            *outcome = readStream(source, expected, reader);
            if (outcome->kind != PngRowOutcome::Kind::SourceFailed) return true;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
        }
    }
    Ref inflater(PyObject_CallNoArgs(process.zlib.decompressobj));
    if (!inflater) return false;
    ObjectInflater source(inflater.get(), data, true, expected);
    *outcome = readStream(source, expected, reader);
    return true;
}

Inflated inflateDirectAndCompare(const DirectZlib& zng, const CompressedData& data, const uint8_t* expected,
                                 size_t size, size_t piece) {
    DirectInflater source(zng, data, size, piece, false);
    if (!source.ready()) {
        PyErr_NoMemory();
        return Inflated::Failed;
    }
    return compareStream(source, expected, size);
}

Inflated inflateAndCompare(PyObject* module, const CompressedData& data, const uint8_t* expected, size_t size,
                           Py_ssize_t inputPiece, PyObject* outputPiece) {
    Ref inflater(PyObject_CallMethodNoArgs(module, name::decompressobj));
    if (!inflater) return Inflated::Failed;
    ObjectInflater source(inflater.get(), data, false, size, inputPiece, outputPiece);
    return compareStream(source, expected, size);
}

}  // namespace mv
