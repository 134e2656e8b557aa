#pragma once

#include <systemd/sd-bus.h>

namespace shotsieve::folder {

// The calls of libsystemd's bus that the desktop question makes, loaded the
// first time the desktop is asked: every other run (each listing, each watch)
// starts without that library and the six it loads in turn.
struct SessionBusCalls {
  decltype(&::sd_bus_open_user) openUser;
  decltype(&::sd_bus_close_unref) closeUnref;
  decltype(&::sd_bus_set_method_call_timeout) setMethodCallTimeout;
  decltype(&::sd_bus_is_ready) isReady;
  decltype(&::sd_bus_process) process;
  decltype(&::sd_bus_wait) wait;
  decltype(&::sd_bus_flush) flush;
  decltype(&::sd_bus_call_method) callMethod;
  decltype(&::sd_bus_call_method_async) callMethodAsync;
  decltype(&::sd_bus_match_signal) matchSignal;
  decltype(&::sd_bus_add_match) addMatch;
  decltype(&::sd_bus_slot_unref) slotUnref;
  decltype(&::sd_bus_message_unref) messageUnref;
  decltype(&::sd_bus_message_get_sender) messageGetSender;
  decltype(&::sd_bus_message_read) messageRead;
  decltype(&::sd_bus_message_enter_container) messageEnterContainer;
  decltype(&::sd_bus_error_free) errorFree;
};

// Nothing when the library or one of its calls cannot be loaded: the
// desktop then cannot be asked.
const SessionBusCalls* sessionBusCalls();

}  // namespace shotsieve::folder
