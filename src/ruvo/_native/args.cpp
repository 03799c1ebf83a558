#include "args.hpp"

namespace ruvo {

void raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < min) {
        more_or_less = "at least";
        expected = min;
    } else {
        more_or_less = "at most";
        expected = max;
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

bool Params::intern() const {
    if (count_ == 0 || interned_[count_ - 1]) return true;
    for (int i = 0; i < count_; ++i) {
        if (!interned_[i]) {
            interned_[i] = PyUnicode_InternFromString(names_[i]);
            if (!interned_[i]) return false;
        }
    }
    return true;
}

int Params::index_of(PyObject* key) const {
    for (int i = 0; i < count_; ++i) {
        if (interned_[i] == key) return i;
    }
    for (int i = 0; i < count_; ++i) {
        int eq = PyUnicode_Compare(interned_[i], key) == 0;
        if (eq) return i;
        if (PyErr_Occurred()) return -2;
    }
    return -1;
}

namespace {

// Keyword names and values of the fast calling convention.
struct VectorKeywords {
    PyObject* names;
    PyObject* const* values;
    Py_ssize_t size() const { return names ? PyTuple_GET_SIZE(names) : 0; }
    PyObject* key(Py_ssize_t i) const { return PyTuple_GET_ITEM(names, i); }
    PyObject* value(Py_ssize_t i) const { return values[i]; }
};

// Keyword dict of the tuple-and-dict convention, as a snapshot of its keys
// and values: the snapshot holds them while they are compared and hashed (a
// key's __hash__ may empty the dict) and, handed to the caller, while the
// caller uses them.
struct DictKeywords {
    Ref items;
    Py_ssize_t n = 0;
    explicit DictKeywords(PyObject* d) {
        if (!d) return;
        items = dict_snapshot(d);
        n = items ? PyTuple_GET_SIZE(items.get()) / 2 : -1;
    }
    Py_ssize_t size() const { return n; }
    PyObject* key(Py_ssize_t i) const { return PyTuple_GET_ITEM(items.get(), 2 * i); }
    PyObject* value(Py_ssize_t i) const { return PyTuple_GET_ITEM(items.get(), 2 * i + 1); }
};

}  // namespace

template <class Keywords>
int Params::parse_impl(PyObject* const* args, Py_ssize_t nargs, const Keywords& kw, PyObject** out,
                       Ref* extra) const {
    const bool exact = required_ == count_;
    if (nargs > count_) {
        raise_arg_count(func_, exact, required_, count_, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (int i = static_cast<int>(nargs); i < count_; ++i) out[i] = nullptr;
    const Py_ssize_t nkw = kw.size();
    if (nkw < 0) return -1;
    if (nkw == 0) {
        if (nargs < required_) {
            raise_arg_count(func_, exact, required_, count_, nargs);
            return -1;
        }
        return 0;
    }
    if (!intern()) return -1;
    // First the parameters not given by position, in order: a missing
    // required one is reported by its position.
    Py_ssize_t used = 0;
    for (int i = static_cast<int>(nargs); i < count_; ++i) {
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (kw.key(j) == interned_[i]) {
                out[i] = kw.value(j);
                ++used;
                break;
            }
        }
        if (!out[i]) {
            for (Py_ssize_t j = 0; j < nkw; ++j) {
                PyObject* k = kw.key(j);
                if (PyUnicode_Check(k) && PyUnicode_Compare(k, interned_[i]) == 0) {
                    out[i] = kw.value(j);
                    ++used;
                    break;
                }
            }
        }
        if (!out[i] && i < required_) {
            raise_arg_count(func_, exact, required_, count_, i);
            return -1;
        }
    }
    if (used == nkw) return 0;
    // Keywords left over: non-strings, duplicates of positional ones, unknown names.
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* k = kw.key(j);
        if (!PyUnicode_Check(k)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_);
            return -1;
        }
        int idx = index_of(k);
        if (idx == -2) return -1;
        if (idx >= 0 && idx >= nargs) continue;  // taken above
        if (idx >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_, k);
            return -1;
        }
        if (!extra) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_, k);
            return -1;
        }
        if (!*extra) {
            *extra = Ref::steal(PyDict_New());
            if (!*extra) return -1;
        }
        if (PyDict_SetItem(extra->get(), k, kw.value(j)) < 0) return -1;
    }
    return 0;
}

int Params::parse(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out, Ref* extra) const {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return parse_impl(args, nargs, VectorKeywords{kwnames, args + nargs}, out, extra);
}

int Params::parse(PyObject* args, PyObject* kwargs, PyObject** out, Ref& keep, Ref* extra) const {
    PyObject* const* items = args ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (kwargs && PyDict_GET_SIZE(kwargs) == 0) kwargs = nullptr;
    DictKeywords kw(kwargs);
    int rc = parse_impl(items, nargs, kw, out, extra);
    keep = std::move(kw.items);
    return rc;
}

int split_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t first, Ref& rest,
               Ref& kwargs) {
    rest = Ref::steal(PyTuple_New(nargs - first));
    if (!rest) return -1;
    for (Py_ssize_t i = first; i < nargs; ++i) PyTuple_SET_ITEM(rest.get(), i - first, Py_NewRef(args[i]));
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return -1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return -1;
        }
    }
    return 0;
}

}  // namespace ruvo
