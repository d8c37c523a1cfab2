#include "crenly/creation/road/system_calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace crenly::creation::road {

FileKind stat_kind(const char* path) noexcept {
    struct stat st;
    if (stat(path, &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR || errno == EBADF || errno == ELOOP
                   ? FileKind::absent
                   : FileKind::error;
    }
    return S_ISDIR(st.st_mode)   ? FileKind::directory
           : S_ISREG(st.st_mode) ? FileKind::regular
                                 : FileKind::other;
}

int make_directory(const char* path, unsigned mode) noexcept {
    return mkdir(path, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int touch_times(const char* path) noexcept {
    return utimensat(AT_FDCWD, path, nullptr, 0) == 0 ? 0 : errno;
}

int open_for_writing(const char* path, unsigned mode, int& error) noexcept {
    const int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) error = errno;
    return fd;
}

int close_descriptor(int fd) noexcept { return close(fd) == 0 ? 0 : errno; }

bool current_directory(char* buffer, std::size_t size) noexcept {
    return getcwd(buffer, size) != nullptr;
}

}  // namespace crenly::creation::road
