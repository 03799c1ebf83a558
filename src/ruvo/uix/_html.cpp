// ruvo.uix._html: joins style, class and attribute containers into HTML text
// and renders an element with the exact layout of the default template.
#include <cstring>
#include <string_view>
#include <utility>

#include "native.hpp"

using ruvo::Ref;

namespace {

extern ruvo::NativeModule module_def;

// Constant texts, created once at import.
struct Texts {
    PyObject* empty;
    PyObject* semicolon;
    PyObject* space;
    PyObject* colon_space;
    PyObject* equals_quote;
    PyObject* quote;
    PyObject* lt;
    PyObject* id_open;
    PyObject* id_close;
    PyObject* class_open;
    PyObject* style_open;
    PyObject* space_gt;
    PyObject* end_open;
    PyObject* gt;
    PyObject* items;
    PyObject* values;
    PyObject* html_escape;
    PyObject* quote_kwnames;  // ("quote",)
} texts;

int make_texts() {
    if (ruvo::intern_all({
            {&texts.empty, ""},
            {&texts.semicolon, ";"},
            {&texts.space, " "},
            {&texts.colon_space, ": "},
            {&texts.equals_quote, "=\""},
            {&texts.quote, "\""},
            {&texts.lt, "<"},
            {&texts.id_open, " id=\""},
            {&texts.id_close, "\" "},
            {&texts.class_open, " class=\""},
            {&texts.style_open, " style=\""},
            {&texts.space_gt, " >"},
            {&texts.end_open, "</"},
            {&texts.gt, ">"},
            {&texts.items, "items"},
            {&texts.values, "values"},
            {&texts.html_escape, "html_escape"},
        }) < 0) {
        return -1;
    }
    if (!texts.quote_kwnames) {
        Ref quote = Ref::steal(PyUnicode_InternFromString("quote"));
        if (!quote) return -1;
        texts.quote_kwnames = PyTuple_Pack(1, quote.get());
        if (!texts.quote_kwnames) return -1;
    }
    return 0;
}

// The standard library's html.escape when that is what was bound at import
// (with its code object): while the module global is still this function
// with the same code, escaping is done natively with the same result. A
// replacement bound at import in its place is always called.
PyObject* standard_escape = nullptr;
PyObject* standard_escape_code = nullptr;

// True for the function `escape` defined by the module `html` itself.
bool is_library_escape(PyObject* fn) {
    if (!PyFunction_Check(fn)) return false;
    PyObject* globals = PyFunction_GET_GLOBALS(fn);
    PyObject* modname = PyDict_GetItemString(globals, "__name__");
    PyObject* codename = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fn))->co_name;
    return modname && PyUnicode_Check(modname) && PyUnicode_CompareWithASCIIString(modname, "html") == 0 &&
           PyUnicode_CompareWithASCIIString(codename, "escape") == 0;
}

// ---------------------------------------------------------------------------
// Walking a container's entries.

int raise_need_more(Py_ssize_t index) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", index, index == 1 ? "" : "s");
    return -1;
}

int raise_too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    return -1;
}

// Unpacks one element of items() into exactly two values.
int unpack_pair(PyObject* item, Ref& key, Ref& value) {
    if (PyTuple_Check(item)) {
        Py_ssize_t n = PyTuple_GET_SIZE(item);
        if (n == 2) {
            key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
            value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
            return 0;
        }
        return n > 2 ? raise_too_many() : raise_need_more(n);
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) return -1;
    Ref* slots[2] = {&key, &value};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) return PyErr_Occurred() ? -1 : raise_need_more(i);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return raise_too_many();
    return PyErr_Occurred() ? -1 : 0;
}

