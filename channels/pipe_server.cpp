#include "channels/pipe_server.h"

unsigned QUARN_STDCALL PipeServer::CreatePipeServer(void* /*argument*/) { return 0; }
