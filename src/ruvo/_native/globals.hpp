// Module globals and builtins, looked up the way the interpreter does:
// the module dict first, then builtins; NameError "name 'X' is not defined".
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace ruvo {

// The value of a module global: the module dict first, then builtins;
// NameError "name 'X' is not defined" when missing in both. New reference.
Ref lookup_global(PyObject* module_dict, PyObject* name);

// The same, cached: revalidated only when the module dict (or, for a value
// found among the builtins, the builtins dict) has changed since, where the
// interpreter tells that cheaply (dict version tags, before 3.12); looked up
// again at each use otherwise.
class CachedGlobal {
public:
    explicit CachedGlobal(const char* name) noexcept : text_(name) {}
    // Owned (a lookup that runs Python code can rebind the global and free
    // the value a borrowed one would point to); null with NameError.
    Ref get(PyObject* module_dict);

private:
    const char* text_;
    PyObject* name_ = nullptr;
    // Borrowed: held by the dict it was found in, and used only while that
    // dict's version is unchanged, so that rebinding the global releases the
    // old value at once, as the interpreter's own lookup would.
    PyObject* value_ = nullptr;
    uint64_t module_version_ = 0;
    uint64_t builtins_version_ = 0;
    bool from_builtins_ = false;
};

// The builtins dict (borrowed), fixed at first use.
PyObject* builtins_dict();
// A builtin by name, or NameError.
Ref lookup_builtin(const char* name);

}  // namespace ruvo
