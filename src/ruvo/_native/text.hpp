// Text building blocks: one str built from measured segments (optionally
// HTML-escaping some of them on the way), concatenation of str pieces, a
// growable run of pieces joined once, and the escaping of
// html.escape(text, quote=True), done natively.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "ref.hpp"

namespace ruvo {

// Interned constant text, created once into `*slot`; null with an
// exception on failure.
PyObject* intern(PyObject** slot, const char* text);

// A module's constant texts, interned once at import:
//     intern_all({{&texts.empty, ""}, {&texts.name, "name"}})
struct InternedText {
    PyObject** slot;
    const char* text;
};
int intern_all(std::initializer_list<InternedText> entries);

// Concatenates `n` str objects into one new exact str.
Ref concat(PyObject* const* pieces, Py_ssize_t n);

// The same, writing the pieces whose flag in `escape` is set as
// html_escape would, without making the escaped texts first.
Ref concat_escaped(PyObject* const* pieces, const bool* escape, Py_ssize_t n);

// True when `text` (a str) holds a character that HTML escaping replaces.
bool needs_html_escape(PyObject* text);

// A new exact str equal to html.escape(text, quote=True) for a str `text`:
// & < > " ' become &amp; &lt; &gt; &quot; &#x27;.
Ref html_escape(PyObject* text);

// One-byte text (ASCII or Latin-1), for writers that fill a result of that
// kind themselves: the characters that escaping adds to s[0..n) (0 for the
// common text with nothing to replace, found by a fast scan), and the
// escaped text written at `out`, which returns the end of what it wrote.
Py_ssize_t html_escape_extra(const Py_UCS1* s, Py_ssize_t n);
Py_UCS1* write_html_escaped(const Py_UCS1* s, Py_ssize_t n, Py_UCS1* out);
// Copies n bytes. Separators, names and numbers are short: up to 32 bytes
// are moved as two overlapping loads and stores of a fixed size, which is
// cheaper than a library call.
inline void copy_bytes(unsigned char* d, const unsigned char* s, size_t n) {
    auto two = [&](auto word) {
        using W = decltype(word);
        W a, b;
        std::memcpy(&a, s, sizeof a);
        std::memcpy(&b, s + n - sizeof b, sizeof b);
        std::memcpy(d, &a, sizeof a);
        std::memcpy(d + n - sizeof b, &b, sizeof b);
    };
    struct Bytes16 {
        unsigned char b[16];
    };
    if (n >= 16) {
        if (n > 32) {
            std::memcpy(d, s, n);
        } else {
            two(Bytes16{});
        }
    } else if (n >= 8) {
        two(uint64_t{});
    } else if (n >= 4) {
        two(uint32_t{});
    } else if (n >= 2) {
        two(uint16_t{});
    } else if (n) {
        *d = *s;
    }
}

// Copies n characters of one-byte text; returns the end of what it wrote.
inline Py_UCS1* write_text(const Py_UCS1* s, Py_ssize_t n, Py_UCS1* out) {
    copy_bytes(out, s, static_cast<size_t>(n));
    return out + n;
}

// One str built from segments: str objects (written as they are or
// HTML-escaped), constant ASCII texts and the decimal text of numbers. Each
// segment's length (with escaping) is measured as it is added; finish()
// allocates the result once, of the narrowest kind that holds every segment,
// and copies each segment once. No Python code runs in any of its calls.
class TextBuilder {
public:
    TextBuilder() noexcept = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder() {
        if (owned_) release();
    }

    // A str that the caller keeps alive until finish() (borrowed).
    int add(PyObject* text) { return push(text, false, false); }
    // An owned str; a null Ref (a failure) reports -1.
    int add(Ref text) { return text ? push(text.release(), true, false) : -1; }
    // The same, written as html.escape(text, quote=True) would write it.
    int add_escaped(PyObject* text) { return push(text, false, true); }
    int add_escaped(Ref text) { return text ? push(text.release(), true, true) : -1; }
    // A constant ASCII text.
    template <std::size_t N>
    int add(const char (&text)[N]) {
        return add_ascii(text, static_cast<Py_ssize_t>(N - 1));
    }
    int add_ascii(const char* text, Py_ssize_t n) {
        // Kept as the prefix of the next str segment (separators are short
        // and always followed by a text): half the segments to write.
        if (prefix_len_ && flush_prefix() < 0) return -1;
        prefix_ = text;
        prefix_len_ = n;
        return grow_total(n);
    }
    // str(v) of an exact int or float (is_exact_number), which needs no
    // escaping: an int's digits are written without a str object.
    int add_number(PyObject* v);

