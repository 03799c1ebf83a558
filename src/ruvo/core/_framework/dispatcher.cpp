// ObjectWithUid, Observable and EventDispatcher: objects that own the
// storages of their class's properties and the handlers of their events.
#include <cstddef>

#include "fw.hpp"

namespace ruvo::fw {

PyTypeObject ObjectWithUidType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ObservableType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject EventDispatcherType = {PyVarObject_HEAD_INIT(nullptr, 0)};
ObjectWithUidTable uid_table;
ObservableTable observable_table;
EventDispatcherTable dispatcher_table;

namespace {

// The properties of a dispatcher class, in a tuple of (name, Property) pairs
// that Python code cannot change.
struct PropertiesRecord {
    ClassRecord head;
    PyObject* items;
};

PyTypeObject PropertiesRecordType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PropertiesRecord*>(self)->items);
    return 0;
}

// No clear step: the tuple must stay valid while the class can reach the
// record, and the collector breaks any cycle through it at the properties
// or the class.
void record_release(PyObject* self) { Py_CLEAR(reinterpret_cast<PropertiesRecord*>(self)->items); }

ObjectWithUid* as_uid(PyObject* o) { return reinterpret_cast<ObjectWithUid*>(o); }
Observable* as_observable(PyObject* o) { return reinterpret_cast<Observable*>(o); }
EventDispatcher* as_ed(PyObject* o) { return reinterpret_cast<EventDispatcher*>(o); }
bool is_dispatcher(PyObject* o) { return PyObject_TypeCheck(o, &EventDispatcherType); }

// ---------------------------------------------------------------------------
// ObjectWithUid and Observable

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
// of an Observable (created on demand), as a new reference; null with an
// exception. The dicts are held while searched and the storage while its
// observers are made: either can run Python code that changes them.
Ref observers_named(PyObject* self, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "property or event name must be a str, got %.200s", Py_TYPE(name)->tp_name);
        return Ref();
    }
    if (is_dispatcher(self)) {
        EventDispatcher* d = as_ed(self);
        Ref storages = Ref::borrow(d->storage), events = Ref::borrow(d->events);
        Ref s = Ref::borrow(storages ? PyDict_GetItemWithError(storages.get(), name) : nullptr);
        if (s && PyObject_TypeCheck(s.get(), &PropertyStorageType)) {
            return Ref::borrow(reinterpret_cast<PyObject*>(observers_of(reinterpret_cast<PropertyStorage*>(s.get()))));
        }
        Ref e = Ref::borrow(!PyErr_Occurred() && events ? PyDict_GetItemWithError(events.get(), name) : nullptr);
        if (e && PyObject_TypeCheck(e.get(), &EventObserversType)) return e;
        if (PyErr_Occurred()) return Ref();
        Ref cls = Ref::steal(class_name(self));
        if (cls) PyErr_Format(PyExc_KeyError, "%S has no property or event %R", cls.get(), name);
        return Ref();
    }
    Observable* o = as_observable(self);
    if (!o->bound || !PyDict_Check(o->bound)) {
        PyObject* d = PyDict_New();
        if (!d) return Ref();
        set_field(&o->bound, d);
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
    Ref fresh = Ref::steal(reinterpret_cast<PyObject*>(new_observers()));
    if (!fresh || PyDict_SetItem(bound.get(), name, fresh.get()) < 0) return Ref();
    return fresh;
}

