// Processor, protocol and hook registries: registration rules, order, and which kinds stop
// at the first entry that answers.
#include "registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "filebuf.h"
#include "main.h"
#include "testutil.h"
#include "network.h"

namespace {

#define EXPECT_FATAL(statement, function) EXPECT_FATAL_IN("src/registry", statement, function)

// Entry points cannot capture, so they record their calls here.
struct Call {
  std::string who;
  const void *a;
  const void *b;
};
std::vector<Call> calls;

int proc_one_a(CONNECTION_T *c, Filebuf *b) { calls.push_back({"one_a", c, b}); return 1; }
int proc_one_b(CONNECTION_T *c, Filebuf *b) { calls.push_back({"one_b", c, b}); return 1; }
int proc_zero(CONNECTION_T *c, Filebuf *b) { calls.push_back({"zero", c, b}); return 0; }
int proc_seven(CONNECTION_T *c, Filebuf *b) { calls.push_back({"seven", c, b}); return 7; }

// Appends a mark to the buffer, so that the order of modifications shows in the result.
int proc_mark_x(CONNECTION_T *, Filebuf *b) { b->Add("x"); return 1; }
int proc_mark_y(CONNECTION_T *, Filebuf *b) { b->Add("y"); return 0; }

int proto_http(CONNECTION_T *c) { calls.push_back({"http", c, nullptr}); return 3; }
int proto_http_again(CONNECTION_T *c) { calls.push_back({"http2", c, nullptr}); return 4; }
int proto_gopher(CONNECTION_T *c) { calls.push_back({"gopher", c, nullptr}); return 0; }

int hook_zero(void *a, void *b) { calls.push_back({"hook_zero", a, b}); return 0; }
int hook_one(void *a, void *b) { calls.push_back({"hook_one", a, b}); return 1; }
int hook_two(void *a, void *b) { calls.push_back({"hook_two", a, b}); return 2; }
int hook_five(void *a, void *b) { calls.push_back({"hook_five", a, b}); return 5; }

std::vector<std::string> who_was_called() {
  std::vector<std::string> names;
  for (const Call &c : calls) names.push_back(c.who);
  return names;
}

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override { calls.clear(); }
};

TEST_F(RegistryTest, ProcessorRegisteredOnceUnderAnyKind) {
  Processors p;
  EXPECT_EQ(p.Add(proc_zero, PROC_REQUEST_CHECK), 1);
  EXPECT_EQ(p.Add(proc_zero, PROC_REQUEST_CHECK), 0);
  EXPECT_EQ(p.Add(proc_zero, PROC_RESPONSE_MOD), 0);
  ASSERT_EQ(p.entries().size(), 1u);
  EXPECT_EQ(p.entries()[0].kind, PROC_REQUEST_CHECK);

  CONNECTION_T conn;
  EXPECT_EQ(p.Execute(PROC_RESPONSE_MOD, &conn, nullptr), 0) << "the refused kind has no entry";
  EXPECT_TRUE(calls.empty());
}

TEST_F(RegistryTest, ExecuteWithoutEntriesReturnsZero) {
  Processors p;
  ASSERT_EQ(p.Add(proc_seven, PROC_AUTH), 1);
  for (int kind = 0; kind < PROC_KIND_COUNT; ++kind) {
    if (kind == PROC_AUTH) continue;
    EXPECT_EQ(p.Execute(kind, nullptr, nullptr), 0) << kind;
  }
  EXPECT_EQ(p.Execute(PROC_KIND_COUNT, nullptr, nullptr), 0);
  EXPECT_EQ(p.Execute(-1, nullptr, nullptr), 0);
  EXPECT_TRUE(calls.empty());
}

// Per kind: the first entry answers 1; whether the second still runs, and what comes back.
TEST_F(RegistryTest, StopRulesPerKind) {
  struct Case {
    int kind;
    bool stops;
  };
  const Case cases[] = {
      {PROC_REQUEST_CHECK, true},  {PROC_REQUEST_MOD, true},     {PROC_RESPONSE_CHECK, true},
      {PROC_RESPONSE_MOD, false},  {PROC_BUFFER_CHECK, true},    {PROC_REQUEST_HEADER, false},
      {PROC_RESPONSE_HEADER, false}, {PROC_AUTH, true},
  };
  static_assert(std::size(cases) == PROC_KIND_COUNT);
  for (const Case &k : cases) {
    SCOPED_TRACE("kind " + std::to_string(k.kind));
    calls.clear();
    Processors p;
    ASSERT_EQ(p.Add(proc_one_a, k.kind), 1);
    ASSERT_EQ(p.Add(proc_seven, k.kind), 1);
    EXPECT_EQ(processor_kind_stops(k.kind), k.stops);
    CONNECTION_T conn;
    Filebuf body;
    const int result = p.Execute(k.kind, &conn, &body);
    if (k.stops) {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(who_was_called(), (std::vector<std::string>{"one_a"}));
    } else {
      EXPECT_EQ(result, 7) << "the result of the last call made";
      EXPECT_EQ(who_was_called(), (std::vector<std::string>{"one_a", "seven"}));
    }
    for (const Call &c : calls) {
      EXPECT_EQ(c.a, &conn);
      EXPECT_EQ(c.b, &body);
    }
  }
}

