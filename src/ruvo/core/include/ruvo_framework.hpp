// The property and event framework's native layout: the instance records of
// its types and their tables of internal operations. ruvo.core._framework
// implements them; ruvo.core._attributes extends them and checks at import
// that each type's tp_basicsize is at least the size of the record here.
//
// Conventions of every table operation: arguments are borrowed; an operation
// returning PyObject* returns a new reference, or null with an exception set;
// the float-returning parsers return -1.0f with an exception set on failure
// (callers test PyErr_Occurred()). A derived table begins with its base's
// table, so a pointer to it may be used as a pointer to the base's table.
// Each type publishes a pointer to its table in a PyCapsule named
// kTableCapsule, whose context is the publishing type, under "__pyx_vtable__"
// in its dictionary (publish_table); each record starts with a pointer to its
// table right after the object header.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace ruvo::framework {

struct Property;
struct PropertyStorage;
struct EventDispatcher;
struct EventObservers;

// ---------------------------------------------------------------------------
// Properties

struct PropertyTable {
    // Stores convert(obj, defaultvalue) as the storage's value and sets up its observers. Returns None.
    PyObject* (*init_storage)(Property* self, PyObject* obj, PropertyStorage* storage);
    // Links the property to the dispatcher `obj` under `name` (class creation). Returns None.
    PyObject* (*link)(Property* self, PyObject* obj, PyObject* name);
    // Links dependencies (properties whose value derives from others). Returns None.
    PyObject* (*link_deps)(Property* self, PyObject* obj, PyObject* name);
    // Adds `observer` (a callable) for this property on `obj`. Returns None.
    PyObject* (*bind)(Property* self, PyObject* obj, PyObject* observer);
    // Adds observer with extra arguments; returns the new uid (int).
    PyObject* (*fbind)(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs);
    // Removes the first observer equal to `observer`. Returns None.
    PyObject* (*unbind)(Property* self, PyObject* obj, PyObject* observer);
    // Removes the observer with the same callable and arguments. Returns None.
    PyObject* (*funbind)(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs);
    // Removes the observer with that uid. Returns None.
    PyObject* (*unbind_uid)(Property* self, PyObject* obj, PyObject* uid);
    // Computes a lazily set up value now (aliases). Returns None.
    PyObject* (*link_eagerly)(Property* self, PyObject* obj);
    // Calls the observers bound to this property on `obj` with (obj, value). Returns None.
    PyObject* (*dispatch)(Property* self, PyObject* obj);
    // The result of a == b (any object, not forced to bool).
    PyObject* (*compare_value)(Property* self, PyObject* a, PyObject* b);
    // convert, check, compare, store, notify. Returns True when the value changed, else False.
    PyObject* (*set)(Property* self, PyObject* obj, PyObject* value);
    // The stored value of `obj`.
    PyObject* (*get_value)(Property* self, PyObject* obj);
    // True: accepted outright; None: not decided (subclasses test further); exception: refused.
    PyObject* (*check)(Property* self, PyObject* obj, PyObject* value);
    // The value to store for an assigned value.
    PyObject* (*convert)(Property* self, PyObject* obj, PyObject* value);
    // The PropertyStorage of this property on `obj` (new reference).
    PyObject* (*get_storage)(Property* self, PyObject* obj);
};

struct Property {
    PyObject_HEAD
    PropertyTable* vtab;
    PyObject* name;          // str or None until the property is placed on a class
    PyObject* defaultvalue;  // as given
    PyObject* errorvalue;    // reserved, None
    int allownone;
    PyObject* table_owner;   // the object holding `vtab` when it is a per-class table, else null
};

struct NumericProperty;
struct NumericPropertyTable {
    PropertyTable base;
    // A decimal number with an optional unit from CSS_LENGTH_UNITS or "%";
    // remembers the unit for `obj`. ValueError naming CLS.NAME and the text otherwise.
    float (*parse_text)(NumericProperty* self, PyObject* obj, PyObject* text);
    // The same for an already split (number, unit) pair.
    float (*parse_pair)(NumericProperty* self, PyObject* obj, PyObject* number, PyObject* unit);
};

struct NumericProperty {
    Property base;
    PyObject* units;  // declared unit: str or None
};

struct BoundedNumericProperty {
    NumericProperty base;
    PyObject* min;  // a number or None
    PyObject* max;  // a number or None
};

struct BooleanProperty {
    Property base;
};

struct ListProperty {
    Property base;
};

