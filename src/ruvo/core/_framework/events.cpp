// BoundCallback and EventObservers: ordered lists of callbacks, called with
// (obj, value) for property observers or (obj, *args) for event handlers.
#include "framework.hpp"

namespace ruvo::framework::impl {

Py_ssize_t next_uid() {
    static Py_ssize_t counter = 0;
    return ++counter;
}

namespace {

BoundCallback* as_cb(PyObject* o) { return reinterpret_cast<BoundCallback*>(o); }
EventObservers* as_obs(PyObject* o) { return reinterpret_cast<EventObservers*>(o); }

// ---------------------------------------------------------------------------
// BoundCallback

Ref make_callback(PyTypeObject* type, PyObject* func, PyObject* largs, PyObject* kwargs, Py_ssize_t uid) {
    if (!PyCallable_Check(func)) {
        PyErr_Format(PyExc_TypeError, "callback must be callable, got %.200s", Py_TYPE(func)->tp_name);
        return Ref();
    }
    Ref args = largs ? (PyTuple_Check(largs) ? Ref::borrow(largs) : Ref::steal(PySequence_Tuple(largs)))
                     : Ref::steal(PyTuple_New(0));
    if (!args) return args;
    Ref kw = kwargs && kwargs != Py_None ? Ref::steal(PyDict_Copy(kwargs)) : Ref::steal(PyDict_New());
    if (!kw) return kw;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return self;
    BoundCallback* cb = as_cb(self.get());
    cb->func = Py_NewRef(func);
    cb->largs = args.release();
    cb->kwargs = kw.release();
    cb->uid = uid;
    return self;
}

// The messages of its argument errors name the class, the traceback entry __new__.
const Params callback_params("BoundCallback", {"callback", "args", "kwargs", "uid"}, 1);
const Site callback_new_site{module_def, "BoundCallback.__new__"};

Ref callback_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    Ref keep;  // holds the keyword arguments while they are used
    if (callback_params.parse(args, kwargs, a, keep) < 0) return Ref();
    if (a[2] && a[2] != Py_None && !PyDict_Check(a[2])) {
        PyErr_Format(PyExc_TypeError, "BoundCallback kwargs must be a dict, got %.200s", Py_TYPE(a[2])->tp_name);
        return Ref();
    }
    Py_ssize_t uid = 0;
    if (a[3] && a[3] != Py_None) {
        uid = PyLong_AsSsize_t(a[3]);
        if (uid == -1 && PyErr_Occurred()) return Ref();
    } else {
        uid = next_uid();
    }
    return make_callback(type, a[0], a[1], a[2], uid);
}

int callback_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_cb(self)->func);
    Py_VISIT(as_cb(self)->largs);
    Py_VISIT(as_cb(self)->kwargs);
    return 0;
}

int callback_clear(PyObject* self) {
    set_none(as_cb(self)->func);
    Py_CLEAR(as_cb(self)->largs);
    Py_CLEAR(as_cb(self)->kwargs);
    return 0;
}

void callback_release(PyObject* self) {
    Py_CLEAR(as_cb(self)->func);
    Py_CLEAR(as_cb(self)->largs);
    Py_CLEAR(as_cb(self)->kwargs);
}

PyObject* cb_func(PyObject* self, void*) { return Py_NewRef(as_cb(self)->func); }
PyObject* cb_args(PyObject* self, void*) {
    PyObject* a = as_cb(self)->largs;
    return a ? Py_NewRef(a) : PyTuple_New(0);
}
PyObject* cb_kwargs(PyObject* self, void*) {
    PyObject* k = as_cb(self)->kwargs;
    return k ? PyDict_Copy(k) : PyDict_New();
}
PyObject* cb_uid(PyObject* self, void*) { return PyLong_FromSsize_t(as_cb(self)->uid); }

PyObject* callback_repr(PyObject* self) {
    return PyUnicode_FromFormat("<BoundCallback uid=%zd callback=%R>", as_cb(self)->uid, as_cb(self)->func);
}

PyObject* callback_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    return call_bound(as_cb(self), &PyTuple_GET_ITEM(args, 0), n, kwargs).release();
}

PyGetSetDef callback_getset[] = {
    {"callback", cb_func, nullptr, "The callable.", nullptr},
    {"args", cb_args, nullptr, "Extra positional arguments, passed before the dispatched ones.", nullptr},
    {"kwargs", cb_kwargs, nullptr, "Extra keyword arguments (a copy).", nullptr},
    {"uid", cb_uid, nullptr, "Unique id of this binding.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// EventObservers

PyObject* observers_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    as_obs(self.get())->vtab = &observers_table;
    as_obs(self.get())->callbacks = PyList_New(0);
    if (!as_obs(self.get())->callbacks) return nullptr;
    return self.release();
}

int observers_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_obs(self)->callbacks);
    return 0;
}

int observers_clear(PyObject* self) {
    // Keep a valid (empty) list: the object may still be used after clearing.
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return -1;
    set_field(as_obs(self)->callbacks, std::move(empty));
    return 0;
}

