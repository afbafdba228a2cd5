// Progress percentages for the transfer bars.

#include "core/progress_position.h"

int progressPosition(uint32_t done, uint32_t total)
{
    if (total == 0) return 100;
    uint64_t position = (static_cast<uint64_t>(done) * 100u) / total;
    return position > 100 ? 100 : static_cast<int>(position);
}
