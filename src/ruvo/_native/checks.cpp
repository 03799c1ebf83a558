#include "checks.hpp"

#include "compat.hpp"

#include <frameobject.h>

#include <cstring>

namespace ruvo {

void raise_expected(PyTypeObject* type, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
}

bool check_exact_or_none(PyObject* value, PyTypeObject* type) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    raise_expected(type, value);
    return false;
}

bool check_arg_type(PyObject* value, PyTypeObject* type, const char* name, bool none_allowed) {
    if (none_allowed && value == Py_None) return true;
    if (Py_IS_TYPE(value, type) || PyObject_TypeCheck(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

PyObject* builtins_dict() {
    static PyObject* dict = nullptr;
    if (!dict) {
        PyObject* mod = PyImport_ImportModule("builtins");
        if (!mod) return nullptr;
        dict = PyModule_GetDict(mod);  // kept alive by the module, which is never unloaded
        Py_INCREF(dict);
        Py_DECREF(mod);
    }
    return dict;
}

static PyObject* lookup_in_builtins(PyObject* name) {
    PyObject* b = builtins_dict();
    if (!b) return nullptr;
    PyObject* v = PyDict_GetItemWithError(b, name);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

PyObject* lookup_global(PyObject* module_dict, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(module_dict, name);
    if (v) return new_ref(v);
    if (PyErr_Occurred()) return nullptr;
    v = lookup_in_builtins(name);
    return v ? new_ref(v) : nullptr;
}

PyObject* CachedGlobal::get(PyObject* module_dict) {
#ifdef RUVO_HAS_DICT_VERSION
    if (value_ && module_version_ == dict_version(module_dict) &&
        (!from_builtins_ || builtins_version_ == dict_version(builtins_dict()))) {
        return new_ref(value_);
    }
#endif
    if (!intern(&name_, text_)) return nullptr;
    PyObject* v = PyDict_GetItemWithError(module_dict, name_);
    bool builtin = false;
    if (!v) {
        if (PyErr_Occurred()) return nullptr;
        v = lookup_in_builtins(name_);
        if (!v) return nullptr;
        builtin = true;
    }
    if (v != value_) {
        Py_INCREF(v);
        Py_XSETREF(value_, v);
    }
    from_builtins_ = builtin;
#ifdef RUVO_HAS_DICT_VERSION
    module_version_ = dict_version(module_dict);
    if (builtin) builtins_version_ = dict_version(builtins_dict());
#endif
    return new_ref(value_);
}

PyObject* lookup_builtin(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return nullptr;
    PyObject* v = lookup_in_builtins(key.get());
    return v ? new_ref(v) : nullptr;
}

namespace {
// Code objects for traceback entries, one per (function, line).
struct CodeEntry {
    const char* func;
    int line;
    PyObject* code;
};
constexpr int kCodeCacheSize = 512;
CodeEntry code_cache[kCodeCacheSize];
int code_cache_used = 0;

// New reference to the code object of a traceback entry.
PyObject* code_for(const char* funcname, int line, const char* filename) {
    for (int i = 0; i < code_cache_used; ++i) {
        if (code_cache[i].func == funcname && code_cache[i].line == line) return new_ref(code_cache[i].code);
    }
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, line));
    if (code && code_cache_used < kCodeCacheSize) code_cache[code_cache_used++] = {funcname, line, new_ref(code)};
    return code;
}
}  // namespace

void add_traceback(const char* funcname, int line, const char* filename, PyObject* globals) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref code = Ref::steal(code_for(funcname, line, filename));
    if (code) {
        PyFrameObject* frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr);
        if (frame) {
            PyErr_Restore(type, value, tb);
            PyTraceBack_Here(frame);
            Py_DECREF(frame);
            return;
        }
    }
    // Could not build the entry: keep the original exception, drop the new one.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

PyObject* intern(PyObject** slot, const char* text) {
    if (!*slot) *slot = PyUnicode_InternFromString(text);
    return *slot;
}

}  // namespace ruvo
