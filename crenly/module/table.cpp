#include "crenly/module/table.hpp"

#include <algorithm>

#include "crenly/cli/main.hpp"
#include "crenly/creation/batch.hpp"
#include "crenly/creation/brace.hpp"
#include "crenly/creation/file_creator.hpp"
#include "crenly/notify/growl.hpp"
#include "crenly/version/version.hpp"

namespace crenly::module {

namespace {

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

// One row for each callable, in the order of the module body; `body` is the
// adapter from the bound arguments to the behaviour function.
// clang-format off
constexpr Callable rows[] = {
    {.qualname = "get_version", .doc = get_version_doc,
     .locals = {"version_file", "f", "line", "parts", "e"},
     .body = [](Args) { return version::get_version(); }},
    {.qualname = "FileCreator.__init__", .doc = "FileCreator.__init__(self)",
     .locals = {"self"},
     .body = [](Args a) { return creation::init(a[0]); }},
    {.qualname = "FileCreator._init_growl",
     .doc = "FileCreator._init_growl(self)\n\nInitialize Growl notifier", .locals = {"self", "e"},
     .body = [](Args a) { return notify::init_growl(a[0]); }},
    {.qualname = "FileCreator.parse_brace_expansion", .doc = parse_brace_expansion_doc,
     .locals = {"self", "text", "pattern", "match", "prefix", "items_str", "suffix", "parts",
                "items", "part", "sub_items", "expanded", "item", "filepath"},
     .body = [](Args a) { return creation::parse_brace_expansion(a[0], a[1]); },
     .shortcut_calls = creation::parse_brace_expansion_shortcut_calls},
    {.qualname = "FileCreator.create_file", .doc = create_file_doc,
     .locals = {"self", "filepath", "file_path", "e"},
     .body = [](Args a) { return creation::create_file(a[0], a[1]); },
     .shortcut_calls = creation::create_file_shortcut_calls},
    {.qualname = "FileCreator._notify",
     .doc = "FileCreator._notify(self, str filepath: str)\n\nSend desktop notification",
     .locals = {"self", "filepath", "e"},
     .body = [](Args a) { return notify::notify(a[0], a[1]); }},
    {.qualname = "FileCreator.create_files", .doc = create_files_doc,
     .locals = {"self", "files", "success_count", "all_files", "file_arg", "expanded", "filepath"},
     .body = [](Args a) { return creation::create_files(a[0], a[1]); }},
    {.qualname = "main", .doc = "main()\n\nMain entry point",
     .locals = {"parser", "args", "joined_args", "file_list", "current", "in_braces", "char",
                "creator", "success_count", "total_expected"},
     .inner = {"<genexpr>", {".0", "f"}},
     .body = [](Args) { return cli::main(); }},
};
// clang-format on

/// Whether the methods of `rows` stand together: the module body defines
/// them as one class between the module functions.
constexpr bool methods_together(std::span<const Callable> rows) noexcept {
    int runs = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (is_method(rows[i]) && (i == 0 || !is_method(rows[i - 1]))) ++runs;
    }
    return runs <= 1;
}
static_assert(methods_together(rows), "the methods of FileCreator are rows next to each other");
static_assert(std::ranges::all_of(rows, well_formed),
              "each docstring begins with the row's signature, its parameters the first locals");

}  // namespace

std::span<const Callable> table() noexcept { return rows; }

}  // namespace crenly::module
