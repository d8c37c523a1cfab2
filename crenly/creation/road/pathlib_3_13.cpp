// The native road's proof table for CPython 3.13's pathlib (a package: the
// path classes in pathlib._local, their bases and is_dir/is_file in
// pathlib._abc; posixpath.splitroot is posix's C function).
#include "crenly/creation/road/pathlib_tables.hpp"

namespace crenly::creation::road {

namespace {

// MRO of the path class: PosixPath, Path, PathBase, PurePosixPath, PurePath,
// PurePathBase, object.
enum Index : std::size_t { posix_path, path, path_base, pure_posix, pure, pure_base, object };

constexpr ClassSpec classes[] = {
    {"pathlib._local", "PosixPath"}, {"pathlib._local", "Path"},
    {"pathlib._abc", "PathBase"},    {"pathlib._local", "PurePosixPath"},
    {"pathlib._local", "PurePath"},  {"pathlib._abc", "PurePathBase"}};

constexpr AttributeSpec attributes[] = {
    {"__new__", posix_path, path, Kind::static_method},
    {"__init__", posix_path, path, Kind::function},
    {"__init__", path_base, pure, Kind::function},  // super().__init__ from Path
    {"mkdir", posix_path, path, Kind::function},
    {"is_dir", posix_path, path_base, Kind::function},
    {"is_file", posix_path, path_base, Kind::function},
    {"stat", posix_path, path, Kind::function},
    {"touch", posix_path, path, Kind::function},
    {"absolute", posix_path, path, Kind::function},
    {"__str__", posix_path, pure, Kind::function},
    {"__fspath__", posix_path, pure, Kind::function},
    {"_raw_path", posix_path, pure, Kind::property},
    {"with_segments", posix_path, pure_base, Kind::function},
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

constexpr const char* function_modules[] = {"pathlib._local", "pathlib._abc"};

constexpr PosixpathSpec posixpath[] = {
    {"splitroot", "posix", "_path_splitroot_ex"}, {"splitdrive"}, {"_get_sep"}};

// is_dir and is_file test the mode with stat's own functions; _parse_path
// interns the parts.
constexpr GlobalSpec globals[] = {{"pathlib._abc", "S_ISDIR", "_stat", "S_ISDIR"},
                                  {"pathlib._abc", "S_ISREG", "_stat", "S_ISREG"},
                                  {"pathlib._local", "sys", "sys"},
                                  {"sys", "intern", "sys", "intern"},
                                  {"pathlib._local", "ntpath", "ntpath"}};

constexpr KeywordSpec keywords[] = {{"stat", "follow_symlinks", Default::true_},
                                    {"is_dir", "follow_symlinks", Default::true_},
                                    {"is_file", "follow_symlinks", Default::true_}};

// is_dir and is_file call self.stat(), which calls os.stat; absolute calls
// os.getcwd() twice, last for a path without a root.
constexpr CallSpec calls[] = {
    {Call::mkdir_os_mkdir, "mkdir", "mkdir"},
    {Call::mkdir_is_dir, "mkdir", "is_dir"},
    {Call::is_dir_os_stat, "is_dir", "stat"},
    {Call::is_dir_os_stat, "stat", "stat"},
    {Call::touch_os_utime, "touch", "utime"},
    {Call::touch_os_open, "touch", "open"},
    {Call::touch_os_close, "touch", "close"},
    {Call::is_file_os_stat, "is_file", "stat"},
    {Call::is_file_os_stat, "stat", "stat"},
    {Call::absolute_os_getcwd, "absolute", "getcwd", true},
};

}  // namespace

// parent: _from_parsed_parts, _from_parsed_string, with_segments, Path's and
// PurePath's __init__: six deep (measured), and one more to spare.
constinit const PathlibTable pathlib_3_13 = {
    .frames = 7,
    .classes = classes,
    .path = path,
    .attributes = attributes,
    .path_init = true,
    .classes_module = "pathlib._local",
    .function_modules = function_modules,
    .posixpath = posixpath,
    .globals = globals,
    .os_path = true,
    .keywords = keywords,
    .ignore_error = "pathlib._abc",
    .calls = calls,
};

}  // namespace crenly::creation::road
