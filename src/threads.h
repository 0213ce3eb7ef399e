// Thread table, request-thread hand-off, resource totals, signals and orderly shutdown.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <condition_variable>
#include <memory>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

struct CONNECTION_T;

constexpr std::size_t REQUEST_STACK_DEFAULT = 1048576;
constexpr std::size_t SERVICE_STACK = 10485760;

enum ThreadState : int {
  THREAD_FREE = 0,
  THREAD_SERVING = 1,
  THREAD_WAITING = 2,
  THREAD_CLAIMED = 3,
  THREAD_PREFETCH = 4,
};

struct ThreadSlot {
  pthread_t id{};
  std::condition_variable cond;
  void *connection = nullptr;  // CONNECTION_T* for request threads, argument of service threads
  unsigned clientid = 0;
  int state = THREAD_FREE;
  int requests = 0;
  std::string ip, url, method;  // shown by the web interface
  time_t time = 0;              // release time, or start of the current request
};

using ThreadStart = void *(*)(void *);

struct thread_repo_t {
  int unused, client, waiting, special, prefetch;
};

// The thread table: MAXTHREADS slots, allocated once by threads_init().
extern std::unique_ptr<ThreadSlot[]> threads;
extern int thread_slots;
extern std::mutex threadlistlock;

// What a request thread started by process_new runs (the request loop); set at start-up.
extern ThreadStart request_thread_start;

// Clears every slot and gives slot 0 to the calling (main) thread.
void threads_init();
int thread_create(ThreadStart start, void *connection);
int thread_create_internal(ThreadStart start, void *argument);
// Hands a connection to a waiting request thread, else starts one; slot index or -1.
int process_new(CONNECTION_T *connection);
int thread_find();
unsigned thread_get_clientid();
void thread_set_clientid(unsigned id);
// Like thread_get_clientid, but 0 for a thread that is not in the table (never fatal).
unsigned thread_clientid_or_zero();
void thread_report(thread_repo_t *report);
// Releases the calling request thread's slot (state 0, release time now).
void thread_release();
// A request thread with nothing to serve waits up to `seconds` for a hand-off. Returns the
// connection handed over, or null after the timeout (the slot is released then).
void *thread_wait_for_connection(int seconds);

// Resource totals of the process-wide record.
struct ResourceTotals {
  long utime_sec = 0, utime_usec = 0, stime_sec = 0, stime_usec = 0;
  long minflt = 0, majflt = 0;
};
void rusage_update();
ResourceTotals rusage_totals();

// Signals: TERM, HUP, USR1 and USR2 are taken by a dedicated thread; SEGV and ABRT only
// write a backtrace and a fixed message before _exit(1); PIPE is ignored.
void signal_setup();
// Blocks the operator signals in the calling thread; call before any other thread starts.
void signal_block();
// Starts the thread that takes the operator signals.
void signal_thread_start();

// Orderly termination: logs "Received Signal for Termination", shuts down, exits 0.
[[noreturn]] void sigterm();
// Closes listeners, saves what must survive, removes the PID file, exits with `status`.
[[noreturn]] void shutdown_process(int status);

// Hooks the later subsystems fill in: what shutdown and HUP do beyond the log lines.
struct ShutdownHooks {
  void (*close_listeners)() = nullptr;
  void (*reopen_listeners)() = nullptr;
  void (*save_cache)() = nullptr;
  void (*save_categories)() = nullptr;
  void (*flush_pools)() = nullptr;
  void (*rotate_performance_log)() = nullptr;
};
extern ShutdownHooks shutdown_hooks;
