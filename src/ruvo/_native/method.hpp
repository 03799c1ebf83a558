// Python-visible functions and methods, declared once.
//
// A function with named parameters is a Method (its Site and its Params)
// plus an implementation that takes one pointer per parameter (null for an
// absent optional one) and returns an owned Ref:
//
//     const Method join_style_method{module_def, "join_style", {"style_container"}};
//     Ref join_style(PyObject* self, PyObject* container) { ... }
//     ... method<join_style_method, join_style>("doc") ...   // a PyMethodDef
//
// The templates here parse the arguments, call the implementation, add the
// site's traceback entry when it fails, and hand its result over. Methods
// without parameters, with one positional parameter, or with their raw
// argument vector (for *args and **kwargs) need only a Site; the kind follows
// from the implementation's signature. `reported<site, fn>` wraps any other
// function (a type slot, a table operation) in the same failure path.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace ruvo {

// A function or method with named parameters; the messages of its argument
// errors name it by its Python name. Constant-initialised, like a Site.
struct MethodBase {
    Site site;
    Params params;
    constexpr MethodBase(NativeModule& module, const char* qualname, const char* const* names, int count,
                         int required, std::source_location where) noexcept
        : site(module, qualname, where), params(site.name(), names, count, required) {}
};

// The same with its parameter count in the type, so that the templates
// below check at compile time that the implementation takes one argument
// per parameter. Written without the count: the declaration deduces it.
//     const Method m{module_def, "ThinRef.__getattr__", {"name"}};   // Method<1>
//     const Method n{module_def, "ThinRef.__dir__"};                 // Method<0>
template <std::size_t N>
struct Method : MethodBase {
    static constexpr std::size_t count = N;
    constexpr Method(NativeModule& module, const char* qualname, const char* const (&names)[N], int required = -1,
                     std::source_location where = std::source_location::current()) noexcept
        : MethodBase(module, qualname, names, static_cast<int>(N), required, where) {}
    constexpr Method(NativeModule& module, const char* qualname,
                     std::source_location where = std::source_location::current()) noexcept
        requires(N == 0)
        : MethodBase(module, qualname, nullptr, 0, -1, where) {}
};
template <std::size_t N>
Method(NativeModule&, const char*, const char* const (&)[N], int = -1) -> Method<N>;
Method(NativeModule&, const char*)->Method<0>;

template <class T>
concept MethodDeclaration = std::is_base_of_v<MethodBase, std::remove_cvref_t<T>>;

// The implementation kinds that need only a Site.
using NoArgs = Ref (*)(PyObject* self);
using OneArg = Ref (*)(PyObject* self, PyObject* arg);
// `nargs` is the positional count, without the vectorcall offset flag.
using RawArgs = Ref (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Positional arguments only (METH_FASTCALL): the interpreter refuses keywords.
using Positional = Ref (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

namespace detail {

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    static constexpr std::size_t arity = sizeof...(A);
    // The wrapper that reports a failure of `Impl` through `S`: an owned Ref
    // result is handed over as a new reference; an integral result fails
    // at -1 (or any negative value for int), a pointer at null.
    template <const Site& S, R (*Impl)(A...)>
    static auto call(A... a) noexcept -> std::conditional_t<std::is_same_v<R, Ref>, PyObject*, R> {
        R r = Impl(a...);
        if constexpr (std::is_same_v<R, Ref>) {
            if (!r) return S.fail();
            return r.release();
        } else if constexpr (std::is_same_v<R, int>) {
            if (r < 0) return S.fail();
            return r;
        } else if constexpr (std::is_integral_v<R>) {
            if (r == -1 && PyErr_Occurred()) return static_cast<R>(S.fail());
            return r;
        } else {
            if (!r) return S.fail();
            return r;
        }
    }
};

template <auto Impl, std::size_t... I>
Ref call_with(PyObject* self, PyObject* const* a, std::index_sequence<I...>) {
    return Impl(self, a[I]...);
}

template <const auto& M, auto Impl>
PyObject* parse_and_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    constexpr std::size_t n = std::remove_cvref_t<decltype(M)>::count;
    static_assert(Signature<decltype(Impl)>::arity == n + 1,
                  "the implementation takes self and one argument per declared parameter");
    static_assert(n <= Params::kMax, "Params holds at most kMax parameters");
    // The common call gives every parameter by position: its argument vector
    // is already what parsing would produce (Params::parse copies it and has
    // nothing to check), so it is passed on as it is.
    PyObject* a[n ? n : 1];
    PyObject* const* given = args;
    if (kwnames || PyVectorcall_NARGS(nargsf) != static_cast<Py_ssize_t>(n)) {
        if (M.params.parse(args, nargsf, kwnames, a) < 0) return M.site.fail();
        given = a;
    }
    Ref result = call_with<Impl>(self, given, std::make_index_sequence<n>());
    if (!result) return M.site.fail();
    return result.release();
}

template <const Site& S, auto Impl>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    Ref result = Impl(self);
    if (!result) return S.fail();
    return result.release();
}
template <const Site& S, auto Impl>
PyObject* onearg(PyObject* self, PyObject* arg) noexcept {
    Ref result = Impl(self, arg);
    if (!result) return S.fail();
    return result.release();
}
template <const Site& S, auto Impl>
PyObject* rawargs(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    Ref result = Impl(self, args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!result) return S.fail();
    return result.release();
}

template <const Site& S, auto Impl>
PyObject* positional(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Ref result = Impl(self, args, nargs);
    if (!result) return S.fail();
    return result.release();
}

template <class F>
PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace detail

// `fn` with its failures reported through site `S` (see Signature::call).
template <const Site& S, auto Impl>
inline constexpr auto reported = &detail::Signature<decltype(Impl)>::template call<S, Impl>;

// The vectorcall entry of a module function (see FunctionDef); the
// implementation receives the function object as `self`.
template <const auto& M, auto Impl>
    requires MethodDeclaration<decltype(M)>
PyObject* function_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return detail::parse_and_call<M, Impl>(callable, args, nargsf, kwnames);
}

// The method table entry of a method with named parameters.
template <const auto& M, auto Impl>
    requires MethodDeclaration<decltype(M)>
PyMethodDef method(const char* doc, int extra_flags = 0) noexcept {
    constexpr auto entry = +[](PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return detail::parse_and_call<M, Impl>(self, args, static_cast<size_t>(nargsf), kwnames);
    };
    return {M.site.name(), detail::as_cfunction(entry), METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// The method table entry of a method whose implementation is a NoArgs,
// OneArg, RawArgs or Positional function.
template <const Site& S, auto Impl>
PyMethodDef method(const char* doc, int extra_flags = 0) noexcept {
    using F = decltype(Impl);
    if constexpr (std::is_same_v<F, NoArgs>) {
        return {S.name(), detail::as_cfunction(&detail::noargs<S, Impl>), METH_NOARGS | extra_flags, doc};
    } else if constexpr (std::is_same_v<F, OneArg>) {
        return {S.name(), detail::as_cfunction(&detail::onearg<S, Impl>), METH_O | extra_flags, doc};
    } else if constexpr (std::is_same_v<F, Positional>) {
        return {S.name(), detail::as_cfunction(&detail::positional<S, Impl>), METH_FASTCALL | extra_flags, doc};
    } else {
        static_assert(std::is_same_v<F, RawArgs>,
                      "a method implementation is a NoArgs, OneArg, RawArgs or Positional function");
        return {S.name(), detail::as_cfunction(&detail::rawargs<S, Impl>), METH_FASTCALL | METH_KEYWORDS | extra_flags,
                doc};
    }
}

}  // namespace ruvo
