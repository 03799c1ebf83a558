// ruvo.core.thinref: the module, the ThinRef type and its core operations
// (binding, __ref__, attribute access, comparison, hashing, truth, text).
// Operator forwarding lives in thinref_operators.cpp, pickling in
// thinref_pickle.cpp.
#include "thinref.hpp"

#include <cstdint>

namespace ruvo::thinref {

Texts T;
PyObject* builtin_reversed = nullptr;
PyObject* builtin_round = nullptr;
int nesting = 0;

namespace {

int make_texts() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&T.ref_method, "__ref__"}, {&T.getattribute, "__getattribute__"},
        {&T.enter, "__enter__"},    {&T.exit, "__exit__"},
        {&T.class_, "__class__"},   {&T.update, "update"},
        {&T.empty, ""},
    };
    for (const Entry& e : entries) {
        if (!intern(e.slot, e.text)) return -1;
    }
    if (!T.checksum && !(T.checksum = PyLong_FromLong(0xaed1db3))) return -1;
    return 0;
}

// An attribute of a module global (weakref.ref, operator.index, ...),
// resolved at each use: the global is looked up through the module's
// namespace, then the attribute on it. While the global is the same module
// object and the attribute comes from that module's own namespace, the value
// is cached until either namespace changes (where dict versions tell that).
class ModuleAttr {
public:
    ModuleAttr(CachedGlobal& module, const char* attr) noexcept : module_global_(module), text_(attr) {}

    // New reference, or null with an exception.
    PyObject* get() {
        Ref module = module_global_.get(module_def.dict);
        if (!module) return nullptr;
        PyObject* m = module.get();
#ifdef RUVO_HAS_DICT_VERSION
        // Only a plain module was cached: one whose class changed since is looked up again.
        if (m == module_ && PyModule_CheckExact(m) && dict_version(PyModule_GetDict(m)) == version_) {
            return Py_NewRef(value_);
        }
#endif
        if (!intern(&name_, text_)) return nullptr;
        if (PyModule_CheckExact(m)) {
            // A plain module's attribute is the entry of its namespace when
            // there is one (its type provides no such name). The namespace
            // is held: the lookup may run a key's __eq__.
            Ref d = Ref::borrow(PyModule_GetDict(m));
            PyObject* v = PyDict_GetItemWithError(d.get(), name_);
            if (v) {
                Ref value = Ref::borrow(v);
#ifdef RUVO_HAS_DICT_VERSION
                version_ = dict_version(d.get());
#endif
                // Releasing the old cached objects may run code: done last.
                Py_XSETREF(module_, module.release());
                Py_XSETREF(value_, Py_NewRef(value.get()));
                return value.release();
            }
            if (PyErr_Occurred()) return nullptr;
        }
        return PyObject_GetAttr(m, name_);
    }

private:
    CachedGlobal& module_global_;
    const char* text_;
    PyObject* name_ = nullptr;
    PyObject* module_ = nullptr;  // owned, so that its address is not reused
    PyObject* value_ = nullptr;   // owned
    uint64_t version_ = 0;
};

CachedGlobal weakref_global("weakref");
CachedGlobal operator_global("operator");
ModuleAttr weakref_ref(weakref_global, "ref");
ModuleAttr operator_truediv_attr(operator_global, "truediv");
ModuleAttr operator_itruediv_attr(operator_global, "itruediv");
ModuleAttr operator_index_attr(operator_global, "index");

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
    Ref fn = Ref::steal(attr.get());
    if (!fn) return nullptr;
    if (fn.get() == standard) return native(args);
    return PyObject_Vectorcall(fn.get(), args, nargs, nullptr);
}

}  // namespace

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

PyObject* make_weakref(PyObject* obj, PyObject* destructor) {
    Ref fn = Ref::steal(weakref_ref.get());
    if (!fn) return nullptr;
    if (fn.get() == reinterpret_cast<PyObject*>(&_PyWeakref_RefType)) {
        // What calling the type does, without building its arguments.
        return PyWeakref_NewRef(obj, destructor == Py_None ? nullptr : destructor);
    }
    PyObject* args[] = {obj, destructor};
    return PyObject_Vectorcall(fn.get(), args, destructor ? 2 : 1, nullptr);
}

// ---------------------------------------------------------------------------
// Fetching the referent.

PyObject* field_result(PyObject* self) {
    PyObject* f = as_proxy(self)->ref;
    if (Py_IS_TYPE(f, &_PyWeakref_RefType)) return weakref_target(f).release();
    // The call may rebind the proxy and so release the field: hold it.
    Ref hold = Ref::borrow(f);
    return PyObject_CallNoArgs(f);
}

