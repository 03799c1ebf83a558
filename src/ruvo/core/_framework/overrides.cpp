// Python subclasses of the property classes that override an operation in
// Python (convert, check, compare_value, set, get_value, init_storage,
// parse_text, parse_pair): their instances get a per-class table whose
// entries for those operations call the Python method. The Python-visible
// methods of the native classes call the nearest native class's table, so a
// Python override that calls super() reaches the native operation and never
// itself again.
#include <cstring>

#include "fw.hpp"

namespace ruvo::fw {

namespace {

// A class's table: the native class's table with the entries that the class
// overrides replaced. Instances point into it and keep the record alive, so
// the table outlives a change of their class and the class itself.
struct TableRecord {
    ClassRecord head;
    bool overrides;              // false: the class's instances keep the native table
    NumericPropertyTable table;  // a numeric table's prefix is the property table
};

PyTypeObject TableRecordType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* s_init_storage;
PyObject* s_compare_value;
PyObject* s_set;
PyObject* s_get_value;
PyObject* s_get;
PyObject* s_check;
PyObject* s_convert;
PyObject* s_parse_text;
PyObject* s_parse_pair;

PyObject* call(Property* self, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[4] = {reinterpret_cast<PyObject*>(self)};
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* t_init_storage(Property* self, PyObject* obj, PropertyStorage* storage) {
    return call(self, s_init_storage, {obj, reinterpret_cast<PyObject*>(storage)});
}
PyObject* t_compare_value(Property* self, PyObject* a, PyObject* b) { return call(self, s_compare_value, {a, b}); }
PyObject* t_set(Property* self, PyObject* obj, PyObject* value) { return call(self, s_set, {obj, value}); }
PyObject* t_get_value(Property* self, PyObject* obj) { return call(self, s_get_value, {obj}); }
PyObject* t_get(Property* self, PyObject* obj) { return call(self, s_get, {obj}); }
PyObject* t_check(Property* self, PyObject* obj, PyObject* value) { return call(self, s_check, {obj, value}); }
PyObject* t_convert(Property* self, PyObject* obj, PyObject* value) { return call(self, s_convert, {obj, value}); }

float as_float(PyObject* result) {
    if (!result) return -1.0f;
    double d = PyFloat_AsDouble(result);
    Py_DECREF(result);
    return static_cast<float>(d);
}
float t_parse_text(NumericProperty* self, PyObject* obj, PyObject* text) {
    return as_float(call(&self->base, s_parse_text, {obj, text}));
}
float t_parse_pair(NumericProperty* self, PyObject* obj, PyObject* number, PyObject* unit) {
    return as_float(call(&self->base, s_parse_pair, {obj, number, unit}));
}

// The first native class of `type`'s method resolution order that publishes
// a table, and that table; null when there is none.
PyTypeObject* nearest_native(PyTypeObject* type, void** table) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if ((*table = published_table(t))) return t;
    }
    return nullptr;
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
TableRecord* make_table(PyTypeObject* cls, PyTypeObject* native, const PropertyTable* base) {
    Ref made = Ref::steal(PyObject_New(PyObject, &TableRecordType));
    if (!made) return nullptr;
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
        {s_init_storage, false, [](NumericPropertyTable* t) { t->base.init_storage = t_init_storage; }},
        {s_compare_value, false, [](NumericPropertyTable* t) { t->base.compare_value = t_compare_value; }},
        {s_set, false, [](NumericPropertyTable* t) { t->base.set = t_set; }},
        {s_check, false, [](NumericPropertyTable* t) { t->base.check = t_check; }},
        {s_convert, false, [](NumericPropertyTable* t) { t->base.convert = t_convert; }},
        {s_get_value, false, [](NumericPropertyTable* t) { t->base.get_value = t_get_value; }},
        {s_get, false, [](NumericPropertyTable* t) { t->base.get_value = t_get; }},
        {s_parse_text, true, [](NumericPropertyTable* t) { t->parse_text = t_parse_text; }},
        {s_parse_pair, true, [](NumericPropertyTable* t) { t->parse_pair = t_parse_pair; }},
    };
    bool getter = false;
    for (const Slot& s : slots) {
        if (s.numeric_only && !numeric) continue;
        const bool is_getter = s.name == s_get_value || s.name == s_get;
        if (is_getter && getter) continue;  // get_value wins over get
        if (overrides(cls, native, s.name)) {
            s.install(&record->table);
            record->overrides = true;
            getter = getter || is_getter;
        }
    }
    return reinterpret_cast<TableRecord*>(made.release());
}

// The table record of `cls` as the class is now (new reference), or null
// with an exception.
TableRecord* class_table(PyTypeObject* cls, PyTypeObject* native, const PropertyTable* base) {
    ClassRecord* found = find_record(cls, T.table_key, &TableRecordType);
    if (found) return reinterpret_cast<TableRecord*>(Py_NewRef(reinterpret_cast<PyObject*>(found)));
    Ref made = Ref::steal(reinterpret_cast<PyObject*>(make_table(cls, native, base)));
    if (!made || keep_record(cls, T.table_key, reinterpret_cast<ClassRecord*>(made.get())) < 0) return nullptr;
    return reinterpret_cast<TableRecord*>(made.release());
}

}  // namespace

int init_overrides(PyObject*) {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&s_init_storage, "init_storage"}, {&s_compare_value, "compare_value"}, {&s_set, "set"},
        {&s_get_value, "get_value"},       {&s_get, "get"},                     {&s_check, "check"},
        {&s_convert, "convert"},           {&s_parse_text, "parse_text"},       {&s_parse_pair, "parse_pair"},
    };
    for (const Entry& e : entries) {
        if (!intern(e.slot, e.text)) return -1;
    }
    PyTypeObject& t = TableRecordType;
    if (!t.tp_name) {
        t.tp_name = "ruvo.core._framework.ClassTable";
        t.tp_basicsize = sizeof(TableRecord);
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_doc = "The table of internal operations of one property class (internal).";
        t.tp_dealloc = [](PyObject* self) { PyObject_Free(self); };
    }
    return PyType_Ready(&t);
}

PyObject* finish_new(PyObject* self, PyTypeObject* native) {
    if (!self) return nullptr;
    PyTypeObject* type = Py_TYPE(self);
    if (type == native || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return self;
    void* base = nullptr;
    if (nearest_native(type, &base) != native) return self;
    TableRecord* record = class_table(type, native, static_cast<const PropertyTable*>(base));
    if (!record) {
        Py_DECREF(self);
        return nullptr;
    }
    Property* p = reinterpret_cast<Property*>(self);
    if (record->overrides) {
        p->vtab = &record->table.base;
        Py_XSETREF(p->table_owner, reinterpret_cast<PyObject*>(record));
    } else {
        Py_DECREF(reinterpret_cast<PyObject*>(record));
    }
    return self;
}

PropertyTable* native_table(Property* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return self->vtab;
    void* table = nullptr;
    return nearest_native(type, &table) ? static_cast<PropertyTable*>(table) : self->vtab;
}

}  // namespace ruvo::fw
