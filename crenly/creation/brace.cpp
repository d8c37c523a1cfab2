#include "crenly/creation/brace.hpp"

#include <cstdint>
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

/// Length of `group(n)` of `match`.
Py_ssize_t group_length(PyObject* match, PyObject* n) {
    Ref group = call_method(match, Id::group, n);
    if (!PyUnicode_Check(group.get())) raise(PyExc_TypeError, "brace pattern group is not a str");
    return PyUnicode_GET_LENGTH(group.get());
}

/// `match.end()` as a position.
Py_ssize_t match_end(PyObject* match) {
    Ref end = call_method(match, Id::end);
    const Py_ssize_t value = PyLong_AsSsize_t(end.get());
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

/// Builds the path made of one choice per segment, selected by `index`.
template <class Char>
Ref build_path(PyObject* text, const std::vector<Segment>& segments, const std::vector<std::size_t>& index,
               std::vector<Char>& buffer, int kind) {
    const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
    buffer.clear();
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Choice& c = segments[s][index[s]];
        buffer.insert(buffer.end(), data + c.lead.begin, data + c.lead.end);
        if (c.slash) buffer.push_back(static_cast<Char>('/'));
        buffer.insert(buffer.end(), data + c.item.begin, data + c.item.end);
        buffer.insert(buffer.end(), data + c.suffix.begin, data + c.suffix.end);
    }
    // Narrows to the smallest representation, as every str must have.
    return own(PyUnicode_FromKindAndData(kind, buffer.data(), static_cast<Py_ssize_t>(buffer.size())));
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
    Ref match = call(search.get(), str(Id::brace_pattern), text);
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
    Ref pattern;  // the compiled pattern, for the searches after the first
    Py_ssize_t position = 0;
    while (true) {
        const Py_ssize_t end = match_end(match.get());
        const Py_ssize_t suffix_length = group_length(match.get(), state.int3.get());
        const Py_ssize_t items_length = group_length(match.get(), state.int2.get());
        const Span suffix{end - suffix_length, end};
        const Span group{suffix.begin - 1 - items_length, suffix.begin - 1};
        const Span lead{position, group.begin - 1};
        if (lead.begin > lead.end || lead.end < 0 || end > length) {
            raise(PyExc_ValueError, "brace pattern match out of range");
        }
        const bool slash = segments.empty() && needs_separator(text, lead);
        split_items(text, group, items);
        Segment& segment = segments.emplace_back();
        segment.reserve(items.size());
        for (const Span& item : items) segment.push_back({lead, slash, item, suffix});
        position = end;
        if (position >= length) break;
        if (!pattern) pattern = getattr(match.get(), Id::re);
        Ref start = own(PyLong_FromSsize_t(position));
        match = call_method(pattern.get(), Id::search, text, start.get());
        if (!truth(match.get())) {
            segments.push_back({Choice{{position, length}, false, {}, {}}});
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
