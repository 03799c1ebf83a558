// ThinRef's module globals, resolved at each use: weakref.ref for binding,
// and operator.truediv, operator.itruediv and operator.index for the
// operators the host has no direct entry for. A test or an application may
// rebind the global `weakref` or `operator` of the module, replace it by a
// non-module, or change the module's attribute: every use sees the change.
//
// The layer's CachedGlobal gives the global itself; what is used is an
// attribute of it, which ModuleAttr caches on top, validated by the versions
// of this module's namespace and of the global module's own.
#include <cstdint>

#include "thinref.hpp"

namespace ruvo::thinref {

namespace {

// An attribute of a module global, looked up through the module's namespace
// first, then the attribute on it. When the global is a plain module found in
// this module's own namespace (not among the builtins) and the attribute
// comes from that module's namespace, the value is cached until either
// namespace changes (where dict versions tell that) or the module's class
// does.
class ModuleAttr {
public:
    ModuleAttr(CachedGlobal& module, const char* global, const char* attr) noexcept
        : module_global_(module), global_text_(global), text_(attr) {}

    Ref get() {
#ifdef RUVO_HAS_DICT_VERSION
        // An unchanged namespace still maps the global to module_, which is
        // held and so is the same object.
        if (value_ && dict_version(module_def.dict) == globals_version_ && PyModule_CheckExact(module_) &&
            dict_version(module_dict_) == version_) {
            return Ref::borrow(value_);
        }
#endif
        Ref module = module_global_.get(module_def.dict);
        if (!module) return module;
        PyObject* m = module.get();
        if (!intern(&name_, text_) || !intern(&global_name_, global_text_)) return Ref();
        if (PyModule_CheckExact(m)) {
            // A plain module's attribute is the entry of its namespace when
            // there is one (its type provides no such name). The namespace
            // is held: the lookup may run a key's __eq__.
            Ref d = Ref::borrow(PyModule_GetDict(m));
            PyObject* v = PyDict_GetItemWithError(d.get(), name_);
            if (v) {
                Ref value = Ref::borrow(v);
#ifdef RUVO_HAS_DICT_VERSION
                const uint64_t version = dict_version(d.get());
                PyObject* own = PyDict_GetItemWithError(module_def.dict, global_name_);
                if (!own && PyErr_Occurred()) return Ref();
                const uint64_t globals_version = dict_version(module_def.dict);
                if (own == m) {
                    // Releasing the old cached objects may run code: done last.
                    PyObject* old[] = {module_, module_dict_, value_};
                    module_ = Py_NewRef(m);
                    module_dict_ = Py_NewRef(d.get());
                    value_ = Py_NewRef(value.get());
                    version_ = version;
                    globals_version_ = globals_version;
                    for (PyObject* o : old) Py_XDECREF(o);
                }
#endif
                return value;
            }
            if (PyErr_Occurred()) return Ref();
        }
        return Ref::steal(PyObject_GetAttr(m, name_));
    }

private:
    CachedGlobal& module_global_;
    const char* global_text_;
    const char* text_;
    PyObject* global_name_ = nullptr;
    PyObject* name_ = nullptr;
    PyObject* module_ = nullptr;       // owned, so that its address is not reused
    PyObject* module_dict_ = nullptr;  // owned
    PyObject* value_ = nullptr;        // owned
    uint64_t version_ = 0;             // of module_dict_
    uint64_t globals_version_ = 0;     // of this module's namespace
};

CachedGlobal weakref_global("weakref");
CachedGlobal operator_global("operator");
ModuleAttr weakref_ref(weakref_global, "weakref", "ref");
ModuleAttr operator_truediv_attr(operator_global, "operator", "truediv");
ModuleAttr operator_itruediv_attr(operator_global, "operator", "itruediv");
ModuleAttr operator_index_attr(operator_global, "operator", "index");

// The functions of the operator module as imported: while the global still
// names them, the host's own number operations give the same result.
PyObject* std_truediv = nullptr;
PyObject* std_itruediv = nullptr;
PyObject* std_index = nullptr;

int capture_operator_functions(PyObject* op) {
    struct Entry {
        PyObject** slot;
        const char* name;
    };
    const Entry entries[] = {{&std_truediv, "truediv"}, {&std_itruediv, "itruediv"}, {&std_index, "index"}};
    for (const Entry& e : entries) {
        PyObject* f = PyObject_GetAttrString(op, e.name);
        if (!f) return -1;
        if (!PyCFunction_Check(f)) Py_CLEAR(f);  // only the native implementations are known
        Py_XSETREF(*e.slot, f);
    }
    return 0;
}

PyObject* call_operator(ModuleAttr& attr, PyObject* standard, PyObject* const* args, size_t nargs,
                        PyObject* (*native)(PyObject* const*)) {
    Ref fn = attr.get();
    if (!fn) return nullptr;
    if (fn.get() == standard) return native(args);
    return PyObject_Vectorcall(fn.get(), args, nargs, nullptr);
}

// `import NAME` into the module's namespace.
Ref import_global(PyObject* dict, const char* name) {
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text) return text;
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(text.get(), dict, nullptr, nullptr, 0));
    if (!mod || PyDict_SetItem(dict, text.get(), mod.get()) < 0) return Ref();
    return mod;
}

}  // namespace

int import_globals(PyObject* module_dict) {
    if (!import_global(module_dict, "weakref")) return -1;
    Ref op = import_global(module_dict, "operator");
    if (!op) return -1;
    return capture_operator_functions(op.get());
}

PyObject* operator_truediv(PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    return call_operator(operator_truediv_attr, std_truediv, args, 2,
                         [](PyObject* const* x) { return PyNumber_TrueDivide(x[0], x[1]); });
}

PyObject* operator_itruediv(PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    return call_operator(operator_itruediv_attr, std_itruediv, args, 2,
                         [](PyObject* const* x) { return PyNumber_InPlaceTrueDivide(x[0], x[1]); });
}

PyObject* operator_index(PyObject* a) {
    PyObject* args[] = {a};
    return call_operator(operator_index_attr, std_index, args, 1,
                         [](PyObject* const* x) { return PyNumber_Index(x[0]); });
}

Ref make_weakref(PyObject* obj, PyObject* destructor) {
    Ref fn = weakref_ref.get();
    if (!fn) return fn;
    if (fn.get() == reinterpret_cast<PyObject*>(&_PyWeakref_RefType)) {
        // What calling the type does, without building its arguments.
        return Ref::steal(PyWeakref_NewRef(obj, destructor == Py_None ? nullptr : destructor));
    }
    PyObject* args[] = {obj, destructor};
    return Ref::steal(PyObject_Vectorcall(fn.get(), args, destructor ? 2 : 1, nullptr));
}

}  // namespace ruvo::thinref
