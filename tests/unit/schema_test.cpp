// Checks conf/section.xml against the field tables of every section module, and
// conf/quillmoss.xml against conf/section.xml. The section code reads fields by position,
// so any drift of a position, a name or a type between a table and the schema is a fault.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "access.h"
#include "cache.h"
#include "clamav.h"
#include "cookies.h"
#include "dnsbl.h"
#include "forward.h"
#include "fprot.h"
#include "general.h"
#include "headerfilter.h"
#include "icap.h"
#include "kaspersky.h"
#include "keyword.h"
#include "ldap_profile.h"
#include "limit.h"
#include "mime.h"
#include "network.h"
#include "orvex.h"
#include "profiles.h"
#include "redirect.h"
#include "rewrite.h"
#include "sophie.h"
#include "templates.h"
#include "urlblacklist.h"
#include "urlfilter.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;
using Problems = std::vector<std::string>;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// Every section the program constructs, in construction order.
const SectionSpec *const ALL_SPECS[] = {
  &ACCESS_SPEC, &FILTER_SPEC, &CACHE_SPEC, &GENERAL_SPEC, &DNSBL_SPEC, &NETWORK_SPEC,
  &HDRFILTER_SPEC, &TEMPLATES_SPEC, &COOKIE_SPEC, &LDAP_SPEC, &REWRITE_SPEC, &ICAP_SPEC,
  &FPROT_SPEC, &KASPERSKY_SPEC, &SOPHIE_SPEC, &ORVEX_SPEC, &FTP_SPEC, &PROFILES_SPEC,
  &MIME_SPEC, &REDIRECT_SPEC, &KEYWORD_SPEC, &FORWARD_SPEC, &LIMITS_SPEC, &CLAMAV_SPEC,
  &URLBL_SPEC,
};
static_assert(std::size(ALL_SPECS) == 25);

// Schema words by type code; code 9 has no word.
const char *const TYPE_WORDS[] = {
  "INT", "UINT", "BOOL", "STRING", "STRING_SELECT_ONE", "STRING_SELECT_MANY", "STRING_LIST",
  "IP_RANGE_LIST", "PORT_RANGE_LIST", nullptr, "STRING_RANGE", "INT_RANGE", "FILE_SIZE",
  "MULTILINE_STRING", "LONG_FILE_SIZE", "DOUBLE",
};

