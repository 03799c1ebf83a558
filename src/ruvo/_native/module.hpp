// Two-phase module initialisation shared by every native module: the
// one-interpreter guard, one module object per interpreter, the import
// attributes copied from the module's import record, refusal of a second
// execution, the version warning, __builtins__, the sys.modules entry,
// __test__, and a failed import forgetting the module.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>

namespace ruvo {

struct ModuleInfo {
    const char* short_name;        // "_html": named in the re-initialisation error
    const char* full_name;         // "ruvo.uix._html"
    const char* doc;               // the module docstring
    int (*exec)(PyObject* module);  // the module's own steps; 0, or -1 with an exception
};

// One static instance per module, declared with its own execution slot so
// that the slot never has to find its record through the module object (a
// module object made elsewhere has no definition to find it by):
//     NativeModule module_def({...}, exec_slot<module_def>);
// Its PyInit function returns init().
struct NativeModule {
    PyModuleDef def;
    PyModuleDef_Slot slots[3];
    ModuleInfo info;
    PyObject* module;  // the executed module object, owned
    PyObject* dict;    // its namespace, borrowed
    // The file that declares the module: named by the traceback entry
    // "init FULL_NAME" of a failed import.
    std::source_location where;

    NativeModule(const ModuleInfo& info, int (*exec_slot)(PyObject*),
                 std::source_location where = std::source_location::current()) noexcept;
    PyObject* init() noexcept { return PyModuleDef_Init(&def); }
    // The execution step for `target`; 0, or -1 with an exception.
    int exec(PyObject* target) noexcept;
};

template <NativeModule& M>
int exec_slot(PyObject* module) {
    return M.exec(module);
}

}  // namespace ruvo
