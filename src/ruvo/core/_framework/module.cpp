// ruvo.core._framework: the property and event framework's native types and
// its colour parser. ruvo.core.properties, ruvo.core._event and ruvo.core.utils
// re-export them. Each type is declared in the file of its class; this file
// makes the module's constants and readies and publishes the types at import.
#include "framework.hpp"

namespace ruvo::framework::impl {

Texts texts;

namespace {

int make_texts() {
    if (intern_all({
            {&texts.empty, ""},
            {&texts.percent, "%"},
            {&texts.dunder_name, "__name__"},
            {&texts.properties_key, "__ruvo_properties__"},
            {&texts.table_key, "__ruvo_table__"},
            {&texts.client, "client"},
            {&texts.get_color, "get_color_from_hex_255"},
        }) < 0) {
        return -1;
    }
    if (!texts.units) {
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
        texts.units = tuple.release();
    }
    return 0;
}

// The public types in the order they are readied (a base before the types
// derived from it), with the table each publishes.
struct PublicType {
    PyTypeObject* type;
    void* table;
    const char* name;
};

const PublicType kPublicTypes[] = {
    {&PropertyStorageType, nullptr, "PropertyStorage"},
    {&BoundCallbackType, nullptr, "BoundCallback"},
    {&EventObserversType, &observers_table, "EventObservers"},
    {&PropertyType, &property_table, "Property"},
    {&NumericPropertyType, &numeric_table, "NumericProperty"},
    {&BoundedNumericPropertyType, &bounded_table, "BoundedNumericProperty"},
    {&ObservableListType, nullptr, "ObservableList"},
    {&ListPropertyType, &list_table, "ListProperty"},
    {&VariableListPropertyType, &varlist_table, "VariableListProperty"},
    {&BooleanPropertyType, &boolean_table, "BooleanProperty"},
    {&StringPropertyType, &string_table, "StringProperty"},
    {&DictPropertyType, &dict_table, "DictProperty"},
    {&ObjectPropertyType, &object_table, "ObjectProperty"},
    {&OptionPropertyType, &option_table, "OptionProperty"},
    {&ReferenceListPropertyType, &reflist_table, "ReferenceListProperty"},
    {&AliasPropertyType, &alias_table, "AliasProperty"},
    {&ColorPropertyType, &color_table, "ColorProperty"},
    {&ObjectWithUidType, &uid_table, "ObjectWithUid"},
    {&ObservableType, &observable_table, "Observable"},
    {&EventDispatcherType, &dispatcher_table, "EventDispatcher"},
};

// PyType_Ready, the table's capsule under "__pyx_vtable__", and the module binding.
int publish(PyObject* module, const PublicType& entry) {
    if (PyType_Ready(entry.type) < 0) return -1;
    if (entry.table && publish_table(entry.type, entry.table) < 0) return -1;
    return PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(entry.type));
}

constexpr const char* kDoc =
    "Native types of the property and event framework.\n"
    "\n"
    "Import them from :mod:`ruvo.core.properties` and :mod:`ruvo.core._event`.\n";

int exec_framework(PyObject* module) {
    if (make_texts() < 0 || init_overrides() < 0 || init_observable_list() < 0) return -1;
    if (PyType_Ready(&TableRecordType) < 0 || PyType_Ready(&PropertiesRecordType) < 0) return -1;
    for (const PublicType& entry : kPublicTypes) {
        if (publish(module, entry) < 0) return -1;
    }
    Ref parser = make_function(hex_colour_function, module);
    if (!parser || PyModule_AddObjectRef(module, hex_colour_function.method.site.name(), parser.get()) < 0) return -1;
    set_field(hex_colour_parser, std::move(parser));
    return PyModule_AddObjectRef(module, "CSS_LENGTH_UNITS", texts.units);
}

}  // namespace

NativeModule module_def({"_framework", "ruvo.core._framework", kDoc, exec_framework}, exec_slot<module_def>);

}  // namespace ruvo::framework::impl

PyMODINIT_FUNC PyInit__framework() { return ruvo::framework::impl::module_def.init(); }
