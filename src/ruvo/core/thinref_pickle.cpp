// ThinRef pickling: __reduce__, __setstate__ and the module's restore
// function __pyx_unpickle_ThinRef. The reduce value carries the field as it
// is (the weak-reference object, never the referent) and a checksum that
// stands for the field layout.
#include <climits>

#include "thinref.hpp"

namespace ruvo::thinref {

namespace {

constexpr long kChecksum = 0xaed1db3;
constexpr long kChecksumAlt1 = 0x51f19d2;
constexpr long kChecksumAlt2 = 0x32b41a;

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

CachedGlobal unpickle_global("__pyx_unpickle_ThinRef");
PyObject* thinref_new_fn = nullptr;  // ThinRef.__new__

// Stores state[0] in the field and merges a true state[1] into the object's
// own instance dictionary. The field stays replaced when the merge fails.
int set_state(PyObject* result, PyObject* state) {
    if (!PyObject_TypeCheck(result, &ThinRefType)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(result)->tp_name,
                     ThinRefType.tp_name);
        return -1;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (size < 1) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return -1;
    }
    set_field(result, Py_NewRef(PyTuple_GET_ITEM(state, 0)));
    if (size < 2) return 0;
    PyObject* extra = PyTuple_GET_ITEM(state, 1);  // kept alive by the caller's tuple
    int truth = PyObject_IsTrue(extra);
    if (truth <= 0) return truth;
    Ref dict = Ref::steal(PyObject_GenericGetDict(result, nullptr));
    if (!dict) return -1;
    if (PyDict_CheckExact(dict.get())) return PyDict_Update(dict.get(), extra);
    Ref done = Ref::steal(PyObject_CallMethodOneArg(dict.get(), T.update, extra));
    return done ? 0 : -1;
}

int set_state_traced(PyObject* result, PyObject* state) {
    if (set_state(result, state) == 0) return 0;
    traceback("ruvo.core.thinref.__pyx_unpickle_ThinRef__set_state", __LINE__);
    return -1;
}

PyObject* reduce_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args("__reduce__", nargs, kwnames) < 0) THINREF_FAIL("__reduce__");
    // The proxy's own instance dictionary, never the referent's.
    Ref own;
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (dp && *dp) {
        own = Ref::borrow(*dp);
        int truth = PyObject_IsTrue(own.get());
        if (truth < 0) THINREF_FAIL("__reduce__");
        if (!truth) own.reset();
    }
    Ref hold_fn = unpickle_global.get(module_def.dict);
    if (!hold_fn) THINREF_FAIL("__reduce__");
    PyObject* fn = hold_fn.get();
    Ref field = Ref::borrow(as_proxy(self)->ref);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject* result;
    if (own) {
        result = Py_BuildValue("(O(OOO)(OO))", fn, type, T.checksum, Py_None, field.get(), own.get());
    } else if (field.get() != Py_None) {
        result = Py_BuildValue("(O(OOO)(O))", fn, type, T.checksum, Py_None, field.get());
    } else {
        result = Py_BuildValue("(O(OO(O)))", fn, type, T.checksum, field.get());
    }
    if (!result) THINREF_FAIL("__reduce__");
    return result;
}

const Params setstate_params("__setstate__", {"__pyx_state"});

PyObject* setstate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (setstate_params.parse(args, nargs, kwnames, a) < 0) THINREF_FAIL("__setstate__");
    if (a[0] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        THINREF_FAIL("__setstate__");
    }
    if (!PyTuple_CheckExact(a[0])) {
        raise_expected(&PyTuple_Type, a[0]);
        THINREF_FAIL("__setstate__");
    }
    if (set_state_traced(self, a[0]) < 0) THINREF_FAIL("__setstate__");
    Py_RETURN_NONE;
}

void raise_checksum_mismatch(int checksum) {
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return;
    Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                                                  static_cast<unsigned>(checksum), static_cast<unsigned>(kChecksum),
                                                  static_cast<unsigned>(kChecksumAlt1),
                                                  static_cast<unsigned>(kChecksumAlt2), "_ThinRef__ref"));
    if (!message) return;
    PyErr_SetObject(error.get(), message.get());
}

const Method unpickle_method{module_def, "__pyx_unpickle_ThinRef", {"__pyx_type", "__pyx_checksum", "__pyx_state"}};

Ref unpickle(PyObject*, PyObject* type, PyObject* checksum_arg, PyObject* state) {
    int checksum = 0;
    if (to_int32(checksum_arg, &checksum, false, "Python int too large to convert to C int") < 0) return Ref();
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "__pyx_state", "tuple", Py_TYPE(state)->tp_name);
        return Ref();
    }
    if (checksum != kChecksum && checksum != kChecksumAlt1 && checksum != kChecksumAlt2) {
        raise_checksum_mismatch(checksum);
        return Ref();
    }
    Ref result = Ref::steal(PyObject_CallOneArg(thinref_new_fn, type));
    if (!result) return result;
    if (state != Py_None && set_state_traced(result.get(), state) < 0) return Ref();
    return result;
}

PyMethodDef pickling_methods[] = {
    {"__reduce__", cfunc(reduce_method), METH_FASTCALL | METH_KEYWORDS, "Reduce the proxy for copy and pickle."},
    {"__setstate__", cfunc(setstate_method), METH_FASTCALL | METH_KEYWORDS, "Restore the proxy from its state."},
};

const char* const kUnpickleLocals[] = {"__pyx_PickleError", "__pyx_result", nullptr};

}  // namespace

int install_pickling() {
    PyObject* dict = ThinRefType.tp_dict;
    for (PyMethodDef& def : pickling_methods) {
        Ref descr = Ref::steal(PyDescr_NewMethod(&ThinRefType, &def));
        if (!descr || PyDict_SetItemString(dict, def.ml_name, descr.get()) < 0) {
            format_from_cause(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                              _PyType_Name(&ThinRefType));
            return -1;
        }
    }
    PyType_Modified(&ThinRefType);
    if (!thinref_new_fn) {
        thinref_new_fn = PyDict_GetItemString(dict, "__new__");
        if (!thinref_new_fn) {
            PyErr_SetString(PyExc_SystemError, "ThinRef has no __new__");
            return -1;
        }
        Py_INCREF(thinref_new_fn);
    }
    return 0;
}

int bind_unpickle_function(PyObject* module) {
    const FunctionDef def{unpickle_method, nullptr, function_entry<unpickle_method, unpickle>, kUnpickleLocals};
    Ref fn = make_function(def, module);
    if (!fn) return -1;
    return PyDict_SetItemString(module_def.dict, unpickle_method.site.name(), fn.get());
}

}  // namespace ruvo::thinref
