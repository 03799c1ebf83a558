// Renderings written in one pass. Items whose text can be had without
// running Python code (an exact str of one-byte characters, an exact int
// within 64 bits, an exact float) are measured as they are read; their
// texts are then written, with a separator between them, into one new str:
// one allocation and one copy. Any other item makes the caller take its
// general path.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <charconv>
#include <string_view>

#include "native.hpp"

namespace ruvo::attributes {

// The text of one plain item and where it lies.
struct PlainSpan {
    PyObject* item;
    const char* data;
    Py_ssize_t length;
};

// The digits of an exact float, written at `out` (kFloatTextMax bytes free)
// for `span`. False, with no exception set, for any other item.
bool read_float(PyObject* item, PlainSpan& span, char* out);

// The texts of spans[0..count) separated by `separator` (ASCII) in one new
// str of `length` characters besides the separators.
Ref join_plain(const PlainSpan* spans, int count, Py_ssize_t length, bool ascii, std::string_view separator);

// Up to N plain items, then their joined text.
template <int N>
class PlainText {
public:
    // Adds the text of `item` as str() writes it. False, with no exception
    // set, for an item of another kind or beyond N. The caller keeps the
    // items alive until join (nothing here runs Python code).
    bool add(PyObject* item) {
        if (count_ == N) return false;
        PlainSpan& span = spans_[count_];
        span.item = item;
        if (PyUnicode_CheckExact(item)) {
            // A str not yet in its compact form (only from the legacy API)
            // takes the general path.
            if (!PyUnicode_IS_READY(item) || PyUnicode_KIND(item) != PyUnicode_1BYTE_KIND) return false;
            ascii_ = ascii_ && PyUnicode_IS_ASCII(item);
            span.data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(item));
            span.length = PyUnicode_GET_LENGTH(item);
        } else if (const PlainSpan* seen = find(item)) {
            // An item already added (a box value repeats its items) is
            // written again from the same digits. Numbers are written at
            // free_ (kFloatTextMax bytes each).
            span = *seen;
        } else if (PyLong_CheckExact(item) ? read_int(item, span, free_) : read_float(item, span, free_)) {
            free_ += span.length;
        } else {
            return false;
        }
        length_ += span.length;
        ++count_;
        return true;
    }

    // The texts added, in order, separated by `separator` (ASCII): a new
    // str, or null with an exception.
    Ref join(std::string_view separator) const { return join_plain(spans_, count_, length_, ascii_, separator); }

private:
    // An exact int within 64 bits, the usual box or list item.
    static bool read_int(PyObject* item, PlainSpan& span, char* out) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow) return false;
        span.data = out;
        span.length = std::to_chars(out, out + kFloatTextMax, v).ptr - out;
        return true;
    }

    const PlainSpan* find(PyObject* item) const {
        for (int i = 0; i < count_; ++i) {
            if (spans_[i].item == item) return &spans_[i];
        }
        return nullptr;
    }

    PlainSpan spans_[N];
    char numbers_[N * kFloatTextMax];
    char* free_ = numbers_;
    int count_ = 0;
    Py_ssize_t length_ = 0;
    bool ascii_ = true;
};

}  // namespace ruvo::attributes