    // Segments so far: 0 while nothing has been added.
    Py_ssize_t count() const noexcept { return n_ + (prefix_len_ != 0); }

    // The text as one new str; as str.join does, a lone exact str segment
    // written as it is is returned itself.
    Ref finish() { return make(true); }
    // The text as one new str, always a new object.
    Ref finish_new() { return make(false); }

private:
    struct Segment {
        const void* data;   // the characters, `kind` bytes each
        Py_ssize_t len;     // characters in data
        Py_ssize_t extra;   // characters that escaping adds; 0 copies the text as it is
        PyObject* object;   // the str written, or null for ASCII text
        const char* prefix; // ASCII text written before the characters
        Py_ssize_t prefix_len;
        int kind;
        bool owned;         // object is released with the builder
    };

    // Measures and appends one str; an owned one is released on failure.
    int push(PyObject* text, bool owned, bool escape) {
        Segment* s = PyUnicode_READY(text) < 0 ? nullptr : next();
        if (!s) {
            if (owned) Py_DECREF(text);
            return -1;
        }
        owned_ += owned;
        *s = Segment{PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text), escape ? escape_extra(text) : 0, text,
                     prefix_, prefix_len_, static_cast<int>(PyUnicode_KIND(text)), owned};
        prefix_len_ = 0;
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(text);
        if (m > maxchar_) maxchar_ = m;
        return grow_total(s->len + s->extra);
    }
    Segment* next() { return n_ < cap_ ? &items_[n_++] : grow(); }
    int grow_total(Py_ssize_t len) {
        if (__builtin_add_overflow(total_, len, &total_)) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }
    static Py_ssize_t escape_extra(PyObject* text);
    Segment* grow();
    void release();
    int flush_prefix();
    Ref make(bool reuse_single);
    template <class Out>
    void write(Out* out) const;

    static constexpr Py_ssize_t kInline = 40;
    static constexpr Py_ssize_t kDigits = 320;
    Segment inline_[kInline];
    Segment* items_ = inline_;
    Py_ssize_t n_ = 0;
    Py_ssize_t cap_ = kInline;
    Py_ssize_t total_ = 0;
    Py_ssize_t owned_ = 0;  // segments whose object is released with the builder
    Py_UCS4 maxchar_ = 127;
    const char* prefix_ = nullptr;  // ASCII text not yet attached to a segment
    Py_ssize_t prefix_len_ = 0;
    Py_ssize_t digits_used_ = 0;
    char digits_[kDigits];  // number texts, pointed to by their segments
};

// An owned run of objects, meant to be joined into one str at the end: a
// list of parts without the list object and its item-by-item joining.
class Pieces {
public:
    Pieces() noexcept = default;
    Pieces(const Pieces&) = delete;
    Pieces& operator=(const Pieces&) = delete;
    ~Pieces();

    // Appends a borrowed object (a new reference is taken); 0 or -1.
    int add(PyObject* piece) { return add(Ref::borrow(piece)); }
    // Appends an owned object; a null one (a failure) reports -1.
    int add(Ref piece) {
        if (!piece) return -1;
        if (n_ == cap_ && grow() < 0) return -1;
        items_[n_++] = piece.release();
        return 0;
    }

    Py_ssize_t size() const noexcept { return n_; }

    // The pieces joined with `sep` (null for none), as str.join does: every
    // piece must be a str, else TypeError "sequence item %zd: expected str
    // instance, %.80s found". A single exact str piece is returned itself.
    Ref join(PyObject* sep) const;

private:
    int grow();

    static constexpr Py_ssize_t kInline = 24;
    PyObject* inline_[kInline];
    PyObject** items_ = inline_;
    Py_ssize_t n_ = 0;
    Py_ssize_t cap_ = kInline;
};

}  // namespace ruvo
