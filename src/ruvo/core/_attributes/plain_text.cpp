#include "plain_text.hpp"

#include <cstring>

namespace ruvo::attributes {

bool read_float(PyObject* item, PlainSpan& span, char* out) {
    if (!PyFloat_CheckExact(item)) return false;
    const int n = format_float(PyFloat_AS_DOUBLE(item), out);
    if (n < 0) return false;
    span.data = out;
    span.length = n;
    return true;
}

Ref join_plain(const PlainSpan* spans, int count, Py_ssize_t length, bool ascii, std::string_view separator) {
    const auto sep = static_cast<Py_ssize_t>(separator.size());
    PyObject* text = PyUnicode_New(length + (count > 1 ? sep * (count - 1) : 0), ascii ? 127 : 255);
    if (!text) return {};
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
    for (int i = 0; i < count; ++i) {
        if (i) {
            // A separator is a character or two: written directly.
            switch (sep) {
                case 0:
                    break;
                case 1:
                    out[0] = separator[0];
                    break;
                case 2:
                    out[0] = separator[0];
                    out[1] = separator[1];
                    break;
                default:
                    std::memcpy(out, separator.data(), static_cast<size_t>(sep));
            }
            out += sep;
        }
        std::memcpy(out, spans[i].data, static_cast<size_t>(spans[i].length));
        out += spans[i].length;
    }
    return Ref::steal(text);
}

}  // namespace ruvo::attributes
