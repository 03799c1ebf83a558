// ruvo.core.thinref: the module, the ThinRef type and its core operations
// (binding, __ref__, attribute access, comparison, hashing, truth, text).
// The type is declared once, at the end, with every method of the class;
// the operator forwarding and pickling it names are implemented in
// thinref_operators.cpp and thinref_pickle.cpp (see thinref.hpp).
//
// The named operator methods (__add__, __oct__, ...) are declared here too,
// beside the method table: each is a thin method over the forwarding in
// thinref_operators.cpp, so its traceback entry names this file, while the
// operator slot of the same name names thinref_operators.cpp.
#include "thinref.hpp"

namespace ruvo::thinref {

Texts texts;
PyObject* builtin_reversed = nullptr;
PyObject* builtin_round = nullptr;
int nesting = 0;

namespace {

int make_texts() {
    if (intern_all({
            {&texts.ref_method, "__ref__"}, {&texts.getattribute, "__getattribute__"},
            {&texts.enter, "__enter__"},    {&texts.exit, "__exit__"},
            {&texts.class_, "__class__"},   {&texts.update, "update"},
            {&texts.empty, ""},
        }) < 0) {
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The traceback entries of the class's own operations.

const Method ref_method{module_def, "ThinRef.__ref__"};
const Method init_method{module_def, "ThinRef.__init__", {"obj", "destructor"}, 1};
const Method getattr_method{module_def, "ThinRef.__getattr__", {"name"}};
const Site setattr_site{module_def, "ThinRef.__setattr__"};
const Site delattr_site{module_def, "ThinRef.__delattr__"};
const Site class_get_site{module_def, "ThinRef.__class__.__get__"};
const Method dir_method{module_def, "ThinRef.__dir__"};
const Method bytes_method{module_def, "ThinRef.__bytes__"};
const Site compare_sites[] = {
    {module_def, "ThinRef.__lt__"}, {module_def, "ThinRef.__le__"}, {module_def, "ThinRef.__eq__"},
    {module_def, "ThinRef.__ne__"}, {module_def, "ThinRef.__gt__"}, {module_def, "ThinRef.__ge__"},
};
const Site hash_site{module_def, "ThinRef.__hash__"};
const Site bool_site{module_def, "ThinRef.__bool__"};
const Site str_site{module_def, "ThinRef.__str__"};
const Site repr_site{module_def, "ThinRef.__repr__"};

// ThinRef.__dict__["__ref__"] and ["__getattribute__"], borrowed from the
// class namespace.
PyObject* own_ref_method = nullptr;
PyObject* own_getattribute = nullptr;

// ---------------------------------------------------------------------------
// Fetching the referent.

Ref raise_dead() {
    PyErr_SetString(PyExc_ReferenceError, "weakly-referenced object no longer exists");
    return Ref();
}

// The field called directly, with the dead-reference check of __ref__.
Ref call_field(PyObject* self) {
    Ref r = field_result(self);
    if (r.get() == Py_None) return raise_dead();
    return r;
}

// True when every name that the class ThinRef provides, its own and those of
// its base, starts with "_"; found at import (ready_type). Both are static
// types, which cannot gain attributes later.
bool own_names_private = false;

// True when `name` is an entry of the instance dictionary (of a subclass
// instance); also true when looking it up fails, so that the generic lookup
// repeats the failure.
bool in_instance_dict(PyObject* self, PyObject* name) {
    if (!Py_TYPE(self)->tp_dictoffset) return false;
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp || !*dp || !PyDict_Check(*dp) || PyDict_GET_SIZE(*dp) == 0) return false;
    Ref dict = Ref::borrow(*dp);  // a key's __eq__ may replace the instance dictionary
    if (PyDict_GetItemWithError(dict.get(), name)) return true;
    if (!PyErr_Occurred()) return false;
    PyErr_Clear();
    return true;
}

// The subclass last found to keep ThinRef's own __ref__ and
// __getattribute__ (a weak reference to it), with its type_version then:
// while that is unchanged, so are both lookups. The weak reference, not the
// address, names the class, so that a new class at a freed one's address is
// looked up afresh.
PyObject* keeping_class = nullptr;
uint64_t keeping_version = 0;

bool keeps_own_ref(PyTypeObject* tp) {
    if (keeping_class && PyWeakref_GET_OBJECT(keeping_class) == reinterpret_cast<PyObject*>(tp) &&
        type_version(tp) == keeping_version) {
        return true;
    }
    const uint64_t version = type_version(tp);
    if (_PyType_Lookup(tp, texts.ref_method) != own_ref_method ||
        _PyType_Lookup(tp, texts.getattribute) != own_getattribute) {
        return false;
    }
    // Recorded only when the class did not change meanwhile (a lookup can
    // run the __eq__ of a key in a class namespace).
    if (version && type_version(tp) == version) {
        Ref ref = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(tp), nullptr));
        if (!ref) {
            PyErr_Clear();  // only the shortcut is lost
            return true;
        }
        keeping_version = version;
        set_field(keeping_class, std::move(ref));
    }
    return true;
}

// True when self.__ref__ is ThinRef's own method: then calling the field
// directly gives what the ordinary lookup and call would.
bool own_ref(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == &ThinRefType) return true;
    return keeps_own_ref(tp) && !in_instance_dict(self, texts.ref_method);
}

}  // namespace

