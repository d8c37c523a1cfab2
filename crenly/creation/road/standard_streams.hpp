// The clipboard copy's guard of the standard streams. The clipboard
// package's X11 helper (xclip, xsel) stays in the background to serve the
// selection; holding crenly's standard output, it kept the reader of a pipe
// waiting for an end that came only when something else took the clipboard.
#pragma once

namespace crenly::creation::road {

/// While any one is alive, the process's standard output and error are not
/// inherited by the processes it starts; the last one restores each as it
/// was. Only the inheritance flags change, so nothing written is lost or
/// reordered. The flags belong to the process: a process that another
/// thread starts meanwhile does not get the two streams either (it starts
/// with them closed unless it gives its own). A child forked meanwhile by
/// any other thread gets them back. Made and dropped under the interpreter
/// lock, which guards the count: the copies of several threads overlap
/// while each lets go of the lock.
class StandardStreamsNotInherited {
public:
    StandardStreamsNotInherited() noexcept;
    ~StandardStreamsNotInherited();
    StandardStreamsNotInherited(const StandardStreamsNotInherited&) = delete;
    StandardStreamsNotInherited& operator=(const StandardStreamsNotInherited&) = delete;
};

}  // namespace crenly::creation::road
