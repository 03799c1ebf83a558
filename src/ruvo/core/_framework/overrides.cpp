// Python subclasses of the property classes that override an operation in
// Python (convert, check, compare_value, set, get_value, init_storage,
// parse_text, parse_pair): their instances get a per-class table whose
// entries for those operations call the Python method. The Python-visible
// methods of the native classes call the nearest native class's table, so a
// Python override that calls super() reaches the native operation and never
// itself again.
#include <cstring>

#include "framework.hpp"

namespace ruvo::framework::impl {

namespace {

// A class's table: the native class's table with the entries that the class
// overrides replaced. Instances point into it and keep the record alive, so
// the table outlives a change of their class and the class itself.
struct TableRecord {
    ClassRecord head;
    bool overrides;              // false: the class's instances keep the native table
    NumericPropertyTable table;  // a numeric table's prefix is the property table
};

// The names of the methods a Python subclass may override (interned at import).
struct OverridableNames {
    PyObject* init_storage;
    PyObject* compare_value;
    PyObject* set;
    PyObject* get_value;
    PyObject* get;
    PyObject* check;
    PyObject* convert;
    PyObject* parse_text;
    PyObject* parse_pair;
} names;

PyObject* call(Property* self, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[4] = {reinterpret_cast<PyObject*>(self)};
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The table entries of overridden operations: each calls the Python method.
PyObject* python_init_storage(Property* self, PyObject* obj, PropertyStorage* storage) {
    return call(self, names.init_storage, {obj, reinterpret_cast<PyObject*>(storage)});
}
PyObject* python_compare_value(Property* self, PyObject* a, PyObject* b) { return call(self, names.compare_value, {a, b}); }
PyObject* python_set(Property* self, PyObject* obj, PyObject* value) { return call(self, names.set, {obj, value}); }
PyObject* python_get_value(Property* self, PyObject* obj) { return call(self, names.get_value, {obj}); }
PyObject* python_get(Property* self, PyObject* obj) { return call(self, names.get, {obj}); }
PyObject* python_check(Property* self, PyObject* obj, PyObject* value) { return call(self, names.check, {obj, value}); }
PyObject* python_convert(Property* self, PyObject* obj, PyObject* value) { return call(self, names.convert, {obj, value}); }

// A Python parser's result as the table's 32-bit float; -1.0f with an exception on failure.
float as_float(PyObject* result) {
    Ref owned = Ref::steal(result);
    if (!owned) return -1.0f;
    return static_cast<float>(PyFloat_AsDouble(owned.get()));
}
float python_parse_text(NumericProperty* self, PyObject* obj, PyObject* text) {
    return as_float(call(&self->base, names.parse_text, {obj, text}));
}
float python_parse_pair(NumericProperty* self, PyObject* obj, PyObject* number, PyObject* unit) {
    return as_float(call(&self->base, names.parse_pair, {obj, number, unit}));
}

// The native class that lays out instances of `type`: the first native class
// along its bases' layout chain (tp_base, not the method resolution order,
// which can put a native class of another layout first), and its table;
// null when that class publishes none.
PyTypeObject* nearest_native(PyTypeObject* type, void** table) {
    PyTypeObject* t = type;
    while (t && (t->tp_flags & Py_TPFLAGS_HEAPTYPE)) t = t->tp_base;
    *table = t ? published_table(t) : nullptr;
    return *table ? t : nullptr;
}

// 1 when `cls` defines `name` otherwise than `native`, 0 when not, -1 on error.
int overrides(PyTypeObject* cls, PyTypeObject* native, PyObject* name) {
    Ref mine = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(cls), name));
    Ref base = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(native), name));
    if (!mine || !base) {
        PyErr_Clear();
        return 0;
    }
    return mine.get() != base.get();
}

