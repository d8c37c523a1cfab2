// The system calls of the native road, bare: no Python object, no
// interpreter call. Each returns 0 or the error number. POSIX only, like the
// road.
#pragma once

#include <cstddef>

namespace crenly::creation::road {

/// What a file's mode says of it, as pathlib's is_dir() and is_file() read
/// it; `absent` and `error` stand for a stat that failed with an error they
/// take as "no" (ENOENT, ENOTDIR, EBADF, ELOOP) or raise.
enum class FileKind { directory, regular, other, absent, error };

/// The kind of a file of mode `mode`.
FileKind kind_of(unsigned mode) noexcept;

/// stat(2) of `path`, following links, into `mode`.
int stat_mode(const char* path, unsigned& mode) noexcept;

/// mkdir(2) of `path` with `mode`.
int make_directory(const char* path, unsigned mode) noexcept;

/// utimensat(2) of `path` to now, following links.
int touch_times(const char* path) noexcept;

/// open(2) of `path` with O_CREAT | O_WRONLY | O_CLOEXEC and `mode`, into `fd`.
int open_for_writing(const char* path, unsigned mode, int& fd) noexcept;

/// close(2) (the descriptor is closed whatever it returns).
int close_descriptor(int fd) noexcept;

/// getcwd(3) into `buffer` of `size` bytes.
int current_directory(char* buffer, std::size_t size) noexcept;

}  // namespace crenly::creation::road
