// ObjectWithUid and Observable: objects with a unique number, and objects
// whose names (properties and events of a dispatcher, plain names of an
// Observable) can be bound to callbacks.
#include "framework.hpp"

namespace ruvo::framework::impl {

namespace {

ObjectWithUid* as_uid(PyObject* o) { return reinterpret_cast<ObjectWithUid*>(o); }
Observable* as_observable(PyObject* o) { return reinterpret_cast<Observable*>(o); }

// ---------------------------------------------------------------------------
// ObjectWithUid

PyObject* op_get_uid(PyObject* self) { return PyLong_FromSsize_t(as_uid(self)->uid); }

PyObject* uid_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_uid(self)->vtab = &uid_table;
    as_uid(self)->uid = next_uid();
    return self;
}

int uid_traverse(PyObject*, visitproc, void*) { return 0; }
int uid_clear(PyObject*) { return 0; }

void uid_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_uid_attr(PyObject* self, void*) {
    ObjectWithUid* o = as_uid(self);
    return o->vtab->get_uid(self);
}

PyGetSetDef uid_getset[] = {
    {"uid", get_uid_attr, nullptr, "A number unique to this object.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

constinit ObjectWithUidTable uid_table = {op_get_uid};
constinit ObservableTable observable_table = {{op_get_uid}};

PyTypeObject ObjectWithUidType = [] {
    PyTypeObject t = framework_type("ruvo.core._event.ObjectWithUid", sizeof(ObjectWithUid), nullptr,
                                    "ObjectWithUid()\n--\n\nAn object with a unique number, uid.");
    t.tp_new = uid_new;
    t.tp_traverse = uid_traverse;
    t.tp_clear = uid_clear;
    t.tp_dealloc = uid_dealloc;
    t.tp_getset = uid_getset;
    return t;
}();

// ---------------------------------------------------------------------------
// Observable

namespace {

PyObject* observable_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    PyObject* self = uid_new(type, args, kw);
    if (!self) return nullptr;
    as_uid(self)->vtab = &observable_table.base;
    as_observable(self)->bound = Py_NewRef(Py_None);
    return self;
}

int observable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_observable(self)->bound);
    return 0;
}

int observable_clear(PyObject* self) {
    Py_CLEAR(as_observable(self)->bound);
    return 0;
}

void observable_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_observable(self)->bound);
    Py_TYPE(self)->tp_free(self);
}

// The observers of a property or event of a dispatcher, or of a plain name
// of an Observable (created on demand); null with an exception. The dicts
// are held while searched and the storage while its observers are made:
// either can run Python code that changes them.
Ref observers_named(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "property or event name must be a str, got %.200s", Py_TYPE(name)->tp_name);
        return Ref();
    }
    if (PyObject_TypeCheck(self, &EventDispatcherType)) {
        EventDispatcher* d = reinterpret_cast<EventDispatcher*>(self);
        Ref storages = Ref::borrow(d->storage), events = Ref::borrow(d->events);
        Ref s = Ref::borrow(storages ? PyDict_GetItemWithError(storages.get(), name) : nullptr);
        if (s && PyObject_TypeCheck(s.get(), &PropertyStorageType)) {
            return Ref::borrow(reinterpret_cast<PyObject*>(observers_of(as_storage(s))));
        }
        Ref e = Ref::borrow(!PyErr_Occurred() && events ? PyDict_GetItemWithError(events.get(), name) : nullptr);
        if (e && PyObject_TypeCheck(e.get(), &EventObserversType)) return e;
        if (PyErr_Occurred()) return Ref();
        Ref cls = class_name(self);
        if (cls) PyErr_Format(PyExc_KeyError, "%S has no property or event %R", cls.get(), name);
        return Ref();
    }
    Observable* o = as_observable(self);
    if (!o->bound || !PyDict_Check(o->bound)) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return d;
        set_field(o->bound, std::move(d));
    }
    Ref bound = Ref::borrow(o->bound);
    Ref e = Ref::borrow(PyDict_GetItemWithError(bound.get(), name));
    if (e) {
        // The dict is reachable from Python code through the collector.
        if (PyObject_TypeCheck(e.get(), &EventObserversType)) return e;
        raise_expected(&EventObserversType, e.get());
        return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    Ref fresh = new_observers();
    if (!fresh || PyDict_SetItem(bound.get(), name, fresh.get()) < 0) return Ref();
    return fresh;
}

