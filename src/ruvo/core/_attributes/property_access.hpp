// What the attribute classes read from the framework's records: a property's
// stored value and its storage on a widget, its name, and the ValueError
// that names the widget's class and the property.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

#include "framework_types.hpp"
#include "native.hpp"

namespace ruvo::attributes {

// The stored value of `obj` through the property's own table.
inline Ref get_value(PyObject* self, PyObject* obj) {
    framework::Property* p = reinterpret_cast<framework::Property*>(self);
    return Ref::steal(p->vtab->get_value(p, obj));
}

// True when `obj` is an EventDispatcher (a widget). A widget class usually
// derives from EventDispatcher directly: its base is tested before its MRO.
inline bool is_widget(PyObject* obj) {
    PyTypeObject* dispatcher = framework_type(FrameworkType::EventDispatcher);
    PyTypeObject* type = Py_TYPE(obj);
    return type == dispatcher || type->tp_base == dispatcher || PyType_IsSubtype(type, dispatcher);
}

// The PropertyStorage of this property on the widget `obj`: KeyError when it
// has none, TypeError for an entry of another type or an object that is no
// EventDispatcher. Owned, like the framework's own: the caller's code may
// replace the widget's entry while it uses the storage.
Ref storage_of(PyObject* self, PyObject* obj);
inline framework::PropertyStorage* as_storage(const Ref& storage) {
    return reinterpret_cast<framework::PropertyStorage*>(storage.get());
}

// The stored value of `obj`, as get_value gives it, and in `storage` the
// PropertyStorage it was read from, for further reads (the unit). Under the
// framework's own getter, which reads the value from the storage, the
// storage is looked up here; otherwise, and when that lookup finds no
// storage, the value comes through the table, which reports the failure, and
// `storage` stays null.
Ref stored_value(PyObject* self, PyObject* obj, Ref& storage);

// The property's Python attribute `name`.
Ref property_name(PyObject* self);

// A text derived from an exact str, remembered for the last strs seen: a
// rendering derives the same names at every call. Entries are found by the
// str's address; each holds its str, so an address found is still that
// str's.
template <int N>
class DerivedTexts {
public:
    // The text remembered for `key` (an exact str), else derive(key) (a Ref,
    // null with an exception), remembered in place of another.
    template <class Derive>
    Ref get(PyObject* key, Derive&& derive) {
        Entry& e = entries_[(reinterpret_cast<uintptr_t>(key) >> 4) % N];
        if (e.key == key) return Ref::borrow(e.text);
        Ref text = derive(key);
        if (!text) return text;
        set_field(e.key, Ref::borrow(key));
        set_field(e.text, Ref::borrow(text.get()));
        return text;
    }

private:
    struct Entry {
        PyObject* key;   // owned, kept until replaced
        PyObject* text;  // owned
    };
    Entry entries_[N] = {};
};

// The attribute name rendered: `attrname` when it is a non-empty str, else
// `name` with every "_" replaced by "-" (AttributeError for a None name).
Ref resolved_attrname(PyObject* attrname, PyObject* name);

// ValueError "CLS.NAME" + the concatenation of `tail`: CLS is the class name
// of `obj`, NAME the property's `name`, both formatted as by format(). A null
// piece in `tail` stands for an error already set. Returns null.
Failure raise_value_error(PyObject* self, PyObject* obj, std::initializer_list<PyObject*> tail);

// The same with `head` + repr(value) + ")". Returns null.
Failure raise_with_repr(PyObject* self, PyObject* obj, PyObject* head, PyObject* value);

}  // namespace ruvo::attributes
