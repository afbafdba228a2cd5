// The arithmetic of the two progress bars, kept apart from the window calls so it can be tested.
#pragma once

#include <cstdint>

// Percentage shown for `done` bytes of `total`: (done * 100) / total in 64 bits, cut toward zero.
// An empty transfer (total 0) is complete and shows 100; anything above 100 shows as 100.
int progressPosition(uint32_t done, uint32_t total);
