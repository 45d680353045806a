/*
 * C API of the print-xpc-service client library (libprintxpc-client).
 *
 * A handle is one connection to one service build. Every function that can fail returns
 * PRINTXPC_OK (0) or a PRINTXPC_ERR_ code and, when given a printxpc_error, fills it in
 * with the code and a message for people. Reply strings are allocated by the library and
 * released with printxpc_free().
 *
 * Threads: a handle is not safe for concurrent use. Use one handle per thread (distinct
 * handles may be used at the same time from any threads), or serialise every call on a
 * shared handle yourself. A handle may be passed from one thread to another between calls.
 */
#ifndef PRINTXPC_PRINTXPC_H
#define PRINTXPC_PRINTXPC_H

#include <stddef.h>

#include "printxpc/visibility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. 1 to 9 are the transport errors the service sends (docs/protocol.md); the
 * others are found on this side. */
enum {
  PRINTXPC_OK = 0,
  PRINTXPC_ERR_PROTOCOL_MISMATCH = 1, /* the socket serves another build */
  PRINTXPC_ERR_HANDSHAKE_REQUIRED = 2,
  PRINTXPC_ERR_MALFORMED_FRAME = 3,
  PRINTXPC_ERR_FRAME_TOO_LARGE = 4,    /* the request is larger than 8 MiB */
  PRINTXPC_ERR_UNKNOWN_OPERATION = 5,  /* connection stays usable */
  PRINTXPC_ERR_INVALID_UTF8 = 6,       /* connection stays usable */
  PRINTXPC_ERR_NOT_AVAILABLE = 7,      /* connection stays usable */
  PRINTXPC_ERR_BUSY = 8,               /* the service serves too many clients; retry later */
  PRINTXPC_ERR_PERMISSION_DENIED = 9,  /* the service refuses this user */
  PRINTXPC_ERR_CANNOT_CONNECT = 100,   /* no service answers at the socket */
  PRINTXPC_ERR_NOT_TRUSTED = 101,      /* the socket's server is neither this user nor root */
  PRINTXPC_ERR_IO = 102,               /* the connection failed or was closed */
  PRINTXPC_ERR_PROTOCOL = 103,         /* the service sent what the protocol does not allow */
  PRINTXPC_ERR_UNSAFE_DIRECTORY = 104, /* /tmp/print-xpc-<uid> failed its ownership checks */
  PRINTXPC_ERR_INVALID_ARGUMENT = 105, /* a bad argument, or a call out of turn */
  PRINTXPC_ERR_NO_MEMORY = 106,
  PRINTXPC_ERR_AGAIN = 107 /* printxpc_receive: the next reply is not here yet */
};

typedef struct printxpc_error {
  int code;
  char message[256]; /* NUL-terminated, possibly shortened */
} printxpc_error;

typedef struct printxpc_client printxpc_client;

/* A short stable name for a code: "busy", "server-not-trusted", ... (never NULL). */
PRINTXPC_API const char* printxpc_error_name(int code);

/* Connects to build "a", "b" or "c" at its default socket ($XDG_RUNTIME_DIR/<build>.sock, or
 * in /tmp/print-xpc-<uid>/ without XDG_RUNTIME_DIR), checks that the service runs as this
 * user or root and performs the handshake. On success *client is a new handle. */
PRINTXPC_API int printxpc_connect_build(const char* build_id, printxpc_client** client,
                                        printxpc_error* error);

/* The same at a given socket path. */
PRINTXPC_API int printxpc_connect_path(const char* socket_path, const char* build_id,
                                       printxpc_client** client, printxpc_error* error);

/* Closes the connection and frees the handle (NULL is ignored). */
PRINTXPC_API void printxpc_close(printxpc_client* client);

/* Sends one request and waits for its reply. `selector` names the operation, with or
 * without ":reply:" ("isFilePathWritable_XPC:reply:"); the request is `request_length`
 * bytes of UTF-8. On success *reply is the NUL-terminated reply string (its length in
 * *reply_length when that is not NULL), to be released with printxpc_free(). */
PRINTXPC_API int printxpc_call(printxpc_client* client, const char* selector, const char* request,
                               size_t request_length, char** reply, size_t* reply_length,
                               printxpc_error* error);

/* Releases a reply string (NULL is ignored). */
PRINTXPC_API void printxpc_free(void* pointer);

/* Non-blocking use, for main loops (GLib, Qt, poll):
 *  - printxpc_send() queues a request and writes what the socket takes without waiting;
 *  - wait until printxpc_fd() is ready for printxpc_events() (poll(2) event bits:
 *    POLLIN while replies are due, POLLOUT while requests wait to be written);
 *  - printxpc_receive() then hands out the next reply, in the order of the requests, or
 *    PRINTXPC_ERR_AGAIN when it has not arrived whole; call it until it says so (with no
 *    reply due it answers PRINTXPC_ERR_INVALID_ARGUMENT).
 * A transport error that answers one request (unknown operation, invalid UTF-8, ...) is
 * returned by the printxpc_receive() of that request. printxpc_call() is refused while
 * replies are still to be collected. */
PRINTXPC_API int printxpc_fd(const printxpc_client* client);
PRINTXPC_API short printxpc_events(const printxpc_client* client);
PRINTXPC_API int printxpc_send(printxpc_client* client, const char* selector, const char* request,
                               size_t request_length, printxpc_error* error);
PRINTXPC_API int printxpc_receive(printxpc_client* client, char** reply, size_t* reply_length,
                                  printxpc_error* error);
/* Requests sent whose replies have not been collected yet. */
PRINTXPC_API size_t printxpc_pending(const printxpc_client* client);

#ifdef __cplusplus
}
#endif

#endif /* PRINTXPC_PRINTXPC_H */
