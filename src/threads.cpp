#include "threads.h"

#include <execinfo.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "main.h"

std::unique_ptr<ThreadSlot[]> threads;
int thread_slots = 0;
std::mutex threadlistlock;
ThreadStart request_thread_start = nullptr;
ShutdownHooks shutdown_hooks;

namespace {

// Slot of the calling thread, so that putlog and thread_find need no table scan.
thread_local int my_slot = -1;
// The calling thread's client id, mirrored from its slot so that putlog reads it without
// taking the table lock for every line. Only this thread changes it.
thread_local unsigned my_clientid = 0;

std::mutex rusage_lock;
ResourceTotals totals;

struct StartRecord {
  ThreadStart start;
  void *argument;
  int slot;
};

void *thread_trampoline(void *p) {
  std::unique_ptr<StartRecord> rec(static_cast<StartRecord *>(p));
  my_slot = rec->slot;
  {
    // The creator stores the id too, but this thread may run first.
    std::lock_guard g(threadlistlock);
    threads[static_cast<std::size_t>(rec->slot)].id = pthread_self();
  }
  return rec->start(rec->argument);
}

void slot_clear(ThreadSlot &s) {
  s.connection = nullptr;
  s.clientid = 0;
  s.requests = 0;
  s.ip.clear();
  s.url.clear();
  s.method.clear();
}

void slot_free_locked(ThreadSlot &s, time_t when) {
  slot_clear(s);
  s.state = THREAD_FREE;
  s.time = when;
}

// Starts a detached thread in slot `index`, which the caller has claimed. Runs without the
// table lock: putlog takes it. On failure the slot is released again.
int thread_start(int index, ThreadStart start, void *argument, std::size_t stack,
                 const char *function, const char *init_text) {
  auto fail = [&](const char *call, int err, const char *what, bool with_size) {
    {
      std::lock_guard g(threadlistlock);
      slot_free_locked(threads[static_cast<std::size_t>(index)], 0);
    }
    if (with_size)
      putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, %s: %zu", call, err, std::strerror(err),
             function, what, stack);
    else
      putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, %s", call, err, std::strerror(err),
             function, what);
    return -1;
  };
  pthread_attr_t attr;
  int err = pthread_attr_init(&attr);
  if (err) return fail("pthread_attr_setstacksize", err, init_text, false);
  struct AttrGuard {
    pthread_attr_t *a;
    ~AttrGuard() { pthread_attr_destroy(a); }
  } guard{&attr};
  if ((err = pthread_attr_setstacksize(&attr, stack)))
    return fail("pthread_attr_setstacksize", err, "failed to set thread stack_size", true);
  if ((err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED)))
    return fail("pthread_attr_setdetachstate", err, "failed to start thread", false);
  auto *rec = new StartRecord{start, argument, index};
  pthread_t tid;
  if ((err = pthread_create(&tid, &attr, thread_trampoline, rec))) {
    delete rec;
    return fail("pthread_create", err, "failed to create thread", false);
  }
  std::lock_guard g(threadlistlock);
  threads[static_cast<std::size_t>(index)].id = tid;
  return index;
}

// Claims the first free slot (state 3) and returns its index, or -1.
int slot_claim(void *connection, bool honour_release_time) {
  std::lock_guard g(threadlistlock);
  time_t now = ::time(nullptr);
  for (int i = 0; i < thread_slots; ++i) {
    ThreadSlot &s = threads[static_cast<std::size_t>(i)];
    // A request thread's slot is not reused within the second after its thread ended.
    if (s.state != THREAD_FREE || (honour_release_time && now - s.time <= 1)) continue;
    slot_clear(s);
    s.state = THREAD_CLAIMED;
    s.connection = connection;
    return i;
  }
  return -1;
}

}  // namespace

void threads_init() {
  std::lock_guard g(threadlistlock);
  thread_slots = MAXTHREADS > 0 ? MAXTHREADS : 1;
  threads = std::make_unique<ThreadSlot[]>(static_cast<std::size_t>(thread_slots));
  threads[0].id = pthread_self();
  threads[0].state = THREAD_CLAIMED;
  my_slot = 0;
}

