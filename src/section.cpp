#include "section.h"

#include <tinyxml2.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <strings.h>

#include "log.h"
#include "xml.h"

using tinyxml2::XMLElement;

namespace {

constexpr const char *MODULE = "src/section";
constexpr std::size_t INT_RANGE_NATURE_MAX = 100;
constexpr int SELECT_MANY_BITS = 32;  // options past this get no bit in int_value

const char *const TYPE_NAMES[FT_COUNT] = {
    "INT",         "UINT",          "BOOL",          "STRING",
    "STRING_SELECT_ONE", "STRING_SELECT_MANY", "STRING_LIST", "IP_RANGE_LIST",
    "PORT_RANGE_LIST", nullptr,     "STRING_RANGE",  "INT_RANGE",
    "FILE_SIZE",   "MULTILINE_STRING", "LONG_FILE_SIZE", "DOUBLE",
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view skip_spaces(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  return text.substr(i);
}

bool equals_ci(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The whole of `digits` as an unsigned decimal number no greater than `limit`.
bool parse_decimal(std::string_view digits, std::uint64_t limit, std::uint64_t *value) {
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') return false;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (ec != std::errc() || end != digits.data() + digits.size() || v > limit) return false;
  *value = v;
  return true;
}

template <typename T>
T parse_filesize(std::string_view text) {
  std::string_view rest = skip_spaces(text);
  std::size_t n = 0;
  while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
  std::uint64_t number;
  if (!parse_decimal(rest.substr(0, n), std::numeric_limits<T>::max(), &number))
    throw ConfigError();
  std::string_view unit = skip_spaces(rest.substr(n));
  std::uint64_t multiplier;
  if (unit.empty()) multiplier = 1;
  else if (equals_ci(unit, "k") || equals_ci(unit, "kb") || equals_ci(unit, "kbit"))
    multiplier = 1024;
  else if (equals_ci(unit, "m") || equals_ci(unit, "mb") || equals_ci(unit, "mbit"))
    multiplier = 1048576;
  else if (equals_ci(unit, "g") || equals_ci(unit, "gb") || equals_ci(unit, "gbit"))
    multiplier = 1073741824;
  else
    throw ConfigError();
  if (number > std::numeric_limits<T>::max() / multiplier) throw ConfigError();
  return static_cast<T>(number * multiplier);
}

[[noreturn]] void schema_fatal(int line, const char *function, const std::string &where,
                               const std::string &problem) {
  putlog(LOG_ERROR, "Error in section.xml, %s: %s", where.c_str(), problem.c_str());
  fatal_assertion(MODULE, line, function);
}

// Text of a required child element with text.
std::string required_text(const XMLElement *parent, const char *child, const std::string &where,
                          const char *function) {
  const XMLElement *e = parent->FirstChildElement(child);
  if (!e) schema_fatal(__LINE__, function, where, std::string("missing element ") + child);
  const char *t = e->GetText();
  if (!t) schema_fatal(__LINE__, function, where, std::string("element ") + child + " has no text");
  return t;
}

// Text of a required child element whose text may be empty.
std::string required_element(const XMLElement *parent, const char *child,
                             const std::string &where, const char *function) {
  const XMLElement *e = parent->FirstChildElement(child);
  if (!e) schema_fatal(__LINE__, function, where, std::string("missing element ") + child);
  const char *t = e->GetText();
  return t ? t : "";
}

// Text of an optional child element that must have text when present.
bool optional_text(const XMLElement *parent, const char *child, const std::string &where,
                   const char *function, std::string *text) {
  const XMLElement *e = parent->FirstChildElement(child);
  if (!e) return false;
  const char *t = e->GetText();
  if (!t) schema_fatal(__LINE__, function, where, std::string("element ") + child + " has no text");
  *text = t;
  return true;
}

using OptionLists = std::map<std::string, StringSelectVector>;

// A field list of the schema (the children of `global` or of one template).
FieldVector parse(const XMLElement *list, const OptionLists &selects, const std::string &where) {
  FieldVector fields;
  int k = 0;
  for (const XMLElement *e = list->FirstChildElement(); e; e = e->NextSiblingElement(), ++k) {
    std::string name = e->Name();
    std::string at = where + ", field " + std::to_string(k) + " " + name;
    const char *n = e->Attribute("n");
    if (!n) schema_fatal(__LINE__, "parse", at, "missing attribute n");
    bool in_sequence = false;
    try {
      in_sequence = string_to_int(n) == k;
    } catch (const ConfigError &) {
    }
    if (!in_sequence)
      schema_fatal(__LINE__, "parse", at, std::string("attribute n is ") + n + ", not in sequence");
    std::string comment = required_text(e, "comment", at, "parse");
    std::string value = required_element(e, "value", at, "parse");
    std::string type_word = required_text(e, "type", at, "parse");
    std::string desc = required_element(e, "desc", at, "parse");
    std::string flag;
    bool optional = optional_text(e, "optional", at, "parse", &flag) && equals_ci(flag, "true");
    bool enabled = !optional_text(e, "enabled", at, "parse", &flag) || equals_ci(flag, "true");
    FieldType type = type_get(type_word);
    if (type == FT_STRING_SELECT_ONE || type == FT_STRING_SELECT_MANY || type == FT_STRING_RANGE) {
      auto it = selects.find(value);
      fields.emplace_back(enabled, name, comment, desc,
                          it == selects.end() ? StringSelectVector() : it->second, type, optional);
    } else {
      try {
        fields.emplace_back(enabled, name, comment, desc, value, type, optional);
      } catch (const ConfigError &) {
        schema_fatal(__LINE__, "parse", at,
                     "default value \"" + value + "\" does not convert to " + type_word);
      }
    }
  }
  return fields;
}

OptionLists parse_selects(const XMLElement *select, const std::string &where) {
  OptionLists lists;
  if (!select) return lists;
  for (const XMLElement *list = select->FirstChildElement(); list;
       list = list->NextSiblingElement()) {
    StringSelectVector options;
    for (const XMLElement *o = list->FirstChildElement(); o; o = o->NextSiblingElement()) {
      std::string at = where + ", option list " + list->Name() + ", option " + o->Name();
      StringSelect option;
      option.name = o->Name();
      if (!optional_text(o, "comment", at, "Section", &option.comment)) option.comment = option.name;
      std::string value;
      option.selected = optional_text(o, "value", at, "Section", &value) && equals_ci(value, "true");
      if (const XMLElement *d = o->FirstChildElement("desc"); d && d->GetText())
        option.desc = d->GetText();
      options.push_back(std::move(option));
    }
    lists[list->Name()] = std::move(options);
  }
  return lists;
}

void check_fields(const std::string &section, const std::string &where, const FieldVector &fields,
                  std::span<const FieldSpec> expected, int line) {
  if (fields.size() != expected.size()) {
    putlog(LOG_ERROR, "Error in section.xml, section %s: %s declares %zu fields, the program reads %zu",
           section.c_str(), where.c_str(), fields.size(), expected.size());
    fatal_assertion(MODULE, line, "Section");
  }
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const Field &f = fields[k];
    if (f.name != expected[k].name || f.type != expected[k].type) {
      const char *have = field_type_name(f.type), *want = field_type_name(expected[k].type);
      putlog(LOG_ERROR,
             "Error in section.xml, section %s: %s field %zu is %s of type %s, the program reads "
             "%s of type %s",
             section.c_str(), where.c_str(), k, f.name.c_str(), have ? have : "?",
             expected[k].name, want ? want : "?");
      fatal_assertion(MODULE, line, "Section");
    }
  }
}

}  // namespace

// ---- types ---------------------------------------------------------------------------

const char *field_type_name(int type) {
  return type >= 0 && type < FT_COUNT ? TYPE_NAMES[type] : nullptr;
}

bool field_type_from_name(std::string_view word, FieldType *type) {
  for (int t = 0; t < FT_COUNT; ++t) {
    if (TYPE_NAMES[t] && word == TYPE_NAMES[t]) {
      *type = static_cast<FieldType>(t);
      return true;
    }
  }
  return false;
}

FieldType type_get(const std::string &word) {
  FieldType type;
  if (!field_type_from_name(word, &type)) {
    putlog(LOG_ERROR, "Error in section.xml: unknown field type %s", word.c_str());
    fatal_assertion(MODULE, __LINE__, "type_get");
  }
  return type;
}

// ---- converters ----------------------------------------------------------------------

int string_to_int(std::string_view text) {
  if (text.empty()) return 0;
  std::string_view rest = skip_spaces(text);
  bool negative = false;
  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  std::uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
  std::uint64_t magnitude;
  if (!parse_decimal(rest, limit, &magnitude)) throw ConfigError();
  std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude)
                                : static_cast<std::int64_t>(magnitude);
  return static_cast<int>(value);
}