TEST_F(RegistryTest, StoppingKindRunsOnWhileEntriesPass) {
  Processors p;
  ASSERT_EQ(p.Add(proc_zero, PROC_REQUEST_CHECK), 1);
  ASSERT_EQ(p.Add(proc_seven, PROC_REQUEST_CHECK), 1);
  ASSERT_EQ(p.Add(proc_one_b, PROC_REQUEST_CHECK), 1);
  ASSERT_EQ(p.Add(proc_one_a, PROC_REQUEST_CHECK), 1);
  // 7 is no verdict: only 1 stops.
  EXPECT_EQ(p.Execute(PROC_REQUEST_CHECK, nullptr, nullptr), 1);
  EXPECT_EQ(who_was_called(), (std::vector<std::string>{"zero", "seven", "one_b"}));
}

// Entries run in registration order and only for their own kind, as sections registered
// them in construction order.
TEST_F(RegistryTest, RegistrationOrderWithinAKind) {
  Processors p;
  ASSERT_EQ(p.Add(proc_mark_x, PROC_RESPONSE_MOD), 1);
  ASSERT_EQ(p.Add(proc_zero, PROC_REQUEST_CHECK), 1);
  ASSERT_EQ(p.Add(proc_mark_y, PROC_RESPONSE_MOD), 1);
  Filebuf body;
  body.Add("<");
  EXPECT_EQ(p.Execute(PROC_RESPONSE_MOD, nullptr, &body), 0);
  EXPECT_EQ(body.view(), "<xy") << "each entry sees the buffer as the previous one left it";
  EXPECT_TRUE(calls.empty()) << "the request check is not a response modifier";

  // Removing and adding again moves the entry to the end.
  EXPECT_EQ(p.Remove(proc_mark_x), 1);
  EXPECT_EQ(p.Remove(proc_mark_x), 0);
  EXPECT_EQ(p.Add(proc_mark_x, PROC_RESPONSE_MOD), 1);
  body.Resize(0);
  p.Execute(PROC_RESPONSE_MOD, nullptr, &body);
  EXPECT_EQ(body.view(), "yx");
}

TEST_F(RegistryTest, ProtocolNamesMatchExactly) {
  Protocols p;
  EXPECT_EQ(p.Execute("http", nullptr), -1) << "an empty registry leaves the built-in handlers";
  ASSERT_EQ(p.Add(proto_http, "http"), 1);
  EXPECT_EQ(p.Add(proto_http, "https"), 0) << "one function, one entry";
  ASSERT_EQ(p.Add(proto_http_again, "http"), 1);
  ASSERT_EQ(p.Add(proto_gopher, "gopher"), 1);

  CONNECTION_T conn;
  const std::pair<const char *, int> cases[] = {
      {"http", 3}, {"HTTP", -1}, {"Http", -1}, {"htt", -1}, {"https", -1}, {"http ", -1},
      {"", -1},    {"gopher", 0},
  };
  for (const auto &[name, result] : cases) EXPECT_EQ(p.Execute(name, &conn), result) << name;
  // The first entry of a name wins; the second of the same name is never reached.
  for (const Call &c : calls) EXPECT_NE(c.who, "http2");
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().a, &conn);

  EXPECT_EQ(p.Remove(proto_http), 1);
  EXPECT_EQ(p.Execute("http", &conn), 4);
  EXPECT_EQ(p.Remove(proto_http), 0);
}

TEST_F(RegistryTest, HooksStopAtTheFirstOne) {
  Hooks h;
  EXPECT_EQ(h.Execute(HOOK_CONFIG_LOADED, nullptr, nullptr), 0);
  ASSERT_EQ(h.Add(hook_zero, HOOK_BEFORE_RESPONSE), 1);
  ASSERT_EQ(h.Add(hook_two, HOOK_BEFORE_RESPONSE), 1);
  ASSERT_EQ(h.Add(hook_one, HOOK_BEFORE_RESPONSE), 1);
  EXPECT_EQ(h.Add(hook_one, HOOK_AFTER_RESPONSE), 0);
  ASSERT_EQ(h.Add(hook_five, HOOK_BEFORE_RESPONSE), 1);

  int a = 0, b = 0;
  EXPECT_EQ(h.Execute(HOOK_BEFORE_RESPONSE, &a, &b), 1);
  EXPECT_EQ(who_was_called(), (std::vector<std::string>{"hook_zero", "hook_two", "hook_one"}));
  for (const Call &c : calls) {
    EXPECT_EQ(c.a, &a);
    EXPECT_EQ(c.b, &b);
  }
  EXPECT_EQ(h.Execute(HOOK_AFTER_RESPONSE, &a, &b), 0);

  calls.clear();
  EXPECT_EQ(h.Remove(hook_one), 1);
  EXPECT_EQ(h.Execute(HOOK_BEFORE_RESPONSE, &a, &b), 5) << "the last result when none says 1";
  EXPECT_EQ(who_was_called(),
            (std::vector<std::string>{"hook_zero", "hook_two", "hook_five"}));
}

TEST_F(RegistryTest, BadRegistrationsAreFatal) {
  Processors p;
  Hooks h;
  Protocols r;
  EXPECT_FATAL(p.Add(nullptr, PROC_AUTH), "Add");
  EXPECT_FATAL(p.Add(proc_zero, PROC_KIND_COUNT), "Add");
  EXPECT_FATAL(p.Add(proc_zero, -1), "Add");
  EXPECT_FATAL(h.Add(hook_zero, HOOK_KIND_COUNT), "Add");
  EXPECT_FATAL(r.Add(nullptr, "http"), "Add");
}

}  // namespace
