#include "globals.hpp"

#include "compat.hpp"
#include "text.hpp"

namespace ruvo {

PyObject* builtins_dict() {
    static PyObject* dict = nullptr;
    if (!dict) {
        Ref mod = Ref::steal(PyImport_ImportModule("builtins"));
        if (!mod) return nullptr;
        dict = Py_NewRef(PyModule_GetDict(mod.get()));  // kept for the life of the process
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

Ref lookup_global(PyObject* module_dict, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(module_dict, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
    return Ref::borrow(lookup_in_builtins(name));
}

Ref CachedGlobal::get(PyObject* module_dict) {
#ifdef RUVO_HAS_DICT_VERSION
    // Unchanged dicts still hold the value found last, so it is alive.
    if (value_ && module_version_ == dict_version(module_dict) &&
        (!from_builtins_ || builtins_version_ == dict_version(builtins_dict()))) {
        return Ref::borrow(value_);
    }
#endif
    if (!intern(&name_, text_)) return Ref();
    PyObject* v = PyDict_GetItemWithError(module_dict, name_);
#ifdef RUVO_HAS_DICT_VERSION
    // Read as the lookup ends: fetching the builtins may run code.
    const uint64_t module_version = dict_version(module_dict);
#endif
    bool builtin = false;
    if (!v) {
        if (PyErr_Occurred()) return Ref();
        v = lookup_in_builtins(name_);
        if (!v) return Ref();
        builtin = true;
    }
#ifdef RUVO_HAS_DICT_VERSION
    value_ = v;
    from_builtins_ = builtin;
    module_version_ = module_version;
    if (builtin) builtins_version_ = dict_version(builtins_dict());
#endif
    return Ref::borrow(v);
}

Ref lookup_builtin(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return key;
    return Ref::borrow(lookup_in_builtins(key.get()));
}

}  // namespace ruvo
