// _GenericEventAttribute: a DOM event attribute such as onclick. Its value
// switches the event on and off; while on, its text is the handler code, a
// fixed text or what a handler function renders. Setting up a widget's
// storage declares the matching client event ("on_click") on the widget.
#include "attribute_class.hpp"
#include "keywords.hpp"

namespace ruvo::attributes {

extern AttributeType generic_event_attribute_type;

namespace {

struct GenericEventAttribute {
    framework::BooleanProperty base;
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
    framework::PropertyTable base;
    AttrvalueOp attrvalue;
};

GenericEventAttributeTable table;

GenericEventAttribute* as_event(PyObject* self) { return reinterpret_cast<GenericEventAttribute*>(self); }
const framework::PropertyTable& boolean_ops() {
    return *framework_table<framework::PropertyTable>(FrameworkType::BooleanProperty);
}

struct {
    PyObject* on;           // "on_"
    PyObject* from_third;   // slice(2, None)
    PyObject* register_event;
    PyObject* client_kw;    // ("client",)
    PyObject* handler_kw;   // ("prevent_default", "event_args", "event_js", "dispatch")
} event_texts;

const ClassSites sites{class_names<"_GenericEventAttribute">};
const Site init_storage_site{module_def, "_GenericEventAttribute.init_storage"};

Ref names_tuple(std::initializer_list<const char*> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* name = PyUnicode_InternFromString(n);
        if (!name) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, name);
    }
    return tuple;
}

int make_texts() {
    if (!intern(&event_texts.on, "on_") || !intern(&event_texts.register_event, "register_event")) return -1;
    if (!event_texts.from_third) {
        Ref two = Ref::steal(PyLong_FromLong(2));
        if (!two || !(event_texts.from_third = PySlice_New(two.get(), Py_None, Py_None))) return -1;
    }
    // Keyword names interned, so that the callee matches them by identity.
    if (!event_texts.client_kw && !(event_texts.client_kw = names_tuple({"client"}).release())) return -1;
    if (!event_texts.handler_kw &&
        !(event_texts.handler_kw = names_tuple({"prevent_default", "event_args", "event_js", "dispatch"}).release())) {
        return -1;
    }
    return 0;
}

int create_fields(PyObject* self) {
    if (make_texts() < 0) return -1;
    GenericEventAttribute* e = as_event(self);
    set_field(e->dispatch, Ref::borrow(Py_True));
    set_field(e->eventhandler, Ref::borrow(Py_None));
    set_field(e->prevent_default, Ref::borrow(Py_None));
    set_field(e->eventargs, Ref::steal(PyDict_New()));
    if (!e->eventargs) return -1;
    set_field(e->eventjs, Ref::borrow(texts.empty));
    return 0;
}

// __init__(self, defaultvalue=False, eventhandler=None, prevent_default=False,
//          eventargs=None, eventjs="", dispatch=True, **kwargs)
const Params init_params("__init__",
                         {"defaultvalue", "eventhandler", "prevent_default", "eventargs", "eventjs", "dispatch"}, 0);

// Field = True or False by the truth of `value`. 0 or -1.
int set_truth(PyObject*& field, PyObject* value) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    set_field(field, Ref::borrow(truth ? Py_True : Py_False));
    return 0;
}

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    InitArgs in;
    if (in.parse(init_params, args, kwds) < 0) return -1;
    PyObject* defaultvalue = in.get(0, Py_False);
    PyObject* eventhandler = in.get(1, Py_None);
    PyObject* prevent_default = in.get(2, Py_False);
    PyObject* eventargs = in.get(3, Py_None);
    PyObject* eventjs = in.get(4, texts.empty);
    PyObject* dispatch = in.get(5, Py_True);
    PyObject* kwargs = in.kwargs.get();
    GenericEventAttribute* e = as_event(self);
    if (read_text_keyword(e->attrname, kwargs, texts.attrname) < 0 ||
        read_text_keyword(e->attrtype, kwargs, texts.attrtype) < 0 || read_sync_keyword(e->sync, kwargs) < 0 ||
        set_truth(e->prevent_default, prevent_default) < 0 || set_truth(e->dispatch, dispatch) < 0) {
        return -1;
    }
    set_field(e->eventhandler, Ref::borrow(eventhandler));
    int given = PyObject_IsTrue(eventargs);
    if (given < 0) return -1;
    Ref args_field = given ? Ref::borrow(eventargs) : Ref::steal(PyDict_New());
    if (!args_field) return -1;
    set_field(e->eventargs, std::move(args_field));
    Ref js = Ref::steal(PyObject_Str(eventjs));
    if (!js) return -1;
    set_field(e->eventjs, std::move(js));
    if (force_allownone(kwargs) < 0) return -1;
    Ref base_args = Ref::steal(PyTuple_Pack(1, defaultvalue));
    if (!base_args) return -1;
    return call_base_init(&generic_event_attribute_type.type, self, base_args.get(), kwargs);
}