// bind(**{name: callback}) and unbind(**{name: callback}).
template <bool Bind>
PyObject* bind_many(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const char* func = Bind ? "bind" : "unbind";
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs) {
        raise_arg_count(func, true, 0, 0, nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; kwnames && i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        Ref keep = observers_named(self, name);
        if (!keep) return nullptr;
        EventObservers* o = reinterpret_cast<EventObservers*>(keep.get());
        if (Bind) {
            Ref uid = Ref::steal(o->vtab->bind(o, args[i], nullptr, nullptr));
            if (!uid) return nullptr;
        } else if (observers_remove(o, args[i], nullptr, nullptr, false, 0) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* py_bind(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* r = bind_many<true>(self, args, nargsf, kwnames);
    if (!r) FW_FAIL("Observable.bind");
    return r;
}

PyObject* py_unbind(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* r = bind_many<false>(self, args, nargsf, kwnames);
    if (!r) FW_FAIL("Observable.unbind");
    return r;
}

// fbind(name, callback, *args, **kwargs) -> uid and funbind(name, callback, *args, **kwargs).
template <bool Bind>
PyObject* fbind_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 2) {
        raise_arg_count(Bind ? "fbind" : "funbind", false, 2, 2, nargs);
        return nullptr;
    }
    Ref keep = observers_named(self, args[0]);
    if (!keep) return nullptr;
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
    EventObservers* o = reinterpret_cast<EventObservers*>(keep.get());
    if (Bind) return o->vtab->bind(o, args[1], largs.get(), kwargs.get());
    if (observers_remove(o, args[1], largs.get(), kwargs.get(), true, 0) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_fbind(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* r = fbind_impl<true>(self, args, nargsf, kwnames);
    if (!r) FW_FAIL("Observable.fbind");
    return r;
}

PyObject* py_funbind(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* r = fbind_impl<false>(self, args, nargsf, kwnames);
    if (!r) FW_FAIL("Observable.funbind");
    return r;
}

const Params p_unbind_uid("unbind_uid", {"name", "uid"});

PyObject* py_unbind_uid(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (p_unbind_uid.parse(args, nargsf, kwnames, a) < 0) FW_FAIL("Observable.unbind_uid");
    Py_ssize_t uid = PyLong_AsSsize_t(a[1]);
    if (uid == -1 && PyErr_Occurred()) FW_FAIL("Observable.unbind_uid");
    Ref keep = observers_named(self, a[0]);
    if (!keep) FW_FAIL("Observable.unbind_uid");
    if (uid > 0 &&
        observers_remove(reinterpret_cast<EventObservers*>(keep.get()), nullptr, nullptr, nullptr, false, uid) < 0) {
        FW_FAIL("Observable.unbind_uid");
    }
    Py_RETURN_NONE;
}

PyMethodDef observable_methods[] = {
    {"bind", FW_METH(py_bind), FW_FASTKW,
     "bind($self, /, **kwargs)\n--\n\nBinds callbacks to properties (called with (obj, value)) or events."},
    {"unbind", FW_METH(py_unbind), FW_FASTKW, "unbind($self, /, **kwargs)\n--\n\nRemoves bindings made with bind."},
    {"fbind", FW_METH(py_fbind), FW_FASTKW,
     "fbind($self, name, callback, /, *args, **kwargs)\n--\n\nBinds callback(*args, obj, ..., **kwargs); returns its uid."},
    {"funbind", FW_METH(py_funbind), FW_FASTKW,
     "funbind($self, name, callback, /, *args, **kwargs)\n--\n\nRemoves a binding made with fbind."},
    {"unbind_uid", FW_METH(py_unbind_uid), FW_FASTKW,
     "unbind_uid($self, name, uid)\n--\n\nRemoves the binding with that uid."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// EventDispatcher

PyObject* ed_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref props = Ref::steal(class_properties(type));
    if (!props) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    EventDispatcher* d = as_ed(self.get());
    d->base.base.vtab = &dispatcher_table.base.base;
    d->base.base.uid = next_uid();
    d->base.bound = Py_NewRef(Py_None);
    if (!(d->storage = PyDict_New()) || !(d->events = PyDict_New()) || !(d->client_events = PyList_New(0))) {
        return nullptr;
    }
    // All storages first, so that an init_storage can reach another property's storage.
    const Py_ssize_t n = PyTuple_GET_SIZE(props.get());
    Ref storages = Ref::steal(PyTuple_New(n));
    if (!storages) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* storage = reinterpret_cast<PyObject*>(new_storage());
        if (!storage) return nullptr;
        PyTuple_SET_ITEM(storages.get(), i, storage);
        if (PyDict_SetItem(d->storage, PyTuple_GET_ITEM(PyTuple_GET_ITEM(props.get(), i), 0), storage) < 0) {
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Property* p = reinterpret_cast<Property*>(PyTuple_GET_ITEM(PyTuple_GET_ITEM(props.get(), i), 1));
        PropertyStorage* s = reinterpret_cast<PropertyStorage*>(PyTuple_GET_ITEM(storages.get(), i));
        Ref r = Ref::steal(p->vtab->init_storage(p, self.get(), s));
        if (!r) return nullptr;
    }
    return self.release();
}

int ed_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (args && PyTuple_GET_SIZE(args)) {
        raise_arg_count("__init__", true, 0, 0, PyTuple_GET_SIZE(args));
        module_def.traceback("ruvo.core._framework.EventDispatcher.__init__", __LINE__);
        return -1;
    }
    if (!kwargs || !PyDict_GET_SIZE(kwargs)) return 0;
    EventDispatcher* d = as_ed(self);
    // Keys and values alternating, in a tuple that Python code cannot empty
    // while observers and overrides run.
    Ref items = dict_snapshot(kwargs);
    if (!items) return -1;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get()) / 2;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(items.get(), 2 * i);
        Ref storages = Ref::borrow(d->storage);
        int known = storages && PyDict_Check(storages.get()) ? PyDict_Contains(storages.get(), key) : 0;
        if (known < 0) return -1;
        if (!known) {
            Ref cls = Ref::steal(class_name(self));
            if (cls) PyErr_Format(PyExc_TypeError, "%S.__init__() got an unexpected keyword argument %R", cls.get(), key);
            module_def.traceback("ruvo.core._framework.EventDispatcher.__init__", __LINE__);
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyObject_SetAttr(self, PyTuple_GET_ITEM(items.get(), 2 * i), PyTuple_GET_ITEM(items.get(), 2 * i + 1)) < 0) {
            module_def.traceback("ruvo.core._framework.EventDispatcher.__init__", __LINE__);
            return -1;
        }
    }
    return 0;
}

int ed_traverse(PyObject* self, visitproc visit, void* arg) {
    EventDispatcher* d = as_ed(self);
    Py_VISIT(d->base.bound);
    Py_VISIT(d->storage);
    Py_VISIT(d->events);
    Py_VISIT(d->client_events);
    Py_VISIT(d->dict);
    return 0;
}

int ed_clear(PyObject* self) {
    EventDispatcher* d = as_ed(self);
    Py_CLEAR(d->base.bound);
    Py_CLEAR(d->storage);
    Py_CLEAR(d->events);
    Py_CLEAR(d->client_events);
    Py_CLEAR(d->dict);
    return 0;
}

void ed_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_ed(self)->weakreflist) PyObject_ClearWeakRefs(self);
    ed_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* op_storage_of(EventDispatcher* self, PyObject* name) {
    PyObject* s = self->storage && PyDict_Check(self->storage) ? PyDict_GetItemWithError(self->storage, name) : nullptr;
    if (!s && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    return s;
}

PyObject* op_dispatch(EventDispatcher* self, PyObject* name, PyObject* args, PyObject* kwargs) {
    Ref events = Ref::borrow(self->events);
    Ref e = Ref::borrow(events && PyDict_Check(events.get()) ? PyDict_GetItemWithError(events.get(), name) : nullptr);
    if (!e || !PyObject_TypeCheck(e.get(), &EventObserversType)) {
        if (PyErr_Occurred()) return nullptr;
        Ref cls = Ref::steal(class_name(reinterpret_cast<PyObject*>(self)));
        if (cls) PyErr_Format(PyExc_KeyError, "%S has no event %R", cls.get(), name);
        return nullptr;
    }
    EventObservers* o = reinterpret_cast<EventObservers*>(e.get());
    if (!o->callbacks || PyList_GET_SIZE(o->callbacks) == 0) Py_RETURN_NONE;
    Ref handlers = Ref::steal(callbacks_snapshot(o));
    if (!handlers) return nullptr;
    const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    Ref call_args = Ref::steal(PyTuple_New(n + 1));
    if (!call_args) return nullptr;
    PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(reinterpret_cast<PyObject*>(self)));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers.get()); ++i) {
        BoundCallback* cb = reinterpret_cast<BoundCallback*>(PyTuple_GET_ITEM(handlers.get(), i));
        Ref r = Ref::steal(call_bound(cb, &PyTuple_GET_ITEM(call_args.get(), 0), n + 1, kwargs));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

const Params p_property("property", {"name"});
const Params p_property_storage("property_storage", {"name"});
const Params p_register_event("register_event", {"name", "client"}, 1);

PyObject* py_property(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* a[1];
    if (p_property.parse(args, nargsf, kwnames, a) < 0) FW_FAIL("EventDispatcher.property");
    Ref props = Ref::steal(class_properties(Py_TYPE(self)));
    if (!props) FW_FAIL("EventDispatcher.property");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(props.get(), i);
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(pair, 0), a[0], Py_EQ);
        if (eq < 0) FW_FAIL("EventDispatcher.property");
        if (eq) return Py_NewRef(PyTuple_GET_ITEM(pair, 1));
    }
    Ref cls = Ref::steal(class_name(self));
    if (cls) PyErr_Format(PyExc_KeyError, "%S has no property %R", cls.get(), a[0]);
    FW_FAIL("EventDispatcher.property");
}

