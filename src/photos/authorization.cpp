#include "photos/authorization.h"

#include <memory>
#include <semaphore>

#include "output/json.h"
#include "output/print.h"

namespace shotsieve {

std::string_view authStatusString(int status) {
  switch (status) {
    case kNotDetermined: return "not-determined";
    case kRestricted: return "restricted";
    case kDenied: return "denied";
    case kAuthorized: return "authorized";
    case kLimited: return "limited";
    default: return "unknown";
  }
}

bool authStatusAllowsReading(int status) { return status == kAuthorized || status == kLimited; }

namespace {

std::string statusAnswer(int status) {
  return jsonEncode(JsonObject{}.set("status", authStatusString(status)));
}

// Shared by the waiting call and the handler, which may outlive the call.
struct RequestCell {
  std::counting_semaphore<> answered{0};
  int status = kNotDetermined;
};

std::function<void(const std::string&)>& requestNotice() {
  static std::function<void(const std::string&)> notice;
  return notice;
}

}  // namespace

void setRequestNotice(std::function<void(const std::string& line)> notice) { requestNotice() = std::move(notice); }

void noticeRequest(const std::string& line) {
  if (requestNotice()) requestNotice()(line);
}

std::string authStatusJSON(PhotoLibrary& library) {
  return statusAnswer(library.authorizationStatusForAccessLevel(kReadWriteAccessLevel));
}

std::string requestAuthJSON(PhotoLibrary& library) {
  auto cell = std::make_shared<RequestCell>();
  library.requestAuthorizationForAccessLevel(kReadWriteAccessLevel, [cell](int status) {
    cell->status = status;
    cell->answered.release();
  });
  cell->answered.acquire();
  return statusAnswer(cell->status);
}

std::string notAuthorizedJSON(int status) {
  return jsonEncode(JsonObject{}.set("error", "not-authorized").set("status", authStatusString(status)));
}

int cmdAuthStatus(PhotoLibrary& library) {
  printJSONText(authStatusJSON(library));
  return 0;
}

int cmdRequestAuth(PhotoLibrary& library) {
  printJSONText(requestAuthJSON(library));
  return 0;
}

}  // namespace shotsieve