int thread_create(ThreadStart start, void *connection) {
  int i = slot_claim(connection, true);
  if (i < 0) return -1;
  std::size_t stack = max_opt_stack ? max_opt_stack : REQUEST_STACK_DEFAULT;
  return thread_start(i, start, connection, stack, "thread_create", "failed to initialize thread");
}

int thread_create_internal(ThreadStart start, void *argument) {
  int i = slot_claim(argument, false);
  if (i < 0) {
    putlog(LOG_ERROR | LOG_NETWORK, "increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
    return -1;
  }
  return thread_start(i, start, argument, SERVICE_STACK, "thread_create_internal",
                      "failed to inititalise thread");
}

int process_new(CONNECTION_T *connection) {
  {
    std::lock_guard g(threadlistlock);
    for (int i = 0; i < thread_slots; ++i) {
      ThreadSlot &s = threads[static_cast<std::size_t>(i)];
      if (s.state != THREAD_WAITING) continue;
      s.connection = connection;
      s.state = THREAD_CLAIMED;
      s.cond.notify_one();
      return i;
    }
  }
  if (!request_thread_start) return -1;
  return thread_create(request_thread_start, connection);
}

void *thread_wait_for_connection(int seconds) {
  int idx = thread_find();
  std::unique_lock g(threadlistlock);
  ThreadSlot &s = threads[static_cast<std::size_t>(idx)];
  s.connection = nullptr;
  s.clientid = 0;
  my_clientid = 0;
  s.state = THREAD_WAITING;
  s.time = ::time(nullptr);
  s.cond.wait_for(g, std::chrono::seconds(seconds > 0 ? seconds : 0),
                  [&] { return s.state != THREAD_WAITING; });
  // Checked under the lock: a connection handed over as the wait timed out is served.
  if (s.state == THREAD_CLAIMED && s.connection) return s.connection;
  slot_free_locked(s, ::time(nullptr));
  my_slot = -1;
  return nullptr;
}

void thread_release() {
  int idx = my_slot;
  if (idx < 0) return;
  std::lock_guard g(threadlistlock);
  slot_free_locked(threads[static_cast<std::size_t>(idx)], ::time(nullptr));
  my_slot = -1;
}

namespace {
// The calling thread's slot; the caller holds threadlistlock. Null when the thread is not
// in the table (the caller then releases the lock and takes the fatal path).
ThreadSlot *my_slot_locked() {
  int idx = my_slot;
  if (idx < 0 || idx >= thread_slots) return nullptr;
  ThreadSlot &s = threads[static_cast<std::size_t>(idx)];
  if (s.state == THREAD_FREE || !pthread_equal(s.id, pthread_self())) return nullptr;
  return &s;
}
}  // namespace

int thread_find() {
  {
    std::lock_guard g(threadlistlock);
    if (ThreadSlot *s = my_slot_locked()) return static_cast<int>(s - threads.get());
  }
  fatal_assertion("src/main", __LINE__, "thread_find");
}

unsigned thread_get_clientid() {
  {
    std::lock_guard g(threadlistlock);
    if (ThreadSlot *s = my_slot_locked()) return s->clientid;
  }
  fatal_assertion("src/main", __LINE__, "thread_get_clientid");
}

void thread_set_clientid(unsigned id) {
  {
    std::lock_guard g(threadlistlock);
    if (ThreadSlot *s = my_slot_locked()) {
      s->clientid = id;
      my_clientid = id;
      return;
    }
  }
  fatal_assertion("src/main", __LINE__, "thread_set_clientid");
}

unsigned thread_clientid_or_zero() { return my_slot >= 0 ? my_clientid : 0; }

void thread_report(thread_repo_t *r) {
  *r = {};
  std::lock_guard g(threadlistlock);
  for (int i = 0; i < thread_slots; ++i) switch (threads[static_cast<std::size_t>(i)].state) {
      case THREAD_FREE: ++r->unused; break;
      case THREAD_SERVING: ++r->client; break;
      case THREAD_WAITING: ++r->waiting; break;
      case THREAD_CLAIMED: ++r->special; break;
      case THREAD_PREFETCH: ++r->prefetch; break;
    }
}

void rusage_update() {
  struct rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) != 0) return;
  std::lock_guard g(rusage_lock);
  totals.utime_sec += ru.ru_utime.tv_sec;
  totals.utime_usec += ru.ru_utime.tv_usec;
  totals.utime_sec += totals.utime_usec / 1000000;
  totals.utime_usec %= 1000000;
  totals.stime_sec += ru.ru_stime.tv_sec;
  totals.stime_usec += ru.ru_stime.tv_usec;
  totals.stime_sec += totals.stime_usec / 1000000;
  totals.stime_usec %= 1000000;
  totals.minflt += ru.ru_minflt;
  totals.majflt += ru.ru_majflt;
}

