#include "text.hpp"

#include "number.hpp"

#include <charconv>
#include <cstdint>
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

template <class In, class Out>
Out* write_plain(const In* s, Py_ssize_t n, Out* out) {
    if constexpr (sizeof(In) == sizeof(Out)) {
        copy_bytes(reinterpret_cast<unsigned char*>(out), reinterpret_cast<const unsigned char*>(s),
                   static_cast<size_t>(n) * sizeof(Out));
        return out + n;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<Out>(s[i]);
        return out + n;
    }
}

template <class Out>
inline Out* put(Out* out, const char* text, Py_ssize_t len) {
    if constexpr (sizeof(Out) == 1) {
        copy_bytes(reinterpret_cast<unsigned char*>(out), reinterpret_cast<const unsigned char*>(text),
                   static_cast<size_t>(len));
    } else {
        for (Py_ssize_t i = 0; i < len; ++i) out[i] = static_cast<Out>(text[i]);
    }
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

#if defined(__SSE2__)
// Where the characters to replace are in up to sixteen characters of
// one-byte text, as bit masks (bit j for the character j): & (4 extra
// characters), < and > (3), " and ' (5).
struct Block {
    unsigned amp, ltgt, quotes;
    explicit Block(__m128i v) {
        amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('&'))));
        ltgt = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')), _mm_cmpeq_epi8(v, _mm_set1_epi8('>')))));
        quotes = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')))));
    }
    template <class F>
    void remap(F f) {
        amp = f(amp);
        ltgt = f(ltgt);
        quotes = f(quotes);
    }
    unsigned any() const { return amp | ltgt | quotes; }
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

template <class T>
inline T load(const Py_UCS1* s) {
    T v;
    std::memcpy(&v, s, sizeof v);
    return v;
}

// The block of the characters s[b..min(b + 16, n)), bit j standing for
// s[b + j]. Nothing outside s[0..n) is read: a last block shorter than
// sixteen is read as the text's last sixteen characters, or, in a text
// shorter than sixteen, as two overlapping halves.
inline Block block_at(const Py_UCS1* s, Py_ssize_t n, Py_ssize_t b) {
    const Py_ssize_t r = n - b;
    if (r >= 16) return Block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + b)));
    Block k(_mm_setzero_si128());
    if (n >= 16) {
        k = Block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16)));
        if (k.any()) k.remap([r](unsigned m) { return m >> (16 - r); });
    } else if (n >= 8) {  // b == 0: the first and the last eight
        k = Block(_mm_set_epi64x(load<long long>(s + n - 8), load<long long>(s)));
        if (k.any()) k.remap([n](unsigned m) { return (m & 0xffu) | ((m >> 8) << (n - 8)); });
    } else if (n >= 4) {
        k = Block(_mm_set_epi32(0, 0, load<int>(s + n - 4), load<int>(s)));
        if (k.any()) k.remap([n](unsigned m) { return (m & 0xfu) | (((m >> 4) & 0xfu) << (n - 4)); });
    } else {
        int w = s[0];  // n is 1 to 3
        if (n > 1) w |= s[1] << 8;
        if (n > 2) w |= s[2] << 16;
        k = Block(_mm_cvtsi32_si128(w));
    }
    return k;
}

template <>
Py_ssize_t count_extra<Py_UCS1>(const Py_UCS1* s, Py_ssize_t n) {
    Py_ssize_t extra = 0;
    for (Py_ssize_t b = 0; b < n; b += 16) extra += block_at(s, n, b).extra();
    return extra;
}

// One-byte text into one-byte text: the runs between replaced characters
// are copied whole.
Py_UCS1* write_escaped_one_byte(const Py_UCS1* s, Py_ssize_t n, Py_UCS1* out) {
    Py_ssize_t done = 0;  // s[0..done) is written
    for (Py_ssize_t b = 0; b < n; b += 16) {
        for (unsigned m = block_at(s, n, b).any(); m; m &= m - 1) {
            const Py_ssize_t k = b + __builtin_ctz(m);
            out = write_plain(s + done, k - done, out);
            out = put_escaped(out, s[k]);
            done = k + 1;
        }
    }
    return write_plain(s + done, n - done, out);
}
#endif

// Writes the escaped form of s[0..n) at `out`, which may be a wider kind.
template <class In, class Out>
Out* write_escaped(const In* s, Py_ssize_t n, Out* out) {
#if defined(__SSE2__)
    if constexpr (sizeof(In) == 1 && sizeof(Out) == 1) return write_escaped_one_byte(s, n, out);
#endif
    for (Py_ssize_t i = 0; i < n; ++i) {
        In c = s[i];
        if (extra_of_char(c)) {
            out = put_escaped(out, c);
        } else {
            *out++ = static_cast<Out>(c);
        }
    }
    return out;
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

}  // namespace

void TextBuilder::release() {
    for (Py_ssize_t i = n_; i > 0; --i) {
        if (items_[i - 1].owned) Py_DECREF(items_[i - 1].object);
    }
    if (items_ != inline_) PyMem_Free(items_);
}

