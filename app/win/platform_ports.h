// Wires the portable core to this machine: the Configuration Manager, the Windows Runtime
// modem transport, COM, the console runner and real pauses.
#pragma once

void AttachPlatformPorts();
