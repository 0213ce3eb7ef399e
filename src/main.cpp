#include "main.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <vector>

#include "access.h"
#include "accesslog.h"
#include "cache.h"
#include "clamav.h"
#include "clientpool.h"
#include "compat.h"
#include "cookies.h"
#include "dns.h"
#include "dnsbl.h"
#include "forward.h"
#include "fprot.h"
#include "general.h"
#include "headerfilter.h"
#include "icap.h"
#include "kaspersky.h"
#include "keyword.h"
#include "ldap_profile.h"
#include "limit.h"
#include "log.h"
#include "mem.h"
#include "mime.h"
#include "misc.h"
#include "network.h"
#include "orvex.h"
#include "profiles.h"
#include "proto_http.h"
#include "protocol.h"
#include "redirect.h"
#include "request.h"
#include "rewrite.h"
#include "serverpool.h"
#include "sophie.h"
#include "stats.h"
#include "ssl.h"
#include "templates.h"
#include "threads.h"
#include "timers.h"
#include "urlblacklist.h"
#include "urlfilter.h"
#include "xml.h"

std::string configfile, sectionfile, logfile, slogfile, elogfile, orvexfeed, pidfile,
    plogfile = "/opt/quillmoss/quillmoss/logs/performance/performance.log",
    moduledir = "/opt/quillmoss/modules/", pamfile = "quillmoss", username, group, proxyhost,
    krbSrvPrinc, listenip;
int listenport = 0;
int loglevel = 0x7ffffff;
int daemonize = 1;
long long LOG_SIZE_LIMIT = 52428800;
int PROCESS_OLD_LOGS = 0;
int password_cachesize = 8111, password_cachexpire = 600;
int authflag = 0;
int overload_factor = 1;
int MAXTHREADS = MAXTHREADS_LIMIT;
unsigned long opt_stack = 0, max_opt_stack = 1048576;
int THREAD_TIMEOUT = 1;
int CLIENT_POOL_TIMEOUT = 1;
int SND_BUF = 8192, RCV_BUF = 8192, BLOCKSIZE = 8192;
int TCP_KEEPIDLE_TIME = 900, TCP_KEEPINTVL_TIME = 75, TCP_KEEPCNT_COUNTS = 9;
unsigned clientid = 1;
bool pidfile_written = false;

const char *const EDITION_LABEL = "quillmoss Open Edition";
const char *const VERSION_STRING = QM_VERSION;
const int BUILD_NUMBER = QM_BUILD_NUMBER;

namespace {

// Option values longer than their setting are cut, never overflow it.
std::string bounded(const char *value, std::size_t size) {
  std::string s(value ? value : "");
  if (size == 0) return {};
  if (s.size() > size - 1) s.resize(size - 1);
  return s;
}

// Splits "a:b:c" at ":" keeping empty pieces, so "16384:" sets only the first value.
std::vector<std::string> split_colon(const std::string &s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t c = s.find(':', start);
    out.push_back(s.substr(start, c == std::string::npos ? std::string::npos : c - start));
    if (c == std::string::npos) break;
    start = c + 1;
  }
  return out;
}

}  // namespace

