#include "crenly/module/body.hpp"

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"
#include "crenly/module/code.hpp"
#include "crenly/module/function.hpp"

namespace crenly::module {

using namespace crenly::core;

namespace {

// The statements of the module's code whose lines matter, as its virtual
// file shows them, each with the blank lines after it: a statement takes as
// many lines as its text has line ends.
constexpr std::string_view formatter_probe =
    "try:\n"
    "    from trelvin import CustomRichHelpFormatter\n"
    "except Exception:\n"
    "    CustomRichHelpFormatter = argparse.RawTextHelpFormatter\n"
    "\n";
constexpr std::string_view service_probe =
    "try:\n"
    "    import <module>\n"
    "    <FLAG> = True\n"
    "except ImportError:\n"
    "    <FLAG> = False\n"
    "    print(<warning>)\n"
    "\n";
constexpr std::string_view last_import = "import argparse\n\n\n";
constexpr std::string_view name_statement = "NAME = \"crenly\"\n\n\n";
constexpr std::string_view filename_statement = "__filename__ = Path(__file__).name\n\n\n";
constexpr std::string_view class_statement = "class FileCreator:\n    \"\"\"...\"\"\"\n\n";
constexpr std::string_view main_statement =
    "if __name__ == \"__main__\":\n"
    "    sys.exit(main())\n"
    "\n";

/// The lines that `text` takes.
constexpr int height(std::string_view text) noexcept {
    return static_cast<int>(std::ranges::count(text, '\n'));
}

/// The line of `part` in the statement `text`, counted from its first (0).
constexpr int line_of(std::string_view text, std::string_view part) noexcept {
    return height(text.substr(0, text.find(part)));
}

// The first line of the virtual file is its own (failures before the body
// are placed there); the module's docstring follows, then a blank line.
constexpr int docstring_line = 2;
constexpr int first_statement_line = docstring_line + height(module_doc) + 2;

const Text clipboard_missing{
    "Warning: clipboard module not available. Install with: pip install clipboard"};
const Text gntp_missing{"Warning: gntp module not available. Install with: pip install gntp"};
const Text class_doc{"Handles file creation with notification support"};

/// Binds `name` to `value` in the module namespace.
void store_global(Id name, PyObject* value) {
    require_status(PyDict_SetItem(state.namespace_.get(), str(name), value));
}
void store_global(Id name, const Ref& value) { store_global(name, value.get()); }

/// What an import statement of the module's code calls: the builtins'
/// `__import__`, looked up as the statement runs (a hook installed in its
/// place is asked), with the name, the module namespace as its globals and
/// locals, `fromlist` (None for `import name`) and level 0.
Ref import_statement(Id name, PyObject* fromlist) {
    Ref import = dict_get(PyModule_GetDict(state.builtins.get()), str(Id::dunder_import));
    if (!import) raise(PyExc_ImportError, "__import__ not found");
    PyObject* ns = state.namespace_.get();
    return call(import, str(name), ns, ns, fromlist, state.int0);
}

/// `import name`; for a dotted name, the top-level package.
Ref import_module(Id name) { return import_statement(name, Py_None); }

/// `from module import names...`: binds each name, in order.
void import_from(Id module, std::initializer_list<Id> names) {
    Ref fromlist = own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (Id name : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(str(name)));
    Ref imported = import_statement(module, fromlist.get());
    for (Id name : names) {
        Ref value = optional_attr(imported.get(), str(name));
        if (!value) {
            // A submodule that is registered but not yet an attribute.
            Ref full = own(PyUnicode_FromFormat("%U.%U", str(module), str(name)));
            value = dict_get(PyImport_GetModuleDict(), full.get());
            if (!value) raise(PyExc_ImportError, "cannot import name %S", str(name));
        }
        store_global(name, value);
    }
}

/// `import name` bound under `binding`.
void import_as(Id name, Id binding) { store_global(binding, import_module(name)); }

/// The body's way through the virtual file: the statements, each at the line
/// after the one before, and the rows of the table, each defined in its order
/// at its line. `line` is the line of the statement being run.
class Cursor {
public:
    Cursor(int& line, int first) noexcept : line_(line), next_(first) {}

    /// `def ...` for the rows from the next one on that are methods
    /// (`methods`) or module functions: each bound under its name in `ns`.
    void define(bool methods, PyObject* ns) {
        for (; row_ < table().size() && is_method(callable(row_)) == methods; ++row_) {
            line_ = next_;
            next_ += definition_lines(callable(row_));
            Ref function = make_function(row_, line_);
            Ref name = own(PyUnicode_InternFromString(callable(row_).name));
            require_status(PyDict_SetItem(ns, name.get(), function.get()));
        }
    }

