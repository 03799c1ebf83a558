// ruvo.core._attributes: HTML attribute descriptors built on the property
// framework. This file holds the module's initialisation. The rest:
//   attribute_class.hpp/.cpp   an attribute class as a declarative record, and
//                              the type, slots and methods generated from it
//   framework_types.hpp/.cpp   the framework's types, fetched and checked at import
//   property_access.hpp/.cpp   values, storages and names read from the framework's records
//   keywords.hpp/.cpp          the constructors' keyword handling
//   constants.hpp/.cpp         constant texts and builtins
//   plain_text.hpp/.cpp        texts of numbers and strings joined in one pass
//   attribute.cpp              _Attribute
//   numeric.cpp                _NumericAttribute, _BoundedNumericAttribute
//   boolean.cpp                _BooleanAttribute, _LogicalAttribute
//   list.cpp                   _ListAttribute
//   varlist.cpp                _VariableListAttribute
//   colour.cpp                 _ColorAttribute
//   event.cpp                  _GenericEventAttribute
#include "attribute_class.hpp"

namespace ruvo::attributes {

// The declared classes, one per class file.
extern AttributeType attribute_type, numeric_attribute_type, bounded_numeric_attribute_type, boolean_attribute_type,
    logical_attribute_type, variable_list_attribute_type, list_attribute_type, color_attribute_type,
    generic_event_attribute_type;

namespace {

// The classes in the order they are readied and bound; __all__ lists those
// marked in_all, in this order.
AttributeType* const kClasses[] = {
    &attribute_type,
    &numeric_attribute_type,
    &bounded_numeric_attribute_type,
    &boolean_attribute_type,
    &logical_attribute_type,
    &variable_list_attribute_type,
    &list_attribute_type,
    &color_attribute_type,
    &generic_event_attribute_type,
};

constexpr const char* kModuleDoc =
    "HTML attribute descriptors.\n"
    "\n"
    "Each class is a property of the property framework that also renders its\n"
    "current value for one widget as the text of an HTML element attribute, a\n"
    "CSS style entry or a CSS class.\n";

// from MODULE import NAMES..., bound in the module's namespace.
int import_names(const char* module_name, std::initializer_list<const char*> names) {
    PyObject* dict = module_def.dict;
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    for (const char* n : names) {
        Ref name = Ref::steal(PyUnicode_FromString(n));
        if (!name || PyList_Append(fromlist.get(), name.get()) < 0) return -1;
    }
    Ref modname = Ref::steal(PyUnicode_FromString(module_name));
    if (!modname) return -1;
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), dict, nullptr, fromlist.get(), 0));
    if (!module) return -1;
    for (const char* n : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(module.get(), n));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            // The interpreter's own wording for a failed "from ... import".
            Ref where = Ref::steal(PyModule_GetFilenameObject(module.get()));
            if (!where) {
                PyErr_Clear();
                where = Ref::steal(PyUnicode_FromString("unknown location"));
                if (!where) return -1;
            }
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (%S)", n, module_name, where.get());
            return -1;
        }
        if (PyDict_SetItemString(dict, n, value.get()) < 0) return -1;
    }
    return 0;
}

int exec_attributes(PyObject*) {
    if (make_constants() < 0) return -1;
    PyObject* dict = module_def.dict;
    forget_framework_types();  // what an earlier, failed import fetched

    Ref properties = Ref::steal(PyImport_ImportModule("ruvo.core.properties"));
    if (!properties) return -1;
    for (AttributeType* cls : kClasses) {
        if (register_class(*cls, dict) < 0) return -1;
    }
    for (int i = 0; i < kFrameworkTypeCount; ++i) {
        if (!fetch_framework_type(static_cast<FrameworkType>(i), false)) return -1;
    }

    Ref all = Ref::steal(PyList_New(0));
    if (!all) return -1;
    for (const AttributeType* cls : kClasses) {
        if (!cls->description.in_all) continue;
        Ref name = Ref::steal(PyUnicode_InternFromString(cls->description.sites.names.name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }
    Ref all_tuple = Ref::steal(PyList_AsTuple(all.get()));
    if (!all_tuple || PyDict_SetItemString(dict, "__all__", all_tuple.get()) < 0) return -1;
    if (import_names("ruvo.core.properties", {"ObservableList", "CSS_LENGTH_UNITS"}) < 0) return -1;
    return import_names("ruvo.core.utils", {"get_color_from_hex_255"});
}

}  // namespace

NativeModule module_def({"_attributes", kModuleName, kModuleDoc, exec_attributes},
                        exec_slot<module_def>);

}  // namespace ruvo::attributes

PyMODINIT_FUNC PyInit__attributes() { return ruvo::attributes::module_def.init(); }
