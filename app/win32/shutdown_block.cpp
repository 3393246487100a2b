#include "app/win32/shutdown_block.h"

#include "app/win32/text.h"
#include "resources/string_table.h"

namespace rt88h::win32 {

void ShutdownBlock::take() {
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  if (owner != nullptr)
    ShutdownBlockReasonCreate(owner, wide(loadString(IDS_INHIBITOR_WHY)).c_str());
}

void ShutdownBlock::release() {
  SetThreadExecutionState(ES_CONTINUOUS);
  if (owner != nullptr) ShutdownBlockReasonDestroy(owner);
}

}  // namespace rt88h::win32
