// Internal declarations of ruvo.core._framework: the type objects, the
// tables of internal operations and the helpers that the families share.
#pragma once
#include "native.hpp"
#include "core/include/ruvo_framework.hpp"

namespace ruvo::fw {

using namespace ruvo::framework;

extern NativeModule module_def;

// Adds the traceback entry "ruvo.core._framework.<name>" and returns null.
#define FW_FAIL(name)                                                       \
    do {                                                                    \
        ::ruvo::fw::module_def.traceback("ruvo.core._framework." name, __LINE__); \
        return nullptr;                                                     \
    } while (0)

// A fast-call method for a PyMethodDef.
#define FW_METH(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
#define FW_FASTKW (METH_FASTCALL | METH_KEYWORDS)

// ---------------------------------------------------------------------------
// Type objects

extern PyTypeObject PropertyType, NumericPropertyType, BoundedNumericPropertyType, BooleanPropertyType,
    ListPropertyType, VariableListPropertyType, StringPropertyType, DictPropertyType, ObjectPropertyType,
    OptionPropertyType, ReferenceListPropertyType, AliasPropertyType, ColorPropertyType;
extern PyTypeObject PropertyStorageType, ObservableListType;
extern PyTypeObject ObjectWithUidType, ObservableType, EventDispatcherType, BoundCallbackType, EventObserversType;

// Tables, filled once at import.
extern PropertyTable property_table;
extern NumericPropertyTable numeric_table, bounded_table;
extern PropertyTable boolean_table, list_table, varlist_table, string_table, dict_table, object_table,
    option_table, reflist_table, alias_table, color_table;
extern ObjectWithUidTable uid_table;
extern ObservableTable observable_table;
extern EventDispatcherTable dispatcher_table;
extern EventObserversTable observers_table;

// Setting up a type: fills the common slots of a GC-enabled base type.
void setup_type(PyTypeObject& t, const char* name, Py_ssize_t size, PyTypeObject* base, const char* doc);
// PyType_Ready, the table's capsule under "__pyx_vtable__", and the module binding.
int ready_type(PyTypeObject& t, void* table, PyObject* module, const char* public_name);

// Family set-up steps, run in this order at import.
int init_storage_types(PyObject* module);
int init_event_types(PyObject* module);
int init_property_types(PyObject* module);
int init_numeric_types(PyObject* module);
int init_list_types(PyObject* module);
int init_kind_types(PyObject* module);
int init_dispatcher_types(PyObject* module);

// ---------------------------------------------------------------------------
// Constants

struct Texts {
    PyObject* empty;
    PyObject* percent;
    PyObject* units;       // CSS_LENGTH_UNITS: tuple of str
    PyObject* dunder_name;  // "__name__"
    PyObject* properties_key;  // key of the per-class property record
    PyObject* table_key;       // key of the per-class table record
    PyObject* client;       // "client"
    PyObject* get_color;    // "get_color_from_hex_255"
};
extern Texts T;
int make_texts();

// ---------------------------------------------------------------------------
// Helpers shared by the families

inline void set_none(PyObject** slot) { Py_XSETREF(*slot, Py_NewRef(Py_None)); }
// Replaces a field (stealing `value`), releasing the old object last.
inline void set_field(PyObject** slot, PyObject* value) { Py_XSETREF(*slot, value); }

// type(obj).__name__ (new reference).
PyObject* class_name(PyObject* obj);
// Raises `exc` with "CLS.NAME" followed by `what` (a printf format with
// PyUnicode_FromFormat's codes, e.g. %R). Returns null.
PyObject* raise_named(PyObject* exc, Property* prop, PyObject* obj, const char* what, ...);

// The storage of `prop` on `obj` (new reference), or null with TypeError
// (not a dispatcher, or no name) or KeyError (no storage under the name).
PropertyStorage* storage_of(Property* prop, PyObject* obj);

// New PropertyStorage with every field None.
PropertyStorage* new_storage();
// The storage's observers, created on first use (borrowed).
EventObservers* observers_of(PropertyStorage* storage);
// True when `observers` is an EventObservers with at least one callback.
inline bool has_callbacks(PyObject* observers) {
    if (!observers || !PyObject_TypeCheck(observers, &EventObserversType)) return false;
    PyObject* l = reinterpret_cast<EventObservers*>(observers)->callbacks;
    return l && PyList_Check(l) && PyList_GET_SIZE(l) > 0;
}
// New EventObservers.
EventObservers* new_observers();
// The callbacks as a new tuple, so that callbacks may bind and unbind
// freely while it is walked; TypeError when the list (which Python code can
// reach through the collector) holds anything but BoundCallbacks.
PyObject* callbacks_snapshot(EventObservers* self);
// Removes the first callback matching: by uid (uid > 0), else by func (and,
// with `match_args`, equal largs and kwargs). 0 or -1.
int observers_remove(EventObservers* self, PyObject* func, PyObject* largs, PyObject* kwargs, bool match_args,
                     Py_ssize_t uid);

// Common constructor part: defaultvalue (null: `fallback`), allownone from `kw`.
int property_init_common(Property* self, PyObject* defaultvalue, PyObject* fallback, PyObject* kw);
// Base slot functions that derived types chain to.
PyObject* property_new(PyTypeObject* type, PyObject* args, PyObject* kw);
int property_traverse(PyObject* self, visitproc visit, void* arg);
int property_clear(PyObject* self);
// Releases Property's fields; each family's release ends with it, and the
// family's tp_dealloc is trashcan_dealloc of its release.
void property_release(PyObject* self);

// Base operations reused by the families.
PyObject* property_check(Property* self, PyObject* obj, PyObject* value);
PyObject* property_convert(Property* self, PyObject* obj, PyObject* value);
PyObject* property_init_storage(Property* self, PyObject* obj, PropertyStorage* storage);
PyObject* property_dispatch(Property* self, PyObject* obj);
// convert, check, compare, store, notify; with `units`, the storage's
// remembered unit is forgotten first and restored when the value is refused.
PyObject* property_assign(Property* self, PyObject* obj, PyObject* value, bool units);

// New exact ObservableList of the items of `seq` (list or tuple), bound to (prop, obj).
PyObject* new_observable_list(PyObject* seq, Property* prop, PyObject* obj);

// The current value of the numeric/list conversion helpers.
inline bool is_number(PyObject* v) { return (PyLong_Check(v) && !PyBool_Check(v)) || PyFloat_Check(v); }

// Calls func(*largs, *args, **kwargs, **own_kwargs) for one bound callback.
PyObject* call_bound(BoundCallback* cb, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs);
Py_ssize_t next_uid();

// Per-class records kept in the class's own dictionary under a private key.
// Python code can remove or replace them, never forge one: a record counts
// only when it is of the expected native type, was made for that very class
// (compared by identity, never by the class's own __eq__) and carries the
// class's current version tag, which the interpreter renews whenever the
// class, a base or its method resolution order changes.
struct ClassRecord {
    PyObject_HEAD
    PyTypeObject* owner;   // compared by identity only
    unsigned int version;  // the owner's version tag once kept; 0: never valid
};
// The valid record of exactly `record_type` under `key` (borrowed), or null
// without an exception.
ClassRecord* find_record(PyTypeObject* type, PyObject* key, PyTypeObject* record_type);
// Keeps `record` under `key` in the class's dictionary, stamped with the
// class's version after that change. 0, or -1 with an exception.
int keep_record(PyTypeObject* type, PyObject* key, ClassRecord* record);

// Python subclasses overriding operations in Python: finish_new installs the
// per-class table on a new instance of `native` or of a Python subclass of it
// (returns self, or null after releasing it); the instance keeps the record
// that holds the table alive. native_table is the table of the nearest native
// class, which the Python-visible methods call.
int init_overrides(PyObject* module);
PyObject* finish_new(PyObject* self, PyTypeObject* native);
PropertyTable* native_table(Property* self);

// Properties of a dispatcher class, found once per class state: a tuple of
// (name, Property) pairs in definition order, bases first (new reference).
PyObject* class_properties(PyTypeObject* type);

}  // namespace ruvo::fw
