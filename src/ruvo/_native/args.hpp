// Argument parsing with the interpreter's standard messages, for the fast
// calling convention (argument vector plus keyword names) and for the
// tuple-and-dict convention of type slots such as tp_init.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

#include "ref.hpp"

namespace ruvo {

// TypeError "NAME() takes exactly|at least|at most N positional argument(s) (M given)".
void raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given);

// The parameters of one function or method: names in order, the first
// `required` of them without default. Instances are static; the names are
// interned on first use.
class Params {
public:
    static constexpr int kMax = 8;

    constexpr Params(const char* func, std::initializer_list<const char*> names, int required = -1) noexcept
        : Params(func, names.begin(), static_cast<int>(names.size()), required) {}
    constexpr Params(const char* func, const char* const* names, int count, int required) noexcept
        : func_(func), names_{}, count_(0), required_(required) {
        for (int i = 0; i < count && i < kMax; ++i) names_[count_++] = names[i];
        if (required_ < 0 || required_ > count_) required_ = count_;
    }

    const char* func() const noexcept { return func_; }
    int count() const noexcept { return count_; }
    const char* name(int i) const noexcept { return names_[i]; }

    // Fills out[0..count) with borrowed references, null for an absent
    // optional parameter. With `extra` non-null, keywords that name no
    // parameter are collected into a new dict there (a **kwargs parameter)
    // instead of being refused. Returns 0, or -1 with an exception set.
    // `nargsf` is the count as the fast calling convention passes it (the
    // offset flag may be set).
    int parse(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out, Ref* extra = nullptr) const;
    // The same for a positional tuple and a keyword dict (either may be
    // null). `keep` receives what holds the keyword values: keep it while
    // out is used, since Python code run meanwhile may empty the caller's dict.
    int parse(PyObject* args, PyObject* kwargs, PyObject** out, Ref& keep, Ref* extra = nullptr) const;

private:
    template <class Keywords>
    int parse_impl(PyObject* const* args, Py_ssize_t nargs, const Keywords& kw, PyObject** out,
                   Ref* extra) const;
    bool intern() const;
    int index_of(PyObject* key) const;  // -1 when no parameter has that name, -2 on error

    const char* func_;
    const char* names_[kMax];
    int count_;
    int required_;
    mutable PyObject* interned_[kMax] = {};
};

// The fast-call arguments from position `first` on as a new tuple (`rest`),
// and the keyword arguments as a new dict (`kwargs`, left empty when there
// are none): for functions with *args and **kwargs. 0 or -1.
int split_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t first, Ref& rest, Ref& kwargs);

}  // namespace ruvo
