// Property: the base descriptor. Its value lives in the PropertyStorage that
// each EventDispatcher keeps per property; every operation goes through the
// instance's table so that native subclasses' replacements apply.
#include <cstdarg>

#include "framework.hpp"

namespace ruvo::framework::impl {

// ---------------------------------------------------------------------------
// Messages naming a property as CLS.NAME

Ref class_name(PyObject* obj) {
    return Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), texts.dunder_name));
}

Failure raise_named(PyObject* exc, Property* prop, PyObject* obj, const char* what, ...) {
    Ref cls = class_name(obj);
    if (!cls) return {};
    va_list va;
    va_start(va, what);
    Ref tail = Ref::steal(PyUnicode_FromFormatV(what, va));
    va_end(va);
    if (!tail) return {};
    PyErr_Format(exc, "%S.%S%U", cls.get(), prop->name ? prop->name : Py_None, tail.get());
    return {};
}

// ---------------------------------------------------------------------------
// Storage lookup and assignment

namespace {

// The bodies of storage_of and property_assign, for inlining into the
// descriptor's hot paths in this file (an owned result then never goes
// through memory).
[[gnu::always_inline]] inline Ref find_storage(Property* prop, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, &EventDispatcherType)) {
        PyErr_Format(PyExc_TypeError, "%.200s %R needs an EventDispatcher instance, got %.200s",
                     Py_TYPE(prop)->tp_name, prop->name ? prop->name : Py_None, Py_TYPE(obj)->tp_name);
        return Ref();
    }
    if (!prop->name || !PyUnicode_Check(prop->name)) {
        PyErr_Format(PyExc_TypeError, "%.200s is not placed on a class (its name is None)", Py_TYPE(prop)->tp_name);
        return Ref();
    }
    // Both held: the lookup may run a key's __eq__, which can rename the
    // property or change the widget.
    Ref storage = Ref::borrow(reinterpret_cast<EventDispatcher*>(obj)->storage);
    Ref name = Ref::borrow(prop->name);
    PyObject* entry = storage && PyDict_Check(storage.get()) ? PyDict_GetItemWithError(storage.get(), name.get()) : nullptr;
    if (!entry) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name.get());
        return Ref();
    }
    if (!PyObject_TypeCheck(entry, &PropertyStorageType)) {
        raise_expected(&PropertyStorageType, entry);
        return Ref();
    }
    return Ref::borrow(entry);
}

[[gnu::always_inline]] inline Ref assign(Property* self, PyObject* obj, PyObject* value, bool units) {
    Ref storage_ref = find_storage(self, obj);
    if (!storage_ref) return storage_ref;
    PropertyStorage* storage = as_storage(storage_ref);
    PropertyTable* vt = self->vtab;
    // The unit remembered for the old value; a parsed text sets a new one.
    Ref saved_units;
    if (units) {
        saved_units = Ref::steal(storage->units);
        storage->units = Py_NewRef(Py_None);
    }
    auto refuse = [&]() -> Ref {
        if (units) set_field(storage->units, std::move(saved_units));
        return Ref();
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
    if (equal) return Ref::borrow(Py_False);
    set_field(storage->value, Ref::borrow(converted.get()));
    PyObject* observers = storage->observers;
    if (has_callbacks(observers)) {
        Ref keep = Ref::borrow(observers);
        EventObservers* o = reinterpret_cast<EventObservers*>(observers);
        Ref r = Ref::steal(o->vtab->dispatch(o, obj, converted.get()));
        if (!r) return r;
    }
    return Ref::borrow(Py_True);
}

}  // namespace

Ref storage_of(Property* prop, PyObject* obj) { return find_storage(prop, obj); }

Ref property_assign(Property* self, PyObject* obj, PyObject* value, bool units) {
    return assign(self, obj, value, units);
}

// ---------------------------------------------------------------------------
// The table's operations

PyObject* property_init_storage(Property* self, PyObject* obj, PropertyStorage* storage) {
    Ref start = Ref::borrow(self->defaultvalue);  // convert may run code that re-initialises the property
    Ref value = Ref::steal(self->vtab->convert(self, obj, start.get()));
    if (!value) return nullptr;
    set_field(storage->value, std::move(value));
    Py_RETURN_NONE;
}

