// ThinRef pickling: __reduce__ and __setstate__ (named in the type's method
// table, thinref.cpp) and the module's restore function
// __pyx_unpickle_ThinRef. The reduce value carries the field as it is (the
// weak-reference object, never the referent) and a checksum that stands for
// the field layout.
#include <cstdint>

#include "thinref.hpp"

namespace ruvo::thinref {

namespace {

// The checksum of the field layout that reduce writes; restoring also
// accepts the two alternatives.
constexpr int32_t kChecksum = 0xaed1db3;
constexpr int32_t kChecksumAlt1 = 0x51f19d2;
constexpr int32_t kChecksumAlt2 = 0x32b41a;

CachedGlobal unpickle_global("__pyx_unpickle_ThinRef");
PyObject* checksum_int = nullptr;    // kChecksum as an int
PyObject* thinref_new_fn = nullptr;  // ThinRef.__new__

// The traceback entry of restoring the state, which both __setstate__ and
// the restore function do.
const Site set_state_site{module_def, "__pyx_unpickle_ThinRef__set_state"};

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
    set_field(as_proxy(result)->ref, Ref::borrow(PyTuple_GET_ITEM(state, 0)));
    if (size < 2) return 0;
    PyObject* extra = PyTuple_GET_ITEM(state, 1);  // kept alive by the caller's tuple
    int truth = PyObject_IsTrue(extra);
    if (truth <= 0) return truth;
    Ref dict = Ref::steal(PyObject_GenericGetDict(result, nullptr));
    if (!dict) return -1;
    if (PyDict_CheckExact(dict.get())) return PyDict_Update(dict.get(), extra);
    Ref done = Ref::steal(PyObject_CallMethodOneArg(dict.get(), texts.update, extra));
    return done ? 0 : -1;
}

void raise_checksum_mismatch(int32_t checksum) {
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
    int32_t checksum = 0;
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
    if (state != Py_None && reported<set_state_site, set_state>(result.get(), state) < 0) return Ref();
    return result;
}

const char* const kUnpickleLocals[] = {"__pyx_PickleError", "__pyx_result", nullptr};

}  // namespace

const Method<0> reduce_method{module_def, "ThinRef.__reduce__"};
const Method<1> setstate_method{module_def, "ThinRef.__setstate__", {"__pyx_state"}};

Ref reduce(PyObject* self) {
    // The proxy's own instance dictionary, never the referent's.
    Ref own;
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (dp && *dp) {
        own = Ref::borrow(*dp);
        int truth = PyObject_IsTrue(own.get());
        if (truth < 0) return Ref();
        if (!truth) own.reset();
    }
    Ref fn = unpickle_global.get(module_def.dict);
    if (!fn) return fn;
    Ref field = Ref::borrow(as_proxy(self)->ref);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (own) {
        return Ref::steal(Py_BuildValue("(O(OOO)(OO))", fn.get(), type, checksum_int, Py_None, field.get(), own.get()));
    }
    if (field.get() != Py_None) {
        return Ref::steal(Py_BuildValue("(O(OOO)(O))", fn.get(), type, checksum_int, Py_None, field.get()));
    }
    return Ref::steal(Py_BuildValue("(O(OO(O)))", fn.get(), type, checksum_int, field.get()));
}

Ref restore_state(PyObject* self, PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        return Ref();
    }
    if (!PyTuple_CheckExact(state)) {
        raise_expected(&PyTuple_Type, state);
        return Ref();
    }
    if (reported<set_state_site, set_state>(self, state) < 0) return Ref();
    return Ref::borrow(Py_None);
}

int init_pickling(PyObject* module) {
    if (!checksum_int && !(checksum_int = PyLong_FromLong(kChecksum))) return -1;
    if (!thinref_new_fn) {
        thinref_new_fn = PyDict_GetItemString(ThinRefType.tp_dict, "__new__");
        if (!thinref_new_fn) {
            PyErr_SetString(PyExc_SystemError, "ThinRef has no __new__");
            return -1;
        }
        Py_INCREF(thinref_new_fn);
    }
    const FunctionDef def{unpickle_method, nullptr, function_entry<unpickle_method, unpickle>, kUnpickleLocals};
    Ref fn = make_function(def, module);
    if (!fn) return -1;
    return PyDict_SetItemString(module_def.dict, unpickle_method.site.name(), fn.get());
}

}  // namespace ruvo::thinref