namespace {

// ThinRef.__dict__["__ref__"] and ["__getattribute__"], borrowed from the
// class namespace.
PyObject* own_ref_method = nullptr;
PyObject* own_getattribute = nullptr;

PyObject* raise_dead() {
    PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return nullptr;
}

// The field called directly, with the dead-reference check of __ref__.
PyObject* call_field(PyObject* self) {
    PyObject* r = field_result(self);
    if (r == Py_None) {
        Py_DECREF(r);
        return raise_dead();
    }
    return r;
}

// True when `name` is an entry of the instance dictionary (of a subclass
// instance); also true when looking it up fails, so that the generic lookup
// repeats the failure.
bool in_instance_dict(PyObject* self, PyObject* name) {
    if (!Py_TYPE(self)->tp_dictoffset) return false;
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp || !*dp || !PyDict_Check(*dp) || PyDict_GET_SIZE(*dp) == 0) return false;
    Ref dict = Ref::borrow(*dp);  // a key's __eq__ may replace the instance dictionary
    if (PyDict_GetItemWithError(dict.get(), name)) return true;
    if (!PyErr_Occurred()) return false;
    PyErr_Clear();
    return true;
}

// True when self.__ref__ is ThinRef's own method: then calling the field
// directly gives what the ordinary lookup and call would.
bool own_ref(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == &ThinRefType) return true;
    return _PyType_Lookup(tp, T.ref_method) == own_ref_method &&
           _PyType_Lookup(tp, T.getattribute) == own_getattribute && !in_instance_dict(self, T.ref_method);
}

}  // namespace

PyObject* referent_general(PyObject* self) {
    if (own_ref(self)) {
        PyObject* r = call_field(self);
        if (!r) traceback(THINREF_NAME("__ref__"), __LINE__);
        return r;
    }
    return PyObject_CallMethodNoArgs(self, T.ref_method);
}

namespace {

// ---------------------------------------------------------------------------
// Creation and binding.

const Params init_params("__init__", {"obj", "destructor"}, 1);

PyObject* thinref_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_proxy(self)->ref = Py_NewRef(Py_None);
    return self;
}

int thinref_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    if (init_params.parse(args, kwargs, a, keep) < 0) {
        traceback(THINREF_NAME("__init__"), __LINE__);
        return -1;
    }
    PyObject* wr = make_weakref(a[0], a[1] ? a[1] : Py_None);
    if (!wr) {
        traceback(THINREF_NAME("__init__"), __LINE__);
        return -1;
    }
    set_field(self, wr);
    return 0;
}

// Calling ThinRef itself: allocation and binding in one step, without an
// argument tuple.
PyObject* thinref_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (type != reinterpret_cast<PyObject*>(&ThinRefType)) {
        // A subclass: the host's usual __new__ then __init__.
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Ref tuple = Ref::steal(PyTuple_New(nargs));
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        Ref kwargs;
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            kwargs = Ref::steal(PyDict_New());
            if (!kwargs) return nullptr;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
                if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
            }
        }
        return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
    }
    PyObject* a[2];
    if (init_params.parse(args, nargsf, kwnames, a) < 0) THINREF_FAIL("__init__");
    PyObject* wr = make_weakref(a[0], a[1] ? a[1] : Py_None);
    if (!wr) THINREF_FAIL("__init__");
    ThinRefObject* self = PyObject_GC_New(ThinRefObject, &ThinRefType);
    if (!self) {
        Py_DECREF(wr);
        return nullptr;
    }
    self->ref = wr;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// Lifecycle and the garbage collector.

int thinref_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_proxy(self)->ref);
    return 0;
}

int thinref_clear(PyObject* self) {
    set_field(self, Py_NewRef(Py_None));
    return 0;
}

void thinref_release(PyObject* self) { Py_CLEAR(as_proxy(self)->ref); }

// ---------------------------------------------------------------------------
// Attribute access.

PyObject* forward_getattr(PyObject* self, PyObject* name) {
    return forward(self, static_cast<PyObject*>(nullptr), THINREF_NAME("__getattr__"),
                   [name](PyObject* r) { return PyObject_GetAttr(r, name); });
}

PyObject* thinref_getattro(PyObject* self, PyObject* name) {
    // The generic lookup fails exactly when the class provides no such name
    // and the instance dictionary holds none: decide that without raising.
    if (PyUnicode_CheckExact(name) && !_PyType_Lookup(Py_TYPE(self), name) && !in_instance_dict(self, name)) {
        return forward_getattr(self, name);
    }
    PyObject* result = PyObject_GenericGetAttr(self, name);
    if (result || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
    PyErr_Clear();
    return forward_getattr(self, name);
}

int thinref_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return forward(self, -1, value ? THINREF_NAME("__setattr__") : THINREF_NAME("__delattr__"),
                   [name, value](PyObject* r) { return PyObject_SetAttr(r, name, value); });
}