TextBuilder::Segment* TextBuilder::grow() {
    if (cap_ > PY_SSIZE_T_MAX / 2 / static_cast<Py_ssize_t>(sizeof(Segment))) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_ssize_t cap = cap_ * 2;
    auto items = static_cast<Segment*>(PyMem_Malloc(static_cast<size_t>(cap) * sizeof(Segment)));
    if (!items) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::memcpy(static_cast<void*>(items), items_, static_cast<size_t>(n_) * sizeof(Segment));
    if (items_ != inline_) PyMem_Free(items_);
    items_ = items;
    cap_ = cap;
    return &items_[n_++];
}

Py_ssize_t TextBuilder::escape_extra(PyObject* text) { return extra_of(text); }

// The pending ASCII text as a segment of its own.
int TextBuilder::flush_prefix() {
    Segment* s = next();
    if (!s) return -1;
    *s = Segment{prefix_, prefix_len_, 0, nullptr, nullptr, 0, PyUnicode_1BYTE_KIND, false};
    prefix_len_ = 0;
    return 0;
}

int TextBuilder::add_number(PyObject* v) {
    if (PyFloat_CheckExact(v)) return add(float_text(v));
    // An int that fits in 64 bits is written from its digits; a larger one
    // (or one that no longer fits the digit space) through its str.
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) return -1;
    constexpr Py_ssize_t kMaxDigits = 20;  // "-9223372036854775808"
    if (overflow || digits_used_ + kMaxDigits > kDigits) return add(Ref::steal(PyObject_Str(v)));
    char* start = digits_ + digits_used_;
    char* end = std::to_chars(start, digits_ + kDigits, x).ptr;
    digits_used_ += end - start;
    return add_ascii(start, end - start);
}

template <class Out>
void TextBuilder::write(Out* out) const {
    for (Py_ssize_t i = 0; i < n_; ++i) {
        const Segment& s = items_[i];
        if (s.prefix_len) out = put(out, s.prefix, s.prefix_len);
        if (s.kind == static_cast<int>(sizeof(Out)) && !s.extra) {  // the common case, inline
            out = write_plain(static_cast<const Out*>(s.data), s.len, out);
            continue;
        }
        switch (s.kind) {
            case PyUnicode_1BYTE_KIND: {
                auto t = static_cast<const Py_UCS1*>(s.data);
                out = s.extra ? write_escaped(t, s.len, out) : write_plain(t, s.len, out);
                break;
            }
            case PyUnicode_2BYTE_KIND: {
                auto t = static_cast<const Py_UCS2*>(s.data);
                out = s.extra ? write_escaped(t, s.len, out) : write_plain(t, s.len, out);
                break;
            }
            default: {
                auto t = static_cast<const Py_UCS4*>(s.data);
                out = s.extra ? write_escaped(t, s.len, out) : write_plain(t, s.len, out);
                break;
            }
        }
    }
}

Ref TextBuilder::make(bool reuse_single) {
    if (prefix_len_ && flush_prefix() < 0) return Ref();
    if (reuse_single && n_ == 1 && items_[0].object && !items_[0].extra && !items_[0].prefix_len &&
        PyUnicode_CheckExact(items_[0].object)) {
        return Ref::borrow(items_[0].object);
    }
    PyObject* result = PyUnicode_New(total_, maxchar_);
    if (!result) return Ref();
    switch (PyUnicode_KIND(result)) {
        case PyUnicode_1BYTE_KIND: write(PyUnicode_1BYTE_DATA(result)); break;
        case PyUnicode_2BYTE_KIND: write(PyUnicode_2BYTE_DATA(result)); break;
        default: write(PyUnicode_4BYTE_DATA(result)); break;
    }
    return Ref::steal(result);
}

Py_ssize_t html_escape_extra(const Py_UCS1* s, Py_ssize_t n) { return count_extra(s, n); }

Py_UCS1* write_html_escaped(const Py_UCS1* s, Py_ssize_t n, Py_UCS1* out) { return write_escaped(s, n, out); }

Ref concat(PyObject* const* pieces, Py_ssize_t n) {
    TextBuilder b;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (b.add(pieces[i]) < 0) return Ref();
    }
    return b.finish_new();
}

Ref concat_escaped(PyObject* const* pieces, const bool* escape, Py_ssize_t n) {
    TextBuilder b;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if ((escape[i] ? b.add_escaped(pieces[i]) : b.add(pieces[i])) < 0) return Ref();
    }
    return b.finish_new();
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
    TextBuilder b;
    if (b.add_escaped(text) < 0) return Ref();
    return b.finish_new();
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
    TextBuilder b;
    for (Py_ssize_t i = 0; i < n_; ++i) {
        if (i && sep && b.add(sep) < 0) return Ref();
        if (b.add(items_[i]) < 0) return Ref();
    }
    return b.finish();
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
