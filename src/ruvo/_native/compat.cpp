#include "compat.hpp"

#include <cstdarg>

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

PyObject* format_from_cause(PyObject* type, const char* format, ...) {
    PyObject *cause_type, *cause, *cause_tb;
    PyErr_Fetch(&cause_type, &cause, &cause_tb);
    PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
    if (cause_tb) {
        PyException_SetTraceback(cause, cause_tb);
        Py_DECREF(cause_tb);
    }
    Py_XDECREF(cause_type);

    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    if (!cause) return nullptr;

    PyObject *exc_type, *exc, *exc_tb;
    PyErr_Fetch(&exc_type, &exc, &exc_tb);
    PyErr_NormalizeException(&exc_type, &exc, &exc_tb);
    Py_INCREF(cause);
    PyException_SetCause(exc, cause);  // steals
    PyException_SetContext(exc, cause);  // steals
    PyErr_Restore(exc_type, exc, exc_tb);
    return nullptr;
}

}  // namespace ruvo
