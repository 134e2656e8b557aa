#pragma once

#include <string>
#include <string_view>

namespace shotsieve::folder {

struct AccessRequest {
  int status;               // what is recorded now
  bool nobodyAsked = false;  // no terminal in front and no desktop to ask on
  int notRecorded = 0;       // errno of a choice that could not be recorded
};

// Asks the person for access when nobody has decided yet: in the terminal in
// front, else on the desktop. Only a choice is recorded, and only while the
// state still says that nobody decided: a decision recorded meanwhile
// elsewhere is reported, never overwritten. One question at a time: a
// request made while another process or thread is asking waits for that
// question and reports what it left, without asking again.
AccessRequest requestAccess(const std::string& statePath, std::string_view usageText);

}  // namespace shotsieve::folder
