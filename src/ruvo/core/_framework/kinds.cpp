// The smaller property kinds: BooleanProperty, StringProperty, DictProperty,
// ObjectProperty, OptionProperty, ColorProperty, ReferenceListProperty and
// AliasProperty.
#include "fw.hpp"

namespace ruvo::fw {

PyTypeObject BooleanPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject StringPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject DictPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ObjectPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject OptionPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ReferenceListPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject AliasPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ColorPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PropertyTable boolean_table, string_table, dict_table, object_table, option_table, reflist_table, alias_table,
    color_table;

namespace {

Property* as_prop(PyObject* o) { return reinterpret_cast<Property*>(o); }

// A type-refusing check: the base check, then `accept(value)`, else ValueError.
template <bool (*Accept)(PyObject*)>
PyObject* kind_check(Property* self, PyObject* obj, PyObject* value, const char* what) {
    PyObject* r = property_check(self, obj, value);
    if (r != Py_None || Accept(value)) return r;
    Py_DECREF(r);
    return raise_named(PyExc_ValueError, self, obj, " accepts only %s (got %R)", what, value);
}

// A new-object function: the table, then the kind's own fields (`Fill`,
// which sets them all to None before it allocates anything, since an
// allocation can run the collector and its finalisers can find the object),
// and last the class's table, which can run Python code.
template <PropertyTable* Table, PyTypeObject* Type, int (*Fill)(PyObject*) = nullptr>
PyObject* simple_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    PyObject* self = property_new(type, args, kw);
    if (!self) return nullptr;
    as_prop(self)->vtab = Table;
    if (Fill && Fill(self) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return finish_new(self, Type);
}

// A `Fill` for a kind whose one field starts as a new empty list.
template <class Record, PyObject* Record::*Field>
int fill_empty_list(PyObject* self) {
    PyObject*& field = reinterpret_cast<Record*>(self)->*Field;
    field = Py_NewRef(Py_None);
    PyObject* list = PyList_New(0);
    if (!list) return -1;
    set_field(&field, list);
    return 0;
}

// An __init__(defaultvalue=<fallback>, **kw) for the kinds without parameters of their own.
template <PyObject* (*Fallback)()>
int simple_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params("__init__", {"defaultvalue"}, 0);
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    Ref fallback = Ref::steal(Fallback());
    if (!fallback || params.parse(args, kwargs, a, keep, &kw) < 0 ||
        property_init_common(as_prop(self), a[0], fallback.get(), kw.get()) < 0) {
        module_def.traceback("ruvo.core._framework.Property.__init__", __LINE__);
        return -1;
    }
    return 0;
}

PyObject* none_default() { return Py_NewRef(Py_None); }
PyObject* false_default() { return Py_NewRef(Py_False); }
PyObject* empty_str_default() { return Py_NewRef(T.empty); }
PyObject* empty_dict_default() { return PyDict_New(); }

// ---------------------------------------------------------------------------
// BooleanProperty

PyObject* boolean_convert(Property*, PyObject*, PyObject* value) {
    if (value == Py_None || PyBool_Check(value)) return Py_NewRef(value);
    int t = PyObject_IsTrue(value);
    return t < 0 ? nullptr : PyBool_FromLong(t);
}

bool is_bool(PyObject* v) { return PyBool_Check(v); }
PyObject* boolean_check(Property* self, PyObject* obj, PyObject* value) {
    return kind_check<is_bool>(self, obj, value, "bool");
}

// ---------------------------------------------------------------------------
// StringProperty, DictProperty

bool is_str(PyObject* v) { return PyUnicode_Check(v); }
PyObject* string_check(Property* self, PyObject* obj, PyObject* value) {
    return kind_check<is_str>(self, obj, value, "str");
}

bool is_dict(PyObject* v) { return PyDict_Check(v); }
PyObject* dict_check(Property* self, PyObject* obj, PyObject* value) {
    return kind_check<is_dict>(self, obj, value, "dict");
}

// Each object starts from its own copy of a dict default.
PyObject* dict_init_storage(Property* self, PyObject* obj, PropertyStorage* storage) {
    Ref given = Ref::borrow(self->defaultvalue);
    Ref start = PyDict_Check(given.get()) ? Ref::steal(PyDict_Copy(given.get())) : std::move(given);
    if (!start) return nullptr;
    PyObject* value = self->vtab->convert(self, obj, start.get());
    if (!value) return nullptr;
    set_field(&storage->value, value);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// ObjectProperty

ObjectProperty* as_objprop(PyObject* o) { return reinterpret_cast<ObjectProperty*>(o); }

int object_fill(PyObject* self) {
    as_objprop(self)->baseclass = Py_NewRef(Py_None);
    return 0;
}

PyObject* object_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    return simple_new<&object_table, &ObjectPropertyType, object_fill>(type, args, kw);
}

int object_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params("__init__", {"defaultvalue", "baseclass"}, 0);
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (params.parse(args, kwargs, a, keep, &kw) < 0) goto fail;
    if (a[1] && a[1] != Py_None && !PyType_Check(a[1])) {
        PyErr_Format(PyExc_TypeError, "ObjectProperty baseclass must be a type or None, got %.200s",
                     Py_TYPE(a[1])->tp_name);
        goto fail;
    }
    if (property_init_common(as_prop(self), a[0], Py_None, kw.get()) < 0) goto fail;
    set_field(&as_objprop(self)->baseclass, Py_NewRef(a[1] ? a[1] : Py_None));
    return 0;
fail:
    module_def.traceback("ruvo.core._framework.ObjectProperty.__init__", __LINE__);
    return -1;
}