const Params getattr_params("__getattr__", {"name"});

PyObject* getattr_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* name;
    if (getattr_params.parse(args, nargs, kwnames, &name) < 0) THINREF_FAIL("__getattr__");
    return forward_getattr(self, name);
}

PyObject* get_class(PyObject* self, void*) {
    return forward(self, static_cast<PyObject*>(nullptr), THINREF_NAME("__class__.__get__"),
                   [](PyObject* r) { return PyObject_GetAttr(r, T.class_); });
}

PyObject* get_field(PyObject* self, void*) { return Py_NewRef(as_proxy(self)->ref); }

int set_field_descr(PyObject* self, PyObject* value, void*) {
    set_field(self, Py_NewRef(value ? value : Py_None));
    return 0;
}

// ---------------------------------------------------------------------------
// Methods without arguments.

PyObject* ref_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("__ref__", nargs, kwnames) < 0) THINREF_FAIL("__ref__");
    PyObject* r = call_field(self);
    if (!r) THINREF_FAIL("__ref__");
    return r;
}

// Runs op on the field's result (the referent or None), under the recursion
// guard; these operations never raise ReferenceError.
template <class Op>
PyObject* on_field_result(PyObject* self, const char* name, Op&& op, int line = __builtin_LINE()) {
    bool guarded;
    if (!enter_forwarding(&guarded)) {
        traceback(name, line);
        return nullptr;
    }
    PyObject* result = nullptr;
    PyObject* w = field_result(self);
    if (w) {
        result = op(w);
        Py_DECREF(w);
    }
    leave_forwarding(guarded);
    if (!result) traceback(name, line);
    return result;
}

PyObject* dir_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("__dir__", nargs, kwnames) < 0) THINREF_FAIL("__dir__");
    return on_field_result(self, THINREF_NAME("__dir__"), [](PyObject* w) -> PyObject* {
        int truth = PyObject_IsTrue(w);
        if (truth < 0) return nullptr;
        return truth ? PyObject_Dir(w) : PyList_New(0);
    });
}

PyObject* bytes_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("__bytes__", nargs, kwnames) < 0) THINREF_FAIL("__bytes__");
    // The built-in bytes(w), not the C-level conversion: an int gives that
    // many zero bytes and a str the built-in's own TypeError.
    return on_field_result(self, THINREF_NAME("__bytes__"), [](PyObject* w) {
        return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), w);
    });
}

// ---------------------------------------------------------------------------
// Comparison, hashing, truth and text.

const char* const kCompareNames[] = {
    THINREF_NAME("__lt__"), THINREF_NAME("__le__"), THINREF_NAME("__eq__"),
    THINREF_NAME("__ne__"), THINREF_NAME("__gt__"), THINREF_NAME("__ge__"),
};

PyObject* thinref_richcompare(PyObject* self, PyObject* other, int op) {
    return forward(self, static_cast<PyObject*>(nullptr), kCompareNames[op],
                   [other, op](PyObject* r) { return PyObject_RichCompare(r, other, op); });
}

Py_hash_t thinref_hash(PyObject* self) {
    return forward(self, static_cast<Py_hash_t>(-1), THINREF_NAME("__hash__"),
                   [](PyObject* r) { return PyObject_Hash(r); });
}

int thinref_bool(PyObject* self) {
    return forward(self, -1, THINREF_NAME("__bool__"), [](PyObject* r) { return PyObject_IsTrue(r); });
}

PyObject* thinref_str(PyObject* self) {
    return on_field_result(self, THINREF_NAME("__str__"), [](PyObject* w) {
        return PyUnicode_CheckExact(w) ? Py_NewRef(w) : PyObject_Str(w);
    });
}

PyObject* thinref_repr(PyObject* self) {
    return on_field_result(self, THINREF_NAME("__repr__"), [](PyObject* w) -> PyObject* {
        // "<ThinRef to {!r}>".format(w)
        Ref text = Ref::steal(PyObject_Repr(w));
        if (text && !PyUnicode_CheckExact(text.get())) text = Ref::steal(PyObject_Format(text.get(), T.empty));
        if (!text) return nullptr;
        return PyUnicode_FromFormat("<ThinRef to %U>", text.get());
    });
}

// ---------------------------------------------------------------------------
// The type.

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kClassDoc =
    "ThinRef(obj, destructor=None)\n--\n\n"
    "Replacement for weakref.proxy to support comparisons\n    ";

