// ruvo.core._framework: the property and event framework's native types.
// ruvo.core.properties and ruvo.core._event re-export them.
#include <cstdarg>

#include "fw.hpp"

namespace ruvo::fw {

Texts T;

int make_texts() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&T.empty, ""},          {&T.percent, "%"},        {&T.dunder_name, "__name__"},
        {&T.properties_key, "__ruvo_properties__"}, {&T.table_key, "__ruvo_table__"}, {&T.client, "client"}, {&T.get_color, "get_color_from_hex_255"},
    };
    for (const Entry& e : entries) {
        if (!intern(e.slot, e.text)) return -1;
    }
    if (!T.units) {
        static const char* const units[] = {"px", "em", "ex", "ch", "vw", "vh", "cm", "mm",
                                            "in", "pt", "pc", "rem", "vmin", "vmax"};
        constexpr Py_ssize_t n = sizeof units / sizeof units[0];
        Ref tuple = Ref::steal(PyTuple_New(n));
        if (!tuple) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* u = PyUnicode_InternFromString(units[i]);
            if (!u) return -1;
            PyTuple_SET_ITEM(tuple.get(), i, u);
        }
        T.units = tuple.release();
    }
    return 0;
}

void setup_type(PyTypeObject& t, const char* name, Py_ssize_t size, PyTypeObject* base, const char* doc) {
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_base = base;
    t.tp_doc = doc;
}

int ready_type(PyTypeObject& t, void* table, PyObject* module, const char* public_name) {
    if (PyType_Ready(&t) < 0) return -1;
    if (table && publish_table(&t, table) < 0) return -1;
    return PyModule_AddObjectRef(module, public_name, reinterpret_cast<PyObject*>(&t));
}

PyObject* class_name(PyObject* obj) {
    return PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), T.dunder_name);
}

PyObject* raise_named(PyObject* exc, Property* prop, PyObject* obj, const char* what, ...) {
    Ref cls = Ref::steal(class_name(obj));
    if (!cls) return nullptr;
    va_list va;
    va_start(va, what);
    Ref tail = Ref::steal(PyUnicode_FromFormatV(what, va));
    va_end(va);
    if (!tail) return nullptr;
    PyErr_Format(exc, "%S.%S%U", cls.get(), prop->name ? prop->name : Py_None, tail.get());
    return nullptr;
}

namespace {

constexpr const char* kDoc =
    "Native types of the property and event framework.\n"
    "\n"
    "Import them from :mod:`ruvo.core.properties` and :mod:`ruvo.core._event`.\n";

int exec_framework(PyObject* module) {
    if (make_texts() < 0 || init_overrides(module) < 0) return -1;
    if (init_storage_types(module) < 0 || init_event_types(module) < 0 || init_property_types(module) < 0 ||
        init_numeric_types(module) < 0 || init_list_types(module) < 0 || init_kind_types(module) < 0 ||
        init_dispatcher_types(module) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "CSS_LENGTH_UNITS", T.units);
}

}  // namespace

NativeModule module_def({"_framework", "ruvo.core._framework", kDoc, "ruvo/core/_framework", exec_framework}, exec_slot<module_def>);

}  // namespace ruvo::fw

PyMODINIT_FUNC PyInit__framework() { return ruvo::fw::module_def.init(); }
