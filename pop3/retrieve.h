// Retrieval of message text into a buffer or a file.
#pragma once

#include "frame/channel.h"

namespace pel {

// Ends a retrieval into a file that a failed step left unfinished: finishes
// an attachment being saved and closes the message file.
void endUnfinishedRetrieval(ChannelBlock* b);

}  // namespace pel
