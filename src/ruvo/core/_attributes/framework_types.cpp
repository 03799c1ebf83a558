#include "framework_types.hpp"

#include "native.hpp"

namespace ruvo::attributes {

#define RUVO_FETCHED(mod, name, table) {mod, #name, sizeof(framework::name), table, nullptr, nullptr}
FetchedType fetched_types[kFrameworkTypeCount] = {
    RUVO_FETCHED("ruvo.core.properties", Property, true),
    RUVO_FETCHED("ruvo.core.properties", NumericProperty, true),
    RUVO_FETCHED("ruvo.core.properties", BoundedNumericProperty, true),
    RUVO_FETCHED("ruvo.core.properties", BooleanProperty, true),
    RUVO_FETCHED("ruvo.core.properties", ListProperty, true),
    RUVO_FETCHED("ruvo.core.properties", VariableListProperty, true),
    RUVO_FETCHED("ruvo.core.properties", StringProperty, true),
    RUVO_FETCHED("ruvo.core.properties", DictProperty, true),
    RUVO_FETCHED("ruvo.core.properties", ObjectProperty, true),
    RUVO_FETCHED("ruvo.core.properties", OptionProperty, true),
    RUVO_FETCHED("ruvo.core.properties", ReferenceListProperty, true),
    RUVO_FETCHED("ruvo.core.properties", AliasProperty, true),
    RUVO_FETCHED("ruvo.core.properties", ColorProperty, true),
    RUVO_FETCHED("ruvo.core.properties", PropertyStorage, false),
    RUVO_FETCHED("ruvo.core._event", ObjectWithUid, false),
    RUVO_FETCHED("ruvo.core._event", Observable, false),
    RUVO_FETCHED("ruvo.core._event", EventDispatcher, true),
    RUVO_FETCHED("ruvo.core._event", BoundCallback, false),
    RUVO_FETCHED("ruvo.core._event", EventObservers, true),
};
#undef RUVO_FETCHED

namespace {
FetchedType& entry(FrameworkType which) noexcept { return fetched_types[static_cast<int>(which)]; }
}  // namespace

size_t framework_table_size(FrameworkType which) noexcept {
    switch (which) {
        case FrameworkType::NumericProperty:
        case FrameworkType::BoundedNumericProperty:
            return sizeof(framework::NumericPropertyTable);
        default:
            return sizeof(framework::PropertyTable);
    }
}

PyTypeObject* fetch_framework_type(FrameworkType which, bool extended) {
    FetchedType& o = entry(which);
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
    const Py_ssize_t actual = type->tp_basicsize;
    if (actual != o.size) {
        // Smaller, or larger under a record this module extends (which would
        // overlap its fields): refused. Larger otherwise: a warning.
        const bool refused = actual < o.size || extended;
        Ref message = Ref::steal(PyUnicode_FromFormat(
            "%.200s.%.200s size changed, may indicate binary incompatibility. "
            "Expected %zd from C header, got %zd from PyObject",
            o.module, o.name, o.size, actual));
        if (!message) return nullptr;
        if (refused) {
            PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        const char* text = PyUnicode_AsUTF8(message.get());
        if (!text || PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) return nullptr;
    }
    const void* table = nullptr;
    if (o.has_table) {
        table = framework::imported_table(type);
        if (!table) return nullptr;
    }
    Py_XSETREF(o.type, reinterpret_cast<PyTypeObject*>(found.release()));
    o.table = table;
    return o.type;
}

void forget_framework_types() noexcept {
    for (FetchedType& o : fetched_types) {
        Py_CLEAR(o.type);
        o.table = nullptr;
    }
}

}  // namespace ruvo::attributes
