// Scope guards around calls that can re-enter native code.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ruvo {

// The interpreter's recursion limit for native code that can call itself
// through objects Python code controls (a property referring to itself, a
// proxy whose referent is a proxy): RecursionError instead of a C stack
// overflow. Test entered() once after construction.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace ruvo
