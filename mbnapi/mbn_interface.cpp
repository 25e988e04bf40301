#include "mbnapi/mbn_interface.h"

QuarnHresult InitRegisterMBIMInterface() { return QUARN_S_OK; }

void DeInitRegisterMBIMInterface() {}
