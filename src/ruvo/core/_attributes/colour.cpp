// _ColorAttribute: a colour stored as three or four components (or a special
// value from `options`), given as a list, a tuple or a colour text, rendered
// as a CSS colour function or as components scaled to 0..1.
#include "attribute_class.hpp"
#include "keywords.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

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
    if (!format || !PyUnicode_Check(format)) return false;
    if (!PyUnicode_IS_READY(format)) return PyUnicode_CompareWithASCIIString(format, "css") == 0;
    return PyUnicode_GET_LENGTH(format) == 3 && PyUnicode_KIND(format) == PyUnicode_1BYTE_KIND &&
           std::memcmp(PyUnicode_1BYTE_DATA(format), "css", 3) == 0;
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

// Copies an ASCII text kept by float_text's cache to `out`; null when the
// cache could not make it (an exception is set).
char* copy_text(char* out, const Ref& text) {
    if (!text) return nullptr;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    std::memcpy(out, PyUnicode_1BYTE_DATA(text.get()), static_cast<size_t>(n));
    return out + n;
}

// The decimal texts of 0..255, the components of most colours, each with its
// length in its last byte: one four-byte copy writes one.
constexpr std::array<std::array<char, 4>, 256> kByteTexts = [] {
    std::array<std::array<char, 4>, 256> table{};
    for (int i = 0; i < 256; ++i) {
        char* p = table[i].data();
        if (i >= 100) *p++ = static_cast<char>('0' + i / 100);
        if (i >= 10) *p++ = static_cast<char>('0' + i / 10 % 10);
        *p++ = static_cast<char>('0' + i % 10);
        table[i][3] = static_cast<char>(p - table[i].data());
    }
    return table;
}();

// Writes the text of i / 255 for i in 0..255 (the scaled components of most
// colours), made on first use and then copied with one fixed-size copy.
char* write_scaled_byte(char* out, long i) {
    struct Text {
        char text[kFloatTextMax];
        int length;  // 0 until made
    };
    static Text table[256];
    Text& t = table[i];
    if (!t.length) t.length = format_float(static_cast<double>(i) / 255.0, t.text);  // finite: never -1
    std::memcpy(out, t.text, kFloatTextMax);
    return out + t.length;
}

// Writes format(item, "") of an exact int or float at `out`, or of item / 255
// when `scaled`, and returns the end; the fixed-size copies may fill the
// kFloatTextMax bytes that the buffer leaves free for each item. Null without
// an error when the general path must write it: another kind, an int beyond
// 64 bits (or beyond 2**53 scaled, where Python's division is not one double
// division); null with one when a text could not be made.
char* write_number(char* out, PyObject* item, bool scaled) {
    double d;
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow) return nullptr;
        const bool byte = i >= 0 && i <= 255;
        if (byte && scaled) return write_scaled_byte(out, static_cast<long>(i));
        if (byte) {
            std::memcpy(out, kByteTexts[i].data(), 4);
            return out + kByteTexts[i][3];
        }
        if (!scaled) return std::to_chars(out, out + kFloatTextMax, i).ptr;
        constexpr long long exact = 1LL << 53;
        if (i < -exact || i > exact) return nullptr;
        d = static_cast<double>(i) / 255.0;
    } else if (PyFloat_CheckExact(item)) {
        if (!scaled) return copy_text(out, float_text(item));
        d = PyFloat_AS_DOUBLE(item) / 255.0;
    } else {
        return nullptr;
    }
    // A float object, not a text: float_text keeps the texts of recent values.
    Ref quotient = Ref::steal(PyFloat_FromDouble(d));
    return quotient ? copy_text(out, float_text(quotient.get())) : nullptr;
}

// The fast path of the rendering: a stored exact list or tuple whose first
// `count` items are exact ints and floats, written in one pass into one
// buffer and made into one str. Safe because nothing here runs Python code:
// the sequence cannot change while its items are read. Null without an error
// when write_number declines an item (the general path renders the value),
// with one when a text could not be made.
Ref render_numbers(PyObject* value, Py_ssize_t count, bool css) {
    PyObject* const* items;
    if (PyList_CheckExact(value) && PyList_GET_SIZE(value) >= count) {
        items = reinterpret_cast<PyListObject*>(value)->ob_item;
    } else if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) >= count) {
        items = reinterpret_cast<PyTupleObject*>(value)->ob_item;
    } else {
        return {};
    }
    char buffer[8 + 4 * (kFloatTextMax + 2)];
    char* at = buffer;
    if (css) at = std::copy_n(count == 3 ? "rgb(" : "rgba(", count == 3 ? 4 : 5, at);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i) at = std::copy_n(", ", 2, at);
        at = write_number(at, items[i], !css && i < 3);
        if (!at) return {};  // declined, or failed with the exception set
    }
    if (css) *at++ = ')';
    const Py_ssize_t n = at - buffer;
    Ref text = Ref::steal(PyUnicode_New(n, 127));
    if (text) std::memcpy(PyUnicode_1BYTE_DATA(text.get()), buffer, static_cast<size_t>(n));
    return text;
}

// "rgb({0}, {1}, {2})" or "rgba({0}, {1}, {2}, {3})" formatted with the
// components as positional arguments.
Ref render_css(PyObject* value, Py_ssize_t count) {
    Ref parts[4];
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
            item = Ref::steal(PyNumber_TrueDivide(item.get(), colour_texts.max));
            if (!item) return {};
        }
        parts[i] = Ref::steal(PyObject_Format(item.get(), texts.empty));
        if (!parts[i]) return {};
    }
    return join_components(nullptr, parts, count, nullptr);
}

Ref render(PyObject* self, PyObject* obj) {
    Ref value = get_value(self, obj);
    if (!value) return {};
    if (value.get() == Py_None) return Ref::borrow(texts.empty);
    if (PyUnicode_Check(value.get())) return value;
    const Py_ssize_t n = PyObject_Size(value.get());
    if (n < 0) return {};
    const Py_ssize_t count = n == 3 ? 3 : 4;
    const bool css = is_css(as_color(self)->format);
    if (Ref text = render_numbers(value.get(), count, css); text || PyErr_Occurred()) return text;
    if (make_texts() < 0) return {};
    return css ? render_css(value.get(), count) : render_bare(value.get(), count);
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
