// Deallocation of the garbage-collected types that can hold another object
// of their own kind.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ruvo {

inline void free_object(PyObject* self) { Py_TYPE(self)->tp_free(self); }

// A tp_dealloc that untracks the object, runs `Release` (which releases the
// object's own fields) and then `Finish` (which frees it: tp_free, or the
// base type's deallocation), inside the interpreter's trashcan: freeing a
// chain of a million objects, each holding the next, is spread over later
// calls instead of recursing once per link and overflowing the C stack.
// The trashcan engages only when this is the object's own tp_dealloc; called
// as a base's deallocation, it runs the same steps without it.
template <void (*Release)(PyObject*), void (*Finish)(PyObject*) = free_object>
void trashcan_dealloc(PyObject* self) {
    constexpr destructor own = &trashcan_dealloc<Release, Finish>;
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, own)
    Release(self);
    Finish(self);
    Py_TRASHCAN_END
}

}  // namespace ruvo
