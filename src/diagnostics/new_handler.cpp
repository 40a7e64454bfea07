#include "diagnostics/new_handler.h"

void ThrowBadAllocation() { throw BadAllocation(); }
