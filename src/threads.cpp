#include "threads.h"

#include <cstdlib>
#include <unistd.h>

#include "log.h"
#include "main.h"

std::vector<ThreadSlot> threads;
std::mutex threadlistlock;
ShutdownHooks shutdown_hooks;

namespace {
thread_local int my_slot = -1;
}

unsigned thread_clientid_or_zero() {
  if (my_slot < 0) return 0;
  std::lock_guard g(threadlistlock);
  return threads[static_cast<std::size_t>(my_slot)].clientid;
}

[[noreturn]] void shutdown_process(int status) {
  std::exit(status);
}

[[noreturn]] void sigterm() {
  putlog(0, "Received Signal for Termination");
  shutdown_process(0);
}