// Calls visit(key, value) for each entry of `container` (key is null when
// `pairs` is false): an exact dict directly, anything else through the
// result of its method `method`.
template <class Visit>
int walk(PyObject* container, PyObject* method, bool pairs, Visit&& visit) {
    if (PyDict_CheckExact(container)) {
        const Py_ssize_t size = PyDict_GET_SIZE(container);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (;;) {
            if (PyDict_GET_SIZE(container) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            if (!PyDict_Next(container, &pos, &k, &v)) return 0;
            // The visit may run code that drops the dict's references.
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (visit(pairs ? key.get() : nullptr, value.get()) < 0) return -1;
        }
    }
    Ref seq = Ref::steal(PyObject_CallMethodNoArgs(container, method));
    if (!seq) return -1;
    auto element = [&](PyObject* item) -> int {
        if (!pairs) return visit(nullptr, item);
        Ref key, value;
        if (unpack_pair(item, key, value) < 0) return -1;
        return visit(key.get(), value.get());
    };
    if (PyList_CheckExact(seq.get()) || PyTuple_CheckExact(seq.get())) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (element(item.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq.get()));
    if (!it) return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        if (element(item.get()) < 0) return -1;
    }
}

// Adds format(value, "") to `text`: an exact str is itself and an exact int
// or float formats as its str, written without the method call.
int add_formatted(ruvo::TextBuilder& text, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return text.add(Ref::borrow(value));
    if (ruvo::is_exact_number(value)) return text.add_number(value);
    return text.add(Ref::steal(PyObject_Format(value, texts.empty)));
}

// Python truth, with the common exact types answered inline.
inline int truth_of(PyObject* v) {
    if (v == Py_None || v == Py_False) return 0;
    if (v == Py_True) return 1;
    if (PyUnicode_CheckExact(v) && PyUnicode_IS_READY(v)) return PyUnicode_GET_LENGTH(v) != 0;
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) != 0.0;
    return PyObject_IsTrue(v);
}

// ---------------------------------------------------------------------------
// The module functions.

const ruvo::Method join_style_method{module_def, "join_style", {"style_container"}};
const ruvo::Method join_cls_method{module_def, "join_cls", {"default_cls", "cls_container"}};
const ruvo::Method join_attributes_method{module_def, "join_attributes", {"attr_container"}};
const ruvo::Method render_method{module_def, "render_default_html",
                                 {"tagname", "tagid", "cls", "style", "attributes", "content"}};

Ref join_style(PyObject*, PyObject* container) {
    int truth = truth_of(container);
    if (truth <= 0) return truth < 0 ? Ref() : Ref::borrow(texts.empty);
    // Each entry is "{0}: {1}".format(key, value): the two formatted texts
    // around ": ", entries separated by ";", written once at the end.
    ruvo::TextBuilder text;
    int rc = walk(container, texts.items, true, [&](PyObject* key, PyObject* value) -> int {
        int t = truth_of(value);
        if (t <= 0) return t;
        if (text.count() && text.add(";") < 0) return -1;
        if (add_formatted(text, key) < 0 || text.add(": ") < 0) return -1;
        return add_formatted(text, value);
    });
    if (rc < 0) return Ref();
    return text.finish();
}

Ref join_cls(PyObject*, PyObject* default_cls, PyObject* container) {
    // list(default_cls), then the true container values, joined with " ":
    // as the join would, a part that is not a str fails once every part is
    // known, naming the first such part by its position.
    ruvo::TextBuilder text;
    Py_ssize_t nparts = 0, bad_index = -1;
    Ref bad;
    auto add_part = [&](Ref part) -> int {
        if (nparts++ && text.add(" ") < 0) return -1;
        if (PyUnicode_Check(part.get())) return text.add(std::move(part));
        if (!bad) {
            bad_index = nparts - 1;
            bad = std::move(part);
        }
        return 0;
    };
    int truth = truth_of(default_cls);
    if (truth < 0) return Ref();
    if (truth) {
        if (PyList_CheckExact(default_cls) || PyTuple_CheckExact(default_cls)) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(default_cls); ++i) {
                if (add_part(Ref::borrow(PySequence_Fast_GET_ITEM(default_cls, i))) < 0) return Ref();
            }
        } else {
            Ref it = Ref::steal(PyObject_GetIter(default_cls));
            if (!it) return it;
            for (;;) {
                Ref item = Ref::steal(PyIter_Next(it.get()));
                if (!item) break;
                if (add_part(std::move(item)) < 0) return Ref();
            }
            if (PyErr_Occurred()) return Ref();
        }
    }
    truth = truth_of(container);
    if (truth < 0) return Ref();
    if (truth) {
        int rc = walk(container, texts.values, false, [&](PyObject*, PyObject* value) -> int {
            int t = truth_of(value);
            if (t <= 0) return t;
            return add_part(Ref::borrow(value));
        });
        if (rc < 0) return Ref();
    }
    if (bad) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_index,
                     Py_TYPE(bad.get())->tp_name);
        return Ref();
    }
    return text.finish();
}

