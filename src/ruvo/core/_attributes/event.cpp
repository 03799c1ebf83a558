// _GenericEventAttribute: a DOM event attribute such as onclick. Its value
// switches the event on and off; while on, its text is the handler code, a
// fixed text or what a handler function renders. Setting up a widget's
// storage declares the matching client event ("on_click") on the widget.
#include "common.hpp"

namespace ruvo::attributes {

extern AttributeClass generic_event_attribute_class;

namespace {

struct GenericEventAttribute {
    fw::BooleanProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;         // str or None
    PyObject* eventhandler;     // None, a text of handler code, or a callable rendering it
    PyObject* prevent_default;  // bool (None before construction and once cleared)
    PyObject* dispatch;         // bool
    PyObject* eventargs;        // usually a dict
    PyObject* eventjs;          // str: client code called when the event is activated
};

struct GenericEventAttributeTable {
    fw::PropertyTable base;
    AttrvalueOp attrvalue;
};

GenericEventAttributeTable table;

GenericEventAttribute* as_event(PyObject* self) { return reinterpret_cast<GenericEventAttribute*>(self); }
const fw::PropertyTable& boolean_ops() { return *outside_table<fw::PropertyTable>(Outside::BooleanProperty); }

struct {
    PyObject* on;           // "on_"
    PyObject* from_third;   // slice(2, None)
    PyObject* register_event;
    PyObject* client_kw;    // ("client",)
    PyObject* handler_kw;   // ("prevent_default", "event_args", "event_js", "dispatch")
} S;

constexpr const char* kInitStorage = "ruvo.core._attributes._GenericEventAttribute.init_storage";

PyObject* names_tuple(std::initializer_list<const char*> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* name = PyUnicode_InternFromString(n);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, name);
    }
    return tuple.release();
}

int make_texts() {
    if (!intern(&S.on, "on_") || !intern(&S.register_event, "register_event")) return -1;
    if (!S.from_third) {
        Ref two = Ref::steal(PyLong_FromLong(2));
        if (!two || !(S.from_third = PySlice_New(two.get(), Py_None, Py_None))) return -1;
    }
    // Keyword names interned, so that the callee matches them by identity.
    if (!S.client_kw && !(S.client_kw = names_tuple({"client"}))) return -1;
    if (!S.handler_kw && !(S.handler_kw = names_tuple({"prevent_default", "event_args", "event_js", "dispatch"}))) {
        return -1;
    }
    return 0;
}

int create_fields(PyObject* self) {
    if (make_texts() < 0) return -1;
    GenericEventAttribute* e = as_event(self);
    set_field(self, RUVO_FIELD(GenericEventAttribute, dispatch), Py_True);
    set_field(self, RUVO_FIELD(GenericEventAttribute, eventhandler), Py_None);
    set_field(self, RUVO_FIELD(GenericEventAttribute, prevent_default), Py_None);
    Py_XSETREF(e->eventargs, PyDict_New());
    if (!e->eventargs) return -1;
    set_field(self, RUVO_FIELD(GenericEventAttribute, eventjs), T.empty);
    return 0;
}

// __init__(self, defaultvalue=False, eventhandler=None, prevent_default=False,
//          eventargs=None, eventjs="", dispatch=True, **kwargs)
const Params init_params("__init__",
                         {"defaultvalue", "eventhandler", "prevent_default", "eventargs", "eventjs", "dispatch"}, 0);

