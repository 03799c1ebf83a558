// _ListAttribute: a list value rendered as its items joined by ", ", and
// accepted only as the framework's own ObservableList, optionally of a fixed
// length.
#include <charconv>
#include <cstring>

#include "common.hpp"

namespace ruvo::attributes {

extern AttributeClass list_attribute_class;

namespace {

struct ListAttribute {
    fw::ListProperty base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* length;    // None, or the required number of items (any object)
    PyObject* attrname;  // str or None
};

struct ListAttributeTable {
    fw::PropertyTable base;
    AttrvalueOp attrvalue;
};

ListAttributeTable table;

constexpr const char* kCheck = "ruvo.core._attributes._ListAttribute.check";

struct {
    PyObject* length;
    PyObject* wrong_length;
    PyObject* accept_only;
    PyObject* separator;
} S;

CachedGlobal observable_list("ObservableList");

int create_fields(PyObject* self) {
    set_field(self, RUVO_FIELD(ListAttribute, length), Py_None);
    return 0;
}

// Any keywords, all collected (strings only); no positional parameter of its own.
const Params init_params("__init__", {}, 0);

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    const char* qual = list_attribute_class.qual_init;
    Ref kwargs;
    PyObject* unused[1];
    Ref keep;  // holds the keyword arguments while they are used
    if (init_params.parse(nullptr, kwds, unused, keep, &kwargs) < 0) RUVO_ATTR_FAIL(qual, -1);
    if (!kwargs) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) RUVO_ATTR_FAIL(qual, -1);
    }
    if (read_common_keywords(self, list_attribute_class.common, kwargs.get()) < 0) RUVO_ATTR_FAIL(qual, -1);
    if (!intern(&S.length, "length")) RUVO_ATTR_FAIL(qual, -1);
    PyObject* length = PyDict_GetItemWithError(kwargs.get(), S.length);
    if (!length && PyErr_Occurred()) RUVO_ATTR_FAIL(qual, -1);
    set_field(self, RUVO_FIELD(ListAttribute, length), length ? length : Py_None);
    if (call_base_init(&list_attribute_class.type, self, args, kwargs.get()) < 0) RUVO_ATTR_FAIL(qual, -1);
    return 0;
}

PyObject* check(fw::Property* self, PyObject* obj, PyObject* value) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    Ref base = Ref::steal(outside_table<fw::PropertyTable>(Outside::Property)->check(self, obj, value));
    if (!base) RUVO_ATTR_FAIL(kCheck, nullptr);
    int accepted = PyObject_IsTrue(base.get());
    if (accepted < 0) RUVO_ATTR_FAIL(kCheck, nullptr);
    if (accepted) Py_RETURN_TRUE;
    // The length test comes first: a value without a length fails in len().
    Ref length = Ref::borrow(reinterpret_cast<ListAttribute*>(self)->length);
    if (length.get() != Py_None) {
        Py_ssize_t n = PyObject_Size(value);
        if (n < 0) RUVO_ATTR_FAIL(kCheck, nullptr);
        Ref count = Ref::steal(PyLong_FromSsize_t(n));
        int wrong = count ? PyObject_RichCompareBool(count.get(), length.get(), Py_NE) : -1;
        if (wrong < 0) RUVO_ATTR_FAIL(kCheck, nullptr);
        if (wrong) {
            Ref shown = Ref::steal(PyObject_Format(length.get(), T.empty));
            if (shown && intern(&S.wrong_length, "Length of input array is wrong, must be ")) {
                PyObject* pieces[2] = {S.wrong_length, shown.get()};
                Ref message = concat(pieces, 2);
                if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            }
            RUVO_ATTR_FAIL(kCheck, nullptr);
        }
    }
    Ref accepted_type = observable_list.get(module_def.dict);
    if (!accepted_type) RUVO_ATTR_FAIL(kCheck, nullptr);
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == accepted_type.get()) Py_RETURN_NONE;
    raise_value_error(me, obj, {intern(&S.accept_only, " accept only ObservableList")});
    RUVO_ATTR_FAIL(kCheck, nullptr);
}

