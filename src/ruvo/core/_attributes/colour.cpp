// _ColorAttribute: a colour stored as three or four components (or a special
// value from `options`), given as a list, a tuple or a colour text, rendered
// as a CSS colour function or as components scaled to 0..1.
#include "common.hpp"
#include "number_text.hpp"

namespace ruvo::attributes {

extern AttributeClass color_attribute_class;

namespace {

struct ColorAttribute {
    fw::Property base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
    PyObject* format;    // str or None: "css" for rgb()/rgba(), else the bare form
    PyObject* options;   // list (None once cleared): special values stored as given
};

// The components of a colour text: a list or None; new reference or null.
using ParseStrOp = PyObject* (*)(PyObject* self, PyObject* obj, PyObject* value);

struct ColorAttributeTable {
    fw::PropertyTable base;
    AttrvalueOp attrvalue;
    ParseStrOp parse_str;
};

ColorAttributeTable table;

ColorAttribute* as_color(PyObject* self) { return reinterpret_cast<ColorAttribute*>(self); }

struct {
    PyObject* format;
    PyObject* components;
    PyObject* invalid_format;
    PyObject* close;
    PyObject* rgb;      // "rgb("
    PyObject* rgba;     // "rgba("
    PyObject* comma;    // ", "
    PyObject* paren;    // ")"
    PyObject* max;      // 255
} S;

CachedGlobal parser_global("get_color_from_hex_255");

constexpr const char* kConvert = "ruvo.core._attributes._ColorAttribute.convert";
constexpr const char* kParseStr = "ruvo.core._attributes._ColorAttribute.parse_str";

int create_fields(PyObject* self) {
    set_field(self, RUVO_FIELD(ColorAttribute, format), T.empty);
    Py_XSETREF(as_color(self)->options, PyList_New(0));
    return as_color(self)->options ? 0 : -1;
}

// __init__(self, defaultvalue=None, **kwargs)
const Params init_params("__init__", {"defaultvalue"}, 0);

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    const char* qual = color_attribute_class.qual_init;
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kwargs;
    if (init_params.parse(args, kwds, a, keep, &kwargs) < 0) RUVO_ATTR_FAIL(qual, -1);
    if (!kwargs) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) RUVO_ATTR_FAIL(qual, -1);
    }
    PyObject* defaultvalue = a[0] ? a[0] : Py_None;
    const CommonOffsets& common = color_attribute_class.common;
    if (read_text_keyword(self, common.attrtype, kwargs.get(), T.attrtype) < 0 ||
        read_text_keyword(self, common.attrname, kwargs.get(), T.attrname) < 0 ||
        read_text_keyword(self, RUVO_FIELD(ColorAttribute, format), kwargs.get(), intern(&S.format, "format")) < 0 ||
        read_sync_keyword(self, common.sync, kwargs.get()) < 0) {
        RUVO_ATTR_FAIL(qual, -1);
    }
    Ref options = Ref::steal(list_keyword(kwargs.get(), T.options));
    if (!options) RUVO_ATTR_FAIL(qual, -1);
    set_field(self, RUVO_FIELD(ColorAttribute, options), options.get());
    if (force_allownone(kwargs.get()) < 0) RUVO_ATTR_FAIL(qual, -1);
    Ref base_args = Ref::steal(PyTuple_Pack(1, defaultvalue));
    if (!base_args || call_base_init(&color_attribute_class.type, self, base_args.get(), kwargs.get()) < 0) {
        RUVO_ATTR_FAIL(qual, -1);
    }
    return 0;
}

// ValueError "CLS.NAME" + `message` + repr(value) + ")". Returns null.
PyObject* raise_with_repr(PyObject* self, PyObject* obj, PyObject* message, PyObject* value) {
    Ref shown = Ref::steal(PyObject_Repr(value));
    return raise_value_error(self, obj, {message, shown.get(), intern(&S.close, ")")});
}

