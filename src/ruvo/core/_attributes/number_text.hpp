// Texts of the numbers that renderings repeat (box values, colour
// components): str(i) and format(i / 255, "") for the ints 0..255, each
// made once and kept for the life of the process, and the last texts of
// floats.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

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

// float_text(value) for an exact float, with the texts of recently seen values
// kept (by their bits), since a rendering shows the same values again and again:
// a box of four floats renders in about half the time with it.
// layer candidate: a cached variant of ruvo::float_text.
inline Ref cached_float_text(PyObject* value) {
    struct Entry {
        uint64_t bits;
        PyObject* text;
    };
    static Entry cache[64];
    const double d = PyFloat_AS_DOUBLE(value);
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    Entry& e = cache[(bits ^ (bits >> 29) ^ (bits >> 47)) & 63];
    if (e.text && e.bits == bits) return Ref::borrow(e.text);
    Ref text = float_text(value);
    if (!text) return {};
    e.bits = bits;
    set_field(e.text, Ref::borrow(text.get()));
    return text;
}

}  // namespace ruvo::attributes
