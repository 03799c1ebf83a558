#include "error.hpp"

#include <frameobject.h>

#include <cstdarg>
#include <cstring>

#include "module.hpp"

namespace ruvo {

const char* source_path(const char* file_name) noexcept {
    // The last "ruvo/" that starts a path component: the package directory.
    const char* found = nullptr;
    for (const char* p = std::strstr(file_name, "ruvo/"); p; p = std::strstr(p + 1, "ruvo/")) {
        if (p == file_name || p[-1] == '/') found = p;
    }
    return found ? found : file_name;
}

namespace {
PyObject* make_entry_code(const char* file, const char* name, int line) noexcept {
    SavedError pending;
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line));
}
}  // namespace

void add_traceback(PyObject* code, PyObject* globals) noexcept {
    if (!code || !globals) return;
    Ref frame;
    {
        SavedError pending;  // a failure to build the entry leaves the original exception alone
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void add_traceback(const char* file, const char* name, int line, PyObject* globals) noexcept {
    Ref code = Ref::steal(make_entry_code(file, name, line));
    add_traceback(code.get(), globals);
}

Failure Site::fail() const noexcept {
    if (!code_) {
        SavedError pending;
        Ref dotted = Ref::steal(PyUnicode_FromFormat("%s.%s", module_.info.full_name, qualname_));
        const char* text = dotted ? PyUnicode_AsUTF8(dotted.get()) : nullptr;
        if (text) code_ = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file(), text, static_cast<int>(where_.line())));
    }
    add_traceback(code_, module_.dict);
    return {};
}

void raise_expected(PyTypeObject* type, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
}

bool check_exact_or_none(PyObject* value, PyTypeObject* type) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    raise_expected(type, value);
    return false;
}

bool check_arg_type(PyObject* value, PyTypeObject* type, const char* name, bool none_allowed) {
    if (none_allowed && value == Py_None) return true;
    if (Py_IS_TYPE(value, type) || PyObject_TypeCheck(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(value)->tp_name);
    return false;
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
