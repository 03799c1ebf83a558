// _VariableListAttribute: box-like CSS values (margin, padding) given as one,
// two or four numbers or unit texts, stored expanded to the base's `length`
// and rendered as the items separated by blanks.
#include "common.hpp"
#include "number_text.hpp"

namespace ruvo::attributes {

extern AttributeClass variable_list_attribute_class;

namespace {

struct VariableListAttribute {
    fw::VariableListProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
    PyObject* options;   // list (None once cleared): special values stored as given
};

// One item of a box value, converted; new reference or null.
using ConvertNumericOp = PyObject* (*)(PyObject* self, PyObject* obj, PyObject* value);

struct VariableListAttributeTable {
    fw::PropertyTable base;
    ConvertNumericOp convert_numeric;
    AttrvalueOp attrvalue;
};

VariableListAttributeTable table;

VariableListAttribute* as_varlist(PyObject* self) { return reinterpret_cast<VariableListAttribute*>(self); }

struct {
    PyObject* invalid_format;
    PyObject* components_1_2;
    PyObject* components_1_2_4;
    PyObject* close;
    PyObject* blank;
    PyObject* percent;
} S;

CachedGlobal css_units_global("CSS_LENGTH_UNITS");

constexpr const char* kConvert = "ruvo.core._attributes._VariableListAttribute.convert";
constexpr const char* kConvertNumeric = "ruvo.core._attributes._VariableListAttribute._convert_numeric";

int create_fields(PyObject* self) {
    Py_XSETREF(as_varlist(self)->options, PyList_New(0));
    return as_varlist(self)->options ? 0 : -1;
}

// __init__(self, *args, **kwargs): the base takes the positional arguments.
int init(PyObject* self, PyObject* args, PyObject* kwds) {
    const char* qual = variable_list_attribute_class.qual_init;
    Ref kwargs = Ref::steal(copy_kwargs(kwds));
    if (!kwargs) RUVO_ATTR_FAIL(qual, -1);
    if (read_common_keywords(self, variable_list_attribute_class.common, kwargs.get()) < 0) RUVO_ATTR_FAIL(qual, -1);
    Ref options = Ref::steal(list_keyword(kwargs.get(), T.options));
    if (!options) RUVO_ATTR_FAIL(qual, -1);
    set_field(self, RUVO_FIELD(VariableListAttribute, options), options.get());
    if (force_allownone(kwargs.get()) < 0 ||
        call_base_init(&variable_list_attribute_class.type, self, args, kwargs.get()) < 0) {
        RUVO_ATTR_FAIL(qual, -1);
    }
    return 0;
}

// ValueError "CLS.NAME" + `message` + repr(value) + ")". Returns null.
PyObject* raise_with_repr(PyObject* self, PyObject* obj, PyObject* message, PyObject* value) {
    Ref shown = Ref::steal(PyObject_Repr(value));
    return raise_value_error(self, obj, {message, shown.get(), intern(&S.close, ")")});
}

PyObject* raise_invalid_format(PyObject* self, PyObject* obj, PyObject* value) {
    return raise_with_repr(self, obj, intern(&S.invalid_format, " has an invalid format (got "), value);
}

bool is_exact_number(PyObject* value) { return PyLong_CheckExact(value) || PyFloat_CheckExact(value); }

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
PyObject* convert_numeric(PyObject* self, PyObject* obj, PyObject* value) {
    if (is_exact_number(value)) return Py_NewRef(value);
    if (!PyUnicode_Check(value)) {
        raise_invalid_format(self, obj, value);
        RUVO_ATTR_FAIL(kConvertNumeric, nullptr);
    }
    Ref units = css_units_global.get(module_def.dict);
    if (!units) RUVO_ATTR_FAIL(kConvertNumeric, nullptr);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    Ref tail = Ref::steal(PyUnicode_Substring(value, length < 2 ? 0 : length - 2, length));
    if (!tail) RUVO_ATTR_FAIL(kConvertNumeric, nullptr);
    int listed = is_unit(units.get(), tail.get());
    if (listed < 0) RUVO_ATTR_FAIL(kConvertNumeric, nullptr);
    if (listed) return Py_NewRef(value);
    if (length > 0 && PyUnicode_READ_CHAR(value, length - 1) == '%') return Py_NewRef(value);
    raise_invalid_format(self, obj, value);
    RUVO_ATTR_FAIL(kConvertNumeric, nullptr);
}

// `_convert_numeric` through the table, so that a native subclass's applies.
PyObject* numeric_item(PyObject* self, PyObject* obj, PyObject* value) {
    auto* tab = reinterpret_cast<VariableListAttributeTable*>(reinterpret_cast<fw::Property*>(self)->vtab);
    return tab->convert_numeric(self, obj, value);
}

// A new list of `length` items repeating the n items (n is 1 or 2); None
// for a length other than 2 or 4.
PyObject* expanded(PyObject* const* items, int n, int32_t length) {
    if (length != 2 && length != 4) Py_RETURN_NONE;
    PyObject* list = PyList_New(length);
    if (!list) return nullptr;
    for (int32_t i = 0; i < length; ++i) PyList_SET_ITEM(list, i, Py_NewRef(items[i % n]));
    return list;
}

PyObject* convert_sequence(PyObject* self, PyObject* obj, PyObject* value, int32_t length) {
    const Py_ssize_t n = PyObject_Size(value);
    if (n < 0) return nullptr;
    if (n == 1 || n == 2) {
        Ref converted[2];
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item = Ref::steal(PySequence_GetItem(value, i));
            if (!item) return nullptr;
            converted[i] = Ref::steal(numeric_item(self, obj, item.get()));
            if (!converted[i]) return nullptr;
        }
        PyObject* items[2] = {converted[0].get(), converted[n - 1].get()};
        return expanded(items, static_cast<int>(n), length);
    }
    if (n == 4 && length == 4) {
        Ref list = Ref::steal(PyList_New(4));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < 4; ++i) {
            Ref item = Ref::steal(PySequence_GetItem(value, i));
            if (!item) return nullptr;
            PyObject* converted = numeric_item(self, obj, item.get());
            if (!converted) return nullptr;
            PyList_SET_ITEM(list.get(), i, converted);
        }
        return list.release();
    }
    PyObject* message = n == 4 || length != 4
                            ? intern(&S.components_1_2, " must have 1 or 2 components (got ")
                            : intern(&S.components_1_2_4, " must have 1, 2 or 4 components (got ");
    return raise_with_repr(self, obj, message, value);
}

