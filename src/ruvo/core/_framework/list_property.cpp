// ListProperty (its values are ObservableLists, see observable_list.cpp) and
// VariableListProperty (CSS box values).
#include "framework.hpp"

namespace ruvo::framework::impl {

// ---------------------------------------------------------------------------
// ListProperty

namespace {

PyObject* list_convert(Property* self, PyObject* obj, PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) return new_observable_list(value, self, obj).release();
    return Py_NewRef(value);
}

PyObject* list_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    if (r.get() != Py_None || PyList_Check(value)) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " accepts only a list or a tuple (got %R)", value);
}

}  // namespace

constinit PropertyTable list_table = [] {
    PropertyTable t = property_operations();
    t.convert = list_convert;
    t.check = list_check;
    return t;
}();

namespace {

PyObject* list_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = property_new(type);
    if (self) reinterpret_cast<Property*>(self.get())->vtab = &list_table;
    return finish_new(std::move(self), &ListPropertyType).release();
}

const Method list_init_method{module_def, "ListProperty.__init__", {"defaultvalue"}, 0};

int list_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty || list_init_method.params.parse(args, kwargs, a, keep, &kw) < 0 ||
        property_init_common(reinterpret_cast<Property*>(self), a[0] == Py_None ? nullptr : a[0], empty.get(),
                             kw.get()) < 0) {
        return list_init_method.site.fail();
    }
    return 0;
}

}  // namespace

PyTypeObject ListPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.ListProperty", sizeof(ListProperty), &PropertyType,
                                    "ListProperty(defaultvalue=None, **kw)\n--\n\n"
                                    "A list (default: empty). A list or tuple assigned is stored as a new\n"
                                    "ObservableList whose in-place changes notify the observers.");
    t.tp_new = list_new;
    t.tp_init = list_init;
    t.tp_traverse = property_traverse;
    t.tp_clear = property_clear;
    t.tp_dealloc = trashcan_dealloc<property_release>;
    return t;
}();

// ---------------------------------------------------------------------------
// VariableListProperty

namespace {

VariableListProperty* as_vl(PyObject* o) { return reinterpret_cast<VariableListProperty*>(o); }

// A new list of `length` items repeating `items` (n of them) in order.
Ref repeated(PyObject* const* items, Py_ssize_t n, int32_t length) {
    Ref list = Ref::steal(PyList_New(length));
    if (!list) return list;
    for (int32_t i = 0; i < length; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(items[i % n]));
    return list;
}

PyObject* varlist_convert(Property* self, PyObject*, PyObject* value) {
    const int32_t length = reinterpret_cast<VariableListProperty*>(self)->length;
    if (is_number(value)) return repeated(&value, 1, length).release();
    if (!PyList_Check(value) && !PyTuple_Check(value)) return Py_NewRef(value);
    Ref items = Ref::steal(PySequence_Tuple(value));
    if (!items) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    PyObject* const* p = &PyTuple_GET_ITEM(items.get(), 0);
    if (n == 1 || (n == 2 && length % 2 == 0)) return repeated(p, n, length).release();
    return PySequence_List(items.get());  // left for check to judge
}

PyObject* varlist_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    const int32_t length = reinterpret_cast<VariableListProperty*>(self)->length;
    if (r.get() != Py_None || !PyList_Check(value) || PyList_GET_SIZE(value) == length) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " must have %d items (got %R)", static_cast<int>(length), value);
}

}  // namespace

constinit PropertyTable varlist_table = [] {
    PropertyTable t = property_operations();
    t.convert = varlist_convert;
    t.check = varlist_check;
    return t;
}();

namespace {

PyObject* varlist_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = property_new(type);
    if (!self) return nullptr;
    as_vl(self.get())->base.vtab = &varlist_table;
    as_vl(self.get())->length = 4;
    return finish_new(std::move(self), &VariableListPropertyType).release();
}

const Method varlist_init_method{module_def, "VariableListProperty.__init__", {"defaultvalue", "length"}, 0};

int varlist_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Site& site = varlist_init_method.site;
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (varlist_init_method.params.parse(args, kwargs, a, keep, &kw) < 0) return site.fail();
    long length = 4;
    if (a[1]) {
        if (!PyLong_Check(a[1]) || PyBool_Check(a[1])) {
            PyErr_Format(PyExc_TypeError, "VariableListProperty length must be an int, got %.200s",
                         Py_TYPE(a[1])->tp_name);
            return site.fail();
        }
        length = PyLong_AsLong(a[1]);
        if (length == -1 && PyErr_Occurred()) PyErr_Clear();
        if (length != 2 && length != 4) {
            PyErr_Format(PyExc_ValueError, "VariableListProperty length must be 2 or 4 (got %R)", a[1]);
            return site.fail();
        }
    }
    Ref fallback;
    if (!a[0] || a[0] == Py_None) {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return site.fail();
        PyObject* z = zero.get();
        fallback = repeated(&z, 1, static_cast<int32_t>(length));
        if (!fallback) return site.fail();
    }
    if (property_init_common(&as_vl(self)->base, fallback ? nullptr : a[0], fallback.get(), kw.get()) < 0) {
        return site.fail();
    }
    as_vl(self)->length = static_cast<int32_t>(length);
    return 0;
}

PyObject* get_length(PyObject* self, void*) { return PyLong_FromLong(as_vl(self)->length); }

PyGetSetDef varlist_getset[] = {
    {"length", get_length, nullptr, "The number of items of the stored list: 2 or 4.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject VariableListPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.VariableListProperty", sizeof(VariableListProperty),
                                    &PropertyType,
                                    "VariableListProperty(defaultvalue=None, length=4, **kw)\n--\n\n"
                                    "A list of `length` items (2 or 4) given as one, two or four values,\n"
                                    "expanded as CSS box values: a -> [a, a, a, a], [a, b] -> [a, b, a, b].");
    t.tp_new = varlist_new;
    t.tp_init = varlist_init;
    t.tp_traverse = property_traverse;
    t.tp_clear = property_clear;
    t.tp_dealloc = trashcan_dealloc<property_release>;
    t.tp_getset = varlist_getset;
    return t;
}();

}  // namespace ruvo::framework::impl