// The module global html_escape, looked up at each use; revalidated by the
// module dict's version, so that a rebinding counts at the next use.
ruvo::CachedGlobal html_escape_global{"html_escape"};

// key == value by the == protocol, as a truth value (1, 0 or -1).
int keys_equal(PyObject* key, PyObject* value) {
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(value)) {
        if (key == value) return 1;
        return PyUnicode_Compare(key, value) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
    }
    Ref eq = Ref::steal(PyObject_RichCompare(key, value, Py_EQ));
    if (!eq) return -1;
    return PyObject_IsTrue(eq.get());
}

// True when `key` is a str naming one of HTML's boolean attributes, in any
// case. Only these are written as a bare name when the value repeats the
// key: for any other attribute a bare name would empty its value.
bool is_boolean_attribute(PyObject* key) {
    // By first letter, at most four names each.
    static constexpr std::string_view kNames[26][4] = {
        /* a */ {"allowfullscreen", "async", "autofocus", "autoplay"},
        /* b */ {},
        /* c */ {"checked", "controls"},
        /* d */ {"default", "defer", "disabled"},
        /* e */ {},
        /* f */ {"formnovalidate"},
        /* g */ {},
        /* h */ {"hidden"},
        /* i */ {"inert", "ismap", "itemscope"},
        /* j */ {},
        /* k */ {},
        /* l */ {"loop"},
        /* m */ {"multiple", "muted"},
        /* n */ {"nomodule", "novalidate"},
        /* o */ {"open"},
        /* p */ {"playsinline"},
        /* q */ {},
        /* r */ {"readonly", "required", "reversed"},
        /* s */ {"selected"},
    };
    if (!PyUnicode_Check(key) || !PyUnicode_IS_READY(key) || !PyUnicode_IS_ASCII(key)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key));
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; };
    if (n < 4) return false;
    const char first = lower(text[0]);
    if (first < 'a' || first > 'z') return false;
    for (std::string_view name : kNames[first - 'a']) {
        if (name.size() != static_cast<size_t>(n)) continue;  // empty entries never match: n >= 4
        Py_ssize_t i = 1;
        while (i < n && lower(text[i]) == name[i]) ++i;
        if (i == n) return true;
    }
    return false;
}

