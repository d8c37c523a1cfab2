#include "crenly/creation/brace.hpp"

#include <algorithm>
#include <cstring>
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

// The pattern whose matches re's search would give: prefix, group, suffix.
const Text brace_pattern{"([^{]*)\\{([^}]+)\\}([^{]*)"};

// The program that re's compiler writes for the brace pattern, in _sre's
// opcodes (re._constants.OPCODES, the same numbers from 3.12 on): what a
// compiled pattern must run for its matches to be those that cut_here finds.
enum Op : std::uint32_t {
    SUCCESS = 1,
    INFO = 14,
    LITERAL = 16,
    MARK = 17,
    NOT_LITERAL = 20,
    REPEAT_ONE = 24,
};
constexpr std::uint32_t unbounded = 0xFFFFFFFF;  // MAXREPEAT, for a code unit of 4 bytes
// clang-format off
constexpr std::uint32_t brace_program[] = {
    INFO, 4, 0, 3, unbounded,                                                 // at least 3 long
    MARK, 0, REPEAT_ONE, 6, 0, unbounded, NOT_LITERAL, '{', SUCCESS, MARK, 1,  // ([^{]*)
    LITERAL, '{',                                                             // \{
    MARK, 2, REPEAT_ONE, 6, 1, unbounded, NOT_LITERAL, '}', SUCCESS, MARK, 3,  // ([^}]+)
    LITERAL, '}',                                                             // \}
    MARK, 4, REPEAT_ONE, 6, 0, unbounded, NOT_LITERAL, '{', SUCCESS, MARK, 5,  // ([^{]*)
    SUCCESS};
// clang-format on
constexpr Py_ssize_t brace_groups = 3;
// re.UNICODE (_sre's SRE_FLAG_UNICODE): the flags of a str pattern compiled
// without flags.
constexpr long re_unicode = 32;

/// A half-open range of code points of the text being expanded.
struct Span {
    Py_ssize_t begin = 0;
    Py_ssize_t end = 0;
    [[nodiscard]] Py_ssize_t size() const noexcept { return end - begin; }
};

/// One brace group: each path holds lead, an optional "/", one of the items
/// and the suffix.
struct Segment {
    Span lead;
    bool slash = false;
    Span suffix;
    std::vector<Span> items;

    /// The length of the part of a path that `item` stands in.
    [[nodiscard]] Py_ssize_t length(Span item) const noexcept {
        return lead.size() + (slash ? 1 : 0) + item.size() + suffix.size();
    }
};

/// A position reported by a match (an int).
Py_ssize_t position(PyObject* value) {
    const Py_ssize_t result = PyLong_AsSsize_t(value);
    if (result == -1 && PyErr_Occurred()) throw_python_error();
    return result;
}

/// What re.search(pattern, text) runs up to the lookup in re's cache, proved
/// genuine: the module global re, its search and _compile (code as re's own
/// file defines them, search's default flags 0), what _compile reads first
/// (isinstance of RegexFlag, type, the cache _cache2), and re's compiled
/// pattern type (a C type of the _sre module, which nothing can change);
/// read only while re_proof holds.
struct ProvedRe {
    PyObject* re = nullptr;
    PyObject* search = nullptr;
    PyObject* cache = nullptr;
    PyTypeObject* pattern_type = nullptr;
};

ProvedRe proved_re;

/// What the brace shortcut makes once: the key of the brace pattern in re's
/// cache, a compiled pattern of the brace program (made by _sre's own
/// compile), the compiled pattern last found to run it, and the cache whose
/// keys were last found plain, with its stamp then.
struct BraceObjects final : Slot {
    Ref key;
    Ref program;
    Ref found;
    PyObject* cache = nullptr;
    std::uint64_t plain_at = 0;

    void release() override {
        key.reset();
        program.reset();
        found.reset();
        cache = nullptr;
    }
};

BraceObjects objects;

