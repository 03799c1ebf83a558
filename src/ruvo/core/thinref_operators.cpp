// ThinRef operator forwarding: binary operators with their reflected forms,
// in-place operators that rebind the proxy, unary operators and numeric
// conversions, containers, iteration and context management. Each family is
// generated from one template over a small table entry.
#include "thinref.hpp"

namespace ruvo::thinref {

namespace {

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr PyObject* kNull = nullptr;

// ---------------------------------------------------------------------------
// Binary operators.

using BinaryApply = PyObject* (*)(PyObject*, PyObject*);

struct BinaryOp {
    binaryfunc PyNumberMethods::*slot;
    BinaryApply apply;  // the host's operator: apply(left, right)
    const char* name;
    const char* rname;
    const char* dotted;
    const char* rdotted;
};

// The forward operation: r OP other.
template <const BinaryOp& Op>
PyObject* forward_binary(PyObject* proxy, PyObject* other) {
    return forward(proxy, kNull, Op.dotted, [other](PyObject* r) { return Op.apply(r, other); });
}

// The reflected operation: other OP r.
template <const BinaryOp& Op>
PyObject* reflected_binary(PyObject* proxy, PyObject* other) {
    return forward(proxy, kNull, Op.rdotted, [other](PyObject* r) { return Op.apply(other, r); });
}

// Whether `x` takes the proxy's part in a binary operation with `other`: its
// type is other's type, or provides this very operation, or derives from
// ThinRef.
template <class Slot>
bool counts_as_proxy(PyObject* x, PyObject* other, Slot PyNumberMethods::*slot, Slot fn) {
    PyTypeObject* t = Py_TYPE(x);
    if (t == Py_TYPE(other)) return true;
    if (t->tp_as_number && t->tp_as_number->*slot == fn) return true;
    return PyType_IsSubtype(t, &ThinRefType);
}

// The type's slot: the host calls it for `a OP b` when either operand's type
// provides it, with the operands in their places.
template <const BinaryOp& Op>
PyObject* binary_slot(PyObject* a, PyObject* b) {
    if (counts_as_proxy(a, b, Op.slot, &binary_slot<Op>)) {
        PyObject* result = forward_binary<Op>(a, b);
        if (result != Py_NotImplemented) return result;
        Py_DECREF(result);
    }
    if (counts_as_proxy(b, a, Op.slot, &binary_slot<Op>)) return reflected_binary<Op>(b, a);
    Py_RETURN_NOTIMPLEMENTED;
}

#define THINREF_BINARY(var, slot_name, apply, name, rname) \
    constexpr BinaryOp var{&PyNumberMethods::slot_name, apply, name, rname, THINREF_NAME(name), THINREF_NAME(rname)}

THINREF_BINARY(kAdd, nb_add, PyNumber_Add, "__add__", "__radd__");
THINREF_BINARY(kSub, nb_subtract, PyNumber_Subtract, "__sub__", "__rsub__");
THINREF_BINARY(kMul, nb_multiply, PyNumber_Multiply, "__mul__", "__rmul__");
THINREF_BINARY(kTrueDiv, nb_true_divide, operator_truediv, "__truediv__", "__rtruediv__");
THINREF_BINARY(kFloorDiv, nb_floor_divide, PyNumber_FloorDivide, "__floordiv__", "__rfloordiv__");
THINREF_BINARY(kMod, nb_remainder, PyNumber_Remainder, "__mod__", "__rmod__");
THINREF_BINARY(kDivmod, nb_divmod, PyNumber_Divmod, "__divmod__", "__rdivmod__");
THINREF_BINARY(kLshift, nb_lshift, PyNumber_Lshift, "__lshift__", "__rlshift__");
THINREF_BINARY(kRshift, nb_rshift, PyNumber_Rshift, "__rshift__", "__rrshift__");
THINREF_BINARY(kAnd, nb_and, PyNumber_And, "__and__", "__rand__");
THINREF_BINARY(kXor, nb_xor, PyNumber_Xor, "__xor__", "__rxor__");
THINREF_BINARY(kOr, nb_or, PyNumber_Or, "__or__", "__ror__");

#undef THINREF_BINARY

// The named methods: __add__(other) computes r + other, __radd__(other)
// computes other + r, without the dispatch of the slot.
template <const BinaryOp& Op, bool Reflected>
PyObject* binary_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params(Reflected ? Op.rname : Op.name, {"other"});
    PyObject* other;
    if (params.parse(args, nargs, kwnames, &other) < 0) {
        traceback(Reflected ? Op.rdotted : Op.dotted, __LINE__);
        return nullptr;
    }
    return Reflected ? reflected_binary<Op>(self, other) : forward_binary<Op>(self, other);
}

// Power: the same dispatch, with the modulo passed on unchanged.
PyObject* power_slot(PyObject* a, PyObject* b, PyObject* mod) {
    if (counts_as_proxy(a, b, &PyNumberMethods::nb_power, &power_slot)) {
        PyObject* result = forward(a, kNull, THINREF_NAME("__pow__"),
                                   [b, mod](PyObject* r) { return PyNumber_Power(r, b, mod); });
        if (result != Py_NotImplemented) return result;
        Py_DECREF(result);
    }
    if (counts_as_proxy(b, a, &PyNumberMethods::nb_power, &power_slot)) {
        return forward(b, kNull, THINREF_NAME("__rpow__"), [a, mod](PyObject* r) { return PyNumber_Power(a, r, mod); });
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// ---------------------------------------------------------------------------
// In-place operators: the referent's in-place result becomes the new referent.

// Binds the proxy to `result` (stolen) by a new weak reference without a
// destructor, and returns the proxy. When `result` cannot be weakly
// referenced the field keeps its old value.
PyObject* rebind(PyObject* self, PyObject* result) {
    if (!result) return nullptr;
    Ref held = Ref::steal(result);
    PyObject* wr = make_weakref(result, nullptr);
    if (!wr) return nullptr;
    set_field(self, wr);
    return Py_NewRef(self);
}

struct InplaceOp {
    BinaryApply apply;
    const char* dotted;
};

template <const InplaceOp& Op>
PyObject* inplace_slot(PyObject* self, PyObject* other) {
    return forward(self, kNull, Op.dotted, [self, other](PyObject* r) { return rebind(self, Op.apply(r, other)); });
}

constexpr InplaceOp kIAdd{PyNumber_InPlaceAdd, THINREF_NAME("__iadd__")};
constexpr InplaceOp kISub{PyNumber_InPlaceSubtract, THINREF_NAME("__isub__")};
constexpr InplaceOp kIMul{PyNumber_InPlaceMultiply, THINREF_NAME("__imul__")};
constexpr InplaceOp kITrueDiv{operator_itruediv, THINREF_NAME("__itruediv__")};
constexpr InplaceOp kIFloorDiv{PyNumber_InPlaceFloorDivide, THINREF_NAME("__ifloordiv__")};
constexpr InplaceOp kIMod{PyNumber_InPlaceRemainder, THINREF_NAME("__imod__")};
constexpr InplaceOp kILshift{PyNumber_InPlaceLshift, THINREF_NAME("__ilshift__")};
constexpr InplaceOp kIRshift{PyNumber_InPlaceRshift, THINREF_NAME("__irshift__")};
constexpr InplaceOp kIAnd{PyNumber_InPlaceAnd, THINREF_NAME("__iand__")};
constexpr InplaceOp kIXor{PyNumber_InPlaceXor, THINREF_NAME("__ixor__")};
constexpr InplaceOp kIOr{PyNumber_InPlaceOr, THINREF_NAME("__ior__")};

// `**=` takes no modulus; the host passes None for it.
PyObject* inplace_power_slot(PyObject* self, PyObject* other, PyObject* mod) {
    if (mod != Py_None) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %zd arguments but %zd were given", THINREF_NAME("__ipow__"),
                     static_cast<Py_ssize_t>(2), static_cast<Py_ssize_t>(3));
        THINREF_FAIL("__ipow__");
    }
    return forward(self, kNull, THINREF_NAME("__ipow__"),
                   [self, other](PyObject* r) { return rebind(self, PyNumber_InPlacePower(r, other, Py_None)); });
}

// ---------------------------------------------------------------------------
// Unary operators and conversions.

struct UnaryOp {
    PyObject* (*apply)(PyObject*);
    const char* dotted;
};

template <const UnaryOp& Op>
PyObject* unary_slot(PyObject* self) {
    return forward(self, kNull, Op.dotted, [](PyObject* r) { return Op.apply(r); });
}

constexpr UnaryOp kNeg{PyNumber_Negative, THINREF_NAME("__neg__")};
constexpr UnaryOp kPos{PyNumber_Positive, THINREF_NAME("__pos__")};
constexpr UnaryOp kAbs{PyNumber_Absolute, THINREF_NAME("__abs__")};
constexpr UnaryOp kInvert{PyNumber_Invert, THINREF_NAME("__invert__")};
constexpr UnaryOp kInt{PyNumber_Long, THINREF_NAME("__int__")};
constexpr UnaryOp kFloat{PyNumber_Float, THINREF_NAME("__float__")};
constexpr UnaryOp kIndex{operator_index, THINREF_NAME("__index__")};

// Named methods without arguments.
struct NoArgOp {
    const char* name;
    PyObject* (*apply)(PyObject*);
    const char* dotted;
};

template <const NoArgOp& Op>
PyObject* noarg_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (no_args(Op.name, nargs, kwnames) < 0) {
        traceback(Op.dotted, __LINE__);
        return nullptr;
    }
    return forward(self, kNull, Op.dotted, [](PyObject* r) { return Op.apply(r); });
}

