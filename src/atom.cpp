#include "atom.h"

#include "log.h"

std::mutex atomlock;

Atom::~Atom() {
  if (count_ != 0) fatal_assertion("src/atom", __LINE__, "~Atom");
}

Atom *Atom::New() {
  ++count_;
  return this;
}

bool Atom::Delete() {
  QM_ASSERT(count_ > 0, "src/atom");
  return --count_ == 0;
}
