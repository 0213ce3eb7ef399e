#include "timers.h"

#include <unistd.h>

#include "log.h"

TIMERS *timers = nullptr;

TIMERS *timers_init() { return new TIMERS; }

namespace {
void insert_ordered(TIMERS *t, TIMERS_LIST entry) {
  auto it = t->entries.begin();
  while (it != t->entries.end() && it->due <= entry.due) ++it;
  t->entries.insert(it, entry);
}
}  // namespace

int timers_add(TIMERS *t, int period, int flags, TimerCallback callback, void *argument,
               time_t now) {
  QM_ASSERT(t && callback, "src/timers");
  if (now == 0) now = ::time(nullptr);
  std::lock_guard g(t->lock);
  TIMERS_LIST e{t->next_id++, period, now + period, flags, callback, argument};
  insert_ordered(t, e);
  putlog(LOG_DEBUG, "added timer %d", e.id);
  return e.id;
}

void timers_check(TIMERS *t, time_t now) {
  if (now == 0) now = ::time(nullptr);
  std::lock_guard g(t->lock);
  while (!t->entries.empty() && t->entries.front().due <= now) {
    TIMERS_LIST e = t->entries.front();
    e.callback(e.argument);
    t->entries.pop_front();
    if (e.flags & TIMER_REPEAT) {
      // A late check does not shift the schedule, but never runs a timer twice at once.
      e.due += e.period;
      if (e.due <= now) e.due = now + 1;
      insert_ordered(t, e);
    }
  }
}

void *timer_thread(void *) {
  for (;;) {
    ::sleep(1);
    timers_check(timers);
  }
  return nullptr;
}
