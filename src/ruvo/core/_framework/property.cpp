// Property: the base descriptor. Its value lives in the PropertyStorage that
// each EventDispatcher keeps per property; every operation goes through the
// instance's table so that native subclasses' replacements apply.
#include "fw.hpp"

namespace ruvo::fw {

PyTypeObject PropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PropertyTable property_table;

namespace {
Property* as_prop(PyObject* o) { return reinterpret_cast<Property*>(o); }
}  // namespace

// ---------------------------------------------------------------------------
// Storage lookup and assignment

PropertyStorage* storage_of(Property* prop, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, &EventDispatcherType)) {
        PyErr_Format(PyExc_TypeError, "%.200s %R needs an EventDispatcher instance, got %.200s",
                     Py_TYPE(prop)->tp_name, prop->name ? prop->name : Py_None, Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    if (!prop->name || !PyUnicode_Check(prop->name)) {
        PyErr_Format(PyExc_TypeError, "%.200s is not placed on a class (its name is None)", Py_TYPE(prop)->tp_name);
        return nullptr;
    }
    // Both held: the lookup may run a key's __eq__, which can rename the
    // property or change the widget.
    Ref storage = Ref::borrow(reinterpret_cast<EventDispatcher*>(obj)->storage);
    Ref name = Ref::borrow(prop->name);
    PyObject* entry = storage && PyDict_Check(storage.get()) ? PyDict_GetItemWithError(storage.get(), name.get()) : nullptr;
    if (!entry) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name.get());
        return nullptr;
    }
    if (!PyObject_TypeCheck(entry, &PropertyStorageType)) {
        raise_expected(&PropertyStorageType, entry);
        return nullptr;
    }
    Py_INCREF(entry);
    return reinterpret_cast<PropertyStorage*>(entry);
}

