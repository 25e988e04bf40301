// The control pipe "\\.\pipe\QuarnVelmoraPipe".
#pragma once

#include "common/platform_types.h"

class PipeServer {
public:
    // Body of the pipe server thread.
    static unsigned QUARN_STDCALL CreatePipeServer(void* argument);
};
