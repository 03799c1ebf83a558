// What every attribute class of ruvo.core._attributes shares: the module's
// constant texts and imported framework types, the common fields (attrtype,
// sync, attrname) with their keywords and accessors, the attrvalue method with
// its argument test and its dispatch to a Python subclass's override, the
// refusal of pickling, and the building of each class's type and table of
// internal operations from a short description.
//
// A class file declares its record (the base's record followed by its own
// fields), its table (the base's table followed by its new operations), its
// operations, constructor and docstring, and one AttributeClass describing
// them; the module registers the descriptions in its class list (module.cpp).
// In outline (attribute.cpp is a complete example):
//
//   extern AttributeClass numeric_attribute_class;
//   struct NumericAttribute {
//       fw::NumericProperty base;
//       PyObject* attrtype; int32_t sync; PyObject* attrname; PyObject* options;
//   };
//   struct NumericAttributeTable { fw::NumericPropertyTable base; AttrvalueOp attrvalue; };
//   NumericAttributeTable table;
//   void fill_table(void* t) { static_cast<NumericAttributeTable*>(t)->base.base.check = check; ... }
//   PyObject* render(PyObject* self, PyObject* obj) { ... }   // attrvalue's own work
//   AttributeClass numeric_attribute_class = {
//       .name = "_NumericAttribute", .doc = kDoc, .base = Outside::NumericProperty, .in_all = true,
//       .basicsize = sizeof(NumericAttribute),
//       .common = {RUVO_FIELD(NumericAttribute, attrtype), RUVO_FIELD(NumericAttribute, sync),
//                  RUVO_FIELD(NumericAttribute, attrname)},
//       .gc_fields = {RUVO_FIELD(NumericAttribute, options)},
//       .create_fields = create_fields, .init = init,
//       .table = &table, .table_size = sizeof table,
//       .attrvalue_slot = offsetof(NumericAttributeTable, attrvalue),
//       .fill_table = fill_table, .render = render, .attrvalue_doc = "...",
//       .members = members,  // e.g. the read-only `options`
//       .kit = kit<numeric_attribute_class>(),
//   };
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/include/ruvo_framework.hpp"
#include "native.hpp"

#include <structmember.h>

namespace ruvo::attributes {

namespace fw = ruvo::framework;

// Source path named by every traceback entry of the module.
inline constexpr const char* kFile = "ruvo/core/_attributes.cpp";

extern ruvo::NativeModule module_def;

// Adds a traceback entry for the pending exception, naming the function by
// its full dotted name ("ruvo.core._attributes._Attribute.attrvalue").
inline void traceback(const char* dotted_name, int line) { module_def.traceback(dotted_name, line); }

// ---------------------------------------------------------------------------
// Constant texts, interned once at import.

struct Texts {
    PyObject* empty;
    PyObject* attrtype;
    PyObject* attrname;
    PyObject* sync;
    PyObject* options;
    PyObject* values;
    PyObject* allownone;
    PyObject* name;
    PyObject* attrvalue;
    PyObject* init;  // "__init__"
    PyObject* dot;
    PyObject* underscore;
    PyObject* dash;
    PyObject* replace;
    PyObject* true_text;   // "true"
    PyObject* false_text;  // "false"
};
extern Texts T;

// Builtins that the module names directly, resolved once at import.
extern PyObject* builtin_zip;
extern PyObject* builtin_super;

// ---------------------------------------------------------------------------
// The framework's types, fetched and tested at import.

enum class Outside : int {
    // ruvo.core.properties
    Property,
    NumericProperty,
    BoundedNumericProperty,
    BooleanProperty,
    ListProperty,
    VariableListProperty,
    StringProperty,
    DictProperty,
    ObjectProperty,
    OptionProperty,
    ReferenceListProperty,
    AliasProperty,
    ColorProperty,
    PropertyStorage,
    // ruvo.core._event
    ObjectWithUid,
    Observable,
    EventDispatcher,
    BoundCallback,
    EventObservers,
    Count
};

struct OutsideType {
    const char* module;   // the module it is fetched from
    const char* name;
    Py_ssize_t size;      // the record size this module was built against
    bool has_table;       // publishes a table of internal operations
    PyTypeObject* type;   // once fetched (owned)
    const void* table;    // the published table, once fetched
};
extern OutsideType outside[static_cast<int>(Outside::Count)];

inline PyTypeObject* outside_type(Outside which) { return outside[static_cast<int>(which)].type; }

// The table published by an outside type, e.g.
// outside_table<fw::NumericPropertyTable>(Outside::NumericProperty).
template <class Table>
const Table* outside_table(Outside which) {
    return static_cast<const Table*>(outside[static_cast<int>(which)].table);
}

// Fetches and tests one outside type unless already done: a type object, no
// smaller than its record here (larger: a warning, or an error when `extended`
// since this module's fields follow that record), with a readable table when
// it publishes one. Returns the type (borrowed), or null with an exception.
PyTypeObject* fetch_outside(Outside which, bool extended);

// ---------------------------------------------------------------------------
// Fields and records.

// Access to a PyObject* field of a record by its offset.
inline PyObject*& object_field(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}
inline int32_t& int32_field(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(self) + offset);
}
// Replaces an owned field, releasing the old value last.
inline void set_field(PyObject* self, Py_ssize_t offset, PyObject* value) {
    Py_INCREF(value);
    Py_XSETREF(object_field(self, offset), value);
}

