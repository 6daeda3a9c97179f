// The commands that read (and, for ehex, write) files without a drive.
#pragma once

#include <ostream>

#include "cli/arguments.h"

namespace driveflash::cli {

int run_check(const Arguments& args, std::ostream& out, std::ostream& err);
int run_ehex(const Arguments& args, std::ostream& out, std::ostream& err);

}  // namespace driveflash::cli