std::string source_dir() {
  if (const char *env = std::getenv("QM_SOURCE_DIR"); env != nullptr && *env != '\0') return env;
  return QM_SOURCE_DIR;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string text_of(const XMLElement *e) {
  const char *t = e != nullptr ? e->GetText() : nullptr;
  return t != nullptr ? t : "";
}

bool has_text(const XMLElement *e) { return !text_of(e).empty(); }

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::vector<std::string> split(const std::string &text, char sep) {
  // Same splitting as the configuration's string lists: '' gives none, 'a,b,' gives two.
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t pos = text.find(sep, start);
    if (pos == std::string::npos) {
      out.push_back(text.substr(start));
      break;
    }
    out.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
  return out;
}

// Value converters with the configuration's acceptance rules (whole text, nothing after).
bool parse_int(std::string_view t, long long lo, long long hi, long long *out = nullptr) {
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
  if (t.empty()) {
    if (out != nullptr) *out = 0;
    return true;
  }
  if (t.front() == '+') t.remove_prefix(1);
  long long v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size() || v < lo || v > hi) return false;
  if (out != nullptr) *out = v;
  return true;
}
bool is_int(const std::string &t) {
  return parse_int(t, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}
bool is_uint(const std::string &t) {
  return t.find('-') == std::string::npos && parse_int(t, 0, std::numeric_limits<uint32_t>::max());
}
bool is_double(const std::string &t) {
  if (t.empty()) return true;
  char *end = nullptr;
  std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size();
}
bool is_file_size(const std::string &t) {
  std::size_t i = 0;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
  if (i == 0) return false;
  std::size_t u = i;
  while (u < t.size() && std::isspace(static_cast<unsigned char>(t[u]))) ++u;
  const std::string unit = t.substr(u);
  for (const char *ok : {"", "k", "kb", "kbit", "m", "mb", "mbit", "g", "gb", "gbit"})
    if (iequals(unit, ok)) return true;
  return false;
}
bool is_address(std::string t) {
  while (!t.empty() && t.front() == ' ') t.erase(0, 1);
  const auto parts = split(t, '.');
  if (parts.size() != 4 || t.back() == '.') return false;
  for (const auto &p : parts) {
    if (!p.empty() && !parse_int(p, 0, 255)) return false;
    if (p.find_first_not_of("0123456789") != std::string::npos) return false;
  }
  return true;
}
bool is_ip_range_list(const std::string &t) {
  for (const auto &r : split(t, ',')) {
    const auto dash = r.find('-');
    if (dash == std::string::npos) {
      if (!r.empty() && !is_address(r)) return false;
      continue;
    }
    const std::string lo = r.substr(0, dash), hi = r.substr(dash + 1);
    if ((!lo.empty() && !is_address(lo)) || (!hi.empty() && !is_address(hi))) return false;
  }
  return true;
}
bool is_port(const std::string &t) {
  return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos &&
         parse_int(t, 1, 65535);
}
bool is_port_range_list(const std::string &t) {
  for (const auto &r : split(t, ',')) {
    const auto dash = r.find('-');
    if (dash == std::string::npos ? !is_port(r)
                                  : !is_port(r.substr(0, dash)) || !is_port(r.substr(dash + 1)))
      return false;
  }
  return true;
}

const XMLElement *section_element(const XMLElement *root, const char *name) {
  return root != nullptr ? root->FirstChildElement(name) : nullptr;
}

const XMLElement *template_of(const XMLElement *section, const XMLElement *subsection) {
  const XMLElement *templates = section->FirstChildElement("template");
  const std::string name = text_of(subsection->FirstChildElement("template"));
  return templates != nullptr && !name.empty() ? templates->FirstChildElement(name.c_str())
                                               : nullptr;
}

std::vector<const XMLElement *> children(const XMLElement *e) {
  std::vector<const XMLElement *> out;
  for (const XMLElement *c = e != nullptr ? e->FirstChildElement() : nullptr; c != nullptr;
       c = c->NextSiblingElement())
    out.push_back(c);
  return out;
}

// Compares one field list of the schema with the table the code reads it through.
void check_field_list(const XMLElement *list, std::span<const FieldSpec> spec,
                      const std::string &where, Problems &out) {
  const auto fields = children(list);
  if (fields.size() != spec.size())
    out.push_back(where + ": schema declares " + std::to_string(fields.size()) +
                  " fields, the code reads " + std::to_string(spec.size()));
  for (std::size_t k = 0; k < fields.size() && k < spec.size(); ++k) {
    const XMLElement *f = fields[k];
    const std::string at = where + " position " + std::to_string(k);
    if (std::string_view(f->Name()) != spec[k].name)
      out.push_back(at + ": schema name '" + f->Name() + "', code expects '" + spec[k].name + "'");
    const char *n = f->Attribute("n");
    if (n == nullptr || std::to_string(k) != n)
      out.push_back(at + ": attribute n is '" + (n != nullptr ? n : "(missing)") + "'");
    const std::string type = text_of(f->FirstChildElement("type"));
    const char *want = TYPE_WORDS[spec[k].type];
    if (want == nullptr || type != want)
      out.push_back(at + " (" + spec[k].name + "): schema type '" + type + "', code expects '" +
                    (want != nullptr ? want : "?") + "'");
  }
}

Problems check_section(const XMLElement *root, const SectionSpec &spec) {
  Problems out;
  const std::string name = spec.name;
  const XMLElement *sec = section_element(root, spec.name);
  if (sec == nullptr) return {name + ": no element in the schema"};
  check_field_list(sec->FirstChildElement("global"), spec.global, name + " global", out);
  const auto subs = children(sec->FirstChildElement("subsection"));
  if (subs.size() != spec.subsections.size())
    out.push_back(name + ": schema declares " + std::to_string(subs.size()) +
                  " subsections, the code reads " + std::to_string(spec.subsections.size()));
  for (std::size_t s = 0; s < subs.size() && s < spec.subsections.size(); ++s) {
    const SubsectionSpec &want = spec.subsections[s];
    const std::string where = name + " subsection " + std::to_string(s);
    if (std::string_view(subs[s]->Name()) != want.name)
      out.push_back(where + ": schema name '" + subs[s]->Name() + "', code expects '" +
                    want.name + "'");
    const XMLElement *tmpl = template_of(sec, subs[s]);
    if (tmpl == nullptr) {
      out.push_back(where + ": its template is not declared");
      continue;
    }
    check_field_list(tmpl, want.fields, where + " (" + want.name + ")", out);
  }
  return out;
}

// The parts of the schema whose absence or malformation stops the proxy at start-up.
void check_field_content(const XMLElement *section, const XMLElement *f, const std::string &at,
                         Problems &out) {
  for (const char *required : {"comment", "value", "type", "desc"})
    if (f->FirstChildElement(required) == nullptr)
      out.push_back(at + ": no " + required + " element");
  if (!has_text(f->FirstChildElement("comment"))) out.push_back(at + ": empty label");
  for (const char *flag : {"optional", "enabled"}) {
    const XMLElement *e = f->FirstChildElement(flag);
    if (e != nullptr && !has_text(e)) out.push_back(at + ": " + flag + " without text");
  }
  const std::string type = text_of(f->FirstChildElement("type"));
  const std::string value = text_of(f->FirstChildElement("value"));
  bool ok = true;
  if (type == "STRING_SELECT_ONE" || type == "STRING_SELECT_MANY" || type == "STRING_RANGE") {
    const XMLElement *select = section->FirstChildElement("select");
    const XMLElement *list =
        select != nullptr && !value.empty() ? select->FirstChildElement(value.c_str()) : nullptr;
    if (list == nullptr || list->FirstChildElement() == nullptr)
      out.push_back(at + ": option list '" + value + "' is missing or empty");
  } else if (type == "INT_RANGE") {
    const auto bounds = split(value, ',');
    long long lo = 0, hi = 0;
    ok = bounds.size() == 2 && !bounds[0].empty() && !bounds[1].empty() &&
         parse_int(bounds[0], INT32_MIN, INT32_MAX, &lo) &&
         parse_int(bounds[1], INT32_MIN, INT32_MAX, &hi) && lo <= hi;
  } else if (type == "BOOL") {
    ok = iequals(value, "true") || iequals(value, "false");
  } else if (type == "INT") {
    ok = is_int(value);
  } else if (type == "UINT") {
    ok = is_uint(value);
  } else if (type == "FILE_SIZE" || type == "LONG_FILE_SIZE") {
    ok = is_file_size(value);
  } else if (type == "DOUBLE") {
    ok = is_double(value);
  } else if (type == "IP_RANGE_LIST") {
    ok = is_ip_range_list(value);
  } else if (type == "PORT_RANGE_LIST") {
    ok = is_port_range_list(value);
  } else if (type != "STRING" && type != "STRING_LIST" && type != "MULTILINE_STRING") {
    out.push_back(at + ": unknown type '" + type + "'");
  }
  if (!ok) out.push_back(at + ": default '" + value + "' is not a valid " + type);
}

Problems check_schema_content(const XMLElement *root) {
  Problems out;
  for (const XMLElement *sec : children(root)) {
    const std::string name = sec->Name();
    if (!has_text(sec->FirstChildElement("comment")) || !has_text(sec->FirstChildElement("desc")))
      out.push_back(name + ": section needs a comment and a desc with text");
    if (sec->FirstChildElement("global") == nullptr) out.push_back(name + ": no global element");
    for (const XMLElement *list : children(sec->FirstChildElement("select")))
      for (const XMLElement *opt : children(list)) {
        const std::string at = name + " option " + list->Name() + "/" + opt->Name();
        if (!has_text(opt->FirstChildElement("comment"))) out.push_back(at + ": no label");
        const XMLElement *v = opt->FirstChildElement("value");
        if (v != nullptr && !has_text(v)) out.push_back(at + ": value without text");
      }
    for (const XMLElement *f : children(sec->FirstChildElement("global")))
      check_field_content(sec, f, name + " global " + f->Name(), out);
    for (const XMLElement *tmpl : children(sec->FirstChildElement("template")))
      for (const XMLElement *f : children(tmpl))
        check_field_content(sec, f, name + " template " + tmpl->Name() + "/" + f->Name(), out);
    for (const XMLElement *sub : children(sec->FirstChildElement("subsection")))
      for (const char *required : {"comment", "template", "desc"})
        if (!has_text(sub->FirstChildElement(required)))
          out.push_back(name + " subsection " + sub->Name() + ": no " + required + " text");
  }
  return out;
}

// One field element of a configuration document, checked as the loader parses it.
void check_value(const XMLElement *schema_section, const XMLElement *field,
                 const XMLElement *value, const std::string &at, Problems &out) {
  const bool optional = iequals(text_of(field->FirstChildElement("optional")), "true");
  if (value == nullptr) {
    out.push_back(at + ": missing");
    return;
  }
  if (optional) {
    const char *active = value->Attribute("active");
    if (active != nullptr && !iequals(active, "true") && !iequals(active, "false"))
      out.push_back(at + ": active is '" + active + "'");
    if (active != nullptr && iequals(active, "false")) return;
  }
  const std::string type = text_of(field->FirstChildElement("type"));
  const std::string text = text_of(value);
  std::vector<std::string> options;
  if (const XMLElement *select = schema_section->FirstChildElement("select")) {
    const std::string list = text_of(field->FirstChildElement("value"));
    for (const XMLElement *o : children(select->FirstChildElement(list.c_str())))
      options.push_back(o->Name());
  }
  auto is_option = [&](const std::string &s, bool ignore_case) {
    for (const auto &o : options)
      if (ignore_case ? iequals(o, s) : o == s) return true;
    return false;
  };
  bool ok = true;
  if (type == "BOOL") {
    ok = text == "true" || text == "TRUE" || text == "false" || text == "FALSE";
  } else if (type == "INT") {
    ok = is_int(text);
  } else if (type == "UINT") {
    ok = is_uint(text);
  } else if (type == "FILE_SIZE" || type == "LONG_FILE_SIZE") {
    ok = is_file_size(text);
  } else if (type == "DOUBLE") {
    ok = is_double(text);
  } else if (type == "IP_RANGE_LIST") {
    ok = is_ip_range_list(text);
  } else if (type == "PORT_RANGE_LIST") {
    ok = is_port_range_list(text);
  } else if (type == "STRING_SELECT_ONE") {
    ok = is_option(text, false);
  } else if (type == "STRING_SELECT_MANY") {
    for (const auto &s : split(text, ',')) ok = ok && is_option(s, false);
  } else if (type == "STRING_RANGE") {
    const auto pair = split(text, ',');
    ok = pair.size() == 2 && is_option(pair[0], true) && is_option(pair[1], true);
  } else if (type == "INT_RANGE") {
    const auto bounds = split(text_of(field->FirstChildElement("value")), ',');
    const auto pair = split(text, ',');
    long long lo = 0, hi = 0, a = 0, b = 0;
    ok = bounds.size() == 2 && pair.size() == 2 && parse_int(bounds[0], INT32_MIN, INT32_MAX, &lo) &&
         parse_int(bounds[1], INT32_MIN, INT32_MAX, &hi) && parse_int(pair[0], lo, hi, &a) &&
         parse_int(pair[1], lo, hi, &b);
  }
  if (!ok) out.push_back(at + ": '" + text + "' is not a valid " + type);
}

// Every child element of `element` must be a field of `fields` or, for a section element,
// one of its subsections; every field must be present exactly once.
void check_fields_present(const XMLElement *schema_section, const XMLElement *fields,
                          const XMLElement *element, const std::set<std::string> &subsections,
                          const std::string &where, Problems &out) {
  std::map<std::string, int> seen;
  for (const XMLElement *c : children(element)) {
    const std::string n = c->Name();
    if (subsections.count(n) != 0) continue;
    if (fields == nullptr || fields->FirstChildElement(n.c_str()) == nullptr)
      out.push_back(where + ": '" + n + "' is not declared by the schema");
    else if (++seen[n] == 2)
      out.push_back(where + ": '" + n + "' occurs more than once");
  }
  for (const XMLElement *f : children(fields))
    check_value(schema_section, f, element->FirstChildElement(f->Name()),
                where + " " + f->Name(), out);
}

Problems check_document(const XMLElement *schema_root, const XMLDocument &doc) {
  const XMLElement *root = doc.RootElement();
  if (root == nullptr || std::string_view(root->Name()) != "quillmoss")
    return {"the document root is not quillmoss"};
  Problems out;
  std::set<std::string> sections_seen;
  for (const XMLElement *sec : children(root)) {
    const std::string name = sec->Name();
    const XMLElement *schema_sec = section_element(schema_root, name.c_str());
    if (schema_sec == nullptr) {
      out.push_back("'" + name + "' is not a section of the schema");
      continue;
    }
    if (!sections_seen.insert(name).second) out.push_back(name + ": section occurs twice");
    std::set<std::string> subnames;
    for (const XMLElement *sub : children(schema_sec->FirstChildElement("subsection")))
      subnames.insert(sub->Name());
    check_fields_present(schema_sec, schema_sec->FirstChildElement("global"), sec, subnames,
                         name, out);
    for (const XMLElement *sub : children(schema_sec->FirstChildElement("subsection"))) {
      const XMLElement *tmpl = template_of(schema_sec, sub);
      int k = 0;
      for (const XMLElement *item = sec->FirstChildElement(sub->Name()); item != nullptr;
           item = item->NextSiblingElement(sub->Name()), ++k)
        check_fields_present(schema_sec, tmpl, item, {},
                             name + " " + sub->Name() + " item " + std::to_string(k), out);
    }
  }
  return out;
}

class SchemaFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    schema_text_ = read_file(source_dir() + "/conf/section.xml");
    document_text_ = read_file(source_dir() + "/conf/quillmoss.xml");
  }

  // A fresh parse for every use, so that a test may change its copy.
  static void parse(const std::string &text, XMLDocument &doc) {
    ASSERT_EQ(doc.Parse(text.c_str(), text.size()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
  }
  static const XMLElement *schema_root(const XMLDocument &doc) {
    const XMLElement *root = doc.RootElement();
    return root != nullptr && std::string_view(root->Name()) == "section" ? root : nullptr;
  }

  inline static std::string schema_text_;
  inline static std::string document_text_;
};

TEST_F(SchemaFile, DeclaresEverySectionTableExactly) {
  XMLDocument doc;
  ASSERT_NO_FATAL_FAILURE(parse(schema_text_, doc));
  const XMLElement *root = schema_root(doc);
  ASSERT_NE(root, nullptr) << "the schema root must be 'section'";
  for (const SectionSpec *spec : ALL_SPECS) {
    SCOPED_TRACE(spec->name);
    EXPECT_THAT(check_section(root, *spec), IsEmpty());
  }
}

TEST_F(SchemaFile, HoldsOnlyTheConstructedSectionsOnce) {
  XMLDocument doc;
  ASSERT_NO_FATAL_FAILURE(parse(schema_text_, doc));
  std::multiset<std::string> declared;
  for (const XMLElement *sec : children(schema_root(doc))) declared.insert(sec->Name());
  std::multiset<std::string> expected;
  for (const SectionSpec *spec : ALL_SPECS) expected.insert(spec->name);
  EXPECT_EQ(declared, expected);
}

TEST_F(SchemaFile, HasEveryPartTheStartUpRequires) {
  XMLDocument doc;
  ASSERT_NO_FATAL_FAILURE(parse(schema_text_, doc));
  ASSERT_NE(schema_root(doc), nullptr);
  EXPECT_THAT(check_schema_content(schema_root(doc)), IsEmpty());
}

// Option lists whose order the code reads as indexes or bits: one option too many or too
// few shifts every later bit.
TEST_F(SchemaFile, OptionListsHoldTheBitsTheCodeReads) {
  struct Case { const char *section; const char *list_holder; const char *field; size_t count; };
  const Case cases[] = {
    {"access", "rule", "access", 7},         {"access", "rule", "bypass", 14},
    {"cache", nullptr, "storepolicy", 2},    {"ftp", nullptr, "sortorder", 2},
    {"ftp", nullptr, "sortfield", 4},        {"header-filtering", "header", "direction", 2},
    {"cookies-filtering", "cookie", "direction", 3}, {"rewrite", "rewrite", "applyto", 4},
    {"icap", "icap", "mode", 2},             {"fprot", "fprot", "options", 6},
    {"redirect", "redirect", "urlcoding", 3}, {"redirect", "redirect", "stage", 3},
    {"forward", "forward", "icp", 3},        {"forward", "forward", "type", 4},
    {"forward", "forward", "protocols", 3},  {"limits", "limits", "flags", 3},
  };
  XMLDocument doc;
  ASSERT_NO_FATAL_FAILURE(parse(schema_text_, doc));
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.section) + " " + c.field);
    const XMLElement *sec = section_element(schema_root(doc), c.section);
    ASSERT_NE(sec, nullptr);
    const XMLElement *templates = sec->FirstChildElement("template");
    const XMLElement *holder = c.list_holder == nullptr ? sec->FirstChildElement("global")
        : templates != nullptr ? templates->FirstChildElement(c.list_holder) : nullptr;
    ASSERT_NE(holder, nullptr);
    const XMLElement *field = holder->FirstChildElement(c.field);
    ASSERT_NE(field, nullptr);
    const std::string list = text_of(field->FirstChildElement("value"));
    const XMLElement *select = sec->FirstChildElement("select");
    ASSERT_NE(select, nullptr);
    const XMLElement *options = select->FirstChildElement(list.c_str());
    EXPECT_EQ(children(options).size(), c.count) << "option list " << list;
  }
}

