// driveflash-cli: the headless front end. Reads the command line, runs one command, and
// returns its exit status (0 success, 1 run failed, 2 bad arguments or refused, 130 Ctrl-C).
#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

#include "build_config.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/ports.h"
#include "cli/production.h"
#include "cli/program.h"
#include "platform/resources.h"
#include "platform/terminal.h"
#include "platform/waker.h"

namespace {

using namespace driveflash::cli;

// The key the build starts from when none is given: firmware enciphered under it will not
// program a drive that expects the production key, so say which one this is.
bool development_key() {
  constexpr std::array<unsigned char, 16> kDevelopment = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE,
                                                          0xD2, 0xA6, 0xAB, 0xF7, 0x15, 0x88,
                                                          0x09, 0xCF, 0x4F, 0x3C};
  constexpr std::array<unsigned char, 16> kBuilt = {DRIVEFLASH_EHEX_KEY_BYTES};
  return kDevelopment == kBuilt;
}

int program(const Arguments& args) {
  // Real serial ports need an application object before the worker opens one.
  static auto name = std::to_array("driveflash-cli");
  static std::array<char*, 2> qt_argv = {name.data(), nullptr};
  static int qt_argc = 1;
  QCoreApplication app(qt_argc, qt_argv.data());
  driveflash::platform::RunWaker waker;
  driveflash::platform::RunWaker::install_signal_handlers(&waker);
  const Terminal term{std::cout, std::cerr, driveflash::platform::stderr_is_terminal(),
                      driveflash::platform::terminal_width()};
  RunReport report;
  const int status =
      production_run(args)
          ? run_production(args, term, waker, QCoreApplication::applicationFilePath().toStdString())
          : run_program(args, term, waker, report);
  if (waker.end_requested()) {
    // The program was told to end: everything it owes is written, but a worker cut short may
    // still be in its step, so nothing may be torn down under it.
    std::cout.flush();
    std::cerr.flush();
    driveflash::platform::RunWaker::ended();
    std::_Exit(status);
  }
  driveflash::platform::RunWaker::install_signal_handlers(nullptr);
  driveflash::platform::RunWaker::ended();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  driveflash::platform::set_program_path(argc > 0 ? argv[0] : "driveflash-cli");
  driveflash::platform::prepare_terminal();
  const std::vector<std::string_view> words(argv, argv + argc);
  const ParseResult parsed = parse_arguments(words);
  if (!parsed.ok()) {
    std::cerr << "driveflash-cli: " << parsed.error << '\n';
    return kExitUsage;
  }
  Arguments args = parsed.args;
  if (const std::string why = take_job(args); !why.empty()) {
    std::cerr << "driveflash-cli: " << why << '\n';
    return kExitUsage;
  }
  switch (args.command) {
    case Command::Help:
      std::cout << usage_text(args.topic);
      return kExitOk;
    case Command::Version:
      std::cout << "driveflash-cli " << DRIVEFLASH_VERSION << "\nencrypted-hex key: "
                << (development_key() ? "the development key (not for production firmware)"
                                      : "built in at configure time")
                << '\n';
      return kExitOk;
    case Command::Program:
      return program(args);
    case Command::Ports:
      return list_ports(args.json, std::cout);
    case Command::Check:
      return run_check(args, std::cout, std::cerr);
    case Command::EhexEncrypt:
    case Command::EhexDecrypt:
      return run_ehex(args, std::cout, std::cerr);
  }
  return kExitUsage;
}
