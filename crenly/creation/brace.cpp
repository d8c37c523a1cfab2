#include "crenly/creation/brace.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "crenly/module/calls.hpp"
#include "crenly/module/globals.hpp"

namespace crenly::creation {

using namespace crenly::module;

namespace {

constexpr Py_ssize_t max_paths = 1000000;

/// A half-open range of code points of the text being expanded.
struct Span {
    Py_ssize_t begin = 0;
    Py_ssize_t end = 0;
    [[nodiscard]] Py_ssize_t size() const noexcept { return end - begin; }
};

/// One alternative of a segment: lead, an optional "/", item, suffix.
struct Choice {
    Span lead;
    bool slash = false;
    Span item;
    Span suffix;
};

/// The alternatives of one brace group (or the one leftover piece of text).
using Segment = std::vector<Choice>;

/// A separator between items: a comma or any white space that str.split() knows.
bool is_item_separator(Py_UCS4 ch) noexcept { return ch == ',' || Py_UNICODE_ISSPACE(ch); }

/// The items of the group spanning `group` of `text`: cut at commas, each
/// part split at runs of white space; empty items never arise.
void split_items(PyObject* text, Span group, std::vector<Span>& items) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    items.clear();
    Py_ssize_t start = -1;
    for (Py_ssize_t i = group.begin; i < group.end; ++i) {
        const bool separator = is_item_separator(PyUnicode_READ(kind, data, i));
        if (separator && start >= 0) {
            items.push_back({start, i});
            start = -1;
        } else if (!separator && start < 0) {
            start = i;
        }
    }
    if (start >= 0) items.push_back({start, group.end});
}

/// Whether a lead needs a "/" before the item: it is not empty and ends
/// with neither "/" nor a backslash.
bool needs_separator(PyObject* text, Span lead) noexcept {
    if (lead.size() == 0) return false;
    const Py_UCS4 last = PyUnicode_READ_CHAR(text, lead.end - 1);
    return last != '/' && last != '\\';
}

/// A position reported by a match (an int).
Py_ssize_t position(PyObject* value) {
    const Py_ssize_t result = PyLong_AsSsize_t(value);
    if (result == -1 && PyErr_Occurred()) throw_python_error();
    return result;
}

/// The group of items of `match`: where its text starts and ends.
Span items_span(PyObject* match) {
    Ref span = call_method(match, Id::span, state.int2.get());
    if (!PyTuple_Check(span.get()) || PyTuple_GET_SIZE(span.get()) != 2) {
        raise(PyExc_TypeError, "brace pattern span is not a pair");
    }
    return {position(PyTuple_GET_ITEM(span.get(), 0)), position(PyTuple_GET_ITEM(span.get(), 1))};
}

/// The brace pattern compiled by the re module, when `search` is that
/// module's own search function (cached on first use); otherwise empty.
Ref compiled_pattern(PyObject* search) {
    if (state.re_search) {
        return search == state.re_search.get() ? Ref::borrow(state.brace_regex.get()) : Ref{};
    }
    Ref re = Ref::steal(PyImport_GetModule(str(Id::re)));
    if (!re) {
        if (PyErr_Occurred()) throw_python_error();
        return {};
    }
    Ref own_search = getattr(re.get(), Id::search);
    if (own_search.get() != search) return {};
    Ref regex = call_method(re.get(), Id::compile, str(Id::brace_pattern));
    // Another thread may have cached them meanwhile; the first one stays.
    // The pattern is stored before the search it belongs to.
    if (!state.re_search) {
        state.brace_regex = Ref::borrow(regex.get());
        state.re_search = std::move(own_search);
    }
    return regex;
}

/// Writes the path made of one choice per segment, selected by `index`.
template <class Char>
void write_path(const Char* data, const std::vector<Segment>& segments, const std::vector<std::size_t>& index,
                Char* out) noexcept {
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Choice& c = segments[s][index[s]];
        out = std::copy(data + c.lead.begin, data + c.lead.end, out);
        if (c.slash) *out++ = static_cast<Char>('/');
        out = std::copy(data + c.item.begin, data + c.item.end, out);
        out = std::copy(data + c.suffix.begin, data + c.suffix.end, out);
    }
}

/// The length of the path selected by `index`.
Py_ssize_t path_length(const std::vector<Segment>& segments, const std::vector<std::size_t>& index) noexcept {
    Py_ssize_t length = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Choice& c = segments[s][index[s]];
        length += c.lead.size() + (c.slash ? 1 : 0) + c.item.size() + c.suffix.size();
    }
    return length;
}

