#include "crenly/module/body.hpp"

#include <initializer_list>

#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"
#include "crenly/module/function.hpp"
#include "crenly/module/lines.hpp"

namespace crenly::module {

using namespace crenly::core;

namespace {

const Text clipboard_missing{
    "Warning: clipboard module not available. Install with: pip install clipboard"};
const Text gntp_missing{"Warning: gntp module not available. Install with: pip install gntp"};
const Text class_doc{"Handles file creation with notification support"};

/// `import name` (level 0, the module namespace as globals); for a dotted
/// name, the top-level package.
Ref import_module(Id name) {
    return own(
        PyImport_ImportModuleLevelObject(str(name), state.namespace_.get(), nullptr, nullptr, 0));
}

/// `from module import names...`: binds each name, in order.
void import_from(Id module, std::initializer_list<Id> names) {
    Ref fromlist = own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (Id name : names) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(str(name)));
    Ref imported = own(PyImport_ImportModuleLevelObject(str(module), state.namespace_.get(),
                                                        nullptr, fromlist.get(), 0));
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

/// `def name(...)`: the module function of the table row `name`.
void define_function(Id name) {
    store_global(name, make_function(index_of(PyUnicode_AsUTF8(str(name)))));
}

/// An optional service: `import module` bound as `binding`, then `flag` =
/// True; on ImportError (or a subclass), `flag` = False and the warning
/// line. `line` moves to `handler_line` inside the handler.
void probe_optional(Id module, Id binding, Id flag, const Text& warning, int& line,
                    int handler_line) {
    try {
        import_as(module, binding);
        store_global(flag, Py_True);
    } catch (const PythonError&) {
        Handling handled(catch_pending(state.import_error.get()));
        line = handler_line;
        store_global(flag, Py_False);
        console_line(warning);
    }
}

/// The class FileCreator, made by calling `type`.
void define_file_creator() {
    Ref ns = own(PyDict_New());
    require_status(PyDict_SetItem(ns.get(), str(Id::dunder_module), str(Id::crenly_crenly)));
    require_status(PyDict_SetItem(ns.get(), str(Id::dunder_qualname), str(Id::FileCreator)));
    require_status(PyDict_SetItem(ns.get(), str(Id::dunder_doc), class_doc.get()));
    // Every method of the table, in its order.
    for (std::size_t index = 0; index < table().size(); ++index) {
        if (!is_method(callable(index))) continue;
        Ref method = make_function(index);
        Ref name = own(PyUnicode_InternFromString(callable(index).name));
        require_status(PyDict_SetItem(ns.get(), name.get(), method.get()));
    }
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), str(Id::FileCreator),
                   state.empty_tuple, ns);
    store_global(Id::FileCreator, cls);
}

}  // namespace

// `line` follows the statements through the virtual file "crenly/crenly"
// (module/lines.hpp), for the traceback entry of a failure.
void run_body(int& line) {
    line = lines::import_sys;
    import_as(Id::sys, Id::sys);
    line = lines::import_os;
    import_as(Id::os, Id::os);
    line = lines::import_re;
    import_as(Id::re, Id::re);
    line = lines::import_traceback;
    import_as(Id::traceback, Id::traceback);
    line = lines::from_pathlib;
    import_from(Id::pathlib, {Id::Path});
    line = lines::from_typing;
    import_from(Id::typing, {Id::List, Id::Tuple, Id::Optional});
    line = lines::import_argparse;
    import_as(Id::argparse, Id::argparse);

    // Optional help formatter; any ordinary error means "not available".
    line = lines::try_trelvin;
    try {
        import_from(Id::trelvin, {Id::CustomRichHelpFormatter});
    } catch (const PythonError&) {
        Handling handled(catch_pending(PyExc_Exception));
        line = lines::except_trelvin;
        store_global(Id::CustomRichHelpFormatter,
                     getattr(load_global(Id::argparse), Id::RawTextHelpFormatter));
    }

    line = lines::try_clipboard;
    probe_optional(Id::clipboard, Id::clipboard, Id::HAS_CLIPBOARD, clipboard_missing, line,
                   lines::except_clipboard);
    line = lines::try_gntp;
    probe_optional(Id::gntp_notifier, Id::gntp, Id::HAS_GROWL, gntp_missing, line,
                   lines::except_gntp);

    line = lines::name;
    store_global(Id::NAME, str(Id::crenly));
    line = lines::def_get_version;
    define_function(Id::get_version);
    line = lines::version;
    store_global(Id::dunder_version, call(load_global(Id::get_version)));
    line = lines::filename;
    store_global(Id::dunder_filename, getattr(module_file_path(), Id::name));
    line = lines::class_file_creator;
    define_file_creator();
    line = lines::def_main;
    define_function(Id::main);
    line = lines::if_main;
    {
        Ref name = load_global(Id::dunder_name);
        if (require_status(PyObject_RichCompareBool(name.get(), str(Id::dunder_main), Py_EQ)) ==
            1) {
            Ref exit = getattr(load_global(Id::sys), Id::exit);
            Ref status = call(load_global(Id::main));
            call(exit, status);
        }
    }
    line = lines::test;
    store_global(Id::dunder_test, own(PyDict_New()));
}

}  // namespace crenly::module
