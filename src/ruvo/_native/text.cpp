#include "text.hpp"

#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ruvo {

namespace {

// Extra characters that escaping adds for each character below 64 (every
// escaped character is there): & < > " ' become &amp; &lt; &gt; &quot; &#x27;.
constexpr unsigned char kExtra[64] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
    0, 0, 5, 0, 0, 0, 4, 5, 0, 0, 0, 0, 0, 0, 0, 0,  // " & '
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 3, 0,  // < >
};

template <class Char>
inline unsigned extra_of_char(Char c) {
    return c < 64 ? kExtra[c] : 0;
}

template <class Char>
Py_ssize_t count_extra(const Char* s, Py_ssize_t n) {
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) extra += extra_of_char(s[i]);
    return extra;
}

#if defined(__SSE2__)
// One-byte text, sixteen characters at a time: the positions of & (4 extra
// characters), of < and > (3) and of " and ' (5), as bit masks.
struct Block {
    unsigned amp, ltgt, quotes;
    explicit Block(const Py_UCS1* s) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('&'))));
        ltgt = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')), _mm_cmpeq_epi8(v, _mm_set1_epi8('>')))));
        quotes = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')))));
    }
    bool any() const { return (amp | ltgt | quotes) != 0; }
    // Replaced characters are rare: counting bits one by one beats a
    // population count that the baseline instruction set lacks.
    static Py_ssize_t bits(unsigned m) {
        Py_ssize_t c = 0;
        for (; m; m &= m - 1) ++c;
        return c;
    }
    Py_ssize_t extra() const {
        if (!any()) return 0;
        return 4 * bits(amp) + 3 * bits(ltgt) + 5 * bits(quotes);
    }
};

template <>
Py_ssize_t count_extra<Py_UCS1>(const Py_UCS1* s, Py_ssize_t n) {
    Py_ssize_t extra = 0, i = 0;
    for (; i + 16 <= n; i += 16) extra += Block(s + i).extra();
    for (; i < n; ++i) extra += extra_of_char(s[i]);
    return extra;
}
#endif

template <class Out>
inline Out* put(Out* out, const char* text, int len) {
    for (int i = 0; i < len; ++i) out[i] = static_cast<Out>(text[i]);
    return out + len;
}

template <class Out>
inline Out* put_escaped(Out* out, Py_UCS4 c) {
    switch (c) {
        case '&': return put(out, "&amp;", 5);
        case '<': return put(out, "&lt;", 4);
        case '>': return put(out, "&gt;", 4);
        case '"': return put(out, "&quot;", 6);
        default: return put(out, "&#x27;", 6);
    }
}

// Writes the escaped form of s[0..n) at `out`, which may be a wider kind.
template <class In, class Out>
Out* write_escaped(const In* s, Py_ssize_t n, Out* out) {
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(In) == 1 && sizeof(Out) == 1) {
        // Blocks without a character to replace are copied whole; in the
        // others the runs between replaced characters are.
        for (; i + 16 <= n; i += 16) {
            Block b(s + i);
            unsigned m = b.amp | b.ltgt | b.quotes;
            int j = 0;
            for (; m; m &= m - 1) {
                int k = __builtin_ctz(m);
                std::memcpy(out, s + i + j, static_cast<size_t>(k - j));
                out = put_escaped(out + (k - j), s[i + k]);
                j = k + 1;
            }
            std::memcpy(out, s + i + j, static_cast<size_t>(16 - j));
            out += 16 - j;
        }
    }
#endif
    for (; i < n; ++i) {
        In c = s[i];
        if (extra_of_char(c)) {
            out = put_escaped(out, c);
        } else {
            *out++ = static_cast<Out>(c);
        }
    }
    return out;
}

template <class In, class Out>
Out* write_plain(const In* s, Py_ssize_t n, Out* out) {
    if constexpr (sizeof(In) == sizeof(Out)) {
        if (n <= 8) {  // separators and short names: cheaper than a library call
            for (Py_ssize_t i = 0; i < n; ++i) out[i] = s[i];
        } else {
            std::memcpy(out, s, static_cast<size_t>(n) * sizeof(Out));
        }
        return out + n;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<Out>(s[i]);
        return out + n;
    }
}

Py_ssize_t extra_of(PyObject* text) {
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return count_extra(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND: return count_extra(static_cast<const Py_UCS2*>(data), n);
        default: return count_extra(static_cast<const Py_UCS4*>(data), n);
    }
}

// Writes one ready str at `out` (of the result's character type), escaped or not.
template <class Out>
Out* write_piece(PyObject* p, bool escape, Out* out) {
    const void* data = PyUnicode_DATA(p);
    Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    switch (PyUnicode_KIND(p)) {
        case PyUnicode_1BYTE_KIND: {
            auto s = static_cast<const Py_UCS1*>(data);
            return escape ? write_escaped(s, n, out) : write_plain(s, n, out);
        }
        case PyUnicode_2BYTE_KIND: {
            auto s = static_cast<const Py_UCS2*>(data);
            return escape ? write_escaped(s, n, out) : write_plain(s, n, out);
        }
        default: {
            auto s = static_cast<const Py_UCS4*>(data);
            return escape ? write_escaped(s, n, out) : write_plain(s, n, out);
        }
    }
}