PyObject* convert_value(PyObject* self, PyObject* obj, PyObject* value) {
    if (value == Py_None) Py_RETURN_NONE;
    Ref options = Ref::borrow(as_varlist(self)->options);
    int listed = PySequence_Contains(options.get(), value);
    if (listed < 0) return nullptr;
    if (listed) return Py_NewRef(value);
    const int32_t length = as_varlist(self)->base.length;
    if (PyList_Check(value) || PyTuple_Check(value)) return convert_sequence(self, obj, value, length);
    if (PyUnicode_Check(value)) {
        Ref parts = Ref::steal(PyUnicode_Split(value, nullptr, -1));
        if (!parts) return nullptr;
        if (PyList_GET_SIZE(parts.get()) > 1) return convert_value(self, obj, parts.get());
    } else if (!is_exact_number(value)) {
        return raise_invalid_format(self, obj, value);
    }
    Ref converted = Ref::steal(numeric_item(self, obj, value));
    if (!converted) return nullptr;
    PyObject* item = converted.get();
    return expanded(&item, 1, length);
}

PyObject* convert(fw::Property* self, PyObject* obj, PyObject* value) {
    PyObject* result = convert_value(reinterpret_cast<PyObject*>(self), obj, value);
    if (!result) RUVO_ATTR_FAIL(kConvert, nullptr);
    return result;
}

