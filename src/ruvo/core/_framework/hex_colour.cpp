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

const char* const kBadText = "expected #rgb, #rgba, #rrggbb or #rrggbbaa";

// The general definition, step by step, for a str subclass or an object whose
// __class__ claims str: its own startswith, slicing, len and iteration run
// as they would in:
//     digits = text[1:] if text.startswith("#") else text
//     if len(digits) not in (3, 4, 6, 8) or not HEX_DIGITS.issuperset(digits): refuse
//     if len(digits) <= 4: digits = "".join(c * 2 for c in digits)
//     values = [int(digits[i : i + 2], 16) for i in range(0, len(digits), 2)]
//     if len(values) == 4: values[3] = values[3] / 255
Ref parse_general(PyObject* text) {
    Ref starts = Ref::steal(PyObject_CallMethod(text, "startswith", "s", "#"));
    if (!starts) return {};
    const int strip = PyObject_IsTrue(starts.get());
    if (strip < 0) return {};
    Ref digits = Ref::borrow(text);
    if (strip) {
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref rest = one ? Ref::steal(PySlice_New(one.get(), nullptr, nullptr)) : Ref();
        digits = rest ? Ref::steal(PyObject_GetItem(text, rest.get())) : Ref();
        if (!digits) return {};
    }
    Py_ssize_t n = PyObject_Size(digits.get());
    if (n < 0) return {};
    if (n != 3 && n != 4 && n != 6 && n != 8) return refuse(text, kBadText);
    Ref alphabet = Ref::steal(PyUnicode_FromString("0123456789abcdefABCDEF"));
    Ref hex_digits = alphabet ? Ref::steal(PyFrozenSet_New(alphabet.get())) : Ref();
    Ref covered = hex_digits ? Ref::steal(PyObject_CallMethod(hex_digits.get(), "issuperset", "O", digits.get())) : Ref();
    const int valid = covered ? PyObject_IsTrue(covered.get()) : -1;
    if (valid <= 0) return valid < 0 ? Ref() : refuse(text, kBadText);
    // len() is asked again at each place the definition asks it.
    if ((n = PyObject_Size(digits.get())) < 0) return {};
    if (n <= 4) {
        Ref doubled = Ref::steal(PyList_New(0));
        Ref two = Ref::steal(PyLong_FromLong(2));
        Ref it = doubled && two ? Ref::steal(PyObject_GetIter(digits.get())) : Ref();
        if (!it) return {};
        while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
            Ref pair = Ref::steal(PyNumber_Multiply(c.get(), two.get()));
            if (!pair || PyList_Append(doubled.get(), pair.get()) < 0) return {};
        }
        if (PyErr_Occurred()) return {};
        digits = Ref::steal(PyUnicode_Join(texts.empty, doubled.get()));
        if (!digits) return {};
    }
    if ((n = PyObject_Size(digits.get())) < 0) return {};
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return {};
    for (Py_ssize_t i = 0; i < n; i += 2) {
        Ref start = Ref::steal(PyLong_FromSsize_t(i));
        Ref stop = start ? Ref::steal(PyLong_FromSsize_t(i + 2)) : Ref();
        Ref range = stop ? Ref::steal(PySlice_New(start.get(), stop.get(), nullptr)) : Ref();
        Ref piece = range ? Ref::steal(PyObject_GetItem(digits.get(), range.get())) : Ref();
        Ref value = piece ? Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyLong_Type), "Oi", piece.get(), 16)) : Ref();
        if (!value || PyList_Append(values.get(), value.get()) < 0) return {};
    }
    if (PyList_GET_SIZE(values.get()) == 4) {
        Ref max = Ref::steal(PyLong_FromLong(255));
        Ref alpha = max ? Ref::steal(PyNumber_TrueDivide(PyList_GET_ITEM(values.get(), 3), max.get())) : Ref();
        if (!alpha || PyList_SetItem(values.get(), 3, alpha.release()) < 0) return {};
    }
    return values;
}

}  // namespace

// An exact str is read by its characters: only ASCII can be valid, since the
// digits are ASCII and the one leading "#" is stripped before they are
// checked. Anything else that passes isinstance(text, str) may run its own
// methods, so it takes the general definition.
Ref parse_hex_colour(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) {
        const int is_str = PyObject_IsInstance(text, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        if (is_str < 0) return {};
        return is_str ? parse_general(text) : refuse(text, "expected a str");
    }
    if (PyUnicode_READY(text) < 0) return {};
    if (!PyUnicode_IS_ASCII(text)) return refuse(text, kBadText);
    const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n && s[0] == '#') ++s, --n;
    if (n != 3 && n != 4 && n != 6 && n != 8) return refuse(text, kBadText);
    const bool shorthand = n <= 4;  // each digit stands for itself doubled: "f" is 0xff
    const Py_ssize_t count = shorthand ? n : n / 2;
    int values[4];
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int high = hex_digit(s[shorthand ? i : 2 * i]);
        const int low = shorthand ? high : hex_digit(s[2 * i + 1]);
        if (high < 0 || low < 0) return refuse(text, kBadText);
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
