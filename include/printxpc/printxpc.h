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

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

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
  PRINTXPC_ERR_AGAIN = 107,           /* printxpc_receive: the next reply is not here yet */
  PRINTXPC_ERR_TIMEOUT = 108,         /* no handshake or reply in time; connection closed */
  PRINTXPC_ERR_UNEXPECTED_REPLY = 109 /* a reply none of its operation's forms; stays usable */
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

/* Connecting waits at most this long for the handshake (PRINTXPC_ERR_TIMEOUT after it). */
#define PRINTXPC_HANDSHAKE_TIMEOUT_MS 10000

/* Closes the connection and frees the handle (NULL is ignored). */
PRINTXPC_API void printxpc_close(printxpc_client* client);

/* Sends one request and waits for its reply. `selector` names the operation, with or
 * without ":reply:" ("isFilePathWritable_XPC:reply:"), at most 65,535 bytes; the request is
 * `request_length` bytes of UTF-8. On success *reply is the NUL-terminated reply string (its
 * length in *reply_length when that is not NULL), to be released with printxpc_free().
 * The wait is bounded (see printxpc_set_reply_margin). */
PRINTXPC_API int printxpc_call(printxpc_client* client, const char* selector, const char* request,
                               size_t request_length, char** reply, size_t* reply_length,
                               printxpc_error* error);

/* Releases a reply string (NULL is ignored). */
PRINTXPC_API void printxpc_free(void* pointer);

/* Every blocking call (printxpc_call and the typed calls below) waits for its reply at most
 * as long as its operation may run in the service (a GET 60 s, an echo its timeout, every
 * other operation 5 s) plus the handle's reply margin, initially
 * PRINTXPC_DEFAULT_REPLY_MARGIN_MS. After that it fails with PRINTXPC_ERR_TIMEOUT and the
 * connection is closed: every later call on the handle fails with PRINTXPC_ERR_IO. */
#define PRINTXPC_DEFAULT_REPLY_MARGIN_MS 5000
PRINTXPC_API int printxpc_set_reply_margin(printxpc_client* client, unsigned int margin_ms,
                                           printxpc_error* error);

/* The six operations as typed calls: each builds its request string, waits for the reply
 * and parses it. A reply that is none of the operation's forms (a service of another
 * version) gives PRINTXPC_ERR_UNEXPECTED_REPLY; the handle stays usable. A FALSE is an
 * answer, not a failure: the call returns PRINTXPC_OK and sets *result to false. */

/* Can a file be opened for reading and writing at `path`? */
PRINTXPC_API int printxpc_is_file_path_writable(printxpc_client* client, const char* path,
                                                bool* result, printxpc_error* error);

/* Writes `length` bytes of `contents` as the whole file at a file: URL
 * ("file:///home/me/.config/printer/settings.plist"). */
PRINTXPC_API int printxpc_write_plist(printxpc_client* client, const char* url,
                                      const char* contents, size_t length, bool* result,
                                      printxpc_error* error);

/* Sends a Wake-on-LAN magic packet: *result 0 when sent, -1 when not. NULL address: the
 * limited broadcast 255.255.255.255; NULL mac: 00:00:00:00:00:00; NULL password: none. */
PRINTXPC_API int printxpc_send_magic_packet(printxpc_client* client, const char* address,
                                            const char* mac, const char* password, int32_t* result,
                                            printxpc_error* error);

/* Does `address` (dotted IPv4) answer an ICMP echo within `timeout_ms`? */
PRINTXPC_API int printxpc_send_echo(printxpc_client* client, const char* address,
                                    int64_t timeout_ms, bool* result, printxpc_error* error);

/* Appends to the existing cancel file `path`, cancelling the GETs that watch it. */
PRINTXPC_API int printxpc_cancel_file_write(printxpc_client* client, const char* path, bool* result,
                                            printxpc_error* error);

/* A GET's expected type (printxpc_snmp_get_args.expected_type). */
enum {
  PRINTXPC_SNMP_EXPECT_TEXT = 4,   /* a NULL or other non-text value reads as empty text */
  PRINTXPC_SNMP_EXPECT_INTEGER = 2 /* a NULL is PRINTXPC_SNMP_STATUS_NOT_EXPECTED_KIND */
};

/* What a GET asks for. A zero-initialised struct with host and oid set is an ordinary GET:
 * community "public", a wait of 1000 ms, text expected, the default cancel file watched. */