Ref field_result(PyObject* self) {
    PyObject* f = as_proxy(self)->ref;
    if (Py_IS_TYPE(f, &_PyWeakref_RefType)) return weakref_target(f);
    // The call may rebind the proxy and so release the field: hold it.
    Ref hold = Ref::borrow(f);
    return Ref::steal(PyObject_CallNoArgs(f));
}

Ref referent_general(PyObject* self) {
    if (own_ref(self)) {
        Ref r = call_field(self);
        if (!r) return ref_method.site.fail();
        return r;
    }
    return Ref::steal(PyObject_CallMethodNoArgs(self, texts.ref_method));
}

namespace {

// ---------------------------------------------------------------------------
// Creation and binding.

PyObject* thinref_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_proxy(self)->ref = Py_NewRef(Py_None);
    return self;
}

int thinref_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    if (init_method.params.parse(args, kwargs, a, keep) < 0) return init_method.site.fail();
    Ref wr = make_weakref(a[0], a[1] ? a[1] : Py_None);
    if (!wr) return init_method.site.fail();
    set_field(as_proxy(self)->ref, std::move(wr));
    return 0;
}

// Calling ThinRef itself: allocation and binding in one step, without an
// argument tuple.
PyObject* thinref_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (type != reinterpret_cast<PyObject*>(&ThinRefType)) {
        // A subclass: the host's usual __new__ then __init__.
        Ref tuple, kwargs;
        if (split_args(args, PyVectorcall_NARGS(nargsf), kwnames, 0, tuple, kwargs) < 0) return nullptr;
        return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
    }
    PyObject* a[2];
    if (init_method.params.parse(args, nargsf, kwnames, a) < 0) return init_method.site.fail();
    Ref wr = make_weakref(a[0], a[1] ? a[1] : Py_None);
    if (!wr) return init_method.site.fail();
    ThinRefObject* self = PyObject_GC_New(ThinRefObject, &ThinRefType);
    if (!self) return nullptr;
    self->ref = wr.release();
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// Lifecycle and the garbage collector.

int thinref_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_proxy(self)->ref);
    return 0;
}

int thinref_clear(PyObject* self) {
    set_field(as_proxy(self)->ref, Ref::borrow(Py_None));
    return 0;
}

void thinref_release(PyObject* self) { Py_CLEAR(as_proxy(self)->ref); }

// ---------------------------------------------------------------------------
// Attribute access.

PyObject* forward_getattr(PyObject* self, PyObject* name) {
    return forward(getattr_method.site, self, static_cast<PyObject*>(nullptr),
                   [name](PyObject* r) { return PyObject_GetAttr(r, name); });
}

// True when the generic lookup on `self` would miss `name` without looking:
// `self` is an exact ThinRef, which has no instance dictionary, and `name` an
// exact ASCII str that does not start with "_", which its class cannot
// provide (own_names_private). Reading the name runs nothing; an empty one
// reads its terminating NUL.
bool surely_not_own(PyObject* self, PyObject* name) {
    return Py_IS_TYPE(self, &ThinRefType) && own_names_private && PyUnicode_CheckExact(name) &&
           PyUnicode_IS_COMPACT_ASCII(name) && PyUnicode_1BYTE_DATA(name)[0] != '_';
}

PyObject* thinref_getattro(PyObject* self, PyObject* name) {
    if (!surely_not_own(self, name)) {
        // The generic lookup in its suppressing form: a miss, or an
        // AttributeError raised on the way, gives null with no exception set,
        // so that no error is made and cleared for a name the proxy lacks.
        PyObject* own = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
        if (own || PyErr_Occurred()) return own;
    }
    return forward_getattr(self, name);
}

int thinref_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return forward(value ? setattr_site : delattr_site, self, -1,
                   [name, value](PyObject* r) { return PyObject_SetAttr(r, name, value); });
}

