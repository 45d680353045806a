// Entry of one service build; PRINTXPC_BUILD_ID selects the build's identity.
#include "models/model_table.h"
#include "printxpc/builds.h"
#include "service/service_main.h"

int main(int argc, char** argv) {
  const auto* build = printxpc::findBuild(PRINTXPC_BUILD_ID);
  return printxpc::serviceMain(argc, argv, *build, printxpc::buildModelTable());
}
