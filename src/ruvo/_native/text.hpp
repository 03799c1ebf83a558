// Text building blocks: concatenation of str pieces (optionally HTML-escaping
// some of them on the way), a growable run of pieces joined once, and the
// escaping of html.escape(text, quote=True), done natively.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

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
