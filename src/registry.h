// Registries through which sections hook into the request pipeline: processors (entry
// points run at fixed points of a request), protocol handlers by scheme, and hooks.
//
// Sections register in their constructors, so the order of the entries of one kind is the
// section construction order of config(). Registration happens on the main thread before
// any request thread exists; afterwards the lists are only read, by any number of threads,
// without a lock. Nothing may register or remove entries once request threads run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct CONNECTION_T;
class Filebuf;

// Processor kinds. Each kind is run by one caller at one point of a request; the caller
// hands every entry of the kind the same connection and buffer, in registration order.
enum ProcessorKind : int {
  // Request checks, after the URL commands. Buffer: none (null). 1: this check refused the
  // request and has already answered the client; the remaining checks are skipped and the
  // pipeline ends the request. 0: the request passes this check.
  PROC_REQUEST_CHECK = 0,
  // Request modification, by process_request. Buffer: the request body. 1: this entry has
  // produced the response (in the connection's response header and the buffer); the rest
  // are skipped and the response goes to the client instead of the request to the server.
  // 0: the body, possibly rewritten, goes on to the next entry.
  PROC_REQUEST_MOD = 1,
  // Response checks, by process_response. Buffer: the response body. 1: the body is
  // refused (this entry answered the client); the rest are skipped. 0: it passes.
  PROC_RESPONSE_CHECK = 2,
  // Response modification, after the checks. Buffer: the response body. Every entry runs
  // and sees the body as left by the previous one; the result is not a verdict.
  PROC_RESPONSE_MOD = 3,
  // Buffering decision, by buffer_check. Buffer: none (null). 1: this entry needs the whole
  // response body before it is sent; the rest are not asked. 0: it does not.
  PROC_BUFFER_CHECK = 4,
  // Raw request head, by the pipeline before the head is parsed for good. Buffer: the head
  // text, which an entry may replace; every entry runs, and the caller reparses the text
  // (an empty or unparsable text refuses the request). The result is not a verdict.
  PROC_REQUEST_HEADER = 5,
  // Raw response head, by the HTTP handler; as PROC_REQUEST_HEADER for the response.
  PROC_RESPONSE_HEADER = 6,
  // Authentication, by process_request and process_auth. Buffer: the request body.
  // 1: this entry has answered (a challenge or a refusal); the rest are skipped and the
  // request ends. 0: continue.
  PROC_AUTH = 7,
};
constexpr int PROC_KIND_COUNT = 8;

// Whether Processors::Execute stops after the first entry of the kind that returns 1.
constexpr bool processor_kind_stops(int kind) {
  return kind == PROC_REQUEST_CHECK || kind == PROC_REQUEST_MOD ||
         kind == PROC_RESPONSE_CHECK || kind == PROC_BUFFER_CHECK || kind == PROC_AUTH;
}

// Hook kinds. Every hook of a kind runs in registration order until one returns 1.
enum HookKind : int {
  // Once, by config() after the configuration document is loaded; both arguments null.
  HOOK_CONFIG_LOADED = 0,
  // By the HTTP and FTP handlers after the response body is decoded and parsed, just
  // before the response processors. Arguments: the connection and the body buffer.
  HOOK_BEFORE_RESPONSE = 1,
  // By the same handlers after the response processors; same arguments.
  HOOK_AFTER_RESPONSE = 2,
};
constexpr int HOOK_KIND_COUNT = 3;

using ProcessorFn = int (*)(CONNECTION_T *connection, Filebuf *buffer);
using ProtocolFn = int (*)(CONNECTION_T *connection);
using HookFn = int (*)(void *a, void *b);

struct Processor {
  int kind;
  ProcessorFn function;
};

struct Protocol {
  std::string name;  // scheme, compared exactly
  ProtocolFn function;
};

struct Hook {
  int kind;
  HookFn function;
};

class Processors {
 public:
  // Appends the entry and returns 1; returns 0 and changes nothing when the function is
  // already registered under any kind. A null function or a kind outside the table is a
  // programming error (fatal).
  int Add(ProcessorFn function, int kind);
  // Removes the first entry with the function: 1, or 0 when there is none.
  int Remove(ProcessorFn function);
  // Calls every entry of the kind in order with (connection, buffer); for the kinds of
  // processor_kind_stops, stops after the first call that returns 1. Returns the result
  // of the last call made, 0 when the kind has no entry.
  int Execute(int kind, CONNECTION_T *connection, Filebuf *buffer) const;
  // True when an entry of the kind is registered (callers skip preparing its buffer).
  bool Has(int kind) const;
  const std::vector<Processor> &entries() const { return list_; }

 private:
  std::vector<Processor> list_;
};

class Protocols {
 public:
  // Appends (name, function) and returns 1; 0 when the function is already registered.
  // A null function is a programming error (fatal).
  int Add(ProtocolFn function, std::string_view name);
  int Remove(ProtocolFn function);
  // The result of the first entry whose name equals `name` byte for byte (so "HTTP" is
  // not "http"); -1 when none does, and the caller uses its built-in handlers.
  int Execute(std::string_view name, CONNECTION_T *connection) const;
  const std::vector<Protocol> &entries() const { return list_; }

 private:
  std::vector<Protocol> list_;
};

class Hooks {
 public:
  // As Processors::Add and Processors::Remove.
  int Add(HookFn function, int kind);
  int Remove(HookFn function);
  // Calls every entry of the kind in order with (a, b), stopping after the first that
  // returns 1; the last result, 0 when the kind has no entry.
  int Execute(int kind, void *a, void *b) const;
  const std::vector<Hook> &entries() const { return list_; }

 private:
  std::vector<Hook> list_;
};

// The process-wide registries, empty at program start.
extern Processors processors;
extern Protocols protocols;
extern Hooks hooks;
