/* A print-dialog plugin in C: a shared object that asks the service one question. */
#include <stddef.h>
#include <string.h>

#include <printxpc/printxpc.h>

/* Writes the reply (or the error's name) for "is PATH writable?" into `out`; 0 on a reply. */
__attribute__((visibility("default"))) int plugin_probe(const char* socket_path, const char* path,
                                                        char* out, size_t size) {
  printxpc_client* client = NULL;
  printxpc_error error;
  int code = printxpc_connect_path(socket_path, "a", &client, &error);
  if (code == PRINTXPC_OK) {
    char* reply = NULL;
    code =
        printxpc_call(client, "isFilePathWritable_XPC", path, strlen(path), &reply, NULL, &error);
    if (code == PRINTXPC_OK) {
      strncpy(out, reply, size - 1);
      out[size - 1] = '\0';
      printxpc_free(reply);
    }
    printxpc_close(client);
  }
  if (code != PRINTXPC_OK) {
    strncpy(out, printxpc_error_name(code), size - 1);
    out[size - 1] = '\0';
  }
  return code;
}