constexpr NoArgOp kOct{"__oct__", [](PyObject* r) { return PyNumber_ToBase(r, 8); }, THINREF_NAME("__oct__")};
constexpr NoArgOp kHex{"__hex__", [](PyObject* r) { return PyNumber_ToBase(r, 16); }, THINREF_NAME("__hex__")};
constexpr NoArgOp kRound{"__round__", [](PyObject* r) { return PyObject_CallOneArg(builtin_round, r); },
                         THINREF_NAME("__round__")};
constexpr NoArgOp kReversed{"__reversed__", [](PyObject* r) { return PyObject_CallOneArg(builtin_reversed, r); },
                            THINREF_NAME("__reversed__")};
constexpr NoArgOp kEnter{"__enter__", [](PyObject* r) { return PyObject_CallMethodNoArgs(r, T.enter); },
                         THINREF_NAME("__enter__")};

// __exit__(*args, **kwargs): the referent's own __exit__ with the same arguments.
PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return forward(self, kNull, THINREF_NAME("__exit__"), [=](PyObject* r) -> PyObject* {
        Ref exit = Ref::steal(PyObject_GetAttr(r, T.exit));
        if (!exit) return nullptr;
        return PyObject_Vectorcall(exit.get(), args, nargs, kwnames);
    });
}

