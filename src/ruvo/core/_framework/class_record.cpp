// What a class caches about itself: records kept in the class's dictionary,
// of types that only this module makes, each valid only for the class it was
// made for and only while that class and its bases stay as they were.
#include "framework.hpp"

namespace ruvo::framework::impl {

ClassRecord* find_record(PyTypeObject* type, PyObject* key, PyTypeObject* record_type) {
    PyObject* found = type->tp_dict ? PyDict_GetItemWithError(type->tp_dict, key) : nullptr;
    if (!found) {
        PyErr_Clear();
        return nullptr;
    }
    if (!Py_IS_TYPE(found, record_type)) return nullptr;
    ClassRecord* record = reinterpret_cast<ClassRecord*>(found);
    if (record->owner != type || record->version == 0 || record->version != type_version(type)) return nullptr;
    return record;
}

int keep_record(PyTypeObject* type, PyObject* key, ClassRecord* record) {
    record->owner = type;
    if (!type->tp_dict || PyDict_SetItem(type->tp_dict, key, reinterpret_cast<PyObject*>(record)) < 0) return -1;
    // The change renews the class's version tag; the record holds the new one.
    PyType_Modified(type);
    record->version = type_version(type);
    return 0;
}

}  // namespace ruvo::framework::impl
