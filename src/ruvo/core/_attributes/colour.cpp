// _ColorAttribute: a colour stored as three or four components (or a special
// value from `options`), given as a list, a tuple or a colour text, rendered
// as a CSS colour function or as components scaled to 0..1.
#include "attribute_class.hpp"
#include "keywords.hpp"
#include "number_text.hpp"

namespace ruvo::attributes {

extern AttributeType color_attribute_type;

namespace {

struct ColorAttribute {
    framework::Property base;
    PyObject* attrtype;  // str or None
    int32_t sync;
    PyObject* attrname;  // str or None
    PyObject* format;    // str or None: "css" for rgb()/rgba(), else the bare form
    PyObject* options;   // list (None once cleared): special values stored as given
};

// The components of a colour text: a list or None; new reference or null
// (a table operation: the framework's convention).
using ParseStrOp = PyObject* (*)(PyObject* self, PyObject* obj, PyObject* value);

struct ColorAttributeTable {
    framework::PropertyTable base;
    AttrvalueOp attrvalue;
    ParseStrOp parse_str;
};

ColorAttributeTable table;

ColorAttribute* as_color(PyObject* self) { return reinterpret_cast<ColorAttribute*>(self); }

struct {
    PyObject* format;
    PyObject* components;
    PyObject* invalid_format;
    PyObject* rgb;      // "rgb("
    PyObject* rgba;     // "rgba("
    PyObject* comma;    // ", "
    PyObject* max;      // 255
} colour_texts;

CachedGlobal parser_global("get_color_from_hex_255");

const ClassSites sites{class_names<"_ColorAttribute">};
const Site convert_site{module_def, "_ColorAttribute.convert"};
const Site parse_str_site{module_def, "_ColorAttribute.parse_str"};

int create_fields(PyObject* self) {
    set_field(as_color(self)->format, Ref::borrow(texts.empty));
    set_field(as_color(self)->options, Ref::steal(PyList_New(0)));
    return as_color(self)->options ? 0 : -1;
}

// __init__(self, defaultvalue=None, **kwargs)
const Params init_params("__init__", {"defaultvalue"}, 0);

int init(PyObject* self, PyObject* args, PyObject* kwds) {
    InitArgs in;
    if (in.parse(init_params, args, kwds) < 0) return -1;
    PyObject* defaultvalue = in.get(0, Py_None);
    PyObject* kwargs = in.kwargs.get();
    ColorAttribute* record = as_color(self);
    if (read_text_keyword(record->attrtype, kwargs, texts.attrtype) < 0 ||
        read_text_keyword(record->attrname, kwargs, texts.attrname) < 0 ||
        read_text_keyword(record->format, kwargs, intern(&colour_texts.format, "format")) < 0 ||
        read_sync_keyword(record->sync, kwargs) < 0) {
        return -1;
    }
    Ref options = list_keyword(kwargs, texts.options);
    if (!options) return -1;
    set_field(record->options, std::move(options));
    if (force_allownone(kwargs) < 0) return -1;
    Ref base_args = Ref::steal(PyTuple_Pack(1, defaultvalue));
    if (!base_args) return -1;
    return call_base_init(&color_attribute_type.type, self, base_args.get(), kwargs);
}

// The colour parser of the module's namespace, looked up at every call.
Ref parse_str(PyObject*, PyObject*, PyObject* value) {
    Ref parser = parser_global.get(module_def.dict);
    if (!parser) return {};
    Ref result = Ref::steal(PyObject_CallOneArg(parser.get(), value));
    if (!result || !check_exact_or_none(result.get(), &PyList_Type)) return {};
    return result;
}

Ref convert_value(PyObject* self, PyObject* obj, PyObject* value) {
    if (value == Py_None) return Ref::borrow(Py_None);
    Ref options = Ref::borrow(as_color(self)->options);
    int listed = PySequence_Contains(options.get(), value);
    if (listed < 0) return {};
    if (listed) return Ref::borrow(value);
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const Py_ssize_t n = Py_SIZE(value);
        if (n != 3 && n != 4) {
            PyObject* head = intern(&colour_texts.components, " must have 3 or 4 components (got ");
            return raise_with_repr(self, obj, head, value);
        }
        return Ref::steal(PySequence_List(value));
    }
    if (PyUnicode_Check(value)) {
        auto* tab = reinterpret_cast<ColorAttributeTable*>(reinterpret_cast<framework::Property*>(self)->vtab);
        return Ref::steal(tab->parse_str(self, obj, value));
    }
    return raise_with_repr(self, obj, intern(&colour_texts.invalid_format, " has an invalid format (got "), value);
}

Ref convert(framework::Property* self, PyObject* obj, PyObject* value) {
    return convert_value(reinterpret_cast<PyObject*>(self), obj, value);
}

// The texts of the rendering, created on first use.
int make_texts() {
    if (!intern(&colour_texts.rgb, "rgb(") || !intern(&colour_texts.rgba, "rgba(") ||
        !intern(&colour_texts.comma, ", ")) {
        return -1;
    }
    if (!colour_texts.max) colour_texts.max = PyLong_FromLong(255);
    return colour_texts.max ? 0 : -1;
}

bool is_css(PyObject* format) {
    return format && PyUnicode_Check(format) && PyUnicode_GET_LENGTH(format) == 3 &&
           PyUnicode_CompareWithASCIIString(format, "css") == 0;
}

// Joins `parts` (count n) as PREFIX t0, t1, ... SUFFIX.
Ref join_components(PyObject* prefix, Ref* parts, Py_ssize_t n, PyObject* suffix) {
    PyObject* pieces[2 * 4 + 1];
    Py_ssize_t k = 0;
    if (prefix) pieces[k++] = prefix;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) pieces[k++] = colour_texts.comma;
        pieces[k++] = parts[i].get();
    }
    if (suffix) pieces[k++] = suffix;
    return concat(pieces, k);
}