// The descriptor's Python attribute `attrname`. An instance of the class
// itself (no Python subclass, no instance dictionary) cannot have replaced it,
// so its resolved name is read from the fields.
Ref attrname_of(PyObject* self) {
    if (Py_IS_TYPE(self, &generic_event_attribute_type.type)) {
        PyObject* name = reinterpret_cast<framework::Property*>(self)->name;
        if (name && (name == Py_None || PyUnicode_CheckExact(name))) {
            return resolved_attrname(as_event(self)->attrname, name);
        }
    }
    return Ref::steal(PyObject_GetAttr(self, texts.attrname));
}

// "on_" followed by `tail`.
Ref prefixed_on(const Ref& tail) {
    if (!tail) return {};
    PyObject* pieces[2] = {event_texts.on, tail.get()};
    return concat(pieces, 2);
}

// "on_" and the descriptor's Python attribute `attrname` from its third
// character on: onclick gives on_click. The attribute is read at every use;
// the name made from a str is remembered.
Ref client_event_name(PyObject* self) {
    Ref attrname = attrname_of(self);
    if (!attrname) return {};
    if (PyUnicode_CheckExact(attrname.get())) {
        static DerivedTexts<16> event_names;
        return event_names.get(attrname.get(), [](PyObject* text) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
            return prefixed_on(Ref::steal(PyUnicode_Substring(text, n < 2 ? n : 2, n)));
        });
    }
    Ref tail = Ref::steal(PyObject_GetItem(attrname.get(), event_texts.from_third));
    if (tail) tail = Ref::steal(PyObject_Format(tail.get(), texts.empty));
    return prefixed_on(tail);
}

// The base's set-up, then the client event declared on the widget.
Ref init_storage(framework::Property* self, PyObject* obj, framework::PropertyStorage* storage) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    Ref done = Ref::steal(boolean_ops().init_storage(self, obj, storage));
    if (!done) return {};
    Ref name = client_event_name(me);
    if (!name) return {};
    PyObject* call[3] = {obj, name.get(), Py_True};
    Ref result = Ref::steal(PyObject_VectorcallMethod(event_texts.register_event, call, 2, event_texts.client_kw));
    if (!result) return {};
    return Ref::borrow(Py_None);
}

// '' while the event is off or has no handler; else the handler text, or
// what the handler function returns for (obj, event name, options).
Ref render(PyObject* self, PyObject* obj) {
    Ref value = get_value(self, obj);
    if (!value) return {};
    int on = PyObject_IsTrue(value.get());
    if (on < 0) return {};
    GenericEventAttribute* e = as_event(self);
    if (!on || e->eventhandler == Py_None) return Ref::borrow(texts.empty);
    // The handler may run code that replaces the fields: hold what it gets.
    Ref handler = Ref::borrow(e->eventhandler);
    if (PyUnicode_Check(handler.get())) return handler;
    if (!PyCallable_Check(handler.get())) {
        Ref kind = Ref::steal(PyObject_Format(reinterpret_cast<PyObject*>(Py_TYPE(handler.get())), texts.empty));
        if (kind) {
            PyErr_Format(PyExc_AttributeError, "renderer must be of callable type or string, got %U", kind.get());
        }
        return {};
    }
    Ref name = client_event_name(self);
    if (!name) return {};
    Ref prevent_default = Ref::borrow(e->prevent_default), eventargs = Ref::borrow(e->eventargs),
        eventjs = Ref::borrow(e->eventjs), dispatch = Ref::borrow(e->dispatch);
    PyObject* call[6] = {obj, name.get(), prevent_default.get(), eventargs.get(), eventjs.get(), dispatch.get()};
    return Ref::steal(PyObject_Vectorcall(handler.get(), call, 2, event_texts.handler_kw));
}

void fill_table(void* t) {
    static_cast<GenericEventAttributeTable*>(t)->base.init_storage = reported<init_storage_site, init_storage>;
}

std::array members = members_of<GenericEventAttribute>();

// Its parameters are documented apart from the other classes'.
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

constexpr AttributeClass description = {
    .sites = sites,
    .type = generic_event_attribute_type.type,
    .base = FrameworkType::BooleanProperty,
    .in_all = true,
    .basicsize = sizeof(GenericEventAttribute),
    .common = common_offsets<GenericEventAttribute>(),
    .gc_fields = {offsetof(GenericEventAttribute, eventhandler), offsetof(GenericEventAttribute, prevent_default),
                  offsetof(GenericEventAttribute, dispatch), offsetof(GenericEventAttribute, eventargs)},
    .other_fields = {offsetof(GenericEventAttribute, eventjs)},
    .create_fields = create_fields,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(GenericEventAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
};

}  // namespace

AttributeType generic_event_attribute_type = declare_type<description>({
    .doc = kDoc,
    .init = reported<sites.init, init>,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe handler code while the event is active for the widget `obj`:\n"
                     "the handler text or what the handler function returns; '' otherwise.",
    .members = members.data(),
});

}  // namespace ruvo::attributes