unsigned string_to_uint(std::string_view text) {
  if (text.empty()) return 0;
  std::string_view rest = skip_spaces(text);
  if (!rest.empty() && rest.front() == '+') rest.remove_prefix(1);
  std::uint64_t value;
  if (!parse_decimal(rest, std::numeric_limits<unsigned>::max(), &value)) throw ConfigError();
  return static_cast<unsigned>(value);
}

double string_to_double(std::string_view text) {
  if (text.empty()) return 0;
  std::string_view rest = skip_spaces(text);
  if (!rest.empty() && rest.front() == '+') {
    rest.remove_prefix(1);
    if (!rest.empty() && rest.front() == '-') throw ConfigError();
  }
  double value = 0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (rest.empty() || ec != std::errc() || end != rest.data() + rest.size() || !std::isfinite(value))
    throw ConfigError();
  return value;
}

std::uint32_t string_to_filesize(std::string_view text) {
  return parse_filesize<std::uint32_t>(text);
}

std::uint64_t string_to_longfilesize(std::string_view text) {
  return parse_filesize<std::uint64_t>(text);
}

std::uint32_t address_to_int(std::string_view text) {
  std::string_view rest = skip_spaces(text);
  std::uint32_t address = 0;
  int parts = 0;
  while (true) {
    std::size_t dot = rest.find('.');
    std::string_view part = rest.substr(0, dot);
    std::uint64_t value = 0;
    if (!part.empty() && !parse_decimal(part, 255, &value)) throw ConfigError();
    address = address * 256 + static_cast<std::uint32_t>(value);
    if (++parts > 4) throw ConfigError();
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  if (parts != 4) throw ConfigError();
  return address;
}

// ---- value types ---------------------------------------------------------------------

void StringList::parse(std::string_view text, char separator) {
  clear();
  while (!text.empty()) {
    std::size_t at = text.find(separator);
    if (at == std::string_view::npos) {
      emplace_back(text);
      break;
    }
    emplace_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
}

bool StringList::has(std::string_view s) const {
  if (s.empty()) return false;
  for (const std::string &e : *this)
    if (e == s) return true;
  return false;
}

std::string StringList::join(char separator) const {
  std::string out;
  for (std::size_t i = 0; i < size(); ++i) {
    if (i) out.push_back(separator);
    out += (*this)[i];
  }
  return out;
}

Couple::Couple(std::string_view text) {
  parse(text, ',');
  if (size() != 2) throw ConfigError();
}

void StringSelectVector::reset() {
  for (StringSelect &o : *this) o.selected = false;
}

int StringSelectVector::case_indexof(std::string_view name) const {
  for (std::size_t i = 0; i < size(); ++i)
    if (equals_ci((*this)[i].name, name)) return static_cast<int>(i);
  throw ConfigError();
}

int StringSelectVector::indexof(std::string_view name) const {
  for (std::size_t i = 0; i < size(); ++i)
    if ((*this)[i].name == name) return static_cast<int>(i);
  return -1;
}

IpRange::IpRange(std::string_view element) {
  std::size_t dash = element.find('-');
  if (dash == std::string_view::npos) {
    if (element.empty()) {
      low_text = "0.0.0.0";
      high_text = "255.255.255.255";
    } else {
      low_text = high_text = element;
    }
  } else {
    low_text = element.substr(0, dash);
    high_text = element.substr(dash + 1);
    if (low_text.empty()) low_text = "0.0.0.0";
    if (high_text.empty()) high_text = "255.255.255.255";
  }
  low = address_to_int(low_text);
  high = address_to_int(high_text);
}

bool IpRange::has(std::string_view address_text) const {
  try {
    return has(address_to_int(address_text));
  } catch (const ConfigError &) {
    return false;
  }
}

IpRangeList::IpRangeList(std::string_view text) : text_(text) {
  for (const std::string &element : StringList(text, ',')) ranges_.emplace_back(element);
}

bool IpRangeList::has(std::uint32_t address) const {
  if (ranges_.empty()) return true;
  for (const IpRange &r : ranges_)
    if (r.has(address)) return true;
  return false;
}

bool IpRangeList::has(std::string_view address_text) const {
  if (ranges_.empty()) return true;
  try {
    return has(address_to_int(address_text));
  } catch (const ConfigError &) {
    return false;
  }
}

namespace {
int port_number(std::string_view text) {
  std::uint64_t value;
  if (!parse_decimal(text, 65535, &value) || value == 0) throw ConfigError();
  return static_cast<int>(value);
}
}  // namespace

PortRange::PortRange(std::string_view element) {
  std::size_t dash = element.find('-');
  if (dash == std::string_view::npos) {
    low = high = port_number(element);
  } else {
    low = port_number(element.substr(0, dash));
    high = port_number(element.substr(dash + 1));
  }
}

PortRangeList::PortRangeList(std::string_view text) {
  for (const std::string &element : StringList(text, ',')) ranges_.emplace_back(element);
}

bool PortRangeList::has(int port) const {
  if (ranges_.empty()) return true;
  for (const PortRange &r : ranges_)
    if (r.has(port)) return true;
  return false;
}

bool profile_find(const StringList &connection_profiles, const StringList &rule_profiles) {
  if (rule_profiles.empty()) return true;
  if (connection_profiles.empty()) return false;
  bool negated_seen = false;
  for (const std::string &entry : rule_profiles) {
    bool negated = !entry.empty() && entry.front() == '!';
    std::string_view name(entry);
    if (negated) {
      name.remove_prefix(1);
      negated_seen = true;
    }
    for (const std::string &p : connection_profiles)
      if (p == name) return !negated;
  }
  return negated_seen;
}

// ---- fields --------------------------------------------------------------------------

Field::Field(bool enabled_, std::string name_, std::string comment_, std::string desc_,
             const std::string &default_text, FieldType type_, bool optional_)
    : enabled(enabled_), name(std::move(name_)), type(type_), comment(std::move(comment_)),
      desc(std::move(desc_)), optional(optional_), text(default_text) {
  switch (type) {
    case FT_INT: int_value = string_to_int(text); break;
    case FT_UINT: uint_value = string_to_uint(text); break;
    case FT_BOOL: int_value = equals_ci(text, "true") ? 1 : 0; break;
    case FT_STRING:
    case FT_STRING_LIST:
    case FT_IP_RANGE_LIST:
    case FT_PORT_RANGE_LIST: width = 80; break;
    case FT_INT_RANGE: {
      Couple bounds(text);
      min = string_to_int(bounds.first());
      max = string_to_int(bounds.second());
      break;
    }
    case FT_FILE_SIZE: uint_value = string_to_filesize(text); break;
    case FT_LONG_FILE_SIZE: long_value = string_to_longfilesize(text); break;
    case FT_STRING_SELECT_ONE:
    case FT_STRING_SELECT_MANY:
    case FT_STRING_RANGE: width = 0; break;
    default: break;
  }
}

Field::Field(bool enabled_, std::string name_, std::string comment_, std::string desc_,
             const StringSelectVector &options_, FieldType type_, bool optional_)
    : enabled(enabled_), name(std::move(name_)), type(type_), comment(std::move(comment_)),
      desc(std::move(desc_)), width(0), optional(optional_), options(options_),
      options2(options_) {}

void Field::parse(const std::string &value) {
  text = value;
  switch (type) {
    case FT_INT: int_value = string_to_int(value); break;
    case FT_UINT: uint_value = string_to_uint(value); break;
    case FT_FILE_SIZE: uint_value = string_to_filesize(value); break;
    case FT_LONG_FILE_SIZE: long_value = string_to_longfilesize(value); break;
    case FT_DOUBLE: double_value = string_to_double(value); break;
    case FT_BOOL:
      if (value == "true" || value == "TRUE") int_value = 1;
      else if (value == "false" || value == "FALSE") int_value = 0;
      else throw ConfigError();
      break;
    case FT_STRING_SELECT_ONE: {
      int chosen = -1;
      for (std::size_t k = 0; k < options.size(); ++k) {
        options[k].selected = options[k].name == value;
        if (options[k].selected && chosen < 0) chosen = static_cast<int>(k);
      }
      if (chosen >= 0) int_value = chosen;
      break;
    }
    case FT_STRING_SELECT_MANY: {
      string_list.parse(value, ',');
      unsigned bits = 0;
      options.reset();
      for (std::size_t k = 0; k < options.size(); ++k) {
        if (!string_list.has(options[k].name)) continue;
        options[k].selected = true;
        if (k < SELECT_MANY_BITS) bits |= 1u << k;
      }
      int_value = static_cast<int>(bits);
      break;
    }
    case FT_STRING_LIST: string_list.parse(value, ','); break;
    case FT_IP_RANGE_LIST: ip_ranges = IpRangeList(value); break;
    case FT_PORT_RANGE_LIST: port_ranges = PortRangeList(value); break;
    case FT_STRING_RANGE: {
      Couple pair(value);
      int first = options.case_indexof(pair.first());
      int second = options2.case_indexof(pair.second());
      options.reset();
      options2.reset();
      options[first].selected = true;
      options2[second].selected = true;
      int_value = first;
      int_value2 = second;
      break;
    }
    case FT_INT_RANGE: {
      Couple pair(value);
      int first = string_to_int(pair.first());
      int second = string_to_int(pair.second());
      if (first < min || first > max || second < min || second > max) throw ConfigError();
      int_value = first;
      int_value2 = second;
      break;
    }
    default: break;  // STRING, MULTILINE_STRING: the text is the value
  }
}

FieldLoad Field::load(const XmlElement &element, std::string *error) {
  if (!enabled) return FieldLoad::SKIPPED;
  std::string value = element.string_read(name);
  if (optional) {
    bool on;
    try {
      on = element.check_active(name);
    } catch (const ConfigError &) {
      return FieldLoad::SKIPPED;
    }
    active = on;
    if (!on) {
      text = value;
      return FieldLoad::INACTIVE;
    }
  }
  try {
    parse(value);
  } catch (const ConfigError &) {
    if (error) *error = error_message(element);
    return FieldLoad::BAD;
  }
  return FieldLoad::LOADED;
}

void Field::load(const XmlElement &element) {
  if (load(element, nullptr) == FieldLoad::BAD) error_log(element);
}

std::string Field::error_message(const XmlElement &element) const {
  return "flawed XML file, section " + element.section_get() + ", element " +
         element.element_get() + ": " + name + " must be " + nature() +
         ", but it is given value " + text;
}

void Field::error_log(const XmlElement &element) const {
  putlog(LOG_ERROR, "%s", error_message(element).c_str());
  fatal_assertion(MODULE, __LINE__, "error_log");
}

void Field::read(const FormValues &form, int index) {
  if (!enabled) return;
  const std::string key = "F" + std::to_string(index);
  if (optional) {
    active = form(key + "_active") == "on";
    if (!active) return;
  }
  const std::string v = form(key);
  switch (type) {
    case FT_INT:
    case FT_UINT:
    case FT_FILE_SIZE:
    case FT_LONG_FILE_SIZE:
    case FT_DOUBLE:
    case FT_STRING_LIST:
    case FT_IP_RANGE_LIST:
    case FT_PORT_RANGE_LIST:
    case FT_STRING:
      parse(v);
      break;
    case FT_BOOL:
      text = v;
      int_value = v == "true" ? 1 : 0;
      break;
    case FT_MULTILINE_STRING:
      string_list.clear();
      text = v;
      break;
    case FT_STRING_SELECT_ONE: {
      text = v;
      options.reset();
      int k = options.indexof(v);
      if (k >= 0) {
        options[k].selected = true;
        int_value = k;
      }
      break;
    }
    case FT_STRING_SELECT_MANY: {
      text.clear();
      string_list.clear();
      options.reset();
      unsigned bits = 0;
      for (std::size_t k = 0; k < options.size(); ++k) {
        if (form(key + "_" + options[k].name) != "on") continue;
        options[k].selected = true;
        if (k < SELECT_MANY_BITS) bits |= 1u << k;
        string_list.push_back(options[k].name);
      }
      int_value = static_cast<int>(bits);
      text = string_list.join(',');
      break;
    }
    case FT_STRING_RANGE: {
      options.reset();
      options2.reset();
      const std::string v2 = form(key + "_2");
      text = v + "," + v2;
      if (int k = options.indexof(v); k >= 0) {
        options[k].selected = true;
        int_value = k;
      }
      if (int k = options2.indexof(v2); k >= 0) {
        options2[k].selected = true;
        int_value2 = k;
      }
      break;
    }
    case FT_INT_RANGE: {
      text = v;
      int first = string_to_int(v);
      if (first < min || first > max) throw ConfigError();
      int_value = first;
      const std::string v2 = form(key + "_2");
      text = v + "," + v2;
      int second = string_to_int(v2);
      if (second < min || second > max) throw ConfigError();
      int_value2 = second;
      break;
    }
    default: break;
  }
}

void Field::save(tinyxml2::XMLElement *parent) const {
  XMLElement *e = parent->GetDocument()->NewElement(name.c_str());
  if (optional) e->SetAttribute("active", active ? "true" : "false");
  e->SetText(text.c_str());
  parent->InsertEndChild(e);
}

std::string Field::possible_values() const {
  std::string out;
  for (std::size_t k = 0; k < options.size(); ++k) {
    if (k) out.push_back(',');
    out += options[k].name;
  }
  return out;
}

std::string Field::nature() const {
  switch (type) {
    case FT_INT: return "an integer";
    case FT_UINT: return "a positive integer";
    case FT_BOOL: return "true or false";
    case FT_STRING: return "a string";
    case FT_STRING_SELECT_ONE: return "a string among these values : " + possible_values();
    case FT_STRING_SELECT_MANY: return "a list of strings among these values : " + possible_values();
    case FT_STRING_LIST: return "a string list";
    case FT_IP_RANGE_LIST: return "an IP range list (see manual)";
    case FT_PORT_RANGE_LIST: return "a port range list (see manual)";
    case FT_STRING_RANGE: return "a couple of strings among these values : " + possible_values();
    case FT_INT_RANGE: {
      char buffer[INT_RANGE_NATURE_MAX];
      std::snprintf(buffer, sizeof buffer, "a couple of integers between %d and %d inclusive", min,
                    max);
      return buffer;
    }
    case FT_FILE_SIZE:
    case FT_LONG_FILE_SIZE: return "a file size (for example 120, 10K, 1M)";
    case FT_MULTILINE_STRING: return "a multi-line string";
    case FT_DOUBLE: return "a floating point number";
    default: return "";
  }
}

void FieldVector::load(const XmlElement &element) {
  for (Field &f : *this) f.load(element);
}

StringList FieldVector::read(const FormValues &form) {
  StringList errors;
  for (std::size_t k = 0; k < size(); ++k) {
    Field &f = (*this)[k];
    try {
      f.read(form, static_cast<int>(k));
    } catch (const ConfigError &) {
      errors.push_back(f.comment + " must be " + f.nature());
    }
  }
  return errors;
}

void FieldVector::save(tinyxml2::XMLElement *parent) const {
  for (const Field &f : *this) f.save(parent);
}

// ---- items ---------------------------------------------------------------------------

std::atomic<int> Item::count{0};

Item::Item(const Subsection &owner)
    : id(count.fetch_add(1)), section(owner.section), subsection(owner.name),
      fields(owner.fields) {}

Item::Item(const Subsection &owner, const XmlElement *element) : Item(owner) {
  if (element) fields.load(*element);
}

Item::Item(const Item &other)
    : id(count.fetch_add(1)), section(other.section), subsection(other.subsection),
      fields(other.fields) {}

Item &Item::operator=(const Item &other) {
  if (this != &other) {
    id = count.fetch_add(1);
    section = other.section;
    subsection = other.subsection;
    fields = other.fields;
  }
  return *this;
}

bool Item::load(const XmlElement &element, std::string *error) {
  for (Field &f : fields)
    if (f.load(element, error) == FieldLoad::BAD) return false;
  return true;
}

bool Item::match(const TextMatch &name_pattern, const TextMatch &value_pattern) const {
  for (const Field &f : fields) {
    if ((!name_pattern || name_pattern(f.name)) && (!value_pattern || value_pattern(f.text)))
      return true;
  }
  return false;
}

// ---- sections ------------------------------------------------------------------------

std::map<std::string, Section *> Section::map;

Section::RwLock::RwLock() {
  if (pthread_rwlock_init(&lock_, nullptr) != 0) QM_FATAL(MODULE);
}
Section::RwLock::~RwLock() { pthread_rwlock_destroy(&lock_); }
// A failure here means this thread already holds the lock (EDEADLK): a broken invariant
// that would otherwise release someone else's lock later.
void Section::RwLock::lock_shared() {
  if (pthread_rwlock_rdlock(&lock_) != 0) QM_FATAL(MODULE);
}
void Section::RwLock::lock() {
  if (pthread_rwlock_wrlock(&lock_) != 0) QM_FATAL(MODULE);
}
void Section::RwLock::unlock() {
  if (pthread_rwlock_unlock(&lock_) != 0) QM_FATAL(MODULE);
}

Section::Section(const SectionSpec &spec) : Section(spec, LOCK_RWLOCK) {}

Section::Section(const SectionSpec &spec, LockKind lock_kind_)
    : name(spec.name), lock_kind(lock_kind_) {
  map[name] = this;
  putlog(LOG_DEBUG, "Validating Section: %s", name.c_str());
  build_from_schema();
  check_spec(spec);
}

Section::~Section() {
  auto it = map.find(name);
  if (it != map.end() && it->second == this) map.erase(it);
}

void Section::update() {}

void Section::build_from_schema() {
  const std::string where = "section " + name;
  const XMLElement *root = sectionxml ? sectionxml->FirstChildElement(SCHEMA_ROOT) : nullptr;
  if (!root) schema_fatal(__LINE__, "Section", where, "missing root element section");
  const XMLElement *element = root->FirstChildElement(name.c_str());
  if (!element) schema_fatal(__LINE__, "Section", where, "missing element for the section");

  comment = required_text(element, "comment", where, "Section");
  desc = required_text(element, "desc", where, "Section");
  OptionLists selects = parse_selects(element->FirstChildElement("select"), where);

  const XMLElement *global = element->FirstChildElement("global");
  if (!global) schema_fatal(__LINE__, "Section", where, "missing element global");
  globals = parse(global, selects, where + ", global");

  std::map<std::string, FieldVector> templates;
  if (const XMLElement *t = element->FirstChildElement("template")) {
    for (const XMLElement *e = t->FirstChildElement(); e; e = e->NextSiblingElement())
      templates[e->Name()] = parse(e, selects, where + ", template " + e->Name());
  }

  if (const XMLElement *s = element->FirstChildElement("subsection")) {
    for (const XMLElement *e = s->FirstChildElement(); e; e = e->NextSiblingElement()) {
      const std::string at = where + ", subsection " + e->Name();
      Subsection sub;
      sub.section = name;
      sub.name = e->Name();
      sub.comment = required_text(e, "comment", at, "Section");
      std::string template_name = required_text(e, "template", at, "Section");
      sub.desc = required_text(e, "desc", at, "Section");
      std::string flag;
      sub.enabled = !optional_text(e, "enabled", at, "Section", &flag) || equals_ci(flag, "true");
      if (auto it = templates.find(template_name); it != templates.end()) sub.fields = it->second;
      subsections.push_back(std::move(sub));
    }
  }
}

void Section::check_spec(const SectionSpec &spec) const {
  check_fields(name, "global", globals, spec.global, __LINE__);
  if (subsections.size() != spec.subsections.size()) {
    putlog(LOG_ERROR,
           "Error in section.xml, section %s: %zu subsections declared, the program reads %zu",
           name.c_str(), subsections.size(), spec.subsections.size());
    fatal_assertion(MODULE, __LINE__, "Section");
  }
  for (std::size_t s = 0; s < subsections.size(); ++s) {
    if (subsections[s].name != spec.subsections[s].name) {
      putlog(LOG_ERROR,
             "Error in section.xml, section %s: subsection %zu is %s, the program reads %s",
             name.c_str(), s, subsections[s].name.c_str(), spec.subsections[s].name);
      fatal_assertion(MODULE, __LINE__, "Section");
    }
    check_fields(name, "subsection " + subsections[s].name, subsections[s].fields,
                 spec.subsections[s].fields, __LINE__);
  }
}

void Section::read_lock() const {
  if (lock_kind == LOCK_MUTEX) mutex.lock();
  else lock.lock_shared();
}

void Section::write_lock() const {
  if (lock_kind == LOCK_MUTEX) mutex.lock();
  else lock.lock();
}

void Section::unlock() const {
  if (lock_kind == LOCK_MUTEX) mutex.unlock();
  else lock.unlock();
}

void Section::require_mutex(const char *function) const {
  if (lock_kind != LOCK_MUTEX) {
    putlog(LOG_ERROR, "section %s: %s needs a mutex section", name.c_str(), function);
    fatal_assertion(MODULE, __LINE__, function);
  }
}

void Section::mutex_lock() const {
  require_mutex("mutex_lock");
  mutex.lock();
}

void Section::cond_wait(std::condition_variable &cond) const {
  require_mutex("cond_wait");
  std::unique_lock<std::mutex> held(mutex, std::adopt_lock);
  cond.wait(held);
  held.release();
}

bool Section::cond_timedwait(std::condition_variable &cond,
                             std::chrono::system_clock::time_point deadline) const {
  require_mutex("cond_timedwait");
  std::unique_lock<std::mutex> held(mutex, std::adopt_lock);
  bool woken = cond.wait_until(held, deadline) == std::cv_status::no_timeout;
  held.release();
  return woken;
}

bool Section::cond_timedwait(std::condition_variable &cond,
                             std::chrono::steady_clock::time_point deadline) const {
  require_mutex("cond_timedwait");
  std::unique_lock<std::mutex> held(mutex, std::adopt_lock);
  bool woken = cond.wait_until(held, deadline) == std::cv_status::no_timeout;
  held.release();
  return woken;
}

Subsection *Section::subsection_get(std::string_view sub) {
  for (Subsection &s : subsections)
    if (s.name == sub) return &s;
  return nullptr;
}

Section::ItemPosition Section::item_iterator_get(int id) {
  for (Subsection &s : subsections)
    for (auto it = s.items.begin(); it != s.items.end(); ++it)
      if (it->id == id) return {&s, it};
  throw ConfigError();
}

Item &Section::item_get(int id) { return *item_iterator_get(id).item; }

Section *section_find(const std::string &name) {
  auto it = Section::map.find(name);
  return it == Section::map.end() ? nullptr : it->second;
}
