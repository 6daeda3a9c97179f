// How often a noisy line may make the download go back over one flash sector.
#pragma once

#include <atomic>

// Retries per sector (main panel control 25, read when the worker starts). 0, the default,
// keeps the run exactly as it always was: the first frame that fails ends the download.
inline constexpr int kMaxRetries = 10;
extern std::atomic<int> retrylimit;

// The limit a panel or command-line value stands for: 0 to kMaxRetries, clamped.
int retry_limit_of(int value);

// Read-back after the download (main panel control 30, read when the worker starts). The
// loader's XOR checksum lets a page through whose frame had the same bit flipped in two of its
// bytes, and the loader programs and acknowledges it; only reading the flash back catches it.
// 1 reads every word of every page the download sent back and compares it; 0, the default,
// reads nothing and leaves the run as it always was.
extern std::atomic<int> verifyflash;