PyObject* property_link(Property* self, PyObject*, PyObject* name) {
    if (!check_exact_or_none(name, &PyUnicode_Type)) return nullptr;
    if (self->name == Py_None || !self->name) set_field(self->name, Ref::borrow(name));
    Py_RETURN_NONE;
}

PyObject* property_link_deps(Property*, PyObject*, PyObject*) { Py_RETURN_NONE; }
PyObject* property_link_eagerly(Property*, PyObject*) { Py_RETURN_NONE; }

namespace {

// The observers of `self` on `obj`.
Ref observers_for(Property* self, PyObject* obj) {
    Ref storage = storage_of(self, obj);
    if (!storage) return storage;
    return Ref::borrow(reinterpret_cast<PyObject*>(observers_of(as_storage(storage))));
}

Ref remove(Property* self, PyObject* obj, PyObject* func, PyObject* largs, PyObject* kwargs, bool match_args,
           Py_ssize_t uid) {
    Ref o = observers_for(self, obj);
    if (!o) return o;
    if (observers_remove(reinterpret_cast<EventObservers*>(o.get()), func, largs, kwargs, match_args, uid) < 0) {
        return Ref();
    }
    return Ref::borrow(Py_None);
}

}  // namespace

PyObject* property_fbind(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs) {
    Ref o = observers_for(self, obj);
    if (!o) return nullptr;
    EventObservers* obs = reinterpret_cast<EventObservers*>(o.get());
    return obs->vtab->bind(obs, observer, largs, kwargs);
}

PyObject* property_bind(Property* self, PyObject* obj, PyObject* observer) {
    Ref uid = Ref::steal(property_fbind(self, obj, observer, nullptr, nullptr));
    if (!uid) return nullptr;
    Py_RETURN_NONE;
}

PyObject* property_unbind(Property* self, PyObject* obj, PyObject* observer) {
    return remove(self, obj, observer, nullptr, nullptr, false, 0).release();
}

PyObject* property_funbind(Property* self, PyObject* obj, PyObject* observer, PyObject* largs, PyObject* kwargs) {
    return remove(self, obj, observer, largs, kwargs, true, 0).release();
}

PyObject* property_unbind_uid(Property* self, PyObject* obj, PyObject* uid) {
    Py_ssize_t n = PyLong_AsSsize_t(uid);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n <= 0) Py_RETURN_NONE;
    return remove(self, obj, nullptr, nullptr, nullptr, false, n).release();
}

PyObject* property_compare_value(Property*, PyObject* a, PyObject* b) { return PyObject_RichCompare(a, b, Py_EQ); }

PyObject* property_set(Property* self, PyObject* obj, PyObject* value) {
    return assign(self, obj, value, false).release();
}

PyObject* property_get_value(Property* self, PyObject* obj) {
    Ref s = find_storage(self, obj);
    if (!s) return nullptr;
    return Py_NewRef(as_storage(s)->value);
}

PyObject* property_get_storage(Property* self, PyObject* obj) { return storage_of(self, obj).release(); }

PyObject* property_dispatch(Property* self, PyObject* obj) {
    Ref storage = storage_of(self, obj);
    if (!storage) return nullptr;
    // Nobody to tell: the value (possibly computed) is not needed.
    Ref o = Ref::borrow(as_storage(storage)->observers);
    if (!has_callbacks(o.get())) Py_RETURN_NONE;
    Ref value = Ref::steal(self->vtab->get_value(self, obj));
    if (!value) return nullptr;
    EventObservers* obs = reinterpret_cast<EventObservers*>(o.get());
    return obs->vtab->dispatch(obs, obj, value.get());
}

PyObject* property_check(Property* self, PyObject* obj, PyObject* value) {
    if (value != Py_None) Py_RETURN_NONE;
    if (self->allownone) Py_RETURN_TRUE;
    Ref cls = class_name(obj);
    if (!cls) return nullptr;
    PyErr_Format(PyExc_ValueError, "None is not allowed for %S.%S", cls.get(), self->name ? self->name : Py_None);
    return nullptr;
}

PyObject* property_convert(Property*, PyObject*, PyObject* value) { return Py_NewRef(value); }

constinit PropertyTable property_table = property_operations();

// ---------------------------------------------------------------------------
// Object life cycle

Ref property_new(PyTypeObject* type) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return self;
    Property* p = as_prop(self.get());
    p->vtab = &property_table;
    p->name = Py_NewRef(Py_None);
    p->defaultvalue = Py_NewRef(Py_None);
    p->errorvalue = Py_NewRef(Py_None);
    p->allownone = 0;
    return self;
}

