// An attribute class as a declarative record, and what is generated from it.
//
// A class file declares the class's instance record (the framework base's
// record followed by attrtype, sync, attrname and its own fields), its table
// (the base's table followed by its new operations, attrvalue among them),
// its constructor, its rendering and the operations it replaces. It then
// declares, in this order (attribute.cpp is a complete example):
//
//   extern AttributeType attribute_type;
//   const ClassSites sites{class_names<"_Attribute">};   // the traceback entries
//   constexpr AttributeClass description = {.sites = sites, .type = attribute_type.type, ...};
//   AttributeType attribute_type = declare_type<description>({.doc = ..., .init = ..., ...});
//
// declare_type gives the type its slots (creation, deallocation, the
// collector's), the attrtype and sync members, the attrname property, the
// attrvalue method (which a Python subclass may override) and the refusal of
// pickling. The module readies each declared type at import (register_class).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <source_location>

#include "constants.hpp"
#include "framework_types.hpp"
#include "native.hpp"
#include "property_access.hpp"

#include <structmember.h>

namespace ruvo::attributes {

extern NativeModule module_def;
inline constexpr char kModuleName[] = "ruvo.core._attributes";

// ---------------------------------------------------------------------------
// Texts joined at compile time.

template <std::size_t... N>
constexpr std::array<char, (N + ...) - sizeof...(N) + 1> join_text(const char (&... parts)[N]) {
    std::array<char, (N + ...) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    ((std::copy_n(parts, N - 1, out.begin() + at), at += N - 1), ...);
    return out;
}

// The parameters every class documents in its docstring.
inline constexpr char kCommonParametersDoc[] =
    "        `attrtype`: string, attribute type - 'style', 'class', 'element'\n"
    "        `sync`: boolean, relevant for element attributes only, class and style attributes\n"
    "        are always synced. If true the update event is sent to the client when the attribute value is updated.\n";

// A class docstring: the constructor's signature for introspection, the
// description, then the parameters: `defaultvalue` (its documentation given),
// the common ones, then the class's own.
template <std::size_t A, std::size_t B, std::size_t C, std::size_t... D>
constexpr auto class_doc(const char (&signature)[A], const char (&description)[B], const char (&defaultvalue)[C],
                         const char (&... own_parameters)[D]) {
    return join_text(signature, "\n--\n\n", description, "\n    :Parameters:\n", defaultvalue, kCommonParametersDoc,
                     own_parameters..., "    ");
}

// ---------------------------------------------------------------------------
// Names and traceback entries, derived from the class name.

template <std::size_t N>
struct ClassName {
    char text[N];
    constexpr ClassName(const char (&s)[N]) { std::copy_n(s, N, text); }
};

struct ClassNames {
    const char* name;       // "_Attribute"
    const char* full_name;  // "ruvo.core._attributes._Attribute"
    const char* init;       // "_Attribute.__init__", and so on
    const char* attrvalue;
    const char* attrname;  // the property's getter: "_Attribute.attrname.__get__"
    const char* reduce;
    const char* setstate;
};

template <ClassName Name>
struct DerivedNames {
    static constexpr auto full = join_text(kModuleName, ".", Name.text);
    static constexpr auto init = join_text(Name.text, ".__init__");
    static constexpr auto attrvalue = join_text(Name.text, ".attrvalue");
    static constexpr auto attrname = join_text(Name.text, ".attrname.__get__");
    static constexpr auto reduce = join_text(Name.text, ".__reduce__");
    static constexpr auto setstate = join_text(Name.text, ".__setstate__");
    static constexpr ClassNames names{Name.text,      full.data(),   init.data(),    attrvalue.data(),
                                      attrname.data(), reduce.data(), setstate.data()};
};

template <ClassName Name>
inline constexpr const ClassNames& class_names = DerivedNames<Name>::names;

// The traceback entries of the functions every class has, at the line of the
// class file that declares them.
struct ClassSites {
    const ClassNames& names;
    Site init;
    Site attrvalue;
    Site attrname;
    Site reduce;
    Site setstate;