PyObject* property_assign(Property* self, PyObject* obj, PyObject* value, bool units) {
    Ref storage_ref = Ref::steal(reinterpret_cast<PyObject*>(storage_of(self, obj)));
    if (!storage_ref) return nullptr;
    PropertyStorage* storage = reinterpret_cast<PropertyStorage*>(storage_ref.get());
    PropertyTable* vt = self->vtab;
    // The unit remembered for the old value; a parsed text sets a new one.
    Ref saved_units;
    if (units) {
        saved_units = Ref::steal(storage->units);
        storage->units = Py_NewRef(Py_None);
    }
    auto refuse = [&]() -> PyObject* {
        if (units) set_field(&storage->units, saved_units.release());
        return nullptr;
    };
    Ref converted = Ref::steal(vt->convert(self, obj, value));
    if (!converted) return refuse();
    Ref checked = Ref::steal(vt->check(self, obj, converted.get()));
    if (!checked) return refuse();
    Ref old = Ref::borrow(storage->value);
    Ref same = Ref::steal(vt->compare_value(self, old.get(), converted.get()));
    if (!same) return refuse();
    int equal = PyObject_IsTrue(same.get());
    if (equal < 0) return refuse();
    if (equal && units) {
        // The same number in another unit is a change; a unit left unset means the declared one.
        PyObject* declared = reinterpret_cast<NumericProperty*>(self)->units;
        PyObject* before = saved_units.get() != Py_None ? saved_units.get() : declared;
        PyObject* after = storage->units != Py_None ? storage->units : declared;
        int same_unit = PyObject_RichCompareBool(before, after, Py_EQ);
        if (same_unit < 0) return refuse();
        equal = same_unit;
    }
    if (equal) Py_RETURN_FALSE;
    set_field(&storage->value, Py_NewRef(converted.get()));
    PyObject* observers = storage->observers;
    if (has_callbacks(observers)) {
        Ref keep = Ref::borrow(observers);
        EventObservers* o = reinterpret_cast<EventObservers*>(observers);
        Ref r = Ref::steal(o->vtab->dispatch(o, obj, converted.get()));
        if (!r) return nullptr;
    }
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------
// The table's operations

PyObject* property_init_storage(Property* self, PyObject* obj, PropertyStorage* storage) {
    Ref start = Ref::borrow(self->defaultvalue);  // convert may run code that re-initialises the property
    PyObject* value = self->vtab->convert(self, obj, start.get());
    if (!value) return nullptr;
    set_field(&storage->value, value);
    Py_RETURN_NONE;
}

namespace {

PyObject* op_link(Property* self, PyObject*, PyObject* name) {
    if (!check_exact_or_none(name, &PyUnicode_Type)) return nullptr;
    if (self->name == Py_None || !self->name) set_field(&self->name, Py_NewRef(name));
    Py_RETURN_NONE;
}

PyObject* op_none(Property*, PyObject*, PyObject*) { Py_RETURN_NONE; }
PyObject* op_link_eagerly(Property*, PyObject*) { Py_RETURN_NONE; }

EventObservers* observers_for(Property* self, PyObject* obj) {
    Ref storage = Ref::steal(reinterpret_cast<PyObject*>(storage_of(self, obj)));
    if (!storage) return nullptr;
    EventObservers* o = observers_of(reinterpret_cast<PropertyStorage*>(storage.get()));
    Py_XINCREF(o);
    return o;
}

PyObject* op_fbind(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs) {
    Ref o = Ref::steal(reinterpret_cast<PyObject*>(observers_for(self, obj)));
    if (!o) return nullptr;
    EventObservers* obs = reinterpret_cast<EventObservers*>(o.get());
    return obs->vtab->bind(obs, observer, largs, kwargs);
}

PyObject* op_bind(Property* self, PyObject* obj, PyObject* observer) {
    Ref uid = Ref::steal(op_fbind(self, obj, observer, nullptr, nullptr));
    if (!uid) return nullptr;
    Py_RETURN_NONE;
}

PyObject* remove(Property* self, PyObject* obj, PyObject* func, PyObject* largs, PyObject* kwargs, bool match_args,
                 Py_ssize_t uid) {
    Ref o = Ref::steal(reinterpret_cast<PyObject*>(observers_for(self, obj)));
    if (!o) return nullptr;
    if (observers_remove(reinterpret_cast<EventObservers*>(o.get()), func, largs, kwargs, match_args, uid) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* op_unbind(Property* self, PyObject* obj, PyObject* observer) {
    return remove(self, obj, observer, nullptr, nullptr, false, 0);
}

PyObject* op_funbind(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs) {
    return remove(self, obj, observer, largs, kwargs, true, 0);
}

PyObject* op_unbind_uid(Property* self, PyObject* obj, PyObject* uid) {
    Py_ssize_t n = PyLong_AsSsize_t(uid);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n <= 0) Py_RETURN_NONE;
    return remove(self, obj, nullptr, nullptr, nullptr, false, n);
}

PyObject* op_compare_value(Property*, PyObject* a, PyObject* b) { return PyObject_RichCompare(a, b, Py_EQ); }

PyObject* op_set(Property* self, PyObject* obj, PyObject* value) { return property_assign(self, obj, value, false); }

PyObject* op_get_value(Property* self, PyObject* obj) {
    PropertyStorage* s = storage_of(self, obj);
    if (!s) return nullptr;
    PyObject* v = Py_NewRef(s->value);
    Py_DECREF(s);
    return v;
}

PyObject* op_get_storage(Property* self, PyObject* obj) { return reinterpret_cast<PyObject*>(storage_of(self, obj)); }

}  // namespace

PyObject* property_dispatch(Property* self, PyObject* obj) {
    Ref storage = Ref::steal(reinterpret_cast<PyObject*>(storage_of(self, obj)));
    if (!storage) return nullptr;
    // Nobody to tell: the value (possibly computed) is not needed.
    Ref o = Ref::borrow(reinterpret_cast<PropertyStorage*>(storage.get())->observers);
    if (!has_callbacks(o.get())) Py_RETURN_NONE;
    Ref value = Ref::steal(self->vtab->get_value(self, obj));
    if (!value) return nullptr;
    EventObservers* obs = reinterpret_cast<EventObservers*>(o.get());
    return obs->vtab->dispatch(obs, obj, value.get());
}

PyObject* property_check(Property* self, PyObject* obj, PyObject* value) {
    if (value != Py_None) Py_RETURN_NONE;
    if (self->allownone) Py_RETURN_TRUE;
    Ref cls = Ref::steal(class_name(obj));
    if (!cls) return nullptr;
    PyErr_Format(PyExc_ValueError, "None is not allowed for %S.%S", cls.get(), self->name ? self->name : Py_None);
    return nullptr;
}

PyObject* property_convert(Property*, PyObject*, PyObject* value) { return Py_NewRef(value); }

// ---------------------------------------------------------------------------
// Object life cycle

PyObject* property_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Property* p = as_prop(self);
    p->vtab = &property_table;
    p->name = Py_NewRef(Py_None);
    p->defaultvalue = Py_NewRef(Py_None);
    p->errorvalue = Py_NewRef(Py_None);
    p->allownone = 0;
    return self;
}

namespace {
PyObject* property_tp_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    return finish_new(property_new(type, args, kw), &PropertyType);
}
}  // namespace