std::string help_text(const char *argv0) {
  std::string t;
  char line[512];
  auto add = [&](const char *fmt, auto... args) {
    std::snprintf(line, sizeof line, fmt, args...);
    t += line;
  };
  t += "quillmoss - multi-threaded filtering proxy\n";
  add("%s - VERSION - %s - BUILD - %d", EDITION_LABEL, VERSION_STRING, BUILD_NUMBER);
  add("\nUsage: %s [options]\n\n", argv0);
  t += " -c <file>            : location of config file (required)\n";
  t += " -s <file>            : location of section file (required)\n";
  t += " -l <file>            : file to log activity to (native log)\n";
  t += " -a <file>            : alternate format log file (access log)\n";
  t += " -e <file>            : alternate format log file (extended log)\n";
  t += " -H <hostname>        : proxy's hostname (overrides configuration file)\n";
  t += " -L <ip:port>         : specify address and port to listen on\n";
  t += " -m <dir>             : module directory\n";
  t += " -p <file>            : PID file\n";
  t += " -u <username>        : run as alternate user\n";
  t += " -g <groupname>       : run in alternate group\n";
  add(" -x <pam>             : set the file containing PAM directives (default: %s) \n",
      "quillmoss");
  add(" -P <size:age>        : set the maximum size and age of the password_cache (default: "
      "%d:%d)\n",
      8111, 600);
  add(" -t <max_threads>     : specify the maximum number of allowed concurrent threads (less "
      "than: %d)\n",
      MAXTHREADS_LIMIT);
  add(" -z <stack_size>      : specify the base value for thread stacksize (Default of 20, sets "
      "the stack size to %d) \n",
      1048576);
  add(" -T <thread_timeout>  : specify the time in seconds for a thread to wait for another "
      "connection (default: %d)\n",
      THREAD_TIMEOUT);
  add(" -C <socket_timeout>  : specify the minimum time in seconds for a Client socket to be "
      "presumed available (default: %d)\n",
      CLIENT_POOL_TIMEOUT);
  add(" -b <SND_BUF:RCV_BUF> : specify the TCP Send and Receive Buffer sizes (default: %d:%d)\n",
      SND_BUF, RCV_BUF);
  add(" -k <keepidle_time:keepalive_intvl:keepalive_count>  : specify the TCP Keepalive "
      "parameters (default: %d:%d:%d)\n",
      TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS);
  add(" -o <overload_factor> : overload factor (default: %d)\n", 1);
  t += " -J <log_size_limit>  : log file size limit in bytes (default: 52428800)\n";
  t += " -j <process_old_logs>: specify action to take when log file size exceeds "
       "log_size_limit (default: 0)\n";
  t += " Add any of the following to specify action to take when log file size exceeds "
       "log_size_limit:\n";
  t += " 0 = Delete old log files\n";
  t += " 1 = Compress old log files using gzip\n";
  t += " 2 = Do nothing, leave old log files, as they are\n";
  t += " -f                   : don't daemonize (log written to stdout)\n";
  t += " -h                   : show this help, message and exit \n";
  t += " -v                   : show quillmoss version, and exit \n";
  add(" -d <level>           : set log level (default: %d)\n\n", loglevel);
  t += " Add any of the following to specify logging detail:\n";
  for (const auto &c : LOG_CATEGORIES)
    if (c.help) add(" %9d = %s\n", c.bit, c.help);
  return t;
}

void show_help(char **argv) {
  std::string t = help_text(argv && argv[0] ? argv[0] : "quillmoss");
  std::fputs(t.c_str(), stderr);
}

