#pragma once

namespace shotsieve {

// Confines this process for the rest of its life, before it reads an image:
// no_new_privs; Landlock, reading only the library, the runtime's system
// folders, /proc/self and the settings, writing only the cache folder and
// `writableFolder` (an open folder, or -1); and the system-call filter, which
// lets no program start. Quiet where the kernel (or a container) offers no
// Landlock or no seccomp: the process runs on with what it has. True when
// anything was confined.
bool confineProcess(int writableFolder);

// The supervisor of a watch: no_new_privs and the system-call filter, with
// its own program (by `programFd`) the one program it may start. It reads no
// image, and keeps the file system its workers may need for a new library.
bool confineSupervisor(int programFd);

}  // namespace shotsieve