const Site bind_site{module_def, "Observable.bind"};
const Site unbind_site{module_def, "Observable.unbind"};
const Site fbind_site{module_def, "Observable.fbind"};
const Site funbind_site{module_def, "Observable.funbind"};
const Method unbind_uid_method{module_def, "Observable.unbind_uid", {"name", "uid"}};

// bind(**{name: callback}) and unbind(**{name: callback}).
template <bool Bind>
Ref bind_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs) {
        raise_arg_count(Bind ? "bind" : "unbind", true, 0, 0, nargs);
        return Ref();
    }
    for (Py_ssize_t i = 0; kwnames && i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        Ref keep = observers_named(self, name);
        if (!keep) return keep;
        EventObservers* o = reinterpret_cast<EventObservers*>(keep.get());
        if (Bind) {
            Ref uid = Ref::steal(o->vtab->bind(o, args[i], nullptr, nullptr));
            if (!uid) return uid;
        } else if (observers_remove(o, args[i], nullptr, nullptr, false, 0) < 0) {
            return Ref();
        }
    }
    return Ref::borrow(Py_None);
}

// fbind(name, callback, *args, **kwargs) -> uid and funbind(name, callback, *args, **kwargs).
template <bool Bind>
Ref fbind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 2) {
        raise_arg_count(Bind ? "fbind" : "funbind", false, 2, 2, nargs);
        return Ref();
    }
    Ref keep = observers_named(self, args[0]);
    if (!keep) return keep;
    Ref largs, kwargs;
    if (split_args(args, nargs, kwnames, 2, largs, kwargs) < 0) return Ref();
    EventObservers* o = reinterpret_cast<EventObservers*>(keep.get());
    if (Bind) return Ref::steal(o->vtab->bind(o, args[1], largs.get(), kwargs.get()));
    if (observers_remove(o, args[1], largs.get(), kwargs.get(), true, 0) < 0) return Ref();
    return Ref::borrow(Py_None);
}

Ref unbind_uid(PyObject* self, PyObject* name, PyObject* uid_arg) {
    Py_ssize_t uid = PyLong_AsSsize_t(uid_arg);
    if (uid == -1 && PyErr_Occurred()) return Ref();
    Ref keep = observers_named(self, name);
    if (!keep) return keep;
    if (uid > 0 &&
        observers_remove(reinterpret_cast<EventObservers*>(keep.get()), nullptr, nullptr, nullptr, false, uid) < 0) {
        return Ref();
    }
    return Ref::borrow(Py_None);
}

PyMethodDef observable_methods[] = {
    method<bind_site, bind_many<true>>(
        "bind($self, /, **kwargs)\n--\n\nBinds callbacks to properties (called with (obj, value)) or events."),
    method<unbind_site, bind_many<false>>("unbind($self, /, **kwargs)\n--\n\nRemoves bindings made with bind."),
    method<fbind_site, fbind<true>>("fbind($self, name, callback, /, *args, **kwargs)\n--\n\n"
                                    "Binds callback(*args, obj, ..., **kwargs); returns its uid."),
    method<funbind_site, fbind<false>>(
        "funbind($self, name, callback, /, *args, **kwargs)\n--\n\nRemoves a binding made with fbind."),
    method<unbind_uid_method, unbind_uid>("unbind_uid($self, name, uid)\n--\n\nRemoves the binding with that uid."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject ObservableType = [] {
    PyTypeObject t = framework_type("ruvo.core._event.Observable", sizeof(Observable), &ObjectWithUidType,
                                    "Observable()\n--\n\nAn object whose names can be bound to callbacks.");
    t.tp_new = observable_new;
    t.tp_traverse = observable_traverse;
    t.tp_clear = observable_clear;
    t.tp_dealloc = observable_dealloc;
    t.tp_methods = observable_methods;
    return t;
}();

}  // namespace ruvo::framework::impl
