// _ListAttribute: a list value rendered as its items joined by ", ", and
// accepted only as the framework's own ObservableList, optionally of a fixed
// length.
#include "attribute_class.hpp"
#include "keywords.hpp"
#include "plain_text.hpp"

namespace ruvo::attributes {

extern AttributeType list_attribute_type;

namespace {

struct ListAttribute {
    framework::ListProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* length;    // None, or the required number of items (any object)
    PyObject* attrname;  // str or None
};

struct ListAttributeTable {
    framework::PropertyTable base;
    AttrvalueOp attrvalue;
};

ListAttributeTable table;

const ClassSites sites{class_names<"_ListAttribute">};
const Site check_site{module_def, "_ListAttribute.check"};

struct {
    PyObject* length;
    PyObject* wrong_length;
    PyObject* accept_only;
    PyObject* separator;
} messages;

CachedGlobal observable_list("ObservableList");

int create_fields(PyObject* self) {
    set_field(reinterpret_cast<ListAttribute*>(self)->length, Ref::borrow(Py_None));
    return 0;
}

// Any keywords, all collected (strings only); no positional parameter of its own.
const Params init_params("__init__", {}, 0);

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    InitArgs in;
    if (in.parse(init_params, nullptr, kwds) < 0) return -1;
    PyObject* kwargs = in.kwargs.get();
    ListAttribute* record = reinterpret_cast<ListAttribute*>(self);
    if (read_common_keywords(record, kwargs) < 0) return -1;
    if (!intern(&messages.length, "length")) return -1;
    PyObject* length = PyDict_GetItemWithError(kwargs, messages.length);
    if (!length && PyErr_Occurred()) return -1;
    set_field(record->length, Ref::borrow(length ? length : Py_None));
    return call_base_init(&list_attribute_type.type, self, args, kwargs);
}

Ref check(framework::Property* self, PyObject* obj, PyObject* value) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    Ref base = Ref::steal(framework_table<framework::PropertyTable>(FrameworkType::Property)->check(self, obj, value));
    if (!base) return {};
    int accepted = PyObject_IsTrue(base.get());
    if (accepted < 0) return {};
    if (accepted) return Ref::borrow(Py_True);
    // The length test comes first: a value without a length fails in len().
    Ref length = Ref::borrow(reinterpret_cast<ListAttribute*>(self)->length);
    if (length.get() != Py_None) {
        Py_ssize_t n = PyObject_Size(value);
        if (n < 0) return {};
        Ref count = Ref::steal(PyLong_FromSsize_t(n));
        int wrong = count ? PyObject_RichCompareBool(count.get(), length.get(), Py_NE) : -1;
        if (wrong < 0) return {};
        if (wrong) {
            Ref shown = Ref::steal(PyObject_Format(length.get(), texts.empty));
            if (shown && intern(&messages.wrong_length, "Length of input array is wrong, must be ")) {
                PyObject* pieces[2] = {messages.wrong_length, shown.get()};
                Ref message = concat(pieces, 2);
                if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            }
            return {};
        }
    }
    Ref accepted_type = observable_list.get(module_def.dict);
    if (!accepted_type) return {};
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == accepted_type.get()) return Ref::borrow(Py_None);
    return raise_value_error(me, obj, {intern(&messages.accept_only, " accept only ObservableList")});
}

// The text of one item, as str() writes it.
int add_item(Pieces& parts, PyObject* item) {
    if (PyUnicode_CheckExact(item)) return parts.add(item);
    return parts.add(PyFloat_CheckExact(item) ? float_text(item) : Ref::steal(PyObject_Str(item)));
}

// The items joined by ", "; "" for a false value (None, an empty list).
Ref render(PyObject* self, PyObject* obj) {
    Ref value = get_value(self, obj);
    if (!value) return {};
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return {};
    if (!truth) return Ref::borrow(texts.empty);
    if (!intern(&messages.separator, ", ")) return {};
    PyObject* v = value.get();
    Pieces parts;
    // Lists and tuples by index (also a list subclass that iterates as a list
    // does, such as ObservableList), each item held while str() runs code
    // that may change the list.
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v) ||
        (PyList_Check(v) && Py_TYPE(v)->tp_iter == PyList_Type.tp_iter)) {
        // Plain items are joined in one pass; the first other one sends
        // the whole list down the general path.
        PlainText<32> plain;
        Py_ssize_t i = 0;
        while (i < PySequence_Fast_GET_SIZE(v) && plain.add(PySequence_Fast_GET_ITEM(v, i))) ++i;
        if (i == PySequence_Fast_GET_SIZE(v)) return plain.join(", ");
        for (i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(v, i));
            if (add_item(parts, item.get()) < 0) return {};
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(v));
        if (!it) return {};
        while (PyObject* next = PyIter_Next(it.get())) {
            Ref item = Ref::steal(next);
            if (add_item(parts, item.get()) < 0) return {};
        }
        if (PyErr_Occurred()) return {};
    }
    return parts.join(messages.separator);
}

void fill_table(void* t) { static_cast<ListAttributeTable*>(t)->base.check = reported<check_site, check>; }

std::array members = members_of<ListAttribute>();

constexpr auto kDoc = class_doc(
    "_ListAttribute(defaultvalue=None, *, attrtype='', attrname='', sync=0, length=None, **kw)",
    "List html attribute class which returns comma separated list of values as strings.\n",
    "        `defaultvalue`: list, defaults to []\n"
    "        Specifies the default value of the attribute.\n");

constexpr AttributeClass description = {
    .sites = sites,
    .type = list_attribute_type.type,
    .base = FrameworkType::ListProperty,
    .in_all = false,
    .basicsize = sizeof(ListAttribute),
    .common = common_offsets<ListAttribute>(),
    .gc_fields = {offsetof(ListAttribute, length)},
    .other_fields = {},
    .create_fields = create_fields,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(ListAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
};

}  // namespace

AttributeType list_attribute_type = declare_type<description>({
    .doc = kDoc.data(),
    .init = reported<sites.init, init>,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: its items as str() writes\n"
                     "them, joined by ', '; '' for None or an empty list.",
    .members = members.data(),
});

}  // namespace ruvo::attributes
