#include "cache.h"

CacheSection *cache_section = nullptr;

CacheSection::CacheSection() : Section(CACHE_SPEC, LOCK_MUTEX) {}

void CacheSection::update() {}
