#include "attribute_class.hpp"

#include <cstring>

namespace ruvo::attributes {

namespace {

// Calls visit(field) for each field of `offsets` (0-terminated unless full).
template <std::size_t N, class Visit>
void each_field(PyObject* self, const std::array<Py_ssize_t, N>& offsets, Visit&& visit) {
    for (Py_ssize_t off : offsets) {
        if (!off) break;
        visit(object_field(self, off));
    }
}

}  // namespace

namespace generated {

namespace {
const Params attrvalue_params("attrvalue", {"obj"});
}  // namespace

PyObject* new_instance(const AttributeClass& C, PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self = Ref::steal(C.type.tp_base->tp_new(type, args, kwargs));
    if (!self) return nullptr;
    PyObject* me = self.get();
    reinterpret_cast<framework::Property*>(me)->vtab = static_cast<framework::PropertyTable*>(C.table);
    set_field(object_field(me, C.common.attrtype), Ref::borrow(texts.empty));
    *reinterpret_cast<int32_t*>(reinterpret_cast<char*>(me) + C.common.sync) = 0;
    set_field(object_field(me, C.common.attrname), Ref::borrow(texts.empty));
    // Every field None before anything allocates: an allocation can run the
    // collector, whose finalisers may find and use this object.
    auto to_none = [](PyObject*& field) { set_field(field, Ref::borrow(Py_None)); };
    each_field(me, C.gc_fields, to_none);
    each_field(me, C.other_fields, to_none);
    if (C.create_fields && C.create_fields(me) < 0) return nullptr;
    return self.release();
}

void release_fields(const AttributeClass& C, PyObject* self) {
    auto release = [](PyObject*& field) { Py_CLEAR(field); };
    release(object_field(self, C.common.attrtype));
    release(object_field(self, C.common.attrname));
    each_field(self, C.gc_fields, release);
    each_field(self, C.other_fields, release);
}

int traverse(const AttributeClass& C, PyObject* self, visitproc visit, void* arg) {
    if (traverseproc base = C.type.tp_base->tp_traverse) {
        if (int rc = base(self, visit, arg)) return rc;
    }
    for (Py_ssize_t off : C.gc_fields) {
        if (!off) break;
        Py_VISIT(object_field(self, off));
    }
    return 0;
}

int clear(const AttributeClass& C, PyObject* self) {
    if (inquiry base = C.type.tp_base->tp_clear) base(self);
    each_field(self, C.gc_fields, [](PyObject*& field) { set_field(field, Ref::borrow(Py_None)); });
    return 0;
}

int attrvalue_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** obj) {
    if (nargs == 1 && !kwnames) {
        *obj = args[0];
    } else if (attrvalue_params.parse(args, static_cast<size_t>(nargs), kwnames, obj) < 0) {
        return -1;
    }
    if (*obj == Py_None || is_widget(*obj)) return 0;
    return check_arg_type(*obj, framework_type(FrameworkType::EventDispatcher), "obj", true) ? 0 : -1;
}

int call_override(PyObject* self, PyObject* obj, PyCFunction native, Ref& result) {
    Ref method = Ref::steal(PyObject_GetAttr(self, texts.attrvalue));
    if (!method) return -1;
    PyObject* found = method.get();
    if (PyCFunction_Check(found) && reinterpret_cast<PyCFunctionObject*>(found)->m_ml->ml_meth == native) return 0;
    result = Ref::steal(PyObject_CallOneArg(method.get(), obj));
    return 1;
}

Ref get_attrname(const AttributeClass& C, PyObject* self) {
    Ref name = property_name(self);
    if (!name || !check_exact_or_none(name.get(), &PyUnicode_Type)) return {};
    return resolved_attrname(object_field(self, C.common.attrname), name.get());
}

namespace {
Failure raise_no_reduce() {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return {};
}
}  // namespace

Ref refuse_reduce(PyObject*) { return raise_no_reduce(); }
Ref refuse_setstate(PyObject*, PyObject*) { return raise_no_reduce(); }

}  // namespace generated

namespace {

// Copying goes through object.__reduce_ex__, which calls the class's own
// __reduce__: make sure pickling reaches the refusal.
int check_pickling(PyTypeObject& type) {
    PyObject* as_object = reinterpret_cast<PyObject*>(&type);
    Ref reduce_ex = Ref::steal(PyObject_GetAttrString(as_object, "__reduce_ex__"));
    Ref object_reduce_ex =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__"));
    PyObject* reduce = PyDict_GetItemString(type.tp_dict, "__reduce__");
    PyObject* setstate = PyDict_GetItemString(type.tp_dict, "__setstate__");
    if (!reduce_ex || !object_reduce_ex || reduce_ex.get() != object_reduce_ex.get() || !reduce || !setstate) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type.tp_name);
        return -1;
    }
    return 0;
}

AttrvalueOp& attrvalue_slot(void* table, size_t slot) {
    return *reinterpret_cast<AttrvalueOp*>(static_cast<char*>(table) + slot);
}

}  // namespace

int register_class(AttributeType& cls, PyObject* module_dict) {
    const AttributeClass& C = cls.description;
    PyTypeObject* base = fetch_framework_type(C.base, true);
    if (!base) return -1;
    if (cls.type.tp_flags & Py_TPFLAGS_READY) {
        // Readied by an earlier import that failed later on.
        if (cls.type.tp_base != base) {
            PyErr_Format(PyExc_ImportError, "%.200s: its base %.200s changed since an earlier import",
                         cls.type.tp_name, base->tp_name);
            return -1;
        }
    } else {
        cls.type.tp_base = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(base)));
    }
    // The class's table: the base's table, then the class's replacements and
    // new operations.
    const size_t base_size = framework_table_size(C.base);
    if (C.table_size < base_size + sizeof(AttrvalueOp) || C.attrvalue_slot < base_size) {
        PyErr_Format(PyExc_SystemError, "table of %s does not extend its base's", C.sites.names.name);
        return -1;
    }
    std::memset(C.table, 0, C.table_size);
    std::memcpy(C.table, framework_table<void>(C.base), base_size);
    if (C.fill_table) C.fill_table(C.table);
    attrvalue_slot(C.table, C.attrvalue_slot) = cls.attrvalue_op;
    if (PyType_Ready(&cls.type) < 0) return -1;
    if (framework::publish_table(&cls.type, C.table) < 0) return -1;
    if (PyDict_SetItemString(module_dict, C.sites.names.name, reinterpret_cast<PyObject*>(&cls.type)) < 0) return -1;
    return check_pickling(cls.type);
}

}  // namespace ruvo::attributes
