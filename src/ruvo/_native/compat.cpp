#include "compat.hpp"

namespace ruvo {

unsigned int type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    // A lookup through the method cache assigns the tag; the name is any
    // interned text, looked up without running Python code.
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