struct VariableListProperty {
    Property base;
    int32_t length;  // 2 or 4
};

struct StringProperty {
    Property base;
};

struct DictProperty {
    Property base;
};

struct ObjectProperty {
    Property base;
    PyObject* baseclass;  // a type or None
};

struct OptionProperty {
    Property base;
    PyObject* options;  // list
};

struct ReferenceListProperty {
    Property base;
    PyObject* properties;  // list of Property
};

struct AliasProperty {
    Property base;
    PyObject* getter;
    PyObject* setter;  // callable or None
    PyObject* bind;    // tuple of names
};

struct ColorProperty {
    Property base;
};

// ---------------------------------------------------------------------------
// Per-object storage of one property

struct PropertyStorage {
    PyObject_HEAD
    PyObject* value;      // the stored value
    PyObject* observers;  // EventObservers
    PyObject* options;    // list or None: the options this object validates against
    PyObject* units;      // numeric properties: the unit remembered with the value, or None
    PyObject* extra;      // reserved for a property's own per-object data, None
};

// ---------------------------------------------------------------------------
// Objects, observables, dispatchers

struct ObjectWithUidTable {
    PyObject* (*get_uid)(PyObject* self);  // the uid as an int
};

struct ObjectWithUid {
    PyObject_HEAD
    ObjectWithUidTable* vtab;
    Py_ssize_t uid;
};

struct ObservableTable {
    ObjectWithUidTable base;
};

struct Observable {
    ObjectWithUid base;
    PyObject* bound;  // dict: name -> EventObservers for plain attributes; created on demand
};

struct EventDispatcherTable {
    ObservableTable base;
    // The PropertyStorage of `name` (borrowed: the dispatcher's storage dict
    // holds it), or null with KeyError.
    PyObject* (*borrowed_storage)(EventDispatcher* self, PyObject* name);
    // Calls the handlers of event `name` with args/kwargs. New reference (the result), or null.
    PyObject* (*dispatch)(EventDispatcher* self, PyObject* name, PyObject* args, PyObject* kwargs);
};

struct EventDispatcher {
    Observable base;
    PyObject* storage;        // dict: property name -> PropertyStorage
    PyObject* events;         // dict: event name -> EventObservers
    PyObject* client_events;  // list of event names declared with client=True
    PyObject* dict;           // instance dictionary
    PyObject* weakreflist;
};

struct BoundCallback {
    PyObject_HEAD
    PyObject* func;
    PyObject* largs;   // tuple
    PyObject* kwargs;  // dict
    Py_ssize_t uid;
};

struct EventObserversTable {
    // Calls every bound callback with (obj, value) plus its own arguments, in order. Returns None.
    PyObject* (*dispatch)(EventObservers* self, PyObject* obj, PyObject* value);
    // Appends a callback; returns its uid as an int.
    PyObject* (*bind)(EventObservers* self, PyObject* func, PyObject* largs, PyObject* kwargs);
};

struct EventObservers {
    PyObject_HEAD
    EventObserversTable* vtab;
    PyObject* callbacks;  // list of BoundCallback
};

inline constexpr const char kTableCapsule[] = "ruvo.framework.table";

// Publishes `table` as the table of `type`. 0, or -1 with an exception.
inline int publish_table(PyTypeObject* type, void* table) {
    PyObject* capsule = PyCapsule_New(table, kTableCapsule, nullptr);
    if (!capsule) return -1;
    int rc = PyCapsule_SetContext(capsule, type);
    if (rc == 0) rc = PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", capsule);
    Py_DECREF(capsule);
    if (rc == 0) PyType_Modified(type);
    return rc;
}

// The table that `type` published, or null without an exception. Only a
// native (static) type's own capsule counts: Python code can neither make a
// capsule of this name nor move one to another type unnoticed.
inline void* published_table(PyTypeObject* type) {
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !type->tp_dict) return nullptr;
    PyObject* capsule = PyDict_GetItemString(type->tp_dict, "__pyx_vtable__");  // borrowed
    if (!capsule || !PyCapsule_IsValid(capsule, kTableCapsule) || PyCapsule_GetContext(capsule) != type) {
        PyErr_Clear();
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, kTableCapsule);
}

// The table that `type` published, or null with RuntimeError
// "invalid vtable found for imported type".
inline void* imported_table(PyTypeObject* type) {
    void* table = published_table(type);
    if (!table) PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    return table;
}

}  // namespace ruvo::framework