OptionsResult options_parse(int argc, char **argv) {
  if (argc <= 1) {
    show_help(argv);
    return OptionsResult::ExitOk;
  }
  bool log_given = false;
  optind = 1;
  int c;
  while ((c = getopt(argc, argv, "hvfc:s:l:a:e:p:r:m:x:u:g:H:K:d:J:j:t:z:T:C:o:b:k:P:E:I:M:S:L:")) !=
         -1) {
    switch (c) {
      case 'h':
        show_help(argv);
        return OptionsResult::ExitOk;
      case 'v':
        std::printf("%s - VERSION - %s - BUILD - %d\n", EDITION_LABEL, VERSION_STRING,
                    BUILD_NUMBER);
        return OptionsResult::ExitOk;
      case 'f': daemonize = 0; break;
      case 'c': configfile = bounded(optarg, SETTING_MAX); break;
      case 's': sectionfile = bounded(optarg, SETTING_MAX); break;
      case 'l':
        logfile = bounded(optarg, SETTING_MAX);
        log_given = true;
        break;
      case 'a': slogfile = bounded(optarg, SETTING_MAX); break;
      case 'e': elogfile = bounded(optarg, SETTING_MAX); break;
      case 'p': pidfile = bounded(optarg, SETTING_MAX); break;
      case 'r': plogfile = bounded(optarg, PLOG_SETTING_MAX); break;
      case 'm':
        moduledir = bounded(optarg, SETTING_MAX - 1);
        if (moduledir.empty() || moduledir.back() != '/') moduledir += '/';
        break;
      case 'x': pamfile = bounded(optarg, SETTING_MAX); break;
      case 'u': username = bounded(optarg, SETTING_MAX); break;
      case 'g': group = bounded(optarg, SETTING_MAX); break;
      case 'H': proxyhost = bounded(optarg, SETTING_MAX); break;
      case 'K': krbSrvPrinc = bounded(optarg, SETTING_MAX); break;
      case 'd': loglevel = std::atoi(optarg); break;
      case 'J': LOG_SIZE_LIMIT = std::atoll(optarg); break;
      case 'j': PROCESS_OLD_LOGS = std::atoi(optarg); break;
      case 't': {
        int n = std::atoi(optarg);
        // No request thread could start with 0 slots; more than the table holds is refused.
        if (n > 0 && n <= MAXTHREADS_LIMIT) MAXTHREADS = n;
        break;
      }
      case 'z': {
        int n = std::atoi(optarg);
        unsigned long size = n <= 0 ? 1UL : (n >= 31 ? MAX_STACK : (1UL << n));
        size = std::clamp(size, MIN_STACK, MAX_STACK);
        opt_stack = max_opt_stack = size;
        break;
      }
      case 'T': THREAD_TIMEOUT = std::atoi(optarg); break;
      case 'C': CLIENT_POOL_TIMEOUT = std::atoi(optarg); break;
      case 'o': overload_factor = std::atoi(optarg); break;
      case 'b': {
        auto parts = split_colon(optarg);
        if (parts.size() >= 1 && !parts[0].empty() && std::atoi(parts[0].c_str()) >= 0)
          SND_BUF = std::atoi(parts[0].c_str());
        if (parts.size() >= 2 && !parts[1].empty() && std::atoi(parts[1].c_str()) >= 0)
          RCV_BUF = std::atoi(parts[1].c_str());
        if (SND_BUF > 8192 || RCV_BUF > 8192) BLOCKSIZE = std::max(SND_BUF, RCV_BUF);
        break;
      }
      case 'k': {
        auto parts = split_colon(optarg);
        if (parts.size() >= 1 && !parts[0].empty()) TCP_KEEPIDLE_TIME = std::atoi(parts[0].c_str());
        if (parts.size() >= 2 && !parts[1].empty())
          TCP_KEEPINTVL_TIME = std::atoi(parts[1].c_str());
        if (parts.size() >= 3 && !parts[2].empty())
          TCP_KEEPCNT_COUNTS = std::atoi(parts[2].c_str());
        break;
      }
      case 'P': {
        const char *colon = std::strchr(optarg, ':');
        if (!colon) {
          show_help(argv);
          return OptionsResult::ExitError;
        }
        int size = std::atoi(optarg), age = std::atoi(colon + 1);
        if (size > 0 || age > 0) {
          password_cachesize = size;
          password_cachexpire = age;
          authflag = 0;
        } else if (size == 0 && age == 0) {
          authflag = 1;
        }
        break;
      }
      case 'L': {
        std::string v = optarg;
        std::size_t colon = v.rfind(':');
        listenip = bounded(v.substr(0, colon).c_str(), LISTENIP_MAX);
        listenport = colon == std::string::npos ? 0 : std::atoi(v.c_str() + colon + 1);
        if (listenport < 1 || listenport > 65535) {
          listenip.clear();
          listenport = 0;
        }
        break;
      }
      case 'E': case 'I': case 'M': case 'S': break;
      default: break;  // getopt has printed its own message
    }
  }
  // The feed is derived from the access log; without one there is nothing to feed.
  if (log_given && !slogfile.empty()) orvexfeed = slogfile + ".orvexfeed";
  return OptionsResult::Run;
}