PyObject* py_property_storage(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* a[1];
    if (p_property_storage.parse(args, nargsf, kwnames, a) < 0) FW_FAIL("EventDispatcher.property_storage");
    EventDispatcher* d = as_ed(self);
    PyObject* s = reinterpret_cast<EventDispatcherTable*>(d->base.base.vtab)->storage_of(d, a[0]);
    if (!s) FW_FAIL("EventDispatcher.property_storage");
    return Py_NewRef(s);
}

PyObject* py_properties(PyObject* self, PyObject*) {
    Ref props = Ref::steal(class_properties(Py_TYPE(self)));
    Ref result = Ref::steal(props ? PyDict_New() : nullptr);
    if (!result) FW_FAIL("EventDispatcher.properties");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(props.get(), i);
        if (PyDict_SetItem(result.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            FW_FAIL("EventDispatcher.properties");
        }
    }
    return result.release();
}

PyObject* py_register_event(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (p_register_event.parse(args, nargsf, kwnames, a) < 0) FW_FAIL("EventDispatcher.register_event");
    if (!PyUnicode_Check(a[0])) {
        PyErr_Format(PyExc_TypeError, "event name must be a str, got %.200s", Py_TYPE(a[0])->tp_name);
        FW_FAIL("EventDispatcher.register_event");
    }
    int client = a[1] ? PyObject_IsTrue(a[1]) : 0;
    if (client < 0) FW_FAIL("EventDispatcher.register_event");
    EventDispatcher* d = as_ed(self);
    if ((!d->events && !(d->events = PyDict_New())) || (!d->client_events && !(d->client_events = PyList_New(0)))) {
        FW_FAIL("EventDispatcher.register_event");
    }
    Ref events = Ref::borrow(d->events), clients = Ref::borrow(d->client_events);
    int known = PyDict_Contains(events.get(), a[0]);
    if (known < 0) FW_FAIL("EventDispatcher.register_event");
    if (!known) {
        Ref o = Ref::steal(reinterpret_cast<PyObject*>(new_observers()));
        if (!o || PyDict_SetItem(events.get(), a[0], o.get()) < 0) FW_FAIL("EventDispatcher.register_event");
    }
    if (client) {
        int listed = PySequence_Contains(clients.get(), a[0]);
        if (listed < 0 || (!listed && PyList_Append(clients.get(), a[0]) < 0)) FW_FAIL("EventDispatcher.register_event");
    }
    Py_RETURN_NONE;
}

