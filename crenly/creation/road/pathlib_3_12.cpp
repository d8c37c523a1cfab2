// The native road's proof table for CPython 3.12's pathlib (one module,
// pathlib.py).
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
    {"__init__", posix_path, path, Kind::function},
    {"__init__", pure_posix, pure, Kind::function},  // super().__init__ from Path
    {"mkdir", posix_path, path, Kind::function},
    {"is_dir", posix_path, path, Kind::function},
    {"is_file", posix_path, path, Kind::function},
    {"stat", posix_path, path, Kind::function},
    {"touch", posix_path, path, Kind::function},
    {"absolute", posix_path, path, Kind::function},
    {"__str__", posix_path, pure, Kind::function},
    {"__fspath__", posix_path, pure, Kind::function},
    {"_load_parts", posix_path, pure, Kind::function},
    {"with_segments", posix_path, pure, Kind::function},
    {"_from_parsed_parts", posix_path, pure, Kind::function},
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
    {"_flavour", posix_path, pure_posix, Kind::parser_module},
    // Instances get and set their attributes the ordinary way.
    {"__getattribute__", posix_path, object, Kind::object},
    {"__setattr__", posix_path, object, Kind::object},
};

constexpr const char* function_modules[] = {"pathlib"};

constexpr PosixpathSpec posixpath[] = {{"splitroot"}, {"join"}, {"splitdrive"}, {"_get_sep"}};

// is_dir and is_file test the mode with stat's own functions; _parse_path
// interns the parts.
constexpr GlobalSpec globals[] = {{"pathlib", "S_ISDIR", "_stat", "S_ISDIR"},
                                  {"pathlib", "S_ISREG", "_stat", "S_ISREG"},
                                  {"pathlib", "sys", "sys"},
                                  {"sys", "intern", "sys", "intern"},
                                  {"pathlib", "ntpath", "ntpath"}};

constexpr KeywordSpec keywords[] = {{"stat", "follow_symlinks", Default::true_}};

// is_dir and is_file call self.stat(), which calls os.stat.
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

// absolute() of a relative path, then str() of it: absolute, with_segments,
// PurePath.__init__ through super(); __str__, drive, _load_parts, join or
// _parse_path, _get_sep or splitroot: five deep (measured), and one to spare.
constinit const PathlibTable pathlib_3_12 = {
    .frames = 6,
    .classes = classes,
    .path = path,
    .attributes = attributes,
    .path_init = true,
    .classes_module = "pathlib",
    .function_modules = function_modules,
    .posixpath = posixpath,
    .globals = globals,
    .os_path = false,
    .keywords = keywords,
    .ignore_error = "pathlib",
    .calls = calls,
};

}  // namespace crenly::creation::road
