#include "general.h"

#include "log.h"
#include "misc.h"
#include "network.h"
#include "regexp.h"

GeneralSection *general_section = nullptr;
FtpSection *ftp_section = nullptr;

namespace {

General rule_build(const Item &item) {
  const FieldVector &f = item.fields;
  General g;
  g.enabled = f[GENERAL_RULE_ENABLED].int_value != 0;
  g.comment = f[GENERAL_RULE_COMMENT].text;
  g.groups = f[GENERAL_RULE_GROUPS].string_list;
  g.profiles = f[GENERAL_RULE_PROFILES].string_list;
  g.ctimeout = f[GENERAL_RULE_CTIMEOUT].int_value;
  g.timeout = f[GENERAL_RULE_TIMEOUT].int_value;
  g.keeptimeout = f[GENERAL_RULE_KEEPTIMEOUT].int_value;
  g.maxdbuffer = f[GENERAL_RULE_MAXDBUFFER].uint_value;
  g.maxubuffer = f[GENERAL_RULE_MAXUBUFFER].uint_value;
  g.bufferwait = f[GENERAL_RULE_BUFFERWAIT].int_value;
  g.cportrange = f[GENERAL_RULE_CPORTRANGE].port_ranges;
  g.encodemime = f[GENERAL_RULE_ENCODEMIME].text;
  if (!g.encodemime.empty())
    g.encodemime_pattern = std::shared_ptr<const Regex>(reg_compile(g.encodemime, REG_OPT_CASELESS));
  g.compressout = f[GENERAL_RULE_COMPRESSOUT].int_value != 0;
  g.compressin = f[GENERAL_RULE_COMPRESSIN].int_value != 0;
  g.xforwardedfor = f[GENERAL_RULE_XFORWARDEDFOR].int_value != 0;
  g.via = f[GENERAL_RULE_VIA].int_value != 0;
  return g;
}

const General DEFAULT_RULE{};

}  // namespace

GeneralSection::GeneralSection() : Section(GENERAL_SPEC) {}

void GeneralSection::update() {
  std::vector<General> rules;
  const Subsection &sub = subsections[GENERAL_SUB_GENERAL];
  rules.reserve(sub.items.size());
  for (const Item &item : sub.items) rules.push_back(rule_build(item));
  rules_ = std::move(rules);
  html_line_length = globals[GENERAL_LINELENGTH].int_value;
}

std::string GeneralSection::hostname_get() const {
  SectionReadLock guard(*this);
  return globals[GENERAL_HOSTNAME].text;
}

std::string GeneralSection::tempdir_get() const {
  SectionReadLock guard(*this);
  return globals[GENERAL_TEMPDIR].text;
}

int GeneralSection::linelength_get() const {
  SectionReadLock guard(*this);
  return globals[GENERAL_LINELENGTH].int_value;
}

int GeneralSection::poolsize_get() const {
  SectionReadLock guard(*this);
  return globals[GENERAL_POOLSIZE].int_value;
}

int GeneralSection::pooltimeout_get() const {
  SectionReadLock guard(*this);
  return globals[GENERAL_POOLTIMEOUT].int_value;
}

const General *GeneralSection::find(const CONNECTION_T *conn) const {
  static const StringList none;
  const StringList &groups = conn ? conn->groups : none;
  const StringList &profiles = conn ? conn->profiles : none;
  for (const General &g : rules_)
    if (g.enabled && profile_find(groups, g.groups) && profile_find(profiles, g.profiles))
      return &g;
  return nullptr;
}

namespace {

// One lookup under the read lock: what `get` takes from the applying rule, or from the
// defaults when no rule applies.
template <typename Get>
auto rule_value(const GeneralSection &section, const CONNECTION_T *conn, Get get) {
  SectionReadLock guard(section);
  const General *found = section.find(conn);
  return get(found ? *found : DEFAULT_RULE);
}

}  // namespace

int GeneralSection::ctimeout_get(CONNECTION_T *conn) const {
  int value = rule_value(*this, conn, [](const General &g) { return g.ctimeout; });
  if (conn) conn->ctimeout = value;
  return value;
}

int GeneralSection::timeout_get(CONNECTION_T *conn) const {
  int value = rule_value(*this, conn, [](const General &g) { return g.timeout; });
  if (conn) conn->timeout = value;
  return value;
}

int GeneralSection::keeptimeout_get(CONNECTION_T *conn) const {
  int value = rule_value(*this, conn, [](const General &g) { return g.keeptimeout; });
  if (conn) conn->keeptimeout = value;
  return value;
}

std::uint64_t GeneralSection::maxdbuffer_get(const CONNECTION_T *conn) const {
  return rule_value(*this, conn, [](const General &g) { return g.maxdbuffer; });
}

std::uint64_t GeneralSection::maxubuffer_get(const CONNECTION_T *conn) const {
  return rule_value(*this, conn, [](const General &g) { return g.maxubuffer; });
}

int GeneralSection::bufferwait_get(const CONNECTION_T *conn) const {
  return rule_value(*this, conn, [](const General &g) { return g.bufferwait; });
}

bool GeneralSection::cportrange_check(const CONNECTION_T *conn, int port) const {
  return rule_value(*this, conn, [port](const General &g) { return g.cportrange.has(port); });
}

bool GeneralSection::encodemime_check(const CONNECTION_T *conn, std::string_view type) const {
  return rule_value(*this, conn, [type](const General &g) {
    // A failed match compresses nothing: the safe outcome for an admitting rule.
    return g.encodemime_pattern != nullptr &&
           reg_hit_admitting(reg_exec(*g.encodemime_pattern, type));
  });
}

bool GeneralSection::compressout_get(const CONNECTION_T *conn) const {
  return rule_value(*this, conn, [](const General &g) { return g.compressout; });
}

bool GeneralSection::compressin_get(const CONNECTION_T *conn) const {
  return rule_value(*this, conn, [](const General &g) { return g.compressin; });
}

bool GeneralSection::xforwardedfor_get(const CONNECTION_T *conn) const {
  return rule_value(*this, conn, [](const General &g) { return g.xforwardedfor; });
}

bool GeneralSection::via_get(const CONNECTION_T *conn) const {
  return rule_value(*this, conn, [](const General &g) { return g.via; });
}

FtpSection::FtpSection() : Section(FTP_SPEC) {}

void FtpSection::update() {}

bool FtpSection::passive_get() const { return atomic_read(&globals[FTP_PASSIVE].int_value) != 0; }

int FtpSection::timeout_get() const { return atomic_read(&globals[FTP_TIMEOUT].int_value); }

int FtpSection::sortorder_get() const { return atomic_read(&globals[FTP_SORTORDER].int_value); }

int FtpSection::sortfield_get() const { return atomic_read(&globals[FTP_SORTFIELD].int_value); }

void FtpSection::credentials_get(std::string *user, std::string *password) const {
  SectionReadLock guard(*this);
  if (user) *user = globals[FTP_USER].text;
  if (password) *password = globals[FTP_PASSWORD].text;
}
