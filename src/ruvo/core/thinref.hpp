// ruvo.core.thinref: the ThinRef weak proxy, shared by its source files.
//
// A ThinRef holds one field, a weak-reference object (in general any callable
// that returns the referent, or None once the referent is gone). Every
// forwarding operation fetches the referent afresh through the proxy's
// __ref__ method, holds a strong reference to it for its own duration and
// applies the host's operation to it.
#pragma once
#include "native.hpp"

namespace ruvo::thinref {

constexpr const char* kFile = "ruvo/core/thinref.cpp";

#define THINREF_NAME(short_name) "ruvo.core.thinref.ThinRef." short_name

// Adds the traceback entry of a failing method and returns null.
#define THINREF_FAIL(short_name)                                        \
    do {                                                                \
        ::ruvo::thinref::traceback(THINREF_NAME(short_name), __LINE__); \
        return nullptr;                                                 \
    } while (0)

struct ThinRefObject {
    PyObject_HEAD
    PyObject* ref;  // owned, never null; None while unbound
};

extern PyTypeObject ThinRefType;
extern NativeModule module_def;

inline ThinRefObject* as_proxy(PyObject* o) noexcept { return reinterpret_cast<ThinRefObject*>(o); }

// Constant texts and objects, created once at import.
struct Texts {
    PyObject* ref_method;         // "__ref__"
    PyObject* getattribute;       // "__getattribute__"
    PyObject* enter;              // "__enter__"
    PyObject* exit;               // "__exit__"
    PyObject* class_;             // "__class__"
    PyObject* update;             // "update"
    PyObject* empty;              // ""
    PyObject* checksum;           // the int 0xaed1db3
};
extern Texts T;

// The builtins `reversed` and `round`, resolved once at import.
extern PyObject* builtin_reversed;
extern PyObject* builtin_round;

// Adds the traceback entry of a failing operation ("ruvo.core.thinref.ThinRef.X").
inline void traceback(const char* dotted_name, int line) { module_def.traceback(dotted_name, line); }

// The field called with no arguments: the referent, or None once it is gone.
// New reference; null with an exception (an unbound proxy's field is None,
// which cannot be called).
PyObject* field_result(PyObject* self);

// The referent by the forwarding rule: self.__ref__(), looked up the ordinary
// way. Raises ReferenceError for a dead referent. New reference or null.
PyObject* referent_general(PyObject* self);
inline PyObject* referent(PyObject* self) {
    // The common case inline: an exact ThinRef whose field is a weak reference
    // to a living object.
    if (Py_IS_TYPE(self, &ThinRefType)) {
        PyObject* f = as_proxy(self)->ref;
        if (Py_IS_TYPE(f, &_PyWeakref_RefType)) {
            Ref r = weakref_target(f);
            if (r.get() != Py_None) return r.release();
        }
    }
    return referent_general(self);
}

// weakref.ref(obj, destructor), or weakref.ref(obj) when destructor is null,
// through the module global `weakref`. New reference or null.
PyObject* make_weakref(PyObject* obj, PyObject* destructor);

// operator.truediv, operator.itruediv and operator.index through the module
// global `operator`.
PyObject* operator_truediv(PyObject* a, PyObject* b);
PyObject* operator_itruediv(PyObject* a, PyObject* b);
PyObject* operator_index(PyObject* a);

// Replaces the field; the old value is released last, since releasing it may
// run arbitrary code.
inline void set_field(PyObject* self, PyObject* stolen) {
    PyObject* old = as_proxy(self)->ref;
    as_proxy(self)->ref = stolen;
    Py_XDECREF(old);
}

// Runs op(referent) with a strong reference to the referent held for the
// call and the interpreter's recursion guard around it (forwarding through
// proxies whose referents are proxies can recurse without Python frames).
// Returns op's result, or `error` with the traceback entry `name` added.
//
// The guard is entered only by forwarding nested in another forwarding
// (`nesting` counts those in progress, on every thread, under the
// interpreter lock): an outermost call cannot recurse by itself, and any
// recursion through referents is caught one level later.
extern int nesting;

// Enters the recursion guard for nested forwarding; false with
// RecursionError. Pair with leave_forwarding(entered).
inline bool enter_forwarding(bool* guarded) {
    *guarded = nesting > 0;
    if (*guarded && Py_EnterRecursiveCall(" while forwarding to a referent")) return false;
    ++nesting;
    return true;
}

inline void leave_forwarding(bool guarded) {
    --nesting;
    if (guarded) Py_LeaveRecursiveCall();
}

// The traceback entry carries the line of the calling operation.
template <class R, class Op>
inline R forward(PyObject* self, R error, const char* name, Op&& op, int line = __builtin_LINE()) {
    bool guarded;
    if (!enter_forwarding(&guarded)) {
        traceback(name, line);
        return error;
    }
    R result = error;
    PyObject* r = referent(self);
    if (r) {
        result = op(r);
        Py_DECREF(r);
    }
    leave_forwarding(guarded);
    if (result == error && PyErr_Occurred()) traceback(name, line);
    return result;
}

// Tables of the operator forwarding, for the type object.
PyNumberMethods* number_methods();
PySequenceMethods* sequence_methods();
PyMappingMethods* mapping_methods();
PyObject* iter_slot(PyObject* self);
// The named operator methods (null-terminated), installed over the slot
// wrappers of the same names.
PyMethodDef* operator_methods();

// Pickling: installs __reduce__ and __setstate__ on the readied class, and
// makes the module's restore function.
int install_pickling();
int bind_unpickle_function(PyObject* module);

}  // namespace ruvo::thinref
