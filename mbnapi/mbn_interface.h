// The Mobile Broadband COM wrapper's start and stop, called by start-up and tear-down.
#pragma once

#include "common/platform_types.h"

QuarnHresult InitRegisterMBIMInterface();
void DeInitRegisterMBIMInterface();
