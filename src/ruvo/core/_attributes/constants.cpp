#include "constants.hpp"

#include "native.hpp"

namespace ruvo::attributes {

ModuleTexts texts;
PyObject* builtin_zip = nullptr;
PyObject* builtin_super = nullptr;

namespace {

int bind_builtin(PyObject*& slot, const char* name) {
    Ref value = lookup_builtin(name);
    if (!value) return -1;
    set_field(slot, std::move(value));
    return 0;
}

}  // namespace

int make_constants() {
    if (intern_all({
            {&texts.empty, ""},
            {&texts.attrtype, "attrtype"},
            {&texts.attrname, "attrname"},
            {&texts.sync, "sync"},
            {&texts.options, "options"},
            {&texts.values, "values"},
            {&texts.allownone, "allownone"},
            {&texts.name, "name"},
            {&texts.attrvalue, "attrvalue"},
            {&texts.init, "__init__"},
            {&texts.dot, "."},
            {&texts.underscore, "_"},
            {&texts.dash, "-"},
            {&texts.close_paren, ")"},
            {&texts.true_text, "true"},
            {&texts.false_text, "false"},
        }) < 0) {
        return -1;
    }
    if (bind_builtin(builtin_zip, "zip") < 0 || bind_builtin(builtin_super, "super") < 0) return -1;
    return 0;
}

}  // namespace ruvo::attributes
