#include "keywords.hpp"

#include "constants.hpp"

namespace ruvo::attributes {

int InitArgs::parse(const Params& params, PyObject* args, PyObject* kwds) {
    if (params.parse(args, kwds, given, keep, &kwargs) < 0) return -1;
    if (!kwargs) kwargs = Ref::steal(PyDict_New());
    return kwargs ? 0 : -1;
}

int read_text_keyword(PyObject*& field, PyObject* kwargs, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(kwargs, key);
    if (!value) {
        if (PyErr_Occurred()) return -1;
        value = texts.empty;
    }
    if (!check_exact_or_none(value, &PyUnicode_Type)) return -1;
    set_field(field, Ref::borrow(value));
    return 0;
}

int read_sync_keyword(int32_t& field, PyObject* kwargs) {
    PyObject* value = PyDict_GetItemWithError(kwargs, texts.sync);
    int32_t sync = 0;
    if (value) {
        if (to_int32(value, &sync) < 0) return -1;
    } else if (PyErr_Occurred()) {
        return -1;
    }
    field = sync;
    return 0;
}

Ref list_keyword(PyObject* kwargs, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(kwargs, key);
    if (!value) return Ref::steal(PyErr_Occurred() ? nullptr : PyList_New(0));
    Ref keep = Ref::borrow(value);  // the iteration may run code that changes kwargs
    return Ref::steal(PySequence_List(value));
}

int force_allownone(PyObject* kwargs) { return PyDict_SetItem(kwargs, texts.allownone, Py_True); }

int call_base_init(PyTypeObject* cls, PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref sup = Ref::steal(PyObject_CallFunctionObjArgs(builtin_super, reinterpret_cast<PyObject*>(cls), self, nullptr));
    if (!sup) return -1;
    Ref init = Ref::steal(PyObject_GetAttr(sup.get(), texts.init));
    if (!init) return -1;
    Ref empty;
    if (!args) {
        empty = Ref::steal(PyTuple_New(0));
        if (!empty) return -1;
        args = empty.get();
    }
    Ref result = Ref::steal(PyObject_Call(init.get(), args, kwargs));
    return result ? 0 : -1;
}

}  // namespace ruvo::attributes
