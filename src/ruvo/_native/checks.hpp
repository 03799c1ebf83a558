// Type checks with the project's standard messages, module-global lookup and
// traceback entries for native functions.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace ruvo {

// TypeError "Expected TYPE, got VALUE_TYPE" unless `value` is exactly of
// `type` or None. Returns true when the value is acceptable.
bool check_exact_or_none(PyObject* value, PyTypeObject* type);
void raise_expected(PyTypeObject* type, PyObject* value);

// TypeError "Argument 'NAME' has incorrect type (expected T, got U)" unless
// `value` is an instance of `type` (or None when allowed).
bool check_arg_type(PyObject* value, PyTypeObject* type, const char* name, bool none_allowed);

// The value of a module global: the module dict first, then builtins;
// NameError "name 'X' is not defined" when missing in both. New reference.
PyObject* lookup_global(PyObject* module_dict, PyObject* name);

// The same, cached: revalidated only when the module dict (or, for a value
// found among the builtins, the builtins dict) has changed since, where the
// interpreter tells that cheaply (dict version tags, before 3.12); looked up
// again at each use otherwise.
class CachedGlobal {
public:
    explicit CachedGlobal(const char* name) noexcept : text_(name) {}
    // New reference (a lookup that runs Python code can rebind the global
    // and free the value a borrowed one would point to); null with NameError.
    PyObject* get(PyObject* module_dict);

private:
    const char* text_;
    PyObject* name_ = nullptr;
    PyObject* value_ = nullptr;  // owned
    uint64_t module_version_ = 0;
    uint64_t builtins_version_ = 0;
    bool from_builtins_ = false;
};

// The builtins dict (borrowed), fixed at first use.
PyObject* builtins_dict();
// A builtin resolved once: new reference, or NameError.
PyObject* lookup_builtin(const char* name);

// Adds a traceback entry for a native function: the function's full dotted
// name and the module's source file. Keeps the pending exception.
void add_traceback(const char* funcname, int line, const char* filename, PyObject* globals);

// Interned constant text, created once; null with an exception on failure.
PyObject* intern(PyObject** slot, const char* text);

}  // namespace ruvo
