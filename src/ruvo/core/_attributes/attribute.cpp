// _Attribute: the general attribute with a string value, optionally limited
// to a list of options, each of which may render as another value.
#include "common.hpp"

namespace ruvo::attributes {

extern AttributeClass attribute_class;

namespace {

struct Attribute {
    fw::Property base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* options;  // list or None
    PyObject* values;   // dict (None once cleared): option -> rendered value
    PyObject* attrname;  // str or None
};

struct AttributeTable {
    fw::PropertyTable base;
    AttrvalueOp attrvalue;
};

AttributeTable table;

Attribute* as_attribute(PyObject* self) { return reinterpret_cast<Attribute*>(self); }
Attribute* as_attribute(fw::Property* self) { return reinterpret_cast<Attribute*>(self); }
const fw::PropertyTable& property_ops() { return *outside_table<fw::PropertyTable>(Outside::Property); }

struct {
    PyObject* accept_only_str;
    PyObject* invalid_option;
    PyObject* must_be_one_of;
} S;

constexpr const char* kCheck = "ruvo.core._attributes._Attribute.check";
constexpr const char* kInitStorage = "ruvo.core._attributes._Attribute.init_storage";
constexpr const char* kCompareValue = "ruvo.core._attributes._Attribute.compare_value";

int create_fields(PyObject* self) {
    Attribute* a = as_attribute(self);
    Py_XSETREF(a->options, PyList_New(0));
    if (!a->options) return -1;
    Py_XSETREF(a->values, PyDict_New());
    return a->values ? 0 : -1;
}

// __init__(self, defaultvalue="", **kwargs)
const Params init_params("__init__", {"defaultvalue"}, 0);

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    const char* qual = attribute_class.qual_init;
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kwargs;
    if (init_params.parse(args, kwds, a, keep, &kwargs) < 0) RUVO_ATTR_FAIL(qual, -1);
    if (!kwargs) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) RUVO_ATTR_FAIL(qual, -1);
    }
    PyObject* defaultvalue = a[0] ? a[0] : T.empty;
    if (read_common_keywords(self, attribute_class.common, kwargs.get()) < 0) RUVO_ATTR_FAIL(qual, -1);
    Ref options = Ref::steal(list_keyword(kwargs.get(), T.options));
    if (!options) RUVO_ATTR_FAIL(qual, -1);
    set_field(self, RUVO_FIELD(Attribute, options), options.get());
    if (PyList_GET_SIZE(options.get()) > 0) {
        Ref values = Ref::steal(list_keyword(kwargs.get(), T.values));
        if (!values) RUVO_ATTR_FAIL(qual, -1);
        if (PyList_GET_SIZE(values.get()) == 0) {
            values = Ref::steal(PyList_GetSlice(options.get(), 0, PY_SSIZE_T_MAX));
            if (!values) RUVO_ATTR_FAIL(qual, -1);
        }
        if (PyList_GET_SIZE(values.get()) != PyList_GET_SIZE(options.get())) {
            PyErr_SetString(PyExc_AttributeError, "length mismatch between options and values lists");
            RUVO_ATTR_FAIL(qual, -1);
        }
        Ref pairs = Ref::steal(PyObject_CallFunctionObjArgs(builtin_zip, options.get(), values.get(), nullptr));
        if (!pairs) RUVO_ATTR_FAIL(qual, -1);
        Ref map = Ref::steal(PyDict_New());
        if (!map || PyDict_MergeFromSeq2(map.get(), pairs.get(), 1) < 0) RUVO_ATTR_FAIL(qual, -1);
        set_field(self, RUVO_FIELD(Attribute, values), map.get());
    }
    if (force_allownone(kwargs.get()) < 0) RUVO_ATTR_FAIL(qual, -1);
    Ref base_args = Ref::steal(PyTuple_Pack(1, defaultvalue));
    if (!base_args || call_base_init(&attribute_class.type, self, base_args.get(), kwargs.get()) < 0) {
        RUVO_ATTR_FAIL(qual, -1);
    }
    return 0;
}

// Each object validates against its own copy of the options.
PyObject* init_storage(fw::Property* self, PyObject* obj, fw::PropertyStorage* storage) {
    Ref done = Ref::steal(property_ops().init_storage(self, obj, storage));
    if (!done) RUVO_ATTR_FAIL(kInitStorage, nullptr);
    PyObject* options = as_attribute(self)->options;
    if (options == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        RUVO_ATTR_FAIL(kInitStorage, nullptr);
    }
    PyObject* copy = PyList_GetSlice(options, 0, PY_SSIZE_T_MAX);
    if (!copy) RUVO_ATTR_FAIL(kInitStorage, nullptr);
    Py_XSETREF(storage->options, copy);
    Py_RETURN_NONE;
}