// The pieces (with `sep` between them when given) written into one new
// str; `escape` (may be null) flags the pieces to escape. Every piece is a
// str. The lengths with escaping are measured first.
PyObject* build(PyObject* const* pieces, const bool* escape, Py_ssize_t n, PyObject* sep) {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    if (sep) {
        if (PyUnicode_READY(sep) < 0) return nullptr;
        if (n > 1) {
            Py_ssize_t seplen = PyUnicode_GET_LENGTH(sep);
            if (seplen > (PY_SSIZE_T_MAX - total) / (n - 1)) return PyErr_NoMemory();
            total = seplen * (n - 1);
            maxchar = PyUnicode_MAX_CHAR_VALUE(sep) > maxchar ? PyUnicode_MAX_CHAR_VALUE(sep) : maxchar;
        }
    }
    // Which pieces hold a character to replace (the first ones remembered;
    // any later escaped piece is written through the escaping loop).
    constexpr Py_ssize_t kKnown = 32;
    bool replace[kKnown];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = pieces[i];
        if (PyUnicode_READY(p) < 0) return nullptr;
        Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (escape && escape[i]) {
            Py_ssize_t extra = extra_of(p);
            len += extra;
            if (i < kKnown) replace[i] = extra != 0;
        } else if (i < kKnown) {
            replace[i] = false;
        }
        if (len > PY_SSIZE_T_MAX - total) return PyErr_NoMemory();
        total += len;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p);
        if (m > maxchar) maxchar = m;
    }
    PyObject* result = PyUnicode_New(total, maxchar);
    if (!result) return nullptr;
    const bool one_char_sep = sep && PyUnicode_GET_LENGTH(sep) == 1;
    const Py_UCS4 sep_char = one_char_sep ? PyUnicode_READ_CHAR(sep, 0) : 0;
    auto write_all = [&](auto* out) {
        using Out = std::remove_reference_t<decltype(*out)>;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (one_char_sep && i) {
                *out++ = static_cast<Out>(sep_char);
            } else if (sep && i) {
                out = write_piece(sep, false, out);
            }
            PyObject* p = pieces[i];
            const bool esc = i < kKnown ? replace[i] : escape && escape[i];
            if (!esc && PyUnicode_KIND(p) == sizeof(Out)) {  // the common case, inline
                out = write_plain(static_cast<const Out*>(PyUnicode_DATA(p)), PyUnicode_GET_LENGTH(p), out);
            } else {
                out = write_piece(p, esc, out);
            }
        }
    };
    switch (PyUnicode_KIND(result)) {
        case PyUnicode_1BYTE_KIND: write_all(PyUnicode_1BYTE_DATA(result)); break;
        case PyUnicode_2BYTE_KIND: write_all(PyUnicode_2BYTE_DATA(result)); break;
        default: write_all(PyUnicode_4BYTE_DATA(result)); break;
    }
    return result;
}

}  // namespace

Ref concat(PyObject* const* pieces, Py_ssize_t n) { return Ref::steal(build(pieces, nullptr, n, nullptr)); }

Ref concat_escaped(PyObject* const* pieces, const bool* escape, Py_ssize_t n) {
    return Ref::steal(build(pieces, escape, n, nullptr));
}

bool needs_html_escape(PyObject* text) {
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();
        return true;  // let html_escape report it
    }
    return extra_of(text) != 0;
}

Ref html_escape(PyObject* text) {
    if (PyUnicode_READY(text) < 0) return Ref();
    if (extra_of(text) == 0) {
        if (PyUnicode_CheckExact(text)) return Ref::borrow(text);
        // an exact copy of a subclass instance
        return Ref::steal(PyUnicode_Substring(text, 0, PyUnicode_GET_LENGTH(text)));
    }
    const bool escape = true;
    return Ref::steal(build(&text, &escape, 1, nullptr));
}

Pieces::~Pieces() {
    for (Py_ssize_t i = n_; i > 0; --i) Py_DECREF(items_[i - 1]);
    if (items_ != inline_) PyMem_Free(items_);
}

int Pieces::grow() {
    if (cap_ > PY_SSIZE_T_MAX / 2 / static_cast<Py_ssize_t>(sizeof(PyObject*))) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t cap = cap_ * 2;
    PyObject** items = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(cap) * sizeof(PyObject*)));
    if (!items) {
        PyErr_NoMemory();
        return -1;
    }
    std::memcpy(items, items_, static_cast<size_t>(n_) * sizeof(PyObject*));
    if (items_ != inline_) PyMem_Free(items_);
    items_ = items;
    cap_ = cap;
    return 0;
}

Ref Pieces::join(PyObject* sep) const {
    for (Py_ssize_t i = 0; i < n_; ++i) {
        if (!PyUnicode_Check(items_[i])) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                         Py_TYPE(items_[i])->tp_name);
            return Ref();
        }
    }
    if (n_ == 1 && PyUnicode_CheckExact(items_[0])) return Ref::borrow(items_[0]);
    return Ref::steal(build(items_, nullptr, n_, sep));
}

PyObject* intern(PyObject** slot, const char* text) {
    if (!*slot) *slot = PyUnicode_InternFromString(text);
    return *slot;
}

int intern_all(std::initializer_list<InternedText> entries) {
    for (const InternedText& e : entries) {
        if (!intern(e.slot, e.text)) return -1;
    }
    return 0;
}

}  // namespace ruvo
