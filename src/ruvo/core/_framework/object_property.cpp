// ObjectProperty: any object; with baseclass, an instance of it.
#include "property_kinds.hpp"

namespace ruvo::framework::impl {

namespace {

ObjectProperty* as_objprop(PyObject* o) { return reinterpret_cast<ObjectProperty*>(o); }

int object_fill(PyObject* self) {
    as_objprop(self)->baseclass = Py_NewRef(Py_None);
    return 0;
}

const Method init_method{module_def, "ObjectProperty.__init__", {"defaultvalue", "baseclass"}, 0};

int object_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (init_method.params.parse(args, kwargs, a, keep, &kw) < 0) return init_method.site.fail();
    if (a[1] && a[1] != Py_None && !PyType_Check(a[1])) {
        PyErr_Format(PyExc_TypeError, "ObjectProperty baseclass must be a type or None, got %.200s",
                     Py_TYPE(a[1])->tp_name);
        return init_method.site.fail();
    }
    if (property_init_common(as_prop(self), a[0], Py_None, kw.get()) < 0) return init_method.site.fail();
    set_field(as_objprop(self)->baseclass, Ref::borrow(a[1] ? a[1] : Py_None));
    return 0;
}

PyObject* object_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    PyObject* base = as_objprop(reinterpret_cast<PyObject*>(self))->baseclass;
    if (r.get() != Py_None || !base || base == Py_None) return r.release();
    Ref keep = Ref::borrow(base);
    int ok = PyObject_IsInstance(value, base);
    if (ok < 0) return nullptr;
    if (ok) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " accepts only %.200s instances (got %R)",
                       reinterpret_cast<PyTypeObject*>(base)->tp_name, value);
}

int object_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_objprop(self)->baseclass);
    return property_traverse(self, visit, arg);
}

int object_clear(PyObject* self) {
    set_none(as_objprop(self)->baseclass);
    return property_clear(self);
}

void object_release(PyObject* self) {
    Py_CLEAR(as_objprop(self)->baseclass);
    property_release(self);
}

PyObject* get_baseclass(PyObject* self, void*) { return Py_NewRef(as_objprop(self)->baseclass); }

PyGetSetDef object_getset[] = {
    {"baseclass", get_baseclass, nullptr, "The class values must be instances of, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

constinit PropertyTable object_table = [] {
    PropertyTable t = property_operations();
    t.check = object_check;
    return t;
}();

PyTypeObject ObjectPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.ObjectProperty", sizeof(ObjectProperty), &PropertyType,
                                    "ObjectProperty(defaultvalue=None, baseclass=None, **kw)\n--\n\n"
                                    "Any object; with baseclass, an instance of it.");
    t.tp_new = simple_new<&object_table, &ObjectPropertyType, object_fill>;
    t.tp_init = object_init;
    t.tp_traverse = object_traverse;
    t.tp_clear = object_clear;
    t.tp_dealloc = trashcan_dealloc<object_release>;
    t.tp_getset = object_getset;
    return t;
}();

}  // namespace ruvo::framework::impl
