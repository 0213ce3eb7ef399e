// Cache section: global cache settings, disk stores and refresh rules.
#pragma once

#include <ctime>
#include <iterator>

#include "section.h"

struct CACHEMAP;
struct CONNECTION_T;
struct HEADER;

// Flags of a cached object (and of cache_open's flags argument).
enum CacheFlag : int {
  CACHE_WRITING = 0x1,
  CACHE_INVALID = 0x2,
  CACHE_EXPIRED = 0x4,
  CACHE_VALIDATE = 0x8,
  CACHE_PREFETCHED = 0x10,
  CACHE_VIOLATION = 0x20,
  CACHE_OFFLINE = 0x40,
  CACHE_DISK = 0x80,
  CACHE_MEM = 0x100,
  CACHE_WAITERS = 0x200,
  CACHE_CLEAN = 0x400,
  CACHE_BUFFERWAIT = 0x800,
  CACHE_DISCARD = 0x1000,
  CACHE_FORCE = 0x2000,
};

enum CacheGlobal : int {
  CACHE_ENABLED = 0, CACHE_VIOLATIONS, CACHE_MEMORYSIZE, CACHE_MEMORYEXTRA, CACHE_MINSIZE,
  CACHE_MAXSIZE, CACHE_PREFETCHWINDOW, CACHE_ICPPORT, CACHE_ICPTIMEOUT, CACHE_STOREPOLICY,
  CACHE_JOURNALLINES, CACHE_CLEANINTERVAL,
};
enum CacheSub : int { CACHE_SUB_STORE = 0, CACHE_SUB_REFRESH };
enum StoreField : int {
  STORE_ENABLED = 0, STORE_COMMENT, STORE_PROFILES, STORE_PATH, STORE_SIZE, STORE_FREEEXTRA,
  STORE_CHECKSUM,
};
enum RefreshField : int {
  REFRESH_ENABLED = 0, REFRESH_COMMENT, REFRESH_PROFILES, REFRESH_CACHE, REFRESH_MINAGE,
  REFRESH_MAXAGE, REFRESH_DEFAULTAGE, REFRESH_LMFACTOR,
};

inline constexpr FieldSpec CACHE_GLOBALS[] = {
  {"enabled", FT_BOOL}, {"violations", FT_BOOL}, {"memorysize", FT_FILE_SIZE},
  {"memoryextra", FT_FILE_SIZE}, {"minsize", FT_FILE_SIZE}, {"maxsize", FT_FILE_SIZE},
  {"prefetchwindow", FT_INT}, {"icpport", FT_INT}, {"icptimeout", FT_INT},
  {"storepolicy", FT_STRING_SELECT_ONE}, {"journallines", FT_UINT}, {"cleaninterval", FT_UINT} };
inline constexpr FieldSpec STORE_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"profiles", FT_STRING_LIST},
  {"path", FT_STRING}, {"size", FT_LONG_FILE_SIZE}, {"freeextra", FT_FILE_SIZE},
  {"checksum", FT_BOOL} };
inline constexpr FieldSpec REFRESH_FIELDS[] = {
  {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"profiles", FT_STRING_LIST},
  {"cache", FT_BOOL}, {"minage", FT_UINT}, {"maxage", FT_UINT}, {"defaultage", FT_UINT},
  {"lmfactor", FT_UINT} };
inline constexpr SubsectionSpec CACHE_SUBSECTIONS[] = {
  {"store", STORE_FIELDS}, {"refresh", REFRESH_FIELDS} };
inline constexpr SectionSpec CACHE_SPEC = { "cache", CACHE_GLOBALS, CACHE_SUBSECTIONS };

static_assert(std::size(CACHE_GLOBALS) == CACHE_CLEANINTERVAL + 1);
static_assert(std::size(CACHE_SUBSECTIONS) == CACHE_SUB_REFRESH + 1);
static_assert(std::size(STORE_FIELDS) == STORE_CHECKSUM + 1);
static_assert(std::size(REFRESH_FIELDS) == REFRESH_LMFACTOR + 1);

// Unlike every other section, its configuration lock must be a plain mutex (lock kind 1),
// because the cache also waits on condition variables with that mutex.
class CacheSection : public Section {
 public:
  CacheSection();
  void update() override;

  // Whether a request may be answered from or stored in the cache (a proxy-form GET without
  // credentials, Range or Set-Cookie), or whether a response may be stored (status 200).
  static bool cacheable(const HEADER *h);
  // The object for key with one use taken by the caller, or null. Nothing is cached yet: always
  // null, so the entry points below are never given an object.
  CACHEMAP *cache_open(CONNECTION_T *conn, const char *key, const char *header_text, int flags);
  int flag_get(const CACHEMAP *entry) const;
  // The object's retrieval time (for a conditional request), 0 for none.
  time_t get_mtime(const CACHEMAP *entry) const;
  void flag_unset(CACHEMAP *entry, int bits);
  // Applies the request's freshness demands to its cached object (sets CACHE_VALIDATE).
  void check(HEADER *request);
  // Answers with the download-progress page; false when nothing was sent.
  bool send_status(CONNECTION_T *conn, CACHEMAP *entry);
  // Drops the caller's use and marks the object invalid.
  void invalidate(CACHEMAP *entry);
  // Drops the caller's use; the writer says whether the download completed.
  void cache_close(CACHEMAP *entry, bool complete);
};
extern CacheSection *cache_section;
