// The operation table is part of the public client API; the service includes it from here.
#pragma once

#include "printxpc/operations.h"
