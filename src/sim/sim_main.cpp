// driveflash-sim: a virtual drive on a pseudo-terminal.
//
// Prints the device path to open on the first line of standard output, serves until SIGINT or
// SIGTERM, optionally writes the flash to a file, and exits 0.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/pty.h"
#include "sim/faults.h"
#include "sim/pty.h"
#include "sim/virtual_drive.h"

namespace {

using driveflash::sim::FlashModel;

constexpr const char* kUsage =
    "usage: driveflash-sim [--faults OPTIONS] [--start rom-loader|stuck-loader]\n"
    "                      [--power-cycle-junk HEX] [--flash-dump FILE]\n"
    "\n"
    "Runs a virtual drive (application firmware, ROM bootstrap loader, secondary\n"
    "loader, 200 KB of flash) on a pseudo-terminal and prints the device to open\n"
    "on the first line. Stops on Ctrl-C or SIGTERM. SIGUSR1, or the line\n"
    "'power-cycle' on standard input, switches the drive off and on again.\n"
    "\n"
    "  --start WHERE      rom-loader: the drive waits in its ROM bootstrap loader,\n"
    "                     as a run stopped after the reset leaves it; stuck-loader:\n"
    "                     its secondary loader runs, as a run stopped during the\n"
    "                     download leaves it (only a power cycle helps)\n"
    "  --power-cycle-junk HEX\n"
    "                     bytes the drive puts on the line each time it is switched\n"
    "                     off and on, e.g. 00 (a break) or 00FF\n"
    "  --faults OPTIONS   comma-separated: silent, short-identity, no-bsl,\n"
    "                     handshake=HH, length-reply=HH, loader-reply=HH,\n"
    "                     reply:KIND@K=HH, protect=N, silent-from:KIND@K,\n"
    "                     disconnect:KIND@K, flood-from:KIND@K, slow=N(us|ms|s),\n"
    "                     drip=N(us|ms|s), power-cycle-after=N (seconds),\n"
    "                     page-time=MS, erase-time=MS (the chip's work per page\n"
    "                     and per sector before it answers),\n"
    "                     loader-startup=MS (the secondary loader hears nothing for\n"
    "                     MS after its upload is answered), boot-time=MS (nor does\n"
    "                     the firmware after the closing header or a power-on),\n"
    "                     power-cycle-junk=HEX, noise=RATE and seed=S (each byte\n"
    "                     either way to the secondary loader flipped or lost at\n"
    "                     RATE, e.g. noise=2e-5,seed=7), lose-reply:KIND@K (carried\n"
    "                     out, reply lost), lose-byte:KIND@K (its middle byte lost),\n"
    "                     corrupt-page:data@K (acknowledged, programmed with a bit\n"
    "                     wrong, as two flips the checksum cannot see)\n"
    "                     KIND: header, erase, read, data, eot; K counts from 1;\n"
    "                     HH: a byte in hex. A pseudo-terminal has no baud rate:\n"
    "                     the Modbus silence (modbus-gap) needs the in-process drive.\n"
    "  --flash-dump FILE  on exit, write the flash (0x10001000..0x10032FFF) to FILE\n";

struct Arguments {
  std::string faults;
  std::string start;
  std::string flash_dump;
  std::string power_cycle_junk;
};

// Returns 0 to go on, else the exit code.
int parse_arguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&](std::string_view name, std::string& out) {
      if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
        out = arg.substr(name.size() + 1);
        return true;
      }
      if (arg == name && i + 1 < argc) {
        out = argv[++i];
        return true;
      }
      return false;
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return -1;
    }
    if (value("--faults", args.faults) || value("--flash-dump", args.flash_dump) ||
        value("--start", args.start) || value("--power-cycle-junk", args.power_cycle_junk)) {
      continue;
    }
    std::cerr << "driveflash-sim: unknown or incomplete argument '" << arg << "'\n" << kUsage;
    return 2;
  }
  return 0;
}