// ---------------------------------------------------------------------------
// Containers and iteration.

Py_ssize_t length_slot(PyObject* self) {
    return forward(self, static_cast<Py_ssize_t>(-1), THINREF_NAME("__len__"),
                   [](PyObject* r) { return PyObject_Size(r); });
}

int contains_slot(PyObject* self, PyObject* item) {
    return forward(self, -1, THINREF_NAME("__contains__"),
                   [item](PyObject* r) { return PySequence_Contains(r, item); });
}

PyObject* getitem_slot(PyObject* self, PyObject* key) {
    return forward(self, kNull, THINREF_NAME("__getitem__"), [key](PyObject* r) { return PyObject_GetItem(r, key); });
}

int setitem_slot(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
        return forward(self, -1, THINREF_NAME("__delitem__"), [key](PyObject* r) { return PyObject_DelItem(r, key); });
    }
    return forward(self, -1, THINREF_NAME("__setitem__"),
                   [key, value](PyObject* r) { return PyObject_SetItem(r, key, value); });
}

// Access by position through the sequence protocol takes the same path.
PyObject* item_slot(PyObject* self, Py_ssize_t i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return key ? getitem_slot(self, key.get()) : nullptr;
}

int ass_item_slot(PyObject* self, Py_ssize_t i, PyObject* value) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return key ? setitem_slot(self, key.get(), value) : -1;
}

PyNumberMethods number_table;
PySequenceMethods sequence_table;
PyMappingMethods mapping_table;

constexpr int kNamedFlags = METH_FASTCALL | METH_KEYWORDS | METH_COEXIST;  // replaces the slot wrapper

#define THINREF_BINARY_METHODS(op, name, rname, sym)                                          \
    {name, cfunc(binary_method<op, false>), kNamedFlags, "Return referent " sym " other."}, \
        {rname, cfunc(binary_method<op, true>), kNamedFlags, "Return other " sym " referent."}

