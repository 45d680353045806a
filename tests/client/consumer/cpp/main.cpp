// Asks the service whether a path is writable through the C++ API.
//   consumer SOCKET PATH
#include <printxpc/builds.h>
#include <printxpc/client.h>
#include <printxpc/operations.h>
#include <printxpc/requests.h>

#include <iostream>

namespace {

int run(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: consumer SOCKET PATH\n";
    return 2;
  }
  auto connected =
      printxpc::ServiceClient::connect(argv[1], printxpc::protocolName(printxpc::kBuilds[0]));
  if (!connected) {
    const auto& failure = connected.error();
    std::cerr << printxpc::errorName(failure.code) << ": " << failure.message << "\n";
    return 1;
  }
  const auto reply = connected->call(printxpc::selectorOf(printxpc::Operation::kIsFilePathWritable),
                                     printxpc::requests::buildFileWritable(argv[2]));
  if (!reply) {
    const auto& failure = reply.error();
    std::cerr << printxpc::errorName(failure.code) << ": " << failure.message << "\n";
    return 1;
  }
  std::cout << *reply << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
}
