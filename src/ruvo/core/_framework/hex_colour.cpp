// get_color_from_hex_255: the components of a hexadecimal colour text, and
// the call of whichever parser a module global holds.
#include "framework.hpp"

namespace ruvo::framework::impl {

PyObject* hex_colour_parser;

namespace {

const Method parse_method{module_def, "get_color_from_hex_255", {"text"}};

// The value of an ASCII hexadecimal digit, else -1.
int hex_digit(Py_UCS1 c) {
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;  // lower case; no other character lands in 'a'..'f'
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// ValueError "invalid hex colour {text!r}: WHAT", the repr formatted as an
// f-string formats it (a str subclass returned by __repr__ goes through format()).
Failure refuse(PyObject* text, const char* what) {
    Ref shown = Ref::steal(PyObject_Repr(text));
    if (shown && !PyUnicode_CheckExact(shown.get())) shown = Ref::steal(PyObject_Format(shown.get(), texts.empty));
    if (shown) PyErr_Format(PyExc_ValueError, "invalid hex colour %U: %s", shown.get(), what);
    return {};
}

Ref get_color_from_hex_255(PyObject*, PyObject* text) { return parse_hex_colour(text); }

}  // namespace

// A str subclass is read by its characters, as the interpreter's own text
// functions read it. Only ASCII can be valid: the digits are ASCII and the
// one leading "#" is stripped before they are checked.
Ref parse_hex_colour(PyObject* text) {
    if (!PyUnicode_Check(text)) return refuse(text, "expected a str");
    if (PyUnicode_READY(text) < 0) return {};
    const char* const bad = "expected #rgb, #rgba, #rrggbb or #rrggbbaa";
    if (!PyUnicode_IS_ASCII(text)) return refuse(text, bad);
    const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n && s[0] == '#') ++s, --n;
    if (n != 3 && n != 4 && n != 6 && n != 8) return refuse(text, bad);
    const bool shorthand = n <= 4;  // each digit stands for itself doubled: "f" is 0xff
    const Py_ssize_t count = shorthand ? n : n / 2;
    int values[4];
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int high = hex_digit(s[shorthand ? i : 2 * i]);
        const int low = shorthand ? high : hex_digit(s[2 * i + 1]);
        if (high < 0 || low < 0) return refuse(text, bad);
        values[i] = high * 16 + low;
    }
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        // int / 255 of Python: both exact in a double, so one division rounds as it does.
        PyObject* item = i == 3 ? PyFloat_FromDouble(values[i] / 255.0) : PyLong_FromLong(values[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list;
}

Ref call_colour_parser(PyObject* parser, PyObject* text) {
    // Our own function object (kept by this module, so the comparison cannot
    // be fooled) would only pass its one positional argument on and add its
    // traceback entry on failure: both are done here without the call.
    if (parser == hex_colour_parser) {
        Ref result = parse_hex_colour(text);
        return result ? std::move(result) : Ref(parse_method.site.fail());
    }
    return Ref::steal(PyObject_CallOneArg(parser, text));
}

const FunctionDef hex_colour_function{
    parse_method,
    "Parse a hexadecimal colour into a new list of components.\n"
    "\n"
    "    \"#rgb\", \"#rgba\", \"#rrggbb\" and \"#rrggbbaa\" (the \"#\" is optional, any case)\n"
    "    give ``[r, g, b]`` with ints 0..255, or ``[r, g, b, a]`` with the alpha\n"
    "    scaled to a float 0..1. Anything else raises ValueError naming the text.\n"
    "    ",
    function_entry<parse_method, get_color_from_hex_255>,
    nullptr,
};

}  // namespace ruvo::framework::impl
