// The process entry shared by the three service builds.
#pragma once

#include "models/model_table.h"
#include "printxpc/builds.h"

namespace printxpc {

// Exit codes of the service process.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // cannot listen, another service answers, ...
inline constexpr int kExitUsage = 2;

int serviceMain(int argc, char** argv, const BuildIdentity& build, const ModelTable& models);

}  // namespace printxpc
