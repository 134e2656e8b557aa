#pragma once

namespace shotsieve {

// What a confined process may still start: nothing, or only its own program
// again through `programFd` (an execveat of that descriptor, as the watch
// supervisor starts its workers).
struct ProgramStarts {
  int programFd = -1;
};

// Adds a seccomp filter to every thread of the process: no sockets, no
// program started (but as `starts` says), no tracing or reading of other
// processes, no mounts, namespaces, BPF, perf events, keyrings, userfaultfd,
// io_uring, module loading or terminal input injection. A blocked call fails
// with EPERM. Needs no_new_privs set. False when the kernel (or a container)
// offers no seccomp: nothing is filtered then.
bool installSyscallFilter(const ProgramStarts& starts);

}  // namespace shotsieve