int property_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_prop(self)->defaultvalue);
    Py_VISIT(as_prop(self)->errorvalue);
    return 0;
}

int property_clear(PyObject* self) {
    set_none(as_prop(self)->defaultvalue);
    set_none(as_prop(self)->errorvalue);
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
    set_field(self->defaultvalue, Ref::borrow(defaultvalue ? defaultvalue : fallback));
    self->allownone = allownone;
    return 0;
}

const Method<1> property_init_method{module_def, "Property.__init__", {"defaultvalue"}, 0};

namespace {

PyObject* property_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return finish_new(property_new(type), &PropertyType).release();
}

int property_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (property_init_method.params.parse(args, kwargs, a, keep, &kw) < 0 ||
        property_init_common(as_prop(self), a[0], Py_None, kw.get()) < 0) {
        return property_init_method.site.fail();
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
    Ref r = Ref::steal(p->vtab->set(p, obj, value));
    return r ? 0 : -1;
}

PyObject* property_repr(PyObject* self) {
    return PyUnicode_FromFormat("<%s name=%R>", Py_TYPE(self)->tp_name, as_prop(self)->name);
}

// ---------------------------------------------------------------------------
// Python-visible forms of the operations: each calls the nearest native
// class's table (see overrides.cpp).

template <PyObject* (*PropertyTable::*Op)(Property*, PyObject*)>
Ref call_op(PyObject* self, PyObject* a) {
    Property* p = as_prop(self);
    return Ref::steal((native_table(p)->*Op)(p, a));
}

template <PyObject* (*PropertyTable::*Op)(Property*, PyObject*, PyObject*)>
Ref call_op(PyObject* self, PyObject* a, PyObject* b) {
    Property* p = as_prop(self);
    return Ref::steal((native_table(p)->*Op)(p, a, b));
}

const Method get_method{module_def, "Property.get", {"obj"}};
const Method get_value_method{module_def, "Property.get_value", {"obj"}};
const Method get_storage_method{module_def, "Property.get_storage", {"obj"}};
const Method dispatch_method{module_def, "Property.dispatch", {"obj"}};
const Method link_eagerly_method{module_def, "Property.link_eagerly", {"obj"}};
const Method set_method{module_def, "Property.set", {"obj", "value"}};
const Method check_method{module_def, "Property.check", {"obj", "value"}};
const Method convert_method{module_def, "Property.convert", {"obj", "value"}};
const Method compare_method{module_def, "Property.compare_value", {"a", "b"}};
const Method init_storage_method{module_def, "Property.init_storage", {"obj", "storage"}};
const Method link_method{module_def, "Property.link", {"obj", "name"}};
const Method link_deps_method{module_def, "Property.link_deps", {"obj", "name"}};
const Method set_name_method{module_def, "Property.__set_name__", {"owner", "name"}};
const Method bind_method{module_def, "Property.bind", {"obj", "observer"}};
const Method unbind_method{module_def, "Property.unbind", {"obj", "observer"}};
const Method unbind_uid_method{module_def, "Property.unbind_uid", {"obj", "uid"}};
const Site fbind_site{module_def, "Property.fbind"};
const Site funbind_site{module_def, "Property.funbind"};

Ref init_storage(PyObject* self, PyObject* obj, PyObject* storage) {
    if (!check_arg_type(storage, &PropertyStorageType, "storage", false)) return Ref();
    Property* p = as_prop(self);
    return Ref::steal(native_table(p)->init_storage(p, obj, reinterpret_cast<PropertyStorage*>(storage)));
}

// fbind(obj, observer, *args, **kwargs) and funbind(...): extra arguments are bound with the observer.
template <bool Bind>
Ref fbind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 2) {
        raise_arg_count(Bind ? "fbind" : "funbind", false, 2, 2, nargs);
        return Ref();
    }
    Ref largs, kwargs;
    if (split_args(args, nargs, kwnames, 2, largs, kwargs) < 0) return Ref();
    Property* p = as_prop(self);
    PropertyTable* t = native_table(p);
    return Ref::steal(Bind ? t->fbind(p, args[0], args[1], largs.get(), kwargs.get())
                           : t->funbind(p, args[0], args[1], largs.get(), kwargs.get()));
}

