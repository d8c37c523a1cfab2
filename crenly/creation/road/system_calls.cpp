#include "crenly/creation/road/system_calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace crenly::creation::road {

FileKind kind_of(unsigned mode) noexcept {
    return S_ISDIR(mode)   ? FileKind::directory
           : S_ISREG(mode) ? FileKind::regular
                           : FileKind::other;
}

int stat_mode(const char* path, unsigned& mode) noexcept {
    struct stat st;
    if (stat(path, &st) != 0) return errno;
    mode = st.st_mode;
    return 0;
}

int make_directory(const char* path, unsigned mode) noexcept {
    return mkdir(path, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int touch_times(const char* path) noexcept {
    return utimensat(AT_FDCWD, path, nullptr, 0) == 0 ? 0 : errno;
}

int open_for_writing(const char* path, unsigned mode, int& fd) noexcept {
    fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
    return fd < 0 ? errno : 0;
}

int close_descriptor(int fd) noexcept { return close(fd) == 0 ? 0 : errno; }

int current_directory(char* buffer, std::size_t size) noexcept {
    return getcwd(buffer, size) != nullptr ? 0 : errno;
}

}  // namespace crenly::creation::road
