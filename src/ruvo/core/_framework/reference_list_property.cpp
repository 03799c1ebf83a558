// ReferenceListProperty(*props): a list view of other properties.
#include "property_kinds.hpp"

namespace ruvo::framework::impl {

namespace {

ReferenceListProperty* as_ref(PyObject* o) { return reinterpret_cast<ReferenceListProperty*>(o); }
ReferenceListProperty* as_ref(Property* p) { return reinterpret_cast<ReferenceListProperty*>(p); }

const Site init_site{module_def, "ReferenceListProperty.__init__"};

int reflist_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref props = Ref::steal(PySequence_List(args));
    if (!props) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(props.get()); ++i) {
        if (!check_arg_type(PyList_GET_ITEM(props.get(), i), &PropertyType, "props", false)) return -1;
    }
    if (property_init_common(as_prop(self), nullptr, Py_None, kwargs) < 0) return -1;
    set_field(as_ref(self)->properties, std::move(props));
    return 0;
}

// A snapshot of the referenced properties (a new tuple), each checked to be
// a Property: the list is reachable from Python code through the collector.
Ref referenced(ReferenceListProperty* self) {
    if (!self->properties || !PyList_Check(self->properties)) return Ref::steal(PyTuple_New(0));
    Ref props = list_snapshot(self->properties);
    if (!props) return props;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        if (!check_arg_type(PyTuple_GET_ITEM(props.get(), i), &PropertyType, "props", false)) return Ref();
    }
    return props;
}

// The names of the referenced properties (a new list).
Ref reference_names(ReferenceListProperty* self) {
    Ref props = referenced(self);
    if (!props) return props;
    Ref names = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; names && i < PyTuple_GET_SIZE(props.get()); ++i) {
        PyObject* name = as_prop(PyTuple_GET_ITEM(props.get(), i))->name;
        if (PyList_Append(names.get(), name ? name : Py_None) < 0) return Ref();
    }
    return names;
}

PyObject* reflist_init_storage(Property* self, PyObject* obj, PropertyStorage*) {
    Ref names = reference_names(as_ref(self));
    if (!names || bind_dependencies(self, obj, names.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* reflist_get_value(Property* self, PyObject* obj) {
    Ref storage = storage_of(self, obj);
    if (!storage) return nullptr;
    Ref props = referenced(as_ref(self));
    if (!props) return nullptr;
    // A list that holds itself, directly or through another, recurses here.
    RecursionGuard guard(" while reading a ReferenceListProperty");
    if (!guard.entered()) return nullptr;
    Ref result = Ref::steal(PyList_New(PyTuple_GET_SIZE(props.get())));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        Property* p = as_prop(PyTuple_GET_ITEM(props.get(), i));
        PyObject* v = p->vtab->get_value(p, obj);
        if (!v) return nullptr;
        PyList_SET_ITEM(result.get(), i, v);
    }
    return result.release();
}

PyObject* reflist_set(Property* self, PyObject* obj, PyObject* value) {
    Ref storage = storage_of(self, obj);
    if (!storage) return nullptr;
    Ref props = referenced(as_ref(self));
    if (!props) return nullptr;
    RecursionGuard guard(" while setting a ReferenceListProperty");
    if (!guard.entered()) return nullptr;
    Ref converted = Ref::steal(self->vtab->convert(self, obj, value));
    if (!converted) return nullptr;
    Ref checked = Ref::steal(self->vtab->check(self, obj, converted.get()));
    if (!checked) return nullptr;
    Ref items = Ref::steal(PySequence_Tuple(converted.get()));
    if (!items) return nullptr;
    if (PyTuple_GET_SIZE(items.get()) != PyTuple_GET_SIZE(props.get())) {
        return raise_named(PyExc_ValueError, self, obj, " must have %zd items (got %R)", PyTuple_GET_SIZE(props.get()),
                           value);
    }
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        Property* p = as_prop(PyTuple_GET_ITEM(props.get(), i));
        Ref r = Ref::steal(p->vtab->set(p, obj, PyTuple_GET_ITEM(items.get(), i)));
        if (!r) return nullptr;
        changed = changed || r.get() == Py_True;
    }
    return PyBool_FromLong(changed);
}

int reflist_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_ref(self)->properties);
    return property_traverse(self, visit, arg);
}

int reflist_clear(PyObject* self) {
    set_none(as_ref(self)->properties);
    return property_clear(self);
}

void reflist_release(PyObject* self) {
    Py_CLEAR(as_ref(self)->properties);
    property_release(self);
}

PyObject* get_properties(PyObject* self, void*) {
    PyObject* p = as_ref(self)->properties;
    return PyList_Check(p) ? list_snapshot(p).release() : Py_NewRef(p);
}

PyGetSetDef reflist_getset[] = {
    {"properties", get_properties, nullptr, "The referenced properties (a tuple).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

constinit PropertyTable reflist_table = [] {
    PropertyTable t = property_operations();
    t.init_storage = reflist_init_storage;
    t.get_value = reflist_get_value;
    t.set = reflist_set;
    return t;
}();

PyTypeObject ReferenceListPropertyType = [] {
    PyTypeObject t = framework_type(
        "ruvo.core.properties.ReferenceListProperty", sizeof(ReferenceListProperty), &PropertyType,
        "ReferenceListProperty(*props, **kw)\n--\n\n"
        "A list view of other properties: reading gives their values, assigning\n"
        "a sequence sets each; a change of any of them notifies this property's observers.");
    t.tp_new = simple_new<&reflist_table, &ReferenceListPropertyType,
                          fill_empty_list<ReferenceListProperty, &ReferenceListProperty::properties>>;
    t.tp_init = reported<init_site, reflist_init>;
    t.tp_traverse = reflist_traverse;
    t.tp_clear = reflist_clear;
    t.tp_dealloc = trashcan_dealloc<reflist_release>;
    t.tp_getset = reflist_getset;
    return t;
}();

}  // namespace ruvo::framework::impl
