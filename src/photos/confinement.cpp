#include "photos/confinement.h"

#include <atomic>

namespace shotsieve {

namespace {

ProcessConfinement& registered() {
  static ProcessConfinement confinement;
  return confinement;
}

std::function<void()>& handOverSet() {
  static std::function<void()> handOver;
  return handOver;
}

std::atomic<bool> confined{false};

}  // namespace

void setProcessConfinement(ProcessConfinement confinement) { registered() = std::move(confinement); }

bool confineBeforeReading(int writableFolder) {
  if (confined) return true;  // a process is confined once; a second layer would only narrow it
  if (!registered().confine) return false;
  confined = registered().confine(writableFolder);
  return confined;
}

bool processIsConfined() { return confined; }

void setWatchHandOver(std::function<void()> handOver) { handOverSet() = std::move(handOver); }

void handWatchOver() {
  if (confined && handOverSet()) handOverSet()();
}

}  // namespace shotsieve
