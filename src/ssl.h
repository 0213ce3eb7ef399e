// TLS library set-up and the client context of the sockets' TLS sessions (OpenSSL 3).
#pragma once

#include <string>

struct ssl_ctx_st;
struct bio_st;

// Initialises the library once per process: algorithms, error strings, the random
// generator's seed, and the shared client context. False when the generator cannot be
// seeded or the context cannot be built (logged). Safe to call more than once.
bool ssl_init();

// The client context every Socket::Encrypt session is made from, built on first use.
// Server certificates are not verified: the sessions serve the "https" URL command, which
// has never checked them. Null when it cannot be built. Owned by this module.
ssl_ctx_st *ssl_client_context();

// A BIO on fd (not owned: closing is the socket's business) that never blocks and never
// raises SIGPIPE. Owned by the TLS session it is given to.
bio_st *ssl_socket_bio(int fd);

// Text of the TLS errors queued for this thread, oldest first, joined by "; ", and empties
// the queue. Empty when none is queued.
std::string ssl_error_text();

// True when name is an IPv4 or IPv6 literal (brackets allowed): such hosts get no server
// name indication.
bool ssl_is_ip_literal(const std::string &name);
