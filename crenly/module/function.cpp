#include "crenly/module/function.hpp"

#include <array>
#include <cstddef>

#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"
#include "crenly/module/binder.hpp"
#include "crenly/module/code.hpp"

namespace crenly::module {

using namespace crenly::core;

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    std::size_t index;  // its row in the table
    // Owned references; exposed as attributes.
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* code;
    PyObject* dict;
    PyObject* varnames;     // the local names of the code, the parameters first
    PyObject* entry;        // the frames that head its traceback entries (module/code.hpp)
    PyObject* inner_entry;  // may be null
    PyObject* weakrefs;     // the weak references to it, as for Python functions
};

FunctionObject* as_function(PyObject* self) noexcept {
    return reinterpret_cast<FunctionObject*>(self);
}

/// The owned object fields of `f`, for the garbage collector's traversal and clearing.
std::array<PyObject**, 10> owned_fields(FunctionObject* f) noexcept {
    return {&f->name, &f->qualname, &f->module,   &f->doc,   &f->annotations,
            &f->code, &f->dict,     &f->varnames, &f->entry, &f->inner_entry};
}

/// Refuses a call made after the state was released (cold path).
CRENLY_COLD PyObject* raise_released() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "crenly.crenly cannot be used any more: its interpreter is finalizing");
    return nullptr;
}

/// How many calls of the module's functions run on this thread, one inside
/// the other.
thread_local int nested_calls = 0;

/// Refuses a call nested deeper than the recursion limit (cold path).
CRENLY_COLD void raise_too_deep() noexcept {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded in a crenly.crenly function");
}

/// Binds the arguments of one call and runs the body. An exception that
/// leaves the function, a call refused by the binder included, gains the
/// entry "crenly.crenly.<qualname>" at the line of its definition.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    // The module's state is released when its interpreter finalises; a
    // function still reachable then (a late atexit callback, a finaliser)
    // must not touch it.
    if (!state.live) return raise_released();
    const FunctionObject* f = as_function(self);
    const Callable& spec = callable(f->index);
    PyObject* bound[max_params] = {};  // borrowed from the caller
    PyObject* result = nullptr;
    // The names of the parameters: the first items of the tuple.
    PyObject* const* params = &PyTuple_GET_ITEM(f->varnames, 0);
    if (bind(spec, params, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        // The bodies call back into Python (methods looked up on self, globals),
        // so a loop of the module's own functions must meet the recursion limit
        // and end in RecursionError rather than overflow the C stack. The C
        // limit that Py_EnterRecursiveCall counts against is far deeper in
        // some 3.12 releases than a 2 MB Windows stack holds, so the module's
        // nested calls are also held to the limit of Python code.
        if (nested_calls >= Py_GetRecursionLimit()) {
            raise_too_deep();
        } else if (Py_EnterRecursiveCall(" in a crenly.crenly function") == 0) {
            // Counted while the body runs. A thread that the C library ends
            // without the interpreter (at its exit) unwinds through here: it
            // touches nothing then, and the state stays held (release_at_exit).
            struct Running {
                Running() noexcept { ++nested_calls, ++state.calls_running; }
                ~Running() {
                    if (!thread_attached()) return;
                    --state.calls_running, --nested_calls;
                    Py_LeaveRecursiveCall();
                }
            } running;
            EntryScope entries(f->entry, f->inner_entry);
            result = guard_object([&] { return spec.body(bound); });
        }
    }
    // The frame is made once: a refused call costs no frame allocation.
    if (result == nullptr) add_entry(f->entry);
    return result;
}

/// Reached through an instance, the function binds it as `self`; reached
/// through the class (or None), it is the plain function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    for (PyObject** field : owned_fields(as_function(self))) Py_VISIT(*field);
    return 0;
}

int function_clear(PyObject* self) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    for (PyObject** field : owned_fields(as_function(self))) Py_CLEAR(*field);
    return 0;
}

void function_dealloc(PyObject* self) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

/// Plain Python functions have these; inspect relies on them to read the
/// signature from __code__ and __annotations__.
PyObject* function_get_none(PyObject* /*self*/, void* /*closure*/) noexcept { Py_RETURN_NONE; }

/// `_shortcut_calls`: how many calls took the function's native shortcut (0
/// for a function that has none), for tests and diagnostics.
PyObject* function_get_shortcut_calls(PyObject* self, void* /*closure*/) noexcept {
    const Callable& c = callable(as_function(self)->index);
    return PyLong_FromUnsignedLongLong(c.shortcut_calls != nullptr ? c.shortcut_calls() : 0);
}

PyObject* function_get_doc(PyObject* self, void* /*closure*/) noexcept {
    PyObject* doc = as_function(self)->doc;
    return Py_NewRef(doc != nullptr ? doc : Py_None);
}

int function_set_doc(PyObject* self, PyObject* value,
                     void* /*closure*/) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    // Deleting the docstring leaves None, as for Python functions.
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), 0, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__defaults__", function_get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_shortcut_calls", function_get_shortcut_calls, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "crenly.crenly.function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    // A method descriptor: `obj.f(x)` calls the function with obj prepended
    // instead of creating a bound method first.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

/// The annotations dictionary of `c`, whose local names are `varnames`:
/// each annotated parameter, then "return", as its signature shows them.
Ref make_annotations(const Callable& c, PyObject* varnames) {
    Ref annotations = own(PyDict_New());
    auto text = [](std::string_view view) {
        return own(PyUnicode_FromStringAndSize(view.data(), std::ssize(view)));
    };
    for (int i = 0; i < c.signature.count; ++i) {
        const std::string_view annotation = c.signature.params[i].annotation;
        if (annotation.empty()) continue;
        require_status(PyDict_SetItem(annotations.get(), PyTuple_GET_ITEM(varnames, i),
                                      text(annotation).get()));
    }
    if (!c.signature.returns.empty()) {
        require_status(
            PyDict_SetItemString(annotations.get(), "return", text(c.signature.returns).get()));
    }
    return annotations;
}

/// The function type, made by the first function of a running interpreter
/// and released with the state.
class FunctionType final : public Slot {
public:
    Ref type;

private:
    void release() override { type.reset(); }
};

FunctionType function_type;

}  // namespace

Ref make_function(std::size_t index, int line) {
    if (!function_type.type) function_type.type = own(PyType_FromSpec(&function_spec));
    const Callable& c = callable(index);
    Ref name = own(PyUnicode_InternFromString(c.name));
    Ref qualname = own(PyUnicode_FromString(c.qualname));
    Ref doc = own(PyUnicode_FromString(c.doc));
    Code code = make_code(c, line);
    Ref annotations = make_annotations(c, code.varnames.get());
    auto* f =
        PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(function_type.type.get()));
    // On success, the new object already owns a reference to its heap type.
    if (f == nullptr) throw_python_error();
    f->vectorcall = function_vectorcall;
    f->index = index;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(str(Id::crenly_crenly));
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->code = code.code.release();
    f->dict = nullptr;
    f->varnames = code.varnames.release();
    f->entry = code.entry.release();
    f->inner_entry = code.inner_entry.release();
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace crenly::module