// The offset of a field in a record, as the descriptions take it.
#define RUVO_FIELD(Record, field) static_cast<Py_ssize_t>(offsetof(Record, field))

// Where the fields shared by every class lie in its record.
struct CommonOffsets {
    Py_ssize_t attrtype;  // str or None
    Py_ssize_t sync;      // int32_t
    Py_ssize_t attrname;  // str or None
};

// The stored value of `obj` through the property's own table.
inline PyObject* get_value(PyObject* self, PyObject* obj) {
    fw::Property* p = reinterpret_cast<fw::Property*>(self);
    return p->vtab->get_value(p, obj);
}

// ---------------------------------------------------------------------------
// Helpers for constructors and operations.

// A fresh copy of a keyword dict (a new empty dict for null).
PyObject* copy_kwargs(PyObject* kwargs);

// Field at `offset` = keyword `key` of `kwargs` (default ""), which must be
// exactly str or None: TypeError "Expected str, got T". Returns 0 or -1.
int read_text_keyword(PyObject* self, Py_ssize_t offset, PyObject* kwargs, PyObject* key);

// The field `sync` = keyword "sync" (default 0) through to_int32.
int read_sync_keyword(PyObject* self, Py_ssize_t offset, PyObject* kwargs);

// The usual sequence of the common keywords: attrtype, attrname, sync.
int read_common_keywords(PyObject* self, const CommonOffsets& common, PyObject* kwargs);

// A new list of the items of keyword `key` (any iterable; absent: empty).
PyObject* list_keyword(PyObject* kwargs, PyObject* key);

// kwargs["allownone"] = True.
int force_allownone(PyObject* kwargs);

// super(cls, self).__init__(*args, **kwargs); `args` is a tuple (may be null).
int call_base_init(PyTypeObject* cls, PyObject* self, PyObject* args, PyObject* kwargs);

// The attribute name rendered: `attrname` when it is a non-empty str, else
// `name` with every "_" replaced by "-" (AttributeError for a None name).
PyObject* resolved_attrname(PyObject* attrname, PyObject* name);

// The property's Python attribute `name` (new reference).
PyObject* property_name(PyObject* self);

// ValueError "CLS.NAME" + the concatenation of `tail`: CLS is the class name
// of `obj`, NAME the property's `name`, both formatted as by format(). A null
// piece in `tail` stands for an error already set. Returns null.
PyObject* raise_value_error(PyObject* self, PyObject* obj, std::initializer_list<PyObject*> tail);

// The PropertyStorage of this property on the dispatcher `obj` (borrowed):
// KeyError when it has none, TypeError for an entry of another type or a
// widget that is no EventDispatcher.
fw::PropertyStorage* storage_of(PyObject* self, PyObject* obj);

// ---------------------------------------------------------------------------
// Class descriptions.

// The table operation every class adds: the rendered value of `obj`. Called
// with skip_dispatch 0 it first looks for a Python subclass's override.
using AttrvalueOp = PyObject* (*)(PyObject* self, PyObject* obj, int skip_dispatch);
// The class's own rendering (no dispatch): what attrvalue does.
using RenderFn = PyObject* (*)(PyObject* self, PyObject* obj);

// The functions the machinery instantiates for each class (see kit<C>()).
struct Kit {
    newfunc tp_new;
    destructor tp_dealloc;
    traverseproc tp_traverse;
    inquiry tp_clear;
    AttrvalueOp attrvalue_op;
    _PyCFunctionFastWithKeywords attrvalue_method;
    PyCFunction reduce;
    PyCFunction setstate;
};

struct AttributeClass {
    // --- described by the class file
    const char* name;   // "_Attribute"
    const char* doc;
    Outside base;       // the framework type it extends
    bool in_all;        // listed in __all__
    Py_ssize_t basicsize;  // sizeof the record
    CommonOffsets common;
    // Reference fields besides attrtype and attrname, 0-terminated: those
    // visited by the garbage collector (cleared to None), and the others.
    Py_ssize_t gc_fields[6];
    Py_ssize_t other_fields[4];
    // Creation values of the class's own fields (the common ones are set
    // before): 0, or -1 with an exception. May be null.
    int (*create_fields)(PyObject* self);
    initproc init;  // the constructor
    // The table: storage and size, where attrvalue lies in it; fill_table
    // sets the replaced and new operations after the base's table has been
    // copied in (the machinery sets attrvalue).
    void* table;
    size_t table_size;
    size_t attrvalue_slot;
    void (*fill_table)(void* table);
    RenderFn render;
    const char* attrvalue_doc;
    // The class's own Python-visible members (null-terminated arrays, or null).
    PyMemberDef* members;
    PyGetSetDef* getset;
    PyMethodDef* methods;
    Kit kit;

