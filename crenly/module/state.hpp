// Process-wide state shared by every part of the module: the constant pool
// (interned identifiers and literal texts, all pre-hashed), the fixed
// constants, the cached builtins and the module object itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crenly/module/ref.hpp"

namespace crenly::module {

// Identifiers: names of modules, attributes, globals, parameters and
// keywords. Created interned. X(enumerator, text)
#define CRENLY_IDENTIFIERS(X)                                        \
    X(sys, "sys")                                                    \
    X(os, "os")                                                      \
    X(re, "re")                                                      \
    X(traceback, "traceback")                                        \
    X(pathlib, "pathlib")                                            \
    X(Path, "Path")                                                  \
    X(typing, "typing")                                              \
    X(List, "List")                                                  \
    X(Tuple, "Tuple")                                                \
    X(Optional, "Optional")                                          \
    X(argparse, "argparse")                                          \
    X(trelvin, "trelvin")                                            \
    X(CustomRichHelpFormatter, "CustomRichHelpFormatter")            \
    X(RawTextHelpFormatter, "RawTextHelpFormatter")                  \
    X(clipboard, "clipboard")                                        \
    X(HAS_CLIPBOARD, "HAS_CLIPBOARD")                                \
    X(gntp, "gntp")                                                  \
    X(gntp_notifier, "gntp.notifier")                                \
    X(notifier, "notifier")                                          \
    X(HAS_GROWL, "HAS_GROWL")                                        \
    X(NAME, "NAME")                                                  \
    X(get_version, "get_version")                                    \
    X(dunder_version, "__version__")                                 \
    X(dunder_file, "__file__")                                       \
    X(dunder_filename, "__filename__")                               \
    X(dunder_name, "__name__")                                       \
    X(dunder_main, "__main__")                                       \
    X(dunder_test, "__test__")                                       \
    X(dunder_builtins, "__builtins__")                               \
    X(dunder_loader, "__loader__")                                   \
    X(dunder_package, "__package__")                                 \
    X(dunder_path, "__path__")                                       \
    X(dunder_module, "__module__")                                   \
    X(dunder_qualname, "__qualname__")                               \
    X(dunder_doc, "__doc__")                                         \
    X(dunder_init, "__init__")                                       \
    X(dunder_enter, "__enter__")                                     \
    X(dunder_exit, "__exit__")                                       \
    X(builtins, "builtins")                                          \
    X(name, "name")                                                  \
    X(loader, "loader")                                              \
    X(origin, "origin")                                              \
    X(parent_attr, "parent")                                         \
    X(submodule_search_locations, "submodule_search_locations")      \
    X(FileCreator, "FileCreator")                                    \
    X(main, "main")                                                  \
    X(exit, "exit")                                                  \
    X(init_growl, "_init_growl")                                     \
    X(parse_brace_expansion, "parse_brace_expansion")                \
    X(create_file, "create_file")                                    \
    X(notify_method, "_notify")                                      \
    X(create_files, "create_files")                                  \
    X(self, "self")                                                  \
    X(text, "text")                                                  \
    X(filepath, "filepath")                                          \
    X(files, "files")                                                \
    X(is_file, "is_file")                                            \
    X(is_dir, "is_dir")                                              \
    X(mkdir, "mkdir")                                                \
    X(touch, "touch")                                                \
    X(parents, "parents")                                            \
    X(exist_ok, "exist_ok")                                          \
    X(absolute, "absolute")                                          \
    X(copy, "copy")                                                  \
    X(argv, "argv")                                                  \
    X(format_exc, "format_exc")                                      \
    X(getenv, "getenv")                                              \
    X(TRACEBACK, "TRACEBACK")                                        \
    X(strip, "strip")                                                \
    X(startswith, "startswith")                                      \
    X(split, "split")                                                \
    X(search, "search")                                              \
    X(group, "group")                                                \
    X(span, "span")                                                  \
    X(end, "end")                                                    \
    X(compile_, "_compile")                                          \
    X(cache2, "_cache2")                                             \
    X(pattern, "pattern")                                            \
    X(flags, "flags")                                                \
    X(version, "version")                                            \
    X(ArgumentParser, "ArgumentParser")                              \
    X(description, "description")                                   \
    X(formatter_class, "formatter_class")                            \
    X(epilog, "epilog")                                              \
    X(add_argument, "add_argument")                                  \
    X(metavar, "metavar")                                            \
    X(nargs, "nargs")                                                \
    X(help, "help")                                                  \
    X(action, "action")                                              \
    X(print_help, "print_help")                                      \
    X(parse_args, "parse_args")                                      \
    X(GrowlNotifier, "GrowlNotifier")                                \
    X(applicationName, "applicationName")                            \
    X(notifications, "notifications")                                \
    X(defaultNotifications, "defaultNotifications")                  \
    X(applicationIcon, "applicationIcon")                            \
    X(register_, "register")                                         \
    X(notify, "notify")                                              \
    X(noteType, "noteType")                                          \
    X(title, "title")                                                \
    X(icon, "icon")                                                  \
    X(sticky, "sticky")                                              \
    X(priority, "priority")                                          \
    X(growl, "growl")                                                \
    X(icon_path, "icon_path")                                        \
    X(exists, "exists")                                              \
    X(as_uri, "as_uri")                                              \
    X(add_note, "add_note")                                          \
    X(encoding, "encoding")                                          \
    X(stdout_, "stdout")                                             \
    X(replace, "replace")                                            \
    X(ImportError, "ImportError")                                    \
    X(print, "print")                                                \
    X(open, "open")                                                  \
    X(sum, "sum")                                                    \
    X(crenly, "crenly")                                              \
    X(crenly_crenly, "crenly.crenly")                                \
    X(store_true, "store_true")                                      \
    X(create, "create")

// Literal texts: messages, help texts, patterns. Not interned. X(enumerator, text)
#define CRENLY_TEXTS(X)                                                                              \
    X(warn_clipboard_missing,                                                                        \
      "Warning: clipboard module not available. Install with: pip install clipboard")                \
    X(warn_gntp_missing, "Warning: gntp module not available. Install with: pip install gntp")       \
    X(warn_clipboard_copy, "Warning: Could not copy to clipboard: ")                                 \
    X(warn_growl_init, "Warning: Could not initialize Growl: ")                                      \
    X(notification_error, "Notification error: ")                                                    \
    X(error_prefix, "ERROR: ")                                                                       \
    X(created_prefix, "\u2713 File created: \"")                                                     \
    X(failed_prefix, "\u2717 Error creating file \"")                                                \
    X(failed_separator, "\": ")                                                                      \
    X(double_quote, "\"")                                                                            \
    X(single_quote, "'")                                                                             \
    X(equals, "=")                                                                                   \
    X(comma, ",")                                                                                    \
    X(slash, "/")                                                                                    \
    X(backslash, "\\")                                                                               \
    X(space, " ")                                                                                    \
    X(mode_r, "r")                                                                                   \
    X(version_file, "__version__.py")                                                                \
    X(icon_file, "crenly.jpg")                                                                       \
    X(default_version, "2.0")                                                                        \
    X(one, "1")                                                                                      \
    X(true_lower, "true")                                                                            \
    X(true_title, "True")                                                                            \
    X(debug_flag, "--debug")                                                                         \
    X(version_flag, "--version")                                                                     \
    X(file_created, "File created: \"")                                                              \
    X(brace_pattern, "([^{]*)\\{([^}]+)\\}([^{]*)")                                                  \
    X(too_many_paths, "brace pattern expands to more than 1000000 paths")                           \
    X(too_many_chars, "brace pattern expands to more than 100000000 characters")                    \
    X(open_brace, "{")                                                                               \
    X(close_brace, "}")                                                                              \
    X(strict, "strict")                                                                              \
    X(ascii, "ascii")                                                                                \
    X(class_doc, "Handles file creation with notification support")                                 \
    X(parser_description, "Create blank files with notification support")                           \
    X(files_metavar, "FILE")                                                                         \
    X(files_nargs, "*")                                                                              \
    X(files_help, "File(s) to create. Supports brace expansion.")                                    \
    X(debug_help, "Show detailed error messages")                                                    \
    X(version_prefix, "crenly v")                                                                    \
    X(version_credit, " by The crenly team (team@crenly.dev)")                                       \
    X(summary_format_tail, " file(s) created successfully")                                          \
    X(subclass_note,                                                                                 \
      "crenly rejects subclasses of built-in types here, which is stricter than PEP 484 requires.")  \
    X(epilog_text,                                                                                      \
      "\n"                                                                                           \
      "Examples:\n"                                                                                  \
      "  crenly file.txt                       # Create single file\n"                               \
      "  crenly file1.txt file2.py file3       # Create multiple files\n"                            \
      "  crenly dir/subdir/file.txt            # Create with directories\n"                          \
      "  crenly dir/{a,b,c}.txt                # Brace expansion (creates dir/a.txt, dir/b.txt, "    \
      "dir/c.txt)\n"                                                                                 \
      "  crenly dotenv/{__init__.py,core.py}   # Create package structure\n"                         \
      "  \n"                                                                                         \
      "Note: Use forward slashes (/) for directories, even on Windows.\n"                            \
      "        ")

enum class Id : std::uint16_t {
#define CRENLY_ENUM(id, text) id,
    CRENLY_IDENTIFIERS(CRENLY_ENUM) identifier_count_,
    CRENLY_TEXTS(CRENLY_ENUM)
#undef CRENLY_ENUM
        count_
};

inline constexpr std::size_t pool_size = static_cast<std::size_t>(Id::count_);

/// Keyword-name tuples for calls that pass keywords, built from the pool.
enum class Kw : std::uint8_t {
    mkdir,      // parents, exist_ok
    touch,      // exist_ok
    parser,     // description, formatter_class, epilog
    files,      // metavar, nargs, help
    version,    // action, version
    debug,      // action, help
    notifier,   // applicationName, notifications, defaultNotifications, applicationIcon
    notify,     // noteType, title, description, icon, sticky, priority
    count_
};

/// Everything the module keeps while an interpreter runs it. Built by the
/// exec step under the interpreter lock; read-only afterwards until the
/// interpreter finalises, when release_state() drops it all.
struct State {
    std::int64_t main_interpreter = -1;
    // True from the first exec step of a running interpreter until the state
    // is released at its exit: the objects below belong to that interpreter.
    bool live = false;
    // Calls of the module's functions under way, on any thread (each may let
    // go of the interpreter lock): the state is not released under them.
    std::int64_t calls_running = 0;
    Ref module;            // the module being or having been executed
    Ref namespace_;        // the module dictionary; target of every global store
    Ref builtins;

