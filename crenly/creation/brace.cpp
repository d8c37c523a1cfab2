#include "crenly/creation/brace.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "crenly/module/globals.hpp"
#include "crenly/module/protocol.hpp"
#include "crenly/module/text_kind.hpp"

namespace crenly::creation {

using namespace crenly::module;

namespace {

constexpr Py_ssize_t max_paths = 1000000;
constexpr Py_ssize_t max_chars = 100000000;
// The flags of a str pattern compiled without flags (re.UNICODE).
constexpr long unicode_flag = 32;

// The pattern whose matches re's search would give: prefix, group, suffix.
const Text brace_pattern{"([^{]*)\\{([^}]+)\\}([^{]*)"};
const Text too_many_paths{"brace pattern expands to more than 1000000 paths"};
const Text too_many_chars{"brace pattern expands to more than 100000000 characters"};

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
    Ref span = call_method(match, Id::span, state.int2);
    if (!PyTuple_Check(span.get()) || PyTuple_GET_SIZE(span.get()) != 2) {
        raise(PyExc_TypeError, "brace pattern span is not a pair");
    }
    return {position(PyTuple_GET_ITEM(span.get(), 0)), position(PyTuple_GET_ITEM(span.get(), 1))};
}

// ---- The genuine re.search, recognised by what it is

/// Whether `f` is the function `name` of the re module whose namespace is
/// `re_dict`: a plain function defined in that namespace under that name,
/// with no closure and no keyword defaults. Its code object, once found so,
/// is kept in `known` so that the next check is a pointer compare.
bool is_re_function(PyObject* f, PyObject* re_dict, Id name, Ref& known) {
    if (f == nullptr || !PyFunction_Check(f) || PyFunction_GET_GLOBALS(f) != re_dict ||
        PyFunction_GET_CLOSURE(f) != nullptr || PyFunction_GET_KW_DEFAULTS(f) != nullptr) {
        return false;
    }
    PyObject* code = PyFunction_GET_CODE(f);
    if (code == known.get()) return true;
    PyObject* qualname = reinterpret_cast<PyCodeObject*>(code)->co_qualname;
    if (!PyUnicode_Check(qualname) || PyUnicode_Compare(qualname, str(name)) != 0) return false;
    known = Ref::borrow(code);
    return true;
}

/// re's own `_compile`, when `search` is re's own search function, which
/// does `_compile(pattern, flags).search(string)` with the default flags 0,
/// and the `_compile` it calls is re's own too; otherwise empty.
Ref genuine_compile(PyObject* search) {
    // Held: a lookup may compare keys by Python code, which may unload re.
    Ref re = dict_get(PyImport_GetModuleDict(), str(Id::re));
    if (!re || !PyModule_Check(re.get())) return {};
    PyObject* re_dict = PyModule_GetDict(re.get());  // borrowed from re
    if (!is_re_function(search, re_dict, Id::search, state.re_search_code)) return {};
    PyObject* defaults = PyFunction_GET_DEFAULTS(search);
    if (defaults == nullptr || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1 ||
        PyTuple_GET_ITEM(defaults, 0) != state.int0.get()) {
        return {};
    }
    Ref compile = dict_get(re_dict, str(Id::compile_));
    if (!is_re_function(compile.get(), re_dict, Id::compile_, state.re_compile_code) ||
        PyFunction_GET_DEFAULTS(compile.get()) != nullptr) {
        return {};
    }
    return compile;
}

/// What re's `_compile` returns for the brace pattern without calling it,
/// when that is known: the entry of its cache, which it returns first.
Ref cached_regex(PyObject* compile) {
    Ref cache = dict_get(PyFunction_GET_GLOBALS(compile), str(Id::cache2));
    if (!cache || !PyDict_CheckExact(cache.get())) return {};
    if (!state.brace_cache_key) {
        // The key `_compile` files a pattern under: (type, text, flags).
        state.brace_cache_key = own(PyTuple_Pack(3, reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                                 brace_pattern.get(), state.int0.get()));
    }
    return dict_get(cache.get(), state.brace_cache_key.get());
}

/// Whether `regex` is the brace pattern compiled by re (the text as given,
/// default flags): its matches are then those that find_group finds.
bool is_brace_regex(const Ref& regex) {
    if (regex.get() == state.brace_regex.get()) return true;
    // The compiled patterns of the re module's engine: a type of C code (a
    // class of Python code is neither immutable nor closed to subclasses).
    const PyTypeObject* type = Py_TYPE(regex.get());
    if (std::strcmp(type->tp_name, "re.Pattern") != 0 ||
        !(type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) || (type->tp_flags & Py_TPFLAGS_BASETYPE)) {
        return false;
    }
    Ref source = getattr(regex, Id::pattern);
    Ref flags = getattr(regex, Id::flags);
    int overflow = 0;
    if (!PyUnicode_CheckExact(source.get()) ||
        PyUnicode_Compare(source.get(), brace_pattern.get()) != 0 ||
        !PyLong_CheckExact(flags.get()) ||
        PyLong_AsLongAndOverflow(flags.get(), &overflow) != unicode_flag) {
        return false;
    }
    // Compiled patterns are immutable: one found right once stays right.
    state.brace_regex = Ref::borrow(regex.get());
    return true;
}

/// The first match of the brace pattern in `data` at or after `from`, as
/// re's search finds it: its group of items and where the match ends.
/// For any start, "([^{]*)" runs to the next "{", so the match is decided by
/// that "{": it matches when a character other than "}" follows and a "}"
/// comes later. Each character is looked at once, and the next search
/// starts where this match ends, so cutting a whole text is linear.
template <class Char>
bool find_group(const Char* data, Py_ssize_t length, Py_ssize_t from, Span& group,
                Py_ssize_t& end) noexcept {
    for (Py_ssize_t open = from; open < length; ++open) {
        if (data[open] != '{') continue;
        if (open + 1 == length) return false;
        if (data[open + 1] == '}') continue;  // "{}": the search moves on
        Py_ssize_t close = open + 2;
        while (close < length && data[close] != '}') ++close;
        if (close == length) return false;  // no "}" after this "{", nor after any later one
        end = close + 1;
        while (end < length && data[end] != '{') ++end;
        group = {open + 1, close};
        return true;
    }
    return false;
}

/// Writes the path made of one choice per segment, selected by `index`.
template <class Char>
void write_path(const Char* data, const std::vector<Segment>& segments,
                const std::vector<std::size_t>& index, Char* out) noexcept {
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Choice& c = segments[s][index[s]];
        out = std::copy(data + c.lead.begin, data + c.lead.end, out);
        if (c.slash) *out++ = static_cast<Char>('/');
        out = std::copy(data + c.item.begin, data + c.item.end, out);
        out = std::copy(data + c.suffix.begin, data + c.suffix.end, out);
    }
}

