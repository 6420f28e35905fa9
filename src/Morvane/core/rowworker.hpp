// A second thread for the row core: while the calling thread makes the next
// piece of an inflated stream, the worker undoes the rows of the last one,
// so that a decode takes about the longer of the two instead of their sum.
//
// Plain C++ on POSIX threads; the worker touches no Python object. There is
// one worker in a process, and it goes only to a decode that is alone: with
// other decodes running, every core is already busy.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/pngrows.hpp"

namespace mv {

// What the worker runs: reads `source` to its end (as decodePngRows does).
using PieceJob = PngRowOutcome (*)(void* context, InflatedSource& source);

class RowWorker {
public:
    // Counts a decode in progress for as long as it lives; only a decode
    // alone in the process is given the worker.
    class Decoding {
    public:
        Decoding();
        ~Decoding();
        Decoding(const Decoding&) = delete;
        Decoding& operator=(const Decoding&) = delete;
    };

    // The worker for the decode calling (inside its Decoding), or nullptr
    // when another decode runs, when the environment turns the worker off,
    // when the process may use one processor only, or when no thread can be
    // started. The caller then works alone.
    static RowWorker* reserve();

    // Runs job(context, source) on the worker, where source hands over what
    // put() is given; then put() each piece of the stream in order, then its
    // end or its failure, then finish().
    void start(PieceJob job, void* context);
    // Hands the job its next piece (or the end, or the failure) as
    // InflatedSource::next would. A piece waits until the job is done with
    // the piece before it, which may be let go of once put() returns; the
    // first piece waits for nothing, so the caller makes the second while
    // the worker wakes up. The end and the failure carry no data: they wait
    // only until the job has taken the last piece, so that the job finds
    // them as soon as it is done with it.
    void put(InflatedSource::Status status, const uint8_t* data, size_t size);
    // Waits for the job's outcome; the worker is then free again.
    PngRowOutcome finish();

private:
    class Channel final : public InflatedSource {
    public:
        explicit Channel(RowWorker& worker) : worker_(worker) {}
        Status next(const uint8_t** data, size_t* size) override;

    private:
        RowWorker& worker_;
    };

    RowWorker() = default;
    bool launch();
    static void* main(void* self);
    void serve();

    // Waits for `ready` under `lock`: first a short while awake where
    // `awake` says so, then asleep on `cv`; `awake` then tells whether the
    // wait was short.
    template <class Ready>
    static void await(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, bool& awake, Ready ready);

    std::mutex mutex_;
    std::condition_variable workerWaits_, callerWaits_;
    PieceJob job_ = nullptr;
    void* context_ = nullptr;
    // Whether a piece is on hand, whether the job waits for one, whether it
    // is done: set under the mutex, and read without it while waiting awake.
    std::atomic<bool> full_{false}, wanting_{false}, done_{false};
    // Whether the job was handed anything yet, set under the mutex.
    bool handed_ = false;
    // Whether the job's thread and the caller wait awake (see await), set
    // under the mutex.
    bool workerAwake_ = true, callerAwake_ = true;
    InflatedSource::Status status_ = InflatedSource::Status::End;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    PngRowOutcome outcome_{};
};

}  // namespace mv
