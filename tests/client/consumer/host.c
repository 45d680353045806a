/* The dialog: loads a plugin with dlopen, as print dialogs do, and runs its probe.
 *   host PLUGIN SOCKET PATH */
#include <dlfcn.h>
#include <stdio.h>

typedef int (*probe_fn)(const char*, const char*, char*, size_t);

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: host PLUGIN SOCKET PATH\n");
    return 2;
  }
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (plugin == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  probe_fn probe = (probe_fn)dlsym(plugin, "plugin_probe");
  if (probe == NULL) {
    fprintf(stderr, "dlsym: %s\n", dlerror());
    return 1;
  }
  char reply[256];
  const int code = probe(argv[2], argv[3], reply, sizeof reply);
  printf("%s\n", reply);
  dlclose(plugin);
  return code == 0 ? 0 : 1;
}
