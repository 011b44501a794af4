// Retrieval of message text into a buffer or a file.
#include "pop3/retrieve.h"

#include "frame/platform/platform.h"

namespace pel {

void endUnfinishedRetrieval(ChannelBlock* b) {
  if (b->saveFile != 0) {
    plat::fileClose(b->saveFile);
    b->saveFile = 0;
  }
}

}  // namespace pel