Ref join_attributes(PyObject*, PyObject* container) {
    int truth = truth_of(container);
    if (truth <= 0) return truth < 0 ? Ref() : Ref::borrow(texts.empty);
    // Each part is the escaped text alone or key="text", parts separated by
    // " ", written once at the end. An escape that returned None for a bare
    // part makes the result fail, as joining a list of the parts would,
    // naming that part's position.
    ruvo::TextBuilder text;
    Py_ssize_t nparts = 0, none_part = -1;
    // The closing quote of a key="..." part is written with the separator
    // that follows it (or at the end): one constant text instead of two.
    bool quote_open = false;
    auto separate = [&]() -> int {
        const bool quote = std::exchange(quote_open, false);
        if (!nparts++) return 0;
        return quote ? text.add("\" ") : text.add(" ");
    };
    int rc = walk(container, texts.items, true, [&](PyObject* key, PyObject* value) -> int {
        int t = truth_of(value);
        if (t <= 0) return t;
        Ref escape = html_escape_global.get(module_def.dict);
        if (!escape) return -1;
        // The text of the value: itself for an exact str, else str(value);
        // an exact int or float is written from its number (str and repr
        // agree for both, and their text has nothing to escape).
        const bool number = ruvo::is_exact_number(value);
        Ref value_text;
        if (PyUnicode_CheckExact(value)) {
            value_text = Ref::borrow(value);
        } else if (!number) {
            value_text = Ref::steal(PyObject_Str(value));
            if (!value_text) return -1;
        }
        // The standard library's escape, unchanged since import, is done
        // natively as the text is written; any other is called.
        const bool native = escape.get() == standard_escape && PyFunction_GET_CODE(standard_escape) == standard_escape_code;
        Ref escaped;
        if (!native) {
            if (!value_text) value_text = Ref::steal(PyObject_Str(value));
            if (!value_text) return -1;
            PyObject* call_args[] = {value_text.get(), Py_True};
            escaped = Ref::steal(PyObject_Vectorcall(escape.get(), call_args, 1, texts.quote_kwnames));
            if (!escaped || !ruvo::check_exact_or_none(escaped.get(), &PyUnicode_Type)) return -1;
        }
        int eq = is_boolean_attribute(key) ? keys_equal(key, value) : 0;
        if (eq < 0) return -1;
        if (eq && escaped.get() == Py_None) {
            if (separate() < 0) return -1;
            if (none_part < 0) none_part = nparts - 1;
            return 0;
        }
        // The value as written: escaped natively, or the escape's result
        // (None in key="..." is written as its format, "None").
        auto add_value = [&]() -> int {
            if (native) return number ? text.add_number(value) : text.add_escaped(std::move(value_text));
            if (PyUnicode_CheckExact(escaped.get())) return text.add(std::move(escaped));
            return add_formatted(text, escaped.get());
        };
        if (eq) {
            if (separate() < 0) return -1;
            return add_value();
        }
        // The key's text is made before anything of this part is written,
        // as the format call would.
        Ref key_text;
        if (PyUnicode_CheckExact(key)) {
            key_text = Ref::borrow(key);
        } else if (!ruvo::is_exact_number(key)) {
            key_text = Ref::steal(PyObject_Format(key, texts.empty));
            if (!key_text) return -1;
        }
        if (separate() < 0) return -1;
        if ((key_text ? text.add(std::move(key_text)) : text.add_number(key)) < 0) return -1;
        if (text.add("=\"") < 0 || add_value() < 0) return -1;
        quote_open = true;
        return 0;
    });
    if (rc < 0 || (quote_open && text.add("\"") < 0)) return Ref();
    if (none_part >= 0) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", none_part,
                     Py_TYPE(Py_None)->tp_name);
        return Ref();
    }
    return text.finish();
}

// The normalised text of one argument: "" when it counts as empty (None, or
// for some arguments any false value), else the value, which must be exactly
// a str. Borrowed; null with an exception.
PyObject* normalise(PyObject* value, bool falsy_is_empty) {
    if (value == Py_None) return texts.empty;
    if (falsy_is_empty) {
        int truth = truth_of(value);
        if (truth < 0) return nullptr;
        if (!truth) return texts.empty;
    }
    if (!PyUnicode_CheckExact(value)) {
        ruvo::raise_expected(&PyUnicode_Type, value);
        return nullptr;
    }
    return value;
}

