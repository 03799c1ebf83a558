#include "common.hpp"

#include <cstdio>
#include <cstring>

namespace ruvo::attributes {

Texts T;
PyObject* builtin_zip = nullptr;
PyObject* builtin_super = nullptr;

#define RUVO_OUTSIDE(mod, name, record, table) {mod, #name, sizeof(fw::record), table, nullptr, nullptr}
OutsideType outside[static_cast<int>(Outside::Count)] = {
    RUVO_OUTSIDE("ruvo.core.properties", Property, Property, true),
    RUVO_OUTSIDE("ruvo.core.properties", NumericProperty, NumericProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", BoundedNumericProperty, BoundedNumericProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", BooleanProperty, BooleanProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", ListProperty, ListProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", VariableListProperty, VariableListProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", StringProperty, StringProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", DictProperty, DictProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", ObjectProperty, ObjectProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", OptionProperty, OptionProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", ReferenceListProperty, ReferenceListProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", AliasProperty, AliasProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", ColorProperty, ColorProperty, true),
    RUVO_OUTSIDE("ruvo.core.properties", PropertyStorage, PropertyStorage, false),
    RUVO_OUTSIDE("ruvo.core._event", ObjectWithUid, ObjectWithUid, false),
    RUVO_OUTSIDE("ruvo.core._event", Observable, Observable, false),
    RUVO_OUTSIDE("ruvo.core._event", EventDispatcher, EventDispatcher, true),
    RUVO_OUTSIDE("ruvo.core._event", BoundCallback, BoundCallback, false),
    RUVO_OUTSIDE("ruvo.core._event", EventObservers, EventObservers, true),
};
#undef RUVO_OUTSIDE

// Table sizes of the outside property types, for copying a base's table.
static size_t outside_table_size(Outside which) {
    switch (which) {
        case Outside::NumericProperty:
        case Outside::BoundedNumericProperty:
            return sizeof(fw::NumericPropertyTable);
        default:
            return sizeof(fw::PropertyTable);
    }
}

PyTypeObject* fetch_outside(Outside which, bool extended) {
    OutsideType& o = outside[static_cast<int>(which)];
    if (o.type && !extended) return o.type;
    Ref module = Ref::steal(PyImport_ImportModule(o.module));
    if (!module) return nullptr;
    Ref found = Ref::steal(PyObject_GetAttrString(module.get(), o.name));
    if (!found) return nullptr;
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", o.module, o.name);
        return nullptr;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(found.get());
    Py_ssize_t actual = type->tp_basicsize;
    if (actual < o.size || (extended && actual > o.size)) {
        // A larger record under one this module extends would overlap its fields.
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     o.module, o.name, o.size, actual);
        return nullptr;
    }
    if (actual > o.size) {
        char message[600];
        std::snprintf(message, sizeof message,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      o.module, o.name, o.size, actual);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) return nullptr;
    }
    const void* table = nullptr;
    if (o.has_table) {
        table = fw::imported_table(type);
        if (!table) return nullptr;
    }
    Py_XSETREF(o.type, reinterpret_cast<PyTypeObject*>(found.release()));
    o.table = table;
    return o.type;
}

// ---------------------------------------------------------------------------
// Helpers.

PyObject* copy_kwargs(PyObject* kwargs) { return kwargs ? PyDict_Copy(kwargs) : PyDict_New(); }

int read_text_keyword(PyObject* self, Py_ssize_t offset, PyObject* kwargs, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(kwargs, key);
    if (!value) {
        if (PyErr_Occurred()) return -1;
        value = T.empty;
    }
    if (!check_exact_or_none(value, &PyUnicode_Type)) return -1;
    set_field(self, offset, value);
    return 0;
}

int read_sync_keyword(PyObject* self, Py_ssize_t offset, PyObject* kwargs) {
    PyObject* value = PyDict_GetItemWithError(kwargs, T.sync);
    int32_t sync = 0;
    if (value) {
        if (to_int32(value, &sync) < 0) return -1;
    } else if (PyErr_Occurred()) {
        return -1;
    }
    int32_field(self, offset) = sync;
    return 0;
}

int read_common_keywords(PyObject* self, const CommonOffsets& common, PyObject* kwargs) {
    if (read_text_keyword(self, common.attrtype, kwargs, T.attrtype) < 0) return -1;
    if (read_text_keyword(self, common.attrname, kwargs, T.attrname) < 0) return -1;
    return read_sync_keyword(self, common.sync, kwargs);
}

PyObject* list_keyword(PyObject* kwargs, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(kwargs, key);
    if (!value) return PyErr_Occurred() ? nullptr : PyList_New(0);
    Ref keep = Ref::borrow(value);  // the iteration may run code that changes kwargs
    return PySequence_List(value);
}