/// Makes the key and the compiled brace program, once.
void make_objects(Prover& p, PyTypeObject* pattern_type) {
    if (objects.program) return;
    // The key `_compile` files a pattern under: (type, text, flags).
    Ref key = own(PyTuple_Pack(3, reinterpret_cast<PyObject*>(&PyUnicode_Type), brace_pattern.get(),
                               state.int0.get()));
    Ref sre = own(PyImport_ImportModule("_sre"));
    Ref compile = own(PyObject_GetAttrString(sre.get(), "compile"));
    require_genuine(Prover::is_c_function(compile.get(), "_sre", "compile"));
    Ref code = own(PyList_New(std::ssize(brace_program)));
    for (Py_ssize_t i = 0; i < std::ssize(brace_program); ++i) {
        PyList_SET_ITEM(code.get(), i, require(PyLong_FromUnsignedLong(brace_program[i])));
    }
    Ref no_names = own(PyDict_New());
    Ref index_names = own(PyTuple_New(brace_groups + 1));
    for (Py_ssize_t i = 0; i <= brace_groups; ++i) {
        PyTuple_SET_ITEM(index_names.get(), i, Py_NewRef(Py_None));
    }
    Ref program =
        own(PyObject_CallFunction(compile.get(), "OlOnOO", brace_pattern.get(), re_unicode,
                                  code.get(), brace_groups, no_names.get(), index_names.get()));
    require_genuine(Py_TYPE(program.get()) == pattern_type);
    p.hold(program.get());
    objects.key = std::move(key);
    objects.program = std::move(program);
}

/// Records what re's search stands on, or throws NotGenuine.
void build_re(Prover& p) {
    ProvedRe found;
    found.re = p.bound(state.namespace_.get(), "re");
    require_genuine(PyModule_CheckExact(found.re));
    p.keep_type(found.re);
    PyObject* re_dict = PyModule_GetDict(found.re);
    found.search = p.bound(re_dict, "search");
    p.function(found.search, found.re, "search");
    PyObject* defaults = PyFunction_GET_DEFAULTS(found.search);
    require_genuine(defaults != nullptr && PyTuple_CheckExact(defaults) &&
                    PyTuple_GET_SIZE(defaults) == 1 &&
                    PyTuple_GET_ITEM(defaults, 0) == state.int0.get() &&
                    PyFunction_GET_KW_DEFAULTS(found.search) == nullptr);
    PyObject* compile = p.bound(re_dict, "_compile");
    p.function(compile, found.re, "_compile");
    require_genuine(PyFunction_GET_DEFAULTS(compile) == nullptr &&
                    PyFunction_GET_KW_DEFAULTS(compile) == nullptr);
    found.cache = p.bound(re_dict, "_cache2");
    require_genuine(PyDict_CheckExact(found.cache));
    // isinstance(flags, RegexFlag): RegexFlag's metaclass checks instances
    // as type does.
    PyObject* flag = p.bound(re_dict, "RegexFlag");
    require_genuine(PyType_Check(flag));
    p.keep_type(flag);
    Ref type_dict = own(PyType_GetDict(&PyType_Type));
    Ref instancecheck =
        dict_get(type_dict.get(), Ref(own(PyUnicode_FromString("__instancecheck__"))).get());
    require_genuine(p.attribute(reinterpret_cast<PyObject*>(Py_TYPE(flag)), "__instancecheck__") ==
                    instancecheck.get());
    PyObject* builtins = PyModule_GetDict(state.builtins.get());
    require_genuine(
        Prover::is_c_function(p.bound(builtins, "isinstance"), "builtins", "isinstance") &&
        p.bound(builtins, "type") == reinterpret_cast<PyObject*>(&PyType_Type));
    p.absent(re_dict, "isinstance");
    p.absent(re_dict, "type");
    // The compiled pattern type of the _sre module.
    PyObject* pattern = p.bound(re_dict, "Pattern");
    require_genuine(PyType_Check(pattern));
    found.pattern_type = reinterpret_cast<PyTypeObject*>(pattern);
    const unsigned long flags = found.pattern_type->tp_flags;
    require_genuine((flags & Py_TPFLAGS_IMMUTABLETYPE) && !(flags & Py_TPFLAGS_BASETYPE) &&
                    std::strcmp(found.pattern_type->tp_name, "re.Pattern") == 0 &&
                    (flags & Py_TPFLAGS_HEAPTYPE));
    PyObject* module = PyType_GetModule(found.pattern_type);  // borrowed
    if (module == nullptr) PyErr_Clear();
    const PyModuleDef* def = module != nullptr ? PyModule_GetDef(module) : nullptr;
    require_genuine(def != nullptr && def->m_name != nullptr &&
                    std::strcmp(def->m_name, "_sre") == 0);
    make_objects(p, found.pattern_type);
    p.on_commit([found] { proved_re = found; });
}