long pid_check(const std::string &path) {
  {
    std::ifstream in(path);
    long pid = 0;
    if (in && (in >> pid) && pid > 0 && pid != getpid()) {
      if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) return pid;
    }
  }
  // Written whole under a temporary name, so a crash never leaves a half-written PID file.
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%u\n", static_cast<unsigned>(getpid()));
  bool ok = ::write(fd, buf, static_cast<std::size_t>(n)) == n;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return 1;
  }
  pidfile_written = true;
  return 0;
}

void fix_gid() {
  if (group.empty()) {
    struct group *gr = getgrgid(getgid());
    group = gr ? gr->gr_name : std::to_string(getgid());
    return;
  }
  struct group *gr = getgrnam(group.c_str());
  if (!gr) {
    std::fputs("getgrnam: unknown group\n", stderr);
    std::exit(1);
  }
  if (setgid(gr->gr_gid) != 0) {
    std::perror("setgid");
    std::exit(1);
  }
}

void fix_uid() {
  if (username.empty()) {
    struct passwd *pw = getpwuid(getuid());
    username = pw ? pw->pw_name : std::to_string(getuid());
    return;
  }
  struct passwd *pw = getpwnam(username.c_str());
  if (!pw) {
    std::fputs("getpwnam: unknown user\n", stderr);
    std::exit(1);
  }
  if (setuid(pw->pw_uid) != 0) {
    std::perror("setuid");
    std::exit(1);
  }
}

void create_feedlog() {
  if (orvexfeed.empty() || slogfile.empty()) return;
  FILE *in = std::fopen(slogfile.c_str(), "r");
  if (!in) return;
  std::string tmp = orvexfeed + ".tmp";
  FILE *out = std::fopen(tmp.c_str(), "w");
  if (!out) {
    std::fclose(in);
    return;
  }
  char line[4096];
  int hosts = 0;
  while (hosts < 10001 && std::fgets(line, sizeof line, in)) {
    bool whole = std::strchr(line, '\n') != nullptr;
    // Skip six blank-separated fields; the seventh is the URL.
    char *p = line;
    for (int f = 0; f < 6 && *p; ++f) {
      while (*p == ' ') ++p;
      while (*p && *p != ' ') ++p;
    }
    while (*p == ' ') ++p;
    char scheme[16], host[1024];
    if (std::sscanf(p, "%15[^:]://%1023[^:/ \n]", scheme, host) == 2) {
      std::fprintf(out, "\n%s", host);
      ++hosts;
    }
    // The rest of an over-long line is not a line of its own.
    if (!whole) {
      int ch;
      while ((ch = std::fgetc(in)) != EOF && ch != '\n') {
      }
    }
  }
  std::fclose(in);
  bool ok = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
  ok = std::fclose(out) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), orvexfeed.c_str()) != 0) std::remove(tmp.c_str());
}

unsigned clientid_next(unsigned *counter) {
  unsigned id = *counter;
  if (id == 0 || id == 4294967295u) id = 1;
  *counter = id + 1;
  return id;
}

