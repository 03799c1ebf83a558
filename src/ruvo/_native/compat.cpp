#include "compat.hpp"

#include "error.hpp"

namespace ruvo {

#if PY_VERSION_HEX < 0x030C0000
namespace {

// Clearing the type cache drops the tag of every class: a class of our own
// that nothing else looks up keeps its tag until then, so its losing the tag
// tells that a clearing happened, and the count of them goes up.
uint64_t cache_clearings_seen() noexcept {
    static PyObject* name = PyUnicode_InternFromString("__class__");
    static PyType_Slot slots[] = {{0, nullptr}};
    static PyType_Spec witness_kind = {"ruvo._native.TagWitness", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    static PyTypeObject* witness = nullptr;
    static uint64_t count = 1;
    if (!name) return 0;
    if (!witness) {
        SavedError saved;  // a failure only leaves the count unknown
        witness = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&witness_kind));
        if (!witness) return 0;
    }
    if (!PyType_HasFeature(witness, Py_TPFLAGS_VALID_VERSION_TAG)) {
        ++count;
        (void)_PyType_Lookup(witness, name);
        if (!PyType_HasFeature(witness, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    }
    return count;
}

}  // namespace
#endif

uint64_t type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    const uint64_t clearings = cache_clearings_seen();
    if (!clearings) return 0;
    // A valid tag is read as it is. Otherwise a lookup through the method
    // cache assigns one; the name is any interned text, looked up without
    // running Python code.
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        static PyObject* name = PyUnicode_InternFromString("__class__");
        if (!name) {
            PyErr_Clear();
            return 0;
        }
        (void)_PyType_Lookup(type, name);
        if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    }
    return clearings << 32 | type->tp_version_tag;
#endif
}

}  // namespace ruvo
