#include "crenly/module/table.hpp"

#include <cassert>
#include <string>
#include <vector>

#include "crenly/cli/main.hpp"
#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"
#include "crenly/creation/batch.hpp"
#include "crenly/creation/brace.hpp"
#include "crenly/creation/file_creator.hpp"
#include "crenly/module/lines.hpp"
#include "crenly/notify/growl.hpp"
#include "crenly/version/version.hpp"

namespace crenly::module {

using namespace crenly::core;

namespace {

// The code objects and traceback entries name "crenly/crenly", the virtual
// source file of module/lines.hpp.
constexpr const char* virtual_file = "crenly/crenly";

// The docstrings: each begins with the signature as the module shows it.
constexpr const char* get_version_doc =
    "get_version()\n"
    "\n"
    "Return the version string of crenly.\n"
    "Version is taken from the __version__.py file if it exists.\n"
    "The content of __version__.py should be:\n"
    "version = \"0.33\"";
constexpr const char* parse_brace_expansion_doc =
    "FileCreator.parse_brace_expansion(self, str text: str) -> List[str]\n"
    "\n"
    "Parse brace expansion patterns like: \n"
    "- dir/{file1,file2,file3}.txt\n"
    "- dir{file1,file2,file3} (assumes dir/ prefix)\n"
    "Also handles spaces after commas and validates the pattern\n"
    "Returns: List of expanded filenames";
constexpr const char* create_file_doc =
    "FileCreator.create_file(self, str filepath: str) -> bool\n"
    "\n"
    "Create a blank file, creating parent directories if needed\n"
    "\n"
    "Args:\n"
    "    filepath: Path to file to create\n"
    "    \n"
    "Returns:\n"
    "    True if successful, False otherwise";
constexpr const char* create_files_doc =
    "FileCreator.create_files(self, list files: List[str]) -> int\n"
    "\n"
    "Create multiple files\n"
    "\n"
    "Returns:\n"
    "    Number of successfully created files";

// One row for each callable, in the order of the virtual file; `body` is the
// adapter from the bound arguments to the behaviour function.
// clang-format off
constexpr Callable rows[] = {
    {.qualname = "get_version", .doc = get_version_doc,
     .locals = {"version_file", "f", "line", "parts", "e"}, .line = lines::def_get_version,
     .body = [](Args) { return version::get_version(); }},
    {.qualname = "FileCreator.__init__", .nparams = 1, .params = {Id::self},
     .doc = "FileCreator.__init__(self)", .locals = {"self"}, .line = lines::def_init,
     .body = [](Args a) { return creation::init(a[0]); }},
    {.qualname = "FileCreator._init_growl", .nparams = 1, .params = {Id::self},
     .doc = "FileCreator._init_growl(self)\n\nInitialize Growl notifier",
     .locals = {"self", "e"}, .line = lines::def_init_growl,
     .body = [](Args a) { return notify::init_growl(a[0]); }},
    {.qualname = "FileCreator.parse_brace_expansion", .nparams = 2, .params = {Id::self, Id::text},
     .check = ArgCheck::str, .returns = "List[str]", .doc = parse_brace_expansion_doc,
     .locals = {"self", "text", "pattern", "match", "prefix", "items_str", "suffix", "parts",
                "items", "part", "sub_items", "expanded", "item", "filepath"},
     .line = lines::def_parse_brace_expansion,
     .body = [](Args a) { return creation::parse_brace_expansion(a[0], a[1]); },
     .shortcut_calls = creation::parse_brace_expansion_shortcut_calls},
    {.qualname = "FileCreator.create_file", .nparams = 2, .params = {Id::self, Id::filepath},
     .check = ArgCheck::str, .returns = "bool", .doc = create_file_doc,
     .locals = {"self", "filepath", "file_path", "e"}, .line = lines::def_create_file,
     .body = [](Args a) { return creation::create_file(a[0], a[1]); },
     .shortcut_calls = creation::create_file_shortcut_calls},
    {.qualname = "FileCreator._notify", .nparams = 2, .params = {Id::self, Id::filepath},
     .check = ArgCheck::str,
     .doc = "FileCreator._notify(self, str filepath: str)\n\nSend desktop notification",
     .locals = {"self", "filepath", "e"}, .line = lines::def_notify,
     .body = [](Args a) { return notify::notify(a[0], a[1]); }},
    {.qualname = "FileCreator.create_files", .nparams = 2, .params = {Id::self, Id::files},
     .check = ArgCheck::list, .returns = "int", .doc = create_files_doc,
     .locals = {"self", "files", "success_count", "all_files", "file_arg", "expanded", "filepath"},
     .line = lines::def_create_files,
     .body = [](Args a) { return creation::create_files(a[0], a[1]); }},
    {.qualname = "main", .doc = "main()\n\nMain entry point",
     .locals = {"parser", "args", "joined_args", "file_list", "current", "in_braces", "char",
                "creator", "success_count", "total_expected"},
     .line = lines::def_main, .inner = "<genexpr>", .inner_line = lines::genexpr,
     .body = [](Args) { return cli::main(); }},
};
// clang-format on

constexpr int co_optimized_newlocals = 0x0001 | 0x0002;
constexpr int co_generator = 0x0020;

/// What the module keeps for each callable: its code object and the frames
/// of its traceback entries; made by the exec step, released with the state.
class Made final : public Slot {
public:
    struct Objects {
        Ref code;
        Ref frame;
        Ref inner_frame;
    };
    std::vector<Objects> objects;

private:
    void release() override { std::vector<Objects> held = std::move(objects); }
};

Made made;

/// A code object without instructions for the traceback entry `name`.
Ref make_entry_code(const std::string& name, int line) {
    return own(reinterpret_cast<PyObject*>(PyCode_NewEmpty(virtual_file, name.c_str(), line)));
}

/// A code object named `name` in the virtual file with the given argument
/// count, local names and flags; `consts` replaces co_consts when given.
Ref make_code(const char* name, const std::string& qualname, int line, int argcount,
              const char* const* locals, std::size_t nlocals, int flags, PyObject* consts) {
    Ref code = make_entry_code(name, line);
    Ref varnames = own(PyTuple_New(static_cast<Py_ssize_t>(nlocals)));
    for (std::size_t i = 0; i < nlocals; ++i) {
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i),
                         require(PyUnicode_InternFromString(locals[i])));
    }
    Ref kwargs = own(PyDict_New());
    Ref q = own(PyUnicode_FromString(qualname.c_str()));
    Ref argc = own(PyLong_FromLong(argcount));
    Ref nloc = own(PyLong_FromSize_t(nlocals));
    Ref fl = own(PyLong_FromLong(flags));
    require_status(PyDict_SetItemString(kwargs.get(), "co_qualname", q.get()));
    require_status(PyDict_SetItemString(kwargs.get(), "co_argcount", argc.get()));
    require_status(PyDict_SetItemString(kwargs.get(), "co_nlocals", nloc.get()));
    require_status(PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()));
    require_status(PyDict_SetItemString(kwargs.get(), "co_flags", fl.get()));
    if (consts != nullptr) require_status(PyDict_SetItemString(kwargs.get(), "co_consts", consts));
    Ref replace = getattr(code, Id::replace);
    return own(PyObject_Call(replace.get(), state.empty_tuple.get(), kwargs.get()));
}

