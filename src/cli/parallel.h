// 'program' on several ports: each port's run in a child process of its own.
#pragma once

#include <string>

#include "cli/program.h"

namespace driveflash::cli {

// Runs args.ports, each in a child (`self` started with that port and --events); returns the
// exit status of them all.
int run_parallel(const Arguments& args, const Terminal& term, platform::RunWaker& waker,
                 const std::string& self);

}  // namespace driveflash::cli
