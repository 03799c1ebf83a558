// _NumericAttribute and _BoundedNumericAttribute: numbers rendered with a CSS
// unit ("12px"), or one of the attribute's options rendered as it is.
#include <charconv>
#include <cstring>

#include "common.hpp"

namespace ruvo::attributes {

extern AttributeClass numeric_attribute_class;
extern AttributeClass bounded_numeric_attribute_class;

namespace {

struct NumericAttribute {
    fw::NumericProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
    PyObject* options;   // list (None once cleared)
};

struct BoundedNumericAttribute {
    fw::BoundedNumericProperty base;
    PyObject* attrtype;
    int32_t sync;
    PyObject* attrname;
    PyObject* options;
};

// Both bases publish a numeric table: the property operations, then
// parse_text and parse_pair.
struct NumericAttributeTable {
    fw::NumericPropertyTable base;
    AttrvalueOp attrvalue;
};

NumericAttributeTable numeric_table;
NumericAttributeTable bounded_table;

constexpr const char* kNumericConvert = "ruvo.core._attributes._NumericAttribute.convert";
constexpr const char* kNumericCheck = "ruvo.core._attributes._NumericAttribute.check";
constexpr const char* kBoundedConvert = "ruvo.core._attributes._BoundedNumericAttribute.convert";
constexpr const char* kBoundedCheck = "ruvo.core._attributes._BoundedNumericAttribute.check";

struct {
    PyObject* two_components;
    PyObject* invalid_format;
    PyObject* close;
    PyObject* invalid_option;
    PyObject* must_be_one_of;
    PyObject* get_units;
} S;

// The options list of either record (same field order, different offsets).
template <class Record>
PyObject* options_of(fw::Property* self) {
    return reinterpret_cast<Record*>(self)->options;
}

// 1 when `value` is in the options (equality), 0 when not, -1 on error.
template <class Record>
int in_options(fw::Property* self, PyObject* value) {
    Ref options = Ref::borrow(options_of<Record>(self));  // comparisons may run code that replaces it
    return PySequence_Contains(options.get(), value);
}

bool exact_number(PyObject* v) { return PyLong_CheckExact(v) || PyFloat_CheckExact(v); }

// A parser's 32-bit result as a Python float (null when it failed).
PyObject* widen(float f) {
    if (f == -1.0f && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(static_cast<double>(f));
}

const fw::NumericPropertyTable& table_of(fw::Property* self) {
    return *reinterpret_cast<const fw::NumericPropertyTable*>(self->vtab);
}

// ValueError "CLS.NAME" + head + repr(value) + tail.
PyObject* raise_with_repr(fw::Property* self, PyObject* obj, PyObject* head, PyObject* value, PyObject* tail) {
    Ref shown = Ref::steal(PyObject_Repr(value));
    return raise_value_error(reinterpret_cast<PyObject*>(self), obj, {head, shown.get(), tail});
}

// The refusal shared by both checks, listing the options.
template <class Record>
PyObject* raise_invalid_option(fw::Property* self, PyObject* obj, PyObject* value) {
    Ref options = Ref::borrow(options_of<Record>(self));
    Ref shown = Ref::steal(PyObject_Repr(value));
    Ref listing = Ref::steal(shown ? PyObject_Format(options.get(), T.empty) : nullptr);
    return raise_value_error(
        reinterpret_cast<PyObject*>(self), obj,
        {intern(&S.invalid_option, " accept only int/float/str and is set to an invalid option "), shown.get(),
         intern(&S.must_be_one_of, ". Must be one of: "), listing.get()});
}

// ---------------------------------------------------------------------------
// _NumericAttribute operations

PyObject* numeric_convert(fw::Property* self, PyObject* obj, PyObject* x) {
    if (x == Py_None) return Py_NewRef(x);
    int listed = in_options<NumericAttribute>(self, x);
    if (listed < 0) RUVO_ATTR_FAIL(kNumericConvert, nullptr);
    if (listed || exact_number(x)) return Py_NewRef(x);
    auto* num = reinterpret_cast<fw::NumericProperty*>(self);
    if (PyTuple_CheckExact(x) || PyList_CheckExact(x)) {
        if (PySequence_Fast_GET_SIZE(x) != 2) {
            raise_with_repr(self, obj, intern(&S.two_components, " must have 2 components (got "), x,
                            intern(&S.close, ")"));
            RUVO_ATTR_FAIL(kNumericConvert, nullptr);
        }
        // The parser may run code that changes a list: hold the items.
        Ref number = Ref::borrow(PySequence_Fast_GET_ITEM(x, 0));
        Ref unit = Ref::borrow(PySequence_Fast_GET_ITEM(x, 1));
        PyObject* result = widen(table_of(self).parse_pair(num, obj, number.get(), unit.get()));
        if (!result) RUVO_ATTR_FAIL(kNumericConvert, nullptr);
        return result;
    }
    if (PyUnicode_Check(x)) {
        PyObject* result = widen(table_of(self).parse_text(num, obj, x));
        if (!result) RUVO_ATTR_FAIL(kNumericConvert, nullptr);
        return result;
    }
    raise_with_repr(self, obj, intern(&S.invalid_format, " has an invalid format (got "), x, intern(&S.close, ")"));
    RUVO_ATTR_FAIL(kNumericConvert, nullptr);
}

PyObject* numeric_check(fw::Property* self, PyObject* obj, PyObject* value) {
    Ref base = Ref::steal(outside_table<fw::PropertyTable>(Outside::Property)->check(self, obj, value));
    if (!base) RUVO_ATTR_FAIL(kNumericCheck, nullptr);
    int accepted = PyObject_IsTrue(base.get());
    if (accepted < 0) RUVO_ATTR_FAIL(kNumericCheck, nullptr);
    if (accepted) Py_RETURN_TRUE;
    if (exact_number(value) || PyUnicode_CheckExact(value)) Py_RETURN_NONE;
    int listed = in_options<NumericAttribute>(self, value);
    if (listed < 0) RUVO_ATTR_FAIL(kNumericCheck, nullptr);
    if (listed) Py_RETURN_NONE;
    raise_invalid_option<NumericAttribute>(self, obj, value);
    RUVO_ATTR_FAIL(kNumericCheck, nullptr);
}

// ---------------------------------------------------------------------------
// _BoundedNumericAttribute operations: the bounds are the base's business.

const fw::NumericPropertyTable& bounded_base() {
    return *outside_table<fw::NumericPropertyTable>(Outside::BoundedNumericProperty);
}

PyObject* bounded_convert(fw::Property* self, PyObject* obj, PyObject* x) {
    if (x == Py_None) return Py_NewRef(x);
    int listed = in_options<BoundedNumericAttribute>(self, x);
    if (listed < 0) RUVO_ATTR_FAIL(kBoundedConvert, nullptr);
    if (listed) return Py_NewRef(x);
    PyObject* result = bounded_base().base.convert(self, obj, x);
    if (!result) RUVO_ATTR_FAIL(kBoundedConvert, nullptr);
    return result;
}

PyObject* bounded_check(fw::Property* self, PyObject* obj, PyObject* value) {
    if (exact_number(value)) {
        PyObject* result = bounded_base().base.check(self, obj, value);
        if (!result) RUVO_ATTR_FAIL(kBoundedCheck, nullptr);
        return result;
    }
    int listed = in_options<BoundedNumericAttribute>(self, value);
    if (listed < 0) RUVO_ATTR_FAIL(kBoundedCheck, nullptr);
    if (listed) Py_RETURN_TRUE;
    raise_invalid_option<BoundedNumericAttribute>(self, obj, value);
    RUVO_ATTR_FAIL(kBoundedCheck, nullptr);
}

// ---------------------------------------------------------------------------
// Rendering, shared by both classes

// The unit of the value of `obj`: the attribute's Python method get_units.
// The framework's own method (the one an instance of the native class
// always reaches) is read directly: the unit remembered with the value,
// else the declared one.
PyObject* units_of(AttributeClass& C, PyObject* self, PyObject* obj) {
    PyTypeObject* type = Py_TYPE(self);
    if (type == &C.type && type->tp_dictoffset == 0 && obj != Py_None) {
        fw::PropertyStorage* storage = storage_of(self, obj);
        if (!storage) return nullptr;
        PyObject* remembered = storage->units;
        if (remembered && remembered != Py_None) return Py_NewRef(remembered);
        return Py_NewRef(reinterpret_cast<fw::NumericProperty*>(self)->units);
    }
    if (!intern(&S.get_units, "get_units")) return nullptr;
    PyObject* stack[3] = {nullptr, self, obj};  // a free slot before the arguments
    return PyObject_VectorcallMethod(S.get_units, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The text of a value or unit as "{0}".format(x) writes it.
PyObject* as_text(PyObject* x) {
    if (PyUnicode_CheckExact(x)) return Py_NewRef(x);
    if (PyFloat_CheckExact(x)) return float_text(x).release();
    if (PyLong_CheckExact(x)) return PyLong_Type.tp_repr(x);
    return PyObject_Format(x, T.empty);
}

// The common case in one allocation: an exact int (within 64 bits) or a
// finite exact float, followed by a one-byte unit text (null: none). Returns
// null without an exception for anything else.
PyObject* number_with_unit(PyObject* value, PyObject* unit) {
    char digits[kFloatTextMax];
    int n;
    if (PyFloat_CheckExact(value)) {
        n = format_float(PyFloat_AS_DOUBLE(value), digits);
        if (n < 0) return nullptr;
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return nullptr;
        }
        n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits);
    } else {
        return nullptr;
    }
    Py_ssize_t unit_len = 0;
    bool ascii = true;
    if (unit) {
        if (!PyUnicode_CheckExact(unit) || PyUnicode_READY(unit) < 0 || PyUnicode_KIND(unit) != PyUnicode_1BYTE_KIND) {
            PyErr_Clear();
            return nullptr;
        }
        unit_len = PyUnicode_GET_LENGTH(unit);
        ascii = PyUnicode_IS_ASCII(unit);
    }
    PyObject* text = PyUnicode_New(n + unit_len, ascii ? 127 : 255);
    if (!text) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
    std::memcpy(out, digits, static_cast<size_t>(n));
    if (unit_len) std::memcpy(out + n, PyUnicode_1BYTE_DATA(unit), static_cast<size_t>(unit_len));
    return text;
}

template <AttributeClass& C>
PyObject* render(PyObject* self, PyObject* obj) {
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    if (value.get() == Py_None) return Py_NewRef(T.empty);
    if (PyUnicode_Check(value.get())) return value.release();  // an option
    Ref units = Ref::steal(units_of(C, self, obj));
    if (!units) return nullptr;
    int with_unit = PyObject_IsTrue(units.get());
    if (with_unit < 0) return nullptr;
    if (PyObject* text = number_with_unit(value.get(), with_unit ? units.get() : nullptr)) return text;
    if (PyErr_Occurred()) return nullptr;
    PyObject* number = as_text(value.get());
    if (!with_unit || !number) return number;
    Ref pieces[2] = {Ref::steal(number), Ref::steal(as_text(units.get()))};
    if (!pieces[1]) return nullptr;
    PyObject* raw[2] = {pieces[0].get(), pieces[1].get()};
    return concat(raw, 2).release();
}

// ---------------------------------------------------------------------------
// Construction

int create_options(PyObject* self, Py_ssize_t offset) {
    PyObject* options = PyList_New(0);
    if (!options) return -1;
    Py_XSETREF(object_field(self, offset), options);
    return 0;
}

int create_numeric(PyObject* self) { return create_options(self, RUVO_FIELD(NumericAttribute, options)); }
int create_bounded(PyObject* self) { return create_options(self, RUVO_FIELD(BoundedNumericAttribute, options)); }

// Any keywords, all collected (strings only); no positional parameter of its own.
const Params init_params("__init__", {}, 0);

template <AttributeClass& C, class Record>
int init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref kwargs;
    PyObject* unused[1];
    Ref keep;  // holds the keyword arguments while they are used
    if (init_params.parse(nullptr, kwds, unused, keep, &kwargs) < 0) RUVO_ATTR_FAIL(C.qual_init, -1);
    if (!kwargs) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) RUVO_ATTR_FAIL(C.qual_init, -1);
    }
    if (read_common_keywords(self, C.common, kwargs.get()) < 0) RUVO_ATTR_FAIL(C.qual_init, -1);
    Ref options = Ref::steal(list_keyword(kwargs.get(), T.options));
    if (!options) RUVO_ATTR_FAIL(C.qual_init, -1);
    set_field(self, RUVO_FIELD(Record, options), options.get());
    if (force_allownone(kwargs.get()) < 0 || call_base_init(&C.type, self, args, kwargs.get()) < 0) {
        RUVO_ATTR_FAIL(C.qual_init, -1);
    }
    return 0;
}

