/* A host application written in C: loads sievelink the way an application
 * does, calls the four entry points and writes every answer to a file (one
 * per call) for the checks that follow; lists from eight threads at once
 * into one folder; then unloads and loads the library again and again, and
 * checks that nothing of it (a thread, a descriptor) outlives the unload.
 * usage: host LIBRARY EXPORT_DIR SHARED_EXPORT_DIR OUT_DIR, or host LIBRARY request */
#include <dirent.h>
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
static int own_tasks;  /* the host's, and a sanitizer runtime's, before the library came */
static int threads_told_only;  /* a runtime that starts threads of its own later: told, not failed */

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

enum { kThreads = 8, kRounds = 5, kReloads = 50 };

static void* list_from_thread(void* number) {
  for (int round = 0; round < kRounds; ++round) {
    char name[64];
    snprintf(name, sizeof name, "thread-%d-%d", (int)(intptr_t)number, round);
    save(name, list(7, shared_dir, 0.0, 1));
  }
  return NULL;
}

static void* nothing(void* unused) { return unused; }

static int entries_of(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == NULL) return -1;
  int count = 0;
  for (struct dirent* entry; (entry = readdir(dir)) != NULL;) count += entry->d_name[0] != '.';
  closedir(dir);
  return count - (strcmp(folder, "/proc/self/fd") == 0);  /* the listing's own descriptor */
}

/* The process's threads that still run code of its own. A joined thread
 * stays in /proc/self/task for a moment while the kernel ends it: pthread_join
 * returns as soon as the kernel clears its tid, which is after the thread was
 * marked as exiting (PF_EXITING in its flags) and before it lets go of the
 * address space (its size reads 0 only then). */
static int live_threads(void) {
  DIR* dir = opendir("/proc/self/task");
  if (dir == NULL) return -1;
  int count = 0;
  for (struct dirent* entry; (entry = readdir(dir)) != NULL;) {
    if (entry->d_name[0] == '.') continue;
    char path[300], text[1024];
    snprintf(path, sizeof path, "/proc/self/task/%s/stat", entry->d_name);
    FILE* file = fopen(path, "r");
    if (file == NULL) continue;  /* gone already */
    const size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = '\0';
    /* The name in parentheses may hold spaces; after it, the flags are the 7th
     * field and the size the 21st. */
    enum { kFlagsField = 7, kSizeField = 21, kExiting = 0x4 };
    char* field = strrchr(text, ')');
    unsigned long long flags = 0, size = 0;
    for (int i = 1; field != NULL && i <= kSizeField; ++i) {
      field = strchr(field + 1, ' ');
      if (field != NULL && i == kFlagsField) flags = strtoull(field + 1, NULL, 10);
      if (field != NULL && i == kSizeField) size = strtoull(field + 1, NULL, 10);
    }
    count += size != 0 && (flags & kExiting) == 0;
  }
  closedir(dir);
  return count;
}

/* Loads, lists, asks and unloads, as a host that loads the library only while
 * it needs it; 0 when it went well. */
static int load_use_unload(const char* path, const char* export_dir) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) return 1;
  list_fn listing;
  status_fn request;
  free_fn done;
  *(void**)(&listing) = dlsym(library, "pk_list");
  *(void**)(&request) = dlsym(library, "pk_request_auth");
  *(void**)(&done) = dlsym(library, "pk_free");
  char* listed = listing(7, export_dir, 0.0, 1);
  const int after_list = live_threads();  /* at once: a thread ending late is still there */
  char* asked = request();
  const int after_request = live_threads();
  int failed = listed == NULL || listed[0] != '[' || asked == NULL || strstr(asked, "authorized") == NULL;
  if (after_list != own_tasks || after_request != own_tasks) {
    fprintf(stderr, "%d threads ran on after pk_list, %d after pk_request_auth\n", after_list - own_tasks,
            after_request - own_tasks);
    failed = failed || !threads_told_only;
  }
  done(listed);
  done(asked);
  return dlclose(library) != 0 || failed;
}

static status_fn request_auth;

static void* request_from_thread(void* unused) {
  char* answer = request_auth();
  puts(answer != NULL ? answer : "NULL");
  release(answer);
  return unused;
}

/* host LIBRARY request: pk_request_auth on a thread of the host's, its answer on standard output. */
static int request_only(const char* path) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) return 1;
  *(void**)(&request_auth) = dlsym(library, "pk_request_auth");
  *(void**)(&release) = dlsym(library, "pk_free");
  pthread_t thread;
  pthread_create(&thread, NULL, request_from_thread, NULL);
  pthread_join(thread, NULL);
  return dlclose(library);
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[2], "request") == 0) return request_only(argv[1]);
  if (argc != 5) return 64;
  out_dir = argv[4];
  shared_dir = argv[3];
  /* A thread of the host's own first: a sanitizer's runtime starts its helper thread with it. */
  pthread_t first;
  pthread_create(&first, NULL, nothing, NULL);
  pthread_join(first, NULL);
  own_tasks = live_threads();
  threads_told_only = getenv("HOST_THREADS_TOLD_ONLY") != NULL;
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
  save("non-utf8-path", list(7, odd, 0.0, 1));  /* a week: today alone may hold none yet, just after midnight */

  pthread_t threads[kThreads];
  for (int i = 0; i < kThreads; ++i) pthread_create(&threads[i], NULL, list_from_thread, (void*)(intptr_t)i);
  for (int i = 0; i < kThreads; ++i) pthread_join(threads[i], NULL);

  if (dlclose(library) != 0) failures++;
  const int tasks = live_threads(), fds = entries_of("/proc/self/fd");
  if (tasks != own_tasks) {
    fprintf(stderr, "%d threads run after the library was unloaded\n", tasks - own_tasks);
    failures += !threads_told_only;
  }
  for (int i = 0; i < kReloads; ++i) {
    if (load_use_unload(argv[1], argv[2]) != 0) {
      fprintf(stderr, "load %d: a call failed\n", i);
      failures++;
    }
    if ((!threads_told_only && live_threads() != own_tasks) || entries_of("/proc/self/fd") != fds) {
      fprintf(stderr, "load %d: %d threads and %d descriptors left, %d before\n", i,
              live_threads() - own_tasks,
              entries_of("/proc/self/fd"), fds);
      failures++;
      break;
    }
  }
  return failures == 0 ? 0 : 1;
}
