// zlib-ng's module, imported and checked once at initialisation: where its
// file comes from (the shared object that holds its module definition, found
// in the installed-files record of a zlib_ng distribution beside its
// package, with the digest recorded there), then known answers against the
// host's zlib (streams the host deflates now, inflated in pieces as the
// decoder drives an inflater; damaged ones; the chunk CRC's crc32 calls).
#include "png/fastzlib.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/digest.hpp"
#include "png/constants.hpp"
#include "png/directzlib.hpp"
#include "png/inflate.hpp"
#include "py/host.hpp"

namespace mv {

namespace {

// A failure while importing or checking zlib-ng: a failed allocation, or an
// interruption (an error that is no Exception), stays pending; any other
// error only says that zlib-ng is not to be trusted, and is dropped. True
// when it was dropped.
bool dropUnlessTransient() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// ---------------------------------------------------------------------------
// The file

constexpr char kPackage[] = "zlib_ng";
constexpr char kDistInfoPrefix[] = "zlib_ng-";
constexpr char kDistInfoSuffix[] = ".dist-info";
constexpr char kHashField[] = ",sha256=";

class File {
public:
    explicit File(const char* path) : f_(std::fopen(path, "rb")) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() {
        if (f_) std::fclose(f_);
    }
    FILE* get() const { return f_; }

private:
    FILE* f_;
};

// The digest of the file at `path`, as an installed-files record writes it;
// false if it cannot be read.
bool fileDigest(const char* path, char (&text)[base64UrlSize(Sha256::kDigestSize) + 1]) {
    File file(path);
    if (!file.get()) return false;
    Sha256 sha;
    uint8_t buffer[16384];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) sha.update(buffer, n);
    if (std::ferror(file.get())) return false;
    uint8_t digest[Sha256::kDigestSize];
    sha.finish(digest);
    base64Url(digest, sizeof digest, text);
    text[sizeof text - 1] = '\0';
    return true;
}

// Whether the installed-files record at `record` lists `entry` (a path
// relative to the record's folder's parent) with the digest `digest`.
bool recordLists(const char* record, const char* entry, const char* digest) {
    File file(record);
    if (!file.get()) return false;
    char line[PATH_MAX + 128];
    const size_t entryLength = std::strlen(entry), hashLength = sizeof kHashField - 1;
    while (std::fgets(line, sizeof line, file.get())) {
        if (std::strncmp(line, entry, entryLength) != 0 ||
            std::strncmp(line + entryLength, kHashField, hashLength) != 0)
            continue;
        const char* recorded = line + entryLength + hashLength;
        const size_t digestLength = std::strlen(digest);
        return std::strncmp(recorded, digest, digestLength) == 0 && recorded[digestLength] == ',';
    }
    return false;
}

// Whether `file` (FOLDER/zlib_ng/NAME) is listed, with its digest, by the
// installed-files record of a zlib_ng distribution in FOLDER: the folder the
// import system found the package in.
bool isDistributionFile(const char* file) {
    const char* slash = std::strrchr(file, '/');
    const auto packageLength = static_cast<Py_ssize_t>(sizeof kPackage - 1);
    if (!slash || slash - file < packageLength || std::strncmp(slash - packageLength, kPackage, packageLength) != 0 ||
        (slash - file > packageLength && slash[-packageLength - 1] != '/'))
        return false;
    // FOLDER with its '/', or "./" for a path that starts at the package.
    const auto folderLength = static_cast<int>(slash - file - packageLength);
    char folder[PATH_MAX], entry[PATH_MAX];
    if (std::snprintf(folder, sizeof folder, "%.*s", folderLength ? folderLength : 2, folderLength ? file : "./") >=
            static_cast<int>(sizeof folder) ||
        std::snprintf(entry, sizeof entry, "%s/%s", kPackage, slash + 1) >= static_cast<int>(sizeof entry))
        return false;  // GCOVR_EXCL_LINE a path longer than the system allows, which no module was loaded from
    char digest[base64UrlSize(Sha256::kDigestSize) + 1];
    if (!fileDigest(file, digest)) return false;
    DIR* dir = opendir(folder);
    if (!dir) return false;
    bool listed = false;
    while (const dirent* e = readdir(dir)) {
        const size_t length = std::strlen(e->d_name);
        const size_t prefix = sizeof kDistInfoPrefix - 1, suffix = sizeof kDistInfoSuffix - 1;
        if (length <= prefix + suffix || strncasecmp(e->d_name, kDistInfoPrefix, prefix) != 0 ||
            std::strcmp(e->d_name + length - suffix, kDistInfoSuffix) != 0)
            continue;
        char record[PATH_MAX];
        if (std::snprintf(record, sizeof record, "%s%s/RECORD", folder, e->d_name) >= static_cast<int>(sizeof record))
            continue;  // GCOVR_EXCL_LINE a path longer than the system allows
        if ((listed = recordLists(record, entry, digest))) break;
    }
    closedir(dir);
    return listed;
}

// The shared object of `module` where it is a compiled extension module
// (made from a module definition, which lies in the shared object of its
// code) whose shared object is the distribution's file; nullptr otherwise.
const char* distributionModuleFile(PyObject* module) {
    if (!PyModule_Check(module)) return nullptr;
    const PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return nullptr;
    Dl_info info{};  // left as it is where dladdr finds nothing
    if (dladdr(def, &info) == 0 || !info.dli_fname) return nullptr;
    return isDistributionFile(info.dli_fname) ? info.dli_fname : nullptr;
}

// The library's inflater in the module's shared object `file`, by the names
// zlib-ng exports: nullptr where one is missing, or where the library is
// not of the 2.x series, whose stream record png/directzlib.hpp lays out.
const DirectZlib* findDirect(const char* file) {
    static DirectZlib found;
    // The object is loaded already (its module was imported): this only
    // gives a handle on it, and keeps it loaded, as its module is anyway.
    void* library = dlopen(file, RTLD_NOW | RTLD_NOLOAD);
    if (!library) return nullptr;  // GCOVR_EXCL_LINE the module's own object is loaded
    const auto version = reinterpret_cast<const char* (*)()>(dlsym(library, "zlibng_version"));
    found.inflateInit2 = reinterpret_cast<int32_t (*)(ZngStream*, int32_t)>(dlsym(library, "zng_inflateInit2"));
    found.inflate = reinterpret_cast<int32_t (*)(ZngStream*, int32_t)>(dlsym(library, "zng_inflate"));
    found.inflateEnd = reinterpret_cast<int32_t (*)(ZngStream*)>(dlsym(library, "zng_inflateEnd"));
    if (!version || !found.inflateInit2 || !found.inflate || !found.inflateEnd)
        return nullptr;  // GCOVR_EXCL_LINE zlib-ng 2.x exports them all
    const char* v = version();
    return v && v[0] == '2' && v[1] == '.' ? &found : nullptr;
}

// ---------------------------------------------------------------------------
// The known answers

// The sample the streams hold: 2 KiB of noise (literals), a run of 30 KiB
// (matches of 258 bytes at distance 1), the noise again at a distance near
// the window's end, and 2 KiB of text (short matches).
constexpr Py_ssize_t kNoise = 2048, kFarCopy = 32760, kSampleSize = 36 << 10;

PyObject* makeSample() {
    PyObject* sample = PyBytes_FromStringAndSize(nullptr, kSampleSize);
    if (!sample) return nullptr;
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(sample));
    uint64_t s = 0x9E3779B97F4A7C15ull;
    for (Py_ssize_t i = 0; i < kNoise; ++i) {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        out[i] = static_cast<uint8_t>((s * 2685821657736338717ull) >> 56);
    }
    std::memset(out + kNoise, 0x55, kFarCopy - kNoise);
    std::memcpy(out + kFarCopy, out, kNoise);
    static const char kText[] = "IDAT chunk 0123456789 IHDR\n";
    for (Py_ssize_t i = kFarCopy + kNoise; i < kSampleSize; ++i) out[i] = kText[(i * 7 / 5) % (sizeof kText - 1)];
    return sample;
}

