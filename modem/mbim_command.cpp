#include "modem/mbim_command.h"

// No modem transport is wired in: nothing can be sent, so every ejection fails.
QuarnHresult MBIMCommand::SendRemoveSimCard(ModulePlatform /*platform*/) { return QUARN_E_FAIL; }
