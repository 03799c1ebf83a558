// _BooleanAttribute and _LogicalAttribute: two-valued attributes stored
// through BooleanProperty. A boolean attribute renders its own name when true
// (a bare `hidden`), a logical one the words "true" and "false".
#include "attribute_class.hpp"
#include "keywords.hpp"

namespace ruvo::attributes {

extern AttributeType boolean_attribute_type;
extern AttributeType logical_attribute_type;

namespace {

// The layout of both classes.
struct BooleanAttribute {
    framework::BooleanProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
};

struct BooleanAttributeTable {
    framework::PropertyTable base;
    AttrvalueOp attrvalue;
};

BooleanAttributeTable boolean_table;
BooleanAttributeTable logical_table;

const ClassSites boolean_sites{class_names<"_BooleanAttribute">};
const ClassSites logical_sites{class_names<"_LogicalAttribute">};

// Any keywords, all collected (strings only); no positional parameter of its own.
const Params init_params("__init__", {}, 0);

template <AttributeType& Declared, bool force_allownone_keyword>
int init(PyObject* self, PyObject* args, PyObject* kwds) {
    InitArgs in;
    if (in.parse(init_params, nullptr, kwds) < 0) return -1;
    PyObject* kwargs = in.kwargs.get();
    if (read_common_keywords(reinterpret_cast<BooleanAttribute*>(self), kwargs) < 0) return -1;
    if (force_allownone_keyword && force_allownone(kwargs) < 0) return -1;
    return call_base_init(&Declared.type, self, args, kwargs);
}

// The attribute's name when the value is true, else "". The name is read as
// an ordinary attribute, so a Python subclass's own `attrname` is used; the
// class's own property resolves a declared name to itself.
Ref render_boolean(PyObject* self, PyObject* obj) {
    Ref value = get_value(self, obj);
    if (!value) return {};
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return {};
    if (!truth) return Ref::borrow(texts.empty);
    if (Py_IS_TYPE(self, &boolean_attribute_type.type)) {
        // What the class's own property gives, without the attribute lookups:
        // the framework keeps `name` an exact str or None.
        PyObject* name = reinterpret_cast<framework::Property*>(self)->name;
        if (name && (name == Py_None || PyUnicode_CheckExact(name))) {
            return resolved_attrname(reinterpret_cast<BooleanAttribute*>(self)->attrname, name);
        }
    }
    return Ref::steal(PyObject_GetAttr(self, texts.attrname));
}

// "true", "false", or "" for None.
Ref render_logical(PyObject* self, PyObject* obj) {
    Ref value = get_value(self, obj);
    if (!value) return {};
    if (value.get() == Py_None) return Ref::borrow(texts.empty);
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return {};
    return Ref::borrow(truth ? texts.true_text : texts.false_text);
}

std::array members = members_of<BooleanAttribute>();

constexpr char kDefaultValueDoc[] =
    "        `defaultvalue`: boolean, defaults to false\n"
    "        Specifies the default value of the attribute.\n";

constexpr auto kBooleanDoc = class_doc(
    "_BooleanAttribute(defaultvalue=False, *, attrtype='', attrname='', sync=0, **kw)",
    "Boolean Html attribute class which returns `attrname` as the\n"
    "         return value when its true and empty string when its false.\n",
    kDefaultValueDoc);

constexpr auto kLogicalDoc = class_doc(
    "_LogicalAttribute(defaultvalue=False, *, attrtype='', attrname='', sync=0, **kw)",
    "Logical html attribute class which returns 'true' or 'false' as string type and empty string when it is None.\n",
    "        `defaultvalue`: boolean, defaults to False\n"
    "        Specifies the default value of the attribute.\n");

constexpr AttributeClass boolean_description = {
    .sites = boolean_sites,
    .type = boolean_attribute_type.type,
    .base = FrameworkType::BooleanProperty,
    .in_all = true,
    .basicsize = sizeof(BooleanAttribute),
    .common = common_offsets<BooleanAttribute>(),
    .gc_fields = {},
    .other_fields = {},
    .create_fields = nullptr,
    .table = &boolean_table,
    .table_size = sizeof boolean_table,
    .attrvalue_slot = offsetof(BooleanAttributeTable, attrvalue),
    .fill_table = nullptr,
    .render = render_boolean,
};

constexpr AttributeClass logical_description = {
    .sites = logical_sites,
    .type = logical_attribute_type.type,
    .base = FrameworkType::BooleanProperty,
    .in_all = false,
    .basicsize = sizeof(BooleanAttribute),
    .common = common_offsets<BooleanAttribute>(),
    .gc_fields = {},
    .other_fields = {},
    .create_fields = nullptr,
    .table = &logical_table,
    .table_size = sizeof logical_table,
    .attrvalue_slot = offsetof(BooleanAttributeTable, attrvalue),
    .fill_table = nullptr,
    .render = render_logical,
};

}  // namespace

AttributeType boolean_attribute_type = declare_type<boolean_description>({
    .doc = kBooleanDoc.data(),
    .init = reported<boolean_sites.init, init<boolean_attribute_type, false>>,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: its attribute name when the\n"
                     "value is true, '' when it is false.",
    .members = members.data(),
});

AttributeType logical_attribute_type = declare_type<logical_description>({
    .doc = kLogicalDoc.data(),
    .init = reported<logical_sites.init, init<logical_attribute_type, true>>,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: 'true' or 'false', '' for None.",
    .members = members.data(),
});

}  // namespace ruvo::attributes
