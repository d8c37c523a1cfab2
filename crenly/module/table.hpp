// The one table that declares every callable of the module: names,
// parameters, type checks, annotations, docstrings and the adapters to the
// behaviour functions. The binder, the function type and the module body all
// read it.
#pragma once

#include <cstdint>

#include "crenly/module/state.hpp"

namespace crenly::module {

/// The bound arguments of a call: borrowed, in parameter order.
using Args = PyObject* const*;

class Proof;

/// The adapter from the bound arguments to a behaviour function.
/// `traceback_code` is the code object of the callable's own traceback
/// entry, for a behaviour that adds it to an exception it catches.
using Body = Ref (*)(Args args, PyObject* traceback_code);

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

enum class CallableId : std::uint8_t {
    get_version,
    init,
    init_growl,
    parse_brace_expansion,
    create_file,
    notify,
    create_files,
    main,
    count_
};

inline constexpr int max_params = 2;

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
    Id params[max_params] = {};
    ArgCheck check = ArgCheck::none;  // of the second parameter; gives its annotation
    const char* returns = nullptr;    // return annotation, or null
    const char* doc = nullptr;
    const char* const* locals = nullptr;  // parameters first, then other locals; null-terminated
    int line = 0;                         // first line of the definition in "crenly/crenly"
    Body body = nullptr;
    Proof* (*shortcut)() noexcept = nullptr;  // the proof of a shortcut the body takes, if any
};

/// The table entry of `id`.
const Callable& callable(CallableId id) noexcept;

/// The code object of `id` (borrowed), built by create_code_objects.
PyObject* code_object(CallableId id) noexcept;

/// The code object of the traceback entry "crenly.crenly.<qualname>" of
/// `id` (borrowed).
PyObject* traceback_code(CallableId id) noexcept;

/// The frame of the traceback entry "crenly.crenly.<qualname>" of `id`
/// (borrowed; made once, see add_traceback_frame).
PyObject* traceback_frame(CallableId id) noexcept;

/// Builds the code objects of every callable and of the generator
/// expression inside main, and the code objects and frames of their
/// traceback entries.
void create_code_objects();

}  // namespace crenly::module
