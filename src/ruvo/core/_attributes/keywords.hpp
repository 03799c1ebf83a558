// The constructors' keyword handling: the arguments every __init__ opens
// with, the keywords shared by every class, and the call of the base's
// __init__ with the keywords that remain.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "constants.hpp"
#include "native.hpp"

namespace ruvo::attributes {

// The arguments of a constructor: the values of its own parameters (null for
// an absent one) and a new dict of every other keyword, which the constructor
// completes and hands to the base's __init__.
struct InitArgs {
    PyObject* given[Params::kMax];
    Ref kwargs;
    Ref keep;  // holds the keyword values while they are used

    // Parses `args` (null: the positional arguments are the base's) and
    // `kwds` by `params`. 0 or -1.
    int parse(const Params& params, PyObject* args, PyObject* kwds);
    // The value of parameter `i`, or `absent` when it was not given.
    PyObject* get(int i, PyObject* absent) const noexcept { return given[i] ? given[i] : absent; }
};

// Field = keyword `key` of `kwargs` (default ""), which must be exactly str
// or None: TypeError "Expected str, got T". 0 or -1.
int read_text_keyword(PyObject*& field, PyObject* kwargs, PyObject* key);

// Field = keyword "sync" (default 0) through to_int32. 0 or -1.
int read_sync_keyword(int32_t& field, PyObject* kwargs);

// A new list of the items of keyword `key` (any iterable; absent: empty).
Ref list_keyword(PyObject* kwargs, PyObject* key);

// kwargs["allownone"] = True. 0 or -1.
int force_allownone(PyObject* kwargs);

// super(cls, self).__init__(*args, **kwargs); `args` is a tuple (may be
// null). 0 or -1.
int call_base_init(PyTypeObject* cls, PyObject* self, PyObject* args, PyObject* kwargs);

// The keywords every class reads in this order: attrtype, attrname, sync,
// into the fields of the same names of `record`. 0 or -1.
template <class Record>
int read_common_keywords(Record* record, PyObject* kwargs) {
    if (read_text_keyword(record->attrtype, kwargs, texts.attrtype) < 0) return -1;
    if (read_text_keyword(record->attrname, kwargs, texts.attrname) < 0) return -1;
    return read_sync_keyword(record->sync, kwargs);
}

}  // namespace ruvo::attributes
