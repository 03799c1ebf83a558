#include "compat.hpp"

#include <cstdarg>

namespace ruvo {

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