Ref getattr_impl(PyObject* self, PyObject* name) {
    return Ref::steal(forward(self, static_cast<PyObject*>(nullptr),
                              [name](PyObject* r) { return PyObject_GetAttr(r, name); }));
}

PyObject* get_class(PyObject* self, void*) {
    return forward(class_get_site, self, static_cast<PyObject*>(nullptr),
                   [](PyObject* r) { return PyObject_GetAttr(r, texts.class_); });
}

PyObject* get_field(PyObject* self, void*) { return Py_NewRef(as_proxy(self)->ref); }

int set_field_descr(PyObject* self, PyObject* value, void*) {
    set_field(as_proxy(self)->ref, Ref::borrow(value ? value : Py_None));
    return 0;
}

// ---------------------------------------------------------------------------
// Operations on the field's result (the referent or None), under the
// recursion guard; these never raise ReferenceError. op gives a new
// reference or null.

template <class Op>
Ref on_field_result(PyObject* self, Op&& op) {
    return Ref::steal(guarded_call<field_result>(self, static_cast<PyObject*>(nullptr), std::forward<Op>(op)));
}

Ref ref_impl(PyObject* self) { return call_field(self); }

Ref dir_impl(PyObject* self) {
    return on_field_result(self, [](PyObject* w) -> PyObject* {
        int truth = PyObject_IsTrue(w);
        if (truth < 0) return nullptr;
        return truth ? PyObject_Dir(w) : PyList_New(0);
    });
}

Ref bytes_impl(PyObject* self) {
    // The built-in bytes(w), not the C-level conversion: an int gives that
    // many zero bytes and a str the built-in's own TypeError.
    return on_field_result(self, [](PyObject* w) {
        return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), w);
    });
}

Ref str_impl(PyObject* self) {
    return on_field_result(self, [](PyObject* w) {
        return PyUnicode_CheckExact(w) ? Py_NewRef(w) : PyObject_Str(w);
    });
}

Ref repr_impl(PyObject* self) {
    return on_field_result(self, [](PyObject* w) -> PyObject* {
        // "<ThinRef to {!r}>".format(w)
        Ref text = Ref::steal(PyObject_Repr(w));
        if (text && !PyUnicode_CheckExact(text.get())) text = Ref::steal(PyObject_Format(text.get(), texts.empty));
        if (!text) return nullptr;
        return PyUnicode_FromFormat("<ThinRef to %U>", text.get());
    });
}

// ---------------------------------------------------------------------------
// Comparison and hashing.

PyObject* thinref_richcompare(PyObject* self, PyObject* other, int op) {
    return forward(compare_sites[op], self, static_cast<PyObject*>(nullptr),
                   [other, op](PyObject* r) { return PyObject_RichCompare(r, other, op); });
}

Py_hash_t thinref_hash(PyObject* self) {
    return forward(hash_site, self, static_cast<Py_hash_t>(-1), [](PyObject* r) { return PyObject_Hash(r); });
}

// ---------------------------------------------------------------------------
// The named operator methods: each replaces the slot wrapper of its name
// and computes from the proxy's own side (__radd__(other) is other + referent).

const Method add_method{module_def, "ThinRef.__add__", {"other"}};
const Method radd_method{module_def, "ThinRef.__radd__", {"other"}};
const Method sub_method{module_def, "ThinRef.__sub__", {"other"}};
const Method rsub_method{module_def, "ThinRef.__rsub__", {"other"}};
const Method mul_method{module_def, "ThinRef.__mul__", {"other"}};
const Method rmul_method{module_def, "ThinRef.__rmul__", {"other"}};
const Method truediv_method{module_def, "ThinRef.__truediv__", {"other"}};
const Method rtruediv_method{module_def, "ThinRef.__rtruediv__", {"other"}};
const Method floordiv_method{module_def, "ThinRef.__floordiv__", {"other"}};
const Method rfloordiv_method{module_def, "ThinRef.__rfloordiv__", {"other"}};
const Method mod_method{module_def, "ThinRef.__mod__", {"other"}};
const Method rmod_method{module_def, "ThinRef.__rmod__", {"other"}};
const Method divmod_method{module_def, "ThinRef.__divmod__", {"other"}};
const Method rdivmod_method{module_def, "ThinRef.__rdivmod__", {"other"}};
const Method lshift_method{module_def, "ThinRef.__lshift__", {"other"}};
const Method rlshift_method{module_def, "ThinRef.__rlshift__", {"other"}};
const Method rshift_method{module_def, "ThinRef.__rshift__", {"other"}};
const Method rrshift_method{module_def, "ThinRef.__rrshift__", {"other"}};
const Method and_method{module_def, "ThinRef.__and__", {"other"}};
const Method rand_method{module_def, "ThinRef.__rand__", {"other"}};
const Method xor_method{module_def, "ThinRef.__xor__", {"other"}};
const Method rxor_method{module_def, "ThinRef.__rxor__", {"other"}};
const Method or_method{module_def, "ThinRef.__or__", {"other"}};
const Method ror_method{module_def, "ThinRef.__ror__", {"other"}};
const Method oct_method{module_def, "ThinRef.__oct__"};
const Method hex_method{module_def, "ThinRef.__hex__"};
const Method round_method{module_def, "ThinRef.__round__"};
const Method reversed_method{module_def, "ThinRef.__reversed__"};
const Method enter_method{module_def, "ThinRef.__enter__"};
const Site exit_site{module_def, "ThinRef.__exit__"};

