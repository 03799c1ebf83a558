// The property kinds that hold a value of one type and have no fields of
// their own: BooleanProperty, StringProperty, DictProperty and ColorProperty.
#include "property_kinds.hpp"

namespace ruvo::framework::impl {

namespace {

Ref none_default() { return Ref::borrow(Py_None); }
Ref false_default() { return Ref::borrow(Py_False); }
Ref empty_str_default() { return Ref::borrow(texts.empty); }
Ref empty_dict_default() { return Ref::steal(PyDict_New()); }

// ---------------------------------------------------------------------------
// BooleanProperty

PyObject* boolean_convert(Property*, PyObject*, PyObject* value) {
    if (value == Py_None || PyBool_Check(value)) return Py_NewRef(value);
    int t = PyObject_IsTrue(value);
    return t < 0 ? nullptr : PyBool_FromLong(t);
}

bool is_bool(PyObject* v) { return PyBool_Check(v); }
PyObject* boolean_check(Property* self, PyObject* obj, PyObject* value) {
    return kind_check<is_bool>(self, obj, value, "bool");
}

// ---------------------------------------------------------------------------
// StringProperty

bool is_str(PyObject* v) { return PyUnicode_Check(v); }
PyObject* string_check(Property* self, PyObject* obj, PyObject* value) {
    return kind_check<is_str>(self, obj, value, "str");
}

// ---------------------------------------------------------------------------
// DictProperty

bool is_dict(PyObject* v) { return PyDict_Check(v); }
PyObject* dict_check(Property* self, PyObject* obj, PyObject* value) {
    return kind_check<is_dict>(self, obj, value, "dict");
}

// Each object starts from its own copy of a dict default.
PyObject* dict_init_storage(Property* self, PyObject* obj, PropertyStorage* storage) {
    Ref given = Ref::borrow(self->defaultvalue);
    Ref start = PyDict_Check(given.get()) ? Ref::steal(PyDict_Copy(given.get())) : std::move(given);
    if (!start) return nullptr;
    Ref value = Ref::steal(self->vtab->convert(self, obj, start.get()));
    if (!value) return nullptr;
    set_field(storage->value, std::move(value));
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// ColorProperty: a list of 3 or 4 components, also given as a colour text.

PyObject* color_convert(Property*, PyObject*, PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) return PySequence_List(value);
    if (!PyUnicode_Check(value)) return Py_NewRef(value);
    Ref utils = Ref::steal(PyImport_ImportModule("ruvo.core.utils"));
    if (!utils) return nullptr;
    Ref parse = Ref::steal(PyObject_GetAttr(utils.get(), texts.get_color));
    if (!parse) return nullptr;
    return call_colour_parser(parse.get(), value).release();
}

PyObject* color_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    if (r.get() != Py_None) return r.release();
    if (PyList_Check(value) && (PyList_GET_SIZE(value) == 3 || PyList_GET_SIZE(value) == 4)) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " accepts only a colour of 3 or 4 components (got %R)", value);
}

}  // namespace

constinit PropertyTable boolean_table = [] {
    PropertyTable t = property_operations();
    t.convert = boolean_convert;
    t.check = boolean_check;
    return t;
}();

constinit PropertyTable string_table = [] {
    PropertyTable t = property_operations();
    t.check = string_check;
    return t;
}();

constinit PropertyTable dict_table = [] {
    PropertyTable t = property_operations();
    t.check = dict_check;
    t.init_storage = dict_init_storage;
    return t;
}();

constinit PropertyTable color_table = [] {
    PropertyTable t = property_operations();
    t.convert = color_convert;
    t.check = color_check;
    return t;
}();

// The four types differ in their name, table, default and documentation only.
template <PropertyTable* Table, PyTypeObject* Type, Ref (*Fallback)()>
PyTypeObject scalar_type(const char* name, const char* doc) {
    PyTypeObject t = framework_type(name, sizeof(Property), &PropertyType, doc);
    t.tp_new = simple_new<Table, Type>;
    t.tp_init = simple_init<Fallback>;
    t.tp_traverse = property_traverse;
    t.tp_clear = property_clear;
    t.tp_dealloc = trashcan_dealloc<property_release>;
    return t;
}

PyTypeObject BooleanPropertyType = scalar_type<&boolean_table, &BooleanPropertyType, false_default>(
    "ruvo.core.properties.BooleanProperty",
    "BooleanProperty(defaultvalue=False, **kw)\n--\n\nA bool; any other value but None is converted by truth.");

PyTypeObject StringPropertyType = scalar_type<&string_table, &StringPropertyType, empty_str_default>(
    "ruvo.core.properties.StringProperty", "StringProperty(defaultvalue='', **kw)\n--\n\nA str.");

PyTypeObject DictPropertyType = scalar_type<&dict_table, &DictPropertyType, empty_dict_default>(
    "ruvo.core.properties.DictProperty",
    "DictProperty(defaultvalue={}, **kw)\n--\n\nA dict; each object starts from its own copy of the default.");

PyTypeObject ColorPropertyType = scalar_type<&color_table, &ColorPropertyType, none_default>(
    "ruvo.core.properties.ColorProperty",
    "ColorProperty(defaultvalue=None, **kw)\n--\n\n"
    "A list of 3 or 4 colour components, also given as a tuple or as a text\n"
    "such as '#ff0000' (parsed by ruvo.core.utils.get_color_from_hex_255).");

}  // namespace ruvo::framework::impl
