// Internal declarations of ruvo.core._framework: the type objects, the
// tables of internal operations and the helpers that the files share.
// Everything here lives in ruvo::framework::impl, beside the published
// layout (ruvo::framework, core/include/ruvo_framework.hpp) it implements.
#pragma once
#include "native.hpp"
#include "core/include/ruvo_framework.hpp"

namespace ruvo::framework::impl {

extern NativeModule module_def;

// ---------------------------------------------------------------------------
// Type objects, each declared once in the file of its class.

extern PyTypeObject PropertyType, NumericPropertyType, BoundedNumericPropertyType, BooleanPropertyType,
    ListPropertyType, VariableListPropertyType, StringPropertyType, DictPropertyType, ObjectPropertyType,
    OptionPropertyType, ReferenceListPropertyType, AliasPropertyType, ColorPropertyType;
extern PyTypeObject PropertyStorageType, ObservableListType;
extern PyTypeObject ObjectWithUidType, ObservableType, EventDispatcherType, BoundCallbackType, EventObserversType;
// The internal per-class records: a class's table (overrides.cpp) and its
// properties (class_properties.cpp).
extern PyTypeObject TableRecordType, PropertiesRecordType;

// The tables of internal operations, each declared with its class.
extern PropertyTable property_table;
extern NumericPropertyTable numeric_table, bounded_table;
extern PropertyTable boolean_table, list_table, varlist_table, string_table, dict_table, object_table,
    option_table, reflist_table, alias_table, color_table;
extern ObjectWithUidTable uid_table;
extern ObservableTable observable_table;
extern EventDispatcherTable dispatcher_table;
extern EventObserversTable observers_table;

// The common part of the framework's type declarations: a garbage-collected
// base type (Python classes may derive from it).
inline PyTypeObject framework_type(const char* name, Py_ssize_t size, PyTypeObject* base, const char* doc) {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_base = base;
    t.tp_doc = doc;
    return t;
}

// ---------------------------------------------------------------------------
// Constants

struct Texts {
    PyObject* empty;
    PyObject* percent;
    PyObject* units;           // CSS_LENGTH_UNITS: tuple of str
    PyObject* dunder_name;     // "__name__"
    PyObject* properties_key;  // key of the per-class property record
    PyObject* table_key;       // key of the per-class table record
    PyObject* client;          // "client"
    PyObject* get_color;       // "get_color_from_hex_255"
};
extern Texts texts;

// ---------------------------------------------------------------------------
// Helpers shared by the files

inline void set_none(PyObject*& field) { set_field(field, Ref::borrow(Py_None)); }

inline Property* as_prop(PyObject* o) { return reinterpret_cast<Property*>(o); }
inline PropertyStorage* as_storage(PyObject* o) { return reinterpret_cast<PropertyStorage*>(o); }
inline PropertyStorage* as_storage(const Ref& storage) { return as_storage(storage.get()); }

// type(obj).__name__.
Ref class_name(PyObject* obj);
// Raises `exc` with "CLS.NAME" followed by `what` (a printf format with
// PyUnicode_FromFormat's codes, e.g. %R).
Failure raise_named(PyObject* exc, Property* prop, PyObject* obj, const char* what, ...);

// The storage of `prop` on `obj`, or null with TypeError (not a dispatcher,
// or no name) or KeyError (no storage under the name).
Ref storage_of(Property* prop, PyObject* obj);

// A new PropertyStorage with every field None.
Ref new_storage();
// The storage's observers, created on first use (borrowed).
EventObservers* observers_of(PropertyStorage* storage);
// True when `observers` is an EventObservers with at least one callback.
inline bool has_callbacks(PyObject* observers) {
    if (!observers || !PyObject_TypeCheck(observers, &EventObserversType)) return false;
    PyObject* l = reinterpret_cast<EventObservers*>(observers)->callbacks;
    return l && PyList_Check(l) && PyList_GET_SIZE(l) > 0;
}
// A new EventObservers.
Ref new_observers();
// The callbacks as a new tuple, so that callbacks may bind and unbind
// freely while it is walked; TypeError when the list (which Python code can
// reach through the collector) holds anything but BoundCallbacks.
Ref callbacks_snapshot(EventObservers* self);
// Removes the first callback matching: by uid (uid > 0), else by func (and,
// with `match_args`, equal largs and kwargs). 0 or -1.
int observers_remove(EventObservers* self, PyObject* func, PyObject* largs, PyObject* kwargs, bool match_args,
                     Py_ssize_t uid);

// Common constructor part: defaultvalue (null: `fallback`), allownone from `kw`.
int property_init_common(Property* self, PyObject* defaultvalue, PyObject* fallback, PyObject* kw);
// The new-object step that the property types chain to: the record with
// Property's fields set, pointing at Property's table.
Ref property_new(PyTypeObject* type);
int property_traverse(PyObject* self, visitproc visit, void* arg);
int property_clear(PyObject* self);
// Releases Property's fields; each class's release ends with it, and the
// class's tp_dealloc is trashcan_dealloc of its release.
void property_release(PyObject* self);
// Property.__init__, whose traceback entry the kinds without parameters of
// their own share.
extern const Method<1> property_init_method;

// Property's operations, which the other tables start from.
PyObject* property_init_storage(Property* self, PyObject* obj, PropertyStorage* storage);
PyObject* property_link(Property* self, PyObject* obj, PyObject* name);
PyObject* property_link_deps(Property* self, PyObject* obj, PyObject* name);
PyObject* property_bind(Property* self, PyObject* obj, PyObject* observer);
PyObject* property_fbind(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs);
PyObject* property_unbind(Property* self, PyObject* obj, PyObject* observer);
PyObject* property_funbind(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs);
PyObject* property_unbind_uid(Property* self, PyObject* obj, PyObject* uid);
PyObject* property_link_eagerly(Property* self, PyObject* obj);
PyObject* property_dispatch(Property* self, PyObject* obj);
PyObject* property_compare_value(Property* self, PyObject* a, PyObject* b);
PyObject* property_set(Property* self, PyObject* obj, PyObject* value);
PyObject* property_get_value(Property* self, PyObject* obj);
PyObject* property_check(Property* self, PyObject* obj, PyObject* value);
PyObject* property_convert(Property* self, PyObject* obj, PyObject* value);
PyObject* property_get_storage(Property* self, PyObject* obj);

// Property's table, for the tables that start from it.
constexpr PropertyTable property_operations() {
    return {property_init_storage, property_link,     property_link_deps,   property_bind,
            property_fbind,        property_unbind,   property_funbind,     property_unbind_uid,
            property_link_eagerly, property_dispatch, property_compare_value, property_set,
            property_get_value,    property_check,    property_convert,     property_get_storage};
}

// convert, check, compare, store, notify; with `units`, the storage's
// remembered unit is forgotten first and restored when the value is refused.
// True when the value changed, else False.
Ref property_assign(Property* self, PyObject* obj, PyObject* value, bool units);

// A new exact ObservableList of the items of `seq` (list or tuple), bound to (prop, obj).
Ref new_observable_list(PyObject* seq, Property* prop, PyObject* obj);

// An int or a float, not a bool.
inline bool is_number(PyObject* v) { return (PyLong_Check(v) && !PyBool_Check(v)) || PyFloat_Check(v); }

// Calls func(*largs, *args, **kwargs, **own_kwargs) for one bound callback.
Ref call_bound(BoundCallback* cb, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs);
Py_ssize_t next_uid();

// Per-class records kept in the class's own dictionary under a private key.
// Python code can remove or replace them, never forge one: a record counts
// only when it is of the expected native type, was made for that very class
// (compared by identity, never by the class's own __eq__) and carries the
// class's current version (type_version), which changes whenever the class,
// a base or its method resolution order changes.
struct ClassRecord {
    PyObject_HEAD
    PyTypeObject* owner;   // compared by identity only
    uint64_t version;      // the owner's type_version once kept; 0: never valid
};
// The valid record of exactly `record_type` under `key` (borrowed), or null
// without an exception.
ClassRecord* find_record(PyTypeObject* type, PyObject* key, PyTypeObject* record_type);
// Keeps `record` under `key` in the class's dictionary, stamped with the
// class's version after that change. 0, or -1 with an exception.
int keep_record(PyTypeObject* type, PyObject* key, ClassRecord* record);

// Python subclasses overriding operations in Python: finish_new installs the
// per-class table on a new instance of `native` or of a Python subclass of it
// (null when `self` is); the instance keeps the record that holds the table
// alive. native_table is the table of the nearest native class, which the
// Python-visible methods call.
int init_overrides();
Ref finish_new(Ref self, PyTypeObject* native);
PropertyTable* native_table(Property* self);

// Properties of a dispatcher class, found once per class state: a tuple of
// (name, Property) pairs in definition order, bases first.
Ref class_properties(PyTypeObject* type);

// The list methods that ObservableList wraps, looked up at import.
int init_observable_list();

// get_color_from_hex_255 (hex_colour.cpp): its declaration, the function
// object made from it at import (owned), and the parser itself: a new list of
// the components of a colour text, or null with ValueError naming the text.
extern const FunctionDef hex_colour_function;
extern PyObject* hex_colour_parser;
Ref parse_hex_colour(PyObject* text);
// parser(text) for the colour parser found in a module's namespace.
Ref call_colour_parser(PyObject* parser, PyObject* text);

}  // namespace ruvo::framework::impl