PyObject* object_check(Property* self, PyObject* obj, PyObject* value) {
    PyObject* r = property_check(self, obj, value);
    PyObject* base = as_objprop(reinterpret_cast<PyObject*>(self))->baseclass;
    if (r != Py_None || !base || base == Py_None) return r;
    Py_DECREF(r);
    Ref keep = Ref::borrow(base);
    int ok = PyObject_IsInstance(value, base);
    if (ok < 0) return nullptr;
    if (ok) Py_RETURN_NONE;
    return raise_named(PyExc_ValueError, self, obj, " accepts only %.200s instances (got %R)",
                       reinterpret_cast<PyTypeObject*>(base)->tp_name, value);
}

int object_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_objprop(self)->baseclass);
    return property_traverse(self, visit, arg);
}

int object_clear(PyObject* self) {
    set_none(&as_objprop(self)->baseclass);
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

// ---------------------------------------------------------------------------
// OptionProperty

OptionProperty* as_option(PyObject* o) { return reinterpret_cast<OptionProperty*>(o); }

PyObject* option_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    return simple_new<&option_table, &OptionPropertyType, fill_empty_list<OptionProperty, &OptionProperty::options>>(type, args, kw);
}

int option_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params("__init__", {"defaultvalue", "options"}, 0);
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    Ref options;
    if (params.parse(args, kwargs, a, keep, &kw) < 0) goto fail;
    options = Ref::steal(a[1] && a[1] != Py_None ? PySequence_List(a[1]) : PyList_New(0));
    if (!options || property_init_common(as_prop(self), a[0], Py_None, kw.get()) < 0) goto fail;
    set_field(&as_option(self)->options, options.release());
    return 0;
fail:
    module_def.traceback("ruvo.core._framework.OptionProperty.__init__", __LINE__);
    return -1;
}

PyObject* option_check(Property* self, PyObject* obj, PyObject* value) {
    PyObject* r = property_check(self, obj, value);
    if (r != Py_None) return r;
    Py_DECREF(r);
    Ref options = Ref::borrow(as_option(reinterpret_cast<PyObject*>(self))->options);
    int found = options && PyList_Check(options.get()) ? PySequence_Contains(options.get(), value) : 0;
    if (found < 0) return nullptr;
    if (found) Py_RETURN_NONE;
    return raise_named(PyExc_ValueError, self, obj, " is set to an invalid option %R. Must be one of: %S", value,
                       options ? options.get() : Py_None);
}

int option_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_option(self)->options);
    return property_traverse(self, visit, arg);
}

