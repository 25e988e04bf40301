// The Windows event behind ConditionCheck's requests.
#pragma once

#include <memory>

#include "monitor/condition_check.h"

// An unnamed auto-reset event, not signalled; null when it cannot be created (requests then
// log that the event is missing).
std::unique_ptr<SimStatusEvent> CreateSimStatusEvent();