void observers_release(PyObject* self) { Py_CLEAR(as_obs(self)->callbacks); }

PyObject* op_dispatch(EventObservers* self, PyObject* obj, PyObject* value) {
    if (!self->callbacks || PyList_GET_SIZE(self->callbacks) == 0) Py_RETURN_NONE;
    Ref cbs = callbacks_snapshot(self);
    if (!cbs) return nullptr;
    Ref keep_obj = Ref::borrow(obj), keep_value = Ref::borrow(value);
    PyObject* args[2] = {obj, value};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cbs.get()); ++i) {
        Ref r = call_bound(as_cb(PyTuple_GET_ITEM(cbs.get(), i)), args, 2, nullptr);
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* op_bind(EventObservers* self, PyObject* func, PyObject* largs, PyObject* kwargs) {
    Ref cb = make_callback(&BoundCallbackType, func, largs, kwargs, next_uid());
    if (!cb) return nullptr;
    if (!self->callbacks && !(self->callbacks = PyList_New(0))) return nullptr;
    if (PyList_Append(self->callbacks, cb.get()) < 0) return nullptr;
    return PyLong_FromSsize_t(as_cb(cb.get())->uid);
}

// Removes `cb` from the live list by identity (runs no Python code).
int remove_identical(EventObservers* self, PyObject* cb) {
    PyObject* list = self->callbacks;
    for (Py_ssize_t i = 0; list && i < PyList_GET_SIZE(list); ++i) {
        if (PyList_GET_ITEM(list, i) == cb) return PySequence_DelItem(list, i);
    }
    return 0;
}

}  // namespace

constinit EventObserversTable observers_table = {op_dispatch, op_bind};

Ref callbacks_snapshot(EventObservers* self) {
    if (!self->callbacks || !PyList_Check(self->callbacks)) return Ref::steal(PyTuple_New(0));
    Ref cbs = list_snapshot(self->callbacks);
    for (Py_ssize_t i = 0; cbs && i < PyTuple_GET_SIZE(cbs.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(cbs.get(), i);
        if (!PyObject_TypeCheck(item, &BoundCallbackType)) {
            raise_expected(&BoundCallbackType, item);
            return Ref();
        }
    }
    return cbs;
}

int observers_remove(EventObservers* self, PyObject* func, PyObject* largs, PyObject* kwargs, bool match_args,
                     Py_ssize_t uid) {
    Ref cbs = callbacks_snapshot(self);
    if (!cbs) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cbs.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(cbs.get(), i);
        BoundCallback* cb = as_cb(item);
        int match;
        if (uid > 0) {
            match = cb->uid == uid;
        } else {
            Ref own = Ref::borrow(cb->func);
            match = own ? PyObject_RichCompareBool(own.get(), func, Py_EQ) : 0;
            if (match > 0 && match_args) {
                Ref a = largs ? Ref::borrow(largs) : Ref::steal(PyTuple_New(0));
                if (!a) return -1;
                Ref own_args = Ref::borrow(cb->largs ? cb->largs : Py_None);
                match = PyObject_RichCompareBool(own_args.get(), a.get(), Py_EQ);
                if (match > 0) {
                    Ref k = kwargs ? Ref::borrow(kwargs) : Ref::steal(PyDict_New());
                    if (!k) return -1;
                    Ref own_kwargs = Ref::borrow(cb->kwargs ? cb->kwargs : Py_None);
                    match = PyObject_RichCompareBool(own_kwargs.get(), k.get(), Py_EQ);
                }
            }
        }
        if (match < 0) return -1;
        if (match) return remove_identical(self, item);
    }
    return 0;
}

Ref call_bound(BoundCallback* cb, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs) {
    Ref func = Ref::borrow(cb->func);
    Ref largs = Ref::borrow(cb->largs);
    Ref own_kw = Ref::borrow(cb->kwargs);
    if (!func || func.get() == Py_None) return Ref::borrow(Py_None);  // cleared by the collector
    const Py_ssize_t nl = largs ? PyTuple_GET_SIZE(largs.get()) : 0;
    const bool has_kw = (kwargs && PyDict_GET_SIZE(kwargs)) || (own_kw && PyDict_GET_SIZE(own_kw.get()));
    if (nl == 0 && !has_kw) return Ref::steal(PyObject_Vectorcall(func.get(), args, nargs, nullptr));
    Ref all = Ref::steal(PyTuple_New(nl + nargs));
    if (!all) return all;
    for (Py_ssize_t i = 0; i < nl; ++i) PyTuple_SET_ITEM(all.get(), i, Py_NewRef(PyTuple_GET_ITEM(largs.get(), i)));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(all.get(), nl + i, Py_NewRef(args[i]));
    Ref kw;
    if (has_kw) {
        kw = Ref::steal(own_kw ? PyDict_Copy(own_kw.get()) : PyDict_New());
        if (!kw || (kwargs && PyDict_Update(kw.get(), kwargs) < 0)) return Ref();
    }
    return Ref::steal(PyObject_Call(func.get(), all.get(), kw.get()));
}

