// The faster inflater, zlib-ng's zlib-compatible module: imported and checked
// once, while the module initialises, so that no decode ever runs the import
// system, and trusted only when it is the genuine one.
#pragma once

#include "py/ref.hpp"

namespace mv {

// Imports zlib_ng.zlib_ng and records it as process.fastZlib.module when it
// is the compiled module of the installed zlib-ng distribution (its file the
// one the distribution's installed-files record lists, with the digest
// recorded there) and, at this moment, inflates the host's deflate streams
// as the decoder drives it and computes crc32 exactly as the host's zlib
// does. Anything else (the package missing or blocked, a stand-in, a copy,
// a module that answers otherwise, any error of its own) leaves the host's
// zlib to do all the work, silently. A failed allocation or an interruption
// while importing or checking it propagates: false with the error set, and
// nothing recorded (the initialisation fails, and a later import tries
// again). Runs after the module body recorded the host's zlib.
bool chooseFastZlib();

}  // namespace mv
