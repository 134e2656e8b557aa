#include "photos/folder/desktop_prompt.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "photos/folder/session_bus_calls.h"

namespace shotsieve::folder {

namespace {

// Asked for only once askOnDesktop has found them loaded.
const SessionBusCalls& sd() { return *sessionBusCalls(); }

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
// A server that does not answer within this is taken for absent: a hung bus
// never hangs the request.
constexpr std::uint64_t kCallTimeoutMicroseconds = 3'000'000;
constexpr int kCriticalUrgency = 2;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd().closeUnref(bus); }  // no flush: a hung bus would hang it
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd().messageUnref(message); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd().slotUnref(slot); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

class ErrorHolder {
 public:
  ~ErrorHolder() { sd().errorFree(&error_); }
  sd_bus_error* get() { return &error_; }

 private:
  sd_bus_error error_{nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL, without its C compound literal
};

// What the signals of the one notification we showed have said so far.
struct Question {
  std::string owner;  // the server's unique name: signals from anyone else are not its answer
  std::uint32_t id = 0;
  bool shown = false;
  std::optional<PromptAnswer> answer;
};

bool fromServer(sd_bus_message* message, const Question& question) {
  const char* sender = sd().messageGetSender(message);
  return question.shown && sender != nullptr && question.owner == sender;
}

int onActionInvoked(sd_bus_message* message, void* data, sd_bus_error*) {
  auto& question = *static_cast<Question*>(data);
  std::uint32_t id = 0;
  const char* key = nullptr;
  if (!fromServer(message, question) || sd().messageRead(message, "us", &id, &key) < 0 || id != question.id) return 0;
  const std::string_view action = key != nullptr ? key : "";
  if (action == kAllowAction) question.answer = PromptAnswer::yes;
  if (action == kDenyAction) question.answer = PromptAnswer::no;
  return 0;  // any other action (the body clicked, say) decides nothing
}

int onClosed(sd_bus_message* message, void* data, sd_bus_error*) {
  auto& question = *static_cast<Question*>(data);
  std::uint32_t id = 0, reason = 0;
  if (!fromServer(message, question) || sd().messageRead(message, "uu", &id, &reason) < 0 || id != question.id) return 0;
  if (!question.answer) question.answer = PromptAnswer::noAnswer;  // expired, dismissed or closed: nobody chose
  return 0;
}

int onOwnerChanged(sd_bus_message* message, void* data, sd_bus_error*) {
  auto& question = *static_cast<Question*>(data);
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  if (sd().messageRead(message, "sss", &name, &before, &after) < 0) return 0;
  if (question.owner == (before != nullptr ? before : "") && !question.answer) question.answer = PromptAnswer::noAnswer;
  return 0;  // the server went, and its notification with it
}

bool offersActions(sd_bus* bus) {
  ErrorHolder error;
  sd_bus_message* raw = nullptr;
  if (sd().callMethod(bus, kService, kPath, kService, "GetCapabilities", error.get(), &raw, "") < 0) return false;
  const Message reply(raw);
  if (sd().messageEnterContainer(reply.get(), SD_BUS_TYPE_ARRAY, "s") < 0) return false;
  for (const char* capability = nullptr; sd().messageRead(reply.get(), "s", &capability) > 0;) {
    if (std::string_view(capability) == "actions") return true;
  }
  return false;
}

std::string ownerOf(sd_bus* bus, const char* name) {
  ErrorHolder error;
  sd_bus_message* raw = nullptr;
  if (sd().callMethod(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                      error.get(), &raw, "s", name) < 0) {
    return {};
  }
  const Message reply(raw);
  const char* owner = nullptr;
  return sd().messageRead(reply.get(), "s", &owner) > 0 && owner != nullptr ? owner : "";
}

// Waits for the connection to be made and greeted, for as long as a call may
// take: sd-bus would wait for a bus that never answers without end.
bool readyInTime(sd_bus* bus) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kCallTimeoutMicroseconds);
  for (;;) {
    const int ready = sd().isReady(bus);
    if (ready != 0) return ready > 0;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int processed = sd().process(bus, nullptr);
    if (processed < 0) return false;
    if (processed == 0 && sd().wait(bus, static_cast<std::uint64_t>(left.count())) < 0) return false;
  }
}

}  // namespace

PromptAnswer askOnDesktop(std::string_view usageText) {
  if (sessionBusCalls() == nullptr) return PromptAnswer::noDesktop;
  sd_bus* raw = nullptr;
  // The session bus of DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus.
  if (sd().openUser(&raw) < 0) return PromptAnswer::noDesktop;
  const Bus bus(raw);
  sd().setMethodCallTimeout(bus.get(), kCallTimeoutMicroseconds);
  if (!readyInTime(bus.get())) return PromptAnswer::noDesktop;
  Question question;
  question.owner = ownerOf(bus.get(), kService);
  if (question.owner.empty() || !offersActions(bus.get())) return PromptAnswer::noDesktop;

  // Subscribed before the notification exists, so that no answer can come first.
  sd_bus_slot *invoked = nullptr, *closed = nullptr, *owner = nullptr;
  const std::string ownerRule = std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                                            "member='NameOwnerChanged',arg0='") + kService + "'";
  if (sd().matchSignal(bus.get(), &invoked, kService, kPath, kService, "ActionInvoked", onActionInvoked, &question) < 0 ||
      sd().matchSignal(bus.get(), &closed, kService, kPath, kService, "NotificationClosed", onClosed, &question) < 0 ||
      sd().addMatch(bus.get(), &owner, ownerRule.c_str(), onOwnerChanged, &question) < 0) {
    sd().slotUnref(invoked);
    sd().slotUnref(closed);
    return PromptAnswer::noDesktop;
  }
  const Slot invokedSlot(invoked), closedSlot(closed), ownerSlot(owner);

  ErrorHolder error;
  sd_bus_message* reply = nullptr;
  const std::string body(usageText);
  if (sd().callMethod(bus.get(), kService, kPath, kService, "Notify", error.get(), &reply, "susssasa{sv}i", "shotsieve",
                      0u, "dialog-question", kDesktopQuestionSummary, body.c_str(), 4, kAllowAction, "Allow", kDenyAction,
                      "Don't allow", 1, "urgency", "y", kCriticalUrgency, 0) < 0) {
    return PromptAnswer::noDesktop;
  }
  const Message notified(reply);
  if (sd().messageRead(notified.get(), "u", &question.id) < 0) return PromptAnswer::noDesktop;
  question.shown = true;
  // No time-out of our own: the person may take their time, and the host may
  // end the process. It ends as soon as the notification is gone.
  while (!question.answer) {
    const int processed = sd().process(bus.get(), nullptr);
    if (processed < 0) return PromptAnswer::noAnswer;  // the bus went away
    if (processed == 0 && sd().wait(bus.get(), UINT64_MAX) < 0) return PromptAnswer::noAnswer;
  }
  if (*question.answer != PromptAnswer::noAnswer) {  // chosen: the notification has done its work
    sd().callMethodAsync(bus.get(), nullptr, kService, kPath, kService, "CloseNotification", nullptr, nullptr, "u",
                         question.id);
    sd().flush(bus.get());
  }
  return *question.answer;
}

}  // namespace shotsieve::folder
