#include "crenly/module/table.hpp"

#include <cstddef>
#include <string>

#include "crenly/cli/main.hpp"
#include "crenly/creation/batch.hpp"
#include "crenly/creation/brace.hpp"
#include "crenly/creation/file_creator.hpp"
#include "crenly/creation/road/road.hpp"
#include "crenly/module/protocol.hpp"
#include "crenly/module/version.hpp"
#include "crenly/notify/growl.hpp"

namespace crenly::module {

namespace {

// The code objects and traceback entries name "crenly/crenly", a virtual
// source file: the module written out as the Python program it behaves like.
// Each `line` is where a definition starts in that file, and the module body
// (module/body.cpp) numbers its statements the same way.
constexpr const char* virtual_file = "crenly/crenly";

constexpr const char* get_version_locals[] = {"version_file", "f", "line", "parts", "e", nullptr};
constexpr const char* init_locals[] = {"self", nullptr};
constexpr const char* init_growl_locals[] = {"self", "e", nullptr};
constexpr const char* parse_locals[] = {"self",      "text",     "pattern", "match",    "prefix",
                                        "items_str", "suffix",   "parts",   "items",    "part",
                                        "sub_items", "expanded", "item",    "filepath", nullptr};
constexpr const char* create_file_locals[] = {"self", "filepath", "file_path", "e", nullptr};
constexpr const char* notify_locals[] = {"self", "filepath", "e", nullptr};
constexpr const char* create_files_locals[] = {"self",     "files",    "success_count", "all_files",
                                               "file_arg", "expanded", "filepath",      nullptr};
constexpr const char* main_locals[] = {
    "parser", "args",    "joined_args",   "file_list",      "current", "in_braces",
    "char",   "creator", "success_count", "total_expected", nullptr};
constexpr const char* genexpr_locals[] = {".0", "f", nullptr};

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

// One row for each callable; `body` is the adapter from the bound arguments
// to the behaviour function.
// clang-format off
constexpr Callable table[] = {
    {.qualname = "get_version", .doc = get_version_doc,
     .locals = get_version_locals, .line = 50,
     .body = [](Args, PyObject* tb) { return get_version(tb); }},
    {.qualname = "FileCreator.__init__", .nparams = 1, .params = {Id::self},
     .doc = "FileCreator.__init__(self)", .locals = init_locals, .line = 90,
     .body = [](Args a, PyObject*) { return creation::init(a[0]); }},
    {.qualname = "FileCreator._init_growl", .nparams = 1, .params = {Id::self},
     .doc = "FileCreator._init_growl(self)\n\nInitialize Growl notifier",
     .locals = init_growl_locals, .line = 110,
     .body = [](Args a, PyObject* tb) { return notify::init_growl(a[0], tb); }},
    {.qualname = "FileCreator.parse_brace_expansion", .nparams = 2, .params = {Id::self, Id::text},
     .check = ArgCheck::str, .returns = "List[str]", .doc = parse_brace_expansion_doc,
     .locals = parse_locals, .line = 130,
     .body = [](Args a, PyObject*) { return creation::parse_brace_expansion(a[0], a[1]); },
     .shortcut = creation::brace_proof},
    {.qualname = "FileCreator.create_file", .nparams = 2, .params = {Id::self, Id::filepath},
     .check = ArgCheck::str, .returns = "bool", .doc = create_file_doc,
     .locals = create_file_locals, .line = 170,
     .body = [](Args a, PyObject* tb) { return creation::create_file(a[0], a[1], tb); },
     .shortcut = creation::road::proof},
    {.qualname = "FileCreator._notify", .nparams = 2, .params = {Id::self, Id::filepath},
     .check = ArgCheck::str,
     .doc = "FileCreator._notify(self, str filepath: str)\n\nSend desktop notification",
     .locals = notify_locals, .line = 220,
     .body = [](Args a, PyObject* tb) { return notify::notify(a[0], a[1], tb); }},
    {.qualname = "FileCreator.create_files", .nparams = 2, .params = {Id::self, Id::files},
     .check = ArgCheck::list, .returns = "int", .doc = create_files_doc,
     .locals = create_files_locals, .line = 250,
     .body = [](Args a, PyObject*) { return creation::create_files(a[0], a[1]); }},
    {.qualname = "main", .doc = "main()\n\nMain entry point", .locals = main_locals, .line = 280,
     .body = [](Args, PyObject*) { return cli::main(state.genexpr_frame.get()); }},
};
// clang-format on
static_assert(std::size(table) == static_cast<std::size_t>(CallableId::count_));
static_assert(std::size(table) == callable_count);

constexpr int genexpr_line = 320;
constexpr int co_optimized_newlocals = 0x0001 | 0x0002;
constexpr int co_generator = 0x0020;

/// The objects that the state keeps for `id`.
const CallableObjects& objects(CallableId id) noexcept {
    return state.callables[static_cast<std::size_t>(id)];
}

/// A code object without instructions for the traceback entry `name`.
Ref make_entry_code(const std::string& name, int line) {
    return own(reinterpret_cast<PyObject*>(PyCode_NewEmpty(virtual_file, name.c_str(), line)));
}

/// A code object named `name` in the virtual file with the given argument
/// count, local names and flags; `consts` replaces co_consts when given.
Ref make_code(const char* name, const char* qualname, int line, int argcount,
              const char* const* locals, int flags, PyObject* consts) {
    Ref code = make_entry_code(name, line);
    Py_ssize_t nlocals = 0;
    while (locals[nlocals] != nullptr) ++nlocals;
    Ref varnames = own(PyTuple_New(nlocals));
    for (Py_ssize_t i = 0; i < nlocals; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, require(PyUnicode_InternFromString(locals[i])));
    }
    Ref kwargs = own(PyDict_New());
    Ref q = own(PyUnicode_FromString(qualname));
    Ref argc = own(PyLong_FromLong(argcount));
    Ref nloc = own(PyLong_FromSsize_t(nlocals));
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

}  // namespace

const Callable& callable(CallableId id) noexcept { return table[static_cast<std::size_t>(id)]; }

PyObject* code_object(CallableId id) noexcept { return objects(id).code.get(); }

PyObject* traceback_code(CallableId id) noexcept { return objects(id).traceback_code.get(); }

PyObject* traceback_frame(CallableId id) noexcept { return objects(id).traceback_frame.get(); }

void create_code_objects() {
    const std::string module_prefix = "crenly.crenly.";
    Ref genexpr = make_code("<genexpr>", "main.<locals>.<genexpr>", genexpr_line, 1, genexpr_locals,
                            co_optimized_newlocals | co_generator, nullptr);
    Ref main_consts = own(PyTuple_Pack(2, Py_None, genexpr.get()));
    for (std::size_t i = 0; i < std::size(table); ++i) {
        const Callable& c = table[i];
        const bool is_main = static_cast<CallableId>(i) == CallableId::main;
        CallableObjects& made = state.callables[i];
        made.code = make_code(c.name, c.qualname, c.line, c.nparams, c.locals,
                              co_optimized_newlocals, is_main ? main_consts.get() : nullptr);
        made.traceback_code = make_entry_code(module_prefix + c.qualname, c.line);
        made.traceback_frame = make_traceback_frame(made.traceback_code.get());
    }
    Ref genexpr_code = make_entry_code(module_prefix + "main.<locals>.<genexpr>", genexpr_line);
    state.genexpr_frame = make_traceback_frame(genexpr_code.get());
}

}  // namespace crenly::module
