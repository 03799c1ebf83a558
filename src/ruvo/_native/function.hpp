// A function object type for module-level native functions: called through
// the fast calling convention, and introspectable like a Python function
// (__name__, __qualname__, __module__, __doc__, __code__, __defaults__,
// __kwdefaults__, __annotations__), so that inspect.signature works.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "method.hpp"
#include "ref.hpp"

namespace ruvo {

// A module function: its Method gives the name, the parameters and the
// source file; `impl` is function_entry<method, implementation>.
struct FunctionDef {
    const MethodBase& method;
    const char* doc;
    vectorcallfunc impl;          // receives the function object as its callable
    const char* const* locals;    // further working names, null-terminated (may be null)
};

// A new function object bound to `module` (its __module__ is the module's name).
// `defaults` (a tuple or null) becomes __defaults__.
Ref make_function(const FunctionDef& def, PyObject* module, PyObject* defaults = nullptr);

// The module a function object was made for (borrowed).
PyObject* function_module(PyObject* func);

// A code object named `name` whose argument and local names are given,
// made portably from an empty code object through its replace method.
Ref make_code(const char* filename, const char* name, const char* const* params, const char* const* locals, int flags);

}  // namespace ruvo
