// The lines of the virtual source file "crenly/crenly": the module written
// out as the Python program it behaves like. Each is where a statement of the
// module body, or the definition of a callable, starts; traceback entries
// carry them. In the order of the file (a test keeps them so).
#pragma once

namespace crenly::module::lines {

inline constexpr int import_sys = 10;
inline constexpr int import_os = 11;
inline constexpr int import_re = 12;
inline constexpr int import_traceback = 13;
inline constexpr int from_pathlib = 14;
inline constexpr int from_typing = 15;
inline constexpr int import_argparse = 16;
inline constexpr int try_trelvin = 19;
inline constexpr int except_trelvin = 21;
inline constexpr int try_clipboard = 24;
inline constexpr int except_clipboard = 27;
inline constexpr int try_gntp = 31;
inline constexpr int except_gntp = 34;
inline constexpr int name = 37;
inline constexpr int def_get_version = 40;
inline constexpr int version = 80;
inline constexpr int filename = 81;
inline constexpr int class_file_creator = 84;
inline constexpr int def_init = 90;
inline constexpr int def_init_growl = 110;
inline constexpr int def_parse_brace_expansion = 130;
inline constexpr int def_create_file = 170;
inline constexpr int def_notify = 220;
inline constexpr int def_create_files = 250;
inline constexpr int def_main = 280;
inline constexpr int genexpr = 320;
inline constexpr int if_main = 333;
inline constexpr int test = 336;

}  // namespace crenly::module::lines
