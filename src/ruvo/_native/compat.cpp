#include "compat.hpp"

namespace ruvo {

unsigned int type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    // A valid tag is read as it is. Otherwise a lookup through the method
    // cache assigns one; the name is any interned text, looked up without
    // running Python code.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return type->tp_version_tag;
    static PyObject* name = PyUnicode_InternFromString("__class__");
    if (!name) {
        PyErr_Clear();
        return 0;
    }
    (void)_PyType_Lookup(type, name);
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

}  // namespace ruvo