// The text of a box item that converts without running code, or null
// without an error for any other kind of item.
PyObject* plain_item_text(PyObject* item) {
    if (PyUnicode_CheckExact(item)) return Py_NewRef(item);
    if (PyLong_CheckExact(item)) return int_text(item);
    if (PyFloat_CheckExact(item)) return float_text(item);
    if (item == Py_None) return PyObject_Str(item);
    return nullptr;
}

// An exact list of a few numbers and texts, as the conversion stores it,
// joined without a list of texts; an item repeated by the expansion is
// turned into text once. Null without an error when another path is needed.
PyObject* render_plain_list(PyObject* list) {
    constexpr Py_ssize_t kMaxItems = 8;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0 || n > kMaxItems) return nullptr;
    Ref texts[kMaxItems];
    PyObject* pieces[2 * kMaxItems - 1];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        for (Py_ssize_t j = 0; j < i && !texts[i]; ++j) {
            if (PyList_GET_ITEM(list, j) == item) texts[i] = Ref::borrow(texts[j].get());
        }
        if (!texts[i]) {
            texts[i] = Ref::steal(plain_item_text(item));
            if (!texts[i]) return nullptr;
        }
        if (i) pieces[2 * i - 1] = S.blank;
        pieces[2 * i] = texts[i].get();
    }
    return concat(pieces, 2 * n - 1).release();
}

// The items as text joined by blanks; an option text as it is; '' for None.
PyObject* render(PyObject* self, PyObject* obj) {
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    if (value.get() == Py_None) return Py_NewRef(T.empty);
    if (PyUnicode_Check(value.get())) return value.release();
    if (!intern(&S.blank, " ")) return nullptr;
    if (PyList_CheckExact(value.get())) {
        PyObject* text = render_plain_list(value.get());
        if (text || PyErr_Occurred()) return text;
    }
    Ref texts = Ref::steal(PyList_New(0));
    Ref items = Ref::steal(texts ? PyObject_GetIter(value.get()) : nullptr);
    if (!items) return nullptr;
    while (PyObject* item = PyIter_Next(items.get())) {
        Ref keep = Ref::steal(item);
        Ref text = Ref::steal(PyObject_Str(item));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return PyUnicode_Join(S.blank, texts.get());
}

void fill_table(void* t) {
    auto* tab = static_cast<VariableListAttributeTable*>(t);
    tab->base.convert = convert;
    tab->convert_numeric = convert_numeric;
}

PyMemberDef members[] = {
    {"options", T_OBJECT, RUVO_FIELD(VariableListAttribute, options), READONLY, nullptr},
    {nullptr},
};

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kDoc =
    "_VariableListAttribute(defaultvalue=None, length=4, *, attrtype='', attrname='', sync=0, options=(), **kw)\n--\n\n"
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
    "    With `length` 2 the list has two items and four values are refused.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: list, defaults to [0, 0, 0, 0]\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "        `options`: list, special values (for example 'inherit') that are stored and rendered as given.\n"
    "    ";

}  // namespace

AttributeClass variable_list_attribute_class = {
    .name = "_VariableListAttribute",
    .doc = kDoc,
    .base = Outside::VariableListProperty,
    .in_all = true,
    .basicsize = sizeof(VariableListAttribute),
    .common = {RUVO_FIELD(VariableListAttribute, attrtype), RUVO_FIELD(VariableListAttribute, sync),
               RUVO_FIELD(VariableListAttribute, attrname)},
    .gc_fields = {RUVO_FIELD(VariableListAttribute, options)},
    .other_fields = {},
    .create_fields = create_fields,
    .init = init,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(VariableListAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: the items separated by\n"
                     "blanks, an option text as it is; '' for None.",
    .members = members,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<variable_list_attribute_class>(),
};

}  // namespace ruvo::attributes