// zlib's numbers: the deflate method, its defaults, and the strategies.
constexpr int kDeflated = 8, kWindowBits = 15, kMemLevel = 8, kDefaultStrategy = 0, kFixed = 4;

struct Deflate {
    int level, strategy;
    const char* trailing;  // input after the stream's end, which must be ignored
};
// Stored blocks; fixed blocks; dynamic blocks (with the longest matches, and
// the far one).
constexpr Deflate kDeflates[] = {{0, kDefaultStrategy, ""}, {6, kFixed, "after the end"}, {9, kDefaultStrategy, ""}};
constexpr int kDynamic = 2;

// The pieces the check inflates in: smaller than the decoder's, so that the
// sample takes several of each.
constexpr Py_ssize_t kCheckInputPiece = 4096;
constexpr size_t kCheckOutputPieceSize = 8192;
Constant kCheckOutputPiece = Constant::integer(kCheckOutputPieceSize);

// zlib.compressobj(level, DEFLATED, 15, 8, strategy) of the host's zlib now:
// its compress(sample) + flush(), as bytes.
PyObject* hostDeflate(PyObject* sample, const Deflate& how) {
    Ref compressobj(PyObject_GetAttr(process.zlib.module, name::compressobj));
    if (!compressobj) return nullptr;
    Ref deflater(call(compressobj.get(), smallInt(how.level), smallInt(kDeflated), smallInt(kWindowBits),
                      smallInt(kMemLevel), smallInt(how.strategy)));
    if (!deflater) return nullptr;
    PyObject* stream = callMethod(deflater.get(), name::compress, sample);
    if (!stream) return nullptr;
    Ref tail(PyObject_CallMethodNoArgs(deflater.get(), name::flush));
    // Bytes, whatever buffers the two are; nullptr (the error set) after
    // any failure, flush()'s included.
    PyBytes_Concat(&stream, tail.get());
    return stream;
}

