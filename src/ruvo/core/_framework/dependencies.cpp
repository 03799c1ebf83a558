// Forwarding a dependency's change: a bound method of the dependent property
// (a ReferenceListProperty or an AliasProperty) that dispatches its
// observers on the object whenever a property it depends on changes.
#include "property_kinds.hpp"

namespace ruvo::framework::impl {

namespace {

const Site forward_site{module_def, "Property._forward"};

// Positional only: the interpreter refuses keywords.
Ref forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) return Ref::borrow(Py_None);
    Property* p = as_prop(self);
    return Ref::steal(p->vtab->dispatch(p, args[0]));
}

PyMethodDef forward_def = method<forward_site, forward>("Dispatches on a dependency's change.");

}  // namespace

int bind_dependencies(Property* self, PyObject* obj, PyObject* names) {
    if (!names || names == Py_None) return 0;
    if (!PyObject_TypeCheck(obj, &EventDispatcherType)) {
        PyErr_Format(PyExc_TypeError, "%.200s %R needs an EventDispatcher instance, got %.200s", Py_TYPE(self)->tp_name,
                     self->name ? self->name : Py_None, Py_TYPE(obj)->tp_name);
        return -1;
    }
    Ref seq = Ref::steal(PySequence_Tuple(names));
    if (!seq) return -1;
    if (!PyTuple_GET_SIZE(seq.get())) return 0;
    Ref forwarder = Ref::steal(PyCFunction_New(&forward_def, reinterpret_cast<PyObject*>(self)));
    if (!forwarder) return -1;
    EventDispatcher* d = reinterpret_cast<EventDispatcher*>(obj);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(name)) {
            return raise_named(PyExc_TypeError, self, obj, " depends on a property that is not placed on a class");
        }
        Ref storages = Ref::borrow(d->storage);
        Ref s = Ref::borrow(storages && PyDict_Check(storages.get()) ? PyDict_GetItemWithError(storages.get(), name)
                                                                     : nullptr);
        if (!s) {
            if (!PyErr_Occurred()) {
                raise_named(PyExc_KeyError, self, obj, " depends on %R, which is not a property of this object", name);
            }
            return -1;
        }
        if (!PyObject_TypeCheck(s.get(), &PropertyStorageType)) {
            raise_expected(&PropertyStorageType, s.get());
            return -1;
        }
        Ref held = Ref::borrow(reinterpret_cast<PyObject*>(observers_of(as_storage(s))));
        if (!held) return -1;
        EventObservers* o = reinterpret_cast<EventObservers*>(held.get());
        Ref uid = Ref::steal(o->vtab->bind(o, forwarder.get(), nullptr, nullptr));
        if (!uid) return -1;
    }
    return 0;
}

}  // namespace ruvo::framework::impl
