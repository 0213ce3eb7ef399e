// Transfer engine: moves message bodies between the two sockets of a connection, into a
// Filebuf or out of one, while watching the opposite socket for a peer that leaves or that
// already sends its next request.
//
// Every routine reports through the connection record: a body that ends short sets
// CONN_FAILED and clears both keep-alive fields, a dead peer sets its socket's `error` flag.
// Nothing here raises or allocates per block.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class Filebuf;
struct CONNECTION_T;
struct CACHEMAP;

// `side` of the readers: which socket is the source.
constexpr int TRANSFER_FROM_CLIENT = 0;
constexpr int TRANSFER_FROM_SERVER = 1;
// `size` of a body whose end is the source closing its connection.
constexpr int64_t TRANSFER_UNTIL_CLOSE = -1;
// Bytes the watched socket may read ahead into its input buffer during a transfer (a client
// pipelining its next requests); beyond this it is only watched for errors.
constexpr std::size_t TRANSFER_PEER_INPUT_MAX = 1u << 20;
// Writes of a buffered body go out in pieces of this size (or BLOCKSIZE when larger), so that
// what the kernel does not take at once is never a second copy of the whole body.
constexpr std::size_t TRANSFER_WRITE_UNIT = 65536;

// Results of net_filebuf_read.
enum TransferResult : int {
  TRANSFER_FAILED = 0,  // the source ended, failed or stalled first (CONN_FAILED is set)
  TRANSFER_DONE = 1,    // the whole body arrived
  TRANSFER_FULL = 2,    // `limit` was reached first; the rest is still unread in the source
};

// Number of users of a cache entry (its reader count, writer included); set by the cache
// module. Null: an entry is never shared.
extern int (*transfer_cache_readers_hook)(CACHEMAP *entry);

// Copies `size` bytes (TRANSFER_UNTIL_CLOSE: until the source closes) from the source socket
// of `side` to the other one, or only reads them when the destination is gone (side 1 with
// CONN_CLIENT_GONE). The source's read callbacks see every block. A counted body waits at most
// `ctimeout` seconds for each block, an open-ended one `timeout` seconds; a body that ends
// before its count, or an open-ended one that stalls or fails instead of closing, sets
// CONN_FAILED. A destination that leaves ends the transfer, unless the response is being
// cached for other readers as well: then the client socket is dropped (CONN_CLIENT_GONE) and
// the download goes on. Returns the bytes read from the source.
int64_t net_transfer(CONNECTION_T *conn, int side, int64_t size);

// Appends `size` bytes (TRANSFER_UNTIL_CLOSE: until the source closes) of the source of
// `side` to `out`, or reads and drops them when `out` is null, stopping before `out` would
// hold more than `limit` bytes. Waits as net_transfer does. TRANSFER_FAILED sets CONN_FAILED.
TransferResult net_filebuf_read(Filebuf *out, CONNECTION_T *conn, int side, int64_t size,
                                std::size_t limit = SIZE_MAX);

// Writes the buffer to the server (dest 1) or the client (any other dest) and flushes it.
// Returns the buffer's length once all of it went out, -1 when the socket is missing or the
// write failed (its `error` is set); to a client that has gone (dest 0 with
// CONN_CLIENT_GONE) it sends nothing and returns the length.
ssize_t net_filebuf_send(const Filebuf *buf, CONNECTION_T *conn, int dest);
// The same in HTTP chunked framing: chunks of at most BLOCKSIZE bytes, each "%x\r\n", the
// bytes, "\r\n". Writes no final zero-size chunk: the caller ends the body. Returns the
// bytes of content sent (the length for a gone client), -1 after a failed write.
ssize_t net_filebuf_send_chunked_p(const Filebuf *buf, CONNECTION_T *conn, int dest);