// `length` bytes of `stream` (bytes), the last of them xor `flip`, then
// `trailing`: as a list of up to three non-empty bytes objects.
PyObject* inPieces(PyObject* stream, Py_ssize_t length, uint8_t flip, const char* trailing) {
    const auto extra = static_cast<Py_ssize_t>(std::strlen(trailing));
    const Py_ssize_t total = length + extra;
    Ref whole(PyBytes_FromStringAndSize(nullptr, total));
    if (!whole) return nullptr;
    char* out = PyBytes_AS_STRING(whole.get());
    std::memcpy(out, PyBytes_AS_STRING(stream), static_cast<size_t>(length));
    std::memcpy(out + length, trailing, static_cast<size_t>(extra));
    if (length > 0) out[length - 1] = static_cast<char>(out[length - 1] ^ flip);
    Ref chunks(PyList_New(0));
    if (!chunks) return nullptr;
    for (Py_ssize_t k = 0; k < 3; ++k) {
        const Py_ssize_t from = total * k / 3, to = total * (k + 1) / 3;
        Ref piece(PyBytes_FromStringAndSize(out + from, to - from));
        if (!piece || (to > from && PyList_Append(chunks.get(), piece.get()) < 0)) return nullptr;
    }
    return chunks.release();
}

// What the check inflates with: the decompressobj of `module`, or else
// the library's inflater called straight.
struct Inflater {
    PyObject* module;
    const DirectZlib* direct;
};

// Inflates `chunks` as `how` says and compares with `sample`.
Inflated inflateSample(const Inflater& how, PyObject* chunks, PyObject* sample) {
    CompressedData data;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks); ++i) {
        PyObject* chunk = PyList_GET_ITEM(chunks, i);
        if (!data.add(chunk, 0, PyBytes_GET_SIZE(chunk))) return Inflated::Failed;
    }
    const auto* expected = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(sample));
    if (how.direct)
        return inflateDirectAndCompare(*how.direct, data, expected, static_cast<size_t>(kSampleSize),
                                       kCheckOutputPieceSize);
    return inflateAndCompare(how.module, data, expected, static_cast<size_t>(kSampleSize), kCheckInputPiece,
                             kCheckOutputPiece);
}