// A new table record for `cls` (a Python subclass of the native class
// `native`, whose table is `base`), not yet kept.
Ref make_table(PyTypeObject* cls, PyTypeObject* native, const PropertyTable* base) {
    Ref made = Ref::steal(PyObject_New(PyObject, &TableRecordType));
    if (!made) return made;
    TableRecord* record = reinterpret_cast<TableRecord*>(made.get());
    record->head.owner = nullptr;
    record->head.version = 0;
    record->overrides = false;
    const bool numeric = PyType_IsSubtype(native, &NumericPropertyType);
    std::memset(&record->table, 0, sizeof record->table);
    std::memcpy(&record->table, base, numeric ? sizeof(NumericPropertyTable) : sizeof(PropertyTable));
    struct Slot {
        PyObject* name;
        bool numeric_only;
        void (*install)(NumericPropertyTable*);
    };
    const Slot slots[] = {
        {names.init_storage, false, [](NumericPropertyTable* t) { t->base.init_storage = python_init_storage; }},
        {names.compare_value, false, [](NumericPropertyTable* t) { t->base.compare_value = python_compare_value; }},
        {names.set, false, [](NumericPropertyTable* t) { t->base.set = python_set; }},
        {names.check, false, [](NumericPropertyTable* t) { t->base.check = python_check; }},
        {names.convert, false, [](NumericPropertyTable* t) { t->base.convert = python_convert; }},
        {names.get_value, false, [](NumericPropertyTable* t) { t->base.get_value = python_get_value; }},
        {names.get, false, [](NumericPropertyTable* t) { t->base.get_value = python_get; }},
        {names.parse_text, true, [](NumericPropertyTable* t) { t->parse_text = python_parse_text; }},
        {names.parse_pair, true, [](NumericPropertyTable* t) { t->parse_pair = python_parse_pair; }},
    };
    bool getter = false;
    for (const Slot& s : slots) {
        if (s.numeric_only && !numeric) continue;
        const bool is_getter = s.name == names.get_value || s.name == names.get;
        if (is_getter && getter) continue;  // get_value wins over get
        if (overrides(cls, native, s.name)) {
            s.install(&record->table);
            record->overrides = true;
            getter = getter || is_getter;
        }
    }
    return made;
}

// The table record of `cls` as the class is now, or null with an exception.
Ref class_table(PyTypeObject* cls, PyTypeObject* native, const PropertyTable* base) {
    ClassRecord* found = find_record(cls, texts.table_key, &TableRecordType);
    if (found) return Ref::borrow(reinterpret_cast<PyObject*>(found));
    Ref made = make_table(cls, native, base);
    if (!made || keep_record(cls, texts.table_key, reinterpret_cast<ClassRecord*>(made.get())) < 0) return Ref();
    return made;
}

}  // namespace

PyTypeObject TableRecordType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "ruvo.core._framework.ClassTable";
    t.tp_basicsize = sizeof(TableRecord);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "The table of internal operations of one property class (internal).";
    t.tp_dealloc = [](PyObject* self) { PyObject_Free(self); };
    return t;
}();

int init_overrides() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&names.init_storage, "init_storage"}, {&names.compare_value, "compare_value"}, {&names.set, "set"},
        {&names.get_value, "get_value"},       {&names.get, "get"},                     {&names.check, "check"},
        {&names.convert, "convert"},           {&names.parse_text, "parse_text"},       {&names.parse_pair, "parse_pair"},
    };
    for (const Entry& e : entries) {
        if (!intern(e.slot, e.text)) return -1;
    }
    return 0;
}

Ref finish_new(Ref self, PyTypeObject* native) {
    if (!self) return self;
    PyTypeObject* type = Py_TYPE(self.get());
    if (type == native || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return self;
    void* base = nullptr;
    if (nearest_native(type, &base) != native) return self;
    Ref record = class_table(type, native, static_cast<const PropertyTable*>(base));
    if (!record) return record;
    TableRecord* table = reinterpret_cast<TableRecord*>(record.get());
    if (table->overrides) {
        Property* p = reinterpret_cast<Property*>(self.get());
        p->vtab = &table->table.base;
        set_field(p->table_owner, std::move(record));
    }
    return self;
}

PropertyTable* native_table(Property* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return self->vtab;
    void* table = nullptr;
    return nearest_native(type, &table) ? static_cast<PropertyTable*>(table) : self->vtab;
}

}  // namespace ruvo::framework::impl
