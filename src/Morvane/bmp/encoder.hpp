// The BMP encoder: _writeBmp, the module function SimpleImage.saveBmp goes
// through.
#pragma once

#include "py/function.hpp"

namespace mv {

extern const FunctionDef kWriteBmp;  // _writeBmp(path, width, height, pixels)

}  // namespace mv
