// The process entry shared by the three service builds.
#pragma once

#include "models/model_table.h"
#include "printxpc/builds.h"
#include "service/core/exit_status.h"

namespace printxpc {

int serviceMain(int argc, char** argv, const BuildIdentity& build, const ModelTable& models);

}  // namespace printxpc