// Writes a constant ASCII text.
template <std::size_t N>
inline Py_UCS1* put(Py_UCS1* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

// The element of render_default_html when its six normalised texts (tag
// name, id, class, style, attributes, content; exact str) are all of
// one-byte kind, as markup nearly always is: the result is of that kind too,
// so its length is summed and every text copied without conversion, the four
// escaped ones measured once by the fast scan. Safe because the texts are the
// caller's arguments or constants, alive for the call, and nothing here runs
// Python code. Null without an exception when some text is wider (the
// general builder then writes the element), with one on failure.
Ref render_one_byte(PyObject* const (&fields)[6]) {
    enum { kTag, kId, kCls, kStyle, kAttrs, kContent };
    const Py_UCS1* data[6];
    Py_ssize_t len[6], extra[4];
    bool latin1 = false;
    for (int i = 0; i < 6; ++i) {
        PyObject* f = fields[i];
        if (PyUnicode_READY(f) < 0) return Ref();
        if (PyUnicode_KIND(f) != PyUnicode_1BYTE_KIND) return Ref();
        latin1 |= !PyUnicode_IS_ASCII(f);
        data[i] = PyUnicode_1BYTE_DATA(f);
        len[i] = PyUnicode_GET_LENGTH(f);
    }
    for (int i = kTag; i <= kStyle; ++i) extra[i] = ruvo::html_escape_extra(data[i], len[i]);
    // The constant texts: "<", " id=\"", "\" ", " ", " >", "</", ">"; 10 more
    // around a class or a style (" class=\"" or " style=\"", then "\" ").
    // The tag is written twice.
    Py_ssize_t total = 14;
    const Py_ssize_t parts[] = {len[kTag] + extra[kTag], len[kTag] + extra[kTag], len[kId] + extra[kId],
                                len[kCls] ? len[kCls] + extra[kCls] + 10 : 0,
                                len[kStyle] ? len[kStyle] + extra[kStyle] + 10 : 0, len[kAttrs], len[kContent]};
    for (Py_ssize_t p : parts) {
        if (__builtin_add_overflow(total, p, &total)) return Ref::steal(PyErr_NoMemory());
    }
    Ref result = Ref::steal(PyUnicode_New(total, latin1 ? 255 : 127));
    if (!result) return result;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
    auto field = [&](int i) {
        out = (i <= kStyle && extra[i]) ? ruvo::write_html_escaped(data[i], len[i], out)
                                        : ruvo::write_text(data[i], len[i], out);
    };
    out = put(out, "<");
    field(kTag);
    out = put(out, " id=\"");
    field(kId);
    out = put(out, "\" ");
    if (len[kCls]) {
        out = put(out, " class=\"");
        field(kCls);
        out = put(out, "\" ");
    }
    if (len[kStyle]) {
        out = put(out, " style=\"");
        field(kStyle);
        out = put(out, "\" ");
    }
    out = put(out, " ");
    field(kAttrs);
    out = put(out, " >");
    field(kContent);
    out = put(out, "</");
    field(kTag);
    out = put(out, ">");
    return result;
}

Ref render_default_html(PyObject*, PyObject* tagname, PyObject* tagid, PyObject* cls, PyObject* style,
                        PyObject* attributes, PyObject* content) {
    PyObject* tag = normalise(tagname, false);
    if (!tag) return Ref();
    PyObject* eid = normalise(tagid, false);
    if (!eid) return Ref();
    PyObject* s_cls = normalise(cls, true);
    if (!s_cls) return Ref();
    PyObject* s_style = normalise(style, true);
    if (!s_style) return Ref();
    PyObject* s_attrs = normalise(attributes, true);
    if (!s_attrs) return Ref();
    PyObject* s_content = normalise(content, false);
    if (!s_content) return Ref();

    // The tag name, id, class and style are written HTML-escaped, as the
    // template's {{ }} writes them; attributes and content go in raw.
    PyObject* fields[] = {tag, eid, s_cls, s_style, s_attrs, s_content};
    if (Ref fast = render_one_byte(fields); fast || PyErr_Occurred()) return fast;
    // Some text is wider: written through the general builder. The texts
    // are the caller's arguments (or constants), alive for the call.
    ruvo::TextBuilder text;
    if (text.add("<") < 0 || text.add_escaped(tag) < 0 || text.add(" id=\"") < 0 || text.add_escaped(eid) < 0 ||
        text.add("\" ") < 0) {
        return Ref();
    }
    if (PyUnicode_GET_LENGTH(s_cls) &&
        (text.add(" class=\"") < 0 || text.add_escaped(s_cls) < 0 || text.add("\" ") < 0)) {
        return Ref();
    }
    if (PyUnicode_GET_LENGTH(s_style) &&
        (text.add(" style=\"") < 0 || text.add_escaped(s_style) < 0 || text.add("\" ") < 0)) {
        return Ref();
    }
    if (text.add(" ") < 0 || text.add(s_attrs) < 0 || text.add(" >") < 0 || text.add(s_content) < 0 ||
        text.add("</") < 0 || text.add_escaped(tag) < 0 || text.add(">") < 0) {
        return Ref();
    }
    return text.finish_new();
}

// ---------------------------------------------------------------------------
// Module initialisation.

constexpr const char* kModuleDoc =
    "Fast HTML attribute joiners and the default element template renderer.\n"
    "\n"
    "The default ``html_tpl`` on :class:`~ruvo.uix.element.Element` is a small\n"
    "Tornado template whose *run* cost dominates tree serialization. This module\n"
    "reproduces that template's output (including its whitespace) without Tornado.\n"
    "Custom ``html_tpl`` values still go through Tornado.\n";

constexpr const char* kTemplate =
    "<{{obj.tagname}} id=\"{{obj.tagid}}\" {% if obj.cls %} class=\"{{obj.cls}}\" {% end %}"
    "{% if obj.style %} style=\"{{obj.style}}\" {% end %} {% raw obj.attributes %} >"
    "{%raw obj.content%}</{{obj.tagname}}>";

// from html import escape as html_escape
Ref import_html_escape() {
    PyObject* modules = PyImport_GetModuleDict();
    Ref html = Ref::borrow(PyDict_GetItemString(modules, "html"));
    if (html) {
        int has = PyObject_HasAttrString(html.get(), "escape");
        if (!has) html.reset();
    }
    if (!html) {
        Ref fromlist = Ref::steal(Py_BuildValue("(s)", "escape"));
        if (!fromlist) return fromlist;
        Ref name = Ref::steal(PyUnicode_FromString("html"));
        if (!name) return name;
        html = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), module_def.dict, nullptr, fromlist.get(), 0));
        if (!html) return html;
    }
    Ref escape = Ref::steal(PyObject_GetAttrString(html.get(), "escape"));
    if (escape || !PyErr_ExceptionMatches(PyExc_AttributeError)) return escape;
    PyErr_Clear();
    escape = Ref::borrow(PyDict_GetItemString(modules, "html.escape"));
    if (escape) return escape;
    Ref what = Ref::steal(PyUnicode_FromString("escape"));
    if (what) PyErr_Format(PyExc_ImportError, "cannot import name %S", what.get());
    return Ref();
}

