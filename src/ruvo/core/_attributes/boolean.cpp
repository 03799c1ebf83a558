// _BooleanAttribute and _LogicalAttribute: two-valued attributes stored
// through BooleanProperty. A boolean attribute renders its own name when true
// (a bare `hidden`), a logical one the words "true" and "false".
#include "common.hpp"

namespace ruvo::attributes {

extern AttributeClass boolean_attribute_class;
extern AttributeClass logical_attribute_class;

namespace {

// The layout of both classes.
struct BooleanAttribute {
    fw::BooleanProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
};

struct BooleanAttributeTable {
    fw::PropertyTable base;
    AttrvalueOp attrvalue;
};

BooleanAttributeTable boolean_table;
BooleanAttributeTable logical_table;

// Any keywords, all collected (strings only); no positional parameter of its own.
const Params init_params("__init__", {}, 0);

template <AttributeClass& C, bool force_allownone_keyword>
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
    if (force_allownone_keyword && force_allownone(kwargs.get()) < 0) RUVO_ATTR_FAIL(C.qual_init, -1);
    if (call_base_init(&C.type, self, args, kwargs.get()) < 0) RUVO_ATTR_FAIL(C.qual_init, -1);
    return 0;
}

// The attribute's name when the value is true, else "". The name is read as
// an ordinary attribute, so a Python subclass's own `attrname` is used; the
// class's own property resolves a declared name to itself.
PyObject* render_boolean(PyObject* self, PyObject* obj) {
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return nullptr;
    if (!truth) return Py_NewRef(T.empty);
    if (Py_IS_TYPE(self, &boolean_attribute_class.type)) {
        // What the class's own property gives, without the attribute lookups:
        // the framework keeps `name` an exact str or None.
        PyObject* name = reinterpret_cast<fw::Property*>(self)->name;
        if (name && (name == Py_None || PyUnicode_CheckExact(name))) {
            return resolved_attrname(reinterpret_cast<BooleanAttribute*>(self)->attrname, name);
        }
    }
    return PyObject_GetAttr(self, T.attrname);
}

// "true", "false", or "" for None.
PyObject* render_logical(PyObject* self, PyObject* obj) {
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    if (value.get() == Py_None) return Py_NewRef(T.empty);
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return nullptr;
    return Py_NewRef(truth ? T.true_text : T.false_text);
}

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kBooleanDoc =
    "_BooleanAttribute(defaultvalue=False, *, attrtype='', attrname='', sync=0, **kw)\n--\n\n"
    "Boolean Html attribute class which returns `attrname` as the\n"
    "         return value when its true and empty string when its false.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: boolean, defaults to false\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "    ";

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kLogicalDoc =
    "_LogicalAttribute(defaultvalue=False, *, attrtype='', attrname='', sync=0, **kw)\n--\n\n"
    "Logical html attribute class which returns 'true' or 'false' as string type and empty string when it is None.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: boolean, defaults to False\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "    ";

}  // namespace

AttributeClass boolean_attribute_class = {
    .name = "_BooleanAttribute",
    .doc = kBooleanDoc,
    .base = Outside::BooleanProperty,
    .in_all = true,
    .basicsize = sizeof(BooleanAttribute),
    .common = {RUVO_FIELD(BooleanAttribute, attrtype), RUVO_FIELD(BooleanAttribute, sync),
               RUVO_FIELD(BooleanAttribute, attrname)},
    .gc_fields = {},
    .other_fields = {},
    .create_fields = nullptr,
    .init = init<boolean_attribute_class, false>,
    .table = &boolean_table,
    .table_size = sizeof boolean_table,
    .attrvalue_slot = offsetof(BooleanAttributeTable, attrvalue),
    .fill_table = nullptr,
    .render = render_boolean,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: its attribute name when the\n"
                     "value is true, '' when it is false.",
    .members = nullptr,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<boolean_attribute_class>(),
};

AttributeClass logical_attribute_class = {
    .name = "_LogicalAttribute",
    .doc = kLogicalDoc,
    .base = Outside::BooleanProperty,
    .in_all = false,
    .basicsize = sizeof(BooleanAttribute),
    .common = {RUVO_FIELD(BooleanAttribute, attrtype), RUVO_FIELD(BooleanAttribute, sync),
               RUVO_FIELD(BooleanAttribute, attrname)},
    .gc_fields = {},
    .other_fields = {},
    .create_fields = nullptr,
    .init = init<logical_attribute_class, true>,
    .table = &logical_table,
    .table_size = sizeof logical_table,
    .attrvalue_slot = offsetof(BooleanAttributeTable, attrvalue),
    .fill_table = nullptr,
    .render = render_logical,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: 'true' or 'false', '' for None.",
    .members = nullptr,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<logical_attribute_class>(),
};

}  // namespace ruvo::attributes
