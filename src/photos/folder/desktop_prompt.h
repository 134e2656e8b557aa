#pragma once

#include <string_view>

#include "photos/folder/access_prompt.h"

namespace shotsieve::folder {

// The notification's two actions and its title.
inline constexpr const char* kAllowAction = "allow";
inline constexpr const char* kDenyAction = "deny";
inline constexpr const char* kDesktopQuestionSummary = "Allow shotsieve to read the screenshots in your Pictures folder?";

// Asks through the desktop's notification service on the session bus
// (org.freedesktop.Notifications), with the usage text as its body and an
// action to allow and one to deny; the notification never expires and is
// critical. Allow is yes, deny is no; a notification dismissed, closed,
// expired or gone with its server is noAnswer. No session bus, no server,
// one without actions, or one that does not answer within a few seconds is
// noDesktop. Waits without a time-out of its own for the person's choice.
PromptAnswer askOnDesktop(std::string_view usageText);

}  // namespace shotsieve::folder