PyMethodDef core_methods[] = {
    {"__ref__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ref_method)), METH_FASTCALL | METH_KEYWORDS,
     "__ref__($self, /)\n--\n\nReturn the referent; raise ReferenceError when it no longer exists."},
    {"__getattr__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(getattr_method)),
     METH_FASTCALL | METH_KEYWORDS, "__getattr__($self, name)\n--\n\nReturn getattr(referent, name)."},
    {"__dir__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dir_method)), METH_FASTCALL | METH_KEYWORDS,
     "__dir__($self, /)\n--\n\nAttribute names of the referent."},
    {"__bytes__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bytes_method)),
     METH_FASTCALL | METH_KEYWORDS, "__bytes__($self, /)\n--\n\nbytes(referent)."},
};

PyGetSetDef getset[] = {
    {"__class__", get_class, nullptr, "The referent's class.", nullptr},
    {"_ThinRef__ref", get_field, set_field_descr, "The weak reference that leads to the referent.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Core methods followed by the operator methods, assembled before readying.
PyMethodDef all_methods[64];

int fill_methods() {
    size_t n = 0;
    for (const PyMethodDef& m : core_methods) all_methods[n++] = m;
    for (const PyMethodDef* m = operator_methods(); m->ml_name; ++m) {
        if (n + 1 >= sizeof all_methods / sizeof all_methods[0]) {
            PyErr_SetString(PyExc_SystemError, "ThinRef method table too small");
            return -1;
        }
        all_methods[n++] = *m;
    }
    all_methods[n] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return 0;
}

int ready_type() {
    if (ThinRefType.tp_flags & Py_TPFLAGS_READY) return 0;
    if (fill_methods() < 0) return -1;
    PyTypeObject& t = ThinRefType;
    t.tp_name = "ruvo.core.thinref.ThinRef";
    t.tp_basicsize = sizeof(ThinRefObject);
    t.tp_dealloc = trashcan_dealloc<thinref_release>;
    t.tp_repr = thinref_repr;
    t.tp_as_number = number_methods();
    t.tp_as_number->nb_bool = thinref_bool;
    t.tp_as_sequence = sequence_methods();
    t.tp_as_mapping = mapping_methods();
    t.tp_hash = thinref_hash;
    t.tp_str = thinref_str;
    t.tp_getattro = thinref_getattro;
    t.tp_setattro = thinref_setattro;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = kClassDoc;
    t.tp_traverse = thinref_traverse;
    t.tp_clear = thinref_clear;
    t.tp_richcompare = thinref_richcompare;
    t.tp_iter = iter_slot;
    t.tp_methods = all_methods;
    t.tp_getset = getset;
    t.tp_init = thinref_init;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_new = thinref_new;
    t.tp_free = PyObject_GC_Del;
    t.tp_vectorcall = thinref_vectorcall;
    if (PyType_Ready(&t) < 0) return -1;
    own_ref_method = PyDict_GetItemWithError(t.tp_dict, T.ref_method);
    own_getattribute = PyDict_GetItemWithError(t.tp_dict, T.getattribute);
    if (!own_ref_method || !own_getattribute) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "ThinRef lacks __ref__ or __getattribute__");
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Module initialisation.

constexpr const char* kModuleDoc =
    "ThinRef, a weak proxy with comparisons\n"
    "======================================\n"
    "\n"
    "In order to allow garbage collection, ``ThinRef`` provides weak references\n"
    "to objects. It enhances the standard ``weakref.proxy`` by adding comparison\n"
    "support.\n";

int import_global(PyObject* dict, const char* name, PyObject** out) {
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text) return -1;
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(text.get(), dict, nullptr, nullptr, 0));
    if (!mod || PyDict_SetItem(dict, text.get(), mod.get()) < 0) return -1;
    *out = mod.release();
    return 0;
}

int exec_thinref(PyObject* module) {
    if (make_texts() < 0) return -1;
    if (!builtin_reversed && !(builtin_reversed = lookup_builtin("reversed").release())) return -1;
    if (!builtin_round && !(builtin_round = lookup_builtin("round").release())) return -1;
    PyObject* dict = module_def.dict;
    if (ready_type() < 0) return -1;
    if (PyDict_SetItemString(dict, "ThinRef", reinterpret_cast<PyObject*>(&ThinRefType)) < 0) return -1;
    if (install_pickling() < 0) return -1;
    PyObject* mod = nullptr;
    if (import_global(dict, "weakref", &mod) < 0) return -1;
    Py_DECREF(mod);
    if (import_global(dict, "operator", &mod) < 0) return -1;
    Ref op = Ref::steal(mod);
    if (capture_operator_functions(op.get()) < 0) return -1;
    return bind_unpickle_function(module);
}

}  // namespace

PyTypeObject ThinRefType = {PyVarObject_HEAD_INIT(nullptr, 0)};

NativeModule module_def({"thinref", "ruvo.core.thinref", kModuleDoc, kFile, exec_thinref}, exec_slot<module_def>);

}  // namespace ruvo::thinref

PyMODINIT_FUNC PyInit_thinref() { return ruvo::thinref::module_def.init(); }
