#include "number.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace ruvo {

namespace {

// The digits of a value that is a whole number of 10**-k for a small k
// (12.5, 0.25, 3.0, the usual sizes), written without the general shortest
// digits search; 0 when `d` is not such a value. For m = round(d * 10**k)
// below 2**50, both m and 10**k are exact doubles, so m / 10**k is correctly
// rounded and equals `d` exactly when the text "m e-k" reads back as `d`.
// A double's spacing there is at most 10**-k / 4, so no other multiple of
// 10**-k reads back as `d`, and the rounding of d * 10**k cannot pick the
// wrong m: the first k that works gives the shortest digits. The values
// from 1e-4 up to 2**50 are those written in fixed notation.
int format_decimal(double d, char* out) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8,
                                        1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17};
    constexpr double kLimit = 1125899906842624.0;  // 2**50
    const double a = std::fabs(d);
    if (!(a >= 1e-4 && a < kLimit) && a != 0.0) return 0;
    for (int k = 0; k < static_cast<int>(std::size(kPow10)); ++k) {
        const double scaled = a * kPow10[k];
        if (scaled >= kLimit) return 0;
        // Rounded to the nearest: below 2**50 the addition of 0.5 is exact.
        const auto m = static_cast<uint64_t>(scaled + 0.5);
        if (static_cast<double>(m) / kPow10[k] != a) continue;
        const auto unit = static_cast<uint64_t>(kPow10[k]);
        char* o = out;
        if (std::signbit(d)) *o++ = '-';
        o = std::to_chars(o, o + 20, m / unit).ptr;
        *o++ = '.';
        if (k == 0) {
            *o++ = '0';
        } else {
            uint64_t fraction = m % unit;
            for (int i = k - 1; i >= 0; --i, fraction /= 10) o[i] = static_cast<char>('0' + fraction % 10);
            o += k;
        }
        return static_cast<int>(o - out);
    }
    return 0;
}

}  // namespace

int format_float(double d, char* out) {
    if (!std::isfinite(d)) {
        const char* text = std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf";
        const size_t n = std::strlen(text);
        std::memcpy(out, text, n);
        return static_cast<int>(n);
    }
    if (int n = format_decimal(d, out)) return n;
    // Shortest round-trip digits in scientific form, e.g. "-1.2345e+02", "0e+00".
    char sci[40];
    std::to_chars_result r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    if (r.ec != std::errc()) return -1;
    const char* p = sci;
    const char* end = r.ptr;
    char* o = out;
    if (*p == '-') *o++ = *p++;
    char digits[24];
    int ndigits = 0;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.' && ndigits < static_cast<int>(sizeof digits)) digits[ndigits++] = *p;
    }
    if (p == end || ndigits == 0) return -1;
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
        o = std::to_chars(o, out + kFloatTextMax, magnitude).ptr;
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
    return static_cast<int>(o - out);
}

Ref float_text(PyObject* x) {
    struct Entry {
        uint64_t bits;
        PyObject* text;  // owned, kept for the life of the process
    };
    static Entry cache[64];
    const double d = PyFloat_AS_DOUBLE(x);
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    Entry& e = cache[(bits ^ (bits >> 29) ^ (bits >> 47)) & 63];
    if (e.text && e.bits == bits) return Ref::borrow(e.text);
    char out[kFloatTextMax];
    int n = format_float(d, out);
    Ref text = n < 0 ? Ref::steal(PyFloat_Type.tp_repr(x)) : Ref::steal(PyUnicode_New(n, 127));
    if (!text) return text;
    if (n >= 0) std::memcpy(PyUnicode_1BYTE_DATA(text.get()), out, static_cast<size_t>(n));
    e.bits = bits;
    set_field(e.text, Ref::borrow(text.get()));
    return text;
}

int to_int32(PyObject* value, int32_t* out, bool through_index, const char* overflow_message) {
    Ref number;
    if (PyLong_Check(value)) {
        number = Ref::borrow(value);
    } else {
        PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
        if (nb && nb->nb_int) {
            number = Ref::steal(nb->nb_int(value));
        } else if (through_index && nb && nb->nb_index) {
            number = Ref::steal(nb->nb_index(value));
        } else {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return -1;
        }
        if (!number) return -1;
        if (!PyLong_Check(number.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(number.get())->tp_name);
            return -1;
        }
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, overflow_message);
        return -1;
    }
    *out = static_cast<int32_t>(v);
    return 0;
}

}  // namespace ruvo
