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
    {"parser", posix_path, pure_posix, Kind::flavour},
    // Instances get and set their attributes the ordinary way.
    {"__getattribute__", posix_path, object, Kind::object},
    {"__setattr__", posix_path, object, Kind::object},
};

constexpr const char* function_modules[] = {"pathlib._local", "pathlib._abc"};

constexpr PosixpathSpec posixpath[] = {
    {"splitroot", "posix", "_path_splitroot_ex"}, {"splitdrive"}, {"_get_sep"}};

constexpr const char* follow_symlinks[] = {"stat", "is_dir", "is_file"};

}  // namespace

// parent: _from_parsed_parts, _from_parsed_string, with_segments, Path's and
// PurePath's __init__: six deep (measured), and one more to spare.
constinit const PathlibTable pathlib_3_13 = {
    .frames = 7,
    .classes = classes,
    .path = path,
    .attributes = attributes,
    .classes_module = "pathlib._local",
    .helpers_module = "pathlib._abc",
    .function_modules = function_modules,
    .posixpath = posixpath,
    .os_path = true,
    .follow_symlinks = follow_symlinks,
};

}  // namespace crenly::creation::road
