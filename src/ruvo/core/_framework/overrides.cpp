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

// A per-class table: the native table's copy with some entries replaced.
struct ClassTable {
    NumericPropertyTable table;  // the first member: a pointer to it is a pointer to the class table
    PyObject* get_name;          // "get_value" or "get": the overriding Python method
};

ClassTable* class_table_of(Property* self) { return reinterpret_cast<ClassTable*>(self->vtab); }

PyObject* s_init_storage;
PyObject* s_compare_value;
PyObject* s_set;
PyObject* s_get_value;
PyObject* s_get;
PyObject* s_check;
PyObject* s_convert;
PyObject* s_parse_text;
PyObject* s_parse_pair;
PyObject* s_vtable;
PyObject* registry;  // weakref.WeakKeyDictionary: class -> capsule of its ClassTable, or None

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
PyObject* t_get_value(Property* self, PyObject* obj) { return call(self, class_table_of(self)->get_name, {obj}); }
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

// The first class of `type`'s method resolution order that publishes a table.
PyTypeObject* nearest_native(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (t->tp_dict && PyDict_GetItemWithError(t->tp_dict, s_vtable)) return t;
        if (PyErr_Occurred()) PyErr_Clear();
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

void free_table(PyObject* capsule) { PyMem_Free(PyCapsule_GetPointer(capsule, nullptr)); }

// The class table for `cls` (a Python subclass of the native class `native`),
// or null without an exception when it overrides nothing.
PropertyTable* class_table(PyTypeObject* cls, PyTypeObject* native) {
    if (!registry) {
        Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
        if (!weakref) return nullptr;
        registry = PyObject_CallMethod(weakref.get(), "WeakKeyDictionary", nullptr);  // kept for the process
        if (!registry) return nullptr;
    }
    PyObject* key = reinterpret_cast<PyObject*>(cls);
    Ref entry = Ref::steal(PyObject_GetItem(registry, key));
    if (entry) return entry.get() == Py_None ? nullptr : static_cast<PropertyTable*>(PyCapsule_GetPointer(entry.get(), nullptr));
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();

    PropertyTable* base = static_cast<PropertyTable*>(imported_table(native));
    if (!base) return nullptr;
    const bool numeric = PyType_IsSubtype(native, &NumericPropertyType);
    struct Slot {
        PyObject* name;
        bool numeric_only;
        void (*install)(ClassTable*);
    };
    const Slot slots[] = {
        {s_init_storage, false, [](ClassTable* t) { t->table.base.init_storage = t_init_storage; }},
        {s_compare_value, false, [](ClassTable* t) { t->table.base.compare_value = t_compare_value; }},
        {s_set, false, [](ClassTable* t) { t->table.base.set = t_set; }},
        {s_check, false, [](ClassTable* t) { t->table.base.check = t_check; }},
        {s_convert, false, [](ClassTable* t) { t->table.base.convert = t_convert; }},
        {s_parse_text, true, [](ClassTable* t) { t->table.parse_text = t_parse_text; }},
        {s_parse_pair, true, [](ClassTable* t) { t->table.parse_pair = t_parse_pair; }},
    };
    ClassTable* table = static_cast<ClassTable*>(PyMem_Calloc(1, sizeof(ClassTable)));
    if (!table) return reinterpret_cast<PropertyTable*>(PyErr_NoMemory());
    std::memcpy(&table->table, base, numeric ? sizeof(NumericPropertyTable) : sizeof(PropertyTable));
    bool any = false;
    for (const Slot& s : slots) {
        if (s.numeric_only && !numeric) continue;
        int o = overrides(cls, native, s.name);
        if (o) s.install(table), any = true;
    }
    for (PyObject* name : {s_get_value, s_get}) {
        if (overrides(cls, native, name)) {
            table->get_name = name;
            table->table.base.get_value = t_get_value;
            any = true;
            break;
        }
    }
    Ref value;
    if (any) {
        value = Ref::steal(PyCapsule_New(table, nullptr, free_table));
        if (!value) PyMem_Free(table);
    } else {
        PyMem_Free(table);
        table = nullptr;
        value = Ref::borrow(Py_None);
    }
    if (!value || PyObject_SetItem(registry, key, value.get()) < 0) return nullptr;
    return reinterpret_cast<PropertyTable*>(table);
}

}  // namespace

int init_overrides() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&s_init_storage, "init_storage"}, {&s_compare_value, "compare_value"}, {&s_set, "set"},
        {&s_get_value, "get_value"},       {&s_get, "get"},                     {&s_check, "check"},
        {&s_convert, "convert"},           {&s_parse_text, "parse_text"},       {&s_parse_pair, "parse_pair"},
        {&s_vtable, "__pyx_vtable__"},
    };
    for (const Entry& e : entries) {
        if (!intern(e.slot, e.text)) return -1;
    }
    return 0;
}

PyObject* finish_new(PyObject* self, PyTypeObject* native) {
    if (!self) return nullptr;
    PyTypeObject* type = Py_TYPE(self);
    if (type == native || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || nearest_native(type) != native) return self;
    PropertyTable* table = class_table(type, native);
    if (table) {
        reinterpret_cast<Property*>(self)->vtab = table;
    } else if (PyErr_Occurred()) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

PropertyTable* native_table(Property* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return self->vtab;
    PyTypeObject* native = nearest_native(type);
    void* table = native ? PyCapsule_GetPointer(PyDict_GetItem(native->tp_dict, s_vtable), nullptr) : nullptr;
    if (!table) {
        PyErr_Clear();
        return self->vtab;
    }
    return static_cast<PropertyTable*>(table);
}

}  // namespace ruvo::fw
