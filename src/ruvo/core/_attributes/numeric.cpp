// _NumericAttribute and _BoundedNumericAttribute: numbers rendered with a CSS
// unit ("12px"), or one of the attribute's options rendered as it is.
#include "attribute_class.hpp"
#include "keywords.hpp"
#include "plain_text.hpp"

namespace ruvo::attributes {

extern AttributeType numeric_attribute_type;
extern AttributeType bounded_numeric_attribute_type;

namespace {

struct NumericAttribute {
    framework::NumericProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
    PyObject* options;   // list (None once cleared)
};

struct BoundedNumericAttribute {
    framework::BoundedNumericProperty base;
    PyObject* attrtype;
    int32_t sync;
    PyObject* attrname;
    PyObject* options;
};

// Both bases publish a numeric table: the property operations, then
// parse_text and parse_pair.
struct NumericAttributeTable {
    framework::NumericPropertyTable base;
    AttrvalueOp attrvalue;
};

NumericAttributeTable numeric_table;
NumericAttributeTable bounded_table;

const ClassSites numeric_sites{class_names<"_NumericAttribute">};
const ClassSites bounded_sites{class_names<"_BoundedNumericAttribute">};
const Site numeric_convert_site{module_def, "_NumericAttribute.convert"};
const Site numeric_check_site{module_def, "_NumericAttribute.check"};
const Site bounded_convert_site{module_def, "_BoundedNumericAttribute.convert"};
const Site bounded_check_site{module_def, "_BoundedNumericAttribute.check"};

struct {
    PyObject* two_components;
    PyObject* invalid_format;
    PyObject* invalid_option;
    PyObject* must_be_one_of;
    PyObject* get_units;
} messages;

// The options list of either record (same field order, different offsets).
template <class Record>
PyObject* options_of(framework::Property* self) {
    return reinterpret_cast<Record*>(self)->options;
}

// 1 when `value` is in the options (equality), 0 when not, -1 on error.
template <class Record>
int in_options(framework::Property* self, PyObject* value) {
    Ref options = Ref::borrow(options_of<Record>(self));  // comparisons may run code that replaces it
    return PySequence_Contains(options.get(), value);
}

const framework::NumericPropertyTable& table_of(framework::Property* self) {
    return *reinterpret_cast<const framework::NumericPropertyTable*>(self->vtab);
}

// The refusal shared by both checks, listing the options.
template <class Record>
Failure raise_invalid_option(framework::Property* self, PyObject* obj, PyObject* value) {
    Ref options = Ref::borrow(options_of<Record>(self));
    Ref shown = Ref::steal(PyObject_Repr(value));
    Ref listing = Ref::steal(shown ? PyObject_Format(options.get(), texts.empty) : nullptr);
    return raise_value_error(
        reinterpret_cast<PyObject*>(self), obj,
        {intern(&messages.invalid_option, " accept only int/float/str and is set to an invalid option "), shown.get(),
         intern(&messages.must_be_one_of, ". Must be one of: "), listing.get()});
}

// ---------------------------------------------------------------------------
// _NumericAttribute operations

Ref numeric_convert(framework::Property* self, PyObject* obj, PyObject* x) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    if (x == Py_None) return Ref::borrow(x);
    int listed = in_options<NumericAttribute>(self, x);
    if (listed < 0) return {};
    if (listed || is_exact_number(x)) return Ref::borrow(x);
    auto* num = reinterpret_cast<framework::NumericProperty*>(self);
    if (PyTuple_CheckExact(x) || PyList_CheckExact(x)) {
        if (PySequence_Fast_GET_SIZE(x) != 2) {
            return raise_with_repr(me, obj, intern(&messages.two_components, " must have 2 components (got "), x);
        }
        // The parser may run code that changes a list: hold the items.
        Ref number = Ref::borrow(PySequence_Fast_GET_ITEM(x, 0));
        Ref unit = Ref::borrow(PySequence_Fast_GET_ITEM(x, 1));
        return widen(table_of(self).parse_pair(num, obj, number.get(), unit.get()));
    }
    if (PyUnicode_Check(x)) return widen(table_of(self).parse_text(num, obj, x));
    return raise_with_repr(me, obj, intern(&messages.invalid_format, " has an invalid format (got "), x);
}

Ref numeric_check(framework::Property* self, PyObject* obj, PyObject* value) {
    Ref base = Ref::steal(framework_table<framework::PropertyTable>(FrameworkType::Property)->check(self, obj, value));
    if (!base) return {};
    int accepted = PyObject_IsTrue(base.get());
    if (accepted < 0) return {};
    if (accepted) return Ref::borrow(Py_True);
    if (is_exact_number(value) || PyUnicode_CheckExact(value)) return Ref::borrow(Py_None);
    int listed = in_options<NumericAttribute>(self, value);
    if (listed < 0) return {};
    if (listed) return Ref::borrow(Py_None);
    return raise_invalid_option<NumericAttribute>(self, obj, value);
}

// ---------------------------------------------------------------------------
// _BoundedNumericAttribute operations: the bounds are the base's business.

const framework::NumericPropertyTable& bounded_base() {
    return *framework_table<framework::NumericPropertyTable>(FrameworkType::BoundedNumericProperty);
}

Ref bounded_convert(framework::Property* self, PyObject* obj, PyObject* x) {
    if (x == Py_None) return Ref::borrow(x);
    int listed = in_options<BoundedNumericAttribute>(self, x);
    if (listed < 0) return {};
    if (listed) return Ref::borrow(x);
    return Ref::steal(bounded_base().base.convert(self, obj, x));
}

Ref bounded_check(framework::Property* self, PyObject* obj, PyObject* value) {
    if (is_exact_number(value)) return Ref::steal(bounded_base().base.check(self, obj, value));
    int listed = in_options<BoundedNumericAttribute>(self, value);
    if (listed < 0) return {};
    if (listed) return Ref::borrow(Py_True);
    return raise_invalid_option<BoundedNumericAttribute>(self, obj, value);
}

// ---------------------------------------------------------------------------
// Rendering, shared by both classes

// The unit of the value of `obj`: the attribute's Python method get_units.
// The framework's own method (the one an instance of the native class
// always reaches) is read directly: the unit remembered with the value in
// its storage (`value_storage` when the value was read from it), else the
// declared one.
Ref units_of(PyTypeObject* native, PyObject* self, PyObject* obj, const Ref& value_storage) {
    PyTypeObject* type = Py_TYPE(self);
    if (type == native && type->tp_dictoffset == 0 && obj != Py_None) {
        Ref storage = value_storage ? Ref::borrow(value_storage.get()) : storage_of(self, obj);
        if (!storage) return {};
        PyObject* remembered = as_storage(storage)->units;
        if (remembered && remembered != Py_None) return Ref::borrow(remembered);
        return Ref::borrow(reinterpret_cast<framework::NumericProperty*>(self)->units);
    }
    if (!intern(&messages.get_units, "get_units")) return {};
    PyObject* stack[3] = {nullptr, self, obj};  // a free slot before the arguments
    return Ref::steal(
        PyObject_VectorcallMethod(messages.get_units, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The text of a value or unit as "{0}".format(x) writes it.
Ref as_text(PyObject* x) {
    if (PyUnicode_CheckExact(x)) return Ref::borrow(x);
    if (PyFloat_CheckExact(x)) return float_text(x);
    if (PyLong_CheckExact(x)) return Ref::steal(PyLong_Type.tp_repr(x));
    return Ref::steal(PyObject_Format(x, texts.empty));
}

template <AttributeType& Declared>
Ref render(PyObject* self, PyObject* obj) {
    Ref storage;
    Ref value = stored_value(self, obj, storage);
    if (!value) return {};
    if (value.get() == Py_None) return Ref::borrow(texts.empty);
    if (PyUnicode_Check(value.get())) return value;  // an option
    Ref units = units_of(&Declared.type, self, obj, storage);
    if (!units) return {};
    PyObject* u = units.get();
    int with_unit = PyUnicode_CheckExact(u) ? PyUnicode_GET_LENGTH(u) > 0 : PyObject_IsTrue(u);
    if (with_unit < 0) return {};
    PlainText<2> plain;
    if (plain.add(value.get()) && (!with_unit || plain.add(units.get()))) return plain.join("");
    Ref number = as_text(value.get());
    if (!with_unit || !number) return number;
    Ref unit = as_text(units.get());
    if (!unit) return {};
    PyObject* pieces[2] = {number.get(), unit.get()};
    return concat(pieces, 2);
}

// ---------------------------------------------------------------------------
// Construction

template <class Record>
int create_options(PyObject* self) {
    PyObject*& options = reinterpret_cast<Record*>(self)->options;
    set_field(options, Ref::steal(PyList_New(0)));
    return options ? 0 : -1;
}

// Any keywords, all collected (strings only); no positional parameter of its own.
const Params init_params("__init__", {}, 0);

template <AttributeType& Declared, class Record>
int init(PyObject* self, PyObject* args, PyObject* kwds) {
    InitArgs in;
    if (in.parse(init_params, nullptr, kwds) < 0) return -1;
    PyObject* kwargs = in.kwargs.get();
    Record* record = reinterpret_cast<Record*>(self);
    if (read_common_keywords(record, kwargs) < 0) return -1;
    Ref options = list_keyword(kwargs, texts.options);
    if (!options) return -1;
    set_field(record->options, std::move(options));
    if (force_allownone(kwargs) < 0) return -1;
    return call_base_init(&Declared.type, self, args, kwargs);
}

void fill_numeric(void* t) {
    auto* tab = static_cast<NumericAttributeTable*>(t);
    tab->base.base.convert = reported<numeric_convert_site, numeric_convert>;
    tab->base.base.check = reported<numeric_check_site, numeric_check>;
}

void fill_bounded(void* t) {
    auto* tab = static_cast<NumericAttributeTable*>(t);
    tab->base.base.convert = reported<bounded_convert_site, bounded_convert>;
    tab->base.base.check = reported<bounded_check_site, bounded_check>;
}

std::array numeric_members = members_of<NumericAttribute>({
    {"options", T_OBJECT, offsetof(NumericAttribute, options), READONLY, nullptr},
});
std::array bounded_members = members_of<BoundedNumericAttribute>({
    {"options", T_OBJECT, offsetof(BoundedNumericAttribute, options), READONLY, nullptr},
});

constexpr char kDefaultValueDoc[] =
    "        `defaultvalue`: numeric, defaults to 0.0\n"
    "        Specifies the default value of the attribute.\n";
constexpr char kOptionsDoc[] =
    "        `options`: list, further values (such as 'inherit' or 'auto') that the attribute accepts;\n"
    "        they are rendered as they are.\n";

constexpr auto kNumericDoc = class_doc(
    "_NumericAttribute(defaultvalue=0, units=None, *, attrtype='', attrname='', sync=0, options=(), **kw)",
    "Html attribute class with a numeric value.\n", kDefaultValueDoc, kOptionsDoc,
    "        `units`: valid CSS metric default units: 'px', 'mm', '%', etc. or empty\n");

constexpr auto kBoundedDoc = class_doc(
    "_BoundedNumericAttribute(defaultvalue=0, min=None, max=None, *, attrtype='', attrname='', sync=0, options=(), "
    "**kw)",
    "Html attribute class with a bounded numeric value.\n", kDefaultValueDoc, kOptionsDoc,
    "        `min`: accepted minimum value\n"
    "        `max`: accepted maximum value\n");

constexpr const char* kAttrvalueDoc =
    "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: the number followed by its unit\n"
    "(get_units), an option as it is; '' for None.";

constexpr AttributeClass numeric_description = {
    .sites = numeric_sites,
    .type = numeric_attribute_type.type,
    .base = FrameworkType::NumericProperty,
    .in_all = true,
    .basicsize = sizeof(NumericAttribute),
    .common = common_offsets<NumericAttribute>(),
    .gc_fields = {offsetof(NumericAttribute, options)},
    .other_fields = {},
    .create_fields = create_options<NumericAttribute>,
    .table = &numeric_table,
    .table_size = sizeof numeric_table,
    .attrvalue_slot = offsetof(NumericAttributeTable, attrvalue),
    .fill_table = fill_numeric,
    .render = render<numeric_attribute_type>,
};

constexpr AttributeClass bounded_description = {
    .sites = bounded_sites,
    .type = bounded_numeric_attribute_type.type,
    .base = FrameworkType::BoundedNumericProperty,
    .in_all = true,
    .basicsize = sizeof(BoundedNumericAttribute),
    .common = common_offsets<BoundedNumericAttribute>(),
    .gc_fields = {offsetof(BoundedNumericAttribute, options)},
    .other_fields = {},
    .create_fields = create_options<BoundedNumericAttribute>,
    .table = &bounded_table,
    .table_size = sizeof bounded_table,
    .attrvalue_slot = offsetof(NumericAttributeTable, attrvalue),
    .fill_table = fill_bounded,
    .render = render<bounded_numeric_attribute_type>,
};

}  // namespace

AttributeType numeric_attribute_type = declare_type<numeric_description>({
    .doc = kNumericDoc.data(),
    .init = reported<numeric_sites.init, init<numeric_attribute_type, NumericAttribute>>,
    .attrvalue_doc = kAttrvalueDoc,
    .members = numeric_members.data(),
});

AttributeType bounded_numeric_attribute_type = declare_type<bounded_description>({
    .doc = kBoundedDoc.data(),
    .init = reported<bounded_sites.init, init<bounded_numeric_attribute_type, BoundedNumericAttribute>>,
    .attrvalue_doc = kAttrvalueDoc,
    .members = bounded_members.data(),
});

}  // namespace ruvo::attributes