int property_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_prop(self)->defaultvalue);
    Py_VISIT(as_prop(self)->errorvalue);
    return 0;
}

int property_clear(PyObject* self) {
    set_none(&as_prop(self)->defaultvalue);
    set_none(&as_prop(self)->errorvalue);
    return 0;
}

void property_release(PyObject* self) {
    Py_CLEAR(as_prop(self)->name);
    Py_CLEAR(as_prop(self)->defaultvalue);
    Py_CLEAR(as_prop(self)->errorvalue);
    Py_CLEAR(as_prop(self)->table_owner);  // last: it may hold the table that vtab points into
}

int property_init_common(Property* self, PyObject* defaultvalue, PyObject* fallback, PyObject* kw) {
    int allownone = 0;
    if (kw) {
        PyObject* a = PyDict_GetItemString(kw, "allownone");
        if (a && (allownone = PyObject_IsTrue(a)) < 0) return -1;
    }
    set_field(&self->defaultvalue, Py_NewRef(defaultvalue ? defaultvalue : fallback));
    self->allownone = allownone;
    return 0;
}

namespace {

const Params init_params("__init__", {"defaultvalue"}, 0);

int property_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (init_params.parse(args, kwargs, a, keep, &kw) < 0 || property_init_common(as_prop(self), a[0], Py_None, kw.get()) < 0) {
        module_def.traceback("ruvo.core._framework.Property.__init__", __LINE__);
        return -1;
    }
    return 0;
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    Property* p = as_prop(self);
    return p->vtab->get_value(p, obj);
}

int descr_set(PyObject* self, PyObject* obj, PyObject* value) {
    Property* p = as_prop(self);
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "cannot delete property %R", p->name);
        return -1;
    }
    PyObject* r = p->vtab->set(p, obj, value);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

PyObject* property_repr(PyObject* self) {
    return PyUnicode_FromFormat("<%s name=%R>", Py_TYPE(self)->tp_name, as_prop(self)->name);
}

// ---------------------------------------------------------------------------
// Python-visible forms of the operations

const Params p_obj("get", {"obj"});
const Params p_get_value("get_value", {"obj"});
const Params p_get_storage("get_storage", {"obj"});
const Params p_dispatch("dispatch", {"obj"});
const Params p_link_eagerly("link_eagerly", {"obj"});
const Params p_set("set", {"obj", "value"});
const Params p_check("check", {"obj", "value"});
const Params p_convert("convert", {"obj", "value"});
const Params p_compare("compare_value", {"a", "b"});
const Params p_init_storage("init_storage", {"obj", "storage"});
const Params p_link("link", {"obj", "name"});
const Params p_link_deps("link_deps", {"obj", "name"});
const Params p_set_name("__set_name__", {"owner", "name"});
const Params p_bind("bind", {"obj", "observer"});
const Params p_unbind("unbind", {"obj", "observer"});
const Params p_unbind_uid("unbind_uid", {"obj", "uid"});

#define FW_PROP_METHOD1(fn, params, call, dotted)                                             \
    PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) { \
        PyObject* a[2];                                                                       \
        if (params.parse(args, nargsf, kwnames, a) < 0) FW_FAIL(dotted);                      \
        Property* p = as_prop(self);                                                          \
        PyObject* r = call;                                                                   \
        if (!r) FW_FAIL(dotted);                                                              \
        return r;                                                                             \
    }