int option_clear(PyObject* self) {
    set_none(&as_option(self)->options);
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

// ---------------------------------------------------------------------------
// ColorProperty: a list of 3 or 4 components, also given as a colour text.

PyObject* color_convert(Property*, PyObject*, PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) return PySequence_List(value);
    if (!PyUnicode_Check(value)) return Py_NewRef(value);
    Ref utils = Ref::steal(PyImport_ImportModule("ruvo.core.utils"));
    if (!utils) return nullptr;
    Ref parse = Ref::steal(PyObject_GetAttr(utils.get(), T.get_color));
    if (!parse) return nullptr;
    return PyObject_CallOneArg(parse.get(), value);
}

PyObject* color_check(Property* self, PyObject* obj, PyObject* value) {
    PyObject* r = property_check(self, obj, value);
    if (r != Py_None) return r;
    if (PyList_Check(value) && (PyList_GET_SIZE(value) == 3 || PyList_GET_SIZE(value) == 4)) return r;
    Py_DECREF(r);
    return raise_named(PyExc_ValueError, self, obj, " accepts only a colour of 3 or 4 components (got %R)", value);
}

// ---------------------------------------------------------------------------
// Forwarding a dependency's change: a bound method of the dependent property
// that dispatches its observers on the object.

PyObject* py_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) Py_RETURN_NONE;
    Property* p = as_prop(self);
    return p->vtab->dispatch(p, args[0]);
}

PyMethodDef forward_def = {"_forward", FW_METH(py_forward), METH_FASTCALL, "Dispatches on a dependency's change."};

// Binds self's forwarder to the storages of `names` (properties of obj).
int bind_dependencies(Property* self, PyObject* obj, PyObject* names) {
    if (!names || names == Py_None) return 0;
    if (!PyObject_TypeCheck(obj, &EventDispatcherType)) {
        PyErr_Format(PyExc_TypeError, "%.200s %R needs an EventDispatcher instance, got %.200s", Py_TYPE(self)->tp_name,
                     self->name ? self->name : Py_None, Py_TYPE(obj)->tp_name);
        return -1;
    }
    Ref seq = Ref::steal(PySequence_Tuple(names));
    if (!seq) return -1;
    if (!PyTuple_GET_SIZE(seq.get())) return 0;
    Ref forward = Ref::steal(PyCFunction_New(&forward_def, reinterpret_cast<PyObject*>(self)));
    if (!forward) return -1;
    EventDispatcher* d = reinterpret_cast<EventDispatcher*>(obj);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(name)) {
            raise_named(PyExc_TypeError, self, obj, " depends on a property that is not placed on a class");
            return -1;
        }
        Ref storages = Ref::borrow(d->storage);
        Ref s = Ref::borrow(storages && PyDict_Check(storages.get()) ? PyDict_GetItemWithError(storages.get(), name)
                                                                     : nullptr);
        if (!s) {
            if (!PyErr_Occurred()) {
                raise_named(PyExc_KeyError, self, obj, " depends on %R, which is not a property of this object", name);
            }
            return -1;
        }
        if (!PyObject_TypeCheck(s.get(), &PropertyStorageType)) {
            raise_expected(&PropertyStorageType, s.get());
            return -1;
        }
        Ref held = Ref::borrow(reinterpret_cast<PyObject*>(observers_of(reinterpret_cast<PropertyStorage*>(s.get()))));
        if (!held) return -1;
        EventObservers* o = reinterpret_cast<EventObservers*>(held.get());
        Ref uid = Ref::steal(o->vtab->bind(o, forward.get(), nullptr, nullptr));
        if (!uid) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// ReferenceListProperty(*props): a list view of other properties.

ReferenceListProperty* as_ref(PyObject* o) { return reinterpret_cast<ReferenceListProperty*>(o); }

PyObject* reflist_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    return simple_new<&reflist_table, &ReferenceListPropertyType,
                      fill_empty_list<ReferenceListProperty, &ReferenceListProperty::properties>>(type, args, kw);
}

int reflist_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref props = Ref::steal(PySequence_List(args));
    if (!props) goto fail;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(props.get()); ++i) {
        if (!check_arg_type(PyList_GET_ITEM(props.get(), i), &PropertyType, "props", false)) goto fail;
    }
    if (property_init_common(as_prop(self), nullptr, Py_None, kwargs) < 0) goto fail;
    set_field(&as_ref(self)->properties, props.release());
    return 0;
