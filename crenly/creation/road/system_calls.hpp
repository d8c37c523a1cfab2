// The system calls of the native road, bare: no Python object, no
// interpreter call. POSIX only, like the road.
#pragma once

#include <cstddef>

namespace crenly::creation::road {

/// What stat(2) says of a path, as pathlib's is_dir() and is_file() read
/// it: its kind, or an error that they take as "no" (ENOENT, ENOTDIR,
/// EBADF, ELOOP), or another error, which they raise.
enum class FileKind { directory, regular, other, absent, error };

/// stat(2) of `path`, following links.
FileKind stat_kind(const char* path) noexcept;

/// mkdir(2) of `path` with `mode`: 0, or the error number.
int make_directory(const char* path, unsigned mode) noexcept;

/// utimensat(2) of `path` to now, following links: 0, or the error number.
int touch_times(const char* path) noexcept;

/// open(2) of `path` with O_CREAT | O_WRONLY | O_CLOEXEC and `mode`: the
/// descriptor, or -1 with the error number in `error`.
int open_for_writing(const char* path, unsigned mode, int& error) noexcept;

/// close(2): 0, or the error number (the descriptor is closed either way).
int close_descriptor(int fd) noexcept;

/// getcwd(3) into `buffer` of `size` bytes: false on failure.
bool current_directory(char* buffer, std::size_t size) noexcept;

}  // namespace crenly::creation::road
