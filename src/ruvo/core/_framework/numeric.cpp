// NumericProperty and BoundedNumericProperty: numbers, also given as text
// with a CSS length unit ("12px") or as a (number, unit) pair. The unit of a
// parsed value is remembered in the object's storage.
#include <cmath>
#include <cstring>

#include "framework.hpp"

namespace ruvo::framework::impl {

namespace {

NumericProperty* as_num(PyObject* o) { return reinterpret_cast<NumericProperty*>(o); }
BoundedNumericProperty* as_bounded(PyObject* o) { return reinterpret_cast<BoundedNumericProperty*>(o); }
NumericPropertyTable* num_table(Property* p) { return reinterpret_cast<NumericPropertyTable*>(p->vtab); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Length of the decimal number at the start of [s, end): [+-]digits[.digits][e[+-]digits],
// with at least one digit. 0 when there is none.
Py_ssize_t scan_number(const char* s, const char* end) {
    const char* p = s;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9') ++p, ++digits;
    if (p < end && *p == '.') {
        ++p;
        while (p < end && *p >= '0' && *p <= '9') ++p, ++digits;
    }
    if (!digits) return 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        if (q < end && *q >= '0' && *q <= '9') {
            while (q < end && *q >= '0' && *q <= '9') ++q;
            p = q;
        }
    }
    return p - s;
}

// The unit constant matching [s, s+n): Py_None for no unit, a str from
// CSS_LENGTH_UNITS or "%"; null when it is none of them (borrowed).
PyObject* match_unit(const char* s, Py_ssize_t n) {
    if (n == 0) return Py_None;
    if (n == 1 && *s == '%') return texts.percent;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts.units); ++i) {
        PyObject* u = PyTuple_GET_ITEM(texts.units, i);
        Py_ssize_t len;
        const char* text = PyUnicode_AsUTF8AndSize(u, &len);
        if (text && len == n && std::memcmp(text, s, n) == 0) return u;
    }
    return nullptr;
}

// Parses `text` into *out and the unit constant into *unit; false when the
// text is not a number with an allowed unit (no exception set) or on error.
bool parse_number_text(PyObject* text, bool allow_unit, double* out, PyObject** unit) {
    Py_ssize_t size;
    const char* s = PyUnicode_AsUTF8AndSize(text, &size);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    const char* end = s + size;
    while (s < end && is_space(*s)) ++s;
    while (end > s && is_space(end[-1])) --end;
    Py_ssize_t n = scan_number(s, end);
    if (!n || n > 400) return false;
    PyObject* u = match_unit(s + n, end - (s + n));
    if (!u || (!allow_unit && u != Py_None)) return false;
    char buffer[402];
    std::memcpy(buffer, s, n);
    buffer[n] = '\0';
    double d = PyOS_string_to_double(buffer, nullptr, nullptr);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *out = d;
    *unit = u;
    return true;
}

// Narrows to 32 bits; a value that does not fit is refused.
bool narrow(double d, float* out) {
    float f = static_cast<float>(d);
    if (!std::isfinite(f)) return false;
    *out = f;
    return true;
}

// Remembers `unit` (borrowed) for obj; obj None remembers nothing.
int remember_unit(NumericProperty* self, PyObject* obj, PyObject* unit) {
    if (obj == Py_None) return 0;
    Ref s = storage_of(&self->base, obj);
    if (!s) return -1;
    set_field(as_storage(s)->units, Ref::borrow(unit));
    return 0;
}

float op_parse_text(NumericProperty* self, PyObject* obj, PyObject* text) {
    double d;
    float f;
    PyObject* unit;
    if (!PyUnicode_Check(text) || !parse_number_text(text, true, &d, &unit) || !narrow(d, &f)) {
        if (!PyErr_Occurred()) {
            raise_named(PyExc_ValueError, &self->base, obj, " cannot parse %R: expected a number with an optional "
                        "unit from CSS_LENGTH_UNITS or '%%'", text);
        }
        return -1.0f;
    }
    if (remember_unit(self, obj, unit) < 0) return -1.0f;
    return f;
}

