// The module's constant texts and the builtins it calls, made once at import.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ruvo::attributes {

struct ModuleTexts {
    PyObject* empty;
    PyObject* attrtype;
    PyObject* attrname;
    PyObject* sync;
    PyObject* options;
    PyObject* values;
    PyObject* allownone;
    PyObject* name;
    PyObject* attrvalue;
    PyObject* init;  // "__init__"
    PyObject* dot;
    PyObject* underscore;
    PyObject* dash;
    PyObject* close_paren;  // ")"
    PyObject* true_text;   // "true"
    PyObject* false_text;  // "false"
};
extern ModuleTexts texts;

// Builtins that the module calls directly (owned).
extern PyObject* builtin_zip;
extern PyObject* builtin_super;

// Makes the texts (once) and binds the builtins (at each import). 0 or -1.
int make_constants();

}  // namespace ruvo::attributes
