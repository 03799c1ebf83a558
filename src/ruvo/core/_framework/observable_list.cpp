// ObservableList: a list whose in-place changes notify the observers of the
// property that stores it (ListProperty's values).
#include "framework.hpp"

namespace ruvo::framework::impl {

namespace {

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
    Ref storage = storage_of(reinterpret_cast<Property*>(prop.get()), obj.get());
    if (!storage) {
        PyErr_Clear();  // the owner no longer has this property's storage: nobody to tell
        return 0;
    }
    PropertyStorage* s = as_storage(storage);
    if (s->value != self || !has_callbacks(s->observers)) return 0;
    EventObservers* o = reinterpret_cast<EventObservers*>(s->observers);
    Ref keep = Ref::borrow(s->observers);
    Ref r = Ref::steal(o->vtab->dispatch(o, obj.get(), self));
    return r ? 0 : -1;
}

// `result` when it and the notification succeeded.
Ref notified(PyObject* self, Ref result) {
    if (result && notify(self) < 0) return Ref();
    return result;
}

enum Mutator { kAppend, kExtend, kInsert, kPop, kRemove, kReverse, kSort, kClear, kMutators };
const char* const kMutatorNames[kMutators] = {"append", "extend", "insert", "pop", "remove", "reverse", "sort", "clear"};
PyObject* list_methods[kMutators];  // the list type's method descriptors

template <Mutator M>
Ref mutate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* stack[9];
    if (total >= 8) {
        PyErr_Format(PyExc_TypeError, "%s() got too many arguments", kMutatorNames[M]);
        return Ref();
    }
    stack[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i) stack[i + 1] = args[i];
    return notified(self, Ref::steal(PyObject_Vectorcall(list_methods[M], stack, nargs + 1, kwnames)));
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
    return notified(self, Ref::steal(PyList_Type.tp_as_sequence->sq_inplace_concat(self, other))).release();
}

PyObject* ol_inplace_repeat(PyObject* self, Py_ssize_t n) {
    return notified(self, Ref::steal(PyList_Type.tp_as_sequence->sq_inplace_repeat(self, n))).release();
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

const Site append_site{module_def, "ObservableList.append"};
const Site extend_site{module_def, "ObservableList.extend"};
const Site insert_site{module_def, "ObservableList.insert"};
const Site pop_site{module_def, "ObservableList.pop"};
const Site remove_site{module_def, "ObservableList.remove"};
const Site reverse_site{module_def, "ObservableList.reverse"};
const Site sort_site{module_def, "ObservableList.sort"};
const Site clear_site{module_def, "ObservableList.clear"};

PyMethodDef ol_methods[] = {
    method<append_site, mutate<kAppend>>("append($self, object, /)\n--\n\nAppend object to the end of the list and notify."),
    method<extend_site, mutate<kExtend>>(
        "extend($self, iterable, /)\n--\n\nExtend list by appending elements from the iterable and notify."),
    method<insert_site, mutate<kInsert>>("insert($self, index, object, /)\n--\n\nInsert object before index and notify."),
    method<pop_site, mutate<kPop>>(
        "pop($self, index=-1, /)\n--\n\nRemove and return item at index (default last) and notify."),
    method<remove_site, mutate<kRemove>>("remove($self, value, /)\n--\n\nRemove first occurrence of value and notify."),
    method<reverse_site, mutate<kReverse>>("reverse($self, /)\n--\n\nReverse *IN PLACE* and notify."),
    method<sort_site, mutate<kSort>>(
        "sort($self, /, *, key=None, reverse=False)\n--\n\nSort the list in ascending order and notify."),
    method<clear_site, mutate<kClear>>("clear($self, /)\n--\n\nRemove all items from list and notify."),
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods ol_as_sequence = [] {
    PySequenceMethods m{};
    m.sq_ass_item = ol_ass_item;
    m.sq_inplace_concat = ol_inplace_concat;
    m.sq_inplace_repeat = ol_inplace_repeat;
    return m;
}();

PyMappingMethods ol_as_mapping = {nullptr, nullptr, ol_ass_subscript};

}  // namespace

// ---------------------------------------------------------------------------
// The type

PyTypeObject ObservableListType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.ObservableList", sizeof(ObservableList), &PyList_Type,
                                    "A list whose in-place changes notify the observers of the property that stores it.");
    t.tp_flags |= Py_TPFLAGS_LIST_SUBCLASS;
    t.tp_traverse = ol_traverse;
    t.tp_clear = ol_clear;
    t.tp_dealloc = trashcan_dealloc<ol_release, ol_finish>;
    t.tp_methods = ol_methods;
    t.tp_as_sequence = &ol_as_sequence;
    t.tp_as_mapping = &ol_as_mapping;
    t.tp_repr = ol_repr;
    return t;
}();

int init_observable_list() {
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
    return 0;
}

Ref new_observable_list(PyObject* seq, Property* prop, PyObject* obj) {
    Ref list = Ref::steal(ObservableListType.tp_alloc(&ObservableListType, 0));
    if (!list || PyList_SetSlice(list.get(), 0, 0, seq) < 0) return Ref();
    ObservableList* ol = as_ol(list.get());
    ol->prop = Py_NewRef(reinterpret_cast<PyObject*>(prop));
    if (obj != Py_None && PyType_SUPPORTS_WEAKREFS(Py_TYPE(obj))) {
        ol->obj_ref = PyWeakref_NewRef(obj, nullptr);
        if (!ol->obj_ref) return Ref();
    }
    return list;
}

}  // namespace ruvo::framework::impl
