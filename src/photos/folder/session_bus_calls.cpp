#include "photos/folder/session_bus_calls.h"

#include <dlfcn.h>

namespace shotsieve::folder {

namespace {

template <typename Call>
bool bound(void* library, const char* name, Call& call) {
  call = reinterpret_cast<Call>(::dlsym(library, name));
  return call != nullptr;
}

const SessionBusCalls* load() {
  // Never closed: the calls are kept for the life of the process.
  void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static SessionBusCalls calls;
  const bool all = bound(library, "sd_bus_open_user", calls.openUser) &&
                   bound(library, "sd_bus_close_unref", calls.closeUnref) &&
                   bound(library, "sd_bus_set_method_call_timeout", calls.setMethodCallTimeout) &&
                   bound(library, "sd_bus_is_ready", calls.isReady) && bound(library, "sd_bus_process", calls.process) &&
                   bound(library, "sd_bus_wait", calls.wait) && bound(library, "sd_bus_flush", calls.flush) &&
                   bound(library, "sd_bus_call_method", calls.callMethod) &&
                   bound(library, "sd_bus_call_method_async", calls.callMethodAsync) &&
                   bound(library, "sd_bus_match_signal", calls.matchSignal) &&
                   bound(library, "sd_bus_add_match", calls.addMatch) &&
                   bound(library, "sd_bus_slot_unref", calls.slotUnref) &&
                   bound(library, "sd_bus_message_unref", calls.messageUnref) &&
                   bound(library, "sd_bus_message_get_sender", calls.messageGetSender) &&
                   bound(library, "sd_bus_message_read", calls.messageRead) &&
                   bound(library, "sd_bus_message_enter_container", calls.messageEnterContainer) &&
                   bound(library, "sd_bus_error_free", calls.errorFree);
  return all ? &calls : nullptr;
}

}  // namespace

const SessionBusCalls* sessionBusCalls() {
  static const SessionBusCalls* const calls = load();
  return calls;
}

}  // namespace shotsieve::folder