PyMethodDef methods[] = {
    THINREF_BINARY_METHODS(kAdd, "__add__", "__radd__", "+"),
    THINREF_BINARY_METHODS(kSub, "__sub__", "__rsub__", "-"),
    THINREF_BINARY_METHODS(kMul, "__mul__", "__rmul__", "*"),
    THINREF_BINARY_METHODS(kTrueDiv, "__truediv__", "__rtruediv__", "/"),
    THINREF_BINARY_METHODS(kFloorDiv, "__floordiv__", "__rfloordiv__", "//"),
    THINREF_BINARY_METHODS(kMod, "__mod__", "__rmod__", "%"),
    {"__divmod__", cfunc(binary_method<kDivmod, false>), kNamedFlags, "Return divmod(referent, other)."},
    {"__rdivmod__", cfunc(binary_method<kDivmod, true>), kNamedFlags, "Return divmod(other, referent)."},
    THINREF_BINARY_METHODS(kLshift, "__lshift__", "__rlshift__", "<<"),
    THINREF_BINARY_METHODS(kRshift, "__rshift__", "__rrshift__", ">>"),
    THINREF_BINARY_METHODS(kAnd, "__and__", "__rand__", "&"),
    THINREF_BINARY_METHODS(kXor, "__xor__", "__rxor__", "^"),
    THINREF_BINARY_METHODS(kOr, "__or__", "__ror__", "|"),
    {"__oct__", cfunc(noarg_method<kOct>), METH_FASTCALL | METH_KEYWORDS, "Return oct(referent)."},
    {"__hex__", cfunc(noarg_method<kHex>), METH_FASTCALL | METH_KEYWORDS, "Return hex(referent)."},
    {"__round__", cfunc(noarg_method<kRound>), METH_FASTCALL | METH_KEYWORDS, "Return round(referent)."},
    {"__reversed__", cfunc(noarg_method<kReversed>), METH_FASTCALL | METH_KEYWORDS, "Return reversed(referent)."},
    {"__enter__", cfunc(noarg_method<kEnter>), METH_FASTCALL | METH_KEYWORDS, "Enter the referent's context."},
    {"__exit__", cfunc(exit_method), METH_FASTCALL | METH_KEYWORDS, "Leave the referent's context."},
    {nullptr, nullptr, 0, nullptr},
};

#undef THINREF_BINARY_METHODS

}  // namespace

PyNumberMethods* number_methods() {
    PyNumberMethods& n = number_table;
    n.nb_add = binary_slot<kAdd>;
    n.nb_subtract = binary_slot<kSub>;
    n.nb_multiply = binary_slot<kMul>;
    n.nb_remainder = binary_slot<kMod>;
    n.nb_divmod = binary_slot<kDivmod>;
    n.nb_power = power_slot;
    n.nb_negative = unary_slot<kNeg>;
    n.nb_positive = unary_slot<kPos>;
    n.nb_absolute = unary_slot<kAbs>;
    n.nb_invert = unary_slot<kInvert>;
    n.nb_lshift = binary_slot<kLshift>;
    n.nb_rshift = binary_slot<kRshift>;
    n.nb_and = binary_slot<kAnd>;
    n.nb_xor = binary_slot<kXor>;
    n.nb_or = binary_slot<kOr>;
    n.nb_int = unary_slot<kInt>;
    n.nb_float = unary_slot<kFloat>;
    n.nb_inplace_add = inplace_slot<kIAdd>;
    n.nb_inplace_subtract = inplace_slot<kISub>;
    n.nb_inplace_multiply = inplace_slot<kIMul>;
    n.nb_inplace_remainder = inplace_slot<kIMod>;
    n.nb_inplace_power = inplace_power_slot;
    n.nb_inplace_lshift = inplace_slot<kILshift>;
    n.nb_inplace_rshift = inplace_slot<kIRshift>;
    n.nb_inplace_and = inplace_slot<kIAnd>;
    n.nb_inplace_xor = inplace_slot<kIXor>;
    n.nb_inplace_or = inplace_slot<kIOr>;
    n.nb_floor_divide = binary_slot<kFloorDiv>;
    n.nb_true_divide = binary_slot<kTrueDiv>;
    n.nb_inplace_floor_divide = inplace_slot<kIFloorDiv>;
    n.nb_inplace_true_divide = inplace_slot<kITrueDiv>;
    n.nb_index = unary_slot<kIndex>;
    return &n;
}

PySequenceMethods* sequence_methods() {
    PySequenceMethods& s = sequence_table;
    s.sq_length = length_slot;
    s.sq_item = item_slot;
    s.sq_ass_item = ass_item_slot;
    s.sq_contains = contains_slot;
    return &s;
}

PyMappingMethods* mapping_methods() {
    PyMappingMethods& m = mapping_table;
    m.mp_length = length_slot;
    m.mp_subscript = getitem_slot;
    m.mp_ass_subscript = setitem_slot;
    return &m;
}

PyObject* iter_slot(PyObject* self) {
    return forward(self, kNull, THINREF_NAME("__iter__"), [](PyObject* r) { return PyObject_GetIter(r); });
}

PyMethodDef* operator_methods() { return methods; }

}  // namespace ruvo::thinref
