// ListProperty and its ObservableList (a list whose in-place changes notify
// the owning property's observers), and VariableListProperty (CSS box values).
#include "fw.hpp"

namespace ruvo::fw {

PyTypeObject ObservableListType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject ListPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject VariableListPropertyType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PropertyTable list_table, varlist_table;

namespace {

// ---------------------------------------------------------------------------
// ObservableList

struct ObservableList {
    PyListObject list;
    PyObject* prop;     // the owning Property, or null/None
    PyObject* obj_ref;  // weak reference to the owning object, or null/None
};

ObservableList* as_ol(PyObject* o) { return reinterpret_cast<ObservableList*>(o); }

// Calls the owner's observers with (obj, self) when self is still the stored value.
int notify(PyObject* self) {
    ObservableList* ol = as_ol(self);
    if (!ol->prop || !ol->obj_ref || !PyWeakref_CheckRef(ol->obj_ref)) return 0;
    Ref obj = weakref_target(ol->obj_ref);
    if (obj.get() == Py_None) return 0;
    Ref prop = Ref::borrow(ol->prop);
    PropertyStorage* s = storage_of(reinterpret_cast<Property*>(prop.get()), obj.get());
    if (!s) {
        PyErr_Clear();  // the owner no longer has this property's storage: nobody to tell
        return 0;
    }
    Ref storage = Ref::steal(reinterpret_cast<PyObject*>(s));
    if (s->value != self || !has_callbacks(s->observers)) return 0;
    EventObservers* o = reinterpret_cast<EventObservers*>(s->observers);
    Ref keep = Ref::borrow(s->observers);
    Ref r = Ref::steal(o->vtab->dispatch(o, obj.get(), self));
    return r ? 0 : -1;
}

PyObject* notified(PyObject* self, PyObject* result) {
    if (result && notify(self) < 0) Py_CLEAR(result);
    return result;
}

enum Mutator { kAppend, kExtend, kInsert, kPop, kRemove, kReverse, kSort, kClear, kMutators };
const char* const kMutatorNames[kMutators] = {"append", "extend", "insert", "pop", "remove", "reverse", "sort", "clear"};
PyObject* list_methods[kMutators];  // the list type's method descriptors

template <Mutator M>
PyObject* mutate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* stack[9];
    if (total >= 8) {
        PyErr_Format(PyExc_TypeError, "%s() got too many arguments", kMutatorNames[M]);
        return nullptr;
    }
    stack[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i) stack[i + 1] = args[i];
    return notified(self, PyObject_Vectorcall(list_methods[M], stack, nargs + 1, kwnames));
}

int ol_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (PyList_Type.tp_as_mapping->mp_ass_subscript(self, key, value) < 0) return -1;
    return notify(self);
}

int ol_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    if (PyList_Type.tp_as_sequence->sq_ass_item(self, i, value) < 0) return -1;
    return notify(self);
}

PyObject* ol_inplace_concat(PyObject* self, PyObject* other) {
    return notified(self, PyList_Type.tp_as_sequence->sq_inplace_concat(self, other));
}

PyObject* ol_inplace_repeat(PyObject* self, Py_ssize_t n) {
    return notified(self, PyList_Type.tp_as_sequence->sq_inplace_repeat(self, n));
}

int ol_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_ol(self)->prop);
    Py_VISIT(as_ol(self)->obj_ref);
    return PyList_Type.tp_traverse(self, visit, arg);
}

int ol_clear(PyObject* self) {
    Py_CLEAR(as_ol(self)->prop);
    Py_CLEAR(as_ol(self)->obj_ref);
    return PyList_Type.tp_clear(self);
}

void ol_release(PyObject* self) {
    Py_CLEAR(as_ol(self)->prop);
    Py_CLEAR(as_ol(self)->obj_ref);
}

// The list's own deallocation frees the items and the object; its trashcan
// does not engage for a subtype, ours does.
void ol_finish(PyObject* self) { PyList_Type.tp_dealloc(self); }

PyObject* ol_repr(PyObject* self) {
    Ref inner = Ref::steal(PyList_Type.tp_repr(self));
    if (!inner) return nullptr;
    return PyUnicode_FromFormat("ObservableList(%U)", inner.get());
}