// Field at `offset` = True or False by the truth of `value`. 0 or -1.
int set_truth(PyObject* self, Py_ssize_t offset, PyObject* value) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    set_field(self, offset, truth ? Py_True : Py_False);
    return 0;
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    const char* qual = generic_event_attribute_class.qual_init;
    PyObject* a[6];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kwargs;
    if (init_params.parse(args, kwds, a, keep, &kwargs) < 0) RUVO_ATTR_FAIL(qual, -1);
    if (!kwargs) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) RUVO_ATTR_FAIL(qual, -1);
    }
    PyObject* defaultvalue = a[0] ? a[0] : Py_False;
    PyObject* eventhandler = a[1] ? a[1] : Py_None;
    PyObject* prevent_default = a[2] ? a[2] : Py_False;
    PyObject* eventargs = a[3] ? a[3] : Py_None;
    PyObject* eventjs = a[4] ? a[4] : T.empty;
    PyObject* dispatch = a[5] ? a[5] : Py_True;
    const CommonOffsets& common = generic_event_attribute_class.common;
    if (read_text_keyword(self, common.attrname, kwargs.get(), T.attrname) < 0 ||
        read_text_keyword(self, common.attrtype, kwargs.get(), T.attrtype) < 0 ||
        read_sync_keyword(self, common.sync, kwargs.get()) < 0 ||
        set_truth(self, RUVO_FIELD(GenericEventAttribute, prevent_default), prevent_default) < 0 ||
        set_truth(self, RUVO_FIELD(GenericEventAttribute, dispatch), dispatch) < 0) {
        RUVO_ATTR_FAIL(qual, -1);
    }
    set_field(self, RUVO_FIELD(GenericEventAttribute, eventhandler), eventhandler);
    int given = PyObject_IsTrue(eventargs);
    if (given < 0) RUVO_ATTR_FAIL(qual, -1);
    Ref args_field = given ? Ref::borrow(eventargs) : Ref::steal(PyDict_New());
    if (!args_field) RUVO_ATTR_FAIL(qual, -1);
    set_field(self, RUVO_FIELD(GenericEventAttribute, eventargs), args_field.get());
    Ref js = Ref::steal(PyObject_Str(eventjs));
    if (!js) RUVO_ATTR_FAIL(qual, -1);
    set_field(self, RUVO_FIELD(GenericEventAttribute, eventjs), js.get());
    if (force_allownone(kwargs.get()) < 0) RUVO_ATTR_FAIL(qual, -1);
    Ref base_args = Ref::steal(PyTuple_Pack(1, defaultvalue));
    if (!base_args || call_base_init(&generic_event_attribute_class.type, self, base_args.get(), kwargs.get()) < 0) {
        RUVO_ATTR_FAIL(qual, -1);
    }
    return 0;
}

// The descriptor's Python attribute `attrname`. An instance of the class
// itself (no Python subclass, no instance dictionary) cannot have replaced it,
// so its resolved name is read from the fields.
PyObject* attrname_of(PyObject* self) {
    if (Py_IS_TYPE(self, &generic_event_attribute_class.type)) {
        PyObject* name = reinterpret_cast<fw::Property*>(self)->name;
        if (name && (name == Py_None || PyUnicode_CheckExact(name))) {
            return resolved_attrname(as_event(self)->attrname, name);
        }
    }
    return PyObject_GetAttr(self, T.attrname);
}

// "on_" and the descriptor's Python attribute `attrname` from its third
// character on: onclick gives on_click. Computed at every use.
PyObject* client_event_name(PyObject* self) {
    Ref attrname = Ref::steal(attrname_of(self));
    if (!attrname) return nullptr;
    Ref tail;
    if (PyUnicode_CheckExact(attrname.get())) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(attrname.get());
        tail = Ref::steal(PyUnicode_Substring(attrname.get(), n < 2 ? n : 2, n));
    } else {
        tail = Ref::steal(PyObject_GetItem(attrname.get(), S.from_third));
        if (tail) tail = Ref::steal(PyObject_Format(tail.get(), T.empty));
    }
    if (!tail) return nullptr;
    PyObject* pieces[2] = {S.on, tail.get()};
    return concat(pieces, 2).release();
}

// The base's set-up, then the client event declared on the widget.
PyObject* init_storage(fw::Property* self, PyObject* obj, fw::PropertyStorage* storage) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    Ref done = Ref::steal(boolean_ops().init_storage(self, obj, storage));
    if (!done) RUVO_ATTR_FAIL(kInitStorage, nullptr);
    Ref name = Ref::steal(client_event_name(me));
    if (!name) RUVO_ATTR_FAIL(kInitStorage, nullptr);
    PyObject* call[3] = {obj, name.get(), Py_True};
    Ref result = Ref::steal(PyObject_VectorcallMethod(S.register_event, call, 2, S.client_kw));
    if (!result) RUVO_ATTR_FAIL(kInitStorage, nullptr);
    Py_RETURN_NONE;
}

