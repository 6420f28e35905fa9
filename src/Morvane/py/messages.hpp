// The module's fixed messages, in one place. Users match on these texts, so
// they never change.
#pragma once

namespace mv::msg {

// Images and pixels.
constexpr const char* kLengthMismatch = "Pixel data length does not match image dimensions";
constexpr const char* kOutOfBounds = "Pixel coordinate out of bounds";
constexpr const char* kUnsupportedFormat = "Unsupported image format";
constexpr const char* kSourceType = "source must be a file path or raw bytes";
constexpr const char* kNoPickle = "no default __reduce__ due to non-trivial __cinit__";

// PNG chunks.
constexpr const char* kEofLength = "Unexpected EOF while reading chunk length";
constexpr const char* kEofType = "Unexpected EOF while reading chunk type";
constexpr const char* kEofData = "Unexpected EOF while reading chunk data";
constexpr const char* kEofCrc = "Unexpected EOF while reading chunk CRC";
constexpr const char* kBadCrc = "Corrupted PNG chunk detected";

// PNG decoding.
constexpr const char* kPngSignature = "Unsupported PNG signature";
constexpr const char* kPngHeader = "Incomplete PNG header information";
constexpr const char* kPngDepth = "Only 8-bit PNG images are supported";
constexpr const char* kPngColour = "Only RGB/RGBA PNG images are supported";
constexpr const char* kPngConfig = "Unsupported PNG configuration (compression/filter/interlace)";
constexpr const char* kPngData = "Malformed PNG image data";
constexpr const char* kPngFilter = "Unsupported PNG filter: %d";
// An inflater other than the host's zlib that breaks its contract.
constexpr const char* kInflaterNoBytes = "the inflater gave no bytes";
constexpr const char* kInflaterNoProgress = "the inflater made no progress";

// BMP decoding.
constexpr const char* kBmpHeader = "Unsupported BMP header";
constexpr const char* kBmpDib = "Corrupted BMP DIB header";
constexpr const char* kBmpInfoHeader = "Only BITMAPINFOHEADER BMP files are supported";
constexpr const char* kBmpKind = "Only uncompressed 24-bit BMP files are supported";
constexpr const char* kBmpPixels = "Incomplete BMP pixel data";

// Argument binding and conversion (formats).
constexpr const char* kArgCount = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char* kArgType = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char* kArgTypeSubclass =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
    "This check is stricter than the typing rules: it rejects subclasses of built-in types.";
constexpr const char* kKeywordNotString = "%.200s() keywords must be strings";
constexpr const char* kKeywordUnexpected = "%s() got an unexpected keyword argument '%U'";
constexpr const char* kKeywordTwice = "%s() got multiple values for keyword argument '%U'";
constexpr const char* kUnboundNeedsArgument = "unbound method %U() needs an argument";
constexpr const char* kDescriptorMismatch = "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object";
constexpr const char* kExpectedType = "Expected %s, got %.200s";
constexpr const char* kCannotConvert = "Cannot convert %.200s to %.200s";
constexpr const char* kIntRequired = "an integer is required";
constexpr const char* kIntTooLarge = "Python int too large to convert to C int";
constexpr const char* kIntNonInt = "__int__ returned non-int (type %.200s)";
constexpr const char* kIntSubclassDeprecated =
    "__int__ returned non-int (type %.200s).  "
    "The ability to return an instance of a strict subclass of int "
    "is deprecated, and may be removed in a future version of Python.";
constexpr const char* kTooManyValues = "too many values to unpack (expected %zd)";
constexpr const char* kNeedMoreValues = "need more than %zd value%.1s to unpack";
constexpr const char* kDeleteDimension = "__del__";
constexpr const char* kNoGlobals = "__globals__";  // a function's __globals__ before the module is recorded

// Initialisation.
constexpr const char* kOtherInterpreter =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char* kReinitialised =
    "Module 'simpleImage_ext' has already been imported. Re-initialisation is not supported.";
constexpr const char* kVersionMismatch =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
constexpr const char* kIoNotAType = "_io.%s is not a type";

// The host's own wording, where the module stands in for a host operation.
constexpr const char* kNotDefined = "name '%U' is not defined";
constexpr const char* kCannotImportName = "cannot import name '%s' from '%s' (unknown location)";
constexpr const char* kNotContextManager = "'%.200s' object does not support the context manager protocol";
constexpr const char* kUnboundWidth = "cannot access local variable 'width' where it is not associated with a value";
constexpr const char* kIndexSized = "cannot fit 'int' into an index-sized integer";  // bytearray(n), n too big
constexpr const char* kNegativeCount = "negative count";                             // bytearray(n), n < 0
constexpr const char* kByteArrayIndex = "bytearray index out of range";              // buffer[i] past the end
constexpr const char* kTruncatedStream = "Error -5 while decompressing data: incomplete or truncated stream";

}  // namespace mv::msg