PyObject* compare_value(fw::Property*, PyObject* a, PyObject* b) {
    PyObject* result = PyObject_RichCompare(a, b, Py_EQ);
    if (!result) RUVO_ATTR_FAIL(kCompareValue, nullptr);
    return result;
}

PyObject* check(fw::Property* self, PyObject* obj, PyObject* value) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    Ref base = Ref::steal(property_ops().check(self, obj, value));
    if (!base) RUVO_ATTR_FAIL(kCheck, nullptr);
    int accepted = PyObject_IsTrue(base.get());
    if (accepted < 0) RUVO_ATTR_FAIL(kCheck, nullptr);
    if (accepted) Py_RETURN_TRUE;
    if (!PyUnicode_Check(value)) {
        raise_value_error(me, obj, {intern(&S.accept_only_str, " accept only str")});
        RUVO_ATTR_FAIL(kCheck, nullptr);
    }
    fw::PropertyStorage* storage = storage_of(me, obj);
    if (!storage) RUVO_ATTR_FAIL(kCheck, nullptr);
    // The comparisons below may run code that replaces the storage's list.
    Ref options = Ref::borrow(storage->options);
    if (!options || options.get() == Py_None) Py_RETURN_NONE;
    int listed = PyObject_IsTrue(options.get());
    if (listed == 0) Py_RETURN_NONE;
    if (listed > 0) listed = PySequence_Contains(options.get(), value);
    if (listed < 0) RUVO_ATTR_FAIL(kCheck, nullptr);
    if (listed) Py_RETURN_NONE;
    Ref shown = Ref::steal(PyObject_Repr(value));
    Ref listing = Ref::steal(shown ? PyObject_Format(options.get(), T.empty) : nullptr);
    raise_value_error(me, obj,
                      {intern(&S.invalid_option, " is set to an invalid option "), shown.get(),
                       intern(&S.must_be_one_of, ". Must be one of: "), listing.get()});
    RUVO_ATTR_FAIL(kCheck, nullptr);
}

// The current value, through the options-to-values map when there is one.
PyObject* render(PyObject* self, PyObject* obj) {
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    if (value.get() == Py_None) return Py_NewRef(T.empty);
    Ref values = Ref::borrow(as_attribute(self)->values);
    if (values && PyDict_Check(values.get()) && PyDict_GET_SIZE(values.get()) > 0) {
        return PyObject_GetItem(values.get(), value.get());
    }
    return value.release();
}

void fill_table(void* t) {
    auto* tab = static_cast<AttributeTable*>(t);
    tab->base.init_storage = init_storage;
    tab->base.compare_value = compare_value;
    tab->base.check = check;
}

PyMemberDef members[] = {
    {"options", T_OBJECT, RUVO_FIELD(Attribute, options), READONLY, nullptr},
    {"values", T_OBJECT, RUVO_FIELD(Attribute, values), READONLY, nullptr},
    {nullptr},
};

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kDoc =
    "_Attribute(defaultvalue='', *, attrtype='', attrname='', sync=0, options=(), values=(), **kw)\n--\n\n"
    "General Html attribute class with a string value.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: string, defaults to ''\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "        `options`: list, further values that the attribute accepts.\n"
    "        `values`: list, for each option the value sent to the front end instead of the option itself.\n"
    "        When `values` is not given it equals `options`.\n"
    "    ";

}  // namespace

AttributeClass attribute_class = {
    .name = "_Attribute",
    .doc = kDoc,
    .base = Outside::Property,
    .in_all = true,
    .basicsize = sizeof(Attribute),
    .common = {RUVO_FIELD(Attribute, attrtype), RUVO_FIELD(Attribute, sync), RUVO_FIELD(Attribute, attrname)},
    .gc_fields = {RUVO_FIELD(Attribute, options), RUVO_FIELD(Attribute, values)},
    .other_fields = {},
    .create_fields = create_fields,
    .init = init,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(AttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: its value, or the value\n"
                     "that `values` maps it to; '' for None.",
    .members = members,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<attribute_class>(),
};

}  // namespace ruvo::attributes
