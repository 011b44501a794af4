// Composition of a sent message: the header block, the message text and the
// end of data.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

// The complete Date header line, as it would be sent now.
void formatDateLine(char* target, int32_t size);

}  // namespace pel
