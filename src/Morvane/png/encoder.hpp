// The PNG encoder: _writePng, the module function SimpleImage.save goes
// through.
#pragma once

#include "py/function.hpp"

namespace mv {

extern const FunctionDef kWritePng;  // _writePng(path, width, height, pixels)

}  // namespace mv