float op_parse_pair(NumericProperty* self, PyObject* obj, PyObject* number, PyObject* unit) {
    double d = 0;
    float f;
    PyObject* u = nullptr;
    bool ok;
    if (is_number(number)) {
        d = PyFloat_AsDouble(number);
        ok = !(d == -1.0 && PyErr_Occurred());
        if (!ok) PyErr_Clear();
    } else {
        PyObject* none;
        ok = PyUnicode_Check(number) && parse_number_text(number, false, &d, &none);
    }
    if (ok) {
        if (unit == Py_None) {
            u = Py_None;
        } else if (PyUnicode_Check(unit)) {
            Py_ssize_t n;
            const char* s = PyUnicode_AsUTF8AndSize(unit, &n);
            if (!s) PyErr_Clear();
            u = s ? match_unit(s, n) : nullptr;
        }
        ok = u && narrow(d, &f);
    }
    if (!ok) {
        raise_named(PyExc_ValueError, &self->base, obj, " cannot parse the pair (%R, %R): expected a number and a "
                    "unit from CSS_LENGTH_UNITS, '%%', '' or None", number, unit);
        return -1.0f;
    }
    if (remember_unit(self, obj, u) < 0) return -1.0f;
    return f;
}

PyObject* numeric_convert(Property* self, PyObject* obj, PyObject* value) {
    if (PyUnicode_Check(value)) {
        return widen(num_table(self)->parse_text(reinterpret_cast<NumericProperty*>(self), obj, value)).release();
    }
    if ((PyList_Check(value) || PyTuple_Check(value)) && PySequence_Fast_GET_SIZE(value) == 2) {
        Ref number = Ref::borrow(PySequence_Fast_GET_ITEM(value, 0));
        Ref unit = Ref::borrow(PySequence_Fast_GET_ITEM(value, 1));
        return widen(num_table(self)->parse_pair(reinterpret_cast<NumericProperty*>(self), obj, number.get(),
                                                 unit.get()))
            .release();
    }
    return Py_NewRef(value);
}

PyObject* numeric_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    if (r.get() != Py_None || is_number(value)) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " accepts only int or float (got %R)", value);
}

PyObject* numeric_set(Property* self, PyObject* obj, PyObject* value) {
    return property_assign(self, obj, value, true).release();
}

// value < bound (or > with `above`), as 1, 0 or -1.
int beyond(PyObject* value, PyObject* bound, bool above) {
    if (bound == Py_None) return 0;
    return PyObject_RichCompareBool(value, bound, above ? Py_GT : Py_LT);
}

PyObject* bounded_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(numeric_check(self, obj, value));
    if (!r || r.get() == Py_True) return r.release();
    BoundedNumericProperty* b = reinterpret_cast<BoundedNumericProperty*>(self);
    Ref lo = Ref::borrow(b->min), hi = Ref::borrow(b->max);
    int below = beyond(value, lo.get(), false);
    if (below < 0) return nullptr;
    if (below) return raise_named(PyExc_ValueError, self, obj, " is below the minimum bound %R (got %R)", lo.get(), value);
    int over = beyond(value, hi.get(), true);
    if (over < 0) return nullptr;
    if (over) return raise_named(PyExc_ValueError, self, obj, " is above the maximum bound %R (got %R)", hi.get(), value);
    return r.release();
}

constexpr NumericPropertyTable numeric_operations() {
    NumericPropertyTable t{property_operations(), op_parse_text, op_parse_pair};
    t.base.convert = numeric_convert;
    t.base.check = numeric_check;
    t.base.set = numeric_set;
    return t;
}

}  // namespace

constinit NumericPropertyTable numeric_table = numeric_operations();

constinit NumericPropertyTable bounded_table = [] {
    NumericPropertyTable t = numeric_operations();
    t.base.check = bounded_check;
    return t;
}();