    constexpr explicit ClassSites(const ClassNames& n,
                                  std::source_location where = std::source_location::current()) noexcept
        : names(n),
          init(module_def, n.init, where),
          attrvalue(module_def, n.attrvalue, where),
          attrname(module_def, n.attrname, where),
          reduce(module_def, n.reduce, where),
          setstate(module_def, n.setstate, where) {}
};

// ---------------------------------------------------------------------------
// The description.

// The table operation every class adds: the rendered value of `obj`. Called
// with skip_dispatch 0 it first looks for a Python subclass's override.
using AttrvalueOp = PyObject* (*)(PyObject* self, PyObject* obj, int skip_dispatch);
// The class's own rendering (no dispatch): what attrvalue does.
using RenderFn = Ref (*)(PyObject* self, PyObject* obj);

// Access to a PyObject* field of a record by its offset.
inline PyObject*& object_field(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

// Where the fields shared by every class lie in its record.
struct CommonOffsets {
    Py_ssize_t attrtype;  // str or None
    Py_ssize_t sync;      // int32_t
    Py_ssize_t attrname;  // str or None
};

template <class Record>
constexpr CommonOffsets common_offsets() {
    return {offsetof(Record, attrtype), offsetof(Record, sync), offsetof(Record, attrname)};
}

struct AttributeClass {
    const ClassSites& sites;  // its names and traceback entries
    PyTypeObject& type;       // the type declare_type makes from this record
    FrameworkType base;  // the framework type it extends
    bool in_all;         // listed in __all__
    Py_ssize_t basicsize;
    CommonOffsets common;
    // Reference fields besides attrtype and attrname, 0-terminated: those
    // visited by the collector (cleared to None), and the others.
    std::array<Py_ssize_t, 6> gc_fields;
    std::array<Py_ssize_t, 4> other_fields;
    // Creation values of the class's own fields (all None before): 0, or -1
    // with an exception. May be null.
    int (*create_fields)(PyObject* self);
    // The table: storage and size, where attrvalue lies in it; fill_table
    // sets the replaced and new operations once the base's table is copied
    // in (register_class sets attrvalue). May be null.
    void* table;
    size_t table_size;
    size_t attrvalue_slot;
    void (*fill_table)(void* table);
    RenderFn render;
};

// The read-only members of a class: attrtype and sync, then its own (given
// without the terminating entry, which is added).
template <class Record, std::size_t N = 0>
constexpr std::array<PyMemberDef, N + 3> members_of(const PyMemberDef* own = nullptr) {
    std::array<PyMemberDef, N + 3> out{};
    out[0] = {"attrtype", T_OBJECT, offsetof(Record, attrtype), READONLY, nullptr};
    out[1] = {"sync", T_INT, offsetof(Record, sync), READONLY, nullptr};
    for (std::size_t i = 0; i < N; ++i) out[2 + i] = own[i];
    return out;
}
template <class Record, std::size_t N>
constexpr std::array<PyMemberDef, N + 3> members_of(const PyMemberDef (&own)[N]) {
    return members_of<Record, N>(+own);
}

// What the class file declares of its type besides the description.
struct TypeParts {
    const char* doc;
    initproc init;  // reported<sites.init, ...>
    const char* attrvalue_doc;
    PyMemberDef* members;  // members_of<Record>(...)
};

// A declared class: its type object and its table's attrvalue operation.
struct AttributeType {
    const AttributeClass& description;
    PyTypeObject type;
    AttrvalueOp attrvalue_op;
};

// Readies one class at import: fetches its base, builds its table, readies
// the type and binds it in the module. 0 or -1.
int register_class(AttributeType& cls, PyObject* module_dict);

// ---------------------------------------------------------------------------
// The functions generated for each class.

namespace generated {

PyObject* new_instance(const AttributeClass& C, PyTypeObject* type, PyObject* args, PyObject* kwargs);
void release_fields(const AttributeClass& C, PyObject* self);
int traverse(const AttributeClass& C, PyObject* self, visitproc visit, void* arg);
int clear(const AttributeClass& C, PyObject* self);
// The argument of attrvalue: a widget or None, else TypeError. 0 or -1.
int attrvalue_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** obj);
// 1 with `result` set (the override's result, or null) when a Python
// subclass overrides attrvalue; 0 when it does not; -1 on error.
int call_override(PyObject* self, PyObject* obj, PyCFunction native, Ref& result);
Ref get_attrname(const AttributeClass& C, PyObject* self);
Ref refuse_reduce(PyObject* self);
Ref refuse_setstate(PyObject* self, PyObject* state);

template <const AttributeClass& C>
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_instance(C, type, args, kwargs);
}
template <const AttributeClass& C>
void release(PyObject* self) {
    release_fields(C, self);
}
template <const AttributeClass& C>
void base_dealloc(PyObject* self) {
    C.type.tp_base->tp_dealloc(self);
}
template <const AttributeClass& C>
int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    return traverse(C, self, visit, arg);
}
template <const AttributeClass& C>
int tp_clear(PyObject* self) {
    return clear(C, self);
}

// The table operation: a Python subclass's override first, unless skipped.
template <const AttributeClass& C>
PyObject* attrvalue_op(PyObject* self, PyObject* obj, int skip_dispatch) {
    if (!skip_dispatch && Py_TYPE(self) != &C.type &&
        (Py_TYPE(self)->tp_dictoffset != 0 || (Py_TYPE(self)->tp_flags & Py_TPFLAGS_HEAPTYPE))) {
        Ref result;
        // The first method of the type is attrvalue (declare_type).
        int rc = call_override(self, obj, C.type.tp_methods[0].ml_meth, result);
        if (rc > 0) return result.release();
        if (rc < 0) return C.sites.attrvalue.fail();
    }
    Ref result = C.render(self, obj);
    if (!result && !skip_dispatch) return C.sites.attrvalue.fail();
    return result.release();
}

// The Python method: tests its argument and renders, never re-dispatching.
template <const AttributeClass& C>
Ref attrvalue_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj;
    if (attrvalue_arg(args, nargs, kwnames, &obj) < 0) return {};
    return C.render(self, obj);
}

template <const AttributeClass& C>
Ref attrname_getter(PyObject* self, void*) {
    return get_attrname(C, self);
}

}  // namespace generated

// The type of the class described by C, declared once.
template <const AttributeClass& C>
AttributeType declare_type(const TypeParts& parts) {
    static PyMethodDef methods[] = {
        method<C.sites.attrvalue, generated::attrvalue_method<C>>(parts.attrvalue_doc),
        method<C.sites.reduce, generated::refuse_reduce>(nullptr),
        method<C.sites.setstate, generated::refuse_setstate>(nullptr),
        {},
    };
    static PyGetSetDef getset[] = {
        {"attrname", reported<C.sites.attrname, generated::attrname_getter<C>>, nullptr, nullptr, nullptr},
        {},
    };
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = C.sites.names.full_name;
    t.tp_basicsize = C.basicsize;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = parts.doc;
    t.tp_new = generated::tp_new<C>;
    t.tp_init = parts.init;
    t.tp_dealloc = trashcan_dealloc<generated::release<C>, generated::base_dealloc<C>>;
    t.tp_traverse = generated::tp_traverse<C>;
    t.tp_clear = generated::tp_clear<C>;
    t.tp_members = parts.members;
    t.tp_getset = getset;
    t.tp_methods = methods;
    return {C, t, generated::attrvalue_op<C>};
}

}  // namespace ruvo::attributes
