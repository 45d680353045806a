/* Asks print-xpc-service whether files are writable without ever blocking a GLib main loop:
 * every request is sent at once, the loop watches the connection's descriptor, and the
 * replies are collected as they arrive, in the order of the requests.
 *
 *   glib-main-loop SOCKET|- PATH...      (- : the default socket of build a)
 *
 * Build: cc -std=c11 glib-main-loop.c $(pkg-config --cflags --libs glib-2.0 printxpc-client)
 */
#include <glib-unix.h>
#include <glib.h>
#include <stdio.h>
#include <string.h>

#include <printxpc/printxpc.h>

typedef struct {
  printxpc_client* client;
  GMainLoop* loop;
  char** paths;
  int count;
  int received;
  int status;
  guint watch;
  GIOCondition watched;
} Session;

static gboolean on_ready(gint fd, GIOCondition condition, gpointer data);

/* Watches the descriptor for what the client waits for now (more while requests are still
 * queued for writing); the watch is replaced only when that changes. */
static void watch(Session* session) {
  const GIOCondition wanted = (GIOCondition)printxpc_events(session->client);
  if (session->watch != 0 && wanted == session->watched) {
    return;
  }
  if (session->watch != 0) {
    g_source_remove(session->watch);
  }
  session->watched = wanted;
  session->watch = g_unix_fd_add(printxpc_fd(session->client), wanted, on_ready, session);
}

static void finish(Session* session, int status) {
  session->status = status;
  g_main_loop_quit(session->loop);
}

static gboolean on_ready(gint fd, GIOCondition condition, gpointer data) {
  Session* session = data;
  (void)fd;
  (void)condition;
  while (session->received < session->count) {
    char* reply = NULL;
    printxpc_error error;
    const int code = printxpc_receive(session->client, &reply, NULL, &error);
    if (code == PRINTXPC_ERR_AGAIN) {
      break;
    }
    if (code != PRINTXPC_OK) {
      fprintf(stderr, "%s: %s: %s\n", session->paths[session->received], printxpc_error_name(code),
              error.message);
      session->watch = 0;
      finish(session, 1);
      return G_SOURCE_REMOVE;
    }
    printf("%s: %s\n", session->paths[session->received], reply);
    printxpc_free(reply);
    ++session->received;
  }
  if (session->received == session->count) {
    session->watch = 0;
    finish(session, 0);
    return G_SOURCE_REMOVE;
  }
  if ((GIOCondition)printxpc_events(session->client) != session->watched) {
    session->watch = 0; /* this source goes away on return; watch() makes the new one */
    watch(session);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s SOCKET|- PATH...\n", argv[0]);
    return 2;
  }
  Session session = {0};
  printxpc_error error;
  const int connected = strcmp(argv[1], "-") == 0
                            ? printxpc_connect_build("a", &session.client, &error)
                            : printxpc_connect_path(argv[1], "a", &session.client, &error);
  if (connected != PRINTXPC_OK) {
    fprintf(stderr, "%s: %s\n", printxpc_error_name(connected), error.message);
    return 1;
  }
  session.paths = argv + 2;
  session.count = argc - 2;
  for (int i = 0; i < session.count; ++i) {
    const int sent =
        printxpc_send(session.client, "isFilePathWritable_XPC:reply:", session.paths[i],
                      strlen(session.paths[i]), &error);
    if (sent != PRINTXPC_OK) {
      fprintf(stderr, "%s: %s\n", printxpc_error_name(sent), error.message);
      printxpc_close(session.client);
      return 1;
    }
  }
  session.loop = g_main_loop_new(NULL, FALSE);
  watch(&session);
  g_main_loop_run(session.loop);
  g_main_loop_unref(session.loop);
  printxpc_close(session.client);
  return session.status;
}
