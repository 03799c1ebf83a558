// Text of numbers exactly as the interpreter's str() writes them, made
// without its general machinery.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace ruvo {

// str(x) of an exact float: the shortest digits that read back to the same
// value, in fixed notation for decimal exponents from -4 to 16 ("12.0",
// "0.0001"), else in scientific notation ("1e+16", "1.5e-05"); "inf",
// "-inf" and "nan" as the interpreter writes them. The texts of recently seen
// values are kept, by their bits: renderings show the same values again and
// again, and a box of four floats renders in half the time with them.
Ref float_text(PyObject* x);

// The same text written into `out` (at least kFloatTextMax bytes, ASCII, no
// terminator); returns its length, or -1 when the digits cannot be had.
inline constexpr int kFloatTextMax = 32;
int format_float(double d, char* out);

// A parser's 32-bit float result as a float object; -1.0f with an exception
// set is a failure.
inline Ref widen(float f) noexcept {
    if (f == -1.0f && PyErr_Occurred()) return Ref();
    return Ref::steal(PyFloat_FromDouble(static_cast<double>(f)));
}

// True for an exact int or an exact float (not bool, not a subclass).
inline bool is_exact_number(PyObject* v) noexcept { return PyLong_CheckExact(v) || PyFloat_CheckExact(v); }

// Converts through the integer protocol (__int__, then __index__ unless
// `through_index` is false) to a signed 32-bit integer: True gives 1, 1.7
// gives 1; TypeError "an integer is required" without one, OverflowError
// with `overflow_message` beyond 32 bits. 0 or -1.
int to_int32(PyObject* value, int32_t* out, bool through_index = true,
             const char* overflow_message = "value too large to convert to int");

}  // namespace ruvo
