// The row core's second thread (see rowworker.hpp).
#include "core/rowworker.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

namespace mv {

namespace {

// Decodes in progress in the process.
std::atomic<int> decoding{0};
// The worker once started; `unavailable` once it turned out it cannot be.
std::atomic<RowWorker*> theWorker{nullptr};
std::atomic<bool> unavailable{false};

// A child made by fork() has none of its parent's threads: it starts its
// own worker when it needs one (the parent's is left as it was), and the
// decodes of the parent's other threads are not running in it.
void forgetAfterFork() {
    theWorker.store(nullptr);
    decoding.store(0);
}

// MORVANE_ROW_WORKER=0 in the environment keeps every decode on its calling
// thread (a pool of processes that fills every core has no processor to
// spare). It is read at each decode that could use the worker.
bool turnedOff() {
    const char* value = std::getenv("MORVANE_ROW_WORKER");
    return value && std::strcmp(value, "0") == 0;
}

bool severalProcessors() {
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2;
}

// How long a thread waiting for the other stays awake before it sleeps.
// Waking a sleeping thread takes tens of microseconds, up to a hundred on a
// virtual machine: more than inflating or undoing a piece of a stream that
// inflates fast. Where the other thread took longer than that last time
// (the inflater's pieces of a photograph take a millisecond or two), the
// waiter sleeps at once, so that it does not hold a processor other
// processes could use; a short wait makes it wait awake again.
constexpr std::chrono::microseconds kAwake{100};

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

template <class Ready>
void RowWorker::await(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, bool& awake, Ready ready) {
    if (ready()) return;
    const auto start = std::chrono::steady_clock::now();
    if (awake) {
        lock.unlock();
        while (!ready() && std::chrono::steady_clock::now() - start < kAwake) relax();
        lock.lock();
    }
    cv.wait(lock, ready);
    awake = std::chrono::steady_clock::now() - start < kAwake;
}

RowWorker::Decoding::Decoding() { decoding.fetch_add(1); }
RowWorker::Decoding::~Decoding() { decoding.fetch_sub(1); }

// Only a decode alone reserves the worker, and it holds it until finish(),
// within its Decoding: so no two decodes ever hold it at once.
RowWorker* RowWorker::reserve() {
    if (decoding.load() != 1 || turnedOff()) return nullptr;
    if (RowWorker* worker = theWorker.load()) return worker;
    if (unavailable.load()) return nullptr;
    // GCOVR_EXCL_START unreachable here: the tests run on two processors or more, where a thread can be started
    if (!severalProcessors()) {
        unavailable.store(true);
        return nullptr;
    }
    auto* worker = new (std::nothrow) RowWorker;
    if (!worker) return nullptr;
    if (!worker->launch()) {
        delete worker;
        unavailable.store(true);
        return nullptr;
    }
    // GCOVR_EXCL_STOP
    static const bool registered = pthread_atfork(nullptr, nullptr, forgetAfterFork) == 0;
    (void)registered;
    theWorker.store(worker);
    return worker;
}

bool RowWorker::launch() {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;  // GCOVR_EXCL_LINE no failure of glibc's
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, &RowWorker::main, this) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

void* RowWorker::main(void* self) {
    static_cast<RowWorker*>(self)->serve();
    return nullptr;  // GCOVR_EXCL_LINE the worker serves for the life of the process
}

void RowWorker::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        workerWaits_.wait(lock, [this] { return job_ != nullptr; });
        const PieceJob job = job_;
        void* const context = context_;
        lock.unlock();
        Channel channel(*this);
        const PngRowOutcome outcome = job(context, channel);
        lock.lock();
        outcome_ = outcome;
        job_ = nullptr;
        wanting_ = false;
        done_ = true;
        callerWaits_.notify_one();
    }
}

void RowWorker::start(PieceJob job, void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = job;
    context_ = context;
    full_ = false;
    wanting_ = false;
    done_ = false;
    handed_ = false;
    workerAwake_ = callerAwake_ = true;
    workerWaits_.notify_one();
}

InflatedSource::Status RowWorker::Channel::next(const uint8_t** data, size_t* size) {
    RowWorker& w = worker_;
    std::unique_lock<std::mutex> lock(w.mutex_);
    w.wanting_ = true;
    w.callerWaits_.notify_one();
    await(lock, w.workerWaits_, w.workerAwake_, [&w] { return w.full_.load(); });
    w.full_ = false;
    w.wanting_ = false;
    *data = w.data_;
    *size = w.size_;
    return w.status_;
}

void RowWorker::put(InflatedSource::Status status, const uint8_t* data, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool piece = status == InflatedSource::Status::Piece;
    // A job that is done (one that stops before the end) takes no more.
    await(lock, callerWaits_, callerAwake_,
          [this, piece] { return done_.load() || (piece ? !handed_ || wanting_.load() : !full_.load()); });
    if (done_) return;  // GCOVR_EXCL_LINE the row core reads every stream to its end
    handed_ = true;
    status_ = status;
    data_ = data;
    size_ = size;
    full_ = true;
    wanting_ = false;
    workerWaits_.notify_one();
}

PngRowOutcome RowWorker::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    await(lock, callerWaits_, callerAwake_, [this] { return done_.load(); });
    return outcome_;
}

}  // namespace mv