// '' while the event is off or has no handler; else the handler text, or
// what the handler function returns for (obj, event name, options).
PyObject* render(PyObject* self, PyObject* obj) {
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    int on = PyObject_IsTrue(value.get());
    if (on < 0) return nullptr;
    GenericEventAttribute* e = as_event(self);
    if (!on || e->eventhandler == Py_None) return Py_NewRef(T.empty);
    // The handler may run code that replaces the fields: hold what it gets.
    Ref handler = Ref::borrow(e->eventhandler);
    if (PyUnicode_Check(handler.get())) return handler.release();
    if (!PyCallable_Check(handler.get())) {
        Ref kind = Ref::steal(PyObject_Format(reinterpret_cast<PyObject*>(Py_TYPE(handler.get())), T.empty));
        if (kind) {
            PyErr_Format(PyExc_AttributeError, "renderer must be of callable type or string, got %U", kind.get());
        }
        return nullptr;
    }
    Ref name = Ref::steal(client_event_name(self));
    if (!name) return nullptr;
    Ref prevent_default = Ref::borrow(e->prevent_default), eventargs = Ref::borrow(e->eventargs),
        eventjs = Ref::borrow(e->eventjs), dispatch = Ref::borrow(e->dispatch);
    PyObject* call[6] = {obj, name.get(), prevent_default.get(), eventargs.get(), eventjs.get(), dispatch.get()};
    return PyObject_Vectorcall(handler.get(), call, 2, S.handler_kw);
}

void fill_table(void* t) { static_cast<GenericEventAttributeTable*>(t)->base.init_storage = init_storage; }

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kDoc =
    "_GenericEventAttribute(defaultvalue=False, eventhandler=None, prevent_default=False, eventargs=None, eventjs='', dispatch=True, *, attrtype='', attrname='', sync=0, **kw)\n--\n\n"
    "An event attribute class like `onclick` for the button input element.\n"
    "\n"
    "    Event attributes are activated and deactivated by setting them to True\n"
    "    or False. While active, the attribute's text is the handler code: the\n"
    "    text `eventhandler`, or what the callable `eventhandler` returns when\n"
    "    called with the widget, the client event name (on_click for onclick)\n"
    "    and the keywords prevent_default, event_args, event_js and dispatch.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: boolean, defaults to False\n"
    "        Whether the event is active.\n"
    "        `eventhandler`: string or callable, defaults to None\n"
    "        The handler code, or a function that renders it.\n"
    "        `prevent_default`: boolean, defaults to False\n"
    "        Whether the client prevents the browser's default action.\n"
    "        `eventargs`: dict, defaults to a new empty dict\n"
    "        Arguments of the event.\n"
    "        `eventjs`: string, defaults to ''\n"
    "        Client code called when the event is activated.\n"
    "        `dispatch`: boolean, defaults to True\n"
    "        Whether the client sends the event to the widget.\n"
    "        `attrtype`, `attrname` and `sync` as for the other attributes.\n"
    "    ";

}  // namespace

AttributeClass generic_event_attribute_class = {
    .name = "_GenericEventAttribute",
    .doc = kDoc,
    .base = Outside::BooleanProperty,
    .in_all = true,
    .basicsize = sizeof(GenericEventAttribute),
    .common = {RUVO_FIELD(GenericEventAttribute, attrtype), RUVO_FIELD(GenericEventAttribute, sync),
               RUVO_FIELD(GenericEventAttribute, attrname)},
    .gc_fields = {RUVO_FIELD(GenericEventAttribute, eventhandler), RUVO_FIELD(GenericEventAttribute, prevent_default),
                  RUVO_FIELD(GenericEventAttribute, dispatch), RUVO_FIELD(GenericEventAttribute, eventargs)},
    .other_fields = {RUVO_FIELD(GenericEventAttribute, eventjs)},
    .create_fields = create_fields,
    .init = init,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(GenericEventAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe handler code while the event is active for the widget `obj`:\n"
                     "the handler text or what the handler function returns; '' otherwise.",
    .members = nullptr,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<generic_event_attribute_class>(),
};

}  // namespace ruvo::attributes