PyObject* py_events(PyObject* self, PyObject*) {
    EventDispatcher* d = as_ed(self);
    return d->events ? PyDict_Keys(d->events) : PyList_New(0);
}

PyObject* py_client_events(PyObject* self, PyObject*) {
    EventDispatcher* d = as_ed(self);
    return d->client_events ? PySequence_List(d->client_events) : PyList_New(0);
}

PyObject* py_dispatch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        raise_arg_count("dispatch", false, 1, 1, nargs);
        FW_FAIL("EventDispatcher.dispatch");
    }
    Ref rest = Ref::steal(PyTuple_New(nargs - 1));
    if (!rest) FW_FAIL("EventDispatcher.dispatch");
    for (Py_ssize_t i = 1; i < nargs; ++i) PyTuple_SET_ITEM(rest.get(), i - 1, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) FW_FAIL("EventDispatcher.dispatch");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                FW_FAIL("EventDispatcher.dispatch");
            }
        }
    }
    EventDispatcher* d = as_ed(self);
    Ref keep = Ref::borrow(self);
    PyObject* r = reinterpret_cast<EventDispatcherTable*>(d->base.base.vtab)->dispatch(d, args[0], rest.get(),
                                                                                      kwargs.get());
    if (!r) FW_FAIL("EventDispatcher.dispatch");
    return r;
}

