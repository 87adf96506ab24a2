#include "core/trace.h"

#include <mutex>

namespace qxcore {
namespace {
std::mutex hookMutex;
TraceHook installedHook;
}  // namespace

void Trace(const std::string& line) {
  TraceHook hook;
  {
    std::lock_guard lock(hookMutex);
    hook = installedHook;
  }
  if (hook) hook(line);
}

TraceHook SetTraceHook(TraceHook hook) {
  std::lock_guard lock(hookMutex);
  std::swap(hook, installedHook);
  return hook;
}

}  // namespace qxcore
