// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in host's settings of the process's allocator (glibc; a no-op elsewhere, so the
// Windows host is unchanged). They change no result, only how memory is reused.
#pragma once

// Called once at start-up, before any thread starts:
// - fast bins off: the FFT library allocates and frees about 84,000 small buffers in every
//   transform of a size with large prime factors (142 x 142 x 74), and with fast bins each
//   larger request swept them, about a sixth of such a transform's time;
// - blocks up to 32 MB come from the heap, and up to 64 MB of freed memory stays with the
//   process: a run allocates the same volumes and buffers again for every volume, and
//   under glibc's own thresholds they went back to the system and came again as fresh
//   pages (applying a map to 200 volumes of 64 x 64 x 30 faulted 8,800 pages in on one
//   thread and 16,000 to 24,000 on two; now 4,200 and 6,100).
void suitAllocatorToVolumes();