/// The length of the path selected by `index`.
Py_ssize_t path_length(const std::vector<Segment>& segments,
                       const std::vector<std::size_t>& index) noexcept {
    Py_ssize_t length = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Choice& c = segments[s][index[s]];
        length += c.lead.size() + (c.slash ? 1 : 0) + c.item.size() + c.suffix.size();
    }
    return length;
}

/// Builds the path selected by `index` as a new str.
template <class Char>
Ref build_path(PyObject* text, const std::vector<Segment>& segments,
               const std::vector<std::size_t>& index, std::vector<Char>& buffer, int kind) {
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

/// The number of characters of all `count` paths together (count <=
/// max_paths), or max_chars + 1 when there would be more. Every choice of a
/// segment stands in count / size paths.
Py_ssize_t count_chars(const std::vector<Segment>& segments, Py_ssize_t count) noexcept {
    if (count == 0) return 0;
    Py_ssize_t total = 0;
    for (const Segment& s : segments) {
        Py_ssize_t chars = 0;  // of all choices of this segment, at most max_chars + 1
        for (const Choice& c : s) {
            chars += c.lead.size() + (c.slash ? 1 : 0) + c.item.size() + c.suffix.size();
            if (chars > max_chars) return max_chars + 1;
        }
        // At most 10**8 * 10**6: no overflow.
        total += chars * (count / static_cast<Py_ssize_t>(s.size()));
        if (total > max_chars) return max_chars + 1;
    }
    return total;
}

/// Adds the segment of one match: the text from `done` up to the "{" before
/// `group`, the group's items, and the suffix from the "}" after it to
/// `end`. The positions are checked first, without arithmetic that could
/// overflow, since a substitute search may report any numbers.
void add_segment(PyObject* text, Py_ssize_t done, Span group, Py_ssize_t end,
                 std::vector<Segment>& segments, std::vector<Span>& items) {
    // done >= 0, so every position below is in [1, length] once these hold.
    if (!(done < group.begin && group.begin <= group.end && group.end < end &&
          end <= PyUnicode_GET_LENGTH(text))) {
        raise(PyExc_ValueError, "brace pattern match out of range");
    }
    const Span lead{done, group.begin - 1};
    const Span suffix{group.end + 1, end};
    const bool slash = segments.empty() && needs_separator(text, lead);
    split_items(text, group, items);
    Segment& segment = segments.emplace_back();
    segment.reserve(items.size());
    for (const Span& item : items) segment.push_back({lead, slash, item, suffix});
}

/// Cuts `text` into segments by matching the brace pattern here, as re's
/// own search would. False when the pattern does not match at all.
template <class Char>
bool cut_here(PyObject* text, std::vector<Segment>& segments) {
    const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    std::vector<Span> items;
    Span group;
    Py_ssize_t end = 0;
    Py_ssize_t done = 0;  // where the text not yet cut starts
    while (find_group(data, length, done, group, end)) {
        add_segment(text, done, group, end, segments, items);
        done = end;
    }
    if (segments.empty()) return false;
    if (done < length) segments.push_back({Choice{{done, length}, false, {}, {}}});
    return true;
}

/// Cuts `text` into segments through the match objects of a substitute
/// search, starting with `match` (a true value): each next match comes from
/// `pattern.search(text, end)`, the pattern being `match.re` when none is given.
void cut_by_matches(PyObject* text, Ref match, std::vector<Segment>& segments) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    std::vector<Span> items;
    Ref pattern;
    Py_ssize_t done = 0;  // where the text not yet cut starts
    while (true) {
        const Span group = items_span(match.get());
        Ref end_value = call_method(match, Id::end);
        const Py_ssize_t end = position(end_value.get());
        add_segment(text, done, group, end, segments, items);
        done = end;
        if (done >= length) break;
        if (!pattern) pattern = getattr(match, Id::re);
        Ref start = own(PyLong_FromSsize_t(done));
        match = call_method(pattern, Id::search, text, start);
        if (!truth(match)) {
            segments.push_back({Choice{{done, length}, false, {}, {}}});
            break;
        }
    }
}

