// Ownership, spelled in the types.
//
// - A result the caller owns is a Ref: a move-only handle that releases its
//   reference when it goes out of scope, so error paths never count
//   references by hand. A null Ref means failure, with an exception set.
// - A plain PyObject* argument or result is borrowed: valid while its owner
//   holds it. Keep a Ref (Ref::borrow) to an object across any call that can
//   run Python code, since that code may drop the owner's reference.
// - Where the interpreter wants a new reference (a slot's result, a tuple
//   item), hand one over with release() or Py_NewRef.
// - Type slots and the tables of operations shared between modules keep the
//   C API's convention: a PyObject* result is a new reference.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ruvo {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Replaces the held reference with a new one (stolen); the old one is
    // released last, since releasing may run arbitrary code.
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(p_, stolen);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Stores `value` in an owned field, releasing the field's old object last:
// releasing can run Python code that reads the field.
inline void set_field(PyObject*& field, Ref value) noexcept {
    PyObject* old = std::exchange(field, value.release());
    Py_XDECREF(old);
}

// A new tuple of the items of `list` (an exact or derived list). The tuple
// is allocated before the items are read: an allocation can run the
// collector, and with it Python code that changes or empties the list.
inline Ref list_snapshot(PyObject* list) noexcept {
    Ref keep = Ref::borrow(list);
    for (;;) {
        const Py_ssize_t n = PyList_GET_SIZE(list);
        Ref tuple = Ref::steal(PyTuple_New(n));
        if (!tuple) return tuple;
        if (PyList_GET_SIZE(list) == n) {
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(PyList_GET_ITEM(list, i)));
            return tuple;
        }
        // changed meanwhile: take it again
    }
}

// A new tuple of the keys and values of `dict`, alternating, allocated before
// they are read for the same reason. A tuple, unlike a list of the items,
// cannot be emptied by Python code that finds it through the collector.
inline Ref dict_snapshot(PyObject* dict) noexcept {
    Ref keep = Ref::borrow(dict);
    for (;;) {
        const Py_ssize_t n = PyDict_GET_SIZE(dict);
        Ref tuple = Ref::steal(PyTuple_New(2 * n));
        if (!tuple) return tuple;
        if (PyDict_GET_SIZE(dict) == n) {
            Py_ssize_t pos = 0, i = 0;
            PyObject *key, *value;
            while (i < n && PyDict_Next(dict, &pos, &key, &value)) {
                PyTuple_SET_ITEM(tuple.get(), 2 * i, Py_NewRef(key));
                PyTuple_SET_ITEM(tuple.get(), 2 * i + 1, Py_NewRef(value));
                ++i;
            }
            return tuple;
        }
    }
}

}  // namespace ruvo
