// Which line a run uses: a serial device, a numbered port, or the built-in virtual drive.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "sim/virtual_drive.h"

namespace driveflash::cli {

inline constexpr std::string_view kSimPort = "sim";

struct PortChoice {
  int number = 0;      // in the platform's port table; goes into main panel control 6
  std::string device;  // the device path, "" for the in-process virtual drive
  bool pseudo_terminal = false;
  // The in-process virtual drive of a 'sim' run, kept to read its flash afterwards.
  std::shared_ptr<sim::VirtualDrive> drive;
  bool virtual_drive() const { return drive != nullptr || pseudo_terminal; }
};

// Puts the line named by --port into the port table. "sim" and "sim:OPTIONS" map the
// process's in-process virtual drive for those options (made at the first use, kept for the
// next runs); digits name a detected port by its number; anything else is a
// device path. On failure returns false and says why in `error` (nothing is mapped).
bool choose_port(const std::string& text, PortChoice& out, std::string& error);
// Takes the line out of the port table again.
void release_port(const PortChoice& choice);

// Whether `device` is the slave side of a pseudo-terminal ("/dev/pts/N"): no physical line,
// but what driveflash-sim serves the virtual drive on.
bool is_pseudo_terminal(const std::string& device);

// The 'ports' command.
int list_ports(bool json, std::ostream& out);

}  // namespace driveflash::cli
