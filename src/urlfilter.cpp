#include "urlfilter.h"

#include "registry.h"
#include "request.h"

FilterSection *filter_section = nullptr;

FilterSection::FilterSection() : Section(FILTER_SPEC) {
  processors.Add(filter_reqcheck, PROC_REQUEST_CHECK);
}

void FilterSection::update() {}

int FilterSection::check_and_block(CONNECTION_T *) { return 0; }

int filter_reqcheck(CONNECTION_T *conn, Filebuf *) {
  if (isthis_interface_request(conn) || !filter_section) return 0;
  return filter_section->check_and_block(conn);
}
