#include "profiles.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "general.h"
#include "log.h"
#include "main.h"
#include "network.h"

ProfileSection *profile_section = nullptr;

namespace {

constexpr const char *MODULE = "profiles";

bool equals_ci(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// An empty profile name labels nothing, and one in addprofiles would be appended again at
// every evaluation, as no list ever "carries" it.
StringList without_empty(const StringList &names) {
  StringList kept;
  for (const std::string &name : names)
    if (!name.empty()) kept.push_back(name);
  return kept;
}

std::unique_ptr<Regex> pattern_build(const Item &item, int position, Profile *rule) {
  const Field &field = item.fields[position];
  if (field.text.empty()) return nullptr;
  std::unique_ptr<Regex> regex = reg_compile(field.text, REG_OPT_CASELESS);
  if (!regex) {
    rule->broken = true;
    putlog(LOG_WARNING | LOG_PROFILES,
           "profile rule \"%s\" never applies: its %s pattern does not compile",
           item.fields[PROFILE_RULE_COMMENT].text.c_str(), field.name.c_str());
  }
  return regex;
}

// Puts an active range's first value into `from` and its second into `to`.
void range_build(const Field &field, tm_partial::Part *from, tm_partial::Part *to,
                 bool *has_range) {
  if (field.optional && !field.active) return;
  *from = {true, field.int_value};
  *to = {true, field.int_value2};
  *has_range = true;
}

Profile profile_build(const Item &item) {
  const FieldVector &f = item.fields;
  Profile rule;
  rule.enabled = f[PROFILE_RULE_ENABLED].int_value != 0;
  rule.log = f[PROFILE_RULE_LOG].int_value != 0;
  rule.groups = f[PROFILE_RULE_GROUPS].string_list;
  rule.profiles = f[PROFILE_RULE_PROFILES].string_list;
  rule.protocol = pattern_build(item, PROFILE_RULE_PROTOCOL, &rule);
  rule.host = pattern_build(item, PROFILE_RULE_HOST, &rule);
  rule.file = pattern_build(item, PROFILE_RULE_FILE, &rule);
  rule.mimetype = pattern_build(item, PROFILE_RULE_MIMETYPE, &rule);
  rule.ports = f[PROFILE_RULE_PORTS].port_ranges;
  rule.urlcommands = f[PROFILE_RULE_URLCOMMANDS].string_list;
  rule.proxyhost = pattern_build(item, PROFILE_RULE_PROXYHOST, &rule);
  rule.requestheader = pattern_build(item, PROFILE_RULE_REQUESTHEADER, &rule);
  rule.responseheader = pattern_build(item, PROFILE_RULE_RESPONSEHEADER, &rule);
  range_build(f[PROFILE_RULE_MONTH], &rule.from.month, &rule.to.month, &rule.has_time_range);
  range_build(f[PROFILE_RULE_DAY], &rule.from.day, &rule.to.day, &rule.has_time_range);
  range_build(f[PROFILE_RULE_WEEKDAY], &rule.from.weekday, &rule.to.weekday,
              &rule.has_time_range);
  range_build(f[PROFILE_RULE_HOUR], &rule.from.hour, &rule.to.hour, &rule.has_time_range);
  range_build(f[PROFILE_RULE_MINUTE], &rule.from.minute, &rule.to.minute,
              &rule.has_time_range);
  rule.timeall = f[PROFILE_RULE_TIMEALL].int_value != 0;
  rule.addprofiles = without_empty(f[PROFILE_RULE_ADDPROFILES].string_list);
  rule.removeprofiles = without_empty(f[PROFILE_RULE_REMOVEPROFILES].string_list);
  return rule;
}

// An absent pattern always holds. A failed search (a match limit hit by a crafted request
// or response) counts as no match: the rule hands out profiles, and a text built to
// exhaust the matcher must not earn a request one.
bool pattern_holds(const std::unique_ptr<Regex> &regex, std::string_view text) {
  return !regex || reg_hit_admitting(reg_exec(*regex, text));
}

bool carries_command(const CONNECTION_T &conn, const StringList &names) {
  if (names.empty()) return true;
  for (const url_command_t &command : conn.url_commands)
    for (const std::string &name : names)
      if (equals_ci(command.name, name)) return true;
  return false;
}

bool time_holds(const Profile &rule, const struct tm &now) {
  if (!rule.has_time_range) return true;
  return rule.timeall ? in_alltimerange(now, rule.from, rule.to)
                      : in_absolutetimerange(now, rule.from, rule.to);
}

// Whether the rule applies, its conditions taken in their documented order. Without a
// request header every request condition that is set fails.
bool profile_applies(const Profile &rule, const CONNECTION_T &conn,
                     const ProfileContext &context) {
  if (!rule.enabled || rule.broken) return false;
  if (!profile_find(conn.groups, rule.groups) || !profile_find(conn.profiles, rule.profiles))
    return false;
  const HEADER *request = conn.header.get();
  const HEADER *response = conn.rheader.get();
  if (!rule.ports.empty() && (!request || !rule.ports.has(request->port))) return false;
  // The type without its parameters, so that "html$" means what it says.
  if (rule.mimetype &&
      (!response || response->mime.empty() || !pattern_holds(rule.mimetype, response->mime)))
    return false;
  if (rule.requestheader && (!request || !pattern_holds(rule.requestheader, request->raw)))
    return false;
  if (rule.responseheader && (!response || !pattern_holds(rule.responseheader, response->raw)))
    return false;
  if (rule.protocol &&
      (!request || request->proto.empty() || !pattern_holds(rule.protocol, request->proto)))
    return false;
  if (rule.host &&
      (!request || request->host.empty() || !pattern_holds(rule.host, request->host)))
    return false;
  if (rule.file && (!request || !pattern_holds(rule.file, request->file))) return false;
  if (!carries_command(conn, rule.urlcommands)) return false;
  if (!pattern_holds(rule.proxyhost, context.proxy_host)) return false;
  return time_holds(rule, context.now);
}

void profile_apply(const Profile &rule, CONNECTION_T &conn) {
  for (const std::string &name : rule.addprofiles) {
    if (conn.profiles.has(name)) continue;
    conn.profiles.push_back(name);
    if (rule.log) putlog(LOG_PROFILES, "%s Profile: %s", "Added", name.c_str());
  }
  for (const std::string &name : rule.removeprofiles) {
    std::erase(conn.profiles, name);
    if (rule.log) putlog(LOG_PROFILES, "%s Profile: %s", "Removed", name.c_str());
  }
}

}  // namespace

ProfileSection::ProfileSection() : Section(PROFILES_SPEC) {}

void ProfileSection::update() {
  std::vector<Profile> rules;
  const std::vector<Item> &items = subsections[PROFILES_SUB_PROFILE].items;
  rules.reserve(items.size());
  for (const Item &item : items) rules.push_back(profile_build(item));
  rules_ = std::move(rules);
}

void ProfileSection::profiles_update(CONNECTION_T *conn) {
  ProfileContext context;
  const time_t now = time(nullptr);
  localtime_r(&now, &context.now);
  // Before our own lock: no code holds two section locks at once.
  context.proxy_host = profiles_proxy_host();
  profiles_update(conn, context);
}

void ProfileSection::profiles_update(CONNECTION_T *conn, const ProfileContext &context) {
  QM_ASSERT(conn != nullptr, MODULE);
  {
    SectionReadLock held(*this);
    for (const Profile &rule : rules_)
      if (profile_applies(rule, *conn, context)) profile_apply(rule, *conn);
  }
  conn->log_entry.profiles = profiles_log_text(conn->profiles);
}

std::string profiles_proxy_host() {
  if (!proxyhost.empty()) return proxyhost;
  return general_section ? general_section->hostname_get() : std::string();
}

std::string profiles_log_text(const StringList &profiles) {
  std::string text = profiles.join(',');
  if (text.size() > PROFILES_LOG_MAX) text.resize(PROFILES_LOG_MAX);
  return text;
}
