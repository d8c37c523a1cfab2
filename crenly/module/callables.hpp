// The one table that declares every callable of the module: names,
// parameters, type checks, annotations, docstrings and bodies. The binder,
// the function type and the module body all read it.
#pragma once

#include <cstdint>

#include "crenly/module/state.hpp"

namespace crenly::module {

/// A function body: receives the bound arguments (borrowed, in parameter
/// order) and returns a new reference, or throws.
using Body = Ref (*)(PyObject* const* args);

/// The exact type a parameter must have.
enum class ArgCheck : std::uint8_t { none, str, list };

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

struct Callable {
    Id name;                      // short name (interned)
    const char* short_name;       // for messages
    const char* qualname;
    const char* traceback_name;   // "crenly.crenly." + qualname
    int nparams;                  // 0, 1 or 2
    Id params[max_params];
    ArgCheck check;               // applies to the second parameter
    const char* check_name;       // "str" or "list"
    const char* annotation;       // of the second parameter, or null
    const char* returns;          // return annotation, or null
    const char* doc;
    const char* const* locals;    // parameters first, then other locals; null-terminated
    int line;                     // first line of the function in "crenly/crenly"
    Body body;
};

/// The table entry of `id`.
const Callable& callable(CallableId id) noexcept;

/// The code object of `id` (borrowed), built by create_code_objects.
PyObject* code_object(CallableId id) noexcept;

/// The code object behind the traceback entry "crenly.crenly.<qualname>"
/// of `id` (borrowed), built by create_code_objects.
PyObject* traceback_code(CallableId id) noexcept;

/// The frame behind the traceback entry "crenly.crenly.<qualname>" of `id`
/// (borrowed; made once from traceback_code, see add_traceback_frame).
PyObject* traceback_frame(CallableId id) noexcept;

/// The frame behind the traceback entry of the generator expression inside
/// main, "crenly.crenly.main.<locals>.<genexpr>" (borrowed).
PyObject* genexpr_traceback_frame() noexcept;

/// Builds the code objects of every callable and of the generator
/// expression inside main (exec step 11), and their traceback frames.
void create_code_objects();

/// Drops the code objects (when the interpreter finalises).
void release_code_objects() noexcept;

}  // namespace crenly::module
