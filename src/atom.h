// Intrusive reference count for objects shared between connections and rules.
#pragma once

#include <mutex>

// Users that share one Atom-based object across threads hold atomlock around New() and
// Delete(); the count itself does no locking.
extern std::mutex atomlock;

class Atom {
 public:
  Atom() = default;
  Atom(const Atom &) = delete;
  Atom &operator=(const Atom &) = delete;
  // Destroying an object that is still referenced is an invariant violation.
  virtual ~Atom();

  // Takes one more reference and returns the object.
  Atom *New();
  // Drops one reference; true when that was the last one and the caller must destroy
  // the object. Dropping a reference that is not held is an invariant violation.
  bool Delete();
  int count() const { return count_; }

 private:
  int count_ = 1;  // the creator's reference
};
