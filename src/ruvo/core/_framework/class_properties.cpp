// The properties of a dispatcher class, found once per class state and kept
// in a record in the class's dictionary (see class_record.cpp).
#include "framework.hpp"

namespace ruvo::framework::impl {

namespace {

// The properties of a dispatcher class, in a tuple of (name, Property) pairs
// that Python code cannot change.
struct PropertiesRecord {
    ClassRecord head;
    PyObject* items;
};

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PropertiesRecord*>(self)->items);
    return 0;
}

// No clear step: the tuple must stay valid while the class can reach the
// record, and the collector breaks any cycle through it at the properties
// or the class.
void record_release(PyObject* self) { Py_CLEAR(reinterpret_cast<PropertiesRecord*>(self)->items); }

}  // namespace

PyTypeObject PropertiesRecordType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "ruvo.core._framework.ClassProperties";
    t.tp_basicsize = sizeof(PropertiesRecord);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "The properties of one dispatcher class (internal).";
    t.tp_traverse = record_traverse;
    t.tp_dealloc = trashcan_dealloc<record_release>;
    return t;
}();

Ref class_properties(PyTypeObject* type) {
    ClassRecord* found = find_record(type, texts.properties_key, &PropertiesRecordType);
    if (found) return Ref::borrow(reinterpret_cast<PropertiesRecord*>(found)->items);
    Ref by_name = Ref::steal(PyDict_New());
    if (!by_name) return by_name;
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) {
        // A class cleared by the collector and brought back has none.
        PyErr_Format(PyExc_TypeError, "%.200s has no method resolution order", type->tp_name);
        return Ref();
    }
    Ref keep_mro = Ref::borrow(mro);
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        PyObject* dict = PyType_Check(base) ? reinterpret_cast<PyTypeObject*>(base)->tp_dict : nullptr;
        if (!dict) continue;
        Ref items = Ref::steal(PyDict_Items(dict));
        if (!items) return items;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
            PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 0);
            PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 1);
            if (!PyObject_TypeCheck(value, &PropertyType)) continue;
            Property* p = reinterpret_cast<Property*>(value);
            // A property assigned to the class after its creation was never
            // told its name: link it now, as class creation would have.
            if (!p->name || !PyUnicode_Check(p->name)) {
                Ref r = Ref::steal(p->vtab->link(p, base, key));
                if (!r) return r;
            }
            if (!p->name || !PyUnicode_Check(p->name)) continue;
            if (PyDict_SetItem(by_name.get(), p->name, value) < 0) return Ref();
        }
    }
    Ref pairs = Ref::steal(PyDict_Items(by_name.get()));
    if (!pairs) return pairs;
    Ref record = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(PropertiesRecord, &PropertiesRecordType)));
    if (!record) return record;
    PropertiesRecord* r = reinterpret_cast<PropertiesRecord*>(record.get());
    r->head.owner = nullptr;
    r->head.version = 0;
    r->items = PyList_AsTuple(pairs.get());
    PyObject_GC_Track(record.get());
    if (!r->items || keep_record(type, texts.properties_key, &r->head) < 0) return Ref();
    return Ref::borrow(r->items);
}

}  // namespace ruvo::framework::impl
