// AliasProperty(getter, setter=None, bind=()): a computed value.
#include "property_kinds.hpp"

namespace ruvo::framework::impl {

namespace {

AliasProperty* as_alias(PyObject* o) { return reinterpret_cast<AliasProperty*>(o); }
AliasProperty* as_alias(Property* p) { return reinterpret_cast<AliasProperty*>(p); }

int alias_fill(PyObject* self) {
    AliasProperty* a = as_alias(self);
    a->getter = Py_NewRef(Py_None);
    a->setter = Py_NewRef(Py_None);
    a->bind = Py_NewRef(Py_None);
    Ref names = Ref::steal(PyTuple_New(0));
    if (!names) return -1;
    set_field(a->bind, std::move(names));
    return 0;
}

const Method init_method{module_def, "AliasProperty.__init__", {"getter", "setter", "bind"}, 1};

int alias_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (init_method.params.parse(args, kwargs, a, keep, &kw) < 0) return -1;
    if (!PyCallable_Check(a[0]) || (a[1] && a[1] != Py_None && !PyCallable_Check(a[1]))) {
        PyErr_SetString(PyExc_TypeError, "AliasProperty getter and setter must be callable");
        return -1;
    }
    Ref names = Ref::steal(a[2] && a[2] != Py_None ? PySequence_Tuple(a[2]) : PyTuple_New(0));
    if (!names) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(names.get(), i))) {
            PyErr_Format(PyExc_TypeError, "AliasProperty bind must hold property names, got %.200s",
                         Py_TYPE(PyTuple_GET_ITEM(names.get(), i))->tp_name);
            return -1;
        }
    }
    if (property_init_common(as_prop(self), nullptr, Py_None, kw.get()) < 0) return -1;
    set_field(as_alias(self)->getter, Ref::borrow(a[0]));
    set_field(as_alias(self)->setter, Ref::borrow(a[1] ? a[1] : Py_None));
    set_field(as_alias(self)->bind, std::move(names));
    return 0;
}

PyObject* alias_init_storage(Property* self, PyObject* obj, PropertyStorage*) {
    Ref r = Ref::steal(self->vtab->link_deps(self, obj, self->name ? self->name : Py_None));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* alias_link_deps(Property* self, PyObject* obj, PyObject*) {
    Ref names = Ref::borrow(as_alias(self)->bind);
    if (bind_dependencies(self, obj, names.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* alias_get_value(Property* self, PyObject* obj) {
    Ref storage = storage_of(self, obj);
    if (!storage) return nullptr;
    Ref getter = Ref::borrow(as_alias(self)->getter);
    return PyObject_CallOneArg(getter.get(), obj);
}

PyObject* alias_set(Property* self, PyObject* obj, PyObject* value) {
    Ref storage = storage_of(self, obj);
    if (!storage) return nullptr;
    Ref setter = Ref::borrow(as_alias(self)->setter);
    if (setter.get() == Py_None) return raise_named(PyExc_AttributeError, self, obj, " is read-only (no setter)");
    Ref converted = Ref::steal(self->vtab->convert(self, obj, value));
    if (!converted) return nullptr;
    Ref checked = Ref::steal(self->vtab->check(self, obj, converted.get()));
    if (!checked) return nullptr;
    PyObject* args[2] = {obj, converted.get()};
    Ref r = Ref::steal(PyObject_Vectorcall(setter.get(), args, 2, nullptr));
    if (!r) return nullptr;
    int changed = PyObject_IsTrue(r.get());
    if (changed < 0) return nullptr;
    if (changed) {
        Ref d = Ref::steal(self->vtab->dispatch(self, obj));
        if (!d) return nullptr;
    }
    return PyBool_FromLong(changed);
}

int alias_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_alias(self)->getter);
    Py_VISIT(as_alias(self)->setter);
    Py_VISIT(as_alias(self)->bind);
    return property_traverse(self, visit, arg);
}

int alias_clear(PyObject* self) {
    set_none(as_alias(self)->getter);
    set_none(as_alias(self)->setter);
    set_none(as_alias(self)->bind);
    return property_clear(self);
}

void alias_release(PyObject* self) {
    Py_CLEAR(as_alias(self)->getter);
    Py_CLEAR(as_alias(self)->setter);
    Py_CLEAR(as_alias(self)->bind);
    property_release(self);
}

PyObject* get_getter(PyObject* self, void*) { return Py_NewRef(as_alias(self)->getter); }
PyObject* get_setter(PyObject* self, void*) { return Py_NewRef(as_alias(self)->setter); }
PyObject* get_bind(PyObject* self, void*) { return Py_NewRef(as_alias(self)->bind); }

PyGetSetDef alias_getset[] = {
    {"getter", get_getter, nullptr, "getter(obj) -> value.", nullptr},
    {"setter", get_setter, nullptr, "setter(obj, value) -> true when changed, or None (read-only).", nullptr},
    {"bind_names", get_bind, nullptr, "The properties whose changes this alias reports.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

constinit PropertyTable alias_table = [] {
    PropertyTable t = property_operations();
    t.init_storage = alias_init_storage;
    t.link_deps = alias_link_deps;
    t.get_value = alias_get_value;
    t.set = alias_set;
    return t;
}();

PyTypeObject AliasPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.AliasProperty", sizeof(AliasProperty), &PropertyType,
                                    "AliasProperty(getter, setter=None, bind=(), **kw)\n--\n\n"
                                    "A computed value: getter(obj) reads it, setter(obj, value) assigns it and\n"
                                    "returns true when it changed; a change of a property named in bind\n"
                                    "notifies this property's observers.");
    t.tp_new = simple_new<&alias_table, &AliasPropertyType, alias_fill>;
    t.tp_init = reported<init_method.site, alias_init>;
    t.tp_traverse = alias_traverse;
    t.tp_clear = alias_clear;
    t.tp_dealloc = trashcan_dealloc<alias_release>;
    t.tp_getset = alias_getset;
    return t;
}();

}  // namespace ruvo::framework::impl
