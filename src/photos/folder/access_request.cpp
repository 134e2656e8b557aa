#include "photos/folder/access_request.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "photos/folder/access_prompt.h"
#include "photos/folder/access_state.h"
#include "photos/folder/desktop_prompt.h"
#include "photos/folder/private_files.h"
#include "photos/photo_library.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

// Held while a question is out; every request opens it anew, so that two
// threads of one host take turns as two processes do.
UniqueFd openQuestionLock(const std::string& statePath) {
  if (!makePrivateParentDirectories(statePath)) return UniqueFd();
  return UniqueFd(::open((statePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

bool lock(int fd, int how) {
  int result;
  do {
    result = ::flock(fd, how);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

}  // namespace

AccessRequest requestAccess(const std::string& statePath, std::string_view usageText) {
  if (const int status = readAccessState(statePath); status != kNotDetermined) return {status};
  const UniqueFd question = openQuestionLock(statePath);
  if (question && !lock(question.get(), LOCK_EX | LOCK_NB) && errno == EWOULDBLOCK) {
    lock(question.get(), LOCK_EX);  // another request is asking: its answer is ours
    return {readAccessState(statePath)};
  }
  if (const int status = readAccessState(statePath); status != kNotDetermined) return {status};  // decided meanwhile
  PromptAnswer answer = askOnTerminal(usageText);
  if (answer == PromptAnswer::noTerminal) answer = askOnDesktop(usageText);
  if (answer == PromptAnswer::noDesktop) return {kNotDetermined, true};
  if (answer == PromptAnswer::yes || answer == PromptAnswer::no) {
    // Only a choice is recorded, and only over "nobody decided yet".
    if (readAccessState(statePath) == kNotDetermined &&
        !writeAccessState(statePath, answer == PromptAnswer::yes ? kAuthorized : kDenied)) {
      const int error = errno;
      return {readAccessState(statePath), false, error};
    }
  }
  return {readAccessState(statePath)};
}

}  // namespace shotsieve::folder
