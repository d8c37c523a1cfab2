#include "crenly/cli/main.hpp"

#include "crenly/cli/reassemble.hpp"
#include "crenly/creation/batch.hpp"
#include "crenly/module/callables.hpp"
#include "crenly/module/calls.hpp"
#include "crenly/module/globals.hpp"

namespace crenly::cli {

using namespace crenly::module;

namespace {

/// "crenly v<version> by <author> (<e-mail>)"
Ref version_text() {
    Ref version = load_global(Id::dunder_version);
    if (!PyUnicode_Check(version.get())) version = format_empty(version.get());
    return concat({str(Id::version_prefix), version.get(), str(Id::version_credit)});
}

/// The parser, built afresh on every call.
Ref build_parser() {
    Ref argparse = load_global(Id::argparse);
    Ref parser_type = getattr(argparse.get(), Id::ArgumentParser);
    Ref formatter = load_global(Id::CustomRichHelpFormatter);
    Ref parser = call_kw(parser_type.get(), Kw::parser, str(Id::parser_description), formatter.get(),
                         str(Id::epilog_text));
    call_method_kw(parser.get(), Id::add_argument, Kw::files, str(Id::files), str(Id::files_metavar),
                   str(Id::files_nargs), str(Id::files_help));
    Ref version = version_text();
    call_method_kw(parser.get(), Id::add_argument, Kw::version, str(Id::version_flag), str(Id::version),
                   version.get());
    call_method_kw(parser.get(), Id::add_argument, Kw::debug, str(Id::debug_flag), str(Id::store_true),
                   str(Id::debug_help));
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
                Ref expanded = call_method(creator, Id::parse_brace_expansion, f.get());
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
        add_traceback_frame(genexpr_traceback_frame());
        throw_python_error();
    }
    return call(state.sum.get(), counts.get());
}

}  // namespace

Ref main_body(PyObject* const* /*args*/) {
    Ref parser = build_parser();
    Ref sys = load_global(Id::sys);
    Ref argv = getattr(sys.get(), Id::argv);
    const Py_ssize_t argc = PyObject_Length(argv.get());
    if (argc < 0) throw_python_error();
    if (argc == 1) {
        call_method(parser.get(), Id::print_help);
        return Ref::borrow(state.int0.get());
    }
    Ref args = call_method(parser.get(), Id::parse_args);
    Ref files = getattr(args.get(), Id::files);
    if (!truth(files.get())) {
        call_method(parser.get(), Id::print_help);
        return Ref::borrow(state.int0.get());
    }
    Ref joined = own(PyUnicode_Join(str(Id::space), files.get()));
    Ref file_list = reassemble(joined.get());

    Ref file_creator = load_global(Id::FileCreator);
    Ref creator = call(file_creator.get());
    Ref success_count = call_method(creator.get(), Id::create_files, file_list.get());
    Ref total_expected = expected_total(creator.get(), file_list.get());

    Ref summary = own(PyUnicode_FromFormat("\n%S/%S%U", success_count.get(), total_expected.get(),
                                           str(Id::summary_format_tail)));
    console_line(summary.get());
    const int equal = require_status(PyObject_RichCompareBool(success_count.get(), total_expected.get(), Py_EQ));
    return Ref::borrow(equal ? state.int0.get() : state.int1.get());
}

}  // namespace crenly::cli
