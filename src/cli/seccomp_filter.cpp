#include "cli/seccomp_filter.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <memory>

namespace shotsieve {

namespace {

struct FilterFree {
  void operator()(scmp_filter_ctx filter) const { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterFree>;

// Calls no part of shotsieve, exiv2, libpng or the C and C++ runtimes makes
// once a command is reading the library. Each fails with EPERM rather than
// killing the process: none of them is made by our own code, and a library
// that tries one anyway gets an error it must already handle, with nothing
// half done that a kill would leave behind.
constexpr int kDenied[] = {
    SCMP_SYS(socket), SCMP_SYS(execve), SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv),
    SCMP_SYS(process_vm_writev), SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot),
    SCMP_SYS(bpf), SCMP_SYS(perf_event_open), SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key),
    SCMP_SYS(userfaultfd), SCMP_SYS(unshare), SCMP_SYS(setns), SCMP_SYS(init_module), SCMP_SYS(finit_module),
    SCMP_SYS(delete_module), SCMP_SYS(kexec_load), SCMP_SYS(kexec_file_load), SCMP_SYS(open_by_handle_at),
    SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register), SCMP_SYS(fsopen),
    SCMP_SYS(fsmount), SCMP_SYS(move_mount), SCMP_SYS(open_tree), SCMP_SYS(swapon), SCMP_SYS(swapoff),
    SCMP_SYS(reboot), SCMP_SYS(acct), SCMP_SYS(quotactl),
};

constexpr std::uint64_t kNamespaces[] = {CLONE_NEWUSER, CLONE_NEWNS,  CLONE_NEWPID,   CLONE_NEWNET,
                                         CLONE_NEWUTS,  CLONE_NEWIPC, CLONE_NEWCGROUP};

bool deny(const Filter& filter, int call) {
  return seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), call, 0) == 0;
}

}  // namespace

bool installSyscallFilter(const ProgramStarts& starts) {
  const Filter filter(seccomp_init(SCMP_ACT_ALLOW));
  if (!filter) return false;
  // A call through another architecture's table (int 0x80, x32) would pass
  // every rule below unseen.
  bool built = seccomp_attr_set(filter.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0 &&
               seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_NNP, 0) == 0 &&  // set by the caller
               seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1) == 0;  // every thread, not just this one
  for (const int call : kDenied) {
#ifdef SHOTSIEVE_SANITIZER_RUNTIME
    // LeakSanitizer stops the threads with ptrace to look for leaks at exit:
    // allowed in sanitizer builds, which are never shipped.
    if (call == SCMP_SYS(ptrace)) continue;
#endif
    built = built && deny(filter, call);
  }
  // New namespaces through clone's flags; clone3 hides its flags in memory a
  // filter cannot read, so it is refused as unknown and the C library falls
  // back to clone.
  for (const std::uint64_t flag : kNamespaces) {
    built = built && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                      SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)) == 0;
  }
  built = built && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  // Typing into the terminal that started us.
  built = built && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                                    SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, TIOCSTI)) == 0;
  built = built && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                                    SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, TIOCLINUX)) == 0;
  if (starts.programFd >= 0) {
    // Only our own program, by the descriptor opened before confinement and an
    // empty path. A filter cannot read the path, and an absolute one would
    // ignore the descriptor: this allowance is only for the supervisor of a
    // watch, which reads no image; its workers refuse every start.
    built = built && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(execveat), 1,
                                      SCMP_A0(SCMP_CMP_NE, static_cast<scmp_datum_t>(starts.programFd))) == 0;
    built = built && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(execveat), 1,
                                      SCMP_A4(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, 0)) == 0;
  } else {
    built = built && deny(filter, SCMP_SYS(execveat));
  }
  return built && seccomp_load(filter.get()) == 0;
}

}  // namespace shotsieve