// The colour parser of the module's namespace, looked up at every call.
PyObject* parse_str(PyObject*, PyObject*, PyObject* value) {
    Ref parser = parser_global.get(module_def.dict);
    if (!parser) RUVO_ATTR_FAIL(kParseStr, nullptr);
    Ref result = Ref::steal(PyObject_CallOneArg(parser.get(), value));
    if (!result || !check_exact_or_none(result.get(), &PyList_Type)) RUVO_ATTR_FAIL(kParseStr, nullptr);
    return result.release();
}

PyObject* convert_value(PyObject* self, PyObject* obj, PyObject* value) {
    if (value == Py_None) Py_RETURN_NONE;
    Ref options = Ref::borrow(as_color(self)->options);
    int listed = PySequence_Contains(options.get(), value);
    if (listed < 0) return nullptr;
    if (listed) return Py_NewRef(value);
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const Py_ssize_t n = Py_SIZE(value);
        if (n != 3 && n != 4) {
            return raise_with_repr(self, obj, intern(&S.components, " must have 3 or 4 components (got "), value);
        }
        return PySequence_List(value);
    }
    if (PyUnicode_Check(value)) {
        auto* tab = reinterpret_cast<ColorAttributeTable*>(reinterpret_cast<fw::Property*>(self)->vtab);
        return tab->parse_str(self, obj, value);
    }
    return raise_with_repr(self, obj, intern(&S.invalid_format, " has an invalid format (got "), value);
}

PyObject* convert(fw::Property* self, PyObject* obj, PyObject* value) {
    PyObject* result = convert_value(reinterpret_cast<PyObject*>(self), obj, value);
    if (!result) RUVO_ATTR_FAIL(kConvert, nullptr);
    return result;
}

// The texts of the rendering, created on first use.
int make_texts() {
    if (!intern(&S.rgb, "rgb(") || !intern(&S.rgba, "rgba(") || !intern(&S.comma, ", ") ||
        !intern(&S.paren, ")")) {
        return -1;
    }
    if (!S.max) S.max = PyLong_FromLong(255);
    return S.max ? 0 : -1;
}

bool is_css(PyObject* format) {
    return format && PyUnicode_Check(format) && PyUnicode_GET_LENGTH(format) == 3 &&
           PyUnicode_CompareWithASCIIString(format, "css") == 0;
}

// Joins `texts` (count n, owned) as PREFIX t0, t1, ... SUFFIX.
PyObject* join_components(PyObject* prefix, Ref* texts, Py_ssize_t n, PyObject* suffix) {
    PyObject* pieces[2 * 4 + 1];
    Py_ssize_t k = 0;
    if (prefix) pieces[k++] = prefix;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) pieces[k++] = S.comma;
        pieces[k++] = texts[i].get();
    }
    if (suffix) pieces[k++] = suffix;
    return concat(pieces, k).release();
}

// format(item, "") for an item whose formatting runs no code (an exact int,
// float or str); null without an error for any other item.
PyObject* plain_text(PyObject* item) {
    if (PyLong_CheckExact(item)) return int_text(item);
    if (PyFloat_CheckExact(item)) return float_text(item);
    if (PyUnicode_CheckExact(item)) return Py_NewRef(item);
    return nullptr;
}

// "rgb({0}, {1}, {2})" or "rgba({0}, {1}, {2}, {3})" formatted with the
// components as positional arguments.
PyObject* render_css(PyObject* value, Py_ssize_t count) {
    Ref texts[4];
    if (PyList_CheckExact(value) && PyList_GET_SIZE(value) >= count) {
        Py_ssize_t done = 0;
        for (; done < count; ++done) {
            texts[done] = Ref::steal(plain_text(PyList_GET_ITEM(value, done)));
            if (!texts[done]) break;
        }
        if (done == count) return join_components(count == 3 ? S.rgb : S.rgba, texts, count, S.paren);
        if (PyErr_Occurred()) return nullptr;
    }
    Ref args = Ref::steal(PySequence_Tuple(value));
    if (!args) return nullptr;
    const Py_ssize_t given = PyTuple_GET_SIZE(args.get());
    if (given < count) {
        PyErr_Format(PyExc_IndexError, "Replacement index %zd out of range for positional args tuple", given);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        texts[i] = Ref::steal(PyObject_Format(PyTuple_GET_ITEM(args.get(), i), T.empty));
        if (!texts[i]) return nullptr;
    }
    return join_components(count == 3 ? S.rgb : S.rgba, texts, count, S.paren);
}

