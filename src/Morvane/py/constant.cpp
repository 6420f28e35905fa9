// Makes the module's constants during initialisation.
#include "py/constant.hpp"

namespace mv {

PyObject* smallInts[256];

bool Constant::make() {
    switch (kind_) {
        case Kind::Text: object_ = PyUnicode_InternFromString(data_); break;
        case Kind::Integer: object_ = PyLong_FromUnsignedLong(value_); break;
        case Kind::Bytes: object_ = PyBytes_FromStringAndSize(data_, size_); break;
    }
    return object_ != nullptr;
}

bool makeConstants() {
    for (Constant* c = Constant::first_; c; c = c->next_)
        if (!c->object_ && !c->make()) return false;
    for (unsigned long v = 0; v < 256; ++v)
        if (!smallInts[v] && !(smallInts[v] = PyLong_FromUnsignedLong(v))) return false;
    return true;
}

}  // namespace mv