namespace {

// ---------------------------------------------------------------------------
// Life cycle

Ref numeric_new(PyTypeObject* type) {
    Ref self = property_new(type);
    if (!self) return self;
    NumericProperty* n = as_num(self.get());
    n->base.vtab = &numeric_table.base;
    n->units = Py_NewRef(Py_None);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return zero;
    set_field(n->base.defaultvalue, std::move(zero));
    return self;
}

int numeric_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_num(self)->units);
    return property_traverse(self, visit, arg);
}

int numeric_clear(PyObject* self) {
    set_none(as_num(self)->units);
    return property_clear(self);
}

void numeric_release(PyObject* self) {
    Py_CLEAR(as_num(self)->units);
    property_release(self);
}

Ref bounded_new(PyTypeObject* type) {
    Ref self = numeric_new(type);
    if (!self) return self;
    as_num(self.get())->base.vtab = &bounded_table.base;
    as_bounded(self.get())->min = Py_NewRef(Py_None);
    as_bounded(self.get())->max = Py_NewRef(Py_None);
    return self;
}

int bounded_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_bounded(self)->min);
    Py_VISIT(as_bounded(self)->max);
    return numeric_traverse(self, visit, arg);
}

int bounded_clear(PyObject* self) {
    set_none(as_bounded(self)->min);
    set_none(as_bounded(self)->max);
    return numeric_clear(self);
}

void bounded_release(PyObject* self) {
    Py_CLEAR(as_bounded(self)->min);
    Py_CLEAR(as_bounded(self)->max);
    numeric_release(self);
}

PyObject* numeric_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return finish_new(numeric_new(type), &NumericPropertyType).release();
}

PyObject* bounded_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return finish_new(bounded_new(type), &BoundedNumericPropertyType).release();
}

int set_units(NumericProperty* self, PyObject* units) {
    if (!units) units = Py_None;
    if (!check_exact_or_none(units, &PyUnicode_Type)) return -1;
    set_field(self->units, Ref::borrow(units));
    return 0;
}

PyObject* zero() {
    static PyObject* z = nullptr;
    if (!z) z = PyLong_FromLong(0);
    return z;
}

const Method numeric_init_method{module_def, "NumericProperty.__init__", {"defaultvalue", "units"}, 0};
const Method bounded_init_method{module_def, "BoundedNumericProperty.__init__", {"defaultvalue", "min", "max"}, 0};

int numeric_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (!zero() || numeric_init_method.params.parse(args, kwargs, a, keep, &kw) < 0 ||
        property_init_common(&as_num(self)->base, a[0], zero(), kw.get()) < 0 || set_units(as_num(self), a[1]) < 0) {
        return numeric_init_method.site.fail();
    }
    return 0;
}

int check_bound(PyObject* bound, const char* which) {
    if (!bound || bound == Py_None || is_number(bound)) return 0;
    PyErr_Format(PyExc_TypeError, "BoundedNumericProperty %s must be an int, a float or None, got %.200s", which,
                 Py_TYPE(bound)->tp_name);
    return -1;
}

int bounded_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (!zero() || bounded_init_method.params.parse(args, kwargs, a, keep, &kw) < 0 || check_bound(a[1], "min") < 0 ||
        check_bound(a[2], "max") < 0 || property_init_common(&as_num(self)->base, a[0], zero(), kw.get()) < 0 ||
        set_units(as_num(self), kw ? PyDict_GetItemString(kw.get(), "units") : nullptr) < 0) {
        return bounded_init_method.site.fail();
    }
    set_field(as_bounded(self)->min, Ref::borrow(a[1] ? a[1] : Py_None));
    set_field(as_bounded(self)->max, Ref::borrow(a[2] ? a[2] : Py_None));
    return 0;
}

// ---------------------------------------------------------------------------
// Python-visible methods

const Method parse_text_method{module_def, "NumericProperty.parse_text", {"obj", "text"}};
const Method parse_pair_method{module_def, "NumericProperty.parse_pair", {"obj", "number", "unit"}};
const Method get_units_method{module_def, "NumericProperty.get_units", {"obj"}};
const Method get_min_method{module_def, "BoundedNumericProperty.get_min", {"obj"}};
const Method get_max_method{module_def, "BoundedNumericProperty.get_max", {"obj"}};