// "{}, {}, {}" (or four) with red, green and blue divided by 255 and the
// alpha as it is.
PyObject* render_bare(PyObject* value, Py_ssize_t count) {
    Ref texts[4];
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(value, i));
        if (!item) return nullptr;
        if (i < 3) {
            long small = PyLong_CheckExact(item.get()) ? small_int(item.get()) : -1;
            if (small >= 0) {
                texts[i] = Ref::steal(scaled_text(small));
                if (!texts[i]) return nullptr;
                continue;
            }
            item = Ref::steal(PyNumber_TrueDivide(item.get(), S.max));
            if (!item) return nullptr;
        }
        texts[i] = Ref::steal(PyFloat_CheckExact(item.get()) ? float_text(item.get())
                                                             : PyObject_Format(item.get(), T.empty));
        if (!texts[i]) return nullptr;
    }
    return join_components(nullptr, texts, count, nullptr);
}

PyObject* render(PyObject* self, PyObject* obj) {
    if (make_texts() < 0) return nullptr;
    Ref value = Ref::steal(get_value(self, obj));
    if (!value) return nullptr;
    if (value.get() == Py_None) return Py_NewRef(T.empty);
    if (PyUnicode_Check(value.get())) return value.release();
    const Py_ssize_t n = PyObject_Size(value.get());
    if (n < 0) return nullptr;
    const Py_ssize_t count = n == 3 ? 3 : 4;
    return is_css(as_color(self)->format) ? render_css(value.get(), count) : render_bare(value.get(), count);
}

void fill_table(void* t) {
    auto* tab = static_cast<ColorAttributeTable*>(t);
    tab->base.convert = convert;
    tab->parse_str = parse_str;
}

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kDoc =
    "_ColorAttribute(defaultvalue=None, *, attrtype='', attrname='', sync=0, format='', options=(), **kw)\n--\n\n"
    "A ListAttribute with 3 or 4 elements with RGB or RGBA color values.\n"
    "\n"
    "    The colour may be given as a list or tuple of its components (red,\n"
    "    green and blue from 0 to 255, alpha from 0 to 1) or as a colour text\n"
    "    such as '#ff0000' or '#ff000080'.\n"
    "\n"
    "    :Parameters:\n"
    "        `defaultvalue`: list, defaults to None\n"
    "        Specifies the default value of the attribute.\n"
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n"
    "        `options`: list, special values (for example 'inherit') that are stored and rendered as given.\n"
    "        `format`: string, 'css' renders rgb(r, g, b) or rgba(r, g, b, a); '' renders the\n"
    "        components scaled to 0..1, separated by commas.\n"
    "    ";

}  // namespace

AttributeClass color_attribute_class = {
    .name = "_ColorAttribute",
    .doc = kDoc,
    .base = Outside::Property,
    .in_all = true,
    .basicsize = sizeof(ColorAttribute),
    .common = {RUVO_FIELD(ColorAttribute, attrtype), RUVO_FIELD(ColorAttribute, sync),
               RUVO_FIELD(ColorAttribute, attrname)},
    .gc_fields = {RUVO_FIELD(ColorAttribute, options)},
    .other_fields = {RUVO_FIELD(ColorAttribute, format)},
    .create_fields = create_fields,
    .init = init,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(ColorAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: rgb(...) or rgba(...) with\n"
                     "format 'css', else the components scaled to 0..1; an option text as\n"
                     "it is; '' for None.",
    .members = nullptr,
    .getset = nullptr,
    .methods = nullptr,
    .kit = kit<color_attribute_class>(),
};

}  // namespace ruvo::attributes
