#include <signal.h>  // NOLINT(modernize-deprecated-headers): SIGKILL for prctl
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "platform/lifetime.h"

namespace driveflash::platform {

void end_with_parent() {
#ifdef __linux__
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have gone before the request was made: then nothing would come.
  if (::getppid() != parent) {
    ::_exit(128 + SIGKILL);
  }
#endif
}

void tie_child(std::int64_t /*pid*/) {}

}  // namespace driveflash::platform
