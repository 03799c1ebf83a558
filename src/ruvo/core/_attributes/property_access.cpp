#include "property_access.hpp"

#include "constants.hpp"

namespace ruvo::attributes {

namespace {

// The entry of the widget `obj` (an EventDispatcher) under the property's
// name, held; null when there is none, with an exception only when the
// lookup raised. `name` holds the name looked up.
Ref storage_entry(PyObject* self, PyObject* obj, Ref& name) {
    // Both held: the lookup may run a key's __eq__, which can rename the
    // property or change the widget.
    Ref storages = Ref::borrow(reinterpret_cast<framework::EventDispatcher*>(obj)->storage);
    name = Ref::borrow(reinterpret_cast<framework::Property*>(self)->name);
    if (!storages || !name || !PyDict_Check(storages.get())) return {};
    return Ref::borrow(PyDict_GetItemWithError(storages.get(), name.get()));
}

}  // namespace

Ref storage_of(PyObject* self, PyObject* obj) {
    PyTypeObject* dispatcher = framework_type(FrameworkType::EventDispatcher);
    if (!is_widget(obj)) {
        raise_expected(dispatcher, obj);
        return {};
    }
    Ref name;
    Ref entry = storage_entry(self, obj, name);
    if (!entry) {
        if (!PyErr_Occurred()) {
            Ref key = Ref::steal(PyTuple_Pack(1, name ? name.get() : Py_None));
            if (key) PyErr_SetObject(PyExc_KeyError, key.get());
        }
        return {};
    }
    PyTypeObject* storage_type = framework_type(FrameworkType::PropertyStorage);
    if (!PyObject_TypeCheck(entry.get(), storage_type)) {
        raise_expected(storage_type, entry.get());
        return {};
    }
    return entry;
}

Ref stored_value(PyObject* self, PyObject* obj, Ref& storage) {
    auto* p = reinterpret_cast<framework::Property*>(self);
    // The framework's getter: the storage under the property's name (a str),
    // else its own error.
    if (p->vtab->get_value == framework_table<framework::PropertyTable>(FrameworkType::Property)->get_value &&
        is_widget(obj) && p->name && PyUnicode_Check(p->name)) {
        Ref name;
        Ref entry = storage_entry(self, obj, name);
        if (!entry && PyErr_Occurred()) return {};
        if (entry && PyObject_TypeCheck(entry.get(), framework_type(FrameworkType::PropertyStorage)) &&
            as_storage(entry)->value) {
            storage = std::move(entry);
            return Ref::borrow(as_storage(storage)->value);
        }
    }
    return get_value(self, obj);
}

Ref property_name(PyObject* self) { return Ref::steal(PyObject_GetAttr(self, texts.name)); }

Ref resolved_attrname(PyObject* attrname, PyObject* name) {
    if (attrname && attrname != Py_None && PyUnicode_GET_LENGTH(attrname) > 0) return Ref::borrow(attrname);
    if (name == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "replace");
        return {};
    }
    auto dashed = [](PyObject* text) { return Ref::steal(PyUnicode_Replace(text, texts.underscore, texts.dash, -1)); };
    if (!PyUnicode_CheckExact(name)) return dashed(name);
    static DerivedTexts<16> dashed_names;
    return dashed_names.get(name, dashed);
}

Failure raise_value_error(PyObject* self, PyObject* obj, std::initializer_list<PyObject*> tail) {
    for (PyObject* piece : tail) {
        if (!piece) return {};
    }
    // Interned names: a fresh name object on each call would also take a new
    // slot of the interpreter's attribute cache wherever its address differs.
    static PyObject* dunder_class = nullptr;
    static PyObject* dunder_name = nullptr;
    if (!intern(&dunder_class, "__class__") || !intern(&dunder_name, "__name__")) return {};
    Ref cls = Ref::steal(PyObject_GetAttr(obj, dunder_class));
    if (!cls) return {};
    Ref clsname = Ref::steal(PyObject_GetAttr(cls.get(), dunder_name));
    if (!clsname) return {};
    Ref clstext = Ref::steal(PyObject_Format(clsname.get(), texts.empty));
    if (!clstext) return {};
    Ref name = property_name(self);
    if (!name) return {};
    Ref nametext = Ref::steal(PyObject_Format(name.get(), texts.empty));
    if (!nametext) return {};
    Ref pieces = Ref::steal(PyTuple_New(3 + static_cast<Py_ssize_t>(tail.size())));
    if (!pieces) return {};
    PyTuple_SET_ITEM(pieces.get(), 0, clstext.release());
    PyTuple_SET_ITEM(pieces.get(), 1, Py_NewRef(texts.dot));
    PyTuple_SET_ITEM(pieces.get(), 2, nametext.release());
    Py_ssize_t n = 3;
    for (PyObject* piece : tail) PyTuple_SET_ITEM(pieces.get(), n++, Py_NewRef(piece));
    Ref message = Ref::steal(PyUnicode_Join(texts.empty, pieces.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return {};
}

Failure raise_with_repr(PyObject* self, PyObject* obj, PyObject* head, PyObject* value) {
    Ref shown = Ref::steal(PyObject_Repr(value));
    return raise_value_error(self, obj, {head, shown.get(), texts.close_paren});
}

}  // namespace ruvo::attributes
