#include "crenly/core/protocol.hpp"

#include <vector>

namespace crenly::core {

namespace {

/// The keyword-name tuple of `keywords`; their values go to the end of `stack`.
Ref keyword_names(std::initializer_list<Keyword> keywords, std::vector<PyObject*>& stack) {
    Ref names = own(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const Keyword& k : keywords) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(str(k.name)));
        stack.push_back(k.value);
    }
    return names;
}

}  // namespace

Ref optional_attr(PyObject* o, PyObject* name) {
    PyObject* value = PyObject_GetAttr(o, name);
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return {};
}

Ref call_named(PyObject* f, std::initializer_list<PyObject*> positional,
               std::initializer_list<Keyword> keywords) {
    std::vector<PyObject*> stack{nullptr};  // slot 0: scratch space for the callee
    stack.insert(stack.end(), positional);
    Ref names = keyword_names(keywords, stack);
    return own(PyObject_Vectorcall(
        f, stack.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref call_method_named(PyObject* self, Id name, std::initializer_list<PyObject*> positional,
                      std::initializer_list<Keyword> keywords) {
    std::vector<PyObject*> stack{self};
    stack.insert(stack.end(), positional);
    Ref names = keyword_names(keywords, stack);
    return own(PyObject_VectorcallMethod(str(name), stack.data(),
                                         (1 + positional.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         names.get()));
}

}  // namespace crenly::core
