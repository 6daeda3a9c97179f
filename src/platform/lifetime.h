// Child processes that must not outlive the program that started them: a parent that is
// killed has no chance to stop them, so the system is asked to.
#pragma once

#include <cstdint>

namespace driveflash::platform {

// In a child: this process ends at once when its parent ends, where the system can tell it so
// (Linux). Elsewhere the parent's end closes the child's standard input, which the child
// watches.
void end_with_parent();
// In the parent: the child `pid` ends when this process ends, however it ends (Windows: a job
// object that ends its processes with its last handle). Elsewhere nothing: the child asks.
void tie_child(std::int64_t pid);

}  // namespace driveflash::platform