// search, then _compile.
Proof re_proof{build_re, 2};

/// Whether `flags` is an int, of a class that compares as int does (re's sub
/// and split file their patterns under such a subclass from 3.13 on).
bool compares_as_int(PyObject* flags) {
    return PyLong_Check(flags) && Py_TYPE(flags)->tp_richcompare == PyLong_Type.tp_richcompare;
}

/// Whether looking the brace key up in `cache` runs no Python code: every
/// key is re's own kind, (type, text, flags), whose comparison with the
/// brace key stays in C (a class of a metaclass of its own, a text of
/// another type, or flags that compare otherwise than an int does could
/// compare by Python code). Kept while the cache's stamp stays.
bool plain_keys(PyObject* cache) {
    const std::uint64_t now = stamp(cache);
    if (objects.cache == cache && objects.plain_at == now) return true;
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(cache, &at, &key, &value)) {
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 3) return false;
        PyObject* kind = PyTuple_GET_ITEM(key, 0);
        if (!Py_IS_TYPE(kind, &PyType_Type)) return false;
        // Only a key of str texts compares its text and flags with the brace key's.
        if (kind == reinterpret_cast<PyObject*>(&PyUnicode_Type) &&
            !(PyUnicode_CheckExact(PyTuple_GET_ITEM(key, 1)) &&
              compares_as_int(PyTuple_GET_ITEM(key, 2)))) {
            return false;
        }
    }
    objects.cache = cache;
    objects.plain_at = now;
    return true;
}

/// Whether `regex`, found in re's cache, runs the brace program (its matches
/// are then those that cut_here finds): equal to the program made by _sre
/// (a compiled pattern's equality compares flags, program and text, in C
/// once the text is an exact str), with its three groups.
bool is_brace_regex(const Ref& regex) {
    if (Py_TYPE(regex.get()) != proved_re.pattern_type) return false;
    if (regex.get() == objects.found.get()) return true;
    Ref source = getattr(regex, Id::pattern);
    if (!PyUnicode_CheckExact(source.get()) ||
        !require_status(PyObject_RichCompareBool(regex.get(), objects.program.get(), Py_EQ))) {
        return false;
    }
    Ref groups = own(PyObject_GetAttrString(regex.get(), "groups"));
    if (PyLong_AsSsize_t(groups.get()) != brace_groups) return PyErr_Clear(), false;
    // Compiled patterns are immutable: one found right once stays right.
    objects.found = Ref::borrow(regex.get());
    return true;
}