#define FW_MUTATOR(m, doc) {kMutatorNames[m], FW_METH(mutate<m>), FW_FASTKW, doc}
PyMethodDef ol_methods[] = {
    FW_MUTATOR(kAppend, "append($self, object, /)\n--\n\nAppend object to the end of the list and notify."),
    FW_MUTATOR(kExtend, "extend($self, iterable, /)\n--\n\nExtend list by appending elements from the iterable and notify."),
    FW_MUTATOR(kInsert, "insert($self, index, object, /)\n--\n\nInsert object before index and notify."),
    FW_MUTATOR(kPop, "pop($self, index=-1, /)\n--\n\nRemove and return item at index (default last) and notify."),
    FW_MUTATOR(kRemove, "remove($self, value, /)\n--\n\nRemove first occurrence of value and notify."),
    FW_MUTATOR(kReverse, "reverse($self, /)\n--\n\nReverse *IN PLACE* and notify."),
    FW_MUTATOR(kSort, "sort($self, /, *, key=None, reverse=False)\n--\n\nSort the list in ascending order and notify."),
    FW_MUTATOR(kClear, "clear($self, /)\n--\n\nRemove all items from list and notify."),
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods ol_as_sequence;
PyMappingMethods ol_as_mapping;

// ---------------------------------------------------------------------------
// ListProperty

PyObject* list_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    PyObject* self = property_new(type, args, kw);
    if (self) reinterpret_cast<Property*>(self)->vtab = &list_table;
    return finish_new(self, &ListPropertyType);
}

const Params list_init_params("__init__", {"defaultvalue"}, 0);

int list_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty || list_init_params.parse(args, kwargs, a, keep, &kw) < 0 ||
        property_init_common(reinterpret_cast<Property*>(self), a[0] == Py_None ? nullptr : a[0], empty.get(),
                             kw.get()) < 0) {
        module_def.traceback("ruvo.core._framework.ListProperty.__init__", __LINE__);
        return -1;
    }
    return 0;
}

PyObject* list_convert(Property* self, PyObject* obj, PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) return new_observable_list(value, self, obj);
    return Py_NewRef(value);
}

PyObject* list_check(Property* self, PyObject* obj, PyObject* value) {
    PyObject* r = property_check(self, obj, value);
    if (r != Py_None || PyList_Check(value)) return r;
    Py_DECREF(r);
    return raise_named(PyExc_ValueError, self, obj, " accepts only a list or a tuple (got %R)", value);
}

// ---------------------------------------------------------------------------
// VariableListProperty

VariableListProperty* as_vl(PyObject* o) { return reinterpret_cast<VariableListProperty*>(o); }

PyObject* varlist_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
    PyObject* self = property_new(type, args, kw);
    if (!self) return nullptr;
    as_vl(self)->base.vtab = &varlist_table;
    as_vl(self)->length = 4;
    return finish_new(self, &VariableListPropertyType);
}

// A new list of `length` items repeating `items` (n of them) in order.
PyObject* repeated(PyObject* const* items, Py_ssize_t n, int32_t length) {
    PyObject* list = PyList_New(length);
    if (!list) return nullptr;
    for (int32_t i = 0; i < length; ++i) PyList_SET_ITEM(list, i, Py_NewRef(items[i % n]));
    return list;
}

const Params varlist_init_params("__init__", {"defaultvalue", "length"}, 0);

int varlist_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (varlist_init_params.parse(args, kwargs, a, keep, &kw) < 0) goto fail;
    {
        long length = 4;
        if (a[1]) {
            if (!PyLong_Check(a[1]) || PyBool_Check(a[1])) {
                PyErr_Format(PyExc_TypeError, "VariableListProperty length must be an int, got %.200s",
                             Py_TYPE(a[1])->tp_name);
                goto fail;
            }
            length = PyLong_AsLong(a[1]);
            if (length == -1 && PyErr_Occurred()) PyErr_Clear();
            if (length != 2 && length != 4) {
                PyErr_Format(PyExc_ValueError, "VariableListProperty length must be 2 or 4 (got %R)", a[1]);
                goto fail;
            }
        }
        Ref fallback;
        if (!a[0] || a[0] == Py_None) {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) goto fail;
            PyObject* z = zero.get();
            fallback = Ref::steal(repeated(&z, 1, static_cast<int32_t>(length)));
            if (!fallback) goto fail;
        }
        if (property_init_common(&as_vl(self)->base, fallback ? nullptr : a[0], fallback.get(), kw.get()) < 0) {
            goto fail;
        }
        as_vl(self)->length = static_cast<int32_t>(length);
        return 0;
    }
fail:
    module_def.traceback("ruvo.core._framework.VariableListProperty.__init__", __LINE__);
    return -1;
}

PyObject* varlist_convert(Property* self, PyObject*, PyObject* value) {
    const int32_t length = reinterpret_cast<VariableListProperty*>(self)->length;
    if (is_number(value)) return repeated(&value, 1, length);
    if (!PyList_Check(value) && !PyTuple_Check(value)) return Py_NewRef(value);
    Ref items = Ref::steal(PySequence_Tuple(value));
    if (!items) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    PyObject* const* p = &PyTuple_GET_ITEM(items.get(), 0);
    if (n == 1 || (n == 2 && length % 2 == 0)) return repeated(p, n, length);
    return PySequence_List(items.get());  // left for check to judge
}