bool dump_flash(const driveflash::sim::VirtualDrive& drive, const std::string& path) {
  const auto bytes = drive.read_flash(FlashModel::kBase, FlashModel::kSize);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  return !file.fail();
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (const int rc = parse_arguments(argc, argv, args); rc != 0) return rc < 0 ? 0 : rc;

  driveflash::sim::Faults faults;
  std::string error;
  // The flag is the option by another name; both at once are the option given twice.
  std::string options = args.faults;
  if (!args.power_cycle_junk.empty()) {
    options +=
        (options.empty() ? "" : ",") + std::string("power-cycle-junk=") + args.power_cycle_junk;
  }
  if (!driveflash::sim::parse_faults(options, faults, error)) {
    std::cerr << "driveflash-sim: " << error << "\n";
    return 2;
  }
  if (faults.modbus_gap.value_or(false)) {
    std::cerr << "driveflash-sim: modbus-gap counts characters at a baud rate, which a "
                 "pseudo-terminal does not have; use the in-process drive (--port sim:...)\n";
    return 2;
  }
  if (args.start == "rom-loader") {
    faults.start = driveflash::sim::StartIn::kRomLoader;
  } else if (args.start == "stuck-loader") {
    faults.start = driveflash::sim::StartIn::kStuckLoader;
  } else if (!args.start.empty()) {
    std::cerr << "driveflash-sim: --start wants rom-loader or stuck-loader, not '" << args.start
              << "'\n";
    return 2;
  }

  // Taken one at a time below; every thread started after this leaves them to main.
  const driveflash::platform::ProcessSignals signals;

  auto pty = driveflash::platform::PtyPair::open(error);
  if (!pty) {
    std::cerr << "driveflash-sim: cannot open a pseudo-terminal: " << error << "\n";
    return 1;
  }
  auto drive = std::make_shared<driveflash::sim::VirtualDrive>(faults);
  driveflash::sim::PtyServer server(std::move(*pty), drive);
  std::cout << server.slave_path() << std::endl;

  // Typed commands; the thread is left to end with the process, blocked on its input or not.
  // A typed power cycle is sent as the user signal: only main, which the server lives in,
  // touches it.
  std::thread([] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line == "power-cycle" || line == "p") {
        driveflash::platform::ProcessSignals::send_user();
      } else if (!line.empty()) {
        std::cerr << "driveflash-sim: unknown command '" << line << "' (power-cycle)\n";
      }
    }
  }).detach();

  while (signals.next() == driveflash::platform::ProcessSignals::Signal::kUser) {
    server.power_cycle();
    std::cerr << "driveflash-sim: the drive was switched off and on\n";
  }
  server.stop();

  int rc = 0;
  if (!server.failure().empty()) {
    std::cerr << "driveflash-sim: serving stopped: " << server.failure() << "\n";
    rc = 1;
  }
  if (server.disconnected()) std::cerr << "driveflash-sim: the drive was disconnected\n";
  const auto stats = drive->statistics();
  std::cerr << "driveflash-sim: " << stats.bytes_received << " bytes received, "
            << stats.sectors_erased << " sectors erased, " << stats.pages_programmed
            << " pages programmed, " << stats.restarts << " restarts, " << stats.power_cycles
            << " power cycles\n";
  if (stats.requests_run_in + stats.bytes_unheard + stats.bits_flipped + stats.bytes_lost +
          stats.replies_lost >
      0) {
    std::cerr << "driveflash-sim: " << stats.bytes_unheard << " bytes unheard while starting, "
              << stats.bits_flipped << " bits flipped and " << stats.bytes_lost
              << " bytes lost on the line, " << stats.replies_lost << " replies lost\n";
  }
  if (!args.flash_dump.empty() && !dump_flash(*drive, args.flash_dump)) {
    std::cerr << "driveflash-sim: cannot write the flash to '" << args.flash_dump << "'\n";
    rc = 1;
  }
  return rc;
}
