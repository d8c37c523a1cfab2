// The native road's proof table for CPython 3.15's pathlib: 3.14's, with __fspath__
// the very function __str__ and a keyword-only parent_mode for mkdir.
#include "crenly/creation/road/pathlib_tables.hpp"

namespace crenly::creation::road {

namespace {

// MRO of the path class: PosixPath, Path, PurePosixPath, PurePath, object.
enum Index : std::size_t { posix_path, path, pure_posix, pure, object };

constexpr ClassSpec classes[] = {{"pathlib", "PosixPath"},
                                 {"pathlib", "Path"},
                                 {"pathlib", "PurePosixPath"},
                                 {"pathlib", "PurePath"}};

constexpr AttributeSpec attributes[] = {
    {"__new__", posix_path, path, Kind::static_method},
    {"__init__", posix_path, pure, Kind::function},
    {"mkdir", posix_path, path, Kind::function},
    {"is_dir", posix_path, path, Kind::function},
    {"is_file", posix_path, path, Kind::function},
    {"touch", posix_path, path, Kind::function},
    {"absolute", posix_path, path, Kind::function},
    {"__str__", posix_path, pure, Kind::function},
    {"__fspath__", posix_path, pure, Kind::function, "__str__"},
    {"_raw_path", posix_path, pure, Kind::property},
    {"with_segments", posix_path, pure, Kind::function},
    {"_from_parsed_parts", posix_path, pure, Kind::function},
    {"_from_parsed_string", posix_path, pure, Kind::function},
    {"is_absolute", posix_path, pure, Kind::function},
    {"_parse_path", posix_path, pure, Kind::class_method},
    {"_format_parsed_parts", posix_path, pure, Kind::class_method},
    {"drive", posix_path, pure, Kind::property},
    {"root", posix_path, pure, Kind::property},
    {"_tail", posix_path, pure, Kind::property},
    {"parent", posix_path, pure, Kind::property},
    {"_raw_paths", posix_path, pure, Kind::member},
    {"_drv", posix_path, pure, Kind::member},
    {"_root", posix_path, pure, Kind::member},
    {"_tail_cached", posix_path, pure, Kind::member},
    {"_str", posix_path, pure, Kind::member},
    {"parser", posix_path, pure_posix, Kind::parser_module},
    // Instances get and set their attributes the ordinary way.
    {"__getattribute__", posix_path, object, Kind::object},
    {"__setattr__", posix_path, object, Kind::object},
};

constexpr const char* function_modules[] = {"pathlib", "genericpath"};

constexpr PosixpathSpec posixpath[] = {{"splitroot", "posix", "_path_splitroot_ex"},
                                       {"splitdrive"},
                                       {"isdir", nullptr, nullptr, "genericpath"},
                                       {"isfile", nullptr, nullptr, "genericpath"}};

// genericpath's isdir and isfile: os.stat, then stat.S_ISDIR or stat.S_ISREG.
constexpr GlobalSpec globals[] = {{"genericpath", "os", "os"},
                                  {"genericpath", "stat", "stat"},
                                  {"stat", "S_ISDIR", "_stat", "S_ISDIR"},
                                  {"stat", "S_ISREG", "_stat", "S_ISREG"}};

constexpr KeywordSpec keywords[] = {{"is_dir", "follow_symlinks", Default::true_},
                                    {"is_file", "follow_symlinks", Default::true_},
                                    {"mkdir", "parent_mode", Default::none}};

// is_dir and is_file call os.path.isdir or isfile, which call os.stat;
// absolute calls os.getcwd() twice, last for a path without a root.
constexpr CallSpec calls[] = {
    {Call::mkdir_os_mkdir, "mkdir", "mkdir"},
    {Call::mkdir_is_dir, "mkdir", "is_dir"},
    {Call::is_dir_os_stat, "is_dir", "isdir"},
    {Call::is_dir_os_stat, "isdir", "stat", false, "posixpath"},
    {Call::touch_os_utime, "touch", "utime"},
    {Call::touch_os_open, "touch", "open"},
    {Call::touch_os_close, "touch", "close"},
    {Call::is_file_os_stat, "is_file", "isfile"},
    {Call::is_file_os_stat, "isfile", "stat", false, "posixpath"},
    {Call::absolute_os_getcwd, "absolute", "getcwd", true},
};

}  // namespace

// parent: _from_parsed_parts, _from_parsed_string, with_segments and
// Path.__new__; is_dir, os.path.isdir, then os.stat's __fspath__ (which is
// __str__), _format_parsed_parts and posixpath.splitdrive: five deep
// (measured), and one more to spare.
constinit const PathlibTable pathlib_3_15 = {
    .frames = 6,
    .classes = classes,
    .path = path,
    .attributes = attributes,
    .path_init = false,
    .classes_module = "pathlib",
    .function_modules = function_modules,
    .posixpath = posixpath,
    .globals = globals,
    .os_path = true,
    .keywords = keywords,
    .ignore_error = nullptr,
    .calls = calls,
};

}  // namespace crenly::creation::road
