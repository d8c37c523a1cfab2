#include "crenly/creation/brace.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/text_kind.hpp"
#include "crenly/creation/proof/proof.hpp"

namespace crenly::creation {

using namespace crenly::core;
using namespace crenly::creation::proof;

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

// ---- The genuine re.search, proved

/// What re.search(pattern, text) runs up to the match, proved genuine: the
/// module global re, its search and _compile (code as re's own file defines
/// them, search's default flags 0), what _compile reads first (isinstance
/// of RegexFlag, type, the cache _cache2), and re's compiled pattern type
/// (a C type of the _sre module, which nothing can change).
struct ReFacts {
    PyObject* re = nullptr;
    PyObject* search = nullptr;
    PyObject* compile = nullptr;
    PyObject* cache = nullptr;
    PyObject* pattern_type = nullptr;
};

ReFacts re_facts;

/// Whether `type` is the compiled pattern type of the _sre module.
bool is_sre_pattern_type(PyObject* type) {
    if (!PyType_Check(type)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (!(t->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) || (t->tp_flags & Py_TPFLAGS_BASETYPE) ||
        std::strcmp(t->tp_name, "re.Pattern") != 0 || !(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        return false;
    }
    PyObject* module = PyType_GetModule(t);  // borrowed
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    const PyModuleDef* def = PyModule_GetDef(module);
    return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, "_sre") == 0;
}

void build_re(Prover& p) {
    ReFacts facts;
    facts.re = p.bound(state.namespace_.get(), "re");
    expect(PyModule_CheckExact(facts.re));
    p.keep_type(facts.re);
    PyObject* re_dict = PyModule_GetDict(facts.re);
    facts.search = p.bound(re_dict, "search");
    p.function(facts.search, facts.re, "search");
    PyObject* defaults = PyFunction_GET_DEFAULTS(facts.search);
    expect(defaults != nullptr && PyTuple_CheckExact(defaults) && PyTuple_GET_SIZE(defaults) == 1 &&
           PyTuple_GET_ITEM(defaults, 0) == state.int0.get() &&
           PyFunction_GET_KW_DEFAULTS(facts.search) == nullptr);
    facts.compile = p.bound(re_dict, "_compile");
    p.function(facts.compile, facts.re, "_compile");
    expect(PyFunction_GET_DEFAULTS(facts.compile) == nullptr &&
           PyFunction_GET_KW_DEFAULTS(facts.compile) == nullptr);
    facts.cache = p.bound(re_dict, "_cache2");
    expect(PyDict_CheckExact(facts.cache));
    // isinstance(flags, RegexFlag): RegexFlag's metaclass checks instances
    // as type does.
    PyObject* flag = p.bound(re_dict, "RegexFlag");
    expect(PyType_Check(flag));
    p.keep_type(flag);
    Ref type_dict = own(PyType_GetDict(&PyType_Type));
    Ref instancecheck =
        dict_get(type_dict.get(), Ref(own(PyUnicode_FromString("__instancecheck__"))).get());
    expect(p.attribute(reinterpret_cast<PyObject*>(Py_TYPE(flag)), "__instancecheck__") ==
           instancecheck.get());
    PyObject* builtins = PyModule_GetDict(state.builtins.get());
    expect(Prover::is_c_function(p.bound(builtins, "isinstance"), "builtins", "isinstance") &&
           p.bound(builtins, "type") == reinterpret_cast<PyObject*>(&PyType_Type));
    p.absent(re_dict, "isinstance");
    p.absent(re_dict, "type");
    facts.pattern_type = p.bound(re_dict, "Pattern");
    expect(is_sre_pattern_type(facts.pattern_type));
    re_facts = facts;
}

// search, then _compile.
Proof re_proof{build_re, 2};

}  // namespace

std::uint64_t parse_brace_expansion_shortcut_calls() noexcept { return re_proof.taken_count(); }

namespace {

/// The key of the brace pattern in re's cache, and the compiled brace
/// pattern last found there.
class BraceCache final : public Slot {
public:
    Ref key;
    Ref regex;

private:
    void release() override {
        key.reset();
        regex.reset();
    }
};

BraceCache brace_cache;

/// What `_compile(pattern, 0)` finds in re's cache for the brace pattern
/// (its first step), or empty.
Ref cached_regex() {
    if (!brace_cache.key) {
        // The key `_compile` files a pattern under: (type, text, flags).
        brace_cache.key = own(PyTuple_Pack(3, reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                           brace_pattern.get(), state.int0.get()));
    }
    return dict_get(re_facts.cache, brace_cache.key.get());
}

/// Whether `regex` is the brace pattern compiled by re (the text as given,
/// default flags): its matches are then those that find_group finds.
bool is_brace_regex(const Ref& regex) {
    if (Py_TYPE(regex.get()) != reinterpret_cast<PyTypeObject*>(re_facts.pattern_type)) {
        return false;
    }
    if (regex.get() == brace_cache.regex.get()) return true;
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
    brace_cache.regex = Ref::borrow(regex.get());
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

    // re's own search is followed step by step while it is the very one
    // proved: `_compile` (unless its cache holds the answer), then the
    // compiled brace pattern is matched here, in linear time (the compiled
    // one backtracks). Whatever else these turn out to be is called as re's
    // search would call it.
    std::vector<Segment> segments;
    Ref match;
    bool here = false;
    if (re_proof.holds() && re.get() == re_facts.re && search.get() == re_facts.search) {
        Ref regex = cached_regex();
        if (!regex) regex = call(re_facts.compile, brace_pattern, state.int0);
        // Whatever the cache holds is what re's search would use.
        here = is_brace_regex(regex);
        if (!here) match = call_method(regex, Id::search, text);
    } else {
        match = call(search, brace_pattern, text);
    }
    if (here) {
        re_proof.taken();
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
