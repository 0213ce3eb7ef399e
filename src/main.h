// Start-up: command line, process-wide settings, daemon, PID file, privileges, config().
#pragma once

#include <cstddef>
#include <string>

// Fixed lengths of the process-wide string settings; longer option values are cut.
constexpr std::size_t SETTING_MAX = 256;
constexpr std::size_t PLOG_SETTING_MAX = 512;
constexpr std::size_t LISTENIP_MAX = 16;
constexpr int MAXTHREADS_LIMIT = 16384;
constexpr unsigned long MIN_STACK = 64 * 1024;
constexpr unsigned long MAX_STACK = 1024UL * 1024 * 1024;

extern std::string configfile, sectionfile, logfile, slogfile, elogfile, orvexfeed, pidfile,
    plogfile, moduledir, pamfile, username, group, proxyhost, krbSrvPrinc, listenip;
extern int listenport;
extern int loglevel;
extern int daemonize;
extern long long LOG_SIZE_LIMIT;
extern int PROCESS_OLD_LOGS;
extern int password_cachesize, password_cachexpire;
extern int authflag;
extern int overload_factor;
extern int MAXTHREADS;
extern unsigned long opt_stack, max_opt_stack;
extern int THREAD_TIMEOUT;
extern int CLIENT_POOL_TIMEOUT;
extern int SND_BUF, RCV_BUF, BLOCKSIZE;
extern int TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS;
extern unsigned clientid;
extern bool pidfile_written;  // this process wrote the PID file (shutdown removes only then)

extern const char *const EDITION_LABEL;
extern const char *const VERSION_STRING;
extern const int BUILD_NUMBER;

// Result of reading the command line.
enum class OptionsResult { Run, ExitOk, ExitError };

// Reads argv into the settings above. Prints the help or the version when asked.
OptionsResult options_parse(int argc, char **argv);
void show_help(char **argv);
std::string help_text(const char *argv0);

// Returns 0 when this process now owns the PID file, the PID of a live owner, 1 when the
// file cannot be written.
long pid_check(const std::string &path);
void fix_gid();
void fix_uid();
void create_feedlog();

// Next client id after `id`: ids 0 and 4294967295 are never handed out.
unsigned clientid_next(unsigned *counter);

void config();
[[noreturn]] void mainloop();

// The whole program; returns the exit status of the command-line paths.
int quillmoss_main(int argc, char **argv);
