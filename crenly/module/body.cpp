#include "crenly/module/body.hpp"

#include <initializer_list>

#include "crenly/module/console.hpp"
#include "crenly/module/function.hpp"
#include "crenly/module/globals.hpp"
#include "crenly/module/protocol.hpp"

namespace crenly::module {

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

/// `def name(...)` for the table entry `id`.
void bind_function(CallableId id, Id name) { store_global(name, make_function(id)); }

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
    for (CallableId id :
         {CallableId::init, CallableId::init_growl, CallableId::parse_brace_expansion,
          CallableId::create_file, CallableId::notify, CallableId::create_files}) {
        Ref method = make_function(id);
        Ref name = own(PyUnicode_InternFromString(callable(id).name));
        require_status(PyDict_SetItem(ns.get(), name.get(), method.get()));
    }
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), str(Id::FileCreator),
                   state.empty_tuple, ns);
    store_global(Id::FileCreator, cls);
}

}  // namespace

// `line` follows the statements through the virtual file "crenly/crenly"
// (see module/table.cpp), for the traceback entry of a failure.
void run_body(int& line) {
    line = 10;
    import_as(Id::sys, Id::sys);
    line = 11;
    import_as(Id::os, Id::os);
    line = 12;
    import_as(Id::re, Id::re);
    line = 13;
    import_as(Id::traceback, Id::traceback);
    line = 14;
    import_from(Id::pathlib, {Id::Path});
    line = 15;
    import_from(Id::typing, {Id::List, Id::Tuple, Id::Optional});
    line = 16;
    import_as(Id::argparse, Id::argparse);

    // Optional help formatter; any ordinary error means "not available".
    line = 19;
    try {
        import_from(Id::trelvin, {Id::CustomRichHelpFormatter});
    } catch (const PythonError&) {
        Handling handled(catch_pending(PyExc_Exception));
        line = 21;
        store_global(Id::CustomRichHelpFormatter,
                     getattr(load_global(Id::argparse), Id::RawTextHelpFormatter));
    }

    line = 24;
    probe_optional(Id::clipboard, Id::clipboard, Id::HAS_CLIPBOARD, clipboard_missing, line, 27);
    line = 31;
    probe_optional(Id::gntp_notifier, Id::gntp, Id::HAS_GROWL, gntp_missing, line, 34);

    line = 37;
    store_global(Id::NAME, str(Id::crenly));
    line = 38;
    bind_function(CallableId::get_version, Id::get_version);
    line = 39;
    store_global(Id::dunder_version, call(load_global(Id::get_version)));
    line = 40;
    store_global(Id::dunder_filename, getattr(module_file_path(), Id::name));
    line = 43;
    define_file_creator();
    line = 330;
    bind_function(CallableId::main, Id::main);
    line = 333;
    {
        Ref name = load_global(Id::dunder_name);
        if (require_status(PyObject_RichCompareBool(name.get(), str(Id::dunder_main), Py_EQ)) ==
            1) {
            Ref exit = getattr(load_global(Id::sys), Id::exit);
            Ref status = call(load_global(Id::main));
            call(exit, status);
        }
    }
    line = 336;
    store_global(Id::dunder_test, own(PyDict_New()));
}

}  // namespace crenly::module
