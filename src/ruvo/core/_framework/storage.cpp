// PropertyStorage: the per-object record of one property's value.
#include "framework.hpp"

namespace ruvo::framework::impl {

namespace {

PyObject* storage_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PropertyStorage* s = as_storage(self);
    for (PyObject** f : {&s->value, &s->observers, &s->options, &s->units, &s->extra}) *f = Py_NewRef(Py_None);
    return self;
}

int storage_traverse(PyObject* self, visitproc visit, void* arg) {
    PropertyStorage* s = as_storage(self);
    Py_VISIT(s->value);
    Py_VISIT(s->observers);
    Py_VISIT(s->options);
    Py_VISIT(s->units);
    Py_VISIT(s->extra);
    return 0;
}

int storage_clear(PyObject* self) {
    PropertyStorage* s = as_storage(self);
    for (PyObject** f : {&s->value, &s->observers, &s->options, &s->units, &s->extra}) set_none(*f);
    return 0;
}

void storage_release(PyObject* self) {
    PropertyStorage* s = as_storage(self);
    for (PyObject** f : {&s->value, &s->observers, &s->options, &s->units, &s->extra}) Py_CLEAR(*f);
}

PyObject* get_value(PyObject* self, void*) { return Py_NewRef(as_storage(self)->value); }
PyObject* get_units(PyObject* self, void*) { return Py_NewRef(as_storage(self)->units); }

PyObject* get_observers(PyObject* self, void*) {
    EventObservers* o = observers_of(as_storage(self));
    return o ? Py_NewRef(reinterpret_cast<PyObject*>(o)) : nullptr;
}

PyObject* get_options(PyObject* self, void*) { return Py_NewRef(as_storage(self)->options); }

int set_options(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete PropertyStorage.options");
        return -1;
    }
    if (!check_exact_or_none(value, &PyList_Type)) return -1;
    set_field(as_storage(self)->options, Ref::borrow(value));
    return 0;
}

PyObject* storage_repr(PyObject* self) {
    Ref value = Ref::borrow(as_storage(self)->value);  // its repr may replace it
    return PyUnicode_FromFormat("<PropertyStorage value=%R>", value.get());
}

PyGetSetDef storage_getset[] = {
    {"value", get_value, nullptr, "The stored value (read-only).", nullptr},
    {"options", get_options, set_options, "The options this object validates against: a list or None.", nullptr},
    {"units", get_units, nullptr, "The unit remembered with a numeric value, or None.", nullptr},
    {"observers", get_observers, nullptr, "The EventObservers called when the value changes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject PropertyStorageType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.PropertyStorage", sizeof(PropertyStorage), nullptr,
                                    "PropertyStorage()\n--\n\nThe value of one property on one object, with its "
                                    "observers, options and remembered unit.");
    t.tp_new = storage_new;
    t.tp_traverse = storage_traverse;
    t.tp_clear = storage_clear;
    t.tp_dealloc = trashcan_dealloc<storage_release>;
    t.tp_getset = storage_getset;
    t.tp_repr = storage_repr;
    return t;
}();

Ref new_storage() { return Ref::steal(storage_new(&PropertyStorageType, nullptr, nullptr)); }

EventObservers* observers_of(PropertyStorage* storage) {
    if (!PyObject_TypeCheck(storage->observers, &EventObserversType)) {
        Ref o = new_observers();
        if (!o) return nullptr;
        set_field(storage->observers, std::move(o));
    }
    return reinterpret_cast<EventObservers*>(storage->observers);
}

}  // namespace ruvo::framework::impl
