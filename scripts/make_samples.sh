#!/usr/bin/env bash
# Makes the bundled sample firmware in samples/, byte for byte the same on every run:
#   sample.hex           12 KB application at 0x10001000, one region (the demo's firmware)
#   sample-regions.hex   a 2 KB application and a 256-byte parameter block, two regions
# and their encrypted twins (*.ehex), enciphered by driveflash-cli under the development key.
#
# usage: scripts/make_samples.sh [--cli PATH] [--out DIR]
#   --cli PATH   driveflash-cli to encipher with (default: build/default/src/cli/driveflash-cli)
#   --out DIR    where to write (default: samples/)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=build/default/src/cli/driveflash-cli
out=samples
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "make_samples: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
if ! "$cli" --version 2>/dev/null | grep -q 'development key'; then
  echo "make_samples: $cli is missing or not built with the development key" >&2
  exit 1
fi
mkdir -p "$out"

# hex_image NAME SEED BLOCKS...: writes NAME, Intel HEX with CR LF line ends and 16-byte data
# records. Each block is ADDRESS:LENGTH (hex address, decimal length); an application block
# starts with a vector table and a banner, the rest is filler from a small generator
# (x := (75 x + 74) mod 65537), whose products stay exact in any awk.
hex_image() {
  local name="$1" seed="$2"
  shift 2
  awk -v seed="$seed" -v blocks="$*" '
    function hexval(s,   i, v) {
      v = 0
      for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", substr(s, i, 1)) - 1
      return v
    }
    function record(type, address, count, bytes,   i, sum, line) {
      sum = count + int(address / 256) + address % 256 + type
      line = sprintf(":%02X%04X%02X", count, address, type)
      for (i = 0; i < count; i++) { line = line sprintf("%02X", bytes[i]); sum += bytes[i] }
      printf "%s%02X\r\n", line, (256 - sum % 256) % 256
    }
    function put_word(value,   k) {
      for (k = 0; k < 4; k++) { data[n++] = value % 256; value = int(value / 256) }
    }
    BEGIN {
      x = seed
      banner = "driveflash sample firmware - for the virtual drive only"
      upper = -1
      count = split(blocks, list, " ")
      for (b = 1; b <= count; b++) {
        split(list[b], part, ":")
        start = hexval(part[1]); length_ = part[2] + 0
        n = 0
        if (start % 65536 == 4096) {          # an application: stack top, 47 vectors, banner
          put_word(536887296)                 # 0x20004000
          for (v = 1; v < 48; v++) put_word(268439553 + 64 * v)  # 0x10001001 + ...
          for (c = 1; c <= length(banner); c++) data[n++] = index(" !\"#$%&\047()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~", substr(banner, c, 1)) + 31
          data[n++] = 0
        }
        while (n < length_) { x = (75 * x + 74) % 65537; data[n++] = x % 256 }
        for (at = 0; at < length_; at += 16) {
          address = start + at
          if (int(address / 65536) != upper) {
            upper = int(address / 65536)
            hi[0] = int(upper / 256); hi[1] = upper % 256
            record(4, 0, 2, hi)
          }
          for (i = 0; i < 16; i++) chunk[i] = data[at + i]
          record(0, address % 65536, 16, chunk)
        }
      }
      record(1, 0, 0, chunk)
    }' > "$out/$name"
}

hex_image sample.hex 1 10001000:12288
hex_image sample-regions.hex 2 10001000:2048 10008000:256
for f in sample sample-regions; do
  "$cli" ehex encrypt "$out/$f.hex" "$out/$f.ehex" --force >/dev/null
done
echo "make_samples: wrote $(cd "$out" && ls sample*.hex sample*.ehex | tr '\n' ' ')"
