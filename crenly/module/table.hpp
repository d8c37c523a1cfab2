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
#include <string_view>

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

// The most parameters and local names (parameters included) of a callable:
// the binder binds into an array of max_params, the code object is made
// from an array of max_locals names. Raise them when a row needs more.
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

/// One parameter as the signature in a docstring shows it: its exact type
/// when it is checked, its name, its annotation when it has one
/// ("str filepath: str", "list files: List[str]", "self").
struct Parameter {
    std::string_view name;
    ArgCheck check = ArgCheck::none;
    std::string_view annotation;  // empty: none
};

/// The first line of a docstring, "Qualified.name(param, ...) -> returns":
/// what the function checks and annotates is what it shows. `valid` is
/// false when the line is not of that form or has more than max_params.
struct Signature {
    std::string_view shown;  // the qualified name it shows
    int count = 0;
    Parameter params[max_params] = {};
    std::string_view returns;  // empty: no return annotation
    bool valid = false;
};

constexpr Signature parse_signature(std::string_view doc) noexcept {
    Signature s;
    const std::string_view line = doc.substr(0, doc.find('\n'));
    const std::size_t open = line.find('('), close = line.find(')');
    if (open == line.npos || close == line.npos || close < open) return s;
    s.shown = line.substr(0, open);
    const std::string_view rest = line.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(" -> ")) return s;
    if (!rest.empty()) s.returns = rest.substr(4);
    std::string_view params = line.substr(open + 1, close - open - 1);
    while (!params.empty()) {
        if (s.count == max_params) return s;
        const std::size_t comma = params.find(", ");
        std::string_view text = params.substr(0, comma);
        params = comma == params.npos ? std::string_view{} : params.substr(comma + 2);
        Parameter& p = s.params[s.count++];
        for (const ArgCheck check : {ArgCheck::str, ArgCheck::list}) {
            const std::string_view prefix = check == ArgCheck::str ? "str " : "list ";
            if (text.starts_with(prefix)) p.check = check, text.remove_prefix(prefix.size());
        }
        const std::size_t colon = text.find(": ");
        p.name = text.substr(0, colon);
        if (colon != text.npos) p.annotation = text.substr(colon + 2);
        if (p.name.empty()) return s;
    }
    s.valid = true;
    return s;
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
    /// Begins with the signature as the module shows it, from which the
    /// parameters, their checks and annotations and the return annotation
    /// are derived.
    const char* doc = nullptr;
    Signature signature = parse_signature(doc);  // derived: never given in a row
    const char* locals[max_locals] = {};         // the parameters first, then the other locals
    Nested inner = {};
    Body body = nullptr;
    std::uint64_t (*shortcut_calls)() noexcept = nullptr;  // calls that took a native shortcut
};

/// Whether `c`'s docstring shows a signature of its own qualified name whose
/// parameters are its first local names.
constexpr bool well_formed(const Callable& c) noexcept {
    const Signature& s = c.signature;
    if (!s.valid || s.shown != c.qualname) return false;
    for (int i = 0; i < s.count; ++i) {
        if (c.locals[i] == nullptr || s.params[i].name != c.locals[i]) return false;
    }
    return true;
}

/// Every callable, in the order of the module body.
std::span<const Callable> table() noexcept;

/// The row at `index`.
inline const Callable& callable(std::size_t index) noexcept { return table()[index]; }

/// Whether the callable is a method of FileCreator (else a module function).
constexpr bool is_method(const Callable& c) noexcept { return c.name != c.qualname; }

}  // namespace crenly::module
