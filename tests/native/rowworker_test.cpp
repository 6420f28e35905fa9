// The row core on its second thread against the row core alone: random
// images, piece sizes and failing sources, each fed to the worker as the
// module feeds it (the next piece made while the worker undoes the last,
// each piece freed once the worker has asked for the one after it, so a
// sanitizer build catches a piece read after it went away). Only a decode
// alone gets the worker, and a child made by fork() gets one of its own.
//
// sources: core/pngrows.cpp core/kernels.cpp core/rowworker.cpp
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/pngrows.hpp"
#include "core/rowworker.hpp"
#include "pngrows_reference.hpp"

using check::ctx;
using Bytes = std::vector<uint8_t>;
using mv::InflatedSource;
using mv::PngRowGeometry;
using mv::PngRowOutcome;
using mv::RowWorker;
using pngref::PieceSource;

namespace {

struct Decoded {
    PngRowOutcome outcome;
    Bytes pixels;
};

Decoded alone(const PngRowGeometry& g, const Bytes& stream, const std::vector<size_t>& sizes, long failAt) {
    Decoded d{{}, Bytes(g.pixelBytes(), 0xA5)};
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[g.scratchBytes()]);
    PieceSource source(stream, sizes, failAt);
    d.outcome = mv::decodePngRows(g, source, check::at(d.pixels), scratch.get());
    return d;
}

struct Job {
    const PngRowGeometry& g;
    uint8_t* pixels;
    uint8_t* scratch;
    static PngRowOutcome run(void* self, InflatedSource& source) {
        const Job& job = *static_cast<Job*>(self);
        return mv::decodePngRows(job.g, source, job.pixels, job.scratch);
    }
};

// Null when the worker was not to be had.
std::unique_ptr<Decoded> throughWorker(const PngRowGeometry& g, const Bytes& stream, const std::vector<size_t>& sizes,
                                       long failAt) {
    RowWorker::Decoding decoding;
    RowWorker* worker = RowWorker::reserve();
    if (!worker) return nullptr;
    auto d = std::make_unique<Decoded>(Decoded{{}, Bytes(g.pixelBytes(), 0xA5)});
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[g.scratchBytes()]);
    PieceSource source(stream, sizes, failAt, true);
    Job job{g, check::at(d->pixels), scratch.get()};
    worker->start(&Job::run, &job);
    for (;;) {
        const uint8_t* piece = nullptr;
        size_t size = 0;
        const InflatedSource::Status status = source.next(&piece, &size);
        worker->put(status, piece, size);
        if (status != InflatedSource::Status::Piece) break;
    }
    d->outcome = worker->finish();
    return d;
}

bool same(const Decoded& a, const Decoded& b) {
    return a.outcome.kind == b.outcome.kind && a.outcome.filterByte == b.outcome.filterByte &&
           a.outcome.row == b.outcome.row && (a.outcome.kind != PngRowOutcome::Kind::Done || a.pixels == b.pixels);
}

void checkRandomStreams() {
    check::Rng rng(21);
    for (int round = 0; round < 400; ++round) {
        const uint32_t bpp = rng.next() & 1 ? 4 : 3;
        const PngRowGeometry g{static_cast<uint32_t>(rng.next() % 300), static_cast<uint32_t>(rng.next() % 40), bpp};
        Bytes stream;
        for (uint32_t y = 0; y < g.height; ++y) {
            const uint64_t r = rng.next();
            stream.push_back(static_cast<uint8_t>(r % 97 == 0 ? 5 + r % 200 : r % 5));
            for (uint64_t x = 0; x < g.rowLength(); ++x) stream.push_back(static_cast<uint8_t>(rng.next()));
        }
        // Now and then too long or too short.
        const uint64_t change = rng.next() % 8;
        if (change == 0) stream.resize(stream.size() / 2);
        if (change == 1) stream.insert(stream.end(), 100, 1);
        const std::vector<size_t> sizes{1 + rng.next() % (2 * g.stride() + 3), 1 + rng.next() % 4096};
        const long failAt = rng.next() % 4 == 0 ? static_cast<long>(rng.next() % 12) : -1;
        const std::string where = ctx("round %ld (%ldx%ld bpp %ld)", round, g.width, g.height, bpp);
        const std::unique_ptr<Decoded> got = throughWorker(g, stream, sizes, failAt);
        CHECK(got != nullptr, where + " (a decode alone gets the worker)");
        if (got) CHECK(same(*got, alone(g, stream, sizes, failAt)), where);
    }
}

void checkOnlyAlone() {
    RowWorker::Decoding other;
    RowWorker::Decoding decoding;
    CHECK(RowWorker::reserve() == nullptr, "no worker beside another decode");
}

void checkForkedChild() {
    const PngRowGeometry g{50, 9, 3};
    Bytes stream;
    for (uint32_t y = 0; y < g.height; ++y) {
        stream.push_back(4);
        stream.insert(stream.end(), g.rowLength(), static_cast<uint8_t>(y));
    }
    // The parent's worker is running; a child has no thread of it.
    CHECK(throughWorker(g, stream, {7}, -1) != nullptr, "the parent's worker");
    const pid_t child = fork();
    if (child == 0) {
        const std::unique_ptr<Decoded> got = throughWorker(g, stream, {7}, -1);
        // exit(), not _exit(): the coverage build's counters are written at exit.
        std::exit(got && same(*got, alone(g, stream, {7}, -1)) ? 0 : 1);
    }
    int status = 0;
    CHECK(child > 0 && waitpid(child, &status, 0) == child, "fork");
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a forked child decodes on a worker of its own");
}

}  // namespace

int main() {
    checkRandomStreams();
    checkOnlyAlone();
    checkForkedChild();
    return check::finish("rowworker");
}
