#include "registry.h"

#include <algorithm>

#include "log.h"

Processors processors;
Protocols protocols;
Hooks hooks;

namespace {

constexpr const char *MODULE = "src/registry";

template <typename Entry, typename Fn>
bool registered(const std::vector<Entry> &list, Fn function) {
  return std::any_of(list.begin(), list.end(),
                     [function](const Entry &e) { return e.function == function; });
}

template <typename Entry, typename Fn>
int remove_first(std::vector<Entry> &list, Fn function) {
  auto it = std::find_if(list.begin(), list.end(),
                         [function](const Entry &e) { return e.function == function; });
  if (it == list.end()) return 0;
  list.erase(it);
  return 1;
}

}  // namespace

int Processors::Add(ProcessorFn function, int kind) {
  QM_ASSERT(function != nullptr && kind >= 0 && kind < PROC_KIND_COUNT, MODULE);
  if (registered(list_, function)) return 0;
  list_.push_back({kind, function});
  return 1;
}

int Processors::Remove(ProcessorFn function) { return remove_first(list_, function); }

int Processors::Execute(int kind, CONNECTION_T *connection, Filebuf *buffer) const {
  const bool stops = processor_kind_stops(kind);
  int result = 0;
  for (const Processor &p : list_) {
    if (p.kind != kind) continue;
    result = p.function(connection, buffer);
    if (stops && result == 1) break;
  }
  return result;
}

bool Processors::Has(int kind) const {
  return std::any_of(list_.begin(), list_.end(), [kind](const Processor &p) { return p.kind == kind; });
}

int Protocols::Add(ProtocolFn function, std::string_view name) {
  QM_ASSERT(function != nullptr, MODULE);
  if (registered(list_, function)) return 0;
  list_.push_back({std::string(name), function});
  return 1;
}

int Protocols::Remove(ProtocolFn function) { return remove_first(list_, function); }

int Protocols::Execute(std::string_view name, CONNECTION_T *connection) const {
  for (const Protocol &p : list_)
    if (p.name == name) return p.function(connection);
  return -1;
}

int Hooks::Add(HookFn function, int kind) {
  QM_ASSERT(function != nullptr && kind >= 0 && kind < HOOK_KIND_COUNT, MODULE);
  if (registered(list_, function)) return 0;
  list_.push_back({kind, function});
  return 1;
}

int Hooks::Remove(HookFn function) { return remove_first(list_, function); }

int Hooks::Execute(int kind, void *a, void *b) const {
  int result = 0;
  for (const Hook &h : list_) {
    if (h.kind != kind) continue;
    result = h.function(a, b);
    if (result == 1) break;
  }
  return result;
}