template <Binary Op>
Ref binary_impl(PyObject* self, PyObject* other) {
    return binary_operation(Op, false, self, other);
}
template <Binary Op>
Ref reflected_impl(PyObject* self, PyObject* other) {
    return binary_operation(Op, true, self, other);
}
template <Unary Op>
Ref unary_impl(PyObject* self) {
    return unary_operation(Op, self);
}

// ---------------------------------------------------------------------------
// The type.

// The constructor's signature for introspection, then the class docstring.
constexpr const char* kClassDoc =
    "ThinRef(obj, destructor=None)\n--\n\n"
    "Replacement for weakref.proxy to support comparisons\n    ";

constexpr int kReplacesSlot = METH_COEXIST;  // the method, not the slot wrapper, is the class attribute

PyMethodDef methods[] = {
    method<ref_method, ref_impl>(
        "__ref__($self, /)\n--\n\nReturn the referent; raise ReferenceError when it no longer exists."),
    method<getattr_method, getattr_impl>("__getattr__($self, name)\n--\n\nReturn getattr(referent, name)."),
    method<dir_method, dir_impl>("__dir__($self, /)\n--\n\nAttribute names of the referent."),
    method<bytes_method, bytes_impl>("__bytes__($self, /)\n--\n\nbytes(referent)."),
    method<add_method, binary_impl<Binary::add>>("Return referent + other.", kReplacesSlot),
    method<radd_method, reflected_impl<Binary::add>>("Return other + referent.", kReplacesSlot),
    method<sub_method, binary_impl<Binary::sub>>("Return referent - other.", kReplacesSlot),
    method<rsub_method, reflected_impl<Binary::sub>>("Return other - referent.", kReplacesSlot),
    method<mul_method, binary_impl<Binary::mul>>("Return referent * other.", kReplacesSlot),
    method<rmul_method, reflected_impl<Binary::mul>>("Return other * referent.", kReplacesSlot),
    method<truediv_method, binary_impl<Binary::truediv>>("Return referent / other.", kReplacesSlot),
    method<rtruediv_method, reflected_impl<Binary::truediv>>("Return other / referent.", kReplacesSlot),
    method<floordiv_method, binary_impl<Binary::floordiv>>("Return referent // other.", kReplacesSlot),
    method<rfloordiv_method, reflected_impl<Binary::floordiv>>("Return other // referent.", kReplacesSlot),
    method<mod_method, binary_impl<Binary::mod>>("Return referent % other.", kReplacesSlot),
    method<rmod_method, reflected_impl<Binary::mod>>("Return other % referent.", kReplacesSlot),
    method<divmod_method, binary_impl<Binary::divmod>>("Return divmod(referent, other).", kReplacesSlot),
    method<rdivmod_method, reflected_impl<Binary::divmod>>("Return divmod(other, referent).", kReplacesSlot),
    method<lshift_method, binary_impl<Binary::lshift>>("Return referent << other.", kReplacesSlot),
    method<rlshift_method, reflected_impl<Binary::lshift>>("Return other << referent.", kReplacesSlot),
    method<rshift_method, binary_impl<Binary::rshift>>("Return referent >> other.", kReplacesSlot),
    method<rrshift_method, reflected_impl<Binary::rshift>>("Return other >> referent.", kReplacesSlot),
    method<and_method, binary_impl<Binary::and_>>("Return referent & other.", kReplacesSlot),
    method<rand_method, reflected_impl<Binary::and_>>("Return other & referent.", kReplacesSlot),
    method<xor_method, binary_impl<Binary::xor_>>("Return referent ^ other.", kReplacesSlot),
    method<rxor_method, reflected_impl<Binary::xor_>>("Return other ^ referent.", kReplacesSlot),
    method<or_method, binary_impl<Binary::or_>>("Return referent | other.", kReplacesSlot),
    method<ror_method, reflected_impl<Binary::or_>>("Return other | referent.", kReplacesSlot),
    method<oct_method, unary_impl<Unary::oct>>("Return oct(referent)."),
    method<hex_method, unary_impl<Unary::hex>>("Return hex(referent)."),
    method<round_method, unary_impl<Unary::round>>("Return round(referent)."),
    method<reversed_method, unary_impl<Unary::reversed>>("Return reversed(referent)."),
    method<enter_method, unary_impl<Unary::enter>>("Enter the referent's context."),
    method<exit_site, exit_operation>("Leave the referent's context."),
    method<reduce_method, reduce>("Reduce the proxy for copy and pickle."),
    method<setstate_method, restore_state>("Restore the proxy from its state."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__class__", get_class, nullptr, "The referent's class.", nullptr},
    {"_ThinRef__ref", get_field, set_field_descr, "The weak reference that leads to the referent.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int bool_slot(PyObject* self) {
    return forward(bool_site, self, -1, [](PyObject* r) { return PyObject_IsTrue(r); });
}

PyTypeObject ThinRefType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "ruvo.core.thinref.ThinRef";
    t.tp_basicsize = sizeof(ThinRefObject);
    t.tp_dealloc = trashcan_dealloc<thinref_release>;
    t.tp_repr = reported<repr_site, repr_impl>;
    t.tp_as_number = &number_methods;
    t.tp_as_sequence = &sequence_methods;
    t.tp_as_mapping = &mapping_methods;
    t.tp_hash = thinref_hash;
    t.tp_str = reported<str_site, str_impl>;
    t.tp_getattro = thinref_getattro;
    t.tp_setattro = thinref_setattro;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = kClassDoc;
    t.tp_traverse = thinref_traverse;
    t.tp_clear = thinref_clear;
    t.tp_richcompare = thinref_richcompare;
    t.tp_iter = iter_slot;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_init = thinref_init;
    t.tp_alloc = PyType_GenericAlloc;
    t.tp_new = thinref_new;
    t.tp_free = PyObject_GC_Del;
    t.tp_vectorcall = thinref_vectorcall;
    return t;
}();

namespace {

int ready_type() {
    if (ThinRefType.tp_flags & Py_TPFLAGS_READY) return 0;
    if (PyType_Ready(&ThinRefType) < 0) return -1;
    own_ref_method = PyDict_GetItemWithError(ThinRefType.tp_dict, texts.ref_method);
    own_getattribute = PyDict_GetItemWithError(ThinRefType.tp_dict, texts.getattribute);
    if (!own_ref_method || !own_getattribute) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "ThinRef lacks __ref__ or __getattribute__");
        return -1;
    }
    own_names_private = true;
    PyObject* mro = ThinRefType.tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) own_names_private = false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (dict && PyDict_Next(dict.get(), &pos, &key, &value)) {
            if (!PyUnicode_Check(key) || PyUnicode_GetLength(key) <= 0 || PyUnicode_ReadChar(key, 0) != '_') {
                PyErr_Clear();
                own_names_private = false;
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Module initialisation.

constexpr const char* kModuleDoc =
    "ThinRef, a weak proxy with comparisons\n"
    "======================================\n"
    "\n"
    "In order to allow garbage collection, ``ThinRef`` provides weak references\n"
    "to objects. It enhances the standard ``weakref.proxy`` by adding comparison\n"
    "support.\n";

int exec_thinref(PyObject* module) {
    if (make_texts() < 0) return -1;
    if (!builtin_reversed && !(builtin_reversed = lookup_builtin("reversed").release())) return -1;
    if (!builtin_round && !(builtin_round = lookup_builtin("round").release())) return -1;
    PyObject* dict = module_def.dict;
    if (ready_type() < 0) return -1;
    if (PyDict_SetItemString(dict, "ThinRef", reinterpret_cast<PyObject*>(&ThinRefType)) < 0) return -1;
    if (import_globals(dict) < 0) return -1;
    return init_pickling(module);
}

}  // namespace

NativeModule module_def({"thinref", "ruvo.core.thinref", kModuleDoc, exec_thinref},
                        exec_slot<module_def>);

}  // namespace ruvo::thinref

PyMODINIT_FUNC PyInit_thinref() { return ruvo::thinref::module_def.init(); }