void fill_numeric(void* t) {
    auto* tab = static_cast<NumericAttributeTable*>(t);
    tab->base.base.convert = numeric_convert;
    tab->base.base.check = numeric_check;
}

void fill_bounded(void* t) {
    auto* tab = static_cast<NumericAttributeTable*>(t);
    tab->base.base.convert = bounded_convert;
    tab->base.base.check = bounded_check;
}

PyMemberDef numeric_members[] = {
    {"options", T_OBJECT, RUVO_FIELD(NumericAttribute, options), READONLY, nullptr},
    {nullptr},
};
PyMemberDef bounded_members[] = {
    {"options", T_OBJECT, RUVO_FIELD(BoundedNumericAttribute, options), READONLY, nullptr},
    {nullptr},
};

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kNumericDoc =
    "_NumericAttribute(defaultvalue=0, units=None, *, attrtype='', attrname='', sync=0, options=(), **kw)\n--\n\n"
    "Html attribute class with a numeric value.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: numeric, defaults to 0.0\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "        `options`: list, further values (such as 'inherit' or 'auto') that the attribute accepts;\n"
    "        they are rendered as they are.\n"
    "        `units`: valid CSS metric default units: 'px', 'mm', '%', etc. or empty\n"
    "    ";

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kBoundedDoc =
    "_BoundedNumericAttribute(defaultvalue=0, min=None, max=None, *, attrtype='', attrname='', sync=0, options=(), **kw)\n--\n\n"
    "Html attribute class with a bounded numeric value.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: numeric, defaults to 0.0\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "        `options`: list, further values (such as 'inherit' or 'auto') that the attribute accepts;\n"
    "        they are rendered as they are.\n"
    "        `min`: accepted minimum value\n"
    "        `max`: accepted maximum value\n"
    "    ";

