// Failing: the one way a native function reports an error, and the checks
// that raise the project's standard messages.
//
// Inside the native code an error is the interpreter's error indicator plus
// a null (or -1) return. A Python-visible function declares one Site, its
// traceback entry; on failure it returns site.fail(), which adds the entry
// "MODULE.QUALNAME" naming the source file that declares the site, and
// converts to whatever the function returns (null, -1 or an empty Ref).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>

#include "ref.hpp"

namespace ruvo {

struct NativeModule;

// The source path of a file as traceback entries name it: from the package
// directory on ("ruvo/core/thinref.cpp").
const char* source_path(const char* file_name) noexcept;

// The failure value of any return type: null, -1, or an empty Ref.
struct Failure {
    template <class T>
    operator T*() const noexcept {
        return nullptr;
    }
    operator int() const noexcept { return -1; }
    operator Ref() const noexcept { return Ref(); }
};

// The traceback entry of one Python-visible function or method, declared
// once beside it: `qualname` is its name within the module ("join_style",
// "ThinRef.__ref__"); the source file and line are where the site is
// declared. Sites are static objects, initialised before any code runs (their
// constructor is constexpr), so method tables in other files can name them.
class Site {
public:
    constexpr Site(NativeModule& module, const char* qualname,
                   std::source_location where = std::source_location::current()) noexcept
        : module_(module), qualname_(qualname), where_(where) {}
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    const char* qualname() const noexcept { return qualname_; }
    // The Python name: the last part of the qualified name.
    constexpr const char* name() const noexcept {
        const char* last = qualname_;
        for (const char* p = qualname_; *p; ++p) {
            if (*p == '.') last = p + 1;
        }
        return last;
    }
    // The declaring source file, as traceback entries name it.
    const char* file() const noexcept { return source_path(where_.file_name()); }

    // Adds the traceback entry to the pending exception, which it keeps.
    Failure fail() const noexcept;

private:
    NativeModule& module_;
    const char* qualname_;
    std::source_location where_;
    mutable PyObject* code_ = nullptr;  // the entry's code object, made at the first failure
};

// Adds a traceback entry for the pending exception with the given code
// object (see make_entry_code) and globals; keeps the pending exception.
void add_traceback(PyObject* code, PyObject* globals) noexcept;
// The same with a code object made for it: named `name`, at `line` of `file`.
void add_traceback(const char* file, const char* name, int line, PyObject* globals) noexcept;

// Saves the pending exception (if any) and restores it when the scope ends,
// replacing whatever error the code in between left pending.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    explicit operator bool() const noexcept { return type_ != nullptr; }

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* tb_;
};

// TypeError "Expected TYPE, got VALUE_TYPE".
void raise_expected(PyTypeObject* type, PyObject* value);
// True when `value` is exactly of `type` or None; else raise_expected.
bool check_exact_or_none(PyObject* value, PyTypeObject* type);
// TypeError "Argument 'NAME' has incorrect type (expected T, got U)" unless
// `value` is an instance of `type` (or None when allowed).
bool check_arg_type(PyObject* value, PyTypeObject* type, const char* name, bool none_allowed);

// Raises `type` with the formatted message, chained to the pending exception
// as its cause (and context). Always returns null.
PyObject* format_from_cause(PyObject* type, const char* format, ...);

}  // namespace ruvo
