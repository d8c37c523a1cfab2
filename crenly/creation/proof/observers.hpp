// Whether anything observes the thread that a shortcut runs on: an audit
// hook, a trace or profile function, sys.monitoring events (global, or local
// to the code a shortcut stands for), and whether the Python-level steps
// would meet the recursion limit. Observers see the same frames and events
// whichever way, so they switch the shortcuts off.
#pragma once

#include <span>

#include "crenly/core/ref.hpp"

namespace crenly::creation::proof {

/// Whether nothing observes this thread (audit hook, trace or profile
/// function, sys.monitoring events set for any tool, registered or freed)
/// and `frames` Python frames fit below the recursion limit. Runs no Python
/// code.
bool shortcuts_allowed(int frames);

/// Whether any of `codes` has local sys.monitoring events set for any tool.
bool local_events_set(std::span<PyCodeObject* const> codes) noexcept;

}  // namespace crenly::creation::proof
