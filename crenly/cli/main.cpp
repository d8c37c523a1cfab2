#include "crenly/cli/main.hpp"

#include "crenly/cli/reassemble.hpp"
#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"
#include "crenly/creation/batch.hpp"

namespace crenly::cli {

using namespace crenly::core;

namespace {

// The help: the parser's description and the epilog of its help text.
const Text parser_description{"Create blank files with notification support"};
const Text epilog{
    "\n"
    "Examples:\n"
    "  crenly file.txt                       # Create single file\n"
    "  crenly file1.txt file2.py file3       # Create multiple files\n"
    "  crenly dir/subdir/file.txt            # Create with directories\n"
    "  crenly dir/{a,b,c}.txt                # Brace expansion (creates dir/a.txt, dir/b.txt, "
    "dir/c.txt)\n"
    "  crenly dotenv/{__init__.py,core.py}   # Create package structure\n"
    "  \n"
    "Note: Use forward slashes (/) for directories, even on Windows.\n"
    "        "};
// The arguments: FILE..., --version, --debug.
const Text files_metavar{"FILE"};
const Text files_nargs{"*"};
const Text files_help{"File(s) to create. Supports brace expansion."};
const Text version_flag{"--version"};
const Text version_action{"version"};
const Text debug_action{"store_true"};
const Text debug_help{"Show detailed error messages"};

// The version line: "crenly v<version> by <author> (<e-mail>)".
const Text version_prefix{"crenly v"};
const Text version_credit{" by The crenly team (team@crenly.dev)"};

/// "crenly v<version> by <author> (<e-mail>)"
Ref version_text() {
    Ref version = load_global(Id::dunder_version);
    if (!PyUnicode_Check(version.get())) version = format_empty(version.get());
    return concat({version_prefix.get(), version.get(), version_credit.get()});
}

/// The parser, built afresh on every call.
Ref build_parser() {
    Ref parser_type = getattr(load_global(Id::argparse), Id::ArgumentParser);
    Ref formatter = load_global(Id::CustomRichHelpFormatter);
    Ref parser = call_named(parser_type.get(), {},
                            {{Id::description, parser_description},
                             {Id::formatter_class, formatter},
                             {Id::epilog, epilog}});
    call_method_named(
        parser.get(), Id::add_argument, {str(Id::files)},
        {{Id::metavar, files_metavar}, {Id::nargs, files_nargs}, {Id::help, files_help}});
    Ref version = version_text();
    call_method_named(parser.get(), Id::add_argument, {version_flag.get()},
                      {{Id::action, version_action}, {Id::version, version}});
    call_method_named(parser.get(), Id::add_argument, {debug_flag.get()},
                      {{Id::action, debug_action}, {Id::help, debug_help}});
    return parser;
}

/// The number of paths the names stand for, expanding the brace names
/// again on the same creator.
Ref expected_total(PyObject* creator, PyObject* file_list) {
    Ref counts = own(PyList_New(0));
    // The loop is the generator expression of the count: what passes out of
    // it carries that expression's own traceback entry.
    const int status = guard_status([&] {
        // Indexes are re-checked on every turn: an overriding method may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(file_list); ++i) {
            Ref f = Ref::borrow(PyList_GET_ITEM(file_list, i));
            Ref count;
            if (creation::has_braces(f.get())) {
                Ref expanded = call_method(creator, Id::parse_brace_expansion, f);
                const Py_ssize_t length = PyObject_Length(expanded.get());
                if (length < 0) throw_python_error();
                count = own(PyLong_FromSsize_t(length));
            } else {
                count = Ref::borrow(state.int1.get());
            }
            require_status(PyList_Append(counts.get(), count.get()));
        }
    });
    if (status < 0) {
        add_inner_entry();
        throw_python_error();
    }
    return call(state.sum, counts);
}

}  // namespace

// The summary line: "\n<created>/<expected> file(s) created successfully".
const Text summary_tail{" file(s) created successfully"};
// The separator of the arguments joined again.
const Text space{" "};

Ref main() {
    Ref parser = build_parser();
    Ref argv = getattr(load_global(Id::sys), Id::argv);
    const Py_ssize_t argc = PyObject_Length(argv.get());
    if (argc < 0) throw_python_error();
    if (argc == 1) {
        call_method(parser, Id::print_help);
        return Ref::borrow(state.int0.get());
    }
    Ref args = call_method(parser, Id::parse_args);
    Ref files = getattr(args, Id::files);
    if (!truth(files)) {
        call_method(parser, Id::print_help);
        return Ref::borrow(state.int0.get());
    }
    Ref joined = own(PyUnicode_Join(space.get(), files.get()));
    Ref file_list = reassemble(joined.get());

    Ref creator = call(load_global(Id::FileCreator));
    Ref success_count = call_method(creator, Id::create_files, file_list);
    Ref total_expected = expected_total(creator.get(), file_list.get());

    Ref summary = own(PyUnicode_FromFormat("\n%S/%S%U", success_count.get(), total_expected.get(),
                                           summary_tail.get()));
    console_line(summary);
    const int equal =
        require_status(PyObject_RichCompareBool(success_count.get(), total_expected.get(), Py_EQ));
    return Ref::borrow(equal ? state.int0.get() : state.int1.get());
}

}  // namespace crenly::cli
