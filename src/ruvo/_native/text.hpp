// Text building blocks: concatenation of exact str pieces and the HTML
// escaping of html.escape(text, quote=True), done natively.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ruvo {

// Concatenates `n` exact str objects into one new str.
PyObject* concat(PyObject* const* pieces, Py_ssize_t n);

// True when `text` (a str) holds a character that HTML escaping replaces.
bool needs_html_escape(PyObject* text);

// A new exact str equal to html.escape(text, quote=True) for a str `text`:
// & < > " ' become &amp; &lt; &gt; &quot; &#x27;.
PyObject* html_escape(PyObject* text);

}  // namespace ruvo