// The comparison must notice each kind of drift; each case changes one thing in a copy.
TEST_F(SchemaFile, ComparisonCatchesDrift) {
  struct Case {
    const char *what;
    const SectionSpec *spec;
    std::function<void(XMLElement *section)> change;
    const char *expected;
  };
  const Case cases[] = {
    {"two fields swapped", &NETWORK_SPEC,
     [](XMLElement *sec) {
       XMLElement *listen = sec->FirstChildElement("template")->FirstChildElement("listen");
       XMLElement *port = listen->FirstChildElement("port");
       XMLElement *address = listen->FirstChildElement("address");
       port->SetAttribute("n", 3);
       address->SetAttribute("n", 2);
       listen->InsertAfterChild(address, port);
     },
     "position 2: schema name 'address', code expects 'port'"},
    {"field renamed", &FILTER_SPEC,
     [](XMLElement *sec) {
       sec->FirstChildElement("global")->FirstChildElement("defaultdeny")->SetName("default_deny");
     },
     "schema name 'default_deny', code expects 'defaultdeny'"},
    {"type changed", &CACHE_SPEC,
     [](XMLElement *sec) {
       sec->FirstChildElement("global")->FirstChildElement("memorysize")
           ->FirstChildElement("type")->SetText("UINT");
     },
     "schema type 'UINT', code expects 'FILE_SIZE'"},
    {"field dropped", &PROFILES_SPEC,
     [](XMLElement *sec) {
       XMLElement *t = sec->FirstChildElement("template")->FirstChildElement("profile");
       t->DeleteChild(t->LastChildElement());
     },
     "schema declares 21 fields, the code reads 22"},
    {"subsections swapped", &COOKIE_SPEC,
     [](XMLElement *sec) {
       XMLElement *subs = sec->FirstChildElement("subsection");
       subs->InsertEndChild(subs->FirstChildElement("allow"));
     },
     "subsection 0: schema name 'deny', code expects 'allow'"},
    {"position attribute out of sequence", &ACCESS_SPEC,
     [](XMLElement *sec) {
       sec->FirstChildElement("global")->FirstChildElement("ntlm")->SetAttribute("n", 0);
     },
     "attribute n is '0'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    XMLDocument doc;
    ASSERT_NO_FATAL_FAILURE(parse(schema_text_, doc));
    XMLElement *root = doc.RootElement();
    ASSERT_THAT(check_section(root, *c.spec), IsEmpty());
    c.change(root->FirstChildElement(c.spec->name));
    EXPECT_THAT(check_section(root, *c.spec), ::testing::Contains(HasSubstr(c.expected)));
  }
}

TEST_F(SchemaFile, SampleConfigurationIsValid) {
  XMLDocument schema, doc;
  ASSERT_NO_FATAL_FAILURE(parse(schema_text_, schema));
  ASSERT_NO_FATAL_FAILURE(parse(document_text_, doc));
  EXPECT_THAT(check_document(schema_root(schema), doc), IsEmpty());
}

// The sample's commented-out example rules, uncommented: each comment that holds markup
// becomes the markup after its first line. Returns how many were uncommented.
int uncomment_examples(std::string &text) {
  int count = 0;
  std::size_t pos = 0;
  while ((pos = text.find("<!--", pos)) != std::string::npos) {
    const std::size_t end = text.find("-->", pos);
    if (end == std::string::npos) break;
    const std::string body = text.substr(pos + 4, end - pos - 4);
    const std::size_t newline = body.find('\n');
    if (body.find('<') == std::string::npos || newline == std::string::npos) {
      pos = end + 3;
      continue;
    }
    const std::string markup = body.substr(newline + 1);
    text.replace(pos, end + 3 - pos, markup);
    pos += markup.size();
    ++count;
  }
  return count;
}

TEST_F(SchemaFile, SampleExamplesAreValidOnceUncommented) {
  std::string text = document_text_;
  ASSERT_GT(uncomment_examples(text), 0);
  XMLDocument schema, doc;
  ASSERT_NO_FATAL_FAILURE(parse(schema_text_, schema));
  ASSERT_NO_FATAL_FAILURE(parse(text, doc));
  EXPECT_THAT(check_document(schema_root(schema), doc), IsEmpty());
}

TEST_F(SchemaFile, SampleConfigurationListensOnLoopback8080) {
  XMLDocument doc;
  ASSERT_NO_FATAL_FAILURE(parse(document_text_, doc));
  const XMLElement *network = doc.RootElement()->FirstChildElement("network");
  ASSERT_NE(network, nullptr);
  std::vector<std::string> listening;
  for (const XMLElement *l = network->FirstChildElement("listen"); l != nullptr;
       l = l->NextSiblingElement("listen"))
    if (text_of(l->FirstChildElement("enabled")) == "true")
      listening.push_back(text_of(l->FirstChildElement("address")) + ":" +
                          text_of(l->FirstChildElement("port")));
  EXPECT_EQ(listening, std::vector<std::string>{"127.0.0.1:8080"});
}

// The document check itself must refuse what the loader would refuse or ignore.
TEST_F(SchemaFile, DocumentCheckCatchesBadDocuments) {
  struct Case { const char *what; const char *document; const char *expected; };
  const Case cases[] = {
    {"unknown section", "<quillmoss><nosuchsection/></quillmoss>", "'nosuchsection' is not a section"},
    {"unknown field",
     "<quillmoss><dnsbl><enabled>false</enabled><template/><zone/><answers/><zones/></dnsbl>"
     "</quillmoss>",
     "'zones' is not declared"},
    {"BOOL in the wrong case",
     "<quillmoss><dnsbl><enabled>True</enabled><template/><zone/><answers/></dnsbl></quillmoss>",
     "'True' is not a valid BOOL"},
    {"missing field",
     "<quillmoss><dnsbl><enabled>false</enabled><template/><zone/></dnsbl></quillmoss>",
     "dnsbl answers: missing"},
    {"bad item value",
     "<quillmoss><network><listen><enabled>true</enabled><comment/><port>80x</port>"
     "<address/></listen></network></quillmoss>",
     "network listen item 0 port: '80x' is not a valid INT"},
    {"range outside its bounds",
     "<quillmoss><limits><enabled>true</enabled><limits><enabled>true</enabled><comment/>"
     "<groups/><profiles/><block>false</block><template/><month active=\"false\"/>"
     "<day active=\"false\"/><weekday/><hour active=\"true\">9,24</hour>"
     "<minute active=\"false\"/><download>0</download><upload>0</upload><requests>0</requests>"
     "<rate>0</rate><timeall>false</timeall><flags/></limits></limits></quillmoss>",
     "hour: '9,24' is not a valid INT_RANGE"},
    {"wrong root", "<config/>", "root is not quillmoss"},
  };
  XMLDocument schema;
  ASSERT_NO_FATAL_FAILURE(parse(schema_text_, schema));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    XMLDocument doc;
    ASSERT_NO_FATAL_FAILURE(parse(c.document, doc));
    EXPECT_THAT(check_document(schema_root(schema), doc),
                ::testing::Contains(HasSubstr(c.expected)));
  }
}

TEST(SchemaValueRules, ConvertersAcceptWhatTheLoaderAccepts) {
  struct Case { std::function<bool(const std::string &)> check; const char *text; bool ok; };
  const Case cases[] = {
    {is_int, "", true},           {is_int, "-5", true},        {is_int, "12abc", false},
    {is_uint, " 5", true},        {is_uint, "-1", false},      {is_file_size, "10 kbit", true},
    {is_file_size, "1G", true},   {is_file_size, "", false},   {is_file_size, "k", false},
    {is_file_size, "5 tb", false}, {is_ip_range_list, "", true}, {is_ip_range_list, "-", true},
    {is_ip_range_list, "10.0.0.0-", true}, {is_ip_range_list, "10.0.0", false},
    {is_ip_range_list, "10.0.0.256", false}, {is_port_range_list, "", true},
    {is_port_range_list, "0", false}, {is_port_range_list, "65536", false},
    {is_port_range_list, "90-80", true}, {is_port_range_list, "443,8000-8080", true},
  };
  for (const Case &c : cases) EXPECT_EQ(c.check(c.text), c.ok) << "'" << c.text << "'";
}

}  // namespace
