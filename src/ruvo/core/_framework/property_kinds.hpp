// What the smaller property kinds share: their new-object and __init__
// steps, the type check of their kind, and the forwarding of a dependency's
// change (for the kinds whose value derives from other properties).
#pragma once
#include "framework.hpp"

namespace ruvo::framework::impl {

// A type-refusing check: the base check, then `accept(value)`, else ValueError.
template <bool (*Accept)(PyObject*)>
PyObject* kind_check(Property* self, PyObject* obj, PyObject* value, const char* what) {
    Ref r = Ref::steal(property_check(self, obj, value));
    if (r.get() != Py_None || Accept(value)) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " accepts only %s (got %R)", what, value);
}

// A new-object function: the table, then the kind's own fields (`Fill`,
// which sets them all to None before it allocates anything, since an
// allocation can run the collector and its finalisers can find the object),
// and last the class's table, which can run Python code.
template <PropertyTable* Table, PyTypeObject* Type, int (*Fill)(PyObject*) = nullptr>
PyObject* simple_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = property_new(type);
    if (!self) return nullptr;
    as_prop(self.get())->vtab = Table;
    if (Fill && Fill(self.get()) < 0) return nullptr;
    return finish_new(std::move(self), Type).release();
}

// A `Fill` for a kind whose one field starts as a new empty list.
template <class Record, PyObject* Record::*Field>
int fill_empty_list(PyObject* self) {
    PyObject*& field = reinterpret_cast<Record*>(self)->*Field;
    field = Py_NewRef(Py_None);
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return -1;
    set_field(field, std::move(list));
    return 0;
}

// An __init__(defaultvalue=<fallback>, **kw) for the kinds without
// parameters of their own; it reports as Property.__init__.
template <Ref (*Fallback)()>
int simple_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    Ref fallback = Fallback();
    if (!fallback || property_init_method.params.parse(args, kwargs, a, keep, &kw) < 0 ||
        property_init_common(as_prop(self), a[0], fallback.get(), kw.get()) < 0) {
        return property_init_method.site.fail();
    }
    return 0;
}

// Binds self's forwarder, which dispatches self's observers on the object,
// to the storages of `names` (properties of obj): a change of any of them is
// a change of self. 0 or -1.
int bind_dependencies(Property* self, PyObject* obj, PyObject* names);

}  // namespace ruvo::framework::impl
