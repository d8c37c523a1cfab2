#include "crenly/creation/road/path_texts.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "crenly/core/console.hpp"
#include "crenly/core/errors.hpp"
#include "crenly/core/names.hpp"
#include "crenly/core/state.hpp"
#include "crenly/core/text_kind.hpp"

namespace crenly::creation::road {

using namespace crenly::core;

namespace {

/// `str(Path(text))`, with its root's length and its number of components:
/// the root ("", "/" or "//", as posixpath.splitroot takes it), then the
/// components that are neither empty nor ".", joined by "/".
Ref normalised(PyObject* text, Py_ssize_t& root, Py_ssize_t& count) {
    return with_char_type(text, [&]<class Char>(Char) {
        const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        thread_local std::vector<Char> out;
        root = length == 0 || data[0] != '/'                                      ? 0
               : length >= 2 && data[1] == '/' && (length == 2 || data[2] != '/') ? 2
                                                                                  : 1;
        out.assign(static_cast<std::size_t>(root), static_cast<Char>('/'));
        count = 0;
        for (Py_ssize_t i = root, j = root; i < length; i = j + 1) {
            for (j = i; j < length && data[j] != '/';) ++j;
            if (j == i || (j == i + 1 && data[i] == '.')) continue;
            if (count++ > 0) out.push_back(static_cast<Char>('/'));
            out.insert(out.end(), data + i, data + j);
        }
        if (out.empty()) return own(PyUnicode_FromStringAndSize(".", 1));
        // The text as it is, when nothing changed: no other object can
        // tell, since the road hands it only to the module's own functions.
        if (static_cast<Py_ssize_t>(out.size()) == length &&
            std::equal(out.begin(), out.end(), data)) {
            return Ref::borrow(text);
        }
        return own(PyUnicode_FromKindAndData(PyUnicode_KIND(text), out.data(),
                                             static_cast<Py_ssize_t>(out.size())));
    });
}

const Text slash{"/"};

/// The text of the current directory, decoded as os.getcwd decodes it, and
/// whether the path class leaves it as it is; kept while its bytes stay.
class LastDirectory final : public Slot {
public:
    std::string bytes;
    Ref text;
    bool normal = false;

private:
    void release() override { text.reset(); }
};

LastDirectory last;

}  // namespace

bool make_texts(PyObject* filepath, Texts& t) {
    t.text = normalised(filepath, t.root, t.count);
    if (PyUnicode_IS_ASCII(t.text.get())) {
        // ASCII is its own UTF-8; a compact str's data ends in a null.
        t.file = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(t.text.get()));
        t.file_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(t.text.get()));
    } else {
        t.encoded = Ref::steal(PyUnicode_EncodeFSDefault(t.text.get()));
        if (!t.encoded) return PyErr_Clear(), false;
        t.file = PyBytes_AS_STRING(t.encoded.get());
        t.file_size = static_cast<std::size_t>(PyBytes_GET_SIZE(t.encoded.get()));
    }
    if (std::memchr(t.file, '\0', t.file_size) != nullptr) return false;
    // `parent` of the path class: itself without components, the root (or
    // ".") with one, else everything before the last "/".
    const std::size_t parent = t.count == 0   ? t.file_size
                               : t.count == 1 ? static_cast<std::size_t>(t.root)
                                              : std::string_view(t.file, t.file_size).rfind('/');
    t.parent = parent == 0 ? std::string(1, '.') : std::string(t.file, parent);
    return true;
}

Ref absolute_text(const Texts& t, std::string_view cwd) {
    Py_ssize_t root = 0;
    Py_ssize_t count = 0;
    if (!last.text || last.bytes != cwd) {
        Ref text =
            own(PyUnicode_DecodeFSDefaultAndSize(cwd.data(), static_cast<Py_ssize_t>(cwd.size())));
        last.normal = normalised(text.get(), root, count).get() == text.get();
        last.bytes = cwd;
        last.text = std::move(text);
    }
    // absolute() of an empty path is the directory's text as it is.
    if (t.count == 0) return Ref::borrow(last.text.get());
    // posixpath.join, then the path class's split: a normal directory text
    // and a normal relative text join into a normal text.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(last.text.get());
    const bool separator = n == 0 || PyUnicode_READ_CHAR(last.text.get(), n - 1) != '/';
    Ref joined =
        concat({last.text.get(), separator ? slash.get() : state.empty_str.get(), t.text.get()});
    return last.normal ? std::move(joined) : normalised(joined.get(), root, count);
}

}  // namespace crenly::creation::road