/// Adds the segment of one match: the text from `done` up to the "{" before
/// `group`, the group's items, and the suffix from the "}" after it to
/// `end`. The positions are checked first, without arithmetic that could
/// overflow, since a substitute search may report any numbers.
void add_segment(PyObject* text, Py_ssize_t done, Span group, Py_ssize_t end,
                 std::vector<Segment>& segments) {
    // done >= 0, so every position below is in [1, length] once these hold.
    if (!(done < group.begin && group.begin <= group.end && group.end < end &&
          end <= PyUnicode_GET_LENGTH(text))) {
        raise(PyExc_ValueError, "brace pattern match out of range");
    }
    Segment& segment =
        segments.emplace_back(Segment{{done, group.begin - 1}, false, {group.end + 1, end}, {}});
    // A "/" goes after the first lead, unless it is empty or ends with "/"
    // or a backslash.
    if (segments.size() == 1 && segment.lead.size() > 0) {
        const Py_UCS4 last = PyUnicode_READ_CHAR(text, segment.lead.end - 1);
        segment.slash = last != '/' && last != '\\';
    }
    // The items: cut at commas, each part split at runs of white space (as
    // str.split() knows it); empty items never arise.
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = group.begin;
    for (Py_ssize_t i = group.begin; i <= group.end; ++i) {
        if (i < group.end) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (ch != ',' && !Py_UNICODE_ISSPACE(ch)) continue;
        }
        if (i > start) segment.items.push_back({start, i});
        start = i + 1;
    }
}

/// Cuts `text` into segments by matching the brace pattern here, as re's own
/// search would. For any start, "([^{]*)" runs to the next "{", so a match is
/// decided by that "{": it matches when a character other than "}" follows
/// and a "}" comes later. Each character is looked at once, and the next
/// search starts where this match ends, so cutting a whole text is linear.
template <class Char>
void cut_here(PyObject* text, std::vector<Segment>& segments) {
    const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t done = 0;  // where the text not yet cut starts
    for (Py_ssize_t open = 0; open < length; ++open) {
        if (data[open] != '{') continue;
        // "{}" or a last "{": the search moves on.
        if (open + 1 == length || data[open + 1] == '}') continue;
        Py_ssize_t close = open + 2;
        while (close < length && data[close] != '}') ++close;
        if (close == length) return;  // no "}" after this "{", nor after any later one
        Py_ssize_t end = close + 1;
        while (end < length && data[end] != '{') ++end;
        add_segment(text, done, {open + 1, close}, end, segments);
        done = end;
        open = end - 1;
    }
}

/// Cuts `text` into segments through the match objects of a substitute
/// search, starting with `match` (a true value): each next match comes from
/// `pattern.search(text, end)`, the pattern being `match.re` when none is given.
void cut_by_matches(PyObject* text, Ref match, std::vector<Segment>& segments) {
    Ref pattern;
    Py_ssize_t done = 0;  // where the text not yet cut starts
    while (true) {
        Ref span = call_method(match, Id::span, state.int2);
        if (!PyTuple_Check(span.get()) || PyTuple_GET_SIZE(span.get()) != 2) {
            raise(PyExc_TypeError, "brace pattern span is not a pair");
        }
        const Span group{position(PyTuple_GET_ITEM(span.get(), 0)),
                         position(PyTuple_GET_ITEM(span.get(), 1))};
        const Py_ssize_t end = position(call_method(match, Id::end).get());
        add_segment(text, done, group, end, segments);
        done = end;
        if (done >= PyUnicode_GET_LENGTH(text)) return;
        if (!pattern) pattern = getattr(match, Id::re);
        match = call_method(pattern, Id::search, text, own(PyLong_FromSsize_t(done)));
        if (!truth(match)) return;
    }
}

/// The number of paths: ValueError when there would be more than max_paths,
/// or when they would hold more than max_chars characters together.
Py_ssize_t count_paths(const std::vector<Segment>& segments) {
    if (std::ranges::any_of(segments, [](const Segment& s) { return s.items.empty(); })) return 0;
    Py_ssize_t count = 1;
    for (const Segment& s : segments) {
        count *= static_cast<Py_ssize_t>(s.items.size());
        if (count > max_paths) {
            raise(PyExc_ValueError, "brace pattern expands to more than 1000000 paths");
        }
    }
    // Every item of a segment stands in count / size paths. Each sum is
    // checked as it grows: at most 10**8 * 10**6, no overflow.
    auto too_long = [] {
        raise(PyExc_ValueError, "brace pattern expands to more than 100000000 characters");
    };
    Py_ssize_t total = 0;
    for (const Segment& s : segments) {
        Py_ssize_t chars = 0;  // of all items of this segment
        for (const Span& item : s.items) {
            chars += s.length(item);
            if (chars > max_chars) too_long();
        }
        total += chars * (count / static_cast<Py_ssize_t>(s.items.size()));
        if (total > max_chars) too_long();
    }
    return count;
}