constexpr const char* kAttrvalueDoc =
    "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: the number followed by its unit\n"
    "(get_units), an option as it is; '' for None.";

}  // namespace

AttributeClass numeric_attribute_class = {
    .name = "_NumericAttribute",
    .doc = kNumericDoc,
    .base = Outside::NumericProperty,
    .in_all = true,
    .basicsize = sizeof(NumericAttribute),
    .common = {RUVO_FIELD(NumericAttribute, attrtype), RUVO_FIELD(NumericAttribute, sync),
               RUVO_FIELD(NumericAttribute, attrname)},
    .gc_fields = {RUVO_FIELD(NumericAttribute, options)},
    .other_fields = {},
    .create_fields = create_numeric,
    .init = init<numeric_attribute_class, NumericAttribute>,
    .table = &numeric_table,
    .table_size = sizeof numeric_table,
    .attrvalue_slot = offsetof(NumericAttributeTable, attrvalue),
    .fill_table = fill_numeric,
    .render = render<numeric_attribute_class>,
    .attrvalue_doc = kAttrvalueDoc,
    .members = numeric_members,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<numeric_attribute_class>(),
};

AttributeClass bounded_numeric_attribute_class = {
    .name = "_BoundedNumericAttribute",
    .doc = kBoundedDoc,
    .base = Outside::BoundedNumericProperty,
    .in_all = true,
    .basicsize = sizeof(BoundedNumericAttribute),
    .common = {RUVO_FIELD(BoundedNumericAttribute, attrtype), RUVO_FIELD(BoundedNumericAttribute, sync),
               RUVO_FIELD(BoundedNumericAttribute, attrname)},
    .gc_fields = {RUVO_FIELD(BoundedNumericAttribute, options)},
    .other_fields = {},
    .create_fields = create_bounded,
    .init = init<bounded_numeric_attribute_class, BoundedNumericAttribute>,
    .table = &bounded_table,
    .table_size = sizeof bounded_table,
    .attrvalue_slot = offsetof(NumericAttributeTable, attrvalue),
    .fill_table = fill_bounded,
    .render = render<bounded_numeric_attribute_class>,
    .attrvalue_doc = kAttrvalueDoc,
    .members = bounded_members,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<bounded_numeric_attribute_class>(),
};

}  // namespace ruvo::attributes
