// EventDispatcher: the objects that own the storages of their class's
// properties and the handlers of their events.
#include <cstddef>

#include "framework.hpp"

namespace ruvo::framework::impl {

namespace {

EventDispatcher* as_ed(PyObject* o) { return reinterpret_cast<EventDispatcher*>(o); }

PyObject* ed_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref props = class_properties(type);
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
        Ref storage = new_storage();
        if (!storage) return nullptr;
        if (PyDict_SetItem(d->storage, PyTuple_GET_ITEM(PyTuple_GET_ITEM(props.get(), i), 0), storage.get()) < 0) {
            return nullptr;
        }
        PyTuple_SET_ITEM(storages.get(), i, storage.release());
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Property* p = reinterpret_cast<Property*>(PyTuple_GET_ITEM(PyTuple_GET_ITEM(props.get(), i), 1));
        PropertyStorage* s = reinterpret_cast<PropertyStorage*>(PyTuple_GET_ITEM(storages.get(), i));
        Ref r = Ref::steal(p->vtab->init_storage(p, self.get(), s));
        if (!r) return nullptr;
    }
    return self.release();
}

const Site init_site{module_def, "EventDispatcher.__init__"};

// __init__(**kwargs): assigns the keyword arguments to properties.
int ed_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (args && PyTuple_GET_SIZE(args)) {
        raise_arg_count("__init__", true, 0, 0, PyTuple_GET_SIZE(args));
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
            Ref cls = class_name(self);
            if (cls) PyErr_Format(PyExc_TypeError, "%S.__init__() got an unexpected keyword argument %R", cls.get(), key);
            return -1;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyObject_SetAttr(self, PyTuple_GET_ITEM(items.get(), 2 * i), PyTuple_GET_ITEM(items.get(), 2 * i + 1)) < 0) {
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

// ---------------------------------------------------------------------------
// The table's operations

// The storage of `name` (borrowed, as the published table says).
PyObject* op_borrowed_storage(EventDispatcher* self, PyObject* name) {
    PyObject* s = self->storage && PyDict_Check(self->storage) ? PyDict_GetItemWithError(self->storage, name) : nullptr;
    if (!s && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    return s;
}

PyObject* op_dispatch(EventDispatcher* self, PyObject* name, PyObject* args, PyObject* kwargs) {
    Ref events = Ref::borrow(self->events);
    Ref e = Ref::borrow(events && PyDict_Check(events.get()) ? PyDict_GetItemWithError(events.get(), name) : nullptr);
    if (!e || !PyObject_TypeCheck(e.get(), &EventObserversType)) {
        if (PyErr_Occurred()) return nullptr;
        Ref cls = class_name(reinterpret_cast<PyObject*>(self));
        if (cls) PyErr_Format(PyExc_KeyError, "%S has no event %R", cls.get(), name);
        return nullptr;
    }
    EventObservers* o = reinterpret_cast<EventObservers*>(e.get());
    if (!o->callbacks || PyList_GET_SIZE(o->callbacks) == 0) Py_RETURN_NONE;
    Ref handlers = callbacks_snapshot(o);
    if (!handlers) return nullptr;
    const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    Ref call_args = Ref::steal(PyTuple_New(n + 1));
    if (!call_args) return nullptr;
    PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(reinterpret_cast<PyObject*>(self)));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers.get()); ++i) {
        BoundCallback* cb = reinterpret_cast<BoundCallback*>(PyTuple_GET_ITEM(handlers.get(), i));
        Ref r = call_bound(cb, &PyTuple_GET_ITEM(call_args.get(), 0), n + 1, kwargs);
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

EventDispatcherTable* table_of(EventDispatcher* d) { return reinterpret_cast<EventDispatcherTable*>(d->base.base.vtab); }

// ---------------------------------------------------------------------------
// Python-visible methods

const Method property_method{module_def, "EventDispatcher.property", {"name"}};
const Method property_storage_method{module_def, "EventDispatcher.property_storage", {"name"}};
const Site properties_site{module_def, "EventDispatcher.properties"};
const Method register_event_method{module_def, "EventDispatcher.register_event", {"name", "client"}, 1};
const Site events_site{module_def, "EventDispatcher.events"};
const Site client_events_site{module_def, "EventDispatcher.client_events"};
const Site dispatch_site{module_def, "EventDispatcher.dispatch"};

Ref property(PyObject* self, PyObject* name) {
    Ref props = class_properties(Py_TYPE(self));
    if (!props) return props;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(props.get(), i);
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(pair, 0), name, Py_EQ);
        if (eq < 0) return Ref();
        if (eq) return Ref::borrow(PyTuple_GET_ITEM(pair, 1));
    }
    Ref cls = class_name(self);
    if (cls) PyErr_Format(PyExc_KeyError, "%S has no property %R", cls.get(), name);
    return Ref();
}