PyMethodDef ed_methods[] = {
    {"property", FW_METH(py_property), FW_FASTKW, "property($self, name)\n--\n\nThe property object named name."},
    {"property_storage", FW_METH(py_property_storage), FW_FASTKW,
     "property_storage($self, name)\n--\n\nThe PropertyStorage of the property named name on this object."},
    {"properties", py_properties, METH_NOARGS, "properties($self, /)\n--\n\nA dict of this class's properties by name."},
    {"register_event", FW_METH(py_register_event), FW_FASTKW,
     "register_event($self, name, client=False)\n--\n\nDeclares an event; client=True marks one the browser client may send."},
    {"events", py_events, METH_NOARGS, "events($self, /)\n--\n\nThe names of the declared events."},
    {"client_events", py_client_events, METH_NOARGS,
     "client_events($self, /)\n--\n\nThe names of the events declared with client=True."},
    {"dispatch", FW_METH(py_dispatch), FW_FASTKW,
     "dispatch($self, name, /, *args, **kwargs)\n--\n\nCalls the handlers of event name with (self, *args, **kwargs)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ed_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, "The instance dictionary.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* class_properties(PyTypeObject* type) {
    ClassRecord* found = find_record(type, T.properties_key, &PropertiesRecordType);
    if (found) return Py_NewRef(reinterpret_cast<PropertiesRecord*>(found)->items);
    Ref by_name = Ref::steal(PyDict_New());
    if (!by_name) return nullptr;
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) {
        // A class cleared by the collector and brought back has none.
        PyErr_Format(PyExc_TypeError, "%.200s has no method resolution order", type->tp_name);
        return nullptr;
    }
    Ref keep_mro = Ref::borrow(mro);
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        PyObject* dict = PyType_Check(base) ? reinterpret_cast<PyTypeObject*>(base)->tp_dict : nullptr;
        if (!dict) continue;
        Ref items = Ref::steal(PyDict_Items(dict));
        if (!items) return nullptr;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.get()); ++j) {
            PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 0);
            PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), j), 1);
            if (!PyObject_TypeCheck(value, &PropertyType)) continue;
            Property* p = reinterpret_cast<Property*>(value);
            // A property assigned to the class after its creation was never
            // told its name: link it now, as class creation would have.
            if (!p->name || !PyUnicode_Check(p->name)) {
                Ref r = Ref::steal(p->vtab->link(p, base, key));
                if (!r) return nullptr;
            }
            if (!p->name || !PyUnicode_Check(p->name)) continue;
            if (PyDict_SetItem(by_name.get(), p->name, value) < 0) return nullptr;
        }
    }
    Ref pairs = Ref::steal(PyDict_Items(by_name.get()));
    if (!pairs) return nullptr;
    Ref record = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(PropertiesRecord, &PropertiesRecordType)));
    if (!record) return nullptr;
    PropertiesRecord* r = reinterpret_cast<PropertiesRecord*>(record.get());
    r->head.owner = nullptr;
    r->head.version = 0;
    r->items = PyList_AsTuple(pairs.get());
    PyObject_GC_Track(record.get());
    if (!r->items || keep_record(type, T.properties_key, &r->head) < 0) return nullptr;
    return Py_NewRef(r->items);
}