FW_PROP_METHOD1(py_get, p_obj, native_table(p)->get_value(p, a[0]), "Property.get")
FW_PROP_METHOD1(py_get_value, p_get_value, native_table(p)->get_value(p, a[0]), "Property.get_value")
FW_PROP_METHOD1(py_get_storage, p_get_storage, native_table(p)->get_storage(p, a[0]), "Property.get_storage")
FW_PROP_METHOD1(py_dispatch, p_dispatch, native_table(p)->dispatch(p, a[0]), "Property.dispatch")
FW_PROP_METHOD1(py_link_eagerly, p_link_eagerly, native_table(p)->link_eagerly(p, a[0]), "Property.link_eagerly")
FW_PROP_METHOD1(py_set, p_set, native_table(p)->set(p, a[0], a[1]), "Property.set")
FW_PROP_METHOD1(py_check, p_check, native_table(p)->check(p, a[0], a[1]), "Property.check")
FW_PROP_METHOD1(py_convert, p_convert, native_table(p)->convert(p, a[0], a[1]), "Property.convert")
FW_PROP_METHOD1(py_compare, p_compare, native_table(p)->compare_value(p, a[0], a[1]), "Property.compare_value")
FW_PROP_METHOD1(py_link, p_link, native_table(p)->link(p, a[0], a[1]), "Property.link")
FW_PROP_METHOD1(py_link_deps, p_link_deps, native_table(p)->link_deps(p, a[0], a[1]), "Property.link_deps")
FW_PROP_METHOD1(py_set_name, p_set_name, native_table(p)->link(p, a[0], a[1]), "Property.__set_name__")
FW_PROP_METHOD1(py_bind, p_bind, native_table(p)->bind(p, a[0], a[1]), "Property.bind")
FW_PROP_METHOD1(py_unbind, p_unbind, native_table(p)->unbind(p, a[0], a[1]), "Property.unbind")
FW_PROP_METHOD1(py_unbind_uid, p_unbind_uid, native_table(p)->unbind_uid(p, a[0], a[1]), "Property.unbind_uid")

PyObject* py_init_storage(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (p_init_storage.parse(args, nargsf, kwnames, a) < 0 ||
        !check_arg_type(a[1], &PropertyStorageType, "storage", false)) {
        FW_FAIL("Property.init_storage");
    }
    Property* p = as_prop(self);
    PyObject* r = native_table(p)->init_storage(p, a[0], reinterpret_cast<PropertyStorage*>(a[1]));
    if (!r) FW_FAIL("Property.init_storage");
    return r;
}

// fbind(obj, observer, *args, **kwargs) and funbind(...): extra arguments are bound with the observer.
template <bool Bind>
PyObject* py_fbind_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const char* name = Bind ? "fbind" : "funbind";
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 2) {
        raise_arg_count(name, false, 2, 2, nargs);
        return nullptr;
    }
    Ref largs = Ref::steal(PyTuple_New(nargs - 2));
    if (!largs) return nullptr;
    for (Py_ssize_t i = 2; i < nargs; ++i) PyTuple_SET_ITEM(largs.get(), i - 2, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    Property* p = as_prop(self);
    return Bind ? native_table(p)->fbind(p, args[0], args[1], largs.get(), kwargs.get())
                : native_table(p)->funbind(p, args[0], args[1], largs.get(), kwargs.get());
}

PyObject* py_fbind(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* r = py_fbind_impl<true>(self, args, nargsf, kwnames);
    if (!r) FW_FAIL("Property.fbind");
    return r;
}

PyObject* py_funbind(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* r = py_fbind_impl<false>(self, args, nargsf, kwnames);
    if (!r) FW_FAIL("Property.funbind");
    return r;
}

