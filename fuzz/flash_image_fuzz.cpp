// The loader image builder on any file: the run's buffer and capacity, and buffers of other
// sizes, where a byte written past the end is caught at once.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "image/intel_hex.h"

namespace df = driveflash::fuzz;

namespace {

// What the run passes: 4096 bytes of loader in the 16 KB buffer.
constexpr unsigned kRunCapacity = 4096;

struct Built {
  int status = 0;
  unsigned base = 0;
  unsigned length = 0;
  std::vector<unsigned char> image;
};

// Into the run's 16 KB buffer, every byte first set to `untouched`.
Built build_whole(const char* path, unsigned char untouched) {
  Built b;
  b.image.assign(kLoaderImageBuffer, untouched);
  b.status = make_flash_image(path, b.image.data(), kRunCapacity, &b.base, &b.length);
  return b;
}

Built build_exact(const char* path, std::size_t size, unsigned capacity) {
  Built b;
  b.image.assign(size, 0xEE);
  b.status =
      make_flash_image(path, std::span<unsigned char>(b.image), capacity, &b.base, &b.length);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static df::InputFile file;
  const char* path = file.write({data, size});

  const Built whole = build_whole(path, 0xEE);
  if (whole.status != 0 && whole.status != 241) {
    df::fail("make_flash_image returned neither 0 nor 241");
  }
  if (whole.status == 0) {
    if (whole.length != kLoaderImageFill) {
      df::fail("a 4096-byte loader image has another length", std::to_string(whole.length));
    }
    // The run sends the first 4096 bytes. Past them the builder may only have written the
    // zero fill: a data byte there would never reach the chip.
    const Built other = build_whole(path, 0x11);
    for (std::size_t i = 0; i < kLoaderImageBuffer; ++i) {
      const bool written = whole.image[i] == other.image[i];
      if (i < kLoaderImageFill && !written) {
        df::fail("the image sent has bytes the builder never wrote");
      }
      if (i >= kLoaderImageFill && written && whole.image[i] != 0) {
        df::fail("loader data past the 4096 bytes the run sends", std::to_string(i));
      }
    }
  }
  // A buffer that cannot hold what the capacity allows must fail, not write past its end.
  const Built narrow = build_exact(path, kLoaderImageFill + 256, 0xFFFF);
  if (narrow.status == 0 && narrow.length > narrow.image.size()) {
    df::fail("the reported length exceeds the buffer");
  }
  return 0;
}
