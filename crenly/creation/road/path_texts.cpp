#include "crenly/creation/road/path_texts.hpp"

#include <cstring>
#include <string_view>
#include <vector>

#include "crenly/core/console.hpp"
#include "crenly/core/errors.hpp"
#include "crenly/core/names.hpp"
#include "crenly/core/state.hpp"
#include "crenly/core/text_kind.hpp"

namespace crenly::creation::road {

using namespace crenly::core;

namespace {

/// A path text split the way the path class splits it: the root ("", "/"
/// or "//", by posixpath.splitroot) and the components that are neither
/// empty nor ".", joined by "/" into `out`; `count` components.
template <class Char>
void normalise(const Char* text, Py_ssize_t length, std::vector<Char>& out, Py_ssize_t& root,
               Py_ssize_t& count) {
    out.clear();
    root = 0;
    if (length > 0 && text[0] == '/') {
        // Exactly two leading slashes stay a root of their own.
        root = (length >= 2 && text[1] == '/' && !(length >= 3 && text[2] == '/')) ? 2 : 1;
    }
    out.assign(static_cast<std::size_t>(root), static_cast<Char>('/'));
    count = 0;
    Py_ssize_t i = root;
    while (i < length) {
        Py_ssize_t j = i;
        while (j < length && text[j] != '/') ++j;
        const Py_ssize_t size = j - i;
        if (size > 0 && !(size == 1 && text[i] == '.')) {
            if (count > 0) out.push_back(static_cast<Char>('/'));
            out.insert(out.end(), text + i, text + j);
            ++count;
        }
        i = j + 1;
    }
}

/// Whether `normalise` leaves the text as it is, with its root length and
/// component count: a root as splitroot takes it, then components that are
/// neither empty nor ".", and no "/" at the end.
template <class Char>
bool is_normal(const Char* text, Py_ssize_t length, Py_ssize_t& root, Py_ssize_t& count) {
    if (length == 0) return false;  // the text of an empty path is "."
    root = 0;
    if (text[0] == '/') {
        if (length >= 3 && text[1] == '/' && text[2] == '/') return false;
        root = (length >= 2 && text[1] == '/') ? 2 : 1;
    }
    count = 0;
    Py_ssize_t start = root;
    for (Py_ssize_t i = root; i <= length; ++i) {
        if (i < length && text[i] != '/') continue;
        const Py_ssize_t size = i - start;
        if (size == 0) {
            if (!(i == length && start == root)) return false;  // only a bare root is empty
        } else if (size == 1 && text[start] == '.') {
            return false;
        } else {
            ++count;
        }
        start = i + 1;
    }
    return true;
}

const Text slash_text{"/"};

/// `str(Path(text))` (with its root length and component count).
template <class Char>
Ref normalised(PyObject* text, int kind, Py_ssize_t& root, Py_ssize_t& count) {
    const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    // The text as it is, when nothing would change: no other object can
    // tell, since the road hands it only to the module's own functions.
    if (is_normal(data, length, root, count)) return Ref::borrow(text);
    std::vector<Char> out;
    normalise(data, length, out, root, count);
    if (out.empty()) return own(PyUnicode_FromStringAndSize(".", 1));
    return own(PyUnicode_FromKindAndData(kind, out.data(), static_cast<Py_ssize_t>(out.size())));
}

Ref normalised_text(PyObject* text, Py_ssize_t& root, Py_ssize_t& count) {
    return with_char_type(text, [&]<class Char>(Char) {
        return normalised<Char>(text, PyUnicode_KIND(text), root, count);
    });
}

}  // namespace

bool make_texts(PyObject* filepath, Texts& t) {
    t.text = normalised_text(filepath, t.root, t.count);
    if (PyUnicode_IS_ASCII(t.text.get())) {
        // ASCII is its own UTF-8; a compact str's data ends in a null.
        t.file = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(t.text.get()));
        t.file_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(t.text.get()));
    } else {
        PyObject* bytes = PyUnicode_EncodeFSDefault(t.text.get());
        if (bytes == nullptr) {
            PyErr_Clear();
            return false;
        }
        t.encoded = Ref::steal(bytes);
        t.file = PyBytes_AS_STRING(bytes);
        t.file_size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    }
    if (std::memchr(t.file, '\0', t.file_size) != nullptr) return false;
    // `parent` of the path class: itself without components, the root (or
    // ".") with one, else everything before the last "/".
    std::size_t parent_size = t.file_size;
    if (t.count == 1) {
        parent_size = static_cast<std::size_t>(t.root);
    } else if (t.count > 1) {
        parent_size = std::string_view(t.file, t.file_size).rfind('/');
    }
    t.parent = parent_size == 0 ? std::string(1, '.') : std::string(t.file, parent_size);
    return true;
}

namespace {

/// The text of the current directory, decoded as os.getcwd decodes it, and
/// whether the path class leaves it as it is; kept while its bytes stay.
class LastDirectory final : public Slot {
public:
    std::string bytes;
    Ref text;
    bool normal = false;

private:
    void release() override {
        bytes.clear();
        text.reset();
    }
};

LastDirectory last_directory;

}  // namespace

Ref absolute_text(const Texts& t, std::string_view cwd) {
    LastDirectory& last = last_directory;
    if (!last.text || last.bytes != cwd) {
        Ref text =
            own(PyUnicode_DecodeFSDefaultAndSize(cwd.data(), static_cast<Py_ssize_t>(cwd.size())));
        Py_ssize_t root = 0;
        Py_ssize_t count = 0;
        Ref normal = normalised_text(text.get(), root, count);
        last.normal = normal.get() == text.get();
        last.bytes = cwd;
        last.text = std::move(text);
    }
    Ref directory = Ref::borrow(last.text.get());
    // absolute() of an empty path is the directory's text as it is.
    if (t.count == 0) return directory;
    // posixpath.join, then the path class's split: a normal directory text
    // and a normal relative text join into a normal text.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(directory.get());
    const bool separator = n == 0 || PyUnicode_READ_CHAR(directory.get(), n - 1) != '/';
    PyObject* slash = separator ? slash_text.get() : state.empty_str.get();
    Ref joined = concat({directory.get(), slash, t.text.get()});
    if (last.normal) return joined;
    Py_ssize_t root = 0;
    Py_ssize_t count = 0;
    return normalised_text(joined.get(), root, count);
}

}  // namespace crenly::creation::road