namespace {

void log_resource_limits() {
  static const int resources[] = {RLIMIT_AS,      RLIMIT_CORE,   RLIMIT_CPU,    RLIMIT_DATA,
                                  RLIMIT_FSIZE,   RLIMIT_MEMLOCK, RLIMIT_NOFILE, RLIMIT_NPROC,
                                  RLIMIT_RSS,     RLIMIT_STACK};
  for (int r : resources) {
    struct rlimit rl;
    if (getrlimit(r, &rl) != 0)
      putlog(LOG_ERROR, "[system: getrlimit:%d:%s], in %s, unable to get resource limit", errno,
             std::strerror(errno), "config");
  }
}

void close_pooled_client(CONNECTION_T *conn) { net_close(ConnectionPtr(conn)); }
void close_private_tunnel(unsigned id) {
  if (server_pool) server_pool->CloseMyTunnel(id);
}
void count_network_event(const char *group, const char *counter) {
  if (global_stats) global_stats->Increment(group, counter);
}
// The request loop and the HTTP handler meet through these calls; each side's unit tests
// replace them with scripted peers.
bool process_request_call(CONNECTION_T *conn, Filebuf *body) {
  return process_request(conn, body) != 0;
}
bool accepts_encoded_call(CONNECTION_T *conn) { return accepts_encoded_content(conn); }
bool head_get_reconnect_call(CONNECTION_T *conn, int timeout, std::string *head) {
  std::optional<std::string> h = header_get_reconnect(conn, timeout);
  if (!h) return false;
  *head = std::move(*h);
  return true;
}

void request_path_wire() {
  request_thread_start = process_entry;
  protocol_http_hook = protocol_http;
  process_request_hook = process_request_call;
  keepalive_check_client_hook = keepalive_check_client;
  http_transfer_filebuf_hook = http_transfer_filebuf;
  accepts_encoded_content_hook = accepts_encoded_call;
  http_head_get_hook = head_get_reconnect_call;
  http_reconnect_hook = protocol_reconnect;
  http_proxy_authenticate_hook = proxy_authenticate;
}

void pool_limits_refresh() {
  if (server_pool && general_section)
    server_pool->set_limits(general_section->poolsize_get(), general_section->pooltimeout_get());
}

}  // namespace

// One object per configuration section, in the order in which their processors run.
void sections_create() {
  access_section = new AccessSection;
  filter_section = new FilterSection;
  cache_section = new CacheSection;
  general_section = new GeneralSection;
  dnsbl_section = new DnsblSection;
  network_section = new NetworkSection;
  header_section = new HeaderSection;
  template_section = new TemplateSection;
  cookie_section = new CookieSection;
  ldap_section = new LdapSection;
  rewrite_section = new RewriteSection;
  icap_section = new ICAPSection;
  fprot_section = new FProtSection;
  kaspersky_section = new KasperskySection;
  sophie_section = new SophieSection;
  orvex_section = new ORVEX_Section;
  ftp_section = new FtpSection;
  profile_section = new ProfileSection;
  mime_section = new MimeSection;
  redirect_section = new RedirectSection;
  keyword_section = new KeywordSection;
  forward_section = new ForwardSection;
  limit_section = new LimitSection;
  clamav_section = new ClamAVSection;
  urlbl_section = new URLBLSection;
}