PyMethodDef property_methods[] = {
    method<get_method, call_op<&PropertyTable::get_value>>(
        "get($self, obj)\n--\n\nThe current value of this property on obj."),
    method<get_value_method, call_op<&PropertyTable::get_value>>(
        "get_value($self, obj)\n--\n\nThe current value (same as get)."),
    method<set_method, call_op<&PropertyTable::set>>(
        "set($self, obj, value)\n--\n\nConverts, checks and stores value; notifies the observers when it changed.\n"
        "Returns True when the value changed."),
    method<check_method, call_op<&PropertyTable::check>>(
        "check($self, obj, value)\n--\n\nTrue: accepted outright; None: not decided; raises ValueError when refused."),
    method<convert_method, call_op<&PropertyTable::convert>>(
        "convert($self, obj, value)\n--\n\nThe value to store for value."),
    method<compare_method, call_op<&PropertyTable::compare_value>>(
        "compare_value($self, a, b)\n--\n\nThe result of a == b."),
    method<init_storage_method, init_storage>(
        "init_storage($self, obj, storage)\n--\n\nStores the converted default value in storage."),
    method<get_storage_method, call_op<&PropertyTable::get_storage>>(
        "get_storage($self, obj)\n--\n\nThe PropertyStorage of obj."),
    method<dispatch_method, call_op<&PropertyTable::dispatch>>(
        "dispatch($self, obj)\n--\n\nCalls the observers with (obj, current value)."),
    method<link_method, call_op<&PropertyTable::link>>(
        "link($self, obj, name)\n--\n\nNames the property when it has no name yet."),
    method<link_deps_method, call_op<&PropertyTable::link_deps>>(
        "link_deps($self, obj, name)\n--\n\nLinks dependencies on obj."),
    method<link_eagerly_method, call_op<&PropertyTable::link_eagerly>>(
        "link_eagerly($self, obj)\n--\n\nComputes lazy state now."),
    method<set_name_method, call_op<&PropertyTable::link>>("__set_name__($self, owner, name)\n--\n\nSets name."),
    method<bind_method, call_op<&PropertyTable::bind>>(
        "bind($self, obj, observer)\n--\n\nCalls observer(obj, value) when the value on obj changes."),
    method<fbind_site, fbind<true>>(
        "fbind($self, obj, observer, /, *args, **kwargs)\n--\n\nBinds observer(*args, obj, value, **kwargs); returns the uid."),
    method<unbind_method, call_op<&PropertyTable::unbind>>(
        "unbind($self, obj, observer)\n--\n\nRemoves the first binding of observer."),
    method<funbind_site, fbind<false>>(
        "funbind($self, obj, observer, /, *args, **kwargs)\n--\n\nRemoves the binding made with these arguments."),
    method<unbind_uid_method, call_op<&PropertyTable::unbind_uid>>(
        "unbind_uid($self, obj, uid)\n--\n\nRemoves the binding with uid."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_prop(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete Property.name");
        return -1;
    }
    if (!check_exact_or_none(value, &PyUnicode_Type)) return -1;
    set_field(as_prop(self)->name, Ref::borrow(value));
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

PyTypeObject PropertyType = [] {
    PyTypeObject t = framework_type(
        "ruvo.core.properties.Property", sizeof(Property), nullptr,
        "Property(defaultvalue=None, **kw)\n--\n\n"
        "Base class of observable properties. On a class, the descriptor is the\n"
        "property; on an EventDispatcher instance, it reads and assigns that\n"
        "instance's value. Keyword arguments other than allownone are accepted\n"
        "and ignored.\n\n"
        "A Python subclass may override convert, check, compare_value, set,\n"
        "get_value and init_storage (and parse_text, parse_pair of numeric\n"
        "properties); assignment and set-up then call the override, which\n"
        "reaches the native operation through super().");
    t.tp_new = property_tp_new;
    t.tp_init = property_init;
    t.tp_traverse = property_traverse;
    t.tp_clear = property_clear;
    t.tp_dealloc = trashcan_dealloc<property_release>;
    t.tp_methods = property_methods;
    t.tp_getset = property_getset;
    t.tp_descr_get = descr_get;
    t.tp_descr_set = descr_set;
    t.tp_repr = property_repr;
    return t;
}();

}  // namespace ruvo::framework::impl
