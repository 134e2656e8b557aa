#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "photos/authorization.h"
#include "photos/memory_library.h"

namespace shotsieve {
namespace {

TEST(RequestAuth, WaitsForTheHandlerOnAnotherThread) {
  MemoryLibrary library;
  library.requestAnswer = kDenied;
  EXPECT_EQ(requestAuthJSON(library), R"({"status":"denied"})");
  library.requestAnswer = 9;
  EXPECT_EQ(requestAuthJSON(library), R"({"status":"unknown"})");
}

TEST(RequestAuth, HandlerThatOutlivesTheCallIsSafe) {
  struct LateLibrary : MemoryLibrary {
    void requestAuthorizationForAccessLevel(int, AuthorizationHandler handler) override {
      late = std::thread([handler] {
        handler(kAuthorized);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // still holds the cell after the call returns
      });
    }
    std::thread late;
  } library;
  EXPECT_EQ(requestAuthJSON(library), R"({"status":"authorized"})");
  library.late.join();
}

}  // namespace
}  // namespace shotsieve
