// The Mobile Broadband COM wrapper's start and stop, called by start-up and tear-down, and
// the SIM status hand-off that its event sink uses.
#pragma once

#include "common/platform_types.h"

class SimStatusRequests;

QuarnHresult InitRegisterMBIMInterface();
void DeInitRegisterMBIMInterface();
// After the mobile broadband service restarted: objects of the old service (they answer RPC
// errors) are dropped, new ones made and subscribed, and the interface connected again.
// Fails with the creation's or the subscription's error while the service is not back.
QuarnHresult ReconnectMBIMInterfaceAfterServiceRestart();

// Where the sink asks for a new SIM status decision and the 4G power-on. Unset in a process
// that only loads the executable's exports: there is no SIM status worker there.
void AttachMbnSimStatusRequests(SimStatusRequests* requests);
