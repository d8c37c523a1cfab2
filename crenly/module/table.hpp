// The one table that declares every callable of the module: names,
// parameters, type checks, annotations, docstrings, local names, lines and
// the adapters to the behaviour functions. A callable is one row: the
// binder, the function type and the module body read everything from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "crenly/core/names.hpp"
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

struct Callable {
    const char* qualname = nullptr;
    const char* name = last_part(qualname);  // derived: never given in a row
    int nparams = 0;
    core::Id params[max_params] = {};
    ArgCheck check = ArgCheck::none;  // of the second parameter; gives its annotation
    const char* returns = nullptr;    // return annotation, or null
    const char* doc = nullptr;
    const char* locals[max_locals] = {};  // the parameters first, then the other locals
    int line = 0;                         // where the definition starts (module/lines.hpp)
    const char* inner = nullptr;          // code nested in it with an entry of its own
    int inner_line = 0;
    Body body = nullptr;
    std::uint64_t (*shortcut_calls)() noexcept = nullptr;  // calls that took a native shortcut
};

/// Every callable, in the order of the virtual file.
std::span<const Callable> table() noexcept;

/// The row at `index`.
inline const Callable& callable(std::size_t index) noexcept { return table()[index]; }

/// Whether the callable is a method of FileCreator (else a module function).
inline bool is_method(const Callable& c) noexcept { return c.name != c.qualname; }

/// The index of the row named `qualname` (a name the module's own code
/// gives: a wrong one is a fault of the module).
std::size_t index_of(std::string_view qualname) noexcept;

/// The code object of the callable at `index` (borrowed), built by
/// create_code_objects.
PyObject* code_object(std::size_t index) noexcept;

/// The frame that heads the traceback entry "crenly.crenly.<qualname>" of
/// the callable at `index`, and that of the code nested in it (or null).
PyObject* entry_frame(std::size_t index) noexcept;
PyObject* inner_frame(std::size_t index) noexcept;

/// Builds the code objects of every callable and of the code nested in
/// them, and the frames of their traceback entries.
void create_code_objects();

}  // namespace crenly::module