    std::array<Ref, pool_size> pool;
    std::array<Ref, static_cast<std::size_t>(Kw::count_)> kwnames;
    Ref empty_tuple, empty_bytes, empty_str;
    Ref int0, int1, int2, int3;
    Ref none3;             // (None, None, None)
    Ref separators;        // ("/", "\\")

    // Cached builtins.
    Ref import_error, print, open, sum;

    // Brace expansion: the code objects of re's `search` and `_compile` and
    // the compiled brace pattern, each last found genuine (checked again at
    // every expansion), and the key of that pattern in re's cache.
    Ref re_search_code, re_compile_code, brace_regex, brace_cache_key;
};

/// The one instance; never destroyed (its objects must not be released after
/// the interpreter has finalised: release_state() drops them before).
extern State& state;

/// The pool entry for `id` (borrowed; lives until the process ends).
inline PyObject* str(Id id) noexcept { return state.pool[static_cast<std::size_t>(id)].get(); }

/// The keyword-name tuple `kw` (borrowed).
inline PyObject* kwnames(Kw kw) noexcept { return state.kwnames[static_cast<std::size_t>(kw)].get(); }

/// Builds the constant pool and fixed constants (exec step 6).
void create_constants();

/// Caches ImportError, print, open and sum from the builtins module (exec step 9).
void cache_builtins();

/// Builds the (None, None, None) and separator tuples (exec step 10).
void create_tuples();

/// Empties the state (all but the recorded interpreter ID) and then drops
/// every object it held, so that code run by a release sees an empty state.
void release_state() noexcept;

}  // namespace crenly::module