Ref property_storage(PyObject* self, PyObject* name) {
    EventDispatcher* d = as_ed(self);
    return Ref::borrow(table_of(d)->borrowed_storage(d, name));
}

Ref properties(PyObject* self) {
    Ref props = class_properties(Py_TYPE(self));
    if (!props) return props;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return result;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(props.get()); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(props.get(), i);
        if (PyDict_SetItem(result.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return Ref();
    }
    return result;
}

Ref register_event(PyObject* self, PyObject* name, PyObject* client_arg) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "event name must be a str, got %.200s", Py_TYPE(name)->tp_name);
        return Ref();
    }
    int client = client_arg ? PyObject_IsTrue(client_arg) : 0;
    if (client < 0) return Ref();
    EventDispatcher* d = as_ed(self);
    if ((!d->events && !(d->events = PyDict_New())) || (!d->client_events && !(d->client_events = PyList_New(0)))) {
        return Ref();
    }
    Ref events = Ref::borrow(d->events), clients = Ref::borrow(d->client_events);
    int known = PyDict_Contains(events.get(), name);
    if (known < 0) return Ref();
    if (!known) {
        Ref o = new_observers();
        if (!o || PyDict_SetItem(events.get(), name, o.get()) < 0) return Ref();
    }
    if (client) {
        int listed = PySequence_Contains(clients.get(), name);
        if (listed < 0 || (!listed && PyList_Append(clients.get(), name) < 0)) return Ref();
    }
    return Ref::borrow(Py_None);
}

Ref events(PyObject* self) {
    EventDispatcher* d = as_ed(self);
    return Ref::steal(d->events ? PyDict_Keys(d->events) : PyList_New(0));
}

Ref client_events(PyObject* self) {
    EventDispatcher* d = as_ed(self);
    return Ref::steal(d->client_events ? PySequence_List(d->client_events) : PyList_New(0));
}

// dispatch(name, *args, **kwargs).
Ref dispatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        raise_arg_count("dispatch", false, 1, 1, nargs);
        return Ref();
    }
    Ref rest, kwargs;
    if (split_args(args, nargs, kwnames, 1, rest, kwargs) < 0) return Ref();
    EventDispatcher* d = as_ed(self);
    Ref keep = Ref::borrow(self);
    return Ref::steal(table_of(d)->dispatch(d, args[0], rest.get(), kwargs.get()));
}

PyMethodDef ed_methods[] = {
    method<property_method, property>("property($self, name)\n--\n\nThe property object named name."),
    method<property_storage_method, property_storage>(
        "property_storage($self, name)\n--\n\nThe PropertyStorage of the property named name on this object."),
    method<properties_site, properties>("properties($self, /)\n--\n\nA dict of this class's properties by name."),
    method<register_event_method, register_event>(
        "register_event($self, name, client=False)\n--\n\nDeclares an event; client=True marks one the browser "
        "client may send."),
    method<events_site, events>("events($self, /)\n--\n\nThe names of the declared events."),
    method<client_events_site, client_events>(
        "client_events($self, /)\n--\n\nThe names of the events declared with client=True."),
    method<dispatch_site, dispatch>(
        "dispatch($self, name, /, *args, **kwargs)\n--\n\nCalls the handlers of event name with (self, *args, "
        "**kwargs)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ed_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, "The instance dictionary.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// Dynamic, after the constant initialisation of the Observable table it starts from.
EventDispatcherTable dispatcher_table = {observable_table, op_borrowed_storage, op_dispatch};

PyTypeObject EventDispatcherType = [] {
    PyTypeObject t = framework_type("ruvo.core._event.EventDispatcher", sizeof(EventDispatcher), &ObservableType,
                                    "EventDispatcher(**kwargs)\n--\n\n"
                                    "Base class of widgets: owns one PropertyStorage per property of its\n"
                                    "class, made and initialised on creation, then assigns the keyword\n"
                                    "arguments to properties. Declares and dispatches events.");
    t.tp_new = ed_new;
    t.tp_init = reported<init_site, ed_init>;
    t.tp_traverse = ed_traverse;
    t.tp_clear = ed_clear;
    t.tp_dealloc = ed_dealloc;
    t.tp_methods = ed_methods;
    t.tp_getset = ed_getset;
    t.tp_dictoffset = offsetof(EventDispatcher, dict);
    t.tp_weaklistoffset = offsetof(EventDispatcher, weakreflist);
    return t;
}();

}  // namespace ruvo::framework::impl