// The text of one item, as str() writes it.
int add_item(Pieces& texts, PyObject* item) {
    if (PyUnicode_CheckExact(item)) return texts.add(item);
    return texts.add(PyFloat_CheckExact(item) ? float_text(item) : Ref::steal(PyObject_Str(item)));
}

// The common case written in one go: a short sequence of one-byte texts,
// ints and floats, none of which runs code while it is written out. Returns
// null without an exception when the sequence holds anything else.
PyObject* join_simple(PyObject* seq) {
    constexpr Py_ssize_t kMaxItems = 32;
    constexpr int kIntMax = 24;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n < 1 || n > kMaxItems) return nullptr;
    struct Span {
        const char* data;
        Py_ssize_t len;
    };
    Span spans[kMaxItems];
    char numbers[kMaxItems * kFloatTextMax];
    char* free_at = numbers;
    Py_ssize_t total = 2 * (n - 1);
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
        if (PyUnicode_CheckExact(item)) {
            if (PyUnicode_READY(item) < 0 || PyUnicode_KIND(item) != PyUnicode_1BYTE_KIND) {
                PyErr_Clear();
                return nullptr;
            }
            ascii = ascii && PyUnicode_IS_ASCII(item);
            spans[i] = {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(item)), PyUnicode_GET_LENGTH(item)};
        } else if (PyFloat_CheckExact(item)) {
            int len = format_float(PyFloat_AS_DOUBLE(item), free_at);
            if (len < 0) return nullptr;
            spans[i] = {free_at, len};
            free_at += len;
        } else if (PyLong_CheckExact(item)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow || (v == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return nullptr;
            }
            char* end = std::to_chars(free_at, free_at + kIntMax, v).ptr;
            spans[i] = {free_at, end - free_at};
            free_at = end;
        } else {
            return nullptr;
        }
        total += spans[i].len;
    }
    PyObject* result = PyUnicode_New(total, ascii ? 127 : 255);
    if (!result) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) {
            *out++ = ',';
            *out++ = ' ';
        }
        std::memcpy(out, spans[i].data, static_cast<size_t>(spans[i].len));
        out += spans[i].len;
    }
    return result;
}

// The items joined by ", "; "" for a false value (None, an empty list).
PyObject* render(PyObject* self, PyObject* obj) {
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return nullptr;
    if (!truth) return Py_NewRef(T.empty);
    if (!intern(&S.separator, ", ")) return nullptr;
    PyObject* v = value.get();
    Pieces texts;
    // Lists and tuples by index (also a list subclass that iterates as a list
    // does, such as ObservableList), each item held while str() runs code
    // that may change the list.
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v) ||
        (PyList_Check(v) && Py_TYPE(v)->tp_iter == PyList_Type.tp_iter)) {
        if (PyObject* simple = join_simple(v)) return simple;
        if (PyErr_Occurred()) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(v, i));
            if (add_item(texts, item.get()) < 0) return nullptr;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(v));
        if (!it) return nullptr;
        while (PyObject* next = PyIter_Next(it.get())) {
            Ref item = Ref::steal(next);
            if (add_item(texts, item.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return texts.join(S.separator).release();
}

void fill_table(void* t) { static_cast<ListAttributeTable*>(t)->base.check = check; }

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kDoc =
    "_ListAttribute(defaultvalue=None, *, attrtype='', attrname='', sync=0, length=None, **kw)\n--\n\n"
    "List html attribute class which returns comma separated list of values as strings.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: list, defaults to []\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "    ";

}  // namespace

AttributeClass list_attribute_class = {
    .name = "_ListAttribute",
    .doc = kDoc,
    .base = Outside::ListProperty,
    .in_all = false,
    .basicsize = sizeof(ListAttribute),
    .common = {RUVO_FIELD(ListAttribute, attrtype), RUVO_FIELD(ListAttribute, sync),
               RUVO_FIELD(ListAttribute, attrname)},
    .gc_fields = {RUVO_FIELD(ListAttribute, length)},
    .other_fields = {},
    .create_fields = create_fields,
    .init = init,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(ListAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: its items as str() writes\n"
                     "them, joined by ', '; '' for None or an empty list.",
    .members = nullptr,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<list_attribute_class>(),
};

}  // namespace ruvo::attributes