/// Builds the path selected by `index` as a new str.
template <class Char>
Ref build_path(PyObject* text, const std::vector<Segment>& segments, const std::vector<std::size_t>& index,
               std::vector<Char>& buffer, int kind) {
    const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
    const Py_ssize_t length = path_length(segments, index);
    if constexpr (std::is_same_v<Char, Py_UCS1>) {
        if (PyUnicode_IS_ASCII(text)) {
            // Every piece is ASCII, so the path is too: written in place.
            Ref path = own(PyUnicode_New(length, 127));
            write_path(data, segments, index, PyUnicode_1BYTE_DATA(path.get()));
            return path;
        }
    }
    buffer.resize(static_cast<std::size_t>(length));
    write_path(data, segments, index, buffer.data());
    // Narrows to the smallest representation, as every str must have.
    return own(PyUnicode_FromKindAndData(kind, buffer.data(), length));
}

/// The cartesian product of the segments, leftmost varying slowest.
template <class Char>
Ref product(PyObject* text, const std::vector<Segment>& segments, Py_ssize_t count, int kind) {
    Ref result = own(PyList_New(count));
    if (count == 0) return result;
    std::vector<std::size_t> index(segments.size(), 0);
    std::vector<Char> buffer;
    for (Py_ssize_t n = 0; n < count; ++n) {
        PyList_SET_ITEM(result.get(), n, build_path(text, segments, index, buffer, kind).release());
        for (std::size_t s = segments.size(); s-- > 0;) {
            if (++index[s] < segments[s].size()) break;
            index[s] = 0;
        }
    }
    return result;
}

/// The number of paths, or max_paths + 1 when there would be more.
Py_ssize_t count_paths(const std::vector<Segment>& segments) noexcept {
    for (const Segment& s : segments) {
        if (s.empty()) return 0;
    }
    Py_ssize_t count = 1;
    for (const Segment& s : segments) {
        count *= static_cast<Py_ssize_t>(s.size());
        if (count > max_paths) return max_paths + 1;
    }
    return count;
}

}  // namespace

Ref parse_brace_expansion_body(PyObject* const* args) {
    PyObject* text = args[1];
    Ref re = load_global(Id::re);
    Ref search = getattr(re.get(), Id::search);
    Ref pattern = compiled_pattern(search.get());
    Ref match = pattern ? call_method(pattern.get(), Id::search, text)
                        : call(search.get(), str(Id::brace_pattern), text);
    if (!truth(match.get())) {
        Ref result = own(PyList_New(1));
        PyList_SET_ITEM(result.get(), 0, Py_NewRef(text));
        return result;
    }

    // Cut the text into segments: one per brace group, each choice being
    // lead + item + suffix, and the text after the last group.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    std::vector<Segment> segments;
    std::vector<Span> items;
    Py_ssize_t done = 0;  // where the text not yet cut starts
    while (true) {
        const Span group = items_span(match.get());
        Ref end_value = call_method(match.get(), Id::end);
        const Py_ssize_t end = position(end_value.get());
        const Span lead{done, group.begin - 1};
        const Span suffix{group.end + 1, end};
        if (lead.begin > lead.end || group.begin > group.end || suffix.begin > suffix.end || end > length) {
            raise(PyExc_ValueError, "brace pattern match out of range");
        }
        const bool slash = segments.empty() && needs_separator(text, lead);
        split_items(text, group, items);
        Segment& segment = segments.emplace_back();
        segment.reserve(items.size());
        for (const Span& item : items) segment.push_back({lead, slash, item, suffix});
        done = end;
        if (done >= length) break;
        if (!pattern) pattern = getattr(match.get(), Id::re);
        Ref start = own(PyLong_FromSsize_t(done));
        match = call_method(pattern.get(), Id::search, text, start.get());
        if (!truth(match.get())) {
            segments.push_back({Choice{{done, length}, false, {}, {}}});
            break;
        }
    }

    const Py_ssize_t count = count_paths(segments);
    if (count > max_paths) {
        PyErr_SetObject(PyExc_ValueError, str(Id::too_many_paths));
        throw_python_error();
    }
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return product<Py_UCS1>(text, segments, count, PyUnicode_1BYTE_KIND);
        case PyUnicode_2BYTE_KIND:
            return product<Py_UCS2>(text, segments, count, PyUnicode_2BYTE_KIND);
        default:
            return product<Py_UCS4>(text, segments, count, PyUnicode_4BYTE_KIND);
    }
}

}  // namespace crenly::creation