// module.crc32(args...) and the host's zlib.crc32(args...) alike: 1 (the
// host's value in *value), 0, or -1 on error.
template <class... Args>
int sameCrc(PyObject* module, Ref* value, const Args&... args) {
    Ref mine(callMethod(module, name::crc32, args...));
    if (!mine) return -1;
    Ref host(call(process.zlib.crc32, args...));
    if (!host) return -1;
    const int same = PyObject_RichCompareBool(mine.get(), host.get(), Py_EQ);
    *value = std::move(host);
    return same;
}

// Whether `how` inflates as the host's zlib: 1, 0, or -1 on error.
int inflatesAsHost(const Inflater& how) {
    Ref sample(makeSample());
    if (!sample) return -1;
    Ref dynamic;
    for (int k = 0; k < static_cast<int>(sizeof kDeflates / sizeof kDeflates[0]); ++k) {
        Ref stream(hostDeflate(sample.get(), kDeflates[k]));
        if (!stream) return -1;
        Ref chunks(inPieces(stream.get(), PyBytes_GET_SIZE(stream.get()), 0, kDeflates[k].trailing));
        if (!chunks) return -1;
        const Inflated got = inflateSample(how, chunks.get(), sample.get());
        if (got != Inflated::Same) return got == Inflated::Failed && PyErr_Occurred() ? -1 : 0;
        if (k == kDynamic) dynamic = std::move(stream);
    }
    // The dynamic stream with a wrong check value, and cut short: both fail.
    const Py_ssize_t length = PyBytes_GET_SIZE(dynamic.get());
    for (const auto& [kept, flip] : {std::pair<Py_ssize_t, uint8_t>{length, 1}, {length - 1, 0}}) {
        Ref chunks(inPieces(dynamic.get(), kept, flip, ""));
        if (!chunks) return -1;
        if (inflateSample(how, chunks.get(), sample.get()) != Inflated::Failed) return 0;
        if (PyErr_Occurred() && !dropUnlessTransient()) return -1;
    }
    return 1;
}

// Whether `module` answers as the host's zlib: inflates alike, and computes
// the chunk CRC's crc32 calls alike. 1, 0, or -1 on error.
int answersAsHost(PyObject* module) {
    const int inflates = inflatesAsHost({module, nullptr});
    if (inflates <= 0) return inflates;
    Ref sample(makeSample());
    if (!sample) return -1;
    // The chunk CRC's calls: crc32(type), then crc32(data, that).
    Ref first, value;
    int same = sameCrc(module, &first, png::kTypeIDAT);
    if (same > 0) same = sameCrc(module, &value, sample.get(), first.get());
    if (same > 0) same = sameCrc(module, &value, kEmptyBytes, first.get());
    return same;
}

}  // namespace

bool chooseFastZlib() {
    Py_CLEAR(process.fastZlib.module);
    Py_CLEAR(process.fastZlib.decompressobj);
    process.fastZlib.direct = nullptr;
    Ref module(PyImport_ImportModule("zlib_ng.zlib_ng"));
    if (!module) return dropUnlessTransient();
    const char* file = distributionModuleFile(module.get());
    if (!file) return true;
    const int same = answersAsHost(module.get());
    if (same < 0) return dropUnlessTransient();
    if (!same) return true;
    const DirectZlib* direct = findDirect(file);
    if (direct) {
        const int alike = inflatesAsHost({nullptr, direct});
        if (alike < 0) return dropUnlessTransient();
        if (!alike) direct = nullptr;  // GCOVR_EXCL_LINE the library the module wraps answers as the module does
    }
    PyObject* decompressobj = moduleEntry(module.get(), name::decompressobj);
    if (!decompressobj) direct = nullptr;  // GCOVR_EXCL_LINE the genuine module has it
    process.fastZlib.decompressobj = Py_XNewRef(decompressobj);
    process.fastZlib.direct = direct;
    process.fastZlib.module = module.release();
    return true;
}

}  // namespace mv
