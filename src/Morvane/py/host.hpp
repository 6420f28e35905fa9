// The host's own steps, as the interpreter takes them, for a module written
// in C++ that must behave exactly like the Python it stands in for: name
// lookup in the module's namespace, imports, the 32-bit integer conversion,
// unpacking, comparisons, reads and writes, and the `with` statement over a
// file.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "py/errors.hpp"
#include "py/messages.hpp"
#include "py/names.hpp"
#include "py/ref.hpp"
#include "py/state.hpp"

namespace mv {

// Looks `name` up in the module namespace, falling back to the builtins.
// Returns a new reference, or nullptr with NameError set.
PyObject* lookupGlobal(PyObject* name);

// Calls attribute `method` of the module-level object named `global`.
template <class... Args>
inline PyObject* callGlobalMethod(PyObject* global, PyObject* method, const Args&... args) {
    Ref owner(lookupGlobal(global));
    if (!owner) return nullptr;
    return callMethod(owner.get(), method, args...);
}

// struct.<method>(format, args...) through the module namespace.
template <class... Args>
inline PyObject* structCall(PyObject* method, PyObject* format, const Args&... args) {
    return callGlobalMethod(name::struct_, method, format, args...);
}

// module.<key> as the module's own dict holds it, borrowed (nullptr when
// it has none, or is no plain module), without running any code.
PyObject* moduleEntry(PyObject* module, PyObject* key);

// `import name` into the namespace `globals`.
bool importModule(PyObject* globals, const char* name);
// `from module import n1, n2, ...` into the namespace `globals`.
bool importFrom(PyObject* globals, const char* module, std::initializer_list<const char*> what);
// The builtin named `name`; a new reference, or nullptr with NameError set.
PyObject* builtinNamed(const char* name);

// The 32-bit integer conversion: an int (subclasses included) by its value,
// anything else through its __int__; OverflowError outside 32 bits.
bool toInt32(PyObject* value, int32_t* out);

// Unpacks `seq` into exactly `n` items (new references in `out`): a tuple or
// list by its length, anything else by iterating it (drawing at most n + 1
// items). Raises ValueError with the host's unpacking messages otherwise.
bool unpackExactly(PyObject* seq, Py_ssize_t n, PyObject** out);
// The unpacking messages, for callers that know the count themselves.
void raiseTooMany(Py_ssize_t expected);
void raiseNeedMore(Py_ssize_t found);

// `a op b` with the host's comparison, as a truth value; -1 on error.
int compareTruth(PyObject* a, PyObject* b, int op);

// `obj == constant` for a bytes constant: 1, 0, or -1 on error.
int equalsBytes(PyObject* obj, PyObject* constant);

// obj[i], as the host indexes; a new reference or nullptr.
PyObject* itemAt(PyObject* obj, Py_ssize_t i);

// stream.read(n), and the length of what came back (len()).
PyObject* readCounted(PyObject* stream, PyObject* n, Py_ssize_t* length);

// output.write(data), its result ignored.
bool writeTo(PyObject* output, PyObject* data);

inline void raiseValue(const char* message) { PyErr_SetString(PyExc_ValueError, message); }

// A special method looked up on the type, as the `with` statement does;
// nullptr without an error when the type has none.
PyObject* lookupSpecial(PyObject* obj, PyObject* name);

// How a `with` block over a file ended.
enum class Block {
    Completed,   // the body ran to its end
    Suppressed,  // the body raised, and the manager's __exit__ swallowed it
    Failed,      // an exception is pending
};

// The end of a `with` block whose body raised (the exception is pending):
// __exit__ sees it, and a true result suppresses it; an error from __exit__
// itself is chained to the body's.
Block exitAfterError(PyObject* exitFn);

// Runs `body(file)` inside a `with` block over `open(path, mode)` (the
// built-in taken at initialisation), as the statement does: __exit__ runs
// on every way out; when the body raised, a true result of __exit__
// suppresses the exception and the caller goes on after the block.
template <class Body>
Block withOpenFile(PyObject* path, PyObject* mode, Body&& body) {
    Ref manager(call(process.open, path, mode));
    if (!manager) return Block::Failed;
    Ref enterFn(lookupSpecial(manager.get(), name::enter));
    Ref exitFn;
    if (enterFn) exitFn.reset(lookupSpecial(manager.get(), name::exit));
    if (!exitFn || !enterFn) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, msg::kNotContextManager, Py_TYPE(manager.get())->tp_name);
        return Block::Failed;
    }
    Ref file(PyObject_CallNoArgs(enterFn.get()));
    if (!file) return Block::Failed;
    if (!body(file.get())) return exitAfterError(exitFn.get());
    Ref r(call(exitFn.get(), Py_None, Py_None, Py_None));
    return r ? Block::Completed : Block::Failed;
}

}  // namespace mv
