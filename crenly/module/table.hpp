// The one table that declares every callable of the module: names,
// parameters, type checks, annotations, docstrings, local names and the
// adapters to the behaviour functions. A callable is one row: the binder, the
// function type and the module body read everything from it, and the module
// body defines the rows in their order (the module functions before the
// class, its methods, the module functions after it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crenly/core/ref.hpp"

namespace crenly::module {

/// The bound arguments of a call: borrowed, in parameter order.
using Args = PyObject* const*;

/// The adapter from the bound arguments to a behaviour function.
using Body = core::Ref (*)(Args args);

/// The exact type a parameter must have.
enum class ArgCheck : std::uint8_t { none, str, list };

/// The name of the type that `check` requires, for messages.
constexpr const char* check_name(ArgCheck check) noexcept {
    return check == ArgCheck::str ? "str" : check == ArgCheck::list ? "list" : "object";
}

/// The annotation of a parameter that `check` applies to, or null.
constexpr const char* check_annotation(ArgCheck check) noexcept {
    return check == ArgCheck::str ? "str" : check == ArgCheck::list ? "List[str]" : nullptr;
}

inline constexpr int max_params = 2;
inline constexpr int max_locals = 14;

/// The last part of a dotted name.
constexpr const char* last_part(const char* dotted) noexcept {
    const char* last = dotted;
    for (const char* p = dotted; *p != '\0'; ++p) {
        if (*p == '.') last = p + 1;
    }
    return last;
}

/// Code nested in a callable with a traceback entry of its own (a generator
/// expression): its name and local names.
struct Nested {
    const char* name = nullptr;
    const char* locals[2] = {};
};

struct Callable {
    const char* qualname = nullptr;
    const char* name = last_part(qualname);  // derived: never given in a row
    int nparams = 0;                         // the first `nparams` locals
    ArgCheck check = ArgCheck::none;         // of the second parameter; gives its annotation
    const char* returns = nullptr;           // return annotation, or null
    const char* doc = nullptr;               // begins with the signature as the module shows it
    const char* locals[max_locals] = {};     // the parameters first, then the other locals
    Nested inner = {};
    Body body = nullptr;
    std::uint64_t (*shortcut_calls)() noexcept = nullptr;  // calls that took a native shortcut
};

/// Every callable, in the order of the module body.
std::span<const Callable> table() noexcept;

/// The row at `index`.
inline const Callable& callable(std::size_t index) noexcept { return table()[index]; }

/// Whether the callable is a method of FileCreator (else a module function).
constexpr bool is_method(const Callable& c) noexcept { return c.name != c.qualname; }

}  // namespace crenly::module
