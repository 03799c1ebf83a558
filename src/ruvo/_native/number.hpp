// Text of numbers exactly as the interpreter's str() writes them, made
// without its general machinery.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ruvo {

// str(x) of an exact float: the shortest digits that read back to the same
// value, in fixed notation for decimal exponents from -4 to 16 ("12.0",
// "0.0001"), else in scientific notation ("1e+16", "1.5e-05"); "inf",
// "-inf" and "nan" as the interpreter writes them. New reference.
PyObject* float_text(PyObject* x);

// The same text written into `out` (at least kFloatTextMax bytes, ASCII, no
// terminator) for a finite `d`; returns its length, or -1 for inf and nan.
inline constexpr int kFloatTextMax = 32;
int format_float(double d, char* out);

}  // namespace ruvo
