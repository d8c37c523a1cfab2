#include "crenly/creation/batch.hpp"

#include "crenly/core/protocol.hpp"

namespace crenly::creation {

using namespace crenly::core;

namespace {

const Text open_brace{"{"};
const Text close_brace{"}"};

}  // namespace

bool has_braces(PyObject* name) {
    return require_status(PySequence_Contains(name, open_brace.get())) == 1 &&
           require_status(PySequence_Contains(name, close_brace.get())) == 1;
}

Ref create_files(PyObject* self, PyObject* files) {
    // Expand the whole list before the first file is created.
    Ref all_files = own(PyList_New(0));
    Ref iterator = own(PyObject_GetIter(files));
    while (Ref file_arg = Ref::steal(PyIter_Next(iterator.get()))) {
        if (has_braces(file_arg.get())) {
            Ref expanded = call_method(self, Id::parse_brace_expansion, file_arg);
            Ref paths = own(PyObject_GetIter(expanded.get()));
            while (Ref path = Ref::steal(PyIter_Next(paths.get()))) {
                require_status(PyList_Append(all_files.get(), path.get()));
            }
            if (PyErr_Occurred()) throw_python_error();
        } else {
            require_status(PyList_Append(all_files.get(), file_arg.get()));
        }
    }
    if (PyErr_Occurred()) throw_python_error();

    Py_ssize_t success_count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all_files.get()); ++i) {
        Ref filepath = Ref::borrow(PyList_GET_ITEM(all_files.get(), i));
        if (truth(call_method(self, Id::create_file, filepath))) ++success_count;
    }
    return own(PyLong_FromSsize_t(success_count));
}

}  // namespace crenly::creation
