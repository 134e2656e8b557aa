/* A host application written in C: loads sievelink the way an application
 * does, calls the four entry points and writes every answer to a file (one
 * per call) for the checks that follow.
 * usage: host LIBRARY EXPORT_DIR SHARED_EXPORT_DIR OUT_DIR */
#include <dlfcn.h>
#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sievelink.h"

typedef char* (*status_fn)(void);
typedef char* (*list_fn)(int32_t, const char*, double, int32_t);
typedef void (*free_fn)(char*);

static status_fn auth_status;
static list_fn list;
static free_fn release;
static const char* out_dir;
static const char* shared_dir;
static int failures;

static void save(const char* name, char* text) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s.json", out_dir, name);
  FILE* file = fopen(path, "w");
  if (file == NULL || text == NULL) {
    fprintf(stderr, "no answer for %s\n", name);
    failures++;
  } else {
    fputs(text, file);
  }
  if (file != NULL) fclose(file);
  release(text);
}

static void* list_from_thread(void* name) {
  save((const char*)name, list(7, shared_dir, 0.0, 1));
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 5) return 64;
  out_dir = argv[4];
  shared_dir = argv[3];
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  /* The POSIX way to take a function from dlsym without a pedantic cast. */
  *(void**)(&auth_status) = dlsym(library, "pk_auth_status");
  *(void**)(&list) = dlsym(library, "pk_list");
  *(void**)(&release) = dlsym(library, "pk_free");
  if (!auth_status || !list || !release || !dlsym(library, "pk_request_auth")) return 1;

  save("auth", auth_status());
  char* bad = list(7, NULL, 0.0, 1);
  if (bad == NULL || strcmp(bad, "{\"error\":\"bad-args\"}") != 0 || strlen(bad) != 20) {
    fprintf(stderr, "null exportDir gave %s\n", bad ? bad : "NULL");
    failures++;
  }
  release(bad);
  release(NULL);
  save("bad-args", list(7, NULL, 0.0, 1));

  save("empty-path", list(7, "", 0.0, 1));
  save("days-minus-one", list(-1, argv[2], 0.0, 1));
  save("network-2", list(7, argv[2], 0.0, 2));
  save("network-minus-1", list(7, argv[2], 0.0, -1));
  save("network-0", list(7, argv[2], 0.0, 0));
  save("days-max", list(INT32_MAX, argv[2], 0.0, 1));
  save("days-min", list(INT32_MIN, argv[2], 0.0, 1));
  save("budget-nan", list(7, argv[2], NAN, 1));
  save("budget-inf", list(7, argv[2], INFINITY, 1));
  save("budget-negative", list(7, argv[2], -5.0, 1));
  save("budget-tiny", list(7, argv[2], 1e-300, 1));

  char* huge = malloc(100001);
  memset(huge, 'a', 100000);
  huge[0] = '/';
  huge[100000] = '\0';
  save("huge-path", list(7, huge, 0.0, 1));
  free(huge);
  char odd[4096];
  snprintf(odd, sizeof odd, "%s/odd-\xff\xfe-name", argv[2]);
  save("non-utf8-path", list(1, odd, 0.0, 1));

  pthread_t threads[4];
  static const char* names[4] = {"thread-0", "thread-1", "thread-2", "thread-3"};
  for (int i = 0; i < 4; ++i) pthread_create(&threads[i], NULL, list_from_thread, (void*)names[i]);
  for (int i = 0; i < 4; ++i) pthread_join(threads[i], NULL);

  /* Kept loaded, as applications keep it: the library's own threads may outlive a call. */
  return failures == 0 ? 0 : 1;
}