/// The number of local names of `c`.
constexpr std::size_t count_locals(const Callable& c) noexcept {
    std::size_t n = 0;
    while (n < max_locals && c.locals[n] != nullptr) ++n;
    return n;
}

// The locals of the code nested in a callable (main's generator expression).
constexpr const char* inner_locals[] = {".0", "f"};

}  // namespace

std::span<const Callable> table() noexcept { return rows; }

std::size_t index_of(std::string_view qualname) noexcept {
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        if (qualname == rows[i].qualname) return i;
    }
    assert(false && "the module names its own callables");
    return std::size(rows);
}

PyObject* code_object(std::size_t index) noexcept { return made.objects[index].code.get(); }

PyObject* entry_frame(std::size_t index) noexcept { return made.objects[index].frame.get(); }

PyObject* inner_frame(std::size_t index) noexcept { return made.objects[index].inner_frame.get(); }

void create_code_objects() {
    const std::string module_prefix = "crenly.crenly.";
    std::vector<Made::Objects> objects(std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Callable& c = rows[i];
        Made::Objects& o = objects[i];
        Ref consts;
        if (c.inner != nullptr) {
            // The nested code is a constant of the code that holds it.
            const std::string qualname = std::string(c.qualname) + ".<locals>." + c.inner;
            Ref inner =
                make_code(c.inner, qualname, c.inner_line, 1, inner_locals, std::size(inner_locals),
                          co_optimized_newlocals | co_generator, nullptr);
            consts = own(PyTuple_Pack(2, Py_None, inner.get()));
            o.inner_frame =
                make_entry_frame(make_entry_code(module_prefix + qualname, c.inner_line).get());
        }
        o.code = make_code(c.name, c.qualname, c.line, c.nparams, c.locals, count_locals(c),
                           co_optimized_newlocals, consts ? consts.get() : nullptr);
        o.frame = make_entry_frame(make_entry_code(module_prefix + c.qualname, c.line).get());
    }
    made.objects = std::move(objects);
}

}  // namespace crenly::module