PyObject* varlist_check(Property* self, PyObject* obj, PyObject* value) {
    PyObject* r = property_check(self, obj, value);
    const int32_t length = reinterpret_cast<VariableListProperty*>(self)->length;
    if (r != Py_None || !PyList_Check(value) || PyList_GET_SIZE(value) == length) return r;
    Py_DECREF(r);
    return raise_named(PyExc_ValueError, self, obj, " must have %d items (got %R)", static_cast<int>(length), value);
}

PyObject* get_length(PyObject* self, void*) { return PyLong_FromLong(as_vl(self)->length); }

PyGetSetDef varlist_getset[] = {
    {"length", get_length, nullptr, "The number of items of the stored list: 2 or 4.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* new_observable_list(PyObject* seq, Property* prop, PyObject* obj) {
    Ref list = Ref::steal(ObservableListType.tp_alloc(&ObservableListType, 0));
    if (!list || PyList_SetSlice(list.get(), 0, 0, seq) < 0) return nullptr;
    ObservableList* ol = as_ol(list.get());
    ol->prop = Py_NewRef(reinterpret_cast<PyObject*>(prop));
    if (obj != Py_None && PyType_SUPPORTS_WEAKREFS(Py_TYPE(obj))) {
        ol->obj_ref = PyWeakref_NewRef(obj, nullptr);
        if (!ol->obj_ref) return nullptr;
    }
    return list.release();
}

int init_list_types(PyObject* module) {
    for (int i = 0; i < kMutators; ++i) {
        if (!list_methods[i]) {
            // Through the attribute lookup: a builtin type's tp_dict is not
            // filled in on every interpreter version.
            list_methods[i] = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyList_Type), kMutatorNames[i]);
            if (!list_methods[i]) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "list has no method %s", kMutatorNames[i]);
                return -1;
            }
        }
    }
    ol_as_sequence.sq_ass_item = ol_ass_item;
    ol_as_sequence.sq_inplace_concat = ol_inplace_concat;
    ol_as_sequence.sq_inplace_repeat = ol_inplace_repeat;
    ol_as_mapping.mp_ass_subscript = ol_ass_subscript;

    PyTypeObject& o = ObservableListType;
    setup_type(o, "ruvo.core.properties.ObservableList", sizeof(ObservableList), &PyList_Type,
               "A list whose in-place changes notify the observers of the property that stores it.");
    o.tp_traverse = ol_traverse;
    o.tp_clear = ol_clear;
    o.tp_dealloc = trashcan_dealloc<ol_release, ol_finish>;
    o.tp_methods = ol_methods;
    o.tp_as_sequence = &ol_as_sequence;
    o.tp_as_mapping = &ol_as_mapping;
    o.tp_repr = ol_repr;
    o.tp_flags |= Py_TPFLAGS_LIST_SUBCLASS;
    if (ready_type(o, nullptr, module, "ObservableList") < 0) return -1;

    list_table = property_table;
    list_table.convert = list_convert;
    list_table.check = list_check;
    PyTypeObject& l = ListPropertyType;
    setup_type(l, "ruvo.core.properties.ListProperty", sizeof(ListProperty), &PropertyType,
               "ListProperty(defaultvalue=None, **kw)\n--\n\n"
               "A list (default: empty). A list or tuple assigned is stored as a new\n"
               "ObservableList whose in-place changes notify the observers.");
    l.tp_new = list_new;
    l.tp_init = list_init;
    l.tp_traverse = property_traverse;
    l.tp_clear = property_clear;
    l.tp_dealloc = trashcan_dealloc<property_release>;
    if (ready_type(l, &list_table, module, "ListProperty") < 0) return -1;

    varlist_table = property_table;
    varlist_table.convert = varlist_convert;
    varlist_table.check = varlist_check;
    PyTypeObject& v = VariableListPropertyType;
    setup_type(v, "ruvo.core.properties.VariableListProperty", sizeof(VariableListProperty), &PropertyType,
               "VariableListProperty(defaultvalue=None, length=4, **kw)\n--\n\n"
               "A list of `length` items (2 or 4) given as one, two or four values,\n"
               "expanded as CSS box values: a -> [a, a, a, a], [a, b] -> [a, b, a, b].");
    v.tp_new = varlist_new;
    v.tp_init = varlist_init;
    v.tp_traverse = property_traverse;
    v.tp_clear = property_clear;
    v.tp_dealloc = trashcan_dealloc<property_release>;
    v.tp_getset = varlist_getset;
    return ready_type(v, &varlist_table, module, "VariableListProperty");
}

}  // namespace ruvo::fw
