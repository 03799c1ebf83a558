#include "number.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace ruvo {

PyObject* float_text(PyObject* x) {
    double d = PyFloat_AS_DOUBLE(x);
    if (!std::isfinite(d)) return PyFloat_Type.tp_repr(x);
    // Shortest round-trip digits in scientific form, e.g. "-1.2345e+02", "0e+00".
    char sci[40];
    std::to_chars_result r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    if (r.ec != std::errc()) return PyFloat_Type.tp_repr(x);
    const char* p = sci;
    const char* end = r.ptr;
    char out[64];
    char* o = out;
    if (*p == '-') *o++ = *p++;
    char digits[24];
    int ndigits = 0;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.' && ndigits < static_cast<int>(sizeof digits)) digits[ndigits++] = *p;
    }
    if (p == end || ndigits == 0) return PyFloat_Type.tp_repr(x);
    int exponent = 0;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
    const int decpt = exponent + 1;  // digits d1 d2 ... stand for 0.d1d2... * 10**decpt
    if (decpt <= -4 || decpt > 16) {
        *o++ = digits[0];
        if (ndigits > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, ndigits - 1);
            o += ndigits - 1;
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *o++ = '0';
        o = std::to_chars(o, out + sizeof out, magnitude).ptr;
    } else if (decpt <= 0) {
        *o++ = '0';
        *o++ = '.';
        for (int i = 0; i < -decpt; ++i) *o++ = '0';
        std::memcpy(o, digits, ndigits);
        o += ndigits;
    } else if (decpt < ndigits) {
        std::memcpy(o, digits, decpt);
        o += decpt;
        *o++ = '.';
        std::memcpy(o, digits + decpt, ndigits - decpt);
        o += ndigits - decpt;
    } else {
        std::memcpy(o, digits, ndigits);
        o += ndigits;
        for (int i = ndigits; i < decpt; ++i) *o++ = '0';
        *o++ = '.';
        *o++ = '0';
    }
    PyObject* text = PyUnicode_New(o - out, 127);
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), out, static_cast<size_t>(o - out));
    return text;
}

}  // namespace ruvo