Ref new_observers() { return Ref::steal(observers_new(&EventObserversType, nullptr, nullptr)); }

namespace {

// ---------------------------------------------------------------------------
// EventObservers' Python-visible methods

const Site bind_site{module_def, "EventObservers.bind"};
const Site funbind_site{module_def, "EventObservers.funbind"};
const Method unbind_method{module_def, "EventObservers.unbind", {"callback"}};
const Method unbind_uid_method{module_def, "EventObservers.unbind_uid", {"uid"}};
const Method dispatch_method{module_def, "EventObservers.dispatch", {"obj", "value"}};

// bind(callback, *args, **kwargs) and funbind(...): the callback's extra arguments follow it.
template <bool Bind>
Ref bind_with_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) {
        raise_arg_count(Bind ? "bind" : "funbind", false, 1, 1, nargs);
        return Ref();
    }
    Ref largs, kwargs;
    if (split_args(args, nargs, kwnames, 1, largs, kwargs) < 0) return Ref();
    EventObservers* o = as_obs(self);
    if (Bind) return Ref::steal(o->vtab->bind(o, args[0], largs.get(), kwargs.get()));
    if (observers_remove(o, args[0], largs.get(), kwargs.get(), true, 0) < 0) return Ref();
    return Ref::borrow(Py_None);
}

Ref unbind(PyObject* self, PyObject* callback) {
    if (observers_remove(as_obs(self), callback, nullptr, nullptr, false, 0) < 0) return Ref();
    return Ref::borrow(Py_None);
}

Ref unbind_uid(PyObject* self, PyObject* uid_arg) {
    Py_ssize_t uid = PyLong_AsSsize_t(uid_arg);
    if (uid == -1 && PyErr_Occurred()) return Ref();
    if (uid > 0 && observers_remove(as_obs(self), nullptr, nullptr, nullptr, false, uid) < 0) return Ref();
    return Ref::borrow(Py_None);
}

Ref dispatch(PyObject* self, PyObject* obj, PyObject* value) {
    EventObservers* o = as_obs(self);
    return Ref::steal(o->vtab->dispatch(o, obj, value));
}

Py_ssize_t observers_len(PyObject* self) {
    PyObject* l = as_obs(self)->callbacks;
    return l ? PyList_GET_SIZE(l) : 0;
}

PyObject* observers_callbacks(PyObject* self, void*) {
    PyObject* l = as_obs(self)->callbacks;
    return l && PyList_Check(l) ? PyList_AsTuple(l) : PyTuple_New(0);
}

PyObject* observers_repr(PyObject* self) {
    return PyUnicode_FromFormat("<EventObservers of %zd callbacks>", observers_len(self));
}

PyMethodDef observers_methods[] = {
    method<bind_site, bind_with_args<true>>(
        "bind($self, callback, /, *args, **kwargs)\n--\n\nAppends a callback, called as callback(*args, obj, value, "
        "**kwargs);\nreturns its uid."),
    method<funbind_site, bind_with_args<false>>(
        "funbind($self, callback, /, *args, **kwargs)\n--\n\nRemoves the first callback bound with these arguments."),
    method<unbind_method, unbind>("unbind($self, callback)\n--\n\nRemoves the first binding of callback."),
    method<unbind_uid_method, unbind_uid>("unbind_uid($self, uid)\n--\n\nRemoves the binding with that uid."),
    method<dispatch_method, dispatch>("dispatch($self, obj, value)\n--\n\nCalls every callback in order."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef observers_getset[] = {
    {"callbacks", observers_callbacks, nullptr, "The bound callbacks, in order (a tuple).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods observers_as_sequence = {observers_len};

}  // namespace

PyTypeObject BoundCallbackType = [] {
    PyTypeObject t = framework_type(
        "ruvo.core._event.BoundCallback", sizeof(BoundCallback), nullptr,
        "BoundCallback(callback, args=(), kwargs=None, uid=None)\n--\n\n"
        "A callback bound with extra arguments; calling it calls callback(*args, *call_args, **kwargs).");
    t.tp_new = reported<callback_new_site, callback_new>;
    t.tp_traverse = callback_traverse;
    t.tp_clear = callback_clear;
    t.tp_dealloc = trashcan_dealloc<callback_release>;
    t.tp_getset = callback_getset;
    t.tp_repr = callback_repr;
    t.tp_call = callback_call;
    return t;
}();

PyTypeObject EventObserversType = [] {
    PyTypeObject t = framework_type("ruvo.core._event.EventObservers", sizeof(EventObservers), nullptr,
                                    "EventObservers()\n--\n\nAn ordered list of bound callbacks.");
    t.tp_new = observers_new;
    t.tp_traverse = observers_traverse;
    t.tp_clear = observers_clear;
    t.tp_dealloc = trashcan_dealloc<observers_release>;
    t.tp_methods = observers_methods;
    t.tp_getset = observers_getset;
    t.tp_as_sequence = &observers_as_sequence;
    t.tp_repr = observers_repr;
    return t;
}();

}  // namespace ruvo::framework::impl
