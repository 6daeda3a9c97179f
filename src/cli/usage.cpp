// The help pages. docs/cli-usage.md carries the same text; a test keeps the two equal.
#include <string_view>

#include "cli/arguments.h"

namespace driveflash::cli {
namespace {

constexpr std::string_view kMain = R"(usage: driveflash-cli COMMAND [ARGUMENTS]

Reprograms the flash of the XMC1300 inside a motor drive over one serial port,
without a window: the same programming run as the Program button.

Commands:
  program FILE --port PORT  program a firmware file (*.hex or *.ehex); more
                            --port options program a drive on each at once
  ports                     list the serial ports and 'sim', the virtual drive
  check FILE                show what programming FILE would send, or why not
  ehex encrypt IN OUT       encipher Intel HEX into an encrypted-hex file
  ehex decrypt IN OUT       turn an encrypted-hex file back into Intel HEX
  help [COMMAND]            show this text, or the text of one command

Options:
  -h, --help                show this text (after a command: that command's)
  -V, --version             show the version

Exit status: 0 success, 1 the programming run failed, 2 bad arguments or a
refused file, 130 a run cut short by Ctrl-C (or the program being ended).

Examples:
  driveflash-cli program firmware.ehex --port /dev/ttyUSB0
  driveflash-cli program firmware.hex --port 100 --loader-baud 115200 --json
  driveflash-cli program fw.ehex --port /dev/ttyUSB0 --port /dev/ttyUSB1 --log runs.csv
  driveflash-cli check firmware.hex
  driveflash-cli ehex encrypt firmware.hex firmware.ehex
)";

constexpr std::string_view kProgram =
    R"(usage: driveflash-cli program FILE --port PORT [--port PORT ...]
                              [--drive-baud N] [--loader-baud N]
                              [--kind hex|ehex] [--timing standard|fast]
                              [--retries N] [--verify]
                              [--log FILE [--unit TEXT]] [--json]
                              [--repeat [--boot-wait SECONDS]]
                              [--rescue [--rescue-wait SECONDS]]
       driveflash-cli program --job JOB [--port PORT ...] [--log FILE]
                              [--repeat] [--json] [--rescue]

Programs FILE into the drive on PORT with the same run as the window's Program
button: it pings the drive's firmware, restarts it into the bootstrap loader,
uploads the secondary loader, erases the flash and programs FILE page by page.

Arguments:
  FILE              a plain Intel HEX file (*.hex) or an encrypted-hex file
                    (*.ehex)
  --port PORT       a device path (/dev/ttyUSB0, /dev/pts/7, COM3), a port
                    number from 'driveflash-cli ports', 'sim' for the built-in
                    virtual drive, or 'sim:OPTIONS' for one with faults;
                    given more than once, a drive is programmed on each port
                    at the same time (see "Several ports" below); COM3,
                    com3 and \\.\COM3 are one port
  --drive-baud N    baud rate of the drive's running firmware
                    (default: the main panel's setting in Brenfold.uir)
  --loader-baud N   baud rate of the chip's bootstrap loader, up to 921600
                    where the port takes it (default: the main panel's
                    setting in Brenfold.uir)
  --kind hex|ehex   the file kind (default: ehex for a name ending in .ehex,
                    else hex); checked against the name as the Program button
                    checks it, so that a mismatch is refused ("文件类型错误！")
  --timing standard|fast
                    standard (the default) keeps every wait of the protocol;
                    fast leaves out the waits nothing on the line needs (before
                    a reply that is awaited anyway, between status lines) and
                    keeps those the drive needs (after the reset, around the
                    port's reopening, the handshake); every reply is still
                    awaited with the same time-outs
  --retries N       on a noisy line, go back over a flash sector whose frame
                    failed (no reply, a checksum, verification or block type
                    error): get back in step with the loader, erase the
                    sector and program it again from its first page, at most
                    N times for any one sector (0 to 10; default: the main
                    panel's setting, 0: the first failure ends the run)
  --verify          after the download, read every word of every page it
                    programmed back from the flash and compare it with what
                    was sent (about 37 s more for 64 KB at 115200 baud): the
                    loader's checksum lets a page through that the line
                    garbled twice in the same bit. A sector that differs is
                    erased and programmed again within --retries; without
                    retries left the run fails ("Verification error")
  --log FILE        append one row per drive to the CSV file FILE (made with
                    a header row when new) when its run ends: time, host,
                    port, file, sha256 (of the bytes the run read), kind,
                    result (ok, failed, stopped, refused), status, message
                    (what went wrong and why), seconds, pages, bytes, count,
                    drive_id (the drive's identity register, 0x and hex),
                    unit, retries. Several programs may share FILE. One that
                    cannot be written is refused before any drive is
                    touched; a row that cannot be written when its run ends
                    is kept and goes in with the next, or at the end into
                    FILE's side file (runs.csv: runs.unsaved.csv)
  --unit TEXT       the drive's serial number, for its row (one --port, no
                    --repeat)
  --repeat          a station: wait for a drive to answer, program it, wait
                    for its new firmware to answer, wait until it is taken
                    away (it answered, then no answer for 2 s), and so on
                    until Ctrl-C, which ends with a summary. An empty fixture
                    is no unit; a drive left connected is never programmed
                    twice
  --boot-wait SECONDS
                    how long a station waits for a drive's new firmware to
                    answer after programming (0 to 3600, default 10); a drive
                    that does not is asked to be taken away
  --json            print one JSON object at the end; the status lines then go
                    to standard error
  --rescue          for a drive stuck in its bootstrap loader: repeat the
                    loader handshake about every 2 s while the drive is
                    switched off and on, then program as usual (a drive whose
                    firmware answers meanwhile is programmed the usual way)
  --rescue-wait SECONDS
                    how long --rescue waits for the loader (1 to 3600,
                    default: the main panel's setting, 120)
  --job JOB         take the firmware, its kind, both baud rates, the timing,
                    the retries, the read-back, the rescue wait and (without
                    --port) the ports from the job file JOB, saved by the
                    window; a firmware whose SHA-256 is not the job's is
                    refused (exit status 2) before any drive is touched, and
                    checked again before every drive of a station
  -h, --help        show this text

The secondary loader is read from XMC1300/XMC1x_ASCLoader.hex under the current
directory, as in the window. The resource directory of the installation (and
resources/ in the source tree) holds a stand-in loader that only the virtual
drive accepts: run from there to program 'sim'.

Before the run, FILE is read as 'check' reads it; a file that would be refused
is refused here (exit status 2) and nothing is sent to the drive.

Every status line goes to standard output as the run appends it. The progress
is a bar on standard error when that is a terminal, else a line at every 10 %.
On the virtual drive, a successful run ends with a comparison of the drive's
flash with FILE.

Ctrl-C stops the run as closing the window's popup does: the step under way
(the whole download, once it has begun) ends first. A second Ctrl-C, SIGTERM,
or the terminal closing (SIGHUP; on Windows closing the console, logging off,
shutting down) ends the program within a few seconds: every run is stopped
where it is, its row written ("stopped"), and the drive left where the run
was.

A run that stops or fails after the drive's reset leaves the drive in its
bootstrap loader; the last status line says so and what brings it back. The
next run finds a drive whose ROM loader waits there by itself (the firmware
does not answer, one handshake at the loader baud rate does); a drive whose
secondary loader was already running needs --rescue and a power cycle. --json
tells "drive_left" (firmware, rom-loader or secondary-loader), "rescued" (the
run found the drive waiting in its loader), and what ended a failed run:
"cause", "reason" (the line that says what went wrong), "reason_line" (the
port's own words, where there are any) and "advice".

Several ports: each drive gets a whole run of its own, in a process of its
own, so that no drive's failure, stop or slow line touches another; two
names of one device (a link, a number and its device) are refused. Every
line is prefixed with its port ("[PORT] "); on a terminal each port has a
live progress bar, else each prints a line at every 10 %. A table ends the
run: port, result, seconds, pages and, for a failure, its last line. With
--json the object holds a "units" array: one run's object for each port.

Virtual drive options, comma-separated after 'sim:':
  silent, short-identity, no-bsl, handshake=HH, length-reply=HH,
  loader-reply=HH, reply:KIND@K=HH, protect=N, silent-from:KIND@K,
  disconnect:KIND@K, flood-from:KIND@K, slow=N(us|ms|s), drip=N(us|ms|s),
  line-time, page-time=MS, erase-time=MS (the chip's work per page and per
  sector before it answers), start=rom-loader|stuck-loader,
  power-cycle-after=N(us|ms|s)
  (KIND: header, erase, read, data or eot; K counts frames from 1; HH is a
  byte in hex)

Exit status: 0 programmed; 1 the run failed (the last status line says why);
2 bad arguments, a refused file or a log that cannot be written (nothing was
sent); 130 when Ctrl-C (or the program being ended) cut a run short. With
several ports: 0 when every drive was programmed, 1 when any run failed.
With --repeat, Ctrl-C ends the station: 0 when every drive was programmed, 1
when any failed, 130 when it stopped a run under way.

Examples:
  driveflash-cli program firmware.ehex --port /dev/ttyUSB0
  driveflash-cli program fw.hex --port 100 --drive-baud 19200
  cd resources && driveflash-cli program ../samples/sample.ehex --port sim
  driveflash-cli program firmware.hex --port sim:reply:data@3=F9 --json
  driveflash-cli program firmware.ehex --port /dev/ttyUSB0 --rescue
  driveflash-cli program fw.ehex --port /dev/ttyUSB0 --port /dev/ttyUSB1
  driveflash-cli program fw.ehex --port /dev/ttyUSB0 --repeat --log runs.csv
  driveflash-cli program fw.ehex --port COM3 --log runs.csv --unit SN-0042
)";

constexpr std::string_view kPorts = R"(usage: driveflash-cli ports [--json]

Lists the serial ports found on this machine, one a line: the number to pass
to --port, the device and its description. The last line is 'sim', the
built-in virtual drive.

Options:
  --json       print one JSON array of objects instead
  -h, --help   show this text

Exit status: 0.

Examples:
  driveflash-cli ports
  driveflash-cli ports --json
)";

constexpr std::string_view kCheck = R"(usage: driveflash-cli check FILE [--kind hex|ehex] [--json]

Reads FILE as the download will and prints what programming it would send:
the records (the total the progress counts), the address ranges of its data,
the regions with their first page, the pages, and the 4 KB sectors the run
erases (always 0 to 7, 0x10001000-0x10008FFF, then every sector above them that
the data touches). It refuses records with a checksum error or a character that
is not a hex digit, data outside the XMC1000 flash (0x10001000-0x10032FFF) and
files without a data record; it warns about records out of address order.
Nothing is sent anywhere.

Options:
  --kind hex|ehex   the file kind (default: ehex for a name ending in .ehex,
                    else hex)
  --json            print one JSON object instead
  -h, --help        show this text

Exit status: 0 the file would program; 2 it would be refused, or bad
arguments.

Examples:
  driveflash-cli check firmware.hex
  driveflash-cli check firmware.ehex --json
  driveflash-cli check firmware.bin --kind hex
)";

constexpr std::string_view kEhex = R"(usage: driveflash-cli ehex encrypt IN.hex OUT.ehex [--force]
       driveflash-cli ehex decrypt IN.ehex OUT.hex [--force]

Converts between plain Intel HEX and the encrypted-hex format, with the key
built into this program: each record's text (upper-case hex digits, no line
end) is filled with zero bytes to whole 16-byte blocks, and every block is
enciphered on its own with AES-128. These are the only commands that write
files.

encrypt reads IN as the download reads a plain file and refuses what 'check'
refuses; blank lines, and blanks after a record, are left out. decrypt writes
one record a line, ended by CR LF, exactly as the download reads it.

Options:
  --force      replace OUT if it exists (it is never overwritten otherwise)
  -h, --help   show this text

Exit status: 0 written; 2 bad arguments, IN refused, or OUT exists.

Examples:
  driveflash-cli ehex encrypt firmware.hex firmware.ehex
  driveflash-cli ehex decrypt firmware.ehex firmware.hex --force
)";

}  // namespace

std::string_view usage_text(HelpTopic topic) {
  switch (topic) {
    case HelpTopic::Program:
      return kProgram;
    case HelpTopic::Ports:
      return kPorts;
    case HelpTopic::Check:
      return kCheck;
    case HelpTopic::Ehex:
      return kEhex;
    case HelpTopic::Main:
      break;
  }
  return kMain;
}

}  // namespace driveflash::cli