int force_allownone(PyObject* kwargs) { return PyDict_SetItem(kwargs, T.allownone, Py_True); }

int call_base_init(PyTypeObject* cls, PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref sup = Ref::steal(PyObject_CallFunctionObjArgs(builtin_super, reinterpret_cast<PyObject*>(cls), self, nullptr));
    if (!sup) return -1;
    Ref init = Ref::steal(PyObject_GetAttr(sup.get(), T.init));
    if (!init) return -1;
    Ref empty;
    if (!args) {
        empty = Ref::steal(PyTuple_New(0));
        if (!empty) return -1;
        args = empty.get();
    }
    Ref result = Ref::steal(PyObject_Call(init.get(), args, kwargs));
    return result ? 0 : -1;
}

PyObject* resolved_attrname(PyObject* attrname, PyObject* name) {
    if (attrname && attrname != Py_None && PyUnicode_GET_LENGTH(attrname) > 0) return Py_NewRef(attrname);
    if (name == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "replace");
        return nullptr;
    }
    return PyUnicode_Replace(name, T.underscore, T.dash, -1);
}

PyObject* property_name(PyObject* self) { return PyObject_GetAttr(self, T.name); }

PyObject* raise_value_error(PyObject* self, PyObject* obj, std::initializer_list<PyObject*> tail) {
    for (PyObject* piece : tail) {
        if (!piece) return nullptr;
    }
    // Interned names: a fresh name object on each call would also take a new
    // slot of the interpreter's attribute cache wherever its address differs.
    static PyObject* dunder_class = nullptr;
    static PyObject* dunder_name = nullptr;
    if (!intern(&dunder_class, "__class__") || !intern(&dunder_name, "__name__")) return nullptr;
    Ref cls = Ref::steal(PyObject_GetAttr(obj, dunder_class));
    if (!cls) return nullptr;
    Ref clsname = Ref::steal(PyObject_GetAttr(cls.get(), dunder_name));
    if (!clsname) return nullptr;
    Ref clstext = Ref::steal(PyObject_Format(clsname.get(), T.empty));
    if (!clstext) return nullptr;
    Ref name = Ref::steal(property_name(self));
    if (!name) return nullptr;
    Ref nametext = Ref::steal(PyObject_Format(name.get(), T.empty));
    if (!nametext) return nullptr;
    Ref pieces = Ref::steal(PyTuple_New(3 + static_cast<Py_ssize_t>(tail.size())));
    if (!pieces) return nullptr;
    PyTuple_SET_ITEM(pieces.get(), 0, clstext.release());
    PyTuple_SET_ITEM(pieces.get(), 1, Py_NewRef(T.dot));
    PyTuple_SET_ITEM(pieces.get(), 2, nametext.release());
    Py_ssize_t n = 3;
    for (PyObject* piece : tail) PyTuple_SET_ITEM(pieces.get(), n++, Py_NewRef(piece));
    Ref message = Ref::steal(PyUnicode_Join(T.empty, pieces.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

fw::PropertyStorage* storage_of(PyObject* self, PyObject* obj) {
    PyTypeObject* dispatcher = outside_type(Outside::EventDispatcher);
    if (!PyObject_TypeCheck(obj, dispatcher)) {
        raise_expected(dispatcher, obj);
        return nullptr;
    }
    // Both held: the lookup may run a key's __eq__, which can rename the
    // property or change the widget.
    Ref storages = Ref::borrow(reinterpret_cast<fw::EventDispatcher*>(obj)->storage);
    Ref name = Ref::borrow(reinterpret_cast<fw::Property*>(self)->name);
    PyObject* entry =
        storages && name && PyDict_Check(storages.get()) ? PyDict_GetItemWithError(storages.get(), name.get()) : nullptr;
    if (!entry) {
        if (!PyErr_Occurred()) {
            Ref key = Ref::steal(PyTuple_Pack(1, name ? name.get() : Py_None));
            if (key) PyErr_SetObject(PyExc_KeyError, key.get());
        }
        return nullptr;
    }
    PyTypeObject* storage_type = outside_type(Outside::PropertyStorage);
    if (!PyObject_TypeCheck(entry, storage_type)) {
        raise_expected(storage_type, entry);
        return nullptr;
    }
    return reinterpret_cast<fw::PropertyStorage*>(entry);
}

// ---------------------------------------------------------------------------
// Shared accessors and methods.

namespace {

PyObject* get_attrname(PyObject* self, void* closure) {
    const AttributeClass& C = *static_cast<const AttributeClass*>(closure);
    Ref name = Ref::steal(property_name(self));
    if (!name || !check_exact_or_none(name.get(), &PyUnicode_Type)) RUVO_ATTR_FAIL(C.qual_attrname, nullptr);
    PyObject* result = resolved_attrname(object_field(self, C.common.attrname), name.get());
    if (!result) RUVO_ATTR_FAIL(C.qual_attrname, nullptr);
    return result;
}

const Params attrvalue_params("attrvalue", {"obj"});

}  // namespace

namespace detail {

PyObject* raise_no_reduce() {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

bool is_widget(PyObject* obj) {
    PyTypeObject* dispatcher = outside_type(Outside::EventDispatcher);
    return Py_IS_TYPE(obj, dispatcher) || PyType_IsSubtype(Py_TYPE(obj), dispatcher);
}

int attrvalue_arg(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** obj) {
    if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) {
        *obj = args[0];
    } else if (attrvalue_params.parse(args, static_cast<Py_ssize_t>(nargsf), kwnames, obj) < 0) {
        return -1;
    }
    if (*obj == Py_None || is_widget(*obj)) return 0;
    return check_arg_type(*obj, outside_type(Outside::EventDispatcher), "obj", true) ? 0 : -1;
}

int call_override(PyObject* self, PyObject* obj, PyMethodDef* native, PyObject** result) {
    Ref method = Ref::steal(PyObject_GetAttr(self, T.attrvalue));
    if (!method) return -1;
    if (PyCFunction_Check(method.get()) &&
        reinterpret_cast<PyCFunctionObject*>(method.get())->m_ml->ml_meth == native->ml_meth) {
        return 0;
    }
    *result = PyObject_CallOneArg(method.get(), obj);
    return 1;
}

PyObject* new_instance(AttributeClass& C, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* self = C.type.tp_base->tp_new(type, args, kwargs);
    if (!self) return nullptr;
    reinterpret_cast<fw::Property*>(self)->vtab = static_cast<fw::PropertyTable*>(C.table);
    set_field(self, C.common.attrtype, T.empty);
    int32_field(self, C.common.sync) = 0;
    set_field(self, C.common.attrname, T.empty);
    // Every field None before anything allocates: an allocation can run the
    // collector, whose finalisers may find and use this object.
    for (Py_ssize_t off : C.gc_fields) {
        if (!off) break;
        set_field(self, off, Py_None);
    }
    for (Py_ssize_t off : C.other_fields) {
        if (!off) break;
        set_field(self, off, Py_None);
    }
    if (C.create_fields && C.create_fields(self) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

void release_fields(AttributeClass& C, PyObject* self) {
    Py_CLEAR(object_field(self, C.common.attrtype));
    Py_CLEAR(object_field(self, C.common.attrname));
    for (Py_ssize_t off : C.gc_fields) {
        if (!off) break;
        Py_CLEAR(object_field(self, off));
    }
    for (Py_ssize_t off : C.other_fields) {
        if (!off) break;
        Py_CLEAR(object_field(self, off));
    }
}

int traverse(AttributeClass& C, PyObject* self, visitproc visit, void* arg) {
    traverseproc base = C.type.tp_base->tp_traverse;
    if (base) {
        int rc = base(self, visit, arg);
        if (rc) return rc;
    }
    for (Py_ssize_t off : C.gc_fields) {
        if (!off) break;
        Py_VISIT(object_field(self, off));
    }
    return 0;
}

int clear(AttributeClass& C, PyObject* self) {
    inquiry base = C.type.tp_base->tp_clear;
    if (base) base(self);
    for (Py_ssize_t off : C.gc_fields) {
        if (!off) break;
        set_field(self, off, Py_None);
    }
    return 0;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Building a class.

namespace {

const char* def_name(const PyMemberDef& d) { return d.name; }
const char* def_name(const PyGetSetDef& d) { return d.name; }
const char* def_name(const PyMethodDef& d) { return d.ml_name; }

template <class Def, size_t N>
int join_defs(Def (&out)[N], std::initializer_list<Def> first, const Def* own, const char* what, const char* cls) {
    size_t n = 0;
    for (const Def& d : first) out[n++] = d;
    for (; own && def_name(*own); ++own) {
        if (n + 1 >= N) {
            PyErr_Format(PyExc_SystemError, "too many %s for %s", what, cls);
            return -1;
        }
        out[n++] = *own;
    }
    out[n] = Def{};
    return 0;
}

// Copying goes through object.__reduce_ex__, which calls the class's own
// __reduce__: make sure pickling reaches the refusal.
int setup_pickling(AttributeClass& C) {
    PyObject* type = reinterpret_cast<PyObject*>(&C.type);
    Ref reduce_ex = Ref::steal(PyObject_GetAttrString(type, "__reduce_ex__"));
    Ref object_reduce_ex = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__"));
    PyObject* reduce = PyDict_GetItemString(C.type.tp_dict, "__reduce__");
    PyObject* setstate = PyDict_GetItemString(C.type.tp_dict, "__setstate__");
    if (!reduce_ex || !object_reduce_ex || reduce_ex.get() != object_reduce_ex.get() || !reduce || !setstate) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", C.type.tp_name);
        return -1;
    }
    return 0;
}

}  // namespace

int register_class(AttributeClass& C, PyObject* module_dict) {
    PyTypeObject* base = fetch_outside(C.base, true);
    if (!base) return -1;
    if (C.type.tp_flags & Py_TPFLAGS_READY) {
        // Readied by an earlier import that failed later on.
        if (C.type.tp_base != base) {
            PyErr_Format(PyExc_ImportError, "%.200s: its base %.200s changed since an earlier import",
                         C.type.tp_name, base->tp_name);
            return -1;
        }
    } else {
        std::snprintf(C.full_name, sizeof C.full_name, "ruvo.core._attributes.%s", C.name);
        std::snprintf(C.qual_init, sizeof C.qual_init, "%s.__init__", C.full_name);
        std::snprintf(C.qual_attrvalue, sizeof C.qual_attrvalue, "%s.attrvalue", C.full_name);
        std::snprintf(C.qual_attrname, sizeof C.qual_attrname, "%s.attrname.__get__", C.full_name);
        std::snprintf(C.qual_reduce, sizeof C.qual_reduce, "%s.__reduce__", C.full_name);
        std::snprintf(C.qual_setstate, sizeof C.qual_setstate, "%s.__setstate__", C.full_name);
        char* readonly_doc = nullptr;
        if (join_defs(C.all_members,
                      {PyMemberDef{"attrtype", T_OBJECT, C.common.attrtype, READONLY, readonly_doc},
                       PyMemberDef{"sync", T_INT, C.common.sync, READONLY, readonly_doc}},
                      C.members, "members", C.name) < 0 ||
            join_defs(C.all_getset, {PyGetSetDef{"attrname", get_attrname, nullptr, nullptr, &C}}, C.getset,
                      "properties", C.name) < 0 ||
            join_defs(C.all_methods,
                      {PyMethodDef{"__reduce__", C.kit.reduce, METH_NOARGS, nullptr},
                       PyMethodDef{"__setstate__", C.kit.setstate, METH_O, nullptr}},
                      C.methods, "methods", C.name) < 0) {
            return -1;
        }
        C.attrvalue_def = {"attrvalue", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(C.kit.attrvalue_method)),
                           METH_FASTCALL | METH_KEYWORDS, C.attrvalue_doc};
        PyTypeObject& t = C.type;
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
        t.tp_name = C.full_name;
        t.tp_basicsize = C.basicsize;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
        t.tp_doc = C.doc;
        t.tp_new = C.kit.tp_new;
        t.tp_init = C.init;
        t.tp_dealloc = C.kit.tp_dealloc;
        t.tp_traverse = C.kit.tp_traverse;
        t.tp_clear = C.kit.tp_clear;
        t.tp_members = C.all_members;
        t.tp_getset = C.all_getset;
        t.tp_methods = C.all_methods;
        t.tp_base = base;
        Py_INCREF(base);
    }
    // The class's table: the base's table, then the class's replacements and
    // new operations.
    const OutsideType& o = outside[static_cast<int>(C.base)];
    size_t base_size = outside_table_size(C.base);
    if (C.table_size < base_size + sizeof(AttrvalueOp) || C.attrvalue_slot < base_size) {
        PyErr_Format(PyExc_SystemError, "table of %s does not extend its base's", C.name);
        return -1;
    }
    std::memset(C.table, 0, C.table_size);
    std::memcpy(C.table, o.table, base_size);
    if (C.fill_table) C.fill_table(C.table);
    attrvalue_slot(C.table, C.attrvalue_slot) = C.kit.attrvalue_op;
    if (PyType_Ready(&C.type) < 0) return -1;
    if (fw::publish_table(&C.type, C.table) < 0) return -1;
    if (PyDict_SetItemString(module_dict, C.name, reinterpret_cast<PyObject*>(&C.type)) < 0) return -1;
    return setup_pickling(C);
}

int attach_attrvalue(AttributeClass& C) {
    Ref descr = Ref::steal(PyDescr_NewMethod(&C.type, &C.attrvalue_def));
    if (!descr || PyDict_SetItem(C.type.tp_dict, T.attrvalue, descr.get()) < 0) return -1;
    PyType_Modified(&C.type);
    return 0;
}

}  // namespace ruvo::attributes
