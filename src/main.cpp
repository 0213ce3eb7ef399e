#include "main.h"

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

int quillmoss_main(int, char **) { return 0; }
