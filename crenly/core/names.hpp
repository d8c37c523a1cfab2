// The names and texts the module uses: the pool of interned identifiers,
// and the constants that the other files declare beside the code that uses
// them (texts, keyword-name tuples), all made once by the exec step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crenly/core/ref.hpp"

namespace crenly::core {

// Identifiers: names of modules, attributes, globals, parameters and
// keywords. Created interned and pre-hashed. X(enumerator, text)
#define CRENLY_IDENTIFIERS(X)                             \
    X(sys, "sys")                                         \
    X(os, "os")                                           \
    X(re, "re")                                           \
    X(traceback, "traceback")                             \
    X(pathlib, "pathlib")                                 \
    X(Path, "Path")                                       \
    X(typing, "typing")                                   \
    X(List, "List")                                       \
    X(Tuple, "Tuple")                                     \
    X(Optional, "Optional")                               \
    X(argparse, "argparse")                               \
    X(trelvin, "trelvin")                                 \
    X(CustomRichHelpFormatter, "CustomRichHelpFormatter") \
    X(RawTextHelpFormatter, "RawTextHelpFormatter")       \
    X(clipboard, "clipboard")                             \
    X(HAS_CLIPBOARD, "HAS_CLIPBOARD")                     \
    X(gntp, "gntp")                                       \
    X(gntp_notifier, "gntp.notifier")                     \
    X(notifier, "notifier")                               \
    X(HAS_GROWL, "HAS_GROWL")                             \
    X(NAME, "NAME")                                       \
    X(get_version, "get_version")                         \
    X(dunder_version, "__version__")                      \
    X(dunder_file, "__file__")                            \
    X(dunder_filename, "__filename__")                    \
    X(dunder_name, "__name__")                            \
    X(dunder_main, "__main__")                            \
    X(dunder_test, "__test__")                            \
    X(dunder_module, "__module__")                        \
    X(dunder_qualname, "__qualname__")                    \
    X(dunder_doc, "__doc__")                              \
    X(dunder_import, "__import__")                        \
    X(dunder_enter, "__enter__")                          \
    X(dunder_exit, "__exit__")                            \
    X(name, "name")                                       \
    X(parent, "parent")                                   \
    X(FileCreator, "FileCreator")                         \
    X(main, "main")                                       \
    X(exit, "exit")                                       \
    X(init_growl, "_init_growl")                          \
    X(parse_brace_expansion, "parse_brace_expansion")     \
    X(create_file, "create_file")                         \
    X(notify_method, "_notify")                           \
    X(create_files, "create_files")                       \
    X(files, "files")                                     \
    X(is_file, "is_file")                                 \
    X(is_dir, "is_dir")                                   \
    X(mkdir, "mkdir")                                     \
    X(touch, "touch")                                     \
    X(parents, "parents")                                 \
    X(exist_ok, "exist_ok")                               \
    X(absolute, "absolute")                               \
    X(copy, "copy")                                       \
    X(argv, "argv")                                       \
    X(format_exc, "format_exc")                           \
    X(getenv, "getenv")                                   \
    X(strerror, "strerror")                               \
    X(TRACEBACK, "TRACEBACK")                             \
    X(strip, "strip")                                     \
    X(startswith, "startswith")                           \
    X(split, "split")                                     \
    X(search, "search")                                   \
    X(span, "span")                                       \
    X(end, "end")                                         \
    X(pattern, "pattern")                                 \
    X(version, "version")                                 \
    X(ArgumentParser, "ArgumentParser")                   \
    X(description, "description")                         \
    X(formatter_class, "formatter_class")                 \
    X(epilog, "epilog")                                   \
    X(add_argument, "add_argument")                       \
    X(metavar, "metavar")                                 \
    X(nargs, "nargs")                                     \
    X(help, "help")                                       \
    X(action, "action")                                   \
    X(print_help, "print_help")                           \
    X(parse_args, "parse_args")                           \
    X(GrowlNotifier, "GrowlNotifier")                     \
    X(applicationName, "applicationName")                 \
    X(notifications, "notifications")                     \
    X(defaultNotifications, "defaultNotifications")       \
    X(applicationIcon, "applicationIcon")                 \
    X(register_, "register")                              \
    X(notify, "notify")                                   \
    X(noteType, "noteType")                               \
    X(title, "title")                                     \
    X(icon, "icon")                                       \
    X(sticky, "sticky")                                   \
    X(priority, "priority")                               \
    X(growl, "growl")                                     \
    X(icon_path, "icon_path")                             \
    X(exists, "exists")                                   \
    X(as_uri, "as_uri")                                   \
    X(add_note, "add_note")                               \
    X(encoding, "encoding")                               \
    X(replace, "replace")                                 \
    X(ImportError, "ImportError")                         \
    X(print, "print")                                     \
    X(open, "open")                                       \
    X(sum, "sum")                                         \
    X(crenly, "crenly")                                   \
    X(crenly_crenly, "crenly.crenly")

enum class Id : std::uint16_t {
#define CRENLY_ENUM(id, text) id,
    CRENLY_IDENTIFIERS(CRENLY_ENUM)
#undef CRENLY_ENUM
        count_
};

inline constexpr std::size_t pool_size = static_cast<std::size_t>(Id::count_);

/// The pool: one interned, hashed str for every identifier, and the object
/// of every enrolled Constant, by its index. Filled by create_constants();
/// emptied with the state.
struct Pool {
    std::array<Ref, pool_size> names;
    std::vector<Ref> constants;
};

/// The one instance; never destroyed (see State).
extern Pool& pool;

/// The pool entry for `id` (borrowed; lives as long as the state).
inline PyObject* str(Id id) noexcept { return pool.names[static_cast<std::size_t>(id)].get(); }

/// A Python object declared at namespace scope beside the code that uses it
/// (a text, a keyword-name tuple) and kept in the state: every declaration
/// enrols itself when the library is loaded, and the exec step builds them
/// all. Read only while the state is live.
class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    /// The object (borrowed).
    [[nodiscard]] PyObject* get() const noexcept { return pool.constants[index_].get(); }

protected:
    Constant() noexcept;
    ~Constant() = default;

private:
    friend void create_constants();
    /// Makes the object (a new reference), or throws.
    [[nodiscard]] virtual Ref build() const = 0;

    const Constant* next_;  // the enrolment list
    std::size_t index_;
};

/// A literal text (UTF-8) as a str, not interned.
class Text final : public Constant {
public:
    explicit Text(const char* utf8) noexcept : utf8_(utf8) {}

private:
    [[nodiscard]] Ref build() const override;
    const char* utf8_;
};

/// The keyword-name tuple of a call made for each item (each file, each
/// notification), built once; a call made once per run names its keywords
/// at the call site instead (call_named). Sized by its names:
/// `const KeywordNames touch_keywords{Id::exist_ok};`
template <std::size_t N>
class KeywordNames final : public Constant {
public:
    template <class... Names>
    explicit KeywordNames(Names... names) noexcept : names_{names...} {}

private:
    [[nodiscard]] Ref build() const override { return keyword_tuple(names_.data(), N); }
    std::array<Id, N> names_;
};

template <class... Names>
KeywordNames(Names...) -> KeywordNames<sizeof...(Names)>;

/// A new tuple of the pool entries of `names`.
Ref keyword_tuple(const Id* names, std::size_t size);

/// Builds the fixed constants of the state, then the pool and every
/// enrolled constant.
void create_constants();

}  // namespace crenly::core