PyMethodDef property_methods[] = {
    {"get", FW_METH(py_get), FW_FASTKW, "get($self, obj)\n--\n\nThe current value of this property on obj."},
    {"get_value", FW_METH(py_get_value), FW_FASTKW, "get_value($self, obj)\n--\n\nThe current value (same as get)."},
    {"set", FW_METH(py_set), FW_FASTKW,
     "set($self, obj, value)\n--\n\nConverts, checks and stores value; notifies the observers when it changed.\n"
     "Returns True when the value changed."},
    {"check", FW_METH(py_check), FW_FASTKW,
     "check($self, obj, value)\n--\n\nTrue: accepted outright; None: not decided; raises ValueError when refused."},
    {"convert", FW_METH(py_convert), FW_FASTKW, "convert($self, obj, value)\n--\n\nThe value to store for value."},
    {"compare_value", FW_METH(py_compare), FW_FASTKW, "compare_value($self, a, b)\n--\n\nThe result of a == b."},
    {"init_storage", FW_METH(py_init_storage), FW_FASTKW,
     "init_storage($self, obj, storage)\n--\n\nStores the converted default value in storage."},
    {"get_storage", FW_METH(py_get_storage), FW_FASTKW, "get_storage($self, obj)\n--\n\nThe PropertyStorage of obj."},
    {"dispatch", FW_METH(py_dispatch), FW_FASTKW,
     "dispatch($self, obj)\n--\n\nCalls the observers with (obj, current value)."},
    {"link", FW_METH(py_link), FW_FASTKW, "link($self, obj, name)\n--\n\nNames the property when it has no name yet."},
    {"link_deps", FW_METH(py_link_deps), FW_FASTKW, "link_deps($self, obj, name)\n--\n\nLinks dependencies on obj."},
    {"link_eagerly", FW_METH(py_link_eagerly), FW_FASTKW, "link_eagerly($self, obj)\n--\n\nComputes lazy state now."},
    {"__set_name__", FW_METH(py_set_name), FW_FASTKW, "__set_name__($self, owner, name)\n--\n\nSets name."},
    {"bind", FW_METH(py_bind), FW_FASTKW,
     "bind($self, obj, observer)\n--\n\nCalls observer(obj, value) when the value on obj changes."},
    {"fbind", FW_METH(py_fbind), FW_FASTKW,
     "fbind($self, obj, observer, /, *args, **kwargs)\n--\n\nBinds observer(*args, obj, value, **kwargs); returns the uid."},
    {"unbind", FW_METH(py_unbind), FW_FASTKW, "unbind($self, obj, observer)\n--\n\nRemoves the first binding of observer."},
    {"funbind", FW_METH(py_funbind), FW_FASTKW,
     "funbind($self, obj, observer, /, *args, **kwargs)\n--\n\nRemoves the binding made with these arguments."},
    {"unbind_uid", FW_METH(py_unbind_uid), FW_FASTKW, "unbind_uid($self, obj, uid)\n--\n\nRemoves the binding with uid."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_prop(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete Property.name");
        return -1;
    }
    if (!check_exact_or_none(value, &PyUnicode_Type)) return -1;
    set_field(&as_prop(self)->name, Py_NewRef(value));
    return 0;
}
PyObject* get_default(PyObject* self, void*) { return Py_NewRef(as_prop(self)->defaultvalue); }
PyObject* get_allownone(PyObject* self, void*) { return PyBool_FromLong(as_prop(self)->allownone); }

PyGetSetDef property_getset[] = {
    {"name", get_name, set_name, "The attribute name on its class (None until placed on one).", nullptr},
    {"defaultvalue", get_default, nullptr, "The default value as given.", nullptr},
    {"allownone", get_allownone, nullptr, "Whether None is accepted.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int init_property_types(PyObject* module) {
    PropertyTable& t = property_table;
    t.init_storage = property_init_storage;
    t.link = op_link;
    t.link_deps = op_none;
    t.bind = op_bind;
    t.fbind = op_fbind;
    t.unbind = op_unbind;
    t.funbind = op_funbind;
    t.unbind_uid = op_unbind_uid;
    t.link_eagerly = op_link_eagerly;
    t.dispatch = property_dispatch;
    t.compare_value = op_compare_value;
    t.set = op_set;
    t.get_value = op_get_value;
    t.check = property_check;
    t.convert = property_convert;
    t.get_storage = op_get_storage;

    PyTypeObject& p = PropertyType;
    setup_type(p, "ruvo.core.properties.Property", sizeof(Property), nullptr,
               "Property(defaultvalue=None, **kw)\n--\n\n"
               "Base class of observable properties. On a class, the descriptor is the\n"
               "property; on an EventDispatcher instance, it reads and assigns that\n"
               "instance's value. Keyword arguments other than allownone are accepted\n"
               "and ignored.\n\n"
               "A Python subclass may override convert, check, compare_value, set,\n"
               "get_value and init_storage (and parse_text, parse_pair of numeric\n"
               "properties); assignment and set-up then call the override, which\n"
               "reaches the native operation through super().");
    p.tp_new = property_tp_new;
    p.tp_init = property_init;
    p.tp_traverse = property_traverse;
    p.tp_clear = property_clear;
    p.tp_dealloc = trashcan_dealloc<property_release>;
    p.tp_methods = property_methods;
    p.tp_getset = property_getset;
    p.tp_descr_get = descr_get;
    p.tp_descr_set = descr_set;
    p.tp_repr = property_repr;
    return ready_type(p, &property_table, module, "Property");
}

}  // namespace ruvo::fw