fail:
    module_def.traceback("ruvo.core._framework.ReferenceListProperty.__init__", __LINE__);
    return -1;
}

// A snapshot of the referenced properties (a new tuple), each checked to be
// a Property: the list is reachable from Python code through the collector.
PyObject* referenced(ReferenceListProperty* self) {
    if (!self->properties || !PyList_Check(self->properties)) return PyTuple_New(0);
    Ref props = list_snapshot(self->properties);
    if (!props) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        if (!check_arg_type(PyTuple_GET_ITEM(props.get(), i), &PropertyType, "props", false)) return nullptr;
    }
    return props.release();
}

// The names of the referenced properties (a new list).
PyObject* reference_names(ReferenceListProperty* self) {
    Ref props = Ref::steal(referenced(self));
    if (!props) return nullptr;
    Ref names = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; names && i < PyTuple_GET_SIZE(props.get()); ++i) {
        PyObject* name = as_prop(PyTuple_GET_ITEM(props.get(), i))->name;
        if (PyList_Append(names.get(), name ? name : Py_None) < 0) return nullptr;
    }
    return names.release();
}

PyObject* reflist_init_storage(Property* self, PyObject* obj, PropertyStorage*) {
    Ref names = Ref::steal(reference_names(as_ref(reinterpret_cast<PyObject*>(self))));
    if (!names || bind_dependencies(self, obj, names.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* reflist_get_value(Property* self, PyObject* obj) {
    Ref storage = Ref::steal(reinterpret_cast<PyObject*>(storage_of(self, obj)));
    if (!storage) return nullptr;
    Ref props = Ref::steal(referenced(as_ref(reinterpret_cast<PyObject*>(self))));
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
    Ref storage = Ref::steal(reinterpret_cast<PyObject*>(storage_of(self, obj)));
    if (!storage) return nullptr;
    Ref props = Ref::steal(referenced(as_ref(reinterpret_cast<PyObject*>(self))));
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
    set_none(&as_ref(self)->properties);
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

// ---------------------------------------------------------------------------
// AliasProperty(getter, setter=None, bind=()): a computed value.

AliasProperty* as_alias(PyObject* o) { return reinterpret_cast<AliasProperty*>(o); }

int alias_fill(PyObject* self) {
    AliasProperty* a = as_alias(self);
    a->getter = Py_NewRef(Py_None);
    a->setter = Py_NewRef(Py_None);
    a->bind = Py_NewRef(Py_None);
    PyObject* names = PyTuple_New(0);
    if (!names) return -1;
    set_field(&a->bind, names);
    return 0;
}

PyObject* alias_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    return simple_new<&alias_table, &AliasPropertyType, alias_fill>(type, args, kw);
}

int alias_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params("__init__", {"getter", "setter", "bind"}, 1);
    PyObject* a[3];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw, names;
    if (params.parse(args, kwargs, a, keep, &kw) < 0) goto fail;
    if (!PyCallable_Check(a[0]) || (a[1] && a[1] != Py_None && !PyCallable_Check(a[1]))) {
        PyErr_SetString(PyExc_TypeError, "AliasProperty getter and setter must be callable");
        goto fail;
    }
    names = Ref::steal(a[2] && a[2] != Py_None ? PySequence_Tuple(a[2]) : PyTuple_New(0));
    if (!names) goto fail;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(names.get(), i))) {
            PyErr_Format(PyExc_TypeError, "AliasProperty bind must hold property names, got %.200s",
                         Py_TYPE(PyTuple_GET_ITEM(names.get(), i))->tp_name);
            goto fail;
        }
    }
    if (property_init_common(as_prop(self), nullptr, Py_None, kw.get()) < 0) goto fail;
    set_field(&as_alias(self)->getter, Py_NewRef(a[0]));
    set_field(&as_alias(self)->setter, Py_NewRef(a[1] ? a[1] : Py_None));
    set_field(&as_alias(self)->bind, names.release());
    return 0;
fail:
    module_def.traceback("ruvo.core._framework.AliasProperty.__init__", __LINE__);
    return -1;
}