typedef struct printxpc_snmp_get_args {
  const char* host;      /* the printer's numeric IPv4 address ("192.0.2.10"); required */
  const char* oid;       /* dotted decimal ("1.3.6.1.2.1.1.5.0"); required */
  const char* community; /* NULL: "public" */
  /* The wait for the answer in ms, sent with every GET so that no other caller's stored
   * timeout applies. 0: 1000 ms; negative: none sent, the service's shared timeout holds. */
  int32_t timeout_ms;
  int32_t expected_type; /* PRINTXPC_SNMP_EXPECT_...; 0: PRINTXPC_SNMP_EXPECT_TEXT */
  int mac_form;          /* non-zero: a text value formatted as xx:xx:xx:xx:xx:xx */
  /* The cancel file, created if missing and watched during the GET (printxpc_cancel_file_write
   * on it cancels). NULL: print-xpc-call.cancel in $XDG_RUNTIME_DIR, or in
   * /tmp/print-xpc-<uid>/ without it. */
  const char* cancel_file;
  int no_cancel;       /* non-zero: the file is not watched, the cancel flag left as it is */
  int32_t cancel_flag; /* stored into the service's cancel flag unless no_cancel; 0 clears */
} printxpc_snmp_get_args;

/* The kinds of a GET's reply (printxpc_snmp_result.kind). */
enum {
  PRINTXPC_SNMP_KIND_INTEGER = 1, /* "TRUE:uResult.integer=N": `integer` */
  PRINTXPC_SNMP_KIND_TEXT = 2,    /* "TRUE:uResult.string=TEXT": `text`, `text_length` */
  PRINTXPC_SNMP_KIND_FAILURE = 3, /* "FALSE:rtn_ExitValue=N": `status` */
  PRINTXPC_SNMP_KIND_FALSE = 4    /* "FALSE": the cancel file could not be created */
};

/* The status of a PRINTXPC_SNMP_KIND_FAILURE. */
enum {
  PRINTXPC_SNMP_STATUS_CANCELLED = -1,             /* the cancel flag was raised */
  PRINTXPC_SNMP_STATUS_NO_EXCHANGE = -9780,        /* nothing could be sent, or no answer came */
  PRINTXPC_SNMP_STATUS_NOT_EXPECTED_KIND = -30896, /* the value is not of the expected kind */
  PRINTXPC_SNMP_STATUS_UNKNOWN_KIND = -50          /* a value of an unknown kind */
};

#define PRINTXPC_SNMP_TEXT_MAX 255

/* A GET's reply, parsed. */
typedef struct printxpc_snmp_result {
  int kind;                              /* PRINTXPC_SNMP_KIND_... */
  int32_t integer;                       /* PRINTXPC_SNMP_KIND_INTEGER */
  char text[PRINTXPC_SNMP_TEXT_MAX + 1]; /* PRINTXPC_SNMP_KIND_TEXT: UTF-8, NUL-terminated */
  size_t text_length;                    /* its length in bytes */
  int32_t status; /* PRINTXPC_SNMP_KIND_FAILURE: PRINTXPC_SNMP_STATUS_... or another code */
} printxpc_snmp_result;

/* Reads one value by SNMPv1. */
PRINTXPC_API int printxpc_snmp_get(printxpc_client* client, const printxpc_snmp_get_args* args,
                                   printxpc_snmp_result* result, printxpc_error* error);

/* Reply parsers, for replies collected with printxpc_receive() (or printxpc_call()):
 * PRINTXPC_OK with the value, or PRINTXPC_ERR_UNEXPECTED_REPLY. */
/* "TRUE" or "FALSE": writability, property-list write, echo, cancel write. */
PRINTXPC_API int printxpc_parse_boolean_reply(const char* reply, size_t length, bool* result,
                                              printxpc_error* error);
/* A decimal number: the magic packet. */
PRINTXPC_API int printxpc_parse_integer_reply(const char* reply, size_t length, int32_t* result,
                                              printxpc_error* error);
/* One of the four forms of a GET's reply. */
PRINTXPC_API int printxpc_parse_snmp_get_reply(const char* reply, size_t length,
                                               printxpc_snmp_result* result, printxpc_error* error);

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

/* Typed sends: printxpc_send() with the request string of each operation built from the
 * same arguments as the typed calls; collect each reply with printxpc_receive() and parse
 * it with the parser of its operation. */
PRINTXPC_API int printxpc_queue_is_file_path_writable(printxpc_client* client, const char* path,
                                                      printxpc_error* error);
PRINTXPC_API int printxpc_queue_write_plist(printxpc_client* client, const char* url,
                                            const char* contents, size_t length,
                                            printxpc_error* error);
PRINTXPC_API int printxpc_queue_send_magic_packet(printxpc_client* client, const char* address,
                                                  const char* mac, const char* password,
                                                  printxpc_error* error);
PRINTXPC_API int printxpc_queue_send_echo(printxpc_client* client, const char* address,
                                          int64_t timeout_ms, printxpc_error* error);
PRINTXPC_API int printxpc_queue_cancel_file_write(printxpc_client* client, const char* path,
                                                  printxpc_error* error);
PRINTXPC_API int printxpc_queue_snmp_get(printxpc_client* client,
                                         const printxpc_snmp_get_args* args, printxpc_error* error);

#ifdef __cplusplus
}
#endif

#endif /* PRINTXPC_PRINTXPC_H */
