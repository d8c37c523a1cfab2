#include "crenly/module/callables.hpp"

#include <array>
#include <cstddef>

#include "crenly/cli/main.hpp"
#include "crenly/creation/batch.hpp"
#include "crenly/creation/brace.hpp"
#include "crenly/creation/file_creator.hpp"
#include "crenly/module/calls.hpp"
#include "crenly/module/version.hpp"
#include "crenly/notify/growl.hpp"

namespace crenly::module {

namespace {

constexpr const char* get_version_locals[] = {"version_file", "f", "line", "parts", "e", nullptr};
constexpr const char* init_locals[] = {"self", nullptr};
constexpr const char* init_growl_locals[] = {"self", "e", nullptr};
constexpr const char* parse_locals[] = {"self",  "text",  "pattern",   "match",    "prefix",
                                        "items_str", "suffix", "parts", "items", "part",
                                        "sub_items", "expanded", "item", "filepath", nullptr};
constexpr const char* create_file_locals[] = {"self", "filepath", "file_path", "e", nullptr};
constexpr const char* notify_locals[] = {"self", "filepath", "e", nullptr};
constexpr const char* create_files_locals[] = {"self",     "files",    "success_count", "all_files",
                                               "file_arg", "expanded", "filepath",      nullptr};
constexpr const char* main_locals[] = {"parser",  "args",          "joined_args",    "file_list",
                                       "current", "in_braces",     "char",           "creator",
                                       "success_count", "total_expected", nullptr};
constexpr const char* genexpr_locals[] = {".0", "f", nullptr};

constexpr Callable table[] = {
    {Id::get_version, "get_version", "get_version", "crenly.crenly.get_version", 0, {}, ArgCheck::none,
     nullptr, nullptr, nullptr,
     "get_version()\n"
     "\n"
     "Return the version string of crenly.\n"
     "Version is taken from the __version__.py file if it exists.\n"
     "The content of __version__.py should be:\n"
     "version = \"0.33\"",
     get_version_locals, 50, &get_version_body},
    {Id::dunder_init, "__init__", "FileCreator.__init__", "crenly.crenly.FileCreator.__init__", 1,
     {Id::self}, ArgCheck::none, nullptr, nullptr, nullptr, "FileCreator.__init__(self)", init_locals,
     90, &creation::init_body},
    {Id::init_growl, "_init_growl", "FileCreator._init_growl", "crenly.crenly.FileCreator._init_growl",
     1, {Id::self}, ArgCheck::none, nullptr, nullptr, nullptr,
     "FileCreator._init_growl(self)\n"
     "\n"
     "Initialize Growl notifier",
     init_growl_locals, 110, &notify::init_growl_body},
    {Id::parse_brace_expansion, "parse_brace_expansion", "FileCreator.parse_brace_expansion",
     "crenly.crenly.FileCreator.parse_brace_expansion", 2, {Id::self, Id::text}, ArgCheck::str, "str",
     "str", "List[str]",
     "FileCreator.parse_brace_expansion(self, str text: str) -> List[str]\n"
     "\n"
     "Parse brace expansion patterns like: \n"
     "- dir/{file1,file2,file3}.txt\n"
     "- dir{file1,file2,file3} (assumes dir/ prefix)\n"
     "Also handles spaces after commas and validates the pattern\n"
     "Returns: List of expanded filenames",
     parse_locals, 130, &creation::parse_brace_expansion_body},
    {Id::create_file, "create_file", "FileCreator.create_file", "crenly.crenly.FileCreator.create_file",
     2, {Id::self, Id::filepath}, ArgCheck::str, "str", "str", "bool",
     "FileCreator.create_file(self, str filepath: str) -> bool\n"
     "\n"
     "Create a blank file, creating parent directories if needed\n"
     "\n"
     "Args:\n"
     "    filepath: Path to file to create\n"
     "    \n"
     "Returns:\n"
     "    True if successful, False otherwise",
     create_file_locals, 170, &creation::create_file_body},
    {Id::notify_method, "_notify", "FileCreator._notify", "crenly.crenly.FileCreator._notify", 2,
     {Id::self, Id::filepath}, ArgCheck::str, "str", "str", nullptr,
     "FileCreator._notify(self, str filepath: str)\n"
     "\n"
     "Send desktop notification",
     notify_locals, 220, &notify::notify_body},
    {Id::create_files, "create_files", "FileCreator.create_files", "crenly.crenly.FileCreator.create_files",
     2, {Id::self, Id::files}, ArgCheck::list, "list", "List[str]", "int",
     "FileCreator.create_files(self, list files: List[str]) -> int\n"
     "\n"
     "Create multiple files\n"
     "\n"
     "Returns:\n"
     "    Number of successfully created files",
     create_files_locals, 250, &creation::create_files_body},
    {Id::main, "main", "main", "crenly.crenly.main", 0, {}, ArgCheck::none, nullptr, nullptr, nullptr,
     "main()\n"
     "\n"
     "Main entry point",
     main_locals, 280, &cli::main_body},
};
static_assert(std::size(table) == static_cast<std::size_t>(CallableId::count_));

constexpr int genexpr_line = 320;
constexpr int co_optimized_newlocals = 0x0001 | 0x0002;
constexpr int co_generator = 0x0020;

// Never destroyed: Python objects must not be released after the interpreter
// has finalised, so the arrays live until the process ends
// (release_code_objects empties them before).
auto& codes = *new std::array<Ref, static_cast<std::size_t>(CallableId::count_)>();
auto& traceback_codes = *new std::array<Ref, static_cast<std::size_t>(CallableId::count_)>();
auto& traceback_frames = *new std::array<Ref, static_cast<std::size_t>(CallableId::count_)>();
Ref& genexpr_frame = *new Ref();

/// A code object named `name` in "crenly/crenly" with the given argument
/// count, local names and flags; `consts` replaces co_consts when given.
Ref make_code(const char* name, const char* qualname, int line, int argcount,
              const char* const* locals, int flags, PyObject* consts) {
    Ref code = own(reinterpret_cast<PyObject*>(PyCode_NewEmpty("crenly/crenly", name, line)));
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
    Ref replace = getattr(code.get(), Id::replace);
    return own(PyObject_Call(replace.get(), state.empty_tuple.get(), kwargs.get()));
}

}  // namespace

const Callable& callable(CallableId id) noexcept { return table[static_cast<std::size_t>(id)]; }

PyObject* code_object(CallableId id) noexcept { return codes[static_cast<std::size_t>(id)].get(); }

PyObject* traceback_code(CallableId id) noexcept { return traceback_codes[static_cast<std::size_t>(id)].get(); }

PyObject* traceback_frame(CallableId id) noexcept { return traceback_frames[static_cast<std::size_t>(id)].get(); }

PyObject* genexpr_traceback_frame() noexcept { return genexpr_frame.get(); }

void create_code_objects() {
    Ref genexpr = make_code("<genexpr>", "main.<locals>.<genexpr>", genexpr_line, 1, genexpr_locals,
                            co_optimized_newlocals | co_generator, nullptr);
    Ref main_consts = own(PyTuple_Pack(2, Py_None, genexpr.get()));
    for (std::size_t i = 0; i < std::size(table); ++i) {
        const Callable& c = table[i];
        const bool is_main = static_cast<CallableId>(i) == CallableId::main;
        codes[i] = make_code(c.short_name, c.qualname, c.line, c.nparams, c.locals,
                             co_optimized_newlocals, is_main ? main_consts.get() : nullptr);
        traceback_codes[i] =
            own(reinterpret_cast<PyObject*>(PyCode_NewEmpty("crenly/crenly", c.traceback_name, c.line)));
        traceback_frames[i] = make_traceback_frame(traceback_codes[i].get());
    }
    Ref genexpr_code = own(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("crenly/crenly", "crenly.crenly.main.<locals>.<genexpr>", genexpr_line)));
    genexpr_frame = make_traceback_frame(genexpr_code.get());
}

void release_code_objects() noexcept {
    for (Ref& code : codes) code.reset();
    for (Ref& code : traceback_codes) code.reset();
    for (Ref& frame : traceback_frames) frame.reset();
    genexpr_frame.reset();
}

}  // namespace crenly::module