int init_dispatcher_types(PyObject* module) {
    PyTypeObject& r = PropertiesRecordType;
    r.tp_name = "ruvo.core._framework.ClassProperties";
    r.tp_basicsize = sizeof(PropertiesRecord);
    r.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    r.tp_doc = "The properties of one dispatcher class (internal).";
    r.tp_traverse = record_traverse;
    r.tp_dealloc = trashcan_dealloc<record_release>;
    if (PyType_Ready(&r) < 0) return -1;

    uid_table.get_uid = op_get_uid;
    observable_table.base = uid_table;
    dispatcher_table.base = observable_table;
    dispatcher_table.storage_of = op_storage_of;
    dispatcher_table.dispatch = op_dispatch;

    PyTypeObject& u = ObjectWithUidType;
    setup_type(u, "ruvo.core._event.ObjectWithUid", sizeof(ObjectWithUid), nullptr,
               "ObjectWithUid()\n--\n\nAn object with a unique number, uid.");
    u.tp_new = uid_new;
    u.tp_traverse = uid_traverse;
    u.tp_clear = uid_clear;
    u.tp_dealloc = uid_dealloc;
    u.tp_getset = uid_getset;
    if (ready_type(u, &uid_table, module, "ObjectWithUid") < 0) return -1;

    PyTypeObject& o = ObservableType;
    setup_type(o, "ruvo.core._event.Observable", sizeof(Observable), &ObjectWithUidType,
               "Observable()\n--\n\nAn object whose names can be bound to callbacks.");
    o.tp_new = observable_new;
    o.tp_traverse = observable_traverse;
    o.tp_clear = observable_clear;
    o.tp_dealloc = observable_dealloc;
    o.tp_methods = observable_methods;
    if (ready_type(o, &observable_table, module, "Observable") < 0) return -1;

    PyTypeObject& e = EventDispatcherType;
    setup_type(e, "ruvo.core._event.EventDispatcher", sizeof(EventDispatcher), &ObservableType,
               "EventDispatcher(**kwargs)\n--\n\n"
               "Base class of widgets: owns one PropertyStorage per property of its\n"
               "class, made and initialised on creation, then assigns the keyword\n"
               "arguments to properties. Declares and dispatches events.");
    e.tp_new = ed_new;
    e.tp_init = ed_init;
    e.tp_traverse = ed_traverse;
    e.tp_clear = ed_clear;
    e.tp_dealloc = ed_dealloc;
    e.tp_methods = ed_methods;
    e.tp_getset = ed_getset;
    e.tp_dictoffset = offsetof(EventDispatcher, dict);
    e.tp_weaklistoffset = offsetof(EventDispatcher, weakreflist);
    return ready_type(e, &dispatcher_table, module, "EventDispatcher");
}

}  // namespace ruvo::fw
