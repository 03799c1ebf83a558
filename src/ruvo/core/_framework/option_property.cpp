// OptionProperty: one of the values in its list of options.
#include "property_kinds.hpp"

namespace ruvo::framework::impl {

namespace {

OptionProperty* as_option(PyObject* o) { return reinterpret_cast<OptionProperty*>(o); }

const Method init_method{module_def, "OptionProperty.__init__", {"defaultvalue", "options"}, 0};

int option_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (init_method.params.parse(args, kwargs, a, keep, &kw) < 0) return init_method.site.fail();
    Ref options = Ref::steal(a[1] && a[1] != Py_None ? PySequence_List(a[1]) : PyList_New(0));
    if (!options || property_init_common(as_prop(self), a[0], Py_None, kw.get()) < 0) {
        return init_method.site.fail();
    }
    set_field(as_option(self)->options, std::move(options));
    return 0;
}

PyObject* option_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    if (r.get() != Py_None) return r.release();
    Ref options = Ref::borrow(as_option(reinterpret_cast<PyObject*>(self))->options);
    int found = options && PyList_Check(options.get()) ? PySequence_Contains(options.get(), value) : 0;
    if (found < 0) return nullptr;
    if (found) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " is set to an invalid option %R. Must be one of: %S", value,
                       options ? options.get() : Py_None);
}

int option_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_option(self)->options);
    return property_traverse(self, visit, arg);
}

int option_clear(PyObject* self) {
    set_none(as_option(self)->options);
    return property_clear(self);
}

void option_release(PyObject* self) {
    Py_CLEAR(as_option(self)->options);
    property_release(self);
}

PyObject* get_options(PyObject* self, void*) { return Py_NewRef(as_option(self)->options); }

PyGetSetDef option_getset[] = {
    {"options", get_options, nullptr, "The accepted values (a list).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

constinit PropertyTable option_table = [] {
    PropertyTable t = property_operations();
    t.check = option_check;
    return t;
}();

PyTypeObject OptionPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.OptionProperty", sizeof(OptionProperty), &PropertyType,
                                    "OptionProperty(defaultvalue=None, options=(), **kw)\n--\n\n"
                                    "One of the values in options.");
    t.tp_new = simple_new<&option_table, &OptionPropertyType, fill_empty_list<OptionProperty, &OptionProperty::options>>;
    t.tp_init = option_init;
    t.tp_traverse = option_traverse;
    t.tp_clear = option_clear;
    t.tp_dealloc = trashcan_dealloc<option_release>;
    t.tp_getset = option_getset;
    return t;
}();

}  // namespace ruvo::framework::impl
