// _VariableListAttribute: box-like CSS values (margin, padding) given as one,
// two or four numbers or unit texts, stored expanded to the base's `length`
// and rendered as the items separated by blanks.
#include "attribute_class.hpp"
#include "keywords.hpp"
#include "plain_text.hpp"

namespace ruvo::attributes {

extern AttributeType variable_list_attribute_type;

namespace {

struct VariableListAttribute {
    framework::VariableListProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
    PyObject* options;   // list (None once cleared): special values stored as given
};

// One item of a box value, converted; new reference or null (a table
// operation: the framework's convention).
using ConvertNumericOp = PyObject* (*)(PyObject* self, PyObject* obj, PyObject* value);

struct VariableListAttributeTable {
    framework::PropertyTable base;
    ConvertNumericOp convert_numeric;
    AttrvalueOp attrvalue;
};

VariableListAttributeTable table;

VariableListAttribute* as_varlist(PyObject* self) { return reinterpret_cast<VariableListAttribute*>(self); }

struct {
    PyObject* invalid_format;
    PyObject* components_1_2;
    PyObject* components_1_2_4;
    PyObject* blank;
    PyObject* percent;
} messages;

CachedGlobal css_units_global("CSS_LENGTH_UNITS");

const ClassSites sites{class_names<"_VariableListAttribute">};
const Site convert_site{module_def, "_VariableListAttribute.convert"};
const Site convert_numeric_site{module_def, "_VariableListAttribute._convert_numeric"};

int create_fields(PyObject* self) {
    set_field(as_varlist(self)->options, Ref::steal(PyList_New(0)));
    return as_varlist(self)->options ? 0 : -1;
}

// __init__(self, *args, **kwargs): the base takes the positional arguments.
int init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref kwargs = Ref::steal(kwds ? PyDict_Copy(kwds) : PyDict_New());
    if (!kwargs) return -1;
    VariableListAttribute* record = as_varlist(self);
    if (read_common_keywords(record, kwargs.get()) < 0) return -1;
    Ref options = list_keyword(kwargs.get(), texts.options);
    if (!options) return -1;
    set_field(record->options, std::move(options));
    if (force_allownone(kwargs.get()) < 0) return -1;
    return call_base_init(&variable_list_attribute_type.type, self, args, kwargs.get());
}

Failure raise_invalid_format(PyObject* self, PyObject* obj, PyObject* value) {
    return raise_with_repr(self, obj, intern(&messages.invalid_format, " has an invalid format (got "), value);
}

// True when `tail` (an exact str) is an item of `units`, as `tail in units`.
// An exact tuple of exact str items is searched without calling out.
int is_unit(PyObject* units, PyObject* tail) {
    if (PyTuple_CheckExact(units)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(units);
        bool plain = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(units, i);
            if (!PyUnicode_CheckExact(item)) {
                plain = false;
                break;
            }
            if (item == tail || (PyUnicode_GET_LENGTH(item) == PyUnicode_GET_LENGTH(tail) &&
                                 PyUnicode_Compare(item, tail) == 0)) {
                return 1;
            }
        }
        if (plain) return 0;
    }
    return PySequence_Contains(units, tail);
}

// An int or float is kept; a text is kept when it ends in one of the units
// (its last two characters) or in "%". A text with no such ending is refused
// rather than stored as None, which would drop the value and render "None".
Ref convert_numeric(PyObject* self, PyObject* obj, PyObject* value) {
    if (is_exact_number(value)) return Ref::borrow(value);
    if (!PyUnicode_Check(value)) return raise_invalid_format(self, obj, value);
    Ref units = css_units_global.get(module_def.dict);
    if (!units) return {};
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    Ref tail = Ref::steal(PyUnicode_Substring(value, length < 2 ? 0 : length - 2, length));
    if (!tail) return {};
    int listed = is_unit(units.get(), tail.get());
    if (listed < 0) return {};
    if (listed) return Ref::borrow(value);
    if (length > 0 && PyUnicode_READ_CHAR(value, length - 1) == '%') return Ref::borrow(value);
    return raise_invalid_format(self, obj, value);
}

// `_convert_numeric` through the table, so that a native subclass's applies.
Ref numeric_item(PyObject* self, PyObject* obj, PyObject* value) {
    auto* tab = reinterpret_cast<VariableListAttributeTable*>(reinterpret_cast<framework::Property*>(self)->vtab);
    return Ref::steal(tab->convert_numeric(self, obj, value));
}

// A new list of `length` items repeating the n items (n is 1 or 2); None
// for a length other than 2 or 4.
Ref expanded(PyObject* const* items, int n, int32_t length) {
    if (length != 2 && length != 4) return Ref::borrow(Py_None);
    Ref list = Ref::steal(PyList_New(length));
    if (!list) return {};
    for (int32_t i = 0; i < length; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(items[i % n]));
    return list;
}

