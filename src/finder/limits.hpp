// What one read of core metadata on the finder road may cost, whatever the
// server sends: each bound is far above what real files need and far below
// what would hurt the host. The README's section on this road states them.
#pragma once

#include <cstdint>

namespace pic::finder::limits {

// METADATA, decompressed from the wheel or decoded from the metadata file.
// Real files are KiB; the largest (a long description) stay below 1 MiB.
constexpr int64_t kMetadata = 4 << 20;

// Compressed or encoded data that may carry that much METADATA: stored and
// deflate add 5 bytes a block, bzip2 and lzma a few hundred and 1%.
constexpr int64_t kPacked = kMetadata + kMetadata / 64 + (64 << 10);

// Of METADATA, the Requires-Dist fields, which alone are kept and parsed:
// they make the answer (real ones: a few KiB for hundreds of requirements).
constexpr int64_t kRequirements = 1 << 20;

// A wheel's central directory: about 100 bytes a member, so some 300,000
// members; the largest real wheels have tens of thousands.
constexpr int64_t kDirectory = 32 << 20;

// A whole wheel, when the server does not answer range requests: above the
// largest real wheels (GPU builds of about 2.5 GiB), so that a server cannot
// fill the disk. An announced Content-Length above it is refused at once.
constexpr int64_t kWheel = int64_t(4) << 30;

// What the range road may hold of one wheel: the end, the directory and the
// METADATA member with its local header (names and extra fields: 64 KiB each).
constexpr int64_t kRangesHeld = (512 << 10) + kDirectory + kPacked;

// Redirects followed for one request (object storage behind an index: one or two).
constexpr int kRedirects = 5;

// The time a request of this road may take in all, when the finder's session
// has no read time-out of its own: the JSON road's 10 s.
constexpr double kTimeout = 10;

// The download of a whole wheel has no total (a real one takes minutes on a
// slow link) but must make this much progress in every time-out period.
constexpr int64_t kLeastProgress = 64 << 10;

}  // namespace pic::finder::limits