bool config_prepare() {
  std::string error;
  if (!schema_load(sectionfile, &error)) {
    putlog(LOG_ERROR, "Error when parsing section.xml: %s", error.c_str());
    putlog(LOG_WARNING, "Please correct errors in section.xml: %s", error.c_str());
    if (daemonize) std::fprintf(stderr, "Error when parsing section.xml: %s\n", error.c_str());
    return false;
  }
  sections_create();
  if (!configfile.empty() && !config_load_startup(configfile, &error)) {
    putlog(LOG_ERROR, "%s", error.c_str());
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  return true;
}

void config() {
  // 1-2: the process-wide record and the recent-lines buffer.
  log_buffer = new LogBuffer(1000);
  // 3
  gmtoffset_compute();
  // 4
  ssl_init();
  // 5
  create_feedlog();
  request_path_wire();
  // 7: the pools and the timer list.
  serverpool_init();
  clientpool_init();
  clientpool_close_hook = close_pooled_client;
  connection_close_tunnel_hook = close_private_tunnel;
  timers = timers_init();
  // 8
  log_resource_limits();
  // 9, 10 and 12 (schema, sections, document) ran before detaching: see config_prepare.
  // 11: statistics, signal handlers (the operator signals are taken by their own thread),
  // the listener table, the access logs.
  globalstats_init();
  net_stat_hook = count_network_event;
  socket_bytes_hook = statadd_bytes;
  signal_setup();
  signal_thread_start();
  net_init();
  shutdown_hooks.close_listeners = net_listen_closeall;
  shutdown_hooks.reopen_listeners = net_listen_reopen;
  shutdown_hooks.flush_pools = fd_failure;
  accesslog_init();
  pool_limits_refresh();
  // 14
  putlog(LOG_NETWORK, "proxy hostname: %s",
         proxyhost.empty() ? general_section->hostname_get().c_str() : proxyhost.c_str());
  // 15-16: the listener of the command line, then those of the network section.
  net_listen_configured();
  // 17: repeating timers.
  timers_add(timers, DNSCACHE_CLEAN_PERIOD, TIMER_REPEAT, dnscache_clean, nullptr);
  if (PROCESS_OLD_LOGS == 1) timers_add(timers, 60, TIMER_REPEAT, zip_files_timer, nullptr);
  // 18: service threads.
  if (serverpool_start() < 0) putlog(LOG_ERROR, "unable to start the server pool cleaner");
  if (clientpool_start() < 0) putlog(LOG_ERROR, "unable to start the client pool poller");
  if (thread_create_internal(timer_thread, nullptr) < 0)
    putlog(LOG_ERROR, "unable to start the timer thread");
  // 19
  putlog(LOG_DEBUG, "GMT offset is -%u seconds", static_cast<unsigned>(gmtoffset));
}

[[noreturn]] void mainloop() {
  config();
  for (;;) {
    ConnectionPtr conn = net_accept(-1);
    if (!conn) continue;
    conn->client_id = clientid_next(&clientid);
    conn->log_entry.client_id = conn->client_id;
    client_pool->Add(conn.release());
  }
}

namespace {

void wipe_arguments(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) std::memset(argv[i], 0, std::strlen(argv[i]));
}

void reopen_std_on_devnull() {
  int fd = ::open("/dev/null", O_RDWR);
  if (fd < 0) return;
  for (int target = 0; target <= 2; ++target)
    if (fd != target) ::dup2(fd, target);
  if (fd > 2) ::close(fd);
}

}  // namespace

int quillmoss_main(int argc, char **argv) {
  mem_init();
  std::srand(static_cast<unsigned>(::time(nullptr) + getpid()));
  switch (options_parse(argc, argv)) {
    case OptionsResult::ExitOk: return 0;
    case OptionsResult::ExitError: return 1;
    case OptionsResult::Run: break;
  }
  // Every thread created from here on inherits the blocked operator signals.
  signal_block();
  threads_init();
  wipe_arguments(argc, argv);

  struct stat st;
  if (!configfile.empty() && ::stat(configfile.c_str(), &st) != 0) {
    std::fprintf(stderr, "couldn't stat %s\n", configfile.c_str());
    return 1;
  }
  if (configfile.empty()) {
    std::fputs("config file option missing\n", stderr);
    return 1;
  }
  if (sectionfile.empty()) {
    std::fputs("section file option missing\n", stderr);
    return 1;
  }
  if (::stat(sectionfile.c_str(), &st) != 0) {
    std::fprintf(stderr, "couldn't stat %s\n", sectionfile.c_str());
    return 1;
  }

  native_log.set_path(logfile);
  // The schema and the document are read before detaching, so that a broken file is
  // reported on standard error and the command fails.
  if (!config_prepare()) return 1;

  if (!daemonize) {
    fix_gid();
    fix_uid();
    umask(027);
    mainloop();
  }

  pid_t pid = fork();
  if (pid < 0) {
    std::fputs("failed to fork daemon: first fork failed\n", stderr);
    return 1;
  }
  if (pid > 0) _exit(0);
  if (chdir("/") != 0) {
  }
  setsid();
  umask(0);
  ::close(0);
  ::close(1);
  ::close(2);
  // Nothing may ever get descriptors 0-2: stray writes must go nowhere.
  reopen_std_on_devnull();
  pid = fork();
  if (pid < 0) {
    std::fputs("failed to fork daemon: second fork failed\n", stderr);
    return 1;
  }
  if (pid > 0) _exit(0);
  umask(022);
  fix_gid();
  fix_uid();
  if (!pidfile.empty() && pid_check(pidfile) != 0) _exit(1);
  umask(027);
  mainloop();
}
