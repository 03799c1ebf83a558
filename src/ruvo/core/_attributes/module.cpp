// ruvo.core._attributes: HTML attribute descriptors built on the property
// framework. This file holds the module's initialisation; each family of
// classes lives in its own file and is described by an AttributeClass.
#include "common.hpp"

namespace ruvo::attributes {

// The class descriptions, one per class, defined in the family files.
extern AttributeClass attribute_class;  // attribute.cpp
extern AttributeClass numeric_attribute_class, bounded_numeric_attribute_class;  // numeric.cpp
extern AttributeClass boolean_attribute_class, logical_attribute_class;          // boolean.cpp
extern AttributeClass list_attribute_class;                                      // list.cpp
extern AttributeClass variable_list_attribute_class;                             // varlist.cpp
extern AttributeClass color_attribute_class;                                     // colour.cpp
extern AttributeClass generic_event_attribute_class;                             // event.cpp
// Further classes are declared here and listed in kClasses below:
//   numeric.cpp:       numeric_attribute_class, bounded_numeric_attribute_class
//   boolean.cpp:       boolean_attribute_class, logical_attribute_class
//   variable_list.cpp: variable_list_attribute_class
//   list.cpp:          list_attribute_class
//   color.cpp:         color_attribute_class
//   event.cpp:         generic_event_attribute_class

namespace {

// The classes in the order they are readied and bound; __all__ lists those
// marked in_all, in this order.
AttributeClass* const kClasses[] = {
    &attribute_class,
    &numeric_attribute_class,
    &bounded_numeric_attribute_class,
    &boolean_attribute_class,
    &logical_attribute_class,
    &variable_list_attribute_class,
    &list_attribute_class,
    &color_attribute_class,
    &generic_event_attribute_class,
};

constexpr const char* kModuleDoc =
    "HTML attribute descriptors.\n"
    "\n"
    "Each class is a property of the property framework that also renders its\n"
    "current value for one widget as the text of an HTML element attribute, a\n"
    "CSS style entry or a CSS class.\n";

int make_texts() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&T.empty, ""},          {&T.attrtype, "attrtype"},   {&T.attrname, "attrname"}, {&T.sync, "sync"},
        {&T.options, "options"}, {&T.values, "values"},       {&T.allownone, "allownone"}, {&T.name, "name"},
        {&T.attrvalue, "attrvalue"}, {&T.init, "__init__"},  {&T.dot, "."},             {&T.underscore, "_"},
        {&T.dash, "-"},          {&T.replace, "replace"},     {&T.true_text, "true"},    {&T.false_text, "false"},
    };
    for (const Entry& e : entries) {
        if (!intern(e.slot, e.text)) return -1;
    }
    return 0;
}

int bind_builtin(PyObject** slot, const char* name) {
    PyObject* value = lookup_builtin(name).release();
    if (!value) return -1;
    Py_XSETREF(*slot, value);
    return 0;
}

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
    if (make_texts() < 0) return -1;
    PyObject* dict = module_def.dict;
    // Forget what an earlier, failed import fetched.
    for (OutsideType& o : outside) {
        Py_CLEAR(o.type);
        o.table = nullptr;
    }
    if (bind_builtin(&builtin_zip, "zip") < 0 || bind_builtin(&builtin_super, "super") < 0) return -1;

    Ref properties = Ref::steal(PyImport_ImportModule("ruvo.core.properties"));
    if (!properties) return -1;
    for (AttributeClass* cls : kClasses) {
        if (register_class(*cls, dict) < 0) return -1;
    }
    for (int i = 0; i < static_cast<int>(Outside::Count); ++i) {
        if (!fetch_outside(static_cast<Outside>(i), false)) return -1;
    }

    Ref all = Ref::steal(PyList_New(0));
    if (!all) return -1;
    for (const AttributeClass* cls : kClasses) {
        if (!cls->in_all) continue;
        Ref name = Ref::steal(PyUnicode_InternFromString(cls->name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    }
    Ref all_tuple = Ref::steal(PyList_AsTuple(all.get()));
    if (!all_tuple || PyDict_SetItemString(dict, "__all__", all_tuple.get()) < 0) return -1;
    if (import_names("ruvo.core.properties", {"ObservableList", "CSS_LENGTH_UNITS"}) < 0) return -1;
    if (import_names("ruvo.core.utils", {"get_color_from_hex_255"}) < 0) return -1;
    for (AttributeClass* cls : kClasses) {
        if (attach_attrvalue(*cls) < 0) return -1;
    }
    return 0;
}

}  // namespace

NativeModule module_def({"_attributes", "ruvo.core._attributes", kModuleDoc, kFile, exec_attributes}, exec_slot<module_def>);

}  // namespace ruvo::attributes

PyMODINIT_FUNC PyInit__attributes() { return ruvo::attributes::module_def.init(); }
