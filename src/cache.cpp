#include "cache.h"

#include <strings.h>

#include "header.h"

CacheSection *cache_section = nullptr;

CacheSection::CacheSection() : Section(CACHE_SPEC, LOCK_MUTEX) {}

void CacheSection::update() {}

bool CacheSection::cacheable(const HEADER *h) {
  if (!h) return false;
  if (h->type == HEADER_RESPONSE) return h->code == 200;
  if (h->type != HEADER_PROXY || ::strcasecmp(h->method.c_str(), "GET") != 0) return false;
  if (!h->authorization.empty() || !h->range.empty()) return false;
  if (!h->username.empty() && ::strcasecmp(h->username.c_str(), "anonymous") != 0) return false;
  if (!h->username.empty() && !h->password.empty()) return false;
  for (const HTTP_HEADER &line : h->headers)
    if (::strcasecmp(line.name.c_str(), "Set-Cookie") == 0) return false;
  return true;
}

CACHEMAP *CacheSection::cache_open(CONNECTION_T *, const char *, const char *, int) {
  return nullptr;
}

int CacheSection::flag_get(const CACHEMAP *) const { return 0; }

time_t CacheSection::get_mtime(const CACHEMAP *) const { return 0; }

void CacheSection::flag_unset(CACHEMAP *, int) {}

void CacheSection::check(HEADER *) {}

bool CacheSection::send_status(CONNECTION_T *, CACHEMAP *) { return false; }

void CacheSection::invalidate(CACHEMAP *) {}

void CacheSection::cache_close(CACHEMAP *, bool) {}
