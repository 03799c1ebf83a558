// _Attribute: the general attribute with a string value, optionally limited
// to a list of options, each of which may render as another value.
#include "attribute_class.hpp"
#include "keywords.hpp"

namespace ruvo::attributes {

extern AttributeType attribute_type;

namespace {

struct Attribute {
    framework::Property base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* options;   // list or None
    PyObject* values;    // dict (None once cleared): option -> rendered value
    PyObject* attrname;  // str or None
};

struct AttributeTable {
    framework::PropertyTable base;
    AttrvalueOp attrvalue;
};

AttributeTable table;

Attribute* as_attribute(PyObject* self) { return reinterpret_cast<Attribute*>(self); }
Attribute* as_attribute(framework::Property* self) { return reinterpret_cast<Attribute*>(self); }
const framework::PropertyTable& property_ops() {
    return *framework_table<framework::PropertyTable>(FrameworkType::Property);
}

struct {
    PyObject* accept_only_str;
    PyObject* invalid_option;
    PyObject* must_be_one_of;
} messages;

const ClassSites sites{class_names<"_Attribute">};
const Site check_site{module_def, "_Attribute.check"};
const Site init_storage_site{module_def, "_Attribute.init_storage"};
const Site compare_value_site{module_def, "_Attribute.compare_value"};

int create_fields(PyObject* self) {
    Attribute* a = as_attribute(self);
    set_field(a->options, Ref::steal(PyList_New(0)));
    if (!a->options) return -1;
    set_field(a->values, Ref::steal(PyDict_New()));
    return a->values ? 0 : -1;
}

// __init__(self, defaultvalue="", **kwargs)
const Params init_params("__init__", {"defaultvalue"}, 0);

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    InitArgs in;
    if (in.parse(init_params, args, kwds) < 0) return -1;
    PyObject* defaultvalue = in.get(0, texts.empty);
    PyObject* kwargs = in.kwargs.get();
    Attribute* a = as_attribute(self);
    if (read_common_keywords(a, kwargs) < 0) return -1;
    Ref options = list_keyword(kwargs, texts.options);
    if (!options) return -1;
    set_field(a->options, Ref::borrow(options.get()));
    if (PyList_GET_SIZE(options.get()) > 0) {
        Ref values = list_keyword(kwargs, texts.values);
        if (!values) return -1;
        if (PyList_GET_SIZE(values.get()) == 0) {
            values = Ref::steal(PyList_GetSlice(options.get(), 0, PY_SSIZE_T_MAX));
            if (!values) return -1;
        }
        if (PyList_GET_SIZE(values.get()) != PyList_GET_SIZE(options.get())) {
            PyErr_SetString(PyExc_AttributeError, "length mismatch between options and values lists");
            return -1;
        }
        Ref pairs = Ref::steal(PyObject_CallFunctionObjArgs(builtin_zip, options.get(), values.get(), nullptr));
        if (!pairs) return -1;
        Ref map = Ref::steal(PyDict_New());
        if (!map || PyDict_MergeFromSeq2(map.get(), pairs.get(), 1) < 0) return -1;
        set_field(a->values, std::move(map));
    }
    if (force_allownone(kwargs) < 0) return -1;
    Ref base_args = Ref::steal(PyTuple_Pack(1, defaultvalue));
    if (!base_args) return -1;
    return call_base_init(&attribute_type.type, self, base_args.get(), kwargs);
}

// Each object validates against its own copy of the options.
Ref init_storage(framework::Property* self, PyObject* obj, framework::PropertyStorage* storage) {
    Ref done = Ref::steal(property_ops().init_storage(self, obj, storage));
    if (!done) return {};
    PyObject* options = as_attribute(self)->options;
    if (options == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return {};
    }
    Ref copy = Ref::steal(PyList_GetSlice(options, 0, PY_SSIZE_T_MAX));
    if (!copy) return {};
    set_field(storage->options, std::move(copy));
    return Ref::borrow(Py_None);
}

Ref compare_value(framework::Property*, PyObject* a, PyObject* b) {
    return Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
}

Ref check(framework::Property* self, PyObject* obj, PyObject* value) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    Ref base = Ref::steal(property_ops().check(self, obj, value));
    if (!base) return {};
    int accepted = PyObject_IsTrue(base.get());
    if (accepted < 0) return {};
    if (accepted) return Ref::borrow(Py_True);
    if (!PyUnicode_Check(value)) {
        return raise_value_error(me, obj, {intern(&messages.accept_only_str, " accept only str")});
    }
    Ref storage = storage_of(me, obj);
    if (!storage) return {};
    // The comparisons below may run code that replaces the storage's list.
    Ref options = Ref::borrow(as_storage(storage)->options);
    if (!options || options.get() == Py_None) return Ref::borrow(Py_None);
    int listed = PyObject_IsTrue(options.get());
    if (listed == 0) return Ref::borrow(Py_None);
    if (listed > 0) listed = PySequence_Contains(options.get(), value);
    if (listed < 0) return {};
    if (listed) return Ref::borrow(Py_None);
    Ref shown = Ref::steal(PyObject_Repr(value));
    Ref listing = Ref::steal(shown ? PyObject_Format(options.get(), texts.empty) : nullptr);
    return raise_value_error(me, obj,
                             {intern(&messages.invalid_option, " is set to an invalid option "), shown.get(),
                              intern(&messages.must_be_one_of, ". Must be one of: "), listing.get()});
}

// The current value, through the options-to-values map when there is one.
Ref render(PyObject* self, PyObject* obj) {
    Ref value = get_value(self, obj);
    if (!value) return {};
    if (value.get() == Py_None) return Ref::borrow(texts.empty);
    Ref values = Ref::borrow(as_attribute(self)->values);
    if (values && PyDict_Check(values.get()) && PyDict_GET_SIZE(values.get()) > 0) {
        return Ref::steal(PyObject_GetItem(values.get(), value.get()));
    }
    return value;
}

void fill_table(void* t) {
    auto* tab = static_cast<AttributeTable*>(t);
    tab->base.init_storage = reported<init_storage_site, init_storage>;
    tab->base.compare_value = reported<compare_value_site, compare_value>;
    tab->base.check = reported<check_site, check>;
}

std::array members = members_of<Attribute>({
    {"options", T_OBJECT, offsetof(Attribute, options), READONLY, nullptr},
    {"values", T_OBJECT, offsetof(Attribute, values), READONLY, nullptr},
});

constexpr auto kDoc = class_doc(
    "_Attribute(defaultvalue='', *, attrtype='', attrname='', sync=0, options=(), values=(), **kw)",
    "General Html attribute class with a string value.\n",
    "        `defaultvalue`: string, defaults to ''\n"
    "        Specifies the default value of the attribute.\n",
    "        `options`: list, further values that the attribute accepts.\n"
    "        `values`: list, for each option the value sent to the front end instead of the option itself.\n"
    "        When `values` is not given it equals `options`.\n");

constexpr AttributeClass description = {
    .sites = sites,
    .type = attribute_type.type,
    .base = FrameworkType::Property,
    .in_all = true,
    .basicsize = sizeof(Attribute),
    .common = common_offsets<Attribute>(),
    .gc_fields = {offsetof(Attribute, options), offsetof(Attribute, values)},
    .other_fields = {},
    .create_fields = create_fields,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(AttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
};

}  // namespace

AttributeType attribute_type = declare_type<description>({
    .doc = kDoc.data(),
    .init = reported<sites.init, init>,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: its value, or the value\n"
                     "that `values` maps it to; '' for None.",
    .members = members.data(),
});

}  // namespace ruvo::attributes