Ref convert_sequence(PyObject* self, PyObject* obj, PyObject* value, int32_t length) {
    const Py_ssize_t n = PyObject_Size(value);
    if (n < 0) return {};
    if (n == 1 || n == 2) {
        Ref converted[2];
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = Ref::steal(PySequence_GetItem(value, i));
            if (!item) return {};
            converted[i] = numeric_item(self, obj, item.get());
            if (!converted[i]) return {};
        }
        PyObject* items[2] = {converted[0].get(), converted[n - 1].get()};
        return expanded(items, static_cast<int>(n), length);
    }
    if (n == 4 && length == 4) {
        Ref list = Ref::steal(PyList_New(4));
        if (!list) return {};
        for (Py_ssize_t i = 0; i < 4; ++i) {
            Ref item = Ref::steal(PySequence_GetItem(value, i));
            if (!item) return {};
            Ref converted = numeric_item(self, obj, item.get());
            if (!converted) return {};
            PyList_SET_ITEM(list.get(), i, converted.release());
        }
        return list;
    }
    PyObject* message = n == 4 || length != 4
                            ? intern(&messages.components_1_2, " must have 1 or 2 components (got ")
                            : intern(&messages.components_1_2_4, " must have 1, 2 or 4 components (got ");
    return raise_with_repr(self, obj, message, value);
}

Ref convert_value(PyObject* self, PyObject* obj, PyObject* value) {
    if (value == Py_None) return Ref::borrow(Py_None);
    Ref options = Ref::borrow(as_varlist(self)->options);
    int listed = PySequence_Contains(options.get(), value);
    if (listed < 0) return {};
    if (listed) return Ref::borrow(value);
    const int32_t length = as_varlist(self)->base.length;
    if (PyList_Check(value) || PyTuple_Check(value)) return convert_sequence(self, obj, value, length);
    if (PyUnicode_Check(value)) {
        Ref parts = Ref::steal(PyUnicode_Split(value, nullptr, -1));
        if (!parts) return {};
        if (PyList_GET_SIZE(parts.get()) > 1) return convert_value(self, obj, parts.get());
    } else if (!is_exact_number(value)) {
        return raise_invalid_format(self, obj, value);
    }
    Ref converted = numeric_item(self, obj, value);
    if (!converted) return {};
    PyObject* item = converted.get();
    return expanded(&item, 1, length);
}

Ref convert(framework::Property* self, PyObject* obj, PyObject* value) {
    return convert_value(reinterpret_cast<PyObject*>(self), obj, value);
}

// The items as text joined by blanks; an option text as it is; '' for None.
Ref render(PyObject* self, PyObject* obj) {
    Ref value = get_value(self, obj);
    if (!value) return {};
    if (value.get() == Py_None) return Ref::borrow(texts.empty);
    if (PyUnicode_Check(value.get())) return value;
    if (!intern(&messages.blank, " ")) return {};
    if (PyList_CheckExact(value.get())) {
        // As the conversion stores it: an exact list of numbers and texts,
        // joined in one pass unless an item is of another kind.
        PyObject* list = value.get();
        PlainText<8> plain;
        Py_ssize_t i = 0;
        while (i < PyList_GET_SIZE(list) && plain.add(PyList_GET_ITEM(list, i))) ++i;
        if (i == PyList_GET_SIZE(list)) return plain.join(" ");
    }
    Ref item_texts = Ref::steal(PyList_New(0));
    Ref items = Ref::steal(item_texts ? PyObject_GetIter(value.get()) : nullptr);
    if (!items) return {};
    while (PyObject* item = PyIter_Next(items.get())) {
        Ref keep = Ref::steal(item);
        Ref text = Ref::steal(PyObject_Str(item));
        if (!text || PyList_Append(item_texts.get(), text.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return Ref::steal(PyUnicode_Join(messages.blank, item_texts.get()));
}

void fill_table(void* t) {
    auto* tab = static_cast<VariableListAttributeTable*>(t);
    tab->base.convert = reported<convert_site, convert>;
    tab->convert_numeric = reported<convert_numeric_site, convert_numeric>;
}

std::array members = members_of<VariableListAttribute>({
    {"options", T_OBJECT, offsetof(VariableListAttribute, options), READONLY, nullptr},
});

constexpr auto kDoc = class_doc(
    "_VariableListAttribute(defaultvalue=None, length=4, *, attrtype='', attrname='', sync=0, options=(), **kw)",
    "A ListAttribute that allows you to work with a variable number of\n"
    "    list items and to expand them to the desired list size.\n"
    "\n"
    "    For example, a CSS margin may be given as one value for all four sides,\n"
    "    as two values [horizontal, vertical], or as four values [left, top,\n"
    "    right, bottom]:\n"
    "\n"
    "        10 -> [10, 10, 10, 10]\n"
    "        [10, 20] or '10px 20px' -> [10, 20, 10, 20]\n"
    "        [1, 2, 3, 4] -> [1, 2, 3, 4]\n"
    "\n"
    "    Each item is a number or a text ending in a CSS length unit or '%'.\n"
    "    With `length` 2 the list has two items and four values are refused.\n",
    "        `defaultvalue`: list, defaults to [0, 0, 0, 0]\n"
    "        Specifies the default value of the attribute.\n",
    "        `options`: list, special values (for example 'inherit') that are stored and rendered as given.\n");

constexpr AttributeClass description = {
    .sites = sites,
    .type = variable_list_attribute_type.type,
    .base = FrameworkType::VariableListProperty,
    .in_all = true,
    .basicsize = sizeof(VariableListAttribute),
    .common = common_offsets<VariableListAttribute>(),
    .gc_fields = {offsetof(VariableListAttribute, options)},
    .other_fields = {},
    .create_fields = create_fields,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(VariableListAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
};

}  // namespace

AttributeType variable_list_attribute_type = declare_type<description>({
    .doc = kDoc.data(),
    .init = reported<sites.init, init>,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: the items separated by\n"
                     "blanks, an option text as it is; '' for None.",
    .members = members.data(),
});

}  // namespace ruvo::attributes
