#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "photos/photo_library.h"

namespace shotsieve {

// The status word of an authorization status: "not-determined", "restricted",
// "denied", "authorized", "limited", or "unknown" for any other value.
std::string_view authStatusString(int status);

// True for the statuses under which the library may be read.
bool authStatusAllowsReading(int status);

// {"status":WORD} for the current status at the read-write level; no prompt.
std::string authStatusJSON(PhotoLibrary& library);

// Asks the library to ask the user, waits for the answer without time-out and
// returns {"status":WORD} for it.
std::string requestAuthJSON(PhotoLibrary& library);

// {"error":"not-authorized","status":WORD}
std::string notAuthorizedJSON(int status);

// How the program says on standard error what a request's answer does not:
// that it found nobody to ask, or that a choice could not be recorded; set
// once by the program before its command runs. A host of the library sets
// nothing: the library never writes there, and the call below does nothing.
void setRequestNotice(std::function<void(const std::string& line)> notice);
void noticeRequest(const std::string& line);

int cmdAuthStatus(PhotoLibrary& library);
int cmdRequestAuth(PhotoLibrary& library);

}  // namespace shotsieve