    // --- set by the machinery
    PyTypeObject type;
    PyMethodDef attrvalue_def;
    PyMemberDef all_members[12];
    PyGetSetDef all_getset[8];
    PyMethodDef all_methods[12];
    char full_name[96];   // "ruvo.core._attributes._Attribute"
    char qual_init[128];  // "...._Attribute.__init__"
    char qual_attrvalue[128];
    char qual_attrname[128];
    char qual_reduce[128];
    char qual_setstate[128];
};

// Readies one class at import: fetches its base, builds its table and type,
// binds it in the module and sets up the refusal of pickling. 0 or -1.
int register_class(AttributeClass& cls, PyObject* module_dict);
// Gives a registered class its Python-visible attrvalue method. 0 or -1.
int attach_attrvalue(AttributeClass& cls);

// Traceback entry named after the class: RUVO_ATTR_FAIL(cls.qual_init).
#define RUVO_ATTR_FAIL(qualname, result)                       \
    do {                                                       \
        ::ruvo::attributes::traceback((qualname), __LINE__);  \
        return result;                                         \
    } while (0)

// ---------------------------------------------------------------------------
// The generic functions, instantiated per class.

namespace detail {

PyObject* raise_no_reduce();
bool is_widget(PyObject* obj);
int attrvalue_arg(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** obj);
// 1 with *result set (the override's result, or null) when a Python
// subclass overrides attrvalue; 0 when it does not; -1 on error.
int call_override(PyObject* self, PyObject* obj, PyMethodDef* native, PyObject** result);
PyObject* new_instance(AttributeClass& C, PyTypeObject* type, PyObject* args, PyObject* kwargs);
// Releases the class's own fields; the base's deallocation does the rest.
void release_fields(AttributeClass& C, PyObject* self);
int traverse(AttributeClass& C, PyObject* self, visitproc visit, void* arg);
int clear(AttributeClass& C, PyObject* self);

template <AttributeClass& C>
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_instance(C, type, args, kwargs);
}
template <AttributeClass& C>
void release(PyObject* self) {
    release_fields(C, self);
}
template <AttributeClass& C>
void base_dealloc(PyObject* self) {
    C.type.tp_base->tp_dealloc(self);
}
template <AttributeClass& C>
int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    return traverse(C, self, visit, arg);
}
template <AttributeClass& C>
int tp_clear(PyObject* self) {
    return clear(C, self);
}

// The table operation: a Python subclass's override first, unless skipped.
template <AttributeClass& C>
PyObject* attrvalue_op(PyObject* self, PyObject* obj, int skip_dispatch) {
    if (!skip_dispatch && Py_TYPE(self) != &C.type &&
        (Py_TYPE(self)->tp_dictoffset != 0 || (Py_TYPE(self)->tp_flags & Py_TPFLAGS_HEAPTYPE))) {
        PyObject* result;
        int rc = call_override(self, obj, &C.attrvalue_def, &result);
        if (rc > 0) return result;
        if (rc < 0) RUVO_ATTR_FAIL(C.qual_attrvalue, nullptr);
    }
    PyObject* result = C.render(self, obj);
    if (!result && !skip_dispatch) RUVO_ATTR_FAIL(C.qual_attrvalue, nullptr);
    return result;
}

// The Python method: tests its argument and renders, never re-dispatching.
template <AttributeClass& C>
PyObject* attrvalue_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* obj;
    if (attrvalue_arg(args, static_cast<size_t>(nargsf), kwnames, &obj) < 0) RUVO_ATTR_FAIL(C.qual_attrvalue, nullptr);
    PyObject* result = C.render(self, obj);
    if (!result) RUVO_ATTR_FAIL(C.qual_attrvalue, nullptr);
    return result;
}

template <AttributeClass& C>
PyObject* reduce(PyObject*, PyObject*) {
    raise_no_reduce();
    RUVO_ATTR_FAIL(C.qual_reduce, nullptr);
}
template <AttributeClass& C>
PyObject* setstate(PyObject*, PyObject*) {
    raise_no_reduce();
    RUVO_ATTR_FAIL(C.qual_setstate, nullptr);
}

}  // namespace detail

// The generic functions for the class described by C; a class file writes
// `.kit = kit<my_class>()` in its description.
template <AttributeClass& C>
constexpr Kit kit() {
    return {&detail::tp_new<C>,          &trashcan_dealloc<detail::release<C>, detail::base_dealloc<C>>,       &detail::tp_traverse<C>,
            &detail::tp_clear<C>,        &detail::attrvalue_op<C>,     &detail::attrvalue_method<C>,
            &detail::reduce<C>,          &detail::setstate<C>};
}

// The attrvalue operation of a table, by its slot.
inline AttrvalueOp& attrvalue_slot(void* table, size_t slot) {
    return *reinterpret_cast<AttrvalueOp*>(static_cast<char*>(table) + slot);
}

}  // namespace ruvo::attributes
