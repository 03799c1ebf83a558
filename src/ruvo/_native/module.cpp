#include "module.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.hpp"
#include "ref.hpp"

namespace ruvo {

namespace {

int64_t main_interpreter_id = -1;

// The first import records its interpreter; any other is refused.
bool single_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        return current != -1;
    }
    if (current != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

// Copies one attribute of the import record into the module's namespace;
// a missing attribute is skipped.
int copy_from_record(PyObject* record, PyObject* dict, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(record, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

NativeModule* owner_of(PyModuleDef* def) { return reinterpret_cast<NativeModule*>(def); }

PyObject* create(PyObject* record, PyModuleDef* def) {
    NativeModule* self = owner_of(def);
    if (!single_interpreter()) return nullptr;
    if (self->module) return Py_NewRef(self->module);
    Ref name = Ref::steal(PyObject_GetAttrString(record, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict || copy_from_record(record, dict, "loader", "__loader__", true) < 0 ||
        copy_from_record(record, dict, "origin", "__file__", true) < 0 ||
        copy_from_record(record, dict, "parent", "__package__", true) < 0 ||
        copy_from_record(record, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// RuntimeWarning when the running interpreter is not the one compiled for.
int check_version(const char* full_name) {
    const char* running = Py_GetVersion();
    int major = 0, minor = 0;
    if (std::sscanf(running, "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[256];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int exec_steps(NativeModule* self, PyObject* module) {
    if (check_version(self->info.full_name) < 0) return -1;
    self->module = Py_NewRef(module);
    self->dict = PyModule_GetDict(module);
    if (!self->dict) return -1;
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins || PyDict_SetItemString(self->dict, "__builtins__", builtins) < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, self->info.full_name);
    if (!existing && PyDict_SetItemString(modules, self->info.full_name, module) < 0) return -1;
    if (self->info.exec(module) < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(self->dict, "__test__", test.get()) < 0) return -1;
    return 0;
}

}  // namespace

int NativeModule::exec(PyObject* target) noexcept {
    if (module) {
        if (module == target) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     info.short_name);
        return -1;
    }
    if (exec_steps(this, target) == 0) return 0;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", info.full_name);
    if (dict) {
        Ref name = Ref::steal(PyUnicode_FromFormat("init %s", info.full_name));
        const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        if (text) add_traceback(source_path(where.file_name()), text, static_cast<int>(where.line()), dict);
        // Forget our own sys.modules entry, so that a later import starts afresh.
        SavedError pending;
        PyObject* modules = PyImport_GetModuleDict();
        if (PyDict_GetItemString(modules, info.full_name) == target) {
            PyDict_DelItemString(modules, info.full_name);
        }
    }
    dict = nullptr;
    Py_CLEAR(module);
    return -1;
}

NativeModule::NativeModule(const ModuleInfo& mi, int (*exec_slot)(PyObject*), std::source_location where) noexcept
    : def{PyModuleDef_HEAD_INIT}, slots{}, info(mi), module(nullptr), dict(nullptr), where(where) {
    slots[0] = {Py_mod_create, reinterpret_cast<void*>(&create)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_slot)};
    slots[2] = {0, nullptr};
    def.m_name = mi.full_name;
    def.m_doc = mi.doc;
    def.m_size = 0;
    def.m_slots = slots;
}

}  // namespace ruvo
