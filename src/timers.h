// Repeating and one-shot timers, checked once a second by the timer thread.
#pragma once

#include <ctime>
#include <list>
#include <mutex>

using TimerCallback = void (*)(void *);

constexpr int TIMER_REPEAT = 0x1;

struct TIMERS_LIST {
  int id;
  int period;    // seconds
  time_t due;    // seconds since the epoch
  int flags;     // TIMER_REPEAT
  TimerCallback callback;
  void *argument;
};

// Entries are kept ordered by due time; entries due in the same second keep the order in
// which they were added.
struct TIMERS {
  std::mutex lock;
  int next_id = 0;
  std::list<TIMERS_LIST> entries;
};

extern TIMERS *timers;  // the process's timer list, created by config()

TIMERS *timers_init();
// Returns the timer id. `now` is the current time unless a test gives one.
int timers_add(TIMERS *t, int period, int flags, TimerCallback callback, void *argument,
               time_t now = 0);
// Runs every timer due at or before `now` (the current time unless given). Callbacks run
// with the list's mutex held: a callback must not add a timer.
void timers_check(TIMERS *t, time_t now = 0);
// Body of the timer service thread: forever, sleep one second and check the list.
void *timer_thread(void *);
