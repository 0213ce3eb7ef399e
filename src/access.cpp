#include "access.h"

#include <algorithm>

#include "filebuf.h"
#include "header.h"
#include "log.h"
#include "misc.h"
#include "network.h"
#include "registry.h"
#include "stats.h"
#include "urlcommand.h"

AccessSection *access_section = nullptr;

static_assert(URLCOMMAND_ACCESS_BYPASS == ACCESS_BYPASS);
static_assert(URLCOMMAND_ACCESS_URLCOMMANDS == ACCESS_URLCOMMANDS);

namespace {

// The X-Forwarded-For value when the request carries one, else the connection's address.
std::string client_address(const CONNECTION_T &conn) {
  if (conn.header && !conn.header->x_forwarded_for.empty()) return conn.header->x_forwarded_for;
  return conn.ip;
}

bool has_unread_body(const CONNECTION_T &conn) {
  const HEADER *h = conn.header.get();
  return h && (h->chunked || ((h->flags & HDR_LENGTH) && h->content_length > 0));
}

}  // namespace

AccessSection::AccessSection() : Section(ACCESS_SPEC), default_stats_(userstats_init()) {}

void AccessSection::update() {}

void AccessSection::setup_default(CONNECTION_T *conn) const {
  conn->username = s_strncpy("anonymous@" + client_address(*conn), ACCESS_USERNAME_MAX + 1);
  conn->profiles.clear();
  conn->access_flags = ACCESS_ALL;
  conn->interface_username.clear();
  conn->interface_password.clear();
  conn->user_stats = default_stats_;
}

int process_auth(CONNECTION_T *conn, Filebuf *body) {
  const bool has_authenticator =
      std::any_of(processors.entries().begin(), processors.entries().end(),
                  [](const Processor &p) { return p.kind == PROC_AUTH; });
  if (has_authenticator) {
    processors.Execute(PROC_AUTH, conn, body);
  } else if (access_section) {
    access_section->setup_default(conn);
  } else {
    conn->access_flags = ACCESS_ALL;
  }

  if (!conn->username.empty()) {
    statincr_users(nullptr, conn->username);
    conn->log_entry.username = conn->username;
    conn->variables["USERNAME"] = conn->username;
  }

  if (conn->rheader) {
    // The request body stays unread: the connection cannot carry another request.
    if (has_unread_body(*conn)) {
      putlog(LOG_WARNING | LOG_REQUEST, "%s:%d must recieve the POSTDATA and discard it",
             "process_auth", __LINE__);
      conn->keepalive_client = 0;
    }
    conn->rheader->chunked = 0;
    conn->rheader->content_length = body ? body->length() : 0;
    conn->rheader->flags |= HDR_LENGTH;
    if (header_send(conn->rheader.get(), conn, 0, HEADER_SEND_CLIENT) >= 0 && body &&
        !body->empty() && conn->client && !(conn->flags & CONN_HEAD))
      conn->client->WriteFilebuf(*body);
    conn->rheader.reset();
    return 0;
  }
  if (body && !body->empty() && conn->header) {
    conn->header->chunked = 0;
    conn->header->content_length = body->length();
    conn->header->flags |= HDR_LENGTH;
  }
  return (conn->auth_flags & AUTH_REQUIRED) ? 0 : 1;
}
