// Texts of the numbers that renderings repeat (box values, colour
// components): str(i) and format(i / 255, "") for the ints 0..255, each
// made once and kept for the life of the process.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "native.hpp"

namespace ruvo::attributes {

// The value of an exact int when it lies in 0..255, else -1 (no error set).
inline long small_int(PyObject* value) {
    int overflow = 0;
    long i = PyLong_AsLongAndOverflow(value, &overflow);
    return overflow || i < 0 || i > 255 ? -1 : i;
}

// str(value) for an exact int, cached for 0..255.
inline Ref int_text(PyObject* value) {
    static PyObject* cache[256];
    long i = small_int(value);
    if (i < 0) return Ref::steal(PyObject_Str(value));
    if (!cache[i]) cache[i] = PyObject_Str(value);
    return Ref::borrow(cache[i]);
}

// format(i / 255, "") for i in 0..255.
inline Ref scaled_text(long i) {
    static PyObject* cache[256];
    if (!cache[i]) {
        Ref scaled = Ref::steal(PyFloat_FromDouble(static_cast<double>(i) / 255.0));
        if (!scaled) return {};
        cache[i] = PyObject_Str(scaled.get());
    }
    return Ref::borrow(cache[i]);
}

}  // namespace ruvo::attributes
