// Runs a program as on a kernel without Landlock and seccomp (or in a container
// that forbids them): those calls fail as they would there. "--as-is" runs it
// through the same steps without the filter, for a fair comparison.
// usage: without_confinement [--as-is] PROGRAM [ARG ...]
#include <errno.h>
#include <seccomp.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  const int asIs = argc > 1 && strcmp(argv[1], "--as-is") == 0;
  char** program = argv + 1 + asIs;
  if (program[0] == NULL) {
    fprintf(stderr, "usage: without_confinement [--as-is] PROGRAM [ARG ...]\n");
    return 64;
  }
  if (!asIs) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    int ok = filter != NULL && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset), 0) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_add_rule), 0) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_restrict_self), 0) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(seccomp), 0) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EINVAL), SCMP_SYS(prctl), 1,
                                SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP)) == 0;
    ok = ok && seccomp_load(filter) == 0;
    if (!ok) {
      perror("without_confinement: cannot filter");
      return 70;
    }
    seccomp_release(filter);
  }
  execv(program[0], program);
  perror("without_confinement: cannot run the program");
  return 127;
}