ResourceTotals rusage_totals() {
  std::lock_guard g(rusage_lock);
  return totals;
}

// ---- signals -------------------------------------------------------------------------

namespace {

sigset_t operator_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

void write_str(int fd, const char *s) {
  ssize_t r = ::write(fd, s, std::strlen(s));
  (void)r;
}

// Only async-signal-safe work: the backtrace, the fixed message, _exit.
void crash_handler(int sig) {
  int fd = native_log.fd_for_crash();
  if (fd < 0) fd = STDERR_FILENO;
  void *frames[20];
  int n = backtrace(frames, 20);
  backtrace_symbols_fd(frames, n, fd);
  write_str(fd, sig == SIGSEGV ? "Received Signal for Segmentation violation\n"
                               : "error: advice: Received Signal for IOT trap \n");
  _exit(1);
}

void *signal_thread(void *) {
  sigset_t set = operator_signals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    switch (sig) {
      case SIGTERM:
        putlog(0, "Received TERM Signal to EXIT");
        shutdown_process(0);
      case SIGHUP:
        putlog(0, "Received HUP Signal for cleaning cache and closing all FDs");
        if (shutdown_hooks.close_listeners) shutdown_hooks.close_listeners();
        if (shutdown_hooks.save_cache) shutdown_hooks.save_cache();
        if (shutdown_hooks.save_categories) shutdown_hooks.save_categories();
        if (shutdown_hooks.flush_pools) shutdown_hooks.flush_pools();
        // A process that serves nobody after HUP is worse than one that keeps its ports.
        if (shutdown_hooks.reopen_listeners) shutdown_hooks.reopen_listeners();
        break;
      case SIGUSR1:
        putlog(0, "Recieved Signal for Log Rotation");
        logrotate();
        if (shutdown_hooks.rotate_performance_log) shutdown_hooks.rotate_performance_log();
        break;
      case SIGUSR2:
        putlog(0, "Received Test Signal for USR2");
        break;
    }
  }
  return nullptr;
}

}  // namespace

void signal_block() {
  sigset_t set = operator_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A broken connection is a return value of send/write, never a signal.
  signal(SIGPIPE, SIG_IGN);
}

void signal_setup() {
  signal_block();
  struct sigaction sa {};
  sa.sa_handler = crash_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGSEGV, &sa, nullptr);
  sigaction(SIGABRT, &sa, nullptr);
}

void signal_thread_start() { thread_create_internal(signal_thread, nullptr); }

[[noreturn]] void shutdown_process(int status) {
  static std::atomic<bool> started{false};
  if (started.exchange(true)) {
    // Another thread is already shutting down; it ends the process.
    for (;;) pause();
  }
  if (shutdown_hooks.close_listeners) shutdown_hooks.close_listeners();
  if (shutdown_hooks.save_cache) shutdown_hooks.save_cache();
  if (shutdown_hooks.save_categories) shutdown_hooks.save_categories();
  if (pidfile_written && !pidfile.empty()) ::unlink(pidfile.c_str());
  native_log.close();
  std::fflush(stdout);
  // Other threads still run: skip static destructors they might be using.
  _exit(status);
}

[[noreturn]] void sigterm() {
  putlog(0, "Received Signal for Termination");
  shutdown_process(0);
}
