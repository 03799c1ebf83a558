// ListProperty and its ObservableList (a list whose in-place changes notify
// the owning property's observers), and VariableListProperty (CSS box values).
#include "framework.hpp"

namespace ruvo::framework::impl {

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
// ObservableList's type

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

// ---------------------------------------------------------------------------
// ListProperty

namespace {

PyObject* list_convert(Property* self, PyObject* obj, PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) return new_observable_list(value, self, obj).release();
    return Py_NewRef(value);
}

PyObject* list_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    if (r.get() != Py_None || PyList_Check(value)) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " accepts only a list or a tuple (got %R)", value);
}

}  // namespace

constinit PropertyTable list_table = [] {
    PropertyTable t = property_operations();
    t.convert = list_convert;
    t.check = list_check;
    return t;
}();

namespace {

PyObject* list_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = property_new(type);
    if (self) reinterpret_cast<Property*>(self.get())->vtab = &list_table;
    return finish_new(std::move(self), &ListPropertyType).release();
}

const Method list_init_method{module_def, "ListProperty.__init__", {"defaultvalue"}, 0};

int list_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty || list_init_method.params.parse(args, kwargs, a, keep, &kw) < 0 ||
        property_init_common(reinterpret_cast<Property*>(self), a[0] == Py_None ? nullptr : a[0], empty.get(),
                             kw.get()) < 0) {
        return list_init_method.site.fail();
    }
    return 0;
}

}  // namespace

PyTypeObject ListPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.ListProperty", sizeof(ListProperty), &PropertyType,
                                    "ListProperty(defaultvalue=None, **kw)\n--\n\n"
                                    "A list (default: empty). A list or tuple assigned is stored as a new\n"
                                    "ObservableList whose in-place changes notify the observers.");
    t.tp_new = list_new;
    t.tp_init = list_init;
    t.tp_traverse = property_traverse;
    t.tp_clear = property_clear;
    t.tp_dealloc = trashcan_dealloc<property_release>;
    return t;
}();

// ---------------------------------------------------------------------------
// VariableListProperty

namespace {

VariableListProperty* as_vl(PyObject* o) { return reinterpret_cast<VariableListProperty*>(o); }

// A new list of `length` items repeating `items` (n of them) in order.
Ref repeated(PyObject* const* items, Py_ssize_t n, int32_t length) {
    Ref list = Ref::steal(PyList_New(length));
    if (!list) return list;
    for (int32_t i = 0; i < length; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(items[i % n]));
    return list;
}

PyObject* varlist_convert(Property* self, PyObject*, PyObject* value) {
    const int32_t length = reinterpret_cast<VariableListProperty*>(self)->length;
    if (is_number(value)) return repeated(&value, 1, length).release();
    if (!PyList_Check(value) && !PyTuple_Check(value)) return Py_NewRef(value);
    Ref items = Ref::steal(PySequence_Tuple(value));
    if (!items) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    PyObject* const* p = &PyTuple_GET_ITEM(items.get(), 0);
    if (n == 1 || (n == 2 && length % 2 == 0)) return repeated(p, n, length).release();
    return PySequence_List(items.get());  // left for check to judge
}

PyObject* varlist_check(Property* self, PyObject* obj, PyObject* value) {
    Ref r = Ref::steal(property_check(self, obj, value));
    const int32_t length = reinterpret_cast<VariableListProperty*>(self)->length;
    if (r.get() != Py_None || !PyList_Check(value) || PyList_GET_SIZE(value) == length) return r.release();
    return raise_named(PyExc_ValueError, self, obj, " must have %d items (got %R)", static_cast<int>(length), value);
}

}  // namespace

constinit PropertyTable varlist_table = [] {
    PropertyTable t = property_operations();
    t.convert = varlist_convert;
    t.check = varlist_check;
    return t;
}();

namespace {

PyObject* varlist_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = property_new(type);
    if (!self) return nullptr;
    as_vl(self.get())->base.vtab = &varlist_table;
    as_vl(self.get())->length = 4;
    return finish_new(std::move(self), &VariableListPropertyType).release();
}

const Method varlist_init_method{module_def, "VariableListProperty.__init__", {"defaultvalue", "length"}, 0};

int varlist_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Site& site = varlist_init_method.site;
    PyObject* a[2];
    Ref keep;  // holds the keyword arguments while they are used
    Ref kw;
    if (varlist_init_method.params.parse(args, kwargs, a, keep, &kw) < 0) return site.fail();
    long length = 4;
    if (a[1]) {
        if (!PyLong_Check(a[1]) || PyBool_Check(a[1])) {
            PyErr_Format(PyExc_TypeError, "VariableListProperty length must be an int, got %.200s",
                         Py_TYPE(a[1])->tp_name);
            return site.fail();
        }
        length = PyLong_AsLong(a[1]);
        if (length == -1 && PyErr_Occurred()) PyErr_Clear();
        if (length != 2 && length != 4) {
            PyErr_Format(PyExc_ValueError, "VariableListProperty length must be 2 or 4 (got %R)", a[1]);
            return site.fail();
        }
    }
    Ref fallback;
    if (!a[0] || a[0] == Py_None) {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return site.fail();
        PyObject* z = zero.get();
        fallback = repeated(&z, 1, static_cast<int32_t>(length));
        if (!fallback) return site.fail();
    }
    if (property_init_common(&as_vl(self)->base, fallback ? nullptr : a[0], fallback.get(), kw.get()) < 0) {
        return site.fail();
    }
    as_vl(self)->length = static_cast<int32_t>(length);
    return 0;
}

PyObject* get_length(PyObject* self, void*) { return PyLong_FromLong(as_vl(self)->length); }

PyGetSetDef varlist_getset[] = {
    {"length", get_length, nullptr, "The number of items of the stored list: 2 or 4.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject VariableListPropertyType = [] {
    PyTypeObject t = framework_type("ruvo.core.properties.VariableListProperty", sizeof(VariableListProperty),
                                    &PropertyType,
                                    "VariableListProperty(defaultvalue=None, length=4, **kw)\n--\n\n"
                                    "A list of `length` items (2 or 4) given as one, two or four values,\n"
                                    "expanded as CSS box values: a -> [a, a, a, a], [a, b] -> [a, b, a, b].");
    t.tp_new = varlist_new;
    t.tp_init = varlist_init;
    t.tp_traverse = property_traverse;
    t.tp_clear = property_clear;
    t.tp_dealloc = trashcan_dealloc<property_release>;
    t.tp_getset = varlist_getset;
    return t;
}();

}  // namespace ruvo::framework::impl
