// ThinRef operator forwarding: binary operators with their reflected forms,
// in-place operators that rebind the proxy, unary operators and numeric
// conversions, containers, iteration and context management. Each family is
// one template over a table entry that holds the operation and its traceback
// entry; the type's number, sequence and mapping tables are declared at the
// end.
#include "thinref.hpp"

namespace ruvo::thinref {

namespace {

constexpr PyObject* kNull = nullptr;

// ---------------------------------------------------------------------------
// Binary operators.

using BinaryApply = PyObject* (*)(PyObject*, PyObject*);

struct BinaryOp {
    binaryfunc PyNumberMethods::*slot;
    BinaryApply apply;       // the host's operator: apply(left, right)
    const Site& site;        // "ThinRef.__add__": referent OP other
    const Site& reflected;   // "ThinRef.__radd__": other OP referent
};

// The forward operation: r OP other.
template <const BinaryOp& Op>
PyObject* forward_binary(PyObject* proxy, PyObject* other) {
    return forward(Op.site, proxy, kNull, [other](PyObject* r) { return Op.apply(r, other); });
}

// The reflected operation: other OP r.
template <const BinaryOp& Op>
PyObject* reflected_binary(PyObject* proxy, PyObject* other) {
    return forward(Op.reflected, proxy, kNull, [other](PyObject* r) { return Op.apply(other, r); });
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

const Site add_site{module_def, "ThinRef.__add__"}, radd_site{module_def, "ThinRef.__radd__"};
constexpr BinaryOp kAdd{&PyNumberMethods::nb_add, PyNumber_Add, add_site, radd_site};
const Site sub_site{module_def, "ThinRef.__sub__"}, rsub_site{module_def, "ThinRef.__rsub__"};
constexpr BinaryOp kSub{&PyNumberMethods::nb_subtract, PyNumber_Subtract, sub_site, rsub_site};
const Site mul_site{module_def, "ThinRef.__mul__"}, rmul_site{module_def, "ThinRef.__rmul__"};
constexpr BinaryOp kMul{&PyNumberMethods::nb_multiply, PyNumber_Multiply, mul_site, rmul_site};
const Site truediv_site{module_def, "ThinRef.__truediv__"}, rtruediv_site{module_def, "ThinRef.__rtruediv__"};
constexpr BinaryOp kTrueDiv{&PyNumberMethods::nb_true_divide, operator_truediv, truediv_site, rtruediv_site};
const Site floordiv_site{module_def, "ThinRef.__floordiv__"}, rfloordiv_site{module_def, "ThinRef.__rfloordiv__"};
constexpr BinaryOp kFloorDiv{&PyNumberMethods::nb_floor_divide, PyNumber_FloorDivide, floordiv_site, rfloordiv_site};
const Site mod_site{module_def, "ThinRef.__mod__"}, rmod_site{module_def, "ThinRef.__rmod__"};
constexpr BinaryOp kMod{&PyNumberMethods::nb_remainder, PyNumber_Remainder, mod_site, rmod_site};
const Site divmod_site{module_def, "ThinRef.__divmod__"}, rdivmod_site{module_def, "ThinRef.__rdivmod__"};
constexpr BinaryOp kDivmod{&PyNumberMethods::nb_divmod, PyNumber_Divmod, divmod_site, rdivmod_site};
const Site lshift_site{module_def, "ThinRef.__lshift__"}, rlshift_site{module_def, "ThinRef.__rlshift__"};
constexpr BinaryOp kLshift{&PyNumberMethods::nb_lshift, PyNumber_Lshift, lshift_site, rlshift_site};
const Site rshift_site{module_def, "ThinRef.__rshift__"}, rrshift_site{module_def, "ThinRef.__rrshift__"};
constexpr BinaryOp kRshift{&PyNumberMethods::nb_rshift, PyNumber_Rshift, rshift_site, rrshift_site};
const Site and_site{module_def, "ThinRef.__and__"}, rand_site{module_def, "ThinRef.__rand__"};
constexpr BinaryOp kAnd{&PyNumberMethods::nb_and, PyNumber_And, and_site, rand_site};
const Site xor_site{module_def, "ThinRef.__xor__"}, rxor_site{module_def, "ThinRef.__rxor__"};
constexpr BinaryOp kXor{&PyNumberMethods::nb_xor, PyNumber_Xor, xor_site, rxor_site};
const Site or_site{module_def, "ThinRef.__or__"}, ror_site{module_def, "ThinRef.__ror__"};
constexpr BinaryOp kOr{&PyNumberMethods::nb_or, PyNumber_Or, or_site, ror_site};

// The operations of the named methods, in the order of Binary.
constexpr const BinaryOp* kBinaryOps[] = {&kAdd, &kSub, &kMul, &kTrueDiv, &kFloorDiv, &kMod,
                                      &kDivmod, &kLshift, &kRshift, &kAnd, &kXor, &kOr};

// Power: the same dispatch, with the modulo passed on unchanged.
const Site pow_site{module_def, "ThinRef.__pow__"};
const Site rpow_site{module_def, "ThinRef.__rpow__"};

PyObject* power_slot(PyObject* a, PyObject* b, PyObject* mod) {
    if (counts_as_proxy(a, b, &PyNumberMethods::nb_power, &power_slot)) {
        PyObject* result =
            forward(pow_site, a, kNull, [b, mod](PyObject* r) { return PyNumber_Power(r, b, mod); });
        if (result != Py_NotImplemented) return result;
        Py_DECREF(result);
    }
    if (counts_as_proxy(b, a, &PyNumberMethods::nb_power, &power_slot)) {
        return forward(rpow_site, b, kNull, [a, mod](PyObject* r) { return PyNumber_Power(a, r, mod); });
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// ---------------------------------------------------------------------------
// In-place operators: the referent's in-place result becomes the new referent.

// Binds the proxy to `result` by a new weak reference without a destructor,
// and returns the proxy. When `result` cannot be weakly referenced the field
// keeps its old value. C API convention: `result` is a new reference (or
// null) and so is the return value.
PyObject* rebind(PyObject* self, PyObject* result) {
    if (!result) return nullptr;
    Ref held = Ref::steal(result);
    Ref wr = make_weakref(result, nullptr);
    if (!wr) return nullptr;
    set_field(as_proxy(self)->ref, std::move(wr));
    return Py_NewRef(self);
}

struct InplaceOp {
    BinaryApply apply;
    const Site& site;
};

template <const InplaceOp& Op>
PyObject* inplace_slot(PyObject* self, PyObject* other) {
    return forward(Op.site, self, kNull, [self, other](PyObject* r) { return rebind(self, Op.apply(r, other)); });
}

const Site iadd_site{module_def, "ThinRef.__iadd__"};
constexpr InplaceOp kIAdd{PyNumber_InPlaceAdd, iadd_site};
const Site isub_site{module_def, "ThinRef.__isub__"};
constexpr InplaceOp kISub{PyNumber_InPlaceSubtract, isub_site};
const Site imul_site{module_def, "ThinRef.__imul__"};
constexpr InplaceOp kIMul{PyNumber_InPlaceMultiply, imul_site};
const Site itruediv_site{module_def, "ThinRef.__itruediv__"};
constexpr InplaceOp kITrueDiv{operator_itruediv, itruediv_site};
const Site ifloordiv_site{module_def, "ThinRef.__ifloordiv__"};
constexpr InplaceOp kIFloorDiv{PyNumber_InPlaceFloorDivide, ifloordiv_site};
const Site imod_site{module_def, "ThinRef.__imod__"};
constexpr InplaceOp kIMod{PyNumber_InPlaceRemainder, imod_site};
const Site ilshift_site{module_def, "ThinRef.__ilshift__"};
constexpr InplaceOp kILshift{PyNumber_InPlaceLshift, ilshift_site};
const Site irshift_site{module_def, "ThinRef.__irshift__"};
constexpr InplaceOp kIRshift{PyNumber_InPlaceRshift, irshift_site};
const Site iand_site{module_def, "ThinRef.__iand__"};
constexpr InplaceOp kIAnd{PyNumber_InPlaceAnd, iand_site};
const Site ixor_site{module_def, "ThinRef.__ixor__"};
constexpr InplaceOp kIXor{PyNumber_InPlaceXor, ixor_site};
const Site ior_site{module_def, "ThinRef.__ior__"};
constexpr InplaceOp kIOr{PyNumber_InPlaceOr, ior_site};

const Site ipow_site{module_def, "ThinRef.__ipow__"};

// `**=` takes no modulus; the host passes None for it.
PyObject* inplace_power_slot(PyObject* self, PyObject* other, PyObject* mod) {
    if (mod != Py_None) {
        PyErr_Format(PyExc_TypeError, "%s.%s() takes %zd arguments but %zd were given", module_def.info.full_name,
                     ipow_site.qualname(), static_cast<Py_ssize_t>(2), static_cast<Py_ssize_t>(3));
        return ipow_site.fail();
    }
    return forward(ipow_site, self, kNull,
                   [self, other](PyObject* r) { return rebind(self, PyNumber_InPlacePower(r, other, Py_None)); });
}

// ---------------------------------------------------------------------------
// Unary operators and conversions.

struct UnaryOp {
    PyObject* (*apply)(PyObject*);
    const Site& site;
};

template <const UnaryOp& Op>
PyObject* unary_slot(PyObject* self) {
    return forward(Op.site, self, kNull, [](PyObject* r) { return Op.apply(r); });
}

const Site neg_site{module_def, "ThinRef.__neg__"};
constexpr UnaryOp kNeg{PyNumber_Negative, neg_site};
const Site pos_site{module_def, "ThinRef.__pos__"};
constexpr UnaryOp kPos{PyNumber_Positive, pos_site};
const Site abs_site{module_def, "ThinRef.__abs__"};
constexpr UnaryOp kAbs{PyNumber_Absolute, abs_site};
const Site invert_site{module_def, "ThinRef.__invert__"};
constexpr UnaryOp kInvert{PyNumber_Invert, invert_site};
const Site int_site{module_def, "ThinRef.__int__"};
constexpr UnaryOp kInt{PyNumber_Long, int_site};
const Site float_site{module_def, "ThinRef.__float__"};
constexpr UnaryOp kFloat{PyNumber_Float, float_site};
const Site index_site{module_def, "ThinRef.__index__"};
constexpr UnaryOp kIndex{operator_index, index_site};

// The operations of the named methods without arguments, in the order of Unary.
using UnaryApply = PyObject* (*)(PyObject*);
constexpr UnaryApply kUnaryOps[] = {
    [](PyObject* r) { return PyNumber_ToBase(r, 8); },
    [](PyObject* r) { return PyNumber_ToBase(r, 16); },
    [](PyObject* r) { return PyObject_CallOneArg(builtin_round, r); },
    [](PyObject* r) { return PyObject_CallOneArg(builtin_reversed, r); },
    [](PyObject* r) { return PyObject_CallMethodNoArgs(r, texts.enter); },
};

// ---------------------------------------------------------------------------
// Containers and iteration.

const Site len_site{module_def, "ThinRef.__len__"};
const Site contains_site{module_def, "ThinRef.__contains__"};
const Site getitem_site{module_def, "ThinRef.__getitem__"};
const Site setitem_site{module_def, "ThinRef.__setitem__"};
const Site delitem_site{module_def, "ThinRef.__delitem__"};
const Site iter_site{module_def, "ThinRef.__iter__"};

Py_ssize_t length_slot(PyObject* self) {
    return forward(len_site, self, static_cast<Py_ssize_t>(-1), [](PyObject* r) { return PyObject_Size(r); });
}

int contains_slot(PyObject* self, PyObject* item) {
    return forward(contains_site, self, -1, [item](PyObject* r) { return PySequence_Contains(r, item); });
}

PyObject* getitem_slot(PyObject* self, PyObject* key) {
    return forward(getitem_site, self, kNull, [key](PyObject* r) { return PyObject_GetItem(r, key); });
}

int setitem_slot(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
        return forward(delitem_site, self, -1, [key](PyObject* r) { return PyObject_DelItem(r, key); });
    }
    return forward(setitem_site, self, -1, [key, value](PyObject* r) { return PyObject_SetItem(r, key, value); });
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

}  // namespace

PyObject* iter_slot(PyObject* self) {
    return forward(iter_site, self, kNull, [](PyObject* r) { return PyObject_GetIter(r); });
}

// ---------------------------------------------------------------------------
// The named methods' operations.

Ref binary_operation(Binary op, bool reflected, PyObject* self, PyObject* other) {
    const BinaryApply apply = kBinaryOps[static_cast<int>(op)]->apply;
    return Ref::steal(forward(self, kNull, [=](PyObject* r) { return reflected ? apply(other, r) : apply(r, other); }));
}

Ref unary_operation(Unary op, PyObject* self) {
    const UnaryApply apply = kUnaryOps[static_cast<int>(op)];
    return Ref::steal(forward(self, kNull, apply));
}

Ref exit_operation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return Ref::steal(forward(self, kNull, [=](PyObject* r) -> PyObject* {
        Ref exit = Ref::steal(PyObject_GetAttr(r, texts.exit));
        if (!exit) return nullptr;
        return PyObject_Vectorcall(exit.get(), args, nargs, kwnames);
    }));
}

// ---------------------------------------------------------------------------
// The type's tables.

PyNumberMethods number_methods = [] {
    PyNumberMethods n{};
    n.nb_add = binary_slot<kAdd>;
    n.nb_subtract = binary_slot<kSub>;
    n.nb_multiply = binary_slot<kMul>;
    n.nb_remainder = binary_slot<kMod>;
    n.nb_divmod = binary_slot<kDivmod>;
    n.nb_power = power_slot;
    n.nb_negative = unary_slot<kNeg>;
    n.nb_positive = unary_slot<kPos>;
    n.nb_absolute = unary_slot<kAbs>;
    n.nb_bool = bool_slot;
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
    return n;
}();

PySequenceMethods sequence_methods = [] {
    PySequenceMethods s{};
    s.sq_length = length_slot;
    s.sq_item = item_slot;
    s.sq_ass_item = ass_item_slot;
    s.sq_contains = contains_slot;
    return s;
}();

PyMappingMethods mapping_methods = [] {
    PyMappingMethods m{};
    m.mp_length = length_slot;
    m.mp_subscript = getitem_slot;
    m.mp_ass_subscript = setitem_slot;
    return m;
}();

}  // namespace ruvo::thinref
