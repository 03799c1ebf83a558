#include "text.hpp"

#include <cstring>

namespace ruvo {

PyObject* concat(PyObject* const* pieces, Py_ssize_t n) {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_READY(pieces[i]) < 0) return nullptr;
        Py_ssize_t len = PyUnicode_GET_LENGTH(pieces[i]);
        if (len > PY_SSIZE_T_MAX - total) return PyErr_NoMemory();
        total += len;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(pieces[i]);
        if (m > maxchar) maxchar = m;
    }
    PyObject* result = PyUnicode_New(total, maxchar);
    if (!result) return nullptr;
    const int kind = PyUnicode_KIND(result);
    char* out = static_cast<char*>(PyUnicode_DATA(result));
    Py_ssize_t pos = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = pieces[i];
        Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (len == 0) continue;
        if (PyUnicode_KIND(p) == kind) {
            std::memcpy(out + pos * kind, PyUnicode_DATA(p), static_cast<size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(result, pos, p, 0, len) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        pos += len;
    }
    return result;
}

namespace {

inline Py_ssize_t escape_extra(Py_UCS4 c) {
    switch (c) {
        case '&': return 4;   // &amp;
        case '<':
        case '>': return 3;   // &lt; &gt;
        case '"':
        case '\'': return 5;  // &quot; &#x27;
        default: return 0;
    }
}

template <class Char>
Py_ssize_t count_extra(const Char* s, Py_ssize_t n) {
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Char c = s[i];
        if (c <= '>') extra += escape_extra(c);
    }
    return extra;
}

template <class Char>
void write_escaped(const Char* s, Py_ssize_t n, Char* out) {
    auto put = [&out](const char* text) {
        for (; *text; ++text) *out++ = static_cast<Char>(*text);
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        Char c = s[i];
        switch (c) {
            case '&': put("&amp;"); break;
            case '<': put("&lt;"); break;
            case '>': put("&gt;"); break;
            case '"': put("&quot;"); break;
            case '\'': put("&#x27;"); break;
            default: *out++ = c;
        }
    }
}

Py_ssize_t extra_of(PyObject* text) {
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return count_extra(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return count_extra(static_cast<const Py_UCS2*>(data), n);
        default: return count_extra(static_cast<const Py_UCS4*>(data), n);
    }
}

}  // namespace

bool needs_html_escape(PyObject* text) {
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();
        return true;  // let html_escape report it
    }
    return extra_of(text) != 0;
}

PyObject* html_escape(PyObject* text) {
    if (PyUnicode_READY(text) < 0) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t extra = extra_of(text);
    if (extra == 0) {
        if (PyUnicode_CheckExact(text)) {
            Py_INCREF(text);
            return text;
        }
        return PyUnicode_Substring(text, 0, n);  // an exact copy of a subclass instance
    }
    if (extra > PY_SSIZE_T_MAX - n) return PyErr_NoMemory();
    PyObject* result = PyUnicode_New(n + extra, PyUnicode_MAX_CHAR_VALUE(text));
    if (!result) return nullptr;
    const void* data = PyUnicode_DATA(text);
    void* out = PyUnicode_DATA(result);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            write_escaped(static_cast<const Py_UCS1*>(data), n, static_cast<Py_UCS1*>(out));
            break;
        case PyUnicode_2BYTE_KIND:
            write_escaped(static_cast<const Py_UCS2*>(data), n, static_cast<Py_UCS2*>(out));
            break;
        default:
            write_escaped(static_cast<const Py_UCS4*>(data), n, static_cast<Py_UCS4*>(out));
    }
    return result;
}

}  // namespace ruvo