NumericPropertyTable* native_numeric_table(NumericProperty* n) {
    return reinterpret_cast<NumericPropertyTable*>(native_table(&n->base));
}

Ref parse_text(PyObject* self, PyObject* obj, PyObject* text) {
    NumericProperty* n = as_num(self);
    return widen(native_numeric_table(n)->parse_text(n, obj, text));
}

Ref parse_pair(PyObject* self, PyObject* obj, PyObject* number, PyObject* unit) {
    NumericProperty* n = as_num(self);
    return widen(native_numeric_table(n)->parse_pair(n, obj, number, unit));
}

Ref get_units(PyObject* self, PyObject* obj) {
    NumericProperty* n = as_num(self);
    if (obj == Py_None) return Ref::borrow(n->units);
    Ref s = storage_of(&n->base, obj);
    if (!s) return s;
    PyObject* remembered = as_storage(s)->units;
    return Ref::borrow(remembered != Py_None ? remembered : n->units);
}

Ref get_min(PyObject* self, PyObject*) { return Ref::borrow(as_bounded(self)->min); }
Ref get_max(PyObject* self, PyObject*) { return Ref::borrow(as_bounded(self)->max); }

PyMethodDef numeric_methods[] = {
    method<parse_text_method, parse_text>("parse_text($self, obj, text)\n--\n\nThe number of a text such as '12px' "
                                          "(a 32-bit float); remembers its unit for obj."),
    method<parse_pair_method, parse_pair>(
        "parse_pair($self, obj, number, unit)\n--\n\nThe same for a number and a unit given apart."),
    method<get_units_method, get_units>(
        "get_units($self, obj)\n--\n\nThe unit remembered for obj's value, else the declared units."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef bounded_methods[] = {
    method<get_min_method, get_min>("get_min($self, obj)\n--\n\nThe minimum bound (None: unbounded)."),
    method<get_max_method, get_max>("get_max($self, obj)\n--\n\nThe maximum bound (None: unbounded)."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_units_attr(PyObject* self, void*) { return Py_NewRef(as_num(self)->units); }
PyObject* get_min_attr(PyObject* self, void*) { return Py_NewRef(as_bounded(self)->min); }
PyObject* get_max_attr(PyObject* self, void*) { return Py_NewRef(as_bounded(self)->max); }

PyGetSetDef numeric_getset[] = {
    {"units", get_units_attr, nullptr, "The declared unit (str or None).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef bounded_getset[] = {
    {"min", get_min_attr, nullptr, "The minimum bound.", nullptr},
    {"max", get_max_attr, nullptr, "The maximum bound.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject NumericPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.NumericProperty", sizeof(NumericProperty), &PropertyType,
                                    "NumericProperty(defaultvalue=0, units=None, **kw)\n--\n\n"
                                    "An int or float; a text such as '12px' or a pair (12, 'px') is parsed\n"
                                    "and its unit remembered for the object (see get_units).");
    t.tp_new = numeric_tp_new;
    t.tp_init = numeric_init;
    t.tp_traverse = numeric_traverse;
    t.tp_clear = numeric_clear;
    t.tp_dealloc = trashcan_dealloc<numeric_release>;
    t.tp_methods = numeric_methods;
    t.tp_getset = numeric_getset;
    return t;
}();

PyTypeObject BoundedNumericPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.BoundedNumericProperty", sizeof(BoundedNumericProperty),
                                    &NumericPropertyType,
                                    "BoundedNumericProperty(defaultvalue=0, min=None, max=None, **kw)\n--\n\n"
                                    "A NumericProperty whose value must lie within min and max.");
    t.tp_new = bounded_tp_new;
    t.tp_init = bounded_init;
    t.tp_traverse = bounded_traverse;
    t.tp_clear = bounded_clear;
    t.tp_dealloc = trashcan_dealloc<bounded_release>;
    t.tp_methods = bounded_methods;
    t.tp_getset = bounded_getset;
    return t;
}();

}  // namespace ruvo::framework::impl
