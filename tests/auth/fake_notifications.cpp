// A notification server for the tests, on the session bus the test started:
// org.freedesktop.Notifications answering each Notify the way MODE says,
// after DELAY milliseconds, and logging every call to LOG.
// usage: fake_notifications MODE LOG [DELAY]
// MODE: allow, deny, dismiss (closed, reason 2), expire (reason 1), silent
// (never answers), vanish (leaves the bus), noactions (offers no actions).
// Before each answer it sends what must be ignored: a signal for another
// notification, and the opposite answer from a connection that is not the
// server, both to everyone and to the asker alone.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
using Clock = std::chrono::steady_clock;

struct Pending {
  std::uint32_t id;
  std::string asker;
  Clock::time_point due;
};

std::string mode;
std::FILE* logFile = nullptr;
int delayMs = 0;
std::uint32_t lastId = 0;
std::vector<Pending> pending;
sd_bus* impostor = nullptr;  // another connection, not the server

void logLine(const std::string& line) {
  std::fprintf(logFile, "%s\n", line.c_str());
  std::fflush(logFile);
}

int getCapabilities(sd_bus_message* call, void*, sd_bus_error*) {
  logLine("GetCapabilities");
  if (mode == "noactions") return sd_bus_reply_method_return(call, "as", 2, "body", "persistence");
  return sd_bus_reply_method_return(call, "as", 3, "actions", "body", "persistence");
}

int getServerInformation(sd_bus_message* call, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(call, "ssss", "fake", "shotsieve tests", "1", "1.2");
}

int closeNotification(sd_bus_message* call, void*, sd_bus_error*) {
  std::uint32_t id = 0;
  sd_bus_message_read(call, "u", &id);
  logLine("CloseNotification " + std::to_string(id));
  return sd_bus_reply_method_return(call, "");
}

// Notify(susssasa{sv}i): logs the body, the actions, the urgency and the expiry.
int notify(sd_bus_message* call, void*, sd_bus_error*) {
  const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  std::uint32_t replaces = 0;
  sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
  std::string actions;
  sd_bus_message_enter_container(call, SD_BUS_TYPE_ARRAY, "s");
  for (const char* action = nullptr; sd_bus_message_read(call, "s", &action) > 0;) actions += std::string(action) + ",";
  sd_bus_message_exit_container(call);
  int urgency = -1;
  sd_bus_message_enter_container(call, SD_BUS_TYPE_ARRAY, "{sv}");
  while (sd_bus_message_enter_container(call, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(call, "s", &key);
    if (std::strcmp(key, "urgency") == 0) {
      std::uint8_t value = 0;
      sd_bus_message_read(call, "v", "y", &value);
      urgency = value;
    } else {
      sd_bus_message_skip(call, "v");
    }
    sd_bus_message_exit_container(call);
  }
  sd_bus_message_exit_container(call);
  std::int32_t expire = -2;
  sd_bus_message_read(call, "i", &expire);
  const std::uint32_t id = ++lastId;
  logLine("Notify id=" + std::to_string(id) + " app=" + app + " summary=" + summary + " actions=" + actions +
          " urgency=" + std::to_string(urgency) + " expire=" + std::to_string(expire) + " body=" + body);
  pending.push_back({id, sd_bus_message_get_sender(call), Clock::now() + std::chrono::milliseconds(delayMs)});
  return sd_bus_reply_method_return(call, "u", id);
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetCapabilities", "", "as", getCapabilities, 0),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", getServerInformation, 0),
    SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, 0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
    SD_BUS_SIGNAL("ActionInvoked", "us", 0),
    SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
    SD_BUS_VTABLE_END};

void impostorSays(const Pending& question, const char* action, const char* destination) {
  sd_bus_message* signal = nullptr;
  sd_bus_message_new_signal(impostor, &signal, kPath, kName, "ActionInvoked");
  if (destination != nullptr) sd_bus_message_set_destination(signal, destination);
  sd_bus_message_append(signal, "us", question.id, action);
  sd_bus_send(impostor, signal, nullptr);
  sd_bus_message_unref(signal);
  sd_bus_flush(impostor);
}

void answer(sd_bus* bus, const Pending& question) {
  const char* opposite = mode == "deny" ? "allow" : "deny";
  sd_bus_emit_signal(bus, kPath, kName, "ActionInvoked", "us", question.id + 1000, opposite);  // another notification
  impostorSays(question, opposite, nullptr);
  impostorSays(question, opposite, question.asker.c_str());
  if (mode == "allow" || mode == "deny") {
    sd_bus_emit_signal(bus, kPath, kName, "ActionInvoked", "us", question.id, mode == "allow" ? "allow" : "deny");
    sd_bus_emit_signal(bus, kPath, kName, "NotificationClosed", "uu", question.id, 2u);
  } else if (mode == "dismiss" || mode == "expire") {
    sd_bus_emit_signal(bus, kPath, kName, "NotificationClosed", "uu", question.id, mode == "expire" ? 1u : 2u);
  } else if (mode == "vanish") {
    sd_bus_flush(bus);
    logLine("vanished");
    std::_Exit(0);
  }
  logLine("answered " + std::to_string(question.id));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  mode = argv[1];
  logFile = std::fopen(argv[2], "a");
  delayMs = argc > 3 ? std::atoi(argv[3]) : 0;
  sd_bus* bus = nullptr;
  if (!logFile || sd_bus_open_user(&bus) < 0 || sd_bus_open_user(&impostor) < 0) return 1;
  if (sd_bus_add_object_vtable(bus, nullptr, kPath, kName, kVtable, nullptr) < 0) return 1;
  if (sd_bus_request_name(bus, kName, 0) < 0) return 1;
  logLine("ready");
  for (;;) {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    const auto now = Clock::now();
    for (std::size_t i = 0; i < pending.size();) {
      if (pending[i].due <= now && mode != "silent") {
        const Pending question = pending[i];
        pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        answer(bus, question);
        sd_bus_flush(bus);
      } else {
        ++i;
      }
    }
    sd_bus_wait(bus, pending.empty() || mode == "silent" ? UINT64_MAX : 10'000);
  }
}
