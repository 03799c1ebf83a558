// ruvo.core.thinref: the ThinRef weak proxy, shared by its source files:
//   thinref.cpp            the module, the ThinRef type (one declaration, with
//                          every method of the class) and its core operations
//   thinref_globals.cpp    the module globals resolved at each use (weakref.ref,
//                          operator.truediv, operator.itruediv, operator.index)
//   thinref_operators.cpp  operator forwarding and the type's number, sequence
//                          and mapping tables
//   thinref_pickle.cpp     __reduce__, __setstate__ and __pyx_unpickle_ThinRef
//
// A ThinRef holds one field, a weak-reference object (in general any callable
// that returns the referent, or None once the referent is gone). Every
// forwarding operation fetches the referent afresh through the proxy's
// __ref__ method, holds a strong reference to it for its own duration and
// applies the host's operation to it.
#pragma once
#include <utility>

#include "native.hpp"

namespace ruvo::thinref {

struct ThinRefObject {
    PyObject_HEAD
    PyObject* ref;  // owned, never null; None while unbound
};

extern PyTypeObject ThinRefType;
extern NativeModule module_def;

inline ThinRefObject* as_proxy(PyObject* o) noexcept { return reinterpret_cast<ThinRefObject*>(o); }

// Constant texts, created once at import.
struct Texts {
    PyObject* ref_method;         // "__ref__"
    PyObject* getattribute;       // "__getattribute__"
    PyObject* enter;              // "__enter__"
    PyObject* exit;               // "__exit__"
    PyObject* class_;             // "__class__"
    PyObject* update;             // "update"
    PyObject* empty;              // ""
};
extern Texts texts;

// The builtins `reversed` and `round`, resolved once at import.
extern PyObject* builtin_reversed;
extern PyObject* builtin_round;

// ---------------------------------------------------------------------------
// Fetching the referent (thinref.cpp).

// The field called with no arguments: the referent, or None once it is gone;
// null with an exception (an unbound proxy's field is None, which cannot be
// called).
Ref field_result(PyObject* self);

// The referent by the forwarding rule: self.__ref__(), looked up the ordinary
// way. Raises ReferenceError for a dead referent.
Ref referent_general(PyObject* self);
inline Ref referent(PyObject* self) {
    // The common case inline: an exact ThinRef whose field is a weak reference
    // to a living object.
    if (Py_IS_TYPE(self, &ThinRefType)) {
        PyObject* f = as_proxy(self)->ref;
        if (Py_IS_TYPE(f, &_PyWeakref_RefType)) {
            Ref r = weakref_target(f);
            if (r.get() != Py_None) return r;
        }
    }
    // Taken out of the out-of-line call's handle, which lives in memory: the
    // caller's handle, shared with the path above, then stays in a register.
    return Ref::steal(referent_general(self).release());
}

// ---------------------------------------------------------------------------
// Forwarding.
//
// forward runs op(referent) with a strong reference to the referent held for
// the call and the interpreter's recursion guard around it (forwarding
// through proxies whose referents are proxies can recurse without Python
// frames). It returns op's result, or `error` with an exception set.
//
// The guard is entered only by forwarding nested in another forwarding
// (`nesting` counts those in progress, on every thread, under the
// interpreter lock): an outermost call cannot recurse by itself, and any
// recursion through referents is caught one level later.
extern int nesting;

// Enters the recursion guard for nested forwarding; false with
// RecursionError. Pair with leave_forwarding(guarded).
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

// Runs op on what `Fetch` gives for the proxy (the referent, or the field's
// result), holding it for the call, under the recursion guard.
template <Ref (*Fetch)(PyObject*), class R, class Op>
inline R guarded_call(PyObject* self, R error, Op&& op) {
    bool guarded;
    if (!enter_forwarding(&guarded)) return error;
    R result = error;
    {
        Ref r = Fetch(self);
        if (r) result = op(r.get());
    }
    leave_forwarding(guarded);
    return result;
}

// Without a traceback entry: for methods whose wrapper adds their own.
template <class R, class Op>
inline R forward(PyObject* self, R error, Op&& op) {
    return guarded_call<referent>(self, error, std::forward<Op>(op));
}

// With the traceback entry of `site` on failure: for slots.
template <class R, class Op>
inline R forward(const Site& site, PyObject* self, R error, Op&& op) {
    R result = forward(self, error, std::forward<Op>(op));
    if (result == error && PyErr_Occurred()) site.fail();
    return result;
}

// ---------------------------------------------------------------------------
// Module globals resolved at each use (thinref_globals.cpp).

// Imports the modules `weakref` and `operator` into the module's namespace
// and records the operator module's own functions. 0 or -1.
int import_globals(PyObject* module_dict);

// weakref.ref(obj, destructor), or weakref.ref(obj) when destructor is null,
// through the module global `weakref`.
Ref make_weakref(PyObject* obj, PyObject* destructor);

// operator.truediv, operator.itruediv and operator.index through the module
// global `operator`. They take the place of the host's number operations in
// the operator tables, so they keep the C API's convention: a new reference,
// or null with an exception.
PyObject* operator_truediv(PyObject* a, PyObject* b);
PyObject* operator_itruediv(PyObject* a, PyObject* b);
PyObject* operator_index(PyObject* a);

// ---------------------------------------------------------------------------
// Operator forwarding (thinref_operators.cpp).

// truth, defined with the type (thinref.cpp), is the number table's nb_bool.
int bool_slot(PyObject* self);

// The type's operator tables and iteration slot.
extern PyNumberMethods number_methods;
extern PySequenceMethods sequence_methods;
extern PyMappingMethods mapping_methods;
PyObject* iter_slot(PyObject* self);

// The operations of the named operator methods, without traceback entries
// (each method's wrapper adds its own).
enum class Binary { add, sub, mul, truediv, floordiv, mod, divmod, lshift, rshift, and_, xor_, or_ };
// referent OP other, or with `reflected` other OP referent.
Ref binary_operation(Binary op, bool reflected, PyObject* self, PyObject* other);

enum class Unary { oct, hex, round, reversed, enter };
Ref unary_operation(Unary op, PyObject* self);

// The referent's own __exit__ with the same arguments.
Ref exit_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---------------------------------------------------------------------------
// Pickling (thinref_pickle.cpp).

// __reduce__ and __setstate__ of the class, for its method table.
extern const Method<0> reduce_method;
extern const Method<1> setstate_method;
Ref reduce(PyObject* self);
Ref restore_state(PyObject* self, PyObject* state);

// Makes the module's restore function __pyx_unpickle_ThinRef, once the type
// is ready. 0 or -1.
int init_pickling(PyObject* module);

}  // namespace ruvo::thinref