const char* const kRenderLocals[] = {"tag", "eid", "s_cls", "s_style", "s_attrs", "s_content", "parts", nullptr};

const ruvo::FunctionDef kFunctions[] = {
    {join_style_method, "Join ``style_container`` into a CSS style attribute value.",
     ruvo::function_entry<join_style_method, join_style>, nullptr},
    {join_cls_method, "Join default classes and ``cls_container`` values into a class string.",
     ruvo::function_entry<join_cls_method, join_cls>, nullptr},
    {join_attributes_method, "Join ``attr_container`` into an HTML attribute string.",
     ruvo::function_entry<join_attributes_method, join_attributes>, nullptr},
    {render_method,
     "Render the default Element ``html_tpl`` without Tornado.\n"
     "\n"
     "    Whitespace matches ``tornado.template.Template.generate`` for\n"
     "    :data:`DEFAULT_HTML_TPL` so markup stays byte-compatible with the\n"
     "    previous renderer.\n"
     "    ",
     ruvo::function_entry<render_method, render_default_html>, kRenderLocals},
};

int exec_html(PyObject* module) {
    if (make_texts() < 0) return -1;
    PyObject* dict = module_def.dict;
    Ref escape = import_html_escape();
    if (!escape || PyDict_SetItem(dict, texts.html_escape, escape.get()) < 0) return -1;
    if (is_library_escape(escape.get())) {
        Py_XSETREF(standard_escape_code, Py_NewRef(PyFunction_GET_CODE(escape.get())));
        Py_XSETREF(standard_escape, escape.release());
    }
    Ref all = Ref::steal(Py_BuildValue("(sssss)", "DEFAULT_HTML_TPL", "join_style", "join_cls", "join_attributes",
                                       "render_default_html"));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return -1;
    Ref tpl = Ref::steal(PyUnicode_FromString(kTemplate));
    if (!tpl || PyDict_SetItemString(dict, "DEFAULT_HTML_TPL", tpl.get()) < 0) return -1;
    for (const ruvo::FunctionDef& def : kFunctions) {
        Ref fn = ruvo::make_function(def, module);
        if (!fn || PyDict_SetItemString(dict, def.method.site.name(), fn.get()) < 0) return -1;
    }
    return 0;
}

ruvo::NativeModule module_def({"_html", "ruvo.uix._html", kModuleDoc, exec_html}, ruvo::exec_slot<module_def>);

}  // namespace

PyMODINIT_FUNC PyInit__html() { return module_def.init(); }
