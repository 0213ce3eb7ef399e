// Server connections of a request: a pooled one, or a new one made directly, through an HTTP
// parent, a SOCKS4 or SOCKS5 proxy, or a CONNECT tunnel through a parent, optionally wrapped
// in TLS; the response head with its single retry; and CONNECT tunnels to the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct CONNECTION_T;

// A SOCKS, tunnel or TLS step failed (the other failures are net_connect's codes).
constexpr int PROTOCOL_HANDSHAKE_FAILED = -2;
// A 407 body the proxy reads and drops before answering the challenge; a larger one is not
// answered.
constexpr std::size_t PROXY_AUTH_BODY_MAX = 1u << 20;

// Gives the request a server connection in conn->server: a pooled one for the request's key
// when the request may use one (private, or no body and not a CONNECT), else a new one as
// proxy_type says (parent host and port for types 0 to 3 when proxy_host is set, else the
// request's host and port). TLS (CONN_SSL) wraps only a new connection: a pooled TLS one
// already carries its session. Returns the descriptor, or a negative code (NET_CONNECT_* of
// network.h, PROTOCOL_HANDSHAKE_FAILED) with `server` null and keepalive_server 0.
int protocol_start(CONNECTION_T *conn);

// Closes `server` with a reset, flushes the client socket and opens a new connection (never a
// pooled one); protocol_start's result.
int protocol_reconnect(CONNECTION_T *conn);

// Reads the response head from `server`, waiting `timeout` seconds (negative: no limit) for
// all of it. The request is sent once more, on a new connection, only when a reused pooled
// connection closed before the first byte of the response and the request body, if any, is
// held whole in `postbody`; a connection that merely stays silent is never sent the request
// again. Returns the head text, or nothing: then the log entry's status and cache code tell
// why, and the client has been answered only when a new connection for the retry could not
// be opened (the error_to_template page, 503); otherwise nothing was sent to it.
std::optional<std::string> header_get_reconnect(CONNECTION_T *conn, int timeout);

// Opens a CONNECT tunnel to the request's host and port through the parent just connected
// in `server` (proxy_type 3), answering one 407 challenge when it can. 1 when the parent
// answered 2xx; PROTOCOL_HANDSHAKE_FAILED for no answer or any other answer.
int proxy_connect(CONNECTION_T *conn);

// Answers the parent's 407 in conn->rheader on `server`: Basic with proxy_user and
// proxy_password (the 407 body is read and dropped, the connection must stay open, and
// conn->header is sent again with kind 1 and the new Proxy-Authorization). False when no
// answer was sent: another scheme, missing credentials, a body that cannot be dropped.
bool proxy_authenticate(CONNECTION_T *conn);

// Serves a CONNECT request on the connection given by protocol_start: through an HTTP parent
// (proxy_type 0) the CONNECT is passed on and only a 2xx opens the tunnel; then the client
// gets "200 Connection Established" and the bytes are relayed until either side ends. Writes
// the access-log record; both keep-alive fields end at 0. Returns 0.
int protocol_connect(CONNECTION_T *conn);

// Relays bytes between client and server in both directions until both have ended (an end
// on one side is passed on as a half-close to the other), a socket fails, or `limit` bytes
// (negative: no limit) were relayed. Returns the bytes relayed.
int64_t net_proxy(CONNECTION_T *conn, int64_t limit);