/// The cartesian product of the segments' items, leftmost varying slowest,
/// as a list of `count` new str.
template <class Char>
Ref product(PyObject* text, const std::vector<Segment>& segments, Py_ssize_t count) {
    const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
    // Every piece of an ASCII text is ASCII, so its paths are written in place.
    const bool ascii = PyUnicode_IS_ASCII(text);
    Ref result = own(PyList_New(count));
    std::vector<std::size_t> index(segments.size(), 0);
    std::vector<Char> buffer;
    for (Py_ssize_t n = 0; n < count; ++n) {
        Py_ssize_t length = 0;
        for (std::size_t s = 0; s < segments.size(); ++s) {
            length += segments[s].length(segments[s].items[index[s]]);
        }
        Ref path;
        Char* out = nullptr;
        if (ascii) {
            path = own(PyUnicode_New(length, 127));
            out = static_cast<Char*>(PyUnicode_DATA(path.get()));
        } else {
            buffer.resize(static_cast<std::size_t>(length));
            out = buffer.data();
        }
        for (std::size_t s = 0; s < segments.size(); ++s) {
            const Segment& segment = segments[s];
            const Span item = segment.items[index[s]];
            out = std::copy(data + segment.lead.begin, data + segment.lead.end, out);
            if (segment.slash) *out++ = static_cast<Char>('/');
            out = std::copy(data + item.begin, data + item.end, out);
            out = std::copy(data + segment.suffix.begin, data + segment.suffix.end, out);
        }
        if (!ascii) {
            // Narrows to the smallest representation, as every str must have.
            path = own(PyUnicode_FromKindAndData(PyUnicode_KIND(text), buffer.data(), length));
        }
        PyList_SET_ITEM(result.get(), n, path.release());
        for (std::size_t s = segments.size(); s-- > 0;) {
            if (++index[s] < segments[s].items.size()) break;
            index[s] = 0;
        }
    }
    return result;
}

}  // namespace

std::uint64_t parse_brace_expansion_shortcut_calls() noexcept { return re_proof.taken_count(); }

Ref parse_brace_expansion(PyObject* /*self*/, PyObject* text) {
    Ref re = load_global(Id::re);
    Ref search = getattr(re, Id::search);

    // re's own search is followed step by step while it is the very one
    // proved and its cache lookup runs no Python code: a compiled pattern
    // that runs the brace program is matched here, in linear time (the
    // compiled one backtracks). Otherwise (a miss, any other pattern) re's
    // search runs as it is: the lookup it repeats has no effect.
    std::vector<Segment> segments;
    Ref match;  // stays empty when the text is cut here
    Ref regex;
    if (re_proof.holds() && re.get() == proved_re.re && search.get() == proved_re.search &&
        plain_keys(proved_re.cache)) {
        regex = dict_get(proved_re.cache, objects.key.get());
    }
    if (regex && is_brace_regex(regex)) {
        re_proof.taken();
        with_char_type(text, [&]<class Char>(Char) { cut_here<Char>(text, segments); });
    } else {
        match = call(search, brace_pattern, text);
    }
    if (match && truth(match)) cut_by_matches(text, std::move(match), segments);
    if (segments.empty()) {
        Ref unchanged = own(PyList_New(1));
        PyList_SET_ITEM(unchanged.get(), 0, Py_NewRef(text));
        return unchanged;
    }
    // The text after the last match ends every path.
    segments.back().suffix.end = PyUnicode_GET_LENGTH(text);

    const Py_ssize_t count = count_paths(segments);  // both bounds checked before any path is built
    return with_char_type(text,
                          [&]<class Char>(Char) { return product<Char>(text, segments, count); });
}

}  // namespace crenly::creation