PyObject* alias_init_storage(Property* self, PyObject* obj, PropertyStorage*) {
    Ref r = Ref::steal(self->vtab->link_deps(self, obj, self->name ? self->name : Py_None));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* alias_link_deps(Property* self, PyObject* obj, PyObject*) {
    Ref names = Ref::borrow(as_alias(reinterpret_cast<PyObject*>(self))->bind);
    if (bind_dependencies(self, obj, names.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* alias_get_value(Property* self, PyObject* obj) {
    Ref storage = Ref::steal(reinterpret_cast<PyObject*>(storage_of(self, obj)));
    if (!storage) return nullptr;
    Ref getter = Ref::borrow(as_alias(reinterpret_cast<PyObject*>(self))->getter);
    return PyObject_CallOneArg(getter.get(), obj);
}

PyObject* alias_set(Property* self, PyObject* obj, PyObject* value) {
    Ref storage = Ref::steal(reinterpret_cast<PyObject*>(storage_of(self, obj)));
    if (!storage) return nullptr;
    Ref setter = Ref::borrow(as_alias(reinterpret_cast<PyObject*>(self))->setter);
    if (setter.get() == Py_None) return raise_named(PyExc_AttributeError, self, obj, " is read-only (no setter)");
    Ref converted = Ref::steal(self->vtab->convert(self, obj, value));
    if (!converted) return nullptr;
    Ref checked = Ref::steal(self->vtab->check(self, obj, converted.get()));
    if (!checked) return nullptr;
    PyObject* args[2] = {obj, converted.get()};
    Ref r = Ref::steal(PyObject_Vectorcall(setter.get(), args, 2, nullptr));
    if (!r) return nullptr;
    int changed = PyObject_IsTrue(r.get());
    if (changed < 0) return nullptr;
    if (changed) {
        Ref d = Ref::steal(self->vtab->dispatch(self, obj));
        if (!d) return nullptr;
    }
    return PyBool_FromLong(changed);
}

int alias_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_alias(self)->getter);
    Py_VISIT(as_alias(self)->setter);
    Py_VISIT(as_alias(self)->bind);
    return property_traverse(self, visit, arg);
}

int alias_clear(PyObject* self) {
    set_none(&as_alias(self)->getter);
    set_none(&as_alias(self)->setter);
    set_none(&as_alias(self)->bind);
    return property_clear(self);
}

void alias_release(PyObject* self) {
    Py_CLEAR(as_alias(self)->getter);
    Py_CLEAR(as_alias(self)->setter);
    Py_CLEAR(as_alias(self)->bind);
    property_release(self);
}

PyObject* get_getter(PyObject* self, void*) { return Py_NewRef(as_alias(self)->getter); }
PyObject* get_setter(PyObject* self, void*) { return Py_NewRef(as_alias(self)->setter); }
PyObject* get_bind(PyObject* self, void*) { return Py_NewRef(as_alias(self)->bind); }

PyGetSetDef alias_getset[] = {
    {"getter", get_getter, nullptr, "getter(obj) -> value.", nullptr},
    {"setter", get_setter, nullptr, "setter(obj, value) -> true when changed, or None (read-only).", nullptr},
    {"bind_names", get_bind, nullptr, "The properties whose changes this alias reports.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------

struct Kind {
    PyTypeObject* type;
    PropertyTable* table;
    const char* name;
    const char* doc;
    newfunc tp_new;
    initproc tp_init;
    traverseproc traverse;
    inquiry clear;
    destructor dealloc;
    PyGetSetDef* getset;
};

}  // namespace

int init_kind_types(PyObject* module) {
    boolean_table = property_table;
    boolean_table.convert = boolean_convert;
    boolean_table.check = boolean_check;
    string_table = property_table;
    string_table.check = string_check;
    dict_table = property_table;
    dict_table.check = dict_check;
    dict_table.init_storage = dict_init_storage;
    object_table = property_table;
    object_table.check = object_check;
    option_table = property_table;
    option_table.check = option_check;
    color_table = property_table;
    color_table.convert = color_convert;
    color_table.check = color_check;
    reflist_table = property_table;
    reflist_table.init_storage = reflist_init_storage;
    reflist_table.get_value = reflist_get_value;
    reflist_table.set = reflist_set;
    alias_table = property_table;
    alias_table.init_storage = alias_init_storage;
    alias_table.link_deps = alias_link_deps;
    alias_table.get_value = alias_get_value;
    alias_table.set = alias_set;

    const Kind kinds[] = {
        {&BooleanPropertyType, &boolean_table, "BooleanProperty",
         "BooleanProperty(defaultvalue=False, **kw)\n--\n\nA bool; any other value but None is converted by truth.",
         simple_new<&boolean_table, &BooleanPropertyType>, simple_init<false_default>, property_traverse, property_clear, trashcan_dealloc<property_release>,
         nullptr},
        {&StringPropertyType, &string_table, "StringProperty",
         "StringProperty(defaultvalue='', **kw)\n--\n\nA str.", simple_new<&string_table, &StringPropertyType>,
         simple_init<empty_str_default>, property_traverse, property_clear, trashcan_dealloc<property_release>, nullptr},
        {&DictPropertyType, &dict_table, "DictProperty",
         "DictProperty(defaultvalue={}, **kw)\n--\n\nA dict; each object starts from its own copy of the default.",
         simple_new<&dict_table, &DictPropertyType>, simple_init<empty_dict_default>, property_traverse, property_clear,
         trashcan_dealloc<property_release>, nullptr},
        {&ObjectPropertyType, &object_table, "ObjectProperty",
         "ObjectProperty(defaultvalue=None, baseclass=None, **kw)\n--\n\n"
         "Any object; with baseclass, an instance of it.",
         object_new, object_init, object_traverse, object_clear, trashcan_dealloc<object_release>, object_getset},
        {&OptionPropertyType, &option_table, "OptionProperty",
         "OptionProperty(defaultvalue=None, options=(), **kw)\n--\n\nOne of the values in options.", option_new,
         option_init, option_traverse, option_clear, trashcan_dealloc<option_release>, option_getset},
        {&ReferenceListPropertyType, &reflist_table, "ReferenceListProperty",
         "ReferenceListProperty(*props, **kw)\n--\n\n"
         "A list view of other properties: reading gives their values, assigning\n"
         "a sequence sets each; a change of any of them notifies this property's observers.",
         reflist_new, reflist_init, reflist_traverse, reflist_clear, trashcan_dealloc<reflist_release>, reflist_getset},
        {&AliasPropertyType, &alias_table, "AliasProperty",
         "AliasProperty(getter, setter=None, bind=(), **kw)\n--\n\n"
         "A computed value: getter(obj) reads it, setter(obj, value) assigns it and\n"
         "returns true when it changed; a change of a property named in bind\n"
         "notifies this property's observers.",
         alias_new, alias_init, alias_traverse, alias_clear, trashcan_dealloc<alias_release>, alias_getset},
        {&ColorPropertyType, &color_table, "ColorProperty",
         "ColorProperty(defaultvalue=None, **kw)\n--\n\n"
         "A list of 3 or 4 colour components, also given as a tuple or as a text\n"
         "such as '#ff0000' (parsed by ruvo.core.utils.get_color_from_hex_255).",
         simple_new<&color_table, &ColorPropertyType>, simple_init<none_default>, property_traverse, property_clear, trashcan_dealloc<property_release>,
         nullptr},
    };
    static char names[sizeof kinds / sizeof kinds[0]][64];
    int i = 0;
    for (const Kind& k : kinds) {
        PyOS_snprintf(names[i], sizeof names[i], "ruvo.core.properties.%s", k.name);
        setup_type(*k.type, names[i], k.type == &ObjectPropertyType ? sizeof(ObjectProperty)
                                      : k.type == &OptionPropertyType ? sizeof(OptionProperty)
                                      : k.type == &ReferenceListPropertyType ? sizeof(ReferenceListProperty)
                                      : k.type == &AliasPropertyType ? sizeof(AliasProperty)
                                                                     : sizeof(Property),
                   &PropertyType, k.doc);
        k.type->tp_new = k.tp_new;
        k.type->tp_init = k.tp_init;
        k.type->tp_traverse = k.traverse;
        k.type->tp_clear = k.clear;
        k.type->tp_dealloc = k.dealloc;
        k.type->tp_getset = k.getset;
        if (ready_type(*k.type, k.table, module, k.name) < 0) return -1;
        ++i;
    }
    return 0;
}

}  // namespace ruvo::fw
