// The C API's connections and raw calls: a thin layer over ServiceClient that turns results
// into codes and messages and keeps exceptions (out of memory) from crossing into C. The
// typed calls are in c_calls.cpp.
#include "printxpc/printxpc.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "client/c_support.h"
#include "printxpc/builds.h"
#include "printxpc/client.h"

namespace {

using namespace printxpc::c_api;
using printxpc::ClientError;
using printxpc::errorCode;
using printxpc::TransportError;

static_assert(PRINTXPC_ERR_PROTOCOL_MISMATCH == errorCode(TransportError::kProtocolMismatch));
static_assert(PRINTXPC_ERR_PERMISSION_DENIED == errorCode(TransportError::kPermissionDenied));
static_assert(PRINTXPC_ERR_CANNOT_CONNECT == errorCode(ClientError::kCannotConnect));
static_assert(PRINTXPC_ERR_NOT_TRUSTED == errorCode(ClientError::kServerNotTrusted));
static_assert(PRINTXPC_ERR_UNSAFE_DIRECTORY == errorCode(ClientError::kUnsafeDirectory));
static_assert(PRINTXPC_ERR_AGAIN == errorCode(ClientError::kNoReplyYet));
static_assert(PRINTXPC_ERR_TIMEOUT == errorCode(ClientError::kTimedOut));
static_assert(PRINTXPC_ERR_UNEXPECTED_REPLY == errorCode(ClientError::kUnexpectedReply));
static_assert(std::chrono::milliseconds(PRINTXPC_HANDSHAKE_TIMEOUT_MS) ==
              printxpc::kHandshakeTimeout);
static_assert(std::chrono::milliseconds(PRINTXPC_DEFAULT_REPLY_MARGIN_MS) ==
              printxpc::ServiceClient::kDefaultReplyMargin);

// Hands a reply to C: a malloc'ed NUL-terminated copy.
int giveReply(const std::string& text, char** reply, std::size_t* replyLength,
              printxpc_error* error) {
  // C code owns the reply and gives it back to printxpc_free(): malloc is the contract.
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) {
    return report(error, errorCode(ClientError::kOutOfMemory), "out of memory");
  }
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *reply = copy;
  if (replyLength != nullptr) {
    *replyLength = text.size();
  }
  return ok(error);
}

int connectTo(const std::string& socketPath, const printxpc::BuildIdentity& build,
              printxpc_client** client, printxpc_error* error) {
  auto connected = printxpc::ServiceClient::connect(socketPath, printxpc::protocolName(build));
  if (!connected) {
    return report(error, connected.error());
  }
  // The handle belongs to the caller from here on, until printxpc_close().
  *client = std::make_unique<printxpc_client>(printxpc_client{std::move(*connected)}).release();
  return ok(error);
}

const printxpc::BuildIdentity* buildOf(const char* buildId) {
  return buildId == nullptr ? nullptr : printxpc::findBuild(buildId);
}

}  // namespace

extern "C" {

const char* printxpc_error_name(int code) {
  if (code == PRINTXPC_OK) {
    return "ok";
  }
  if (code < 0 || code > 0xFFFF) {
    return "unknown-error";
  }
  // Every name is a string literal, so its data ends in a NUL.
  return printxpc::errorName(static_cast<std::uint16_t>(code)).data();
}

int printxpc_connect_build(const char* build_id, printxpc_client** client, printxpc_error* error) {
  return guarded(error, [&] {
    if (client == nullptr) {
      return invalid(error, "no place for the handle");
    }
    const auto* build = buildOf(build_id);
    if (build == nullptr) {
      return invalid(error, "the build id must be \"a\", \"b\" or \"c\"");
    }
    const auto path = printxpc::defaultSocketPath(build->name);
    if (!path) {
      return report(error, path.error());
    }
    return connectTo(*path, *build, client, error);
  });
}

int printxpc_connect_path(const char* socket_path, const char* build_id, printxpc_client** client,
                          printxpc_error* error) {
  return guarded(error, [&] {
    const auto* build = buildOf(build_id);
    if (client == nullptr || socket_path == nullptr) {
      return invalid(error, "no socket path or no place for the handle");
    }
    if (build == nullptr) {
      return invalid(error, "the build id must be \"a\", \"b\" or \"c\"");
    }
    return connectTo(socket_path, *build, client, error);
  });
}

void printxpc_close(printxpc_client* client) { std::unique_ptr<printxpc_client> owned(client); }

void printxpc_free(void* pointer) {
  std::free(pointer);  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
}

int printxpc_call(printxpc_client* client, const char* selector, const char* request,
                  size_t request_length, char** reply, size_t* reply_length,
                  printxpc_error* error) {
  return guarded(error, [&] {
    if (client == nullptr || selector == nullptr || reply == nullptr ||
        (request == nullptr && request_length > 0)) {
      return invalid(error, "missing handle, selector, request or reply place");
    }
    const auto answer = client->client.call(selector, std::string_view(request, request_length));
    if (!answer) {
      return report(error, answer.error());
    }
    return giveReply(*answer, reply, reply_length, error);
  });
}

int printxpc_set_reply_margin(printxpc_client* client, unsigned int margin_ms,
                              printxpc_error* error) {
  if (client == nullptr) {
    return invalid(error, "missing handle");
  }
  client->client.setReplyMargin(std::chrono::milliseconds(margin_ms));
  return ok(error);
}

int printxpc_fd(const printxpc_client* client) {
  return client == nullptr ? -1 : client->client.fd();
}

short printxpc_events(const printxpc_client* client) {
  return client == nullptr ? short{0} : client->client.pollEvents();
}

size_t printxpc_pending(const printxpc_client* client) {
  return client == nullptr ? 0 : client->client.pending();
}

int printxpc_send(printxpc_client* client, const char* selector, const char* request,
                  size_t request_length, printxpc_error* error) {
  return guarded(error, [&] {
    if (client == nullptr || selector == nullptr || (request == nullptr && request_length > 0)) {
      return invalid(error, "missing handle, selector or request");
    }
    const auto sent = client->client.send(selector, std::string_view(request, request_length));
    if (!sent) {
      return report(error, sent.error());
    }
    return ok(error);
  });
}

int printxpc_receive(printxpc_client* client, char** reply, size_t* reply_length,
                     printxpc_error* error) {
  return guarded(error, [&] {
    if (client == nullptr || reply == nullptr) {
      return invalid(error, "missing handle or reply place");
    }
    const auto answer = client->client.receive();
    if (!answer) {
      return report(error, answer.error());
    }
    return giveReply(*answer, reply, reply_length, error);
  });
}

}  // extern "C"