    /// A statement of `height` lines (blank lines after it included) starts;
    /// returns its line.
    int statement(int height = 1) noexcept {
        line_ = next_;
        next_ += height;
        return line_;
    }

    /// The statement at `line` (inside the current one, or around it) runs.
    void run_at(int line) noexcept { line_ = line; }

private:
    int& line_;
    int next_;
    std::size_t row_ = 0;
};

/// An optional service: `import module` bound as `binding`, then `flag` =
/// True; on ImportError (or a subclass), `flag` = False and the warning
/// line (service_probe).
void probe_optional(Id module, Id binding, Id flag, const Text& warning, Cursor& at) {
    const int try_line = at.statement(height(service_probe));
    try {
        import_as(module, binding);
        store_global(flag, Py_True);
    } catch (const PythonError&) {
        Handling handled(catch_pending(state.import_error.get()));
        at.run_at(try_line + line_of(service_probe, "except"));
        store_global(flag, Py_False);
        console_line(warning);
    }
}

/// `class FileCreator:` (class_statement), made by calling `type` with the
/// methods of the table.
void define_file_creator(Cursor& at) {
    const int class_line = at.statement(height(class_statement));
    Ref ns = own(PyDict_New());
    require_status(PyDict_SetItem(ns.get(), str(Id::dunder_module), str(Id::crenly_crenly)));
    require_status(PyDict_SetItem(ns.get(), str(Id::dunder_qualname), str(Id::FileCreator)));
    require_status(PyDict_SetItem(ns.get(), str(Id::dunder_doc), class_doc.get()));
    at.define(true, ns.get());
    at.run_at(class_line);
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), str(Id::FileCreator),
                   state.empty_tuple, ns);
    store_global(Id::FileCreator, cls);
}

}  // namespace

// `line` follows the statements through the virtual file "crenly/crenly"
// (module/code.hpp), for the traceback entry of a failure.
void run_body(int& line) {
    Cursor at(line, first_statement_line);
    at.statement();
    import_as(Id::sys, Id::sys);
    at.statement();
    import_as(Id::os, Id::os);
    at.statement();
    import_as(Id::re, Id::re);
    at.statement();
    import_as(Id::traceback, Id::traceback);
    at.statement();
    import_from(Id::pathlib, {Id::Path});
    at.statement();
    import_from(Id::typing, {Id::List, Id::Tuple, Id::Optional});
    at.statement(height(last_import));
    import_as(Id::argparse, Id::argparse);

    // Optional help formatter; any ordinary error means "not available".
    const int try_trelvin = at.statement(height(formatter_probe));
    try {
        import_from(Id::trelvin, {Id::CustomRichHelpFormatter});
    } catch (const PythonError&) {
        Handling handled(catch_pending(PyExc_Exception));
        at.run_at(try_trelvin + line_of(formatter_probe, "except"));
        store_global(Id::CustomRichHelpFormatter,
                     getattr(load_global(Id::argparse), Id::RawTextHelpFormatter));
    }

    probe_optional(Id::clipboard, Id::clipboard, Id::HAS_CLIPBOARD, clipboard_missing, at);
    probe_optional(Id::gntp_notifier, Id::gntp, Id::HAS_GROWL, gntp_missing, at);

    at.statement(height(name_statement));
    store_global(Id::NAME, str(Id::crenly));

    // The module functions before the class, __version__ and __filename__,
    // the class, the module functions after it.
    at.define(false, state.namespace_.get());
    at.statement();  // __version__ = get_version()
    store_global(Id::dunder_version, call(load_global(Id::get_version)));
    at.statement(height(filename_statement));
    store_global(Id::dunder_filename, getattr(module_file_path(), Id::name));
    define_file_creator(at);
    at.define(false, state.namespace_.get());
    at.statement(height(main_statement));
    {
        Ref name = load_global(Id::dunder_name);
        if (require_status(PyObject_RichCompareBool(name.get(), str(Id::dunder_main), Py_EQ)) ==
            1) {
            Ref exit = getattr(load_global(Id::sys), Id::exit);
            Ref status = call(load_global(Id::main));
            call(exit, status);
        }
    }
    at.statement();  // __test__ = {}
    store_global(Id::dunder_test, own(PyDict_New()));
}

}  // namespace crenly::module