// format(item, "") for an item whose formatting runs no code (an exact int,
// float or str); null without an error for any other item.
Ref plain_text(PyObject* item) {
    if (PyLong_CheckExact(item)) return int_text(item);
    if (PyFloat_CheckExact(item)) return float_text(item);
    if (PyUnicode_CheckExact(item)) return Ref::borrow(item);
    return {};
}

// "rgb({0}, {1}, {2})" or "rgba({0}, {1}, {2}, {3})" formatted with the
// components as positional arguments.
Ref render_css(PyObject* value, Py_ssize_t count) {
    Ref parts[4];
    if (PyList_CheckExact(value) && PyList_GET_SIZE(value) >= count) {
        Py_ssize_t done = 0;
        for (; done < count; ++done) {
            parts[done] = plain_text(PyList_GET_ITEM(value, done));
            if (!parts[done]) break;
        }
        if (done == count) {
            return join_components(count == 3 ? colour_texts.rgb : colour_texts.rgba, parts, count, texts.close_paren);
        }
        if (PyErr_Occurred()) return {};
    }
    Ref args = Ref::steal(PySequence_Tuple(value));
    if (!args) return {};
    const Py_ssize_t given = PyTuple_GET_SIZE(args.get());
    if (given < count) {
        PyErr_Format(PyExc_IndexError, "Replacement index %zd out of range for positional args tuple", given);
        return {};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        parts[i] = Ref::steal(PyObject_Format(PyTuple_GET_ITEM(args.get(), i), texts.empty));
        if (!parts[i]) return {};
    }
    return join_components(count == 3 ? colour_texts.rgb : colour_texts.rgba, parts, count, texts.close_paren);
}

// "{}, {}, {}" (or four) with red, green and blue divided by 255 and the
// alpha as it is.
Ref render_bare(PyObject* value, Py_ssize_t count) {
    Ref parts[4];
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(value, i));
        if (!item) return {};
        if (i < 3) {
            long small = PyLong_CheckExact(item.get()) ? small_int(item.get()) : -1;
            if (small >= 0) {
                parts[i] = scaled_text(small);
                if (!parts[i]) return {};
                continue;
            }
            item = Ref::steal(PyNumber_TrueDivide(item.get(), colour_texts.max));
            if (!item) return {};
        }
        parts[i] = PyFloat_CheckExact(item.get()) ? float_text(item.get())
                                                  : Ref::steal(PyObject_Format(item.get(), texts.empty));
        if (!parts[i]) return {};
    }
    return join_components(nullptr, parts, count, nullptr);
}

Ref render(PyObject* self, PyObject* obj) {
    if (make_texts() < 0) return {};
    Ref value = get_value(self, obj);
    if (!value) return {};
    if (value.get() == Py_None) return Ref::borrow(texts.empty);
    if (PyUnicode_Check(value.get())) return value;
    const Py_ssize_t n = PyObject_Size(value.get());
    if (n < 0) return {};
    const Py_ssize_t count = n == 3 ? 3 : 4;
    return is_css(as_color(self)->format) ? render_css(value.get(), count) : render_bare(value.get(), count);
}

void fill_table(void* t) {
    auto* tab = static_cast<ColorAttributeTable*>(t);
    tab->base.convert = reported<convert_site, convert>;
    tab->parse_str = reported<parse_str_site, parse_str>;
}

std::array members = members_of<ColorAttribute>();

constexpr auto kDoc = class_doc(
    "_ColorAttribute(defaultvalue=None, *, attrtype='', attrname='', sync=0, format='', options=(), **kw)",
    "A ListAttribute with 3 or 4 elements with RGB or RGBA color values.\n"
    "\n"
    "    The colour may be given as a list or tuple of its components (red,\n"
    "    green and blue from 0 to 255, alpha from 0 to 1) or as a colour text\n"
    "    such as '#ff0000' or '#ff000080'.\n",
    "        `defaultvalue`: list, defaults to None\n"
    "        Specifies the default value of the attribute.\n",
    "        `options`: list, special values (for example 'inherit') that are stored and rendered as given.\n"
    "        `format`: string, 'css' renders rgb(r, g, b) or rgba(r, g, b, a); '' renders the\n"
    "        components scaled to 0..1, separated by commas.\n");

constexpr AttributeClass description = {
    .sites = sites,
    .type = color_attribute_type.type,
    .base = FrameworkType::Property,
    .in_all = true,
    .basicsize = sizeof(ColorAttribute),
    .common = common_offsets<ColorAttribute>(),
    .gc_fields = {offsetof(ColorAttribute, options)},
    .other_fields = {offsetof(ColorAttribute, format)},
    .create_fields = create_fields,
    .table = &table,
    .table_size = sizeof table,
    .attrvalue_slot = offsetof(ColorAttributeTable, attrvalue),
    .fill_table = fill_table,
    .render = render,
};

}  // namespace

AttributeType color_attribute_type = declare_type<description>({
    .doc = kDoc.data(),
    .init = reported<sites.init, init>,
    .attrvalue_doc = "attrvalue($self, obj)\n--\n\nThe attribute's text for the widget `obj`: rgb(...) or rgba(...) with\n"
                     "format 'css', else the components scaled to 0..1; an option text as\n"
                     "it is; '' for None.",
    .members = members.data(),
});

}  // namespace ruvo::attributes