/// The result when the brace pattern does not match: [text].
Ref unchanged(PyObject* text) {
    Ref result = own(PyList_New(1));
    PyList_SET_ITEM(result.get(), 0, Py_NewRef(text));
    return result;
}

}  // namespace

Ref parse_brace_expansion(PyObject* /*self*/, PyObject* text) {
    Ref re = load_global(Id::re);
    Ref search = getattr(re, Id::search);

    // re's own search is followed step by step: `_compile` (unless its
    // cache already holds the answer), then the compiled brace pattern is
    // matched here, in linear time (the compiled one backtracks). Whatever
    // else these turn out to be is called as re's search would call it.
    std::vector<Segment> segments;
    Ref match;
    bool here = false;
    if (Ref compile = genuine_compile(search.get())) {
        // The brace pattern needs a "{": re's search finds nothing in a
        // text without one, and compiling or looking up the pattern can wait.
        const Py_ssize_t open = PyUnicode_FindChar(text, '{', 0, PyUnicode_GET_LENGTH(text), 1);
        if (open == -2) throw_python_error();
        if (open == -1) return unchanged(text);
        Ref regex = cached_regex(compile.get());
        if (!regex) regex = call(compile, brace_pattern, state.int0);
        here = is_brace_regex(regex);
        if (!here) match = call_method(regex, Id::search, text);
    } else {
        match = call(search, brace_pattern, text);
    }
    if (here) {
        const bool matched =
            with_char_type(text, [&]<class Char>(Char) { return cut_here<Char>(text, segments); });
        if (!matched) return unchanged(text);
    } else {
        if (!truth(match)) return unchanged(text);
        cut_by_matches(text, std::move(match), segments);
    }

    // Both bounds are checked before any path is built.
    const Py_ssize_t count = count_paths(segments);
    if (count > max_paths) {
        PyErr_SetObject(PyExc_ValueError, too_many_paths.get());
        throw_python_error();
    }
    if (count_chars(segments, count) > max_chars) {
        PyErr_SetObject(PyExc_ValueError, too_many_chars.get());
        throw_python_error();
    }
    return with_char_type(text, [&]<class Char>(Char) {
        return product<Char>(text, segments, count, PyUnicode_KIND(text));
    });
}

}  // namespace crenly::creation
