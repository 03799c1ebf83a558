// Differences between the supported interpreter versions (3.10 and later),
// behind one spelling each.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ref.hpp"

// Before 3.12 a dict's version tag changes with every change of its contents,
// which makes it the cheapest way to revalidate a cached lookup; 3.12
// deprecates it, so newer interpreters look the value up again instead.
#if PY_VERSION_HEX < 0x030C0000
#define RUVO_HAS_DICT_VERSION 1
#endif

namespace ruvo {

#ifdef RUVO_HAS_DICT_VERSION
inline uint64_t dict_version(PyObject* d) noexcept { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#endif

// The referent of the weak reference `ref` (which must pass PyWeakref_Check),
// or None once the referent is gone.
inline Ref weakref_target(PyObject* ref) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj;
    if (PyWeakref_GetRef(ref, &obj) > 0) return Ref::steal(obj);
    return Ref::borrow(Py_None);
#else
    return Ref::borrow(PyWeakref_GET_OBJECT(ref));
#endif
}

// The namespace of a type (tp_dict, which 3.12 leaves empty in the
// interpreter's own static types).
inline Ref type_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// The type's version: its version tag, which the interpreter renews whenever
// the type, a base or its method resolution order changes (assigned now when
// the type has none), together with a count of the clearings of the type
// cache seen (sys._clear_type_cache() restarts the tags, so a changed type
// could be given its old tag again). 0 when the interpreter cannot give it a
// tag: a cache validated by the version must then be rebuilt at each use.
uint64_t type_version(PyTypeObject* type) noexcept;

}  // namespace ruvo
