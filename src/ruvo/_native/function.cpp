#include "function.hpp"

#include <structmember.h>

#include <cstddef>

#include "ref.hpp"

namespace ruvo {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* doc;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
};

FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_fn(self);
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->modname);
    Py_VISIT(f->doc);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int fn_clear(PyObject* self) {
    FunctionObject* f = as_fn(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    FunctionObject* f = as_fn(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->modname);
    PyObject_GC_Del(self);
}

PyObject* fn_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self); }

// Getters and setters of the text attributes (a text that must stay a str).
int set_str(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str(&as_fn(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) { return set_str(&as_fn(self)->qualname, v, "__qualname__"); }

// Plain object attributes; deleting stores None.
template <std::size_t Offset>
PyObject* get_obj(PyObject* self, void*) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(v ? v : Py_None);
}
template <std::size_t Offset>
int set_obj(PyObject* self, PyObject* v, void*) {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    PyObject* value = Py_NewRef(v ? v : Py_None);
    Py_XSETREF(*slot, value);
    return 0;
}

int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(v);
    Py_XSETREF(as_fn(self)->defaults, v);
    return 0;
}

int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(v);
    Py_XSETREF(as_fn(self)->kwdefaults, v);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_fn(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(v);
    Py_XSETREF(as_fn(self)->annotations, v);
    return 0;
}

PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_fn(self)->code); }
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* v = as_fn(self)->defaults;
    return Py_NewRef(v ? v : Py_None);
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* v = as_fn(self)->kwdefaults;
    return Py_NewRef(v ? v : Py_None);
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_obj<offsetof(FunctionObject, doc)>, set_obj<offsetof(FunctionObject, doc)>, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Functions pickle and copy by reference: the module global of their name.
PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, modname), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Read through a class or an instance, the function stays itself, as a
// built-in function does (no binding). Having __get__ also makes inspect and
// pydoc count it as a routine, so help() lists it among the functions.
PyObject* fn_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyTypeObject FunctionType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "ruvo_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = fn_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = fn_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_getset = fn_getset;
    t.tp_methods = fn_methods;
    t.tp_members = fn_members;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_descr_get = fn_descr_get;
    return t;
}();

Ref names_tuple(const char* const* first, const char* const* second, Py_ssize_t* nfirst) {
    Py_ssize_t n1 = 0, n2 = 0;
    while (first && first[n1]) ++n1;
    while (second && second[n2]) ++n2;
    if (nfirst) *nfirst = n1;
    Ref t = Ref::steal(PyTuple_New(n1 + n2));
    if (!t) return t;
    for (Py_ssize_t i = 0; i < n1 + n2; ++i) {
        PyObject* s = PyUnicode_InternFromString(i < n1 ? first[i] : second[i - n1]);
        if (!s) return Ref();
        PyTuple_SET_ITEM(t.get(), i, s);
    }
    return t;
}

}  // namespace

Ref make_code(const char* filename, const char* name, const char* const* params, const char* const* locals, int flags) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, 1)));
    if (!code) return code;
    Py_ssize_t argcount = 0;
    Ref varnames = names_tuple(params, locals, &argcount);
    if (!varnames) return varnames;
    if (flags & CO_VARARGS) --argcount;
    if (flags & CO_VARKEYWORDS) --argcount;
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) return replace;
    Ref kwargs = Ref::steal(Py_BuildValue("{s:n,s:O,s:n,s:i}", "co_argcount", argcount, "co_varnames", varnames.get(),
                                          "co_nlocals", PyTuple_GET_SIZE(varnames.get()), "co_flags",
                                          flags | CO_OPTIMIZED | CO_NEWLOCALS));
    if (!kwargs) return kwargs;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return empty;
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

Ref make_function(const FunctionDef& def, PyObject* module, PyObject* defaults) {
    if (!(FunctionType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&FunctionType) < 0) return Ref();
    const Params& params = def.method.params;
    const char* names[Params::kMax + 1] = {};
    for (int i = 0; i < params.count(); ++i) names[i] = params.name(i);
    Ref code = make_code(def.method.site.file(), params.func(), names, def.locals, 0);
    if (!code) return code;
    Ref name = Ref::steal(PyUnicode_InternFromString(params.func()));
    if (!name) return name;
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    if (!doc) return doc;
    Ref modname = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!modname) return modname;
    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return Ref();
    f->vectorcall = def.impl;
    f->module = Py_NewRef(module);
    f->name = Py_NewRef(name.get());
    f->qualname = name.release();
    f->modname = modname.release();
    f->doc = doc.release();
    f->code = code.release();
    Py_XINCREF(defaults);
    f->defaults = defaults;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->dict = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

PyObject* function_module(PyObject* func) { return as_fn(func)->module; }

}  // namespace ruvo
