#include "crenly/creation/road/standard_streams.hpp"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#endif

#include "crenly/core/ref.hpp"

namespace crenly::creation::road {

namespace {

#ifdef _WIN32
using Stream = HANDLE;
/// Standard output (0) or error (1).
Stream standard_stream(int which) noexcept {
    return GetStdHandle(which == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

/// Whether `h` is a handle that processes started from here inherit.
bool inherited(Stream h) noexcept {
    DWORD flags = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetHandleInformation(h, &flags) &&
           (flags & HANDLE_FLAG_INHERIT) != 0;
}

void set_inherited(Stream h, bool inherited) noexcept {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, inherited ? HANDLE_FLAG_INHERIT : 0);
}
#else
using Stream = int;
/// Standard output (0) or error (1).
Stream standard_stream(int which) noexcept { return which == 0 ? STDOUT_FILENO : STDERR_FILENO; }

/// Whether descriptor `fd` is open and kept by the programs run from here.
bool inherited(Stream fd) noexcept {
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

void set_inherited(Stream fd, bool inherited) noexcept {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, inherited ? flags & ~FD_CLOEXEC : flags | FD_CLOEXEC);
}
#endif

int holders = 0;
// Set before a stream's flag is changed, cleared once it is restored: a
// child forked at any moment between the two restores it again.
bool changed[2] = {false, false};
// The guards alive on this thread: a child forked by the thread that copies
// is the clipboard's helper on its way, which must not get the streams.
thread_local int copying = 0;

void restore() noexcept {
    for (int i = 0; i < 2; ++i) {
        if (changed[i]) set_inherited(standard_stream(i), true);
        changed[i] = false;
    }
}

#ifndef _WIN32
void after_fork_in_child() noexcept {
    if (copying > 0) return;
    restore();
    holders = 0;
}

[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, after_fork_in_child);
#endif

}  // namespace

StandardStreamsNotInherited::StandardStreamsNotInherited() noexcept {
    ++copying;
    if (holders++ > 0) return;
    for (int i = 0; i < 2; ++i) {
        if (!inherited(standard_stream(i))) continue;
        changed[i] = true;
        set_inherited(standard_stream(i), false);
    }
}

StandardStreamsNotInherited::~StandardStreamsNotInherited() {
    --copying;
    // A thread ended without the interpreter leaves the count as it is.
    if (!core::thread_attached() || --holders > 0) return;
    restore();
}

}  // namespace crenly::creation::road
