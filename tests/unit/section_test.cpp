#include <gtest/gtest.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "main.h"
#include "section.h"
#include "xml.h"

namespace {

// ---- converters ------------------------------------------------------------------------

template <typename T>
struct ConvertCase {
  const char *text;
  std::optional<T> expected;  // nullopt: ConfigError
};

template <typename T, typename F>
void check_converter(const char *name, F convert, const std::vector<ConvertCase<T>> &cases) {
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(name) + "(\"" + c.text + "\")");
    if (c.expected) {
      T got{};
      EXPECT_NO_THROW(got = convert(c.text));
      EXPECT_EQ(got, *c.expected);
    } else {
      EXPECT_THROW(convert(c.text), ConfigError);
    }
  }
}

TEST(Converters, StringToInt) {
  check_converter<int>("string_to_int", string_to_int,
                       {{"", 0},
                        {"0", 0},
                        {"42", 42},
                        {"  -17", -17},
                        {"+9", 9},
                        {"2147483647", 2147483647},
                        {"-2147483648", -2147483647 - 1},
                        {"2147483648", std::nullopt},
                        {"-2147483649", std::nullopt},
                        {"99999999999999999999", std::nullopt},
                        {"12abc", std::nullopt},
                        {"12 ", std::nullopt},
                        {" ", std::nullopt},
                        {"-", std::nullopt},
                        {"+-1", std::nullopt},
                        {"0x10", std::nullopt},
                        {"abc", std::nullopt}});
}

TEST(Converters, StringToUint) {
  check_converter<unsigned>("string_to_uint", string_to_uint,
                            {{"", 0u},
                             {" 5", 5u},
                             {"+5", 5u},
                             {"4294967295", 4294967295u},
                             {"4294967296", std::nullopt},
                             {"-1", std::nullopt},
                             {"-0", std::nullopt},
                             {"5x", std::nullopt},
                             {"1.5", std::nullopt}});
}

TEST(Converters, StringToDouble) {
  check_converter<double>("string_to_double", string_to_double,
                          {{"", 0.0},
                           {"0.25", 0.25},
                           {"  -1.5", -1.5},
                           {"+2", 2.0},
                           {"1e3", 1000.0},
                           {"1.5x", std::nullopt},
                           {"+-1", std::nullopt},
                           {"inf", std::nullopt},
                           {"nan", std::nullopt},
                           {"1e999", std::nullopt},
                           {".", std::nullopt}});
}

TEST(Converters, StringToFilesize) {
  check_converter<std::uint32_t>("string_to_filesize", string_to_filesize,
                                 {{"7", 7u},
                                  {"120", 120u},
                                  {"10K", 10240u},
                                  {"10kb", 10240u},
                                  {"10 kbit", 10240u},
                                  {"1M", 1048576u},
                                  {"3 MB", 3145728u},
                                  {"2mbit", 2097152u},
                                  {"1G", 1073741824u},
                                  {"3gb", 3221225472u},
                                  {"1 Gbit", 1073741824u},
                                  {"4294967295", 4294967295u},
                                  {" 8 ", 8u},
                                  // Products and numbers beyond 32 bits are refused, not wrapped.
                                  {"4G", std::nullopt},
                                  {"4194304K", std::nullopt},
                                  {"4294967296", std::nullopt},
                                  {"", std::nullopt},
                                  {"k", std::nullopt},
                                  {"5 tb", std::nullopt},
                                  {"-1", std::nullopt},
                                  {"10 K x", std::nullopt},
                                  {"10kilobytes", std::nullopt}});
}

TEST(Converters, StringToLongFilesize) {
  check_converter<std::uint64_t>("string_to_longfilesize", string_to_longfilesize,
                                 {{"7", 7u},
                                  {"4G", 4294967296ull},
                                  {"10 kbit", 10240u},
                                  {"18446744073709551615", 18446744073709551615ull},
                                  {"17179869183G", 18446744072635809792ull},
                                  {"17179869184G", std::nullopt},
                                  {"18446744073709551616", std::nullopt},
                                  {"", std::nullopt},
                                  {"m", std::nullopt},
                                  {"1 tb", std::nullopt}});
}

TEST(Converters, AddressToInt) {
  check_converter<std::uint32_t>("address_to_int", address_to_int,
                                 {{"0.0.0.0", 0u},
                                  {"10.0.0.5", 0x0a000005u},
                                  {"  192.168.1.1", 0xc0a80101u},
                                  {"255.255.255.255", 0xffffffffu},
                                  {"1..2.3", 0x01000203u},
                                  {"...", 0u},
                                  {"10.0.0", std::nullopt},
                                  {"10.0.0.256", std::nullopt},
                                  {"1.2.3.4.5", std::nullopt},
                                  {"1.2.3.4 ", std::nullopt},
                                  {"1.2.3.-4", std::nullopt},
                                  {"a.b.c.d", std::nullopt},
                                  {"", std::nullopt}});
}

// ---- lists -----------------------------------------------------------------------------

TEST(StringListTest, ParsesLikeTheDocumentFormat) {
  struct Case {
    const char *text;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a,,b", {"a", "", "b"}},
      {"a,b,", {"a", "b"}},
      {",a", {"", "a"}},
      {" a , b", {" a ", " b"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    StringList list(c.text, ',');
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), c.expected);
  }
  StringList list("x,y", ',');
  EXPECT_TRUE(list.has("y"));
  EXPECT_FALSE(list.has("Y"));
  EXPECT_FALSE(StringList(",a", ',').has(""));
  EXPECT_EQ(StringList("x;y", ';').join(','), "x,y");
}

TEST(StringListTest, CoupleNeedsExactlyTwo) {
  Couple c("1,10");
  EXPECT_EQ(c.first(), "1");
  EXPECT_EQ(c.second(), "10");
  for (const char *bad : {"", "1", "1,2,3", "1,"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(Couple{bad}, ConfigError);
  }
}

TEST(IpRangeListTest, MatchesAddressesAndRanges) {
  struct Case {
    const char *list;
    const char *address;
    bool matches;
  } cases[] = {
      {"", "1.2.3.4", true},
      {"", "not an address", true},
      {"-", "0.0.0.0", true},
      {"-", "255.255.255.255", true},
      {"10.0.0.5", "10.0.0.5", true},
      {"10.0.0.5", "10.0.0.6", false},
      {"10.0.0.5", "10.0.0.4", false},
      {"10.0.0.0-", "255.255.255.255", true},
      {"10.0.0.0-", "9.255.255.255", false},
      {"-10.0.0.0", "0.0.0.0", true},
      {"-10.0.0.0", "10.0.0.1", false},
      {"10.0.0.0-10.0.0.255", "10.0.0.128", true},
      {"10.0.0.0-10.0.0.255", "10.0.1.0", false},
      // Above 128.0.0.0 the comparison must stay unsigned.
      {"128.0.0.0-255.0.0.0", "200.1.1.1", true},
      {"128.0.0.0-255.0.0.0", "127.255.255.255", false},
      {"1.1.1.1,192.168.0.0-192.168.255.255", "192.168.7.7", true},
      {"1.1.1.1,192.168.0.0-192.168.255.255", "1.1.1.1", true},
      {"1.1.1.1,192.168.0.0-192.168.255.255", "8.8.8.8", false},
      {"1.1.1.1", "garbage", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.list) + " has " + c.address);
    EXPECT_EQ(IpRangeList(c.list).has(std::string_view(c.address)), c.matches);
  }
  IpRange single("10.0.0.5");
  EXPECT_EQ(single.low, single.high);
  EXPECT_EQ(single.low_text, "10.0.0.5");
  EXPECT_EQ(IpRangeList("1.2.3.4,-").text(), "1.2.3.4,-");
}

TEST(IpRangeListTest, RejectsBadElements) {
  for (const char *bad : {"10.0.0", "10.0.0.256", "1.2.3.4-x", "1.2.3.4,x", "x-1.2.3.4"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(IpRangeList{bad}, ConfigError);
  }
}

TEST(PortRangeListTest, MatchesPortsAndRanges) {
  struct Case {
    const char *list;
    int port;
    bool matches;
  } cases[] = {
      {"", 1, true},     {"", 65535, true},       {"443", 443, true},
      {"443", 444, false}, {"80-90", 80, true},   {"80-90", 90, true},
      {"80-90", 91, false}, {"90-80", 85, false}, {"1,8000-8080", 8080, true},
      {"1,8000-8080", 2, false}, {"65535", 65535, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.list) + " has " + std::to_string(c.port));
    EXPECT_EQ(PortRangeList(c.list).has(c.port), c.matches);
  }
  for (const char *bad : {"0", "65536", "-", "80-", "-80", "8o", "80,,81", " 80", "1-2-3"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(PortRangeList{bad}, ConfigError);
  }
}

TEST(ProfileFind, AppliesRuleProfiles) {
  struct Case {
    StringList rule, connection;
    bool applies;
  } cases[] = {
      {{}, {}, true},
      {{}, {"a"}, true},
      {{"a"}, {"a"}, true},
      {{"!a"}, {"b"}, true},
      {{"!a"}, {"a"}, false},
      {{"!a"}, {}, false},
      {{"a"}, {}, false},
      {{"a", "!b"}, {"b"}, false},
      {{"x"}, {"y"}, false},
      {{"x", "y"}, {"q", "y"}, true},
      {{"!b", "a"}, {"a", "b"}, false},  // the first entry naming a profile decides
      {{"a", "!b"}, {"a", "b"}, true},
      {{"A"}, {"a"}, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("rule " + c.rule.join(',') + " connection " + c.connection.join(','));
    EXPECT_EQ(profile_find(c.connection, c.rule), c.applies);
  }
}

TEST(FieldTypes, NamesAndCodes) {
  FieldType t;
  ASSERT_TRUE(field_type_from_name("PORT_RANGE_LIST", &t));
  EXPECT_EQ(t, FT_PORT_RANGE_LIST);
  ASSERT_TRUE(field_type_from_name("DOUBLE", &t));
  EXPECT_EQ(t, FT_DOUBLE);
  EXPECT_FALSE(field_type_from_name("NONE", &t));
  EXPECT_FALSE(field_type_from_name("int", &t));
  for (int code = 0; code < FT_COUNT; ++code) {
    const char *word = field_type_name(code);
    if (!word) {
      EXPECT_EQ(code, FT_NONE);
      continue;
    }
    ASSERT_TRUE(field_type_from_name(word, &t));
    EXPECT_EQ(t, code);
  }
}

// ---- fields ----------------------------------------------------------------------------

StringSelectVector options_of(std::initializer_list<const char *> names) {
  StringSelectVector v;
  for (const char *n : names) v.push_back({n, n, "", false});
  return v;
}

Field make_field(FieldType type, const std::string &default_text = "") {
  if (type == FT_STRING_SELECT_ONE || type == FT_STRING_SELECT_MANY || type == FT_STRING_RANGE)
    return Field(true, "f", "Label", "", options_of({"mon", "tue", "wed"}), type, false);
  return Field(true, "f", "Label", "", default_text, type, false);
}

TEST(FieldTest, DefaultsFromTheSchema) {
  EXPECT_EQ(make_field(FT_BOOL, "True").int_value, 1);
  EXPECT_EQ(make_field(FT_BOOL, "yes").int_value, 0);
  EXPECT_EQ(make_field(FT_INT, "-3").int_value, -3);
  EXPECT_EQ(make_field(FT_UINT, "9").uint_value, 9u);
  EXPECT_EQ(make_field(FT_FILE_SIZE, "2K").uint_value, 2048u);
  EXPECT_EQ(make_field(FT_LONG_FILE_SIZE, "5G").long_value, 5368709120ull);
  Field range = make_field(FT_INT_RANGE, "1,10");
  EXPECT_EQ(range.min, 1);
  EXPECT_EQ(range.max, 10);
  EXPECT_EQ(range.int_value, 0);
  Field list = make_field(FT_STRING_LIST, "a,b");
  EXPECT_TRUE(list.string_list.empty()) << "list defaults stay unparsed";
  EXPECT_EQ(list.text, "a,b");
  Field select = make_field(FT_STRING_RANGE);
  EXPECT_EQ(select.options.size(), 3u);
  EXPECT_EQ(select.options2.size(), 3u);
  EXPECT_TRUE(select.text.empty());
  EXPECT_FALSE(make_field(FT_STRING).active);

  struct Width {
    FieldType type;
    int width;
  } widths[] = {{FT_STRING, 80}, {FT_STRING_LIST, 80}, {FT_IP_RANGE_LIST, 80},
                {FT_PORT_RANGE_LIST, 80}, {FT_STRING_SELECT_ONE, 0}, {FT_STRING_SELECT_MANY, 0},
                {FT_STRING_RANGE, 0}, {FT_INT, 20}, {FT_MULTILINE_STRING, 20}, {FT_DOUBLE, 20}};
  for (const auto &w : widths) {
    SCOPED_TRACE(field_type_name(w.type));
    EXPECT_EQ(make_field(w.type, w.type == FT_INT ? "0" : "").width, w.width);
  }
  for (FieldType t : {FT_INT, FT_UINT, FT_FILE_SIZE, FT_LONG_FILE_SIZE, FT_INT_RANGE}) {
    SCOPED_TRACE(field_type_name(t));
    EXPECT_THROW(make_field(t, "nope"), ConfigError);
  }
}

TEST(FieldTest, NatureTexts) {
  struct Case {
    FieldType type;
    const char *nature;
  } cases[] = {
      {FT_INT, "an integer"},
      {FT_UINT, "a positive integer"},
      {FT_BOOL, "true or false"},
      {FT_STRING, "a string"},
      {FT_STRING_SELECT_ONE, "a string among these values : mon,tue,wed"},
      {FT_STRING_SELECT_MANY, "a list of strings among these values : mon,tue,wed"},
      {FT_STRING_LIST, "a string list"},
      {FT_IP_RANGE_LIST, "an IP range list (see manual)"},
      {FT_PORT_RANGE_LIST, "a port range list (see manual)"},
      {FT_STRING_RANGE, "a couple of strings among these values : mon,tue,wed"},
      {FT_INT_RANGE, "a couple of integers between -2 and 30 inclusive"},
      {FT_FILE_SIZE, "a file size (for example 120, 10K, 1M)"},
      {FT_MULTILINE_STRING, "a multi-line string"},
      {FT_LONG_FILE_SIZE, "a file size (for example 120, 10K, 1M)"},
      {FT_DOUBLE, "a floating point number"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(field_type_name(c.type));
    Field f = make_field(c.type, c.type == FT_INT_RANGE ? "-2,30" : "0");
    EXPECT_EQ(f.nature(), c.nature);
  }
  Field one(true, "f", "", "", options_of({"only"}), FT_STRING_SELECT_ONE, false);
  EXPECT_EQ(one.possible_values(), "only");
}

TEST(FieldTest, ParsesDocumentValues) {
  using Check = std::function<void(const Field &)>;
  struct Case {
    FieldType type;
    const char *default_text;
    const char *value;
    bool good;
    Check check;
  } cases[] = {
      {FT_INT, "", "", true, [](const Field &f) { EXPECT_EQ(f.int_value, 0); }},
      {FT_INT, "", "-12", true, [](const Field &f) { EXPECT_EQ(f.int_value, -12); }},
      {FT_INT, "", "12abc", false, nullptr},
      {FT_INT, "", "4294967296", false, nullptr},
      {FT_UINT, "", " 5", true, [](const Field &f) { EXPECT_EQ(f.uint_value, 5u); }},
      {FT_UINT, "", "-1", false, nullptr},
      {FT_BOOL, "", "true", true, [](const Field &f) { EXPECT_EQ(f.int_value, 1); }},
      {FT_BOOL, "", "TRUE", true, [](const Field &f) { EXPECT_EQ(f.int_value, 1); }},
      {FT_BOOL, "true", "FALSE", true, [](const Field &f) { EXPECT_EQ(f.int_value, 0); }},
      {FT_BOOL, "", "True", false, nullptr},
      {FT_BOOL, "", "", false, nullptr},
      {FT_STRING, "", " any text ", true, [](const Field &f) { EXPECT_EQ(f.text, " any text "); }},
      {FT_STRING_SELECT_ONE, "", "tue", true,
       [](const Field &f) {
         EXPECT_EQ(f.int_value, 1);
         EXPECT_TRUE(f.options[1].selected);
         EXPECT_FALSE(f.options[0].selected);
       }},
      // No equal option: no error, the index stays.
      {FT_STRING_SELECT_ONE, "", "TUE", true,
       [](const Field &f) {
         EXPECT_EQ(f.int_value, 0);
         EXPECT_FALSE(f.options[1].selected);
       }},
      {FT_STRING_SELECT_MANY, "", "wed,mon,sun", true,
       [](const Field &f) {
         EXPECT_EQ(f.int_value, 0b101);
         EXPECT_EQ(f.string_list, (StringList{"wed", "mon", "sun"}));
         EXPECT_TRUE(f.options[2].selected);
         EXPECT_FALSE(f.options[1].selected);
       }},
      {FT_STRING_SELECT_MANY, "", "", true, [](const Field &f) { EXPECT_EQ(f.int_value, 0); }},
      {FT_STRING_LIST, "", "a,,b", true,
       [](const Field &f) { EXPECT_EQ(f.string_list.size(), 3u); }},
      {FT_IP_RANGE_LIST, "", "10.0.0.1-10.0.0.9", true,
       [](const Field &f) {
         EXPECT_TRUE(f.ip_ranges.has(std::string_view("10.0.0.3")));
         EXPECT_FALSE(f.ip_ranges.has(std::string_view("10.0.0.10")));
       }},
      {FT_IP_RANGE_LIST, "", "10.0.0", false, nullptr},
      {FT_PORT_RANGE_LIST, "", "80,443", true,
       [](const Field &f) { EXPECT_EQ(f.port_ranges.ranges().size(), 2u); }},
      {FT_PORT_RANGE_LIST, "", "0", false, nullptr},
      {FT_STRING_RANGE, "", "MON,Wed", true,
       [](const Field &f) {
         EXPECT_EQ(f.int_value, 0);
         EXPECT_EQ(f.int_value2, 2);
       }},
      {FT_STRING_RANGE, "", "mon", false, nullptr},
      {FT_STRING_RANGE, "", "mon,sun", false, nullptr},
      {FT_STRING_RANGE, "", "", false, nullptr},
      {FT_INT_RANGE, "1,10", "1,10", true,
       [](const Field &f) {
         EXPECT_EQ(f.int_value, 1);
         EXPECT_EQ(f.int_value2, 10);
       }},
      {FT_INT_RANGE, "1,10", "5,5", true, [](const Field &f) { EXPECT_EQ(f.int_value2, 5); }},
      {FT_INT_RANGE, "1,10", "0,5", false, nullptr},
      {FT_INT_RANGE, "1,10", "5,11", false, nullptr},
      {FT_INT_RANGE, "1,10", "", false, nullptr},
      {FT_FILE_SIZE, "0", "10 kbit", true, [](const Field &f) { EXPECT_EQ(f.uint_value, 10240u); }},
      {FT_FILE_SIZE, "0", "4G", false, nullptr},
      {FT_FILE_SIZE, "0", "", false, nullptr},
      {FT_LONG_FILE_SIZE, "0", "4G", true,
       [](const Field &f) { EXPECT_EQ(f.long_value, 4294967296ull); }},
      {FT_LONG_FILE_SIZE, "0", "", false, nullptr},
      {FT_MULTILINE_STRING, "", "a\nb", true, [](const Field &f) { EXPECT_EQ(f.text, "a\nb"); }},
      {FT_DOUBLE, "", "2.5", true, [](const Field &f) { EXPECT_EQ(f.double_value, 2.5); }},
      {FT_DOUBLE, "", "2,5", false, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(field_type_name(c.type)) + " \"" + c.value + "\"");
    Field f = make_field(c.type, c.default_text);
    if (!c.good) {
      EXPECT_THROW(f.parse(c.value), ConfigError);
      continue;
    }
    ASSERT_NO_THROW(f.parse(c.value));
    EXPECT_EQ(f.text, c.value);
    if (c.check) c.check(f);
  }
}

// Form values for Field::read.
FormValues form_of(std::map<std::string, std::string> values) {
  return [values](const std::string &name) {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  };
}

TEST(FieldTest, ReadsEditorForms) {
  FieldVector fields;
  fields.push_back(Field(true, "port", "Port", "", "0", FT_INT, false));
  fields.push_back(Field(true, "on", "On", "", "false", FT_BOOL, false));
  fields.push_back(Field(true, "days", "Days", "", options_of({"mon", "tue", "wed"}),
                         FT_STRING_SELECT_MANY, false));
  fields.push_back(Field(true, "window", "Window", "", "1,10", FT_INT_RANGE, false));
  fields.push_back(Field(true, "proxy", "Proxy", "", "old", FT_STRING, true));
  fields.push_back(Field(true, "span", "Span", "", options_of({"mon", "tue", "wed"}),
                         FT_STRING_RANGE, false));
  fields[4].active = true;

  StringList errors = fields.read(form_of({{"F0", "8080"},
                                           {"F1", "TRUE"},
                                           {"F2_tue", "on"},
                                           {"F2_wed", "on"},
                                           {"F3", "2"},
                                           {"F3_2", "9"},
                                           {"F5", "tue"},
                                           {"F5_2", "wed"}}));
  EXPECT_TRUE(errors.empty()) << errors.join('|');
  EXPECT_EQ(fields[0].int_value, 8080);
  EXPECT_EQ(fields[1].int_value, 0) << "only the exact radio value counts";
  EXPECT_EQ(fields[2].int_value, 0b110);
  EXPECT_EQ(fields[2].text, "tue,wed");
  EXPECT_EQ(fields[3].text, "2,9");
  EXPECT_EQ(fields[3].int_value2, 9);
  EXPECT_FALSE(fields[4].active) << "unticked box switches the field off";
  EXPECT_EQ(fields[4].text, "old");
  EXPECT_EQ(fields[5].text, "tue,wed");
  EXPECT_EQ(fields[5].int_value, 1);
  EXPECT_EQ(fields[5].int_value2, 2);

  errors = fields.read(form_of({{"F0", "abc"}, {"F1", "true"}, {"F3", "0"}, {"F3_2", "5"}}));
  EXPECT_EQ(errors, (StringList{"Port must be an integer",
                                "Window must be a couple of integers between 1 and 10 inclusive"}));
  EXPECT_EQ(fields[1].int_value, 1) << "the other fields are still read";
  EXPECT_EQ(fields[2].int_value, 0) << "nothing ticked clears the mask";
  EXPECT_EQ(fields[2].text, "");
}

// ---- sections from a schema ------------------------------------------------------------

// A compact schema for the structural tests and for the schema-error death tests.
const std::string DELTA_SCHEMA = R"(<section><delta>
<comment>Delta</comment><desc>Delta section</desc>
<select><colours><red/><blue><comment>Blue</comment><value>true</value><desc>sky</desc></blue></colours></select>
<global>
 <flag n="0"><comment>Flag</comment><value>true</value><type>BOOL</type><desc></desc></flag>
 <colour n="1"><comment>Colour</comment><value>colours</value><type>STRING_SELECT_ONE</type><desc/></colour>
 <size n="2"><comment>Size</comment><value>1K</value><type>FILE_SIZE</type><desc/></size>
</global>
<template><rowtpl><name n="0"><comment>Name</comment><value/><type>STRING</type><desc/></name></rowtpl></template>
<subsection><row><comment>Rows</comment><template>rowtpl</template><desc>r</desc></row></subsection>
</delta></section>)";

constexpr FieldSpec DELTA_GLOBAL[] = {
    {"flag", FT_BOOL}, {"colour", FT_STRING_SELECT_ONE}, {"size", FT_FILE_SIZE}};
constexpr FieldSpec ROW_FIELDS[] = {{"name", FT_STRING}};
constexpr SubsectionSpec DELTA_SUBSECTIONS[] = {{"row", ROW_FIELDS}};
constexpr SectionSpec DELTA_SPEC = {"delta", DELTA_GLOBAL, DELTA_SUBSECTIONS};

class DeltaSection : public Section {
 public:
  DeltaSection() : Section(DELTA_SPEC) {}
  explicit DeltaSection(LockKind kind) : Section(DELTA_SPEC, kind) {}
};

void load_schema(const std::string &text) {
  std::string error;
  ASSERT_TRUE(schema_load_text(text, &error)) << error;
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
  std::size_t at = text.find(from);
  if (at == std::string::npos) ADD_FAILURE() << "fixture text not found: " << from;
  else text.replace(at, from.size(), to);
  return text;
}

TEST(SectionTest, BuildsFromTheSchema) {
  load_schema(DELTA_SCHEMA);
  DeltaSection delta;
  EXPECT_EQ(delta.name_get(), "delta");
  EXPECT_EQ(delta.comment_get(), "Delta");
  EXPECT_EQ(delta.desc, "Delta section");
  ASSERT_EQ(delta.globals.size(), 3u);
  EXPECT_EQ(delta.globals[0].int_value, 1);
  const StringSelectVector &colours = delta.globals[1].options;
  ASSERT_EQ(colours.size(), 2u);
  EXPECT_EQ(colours[0].name, "red");
  EXPECT_EQ(colours[0].comment, "red") << "label defaults to the option name";
  EXPECT_FALSE(colours[0].selected);
  EXPECT_EQ(colours[1].comment, "Blue");
  EXPECT_EQ(colours[1].desc, "sky");
  EXPECT_TRUE(colours[1].selected);
  EXPECT_EQ(delta.globals[2].uint_value, 1024u);
  ASSERT_EQ(delta.subsections.size(), 1u);
  const Subsection &row = delta.subsections[0];
  EXPECT_EQ(row.section, "delta");
  EXPECT_EQ(row.comment, "Rows");
  EXPECT_TRUE(row.enabled);
  EXPECT_TRUE(row.items.empty());
  ASSERT_EQ(row.fields.size(), 1u);
  EXPECT_EQ(row.fields[0].name, "name");
}

TEST(SectionTest, RegistryByName) {
  load_schema(DELTA_SCHEMA);
  EXPECT_EQ(section_find("delta"), nullptr);
  {
    DeltaSection first;
    EXPECT_EQ(section_find("delta"), &first);
    {
      DeltaSection second;  // a second of the same name replaces the entry
      EXPECT_EQ(Section::map.at("delta"), &second);
    }
    EXPECT_EQ(section_find("delta"), nullptr);
  }
  EXPECT_EQ(Section::map.count("delta"), 0u);
}

TEST(SectionTest, ItemsIdsAndLookup) {
  load_schema(DELTA_SCHEMA);
  DeltaSection delta;
  Subsection &row = delta.subsections[0];
  Item a(row);
  Item b(row);
  EXPECT_NE(a.id_get(), b.id_get());
  EXPECT_EQ(a.section, "delta");
  EXPECT_EQ(a.subsection, "row");
  Item copy(a);
  EXPECT_NE(copy.id_get(), a.id_get()) << "a copy is a new item";
  int moved_id = b.id_get();
  Item moved(std::move(b));
  EXPECT_EQ(moved.id_get(), moved_id) << "moving keeps the id";
  Item assigned(row);
  int before = assigned.id_get();
  assigned = a;
  EXPECT_NE(assigned.id_get(), before);
  EXPECT_NE(assigned.id_get(), a.id_get());

  a.fields[0].text = "alpha";
  row.items.push_back(a);
  row.items.push_back(moved);
  int id = row.items[1].id_get();
  row.items.reserve(100);  // reallocation moves the items: ids must survive
  EXPECT_EQ(delta.item_get(id).id_get(), id);
  Section::ItemPosition pos = delta.item_iterator_get(row.items[0].id_get());
  EXPECT_EQ(pos.subsection, &row);
  EXPECT_EQ(pos.item, row.items.begin());
  EXPECT_THROW(delta.item_get(a.id_get()), ConfigError) << "the original is not in the list";
  EXPECT_EQ(delta.subsection_get("row"), &row);
  EXPECT_EQ(delta.subsection_get("Row"), nullptr);
}

TEST(SectionTest, ItemMatch) {
  load_schema(DELTA_SCHEMA);
  DeltaSection delta;
  Item item(delta.subsections[0]);
  item.fields[0].text = "www.example.com";
  auto contains = [](const char *s) {
    return Item::TextMatch([s](const std::string &t) { return t.find(s) != std::string::npos; });
  };
  EXPECT_TRUE(item.match({}, {}));
  EXPECT_TRUE(item.match(contains("name"), {}));
  EXPECT_TRUE(item.match({}, contains("example")));
  EXPECT_TRUE(item.match(contains("na"), contains("www")));
  EXPECT_FALSE(item.match(contains("host"), {}));
  EXPECT_FALSE(item.match(contains("name"), contains("other")));
  Item empty = item;
  empty.fields.clear();
  EXPECT_FALSE(empty.match({}, {})) << "an item without fields matches nothing";
}

TEST(SectionTest, LockKinds) {
  load_schema(DELTA_SCHEMA);
  DeltaSection rw;
  EXPECT_EQ(rw.lock_kind_get(), LOCK_RWLOCK);
  {
    // Two readers at once: a second thread gets the read lock while this one holds it.
    SectionReadLock held(rw);
    std::thread reader([&] {
      SectionReadLock also(rw);
      EXPECT_EQ(rw.atomic_read(&rw.globals[2].uint_value), 1024u);
    });
    reader.join();
  }
  {
    SectionWriteLock held(rw);
    rw.globals[0].int_value = 0;
  }
  EXPECT_EQ(rw.atomic_read(&rw.globals[0].int_value), 0);

  DeltaSection mutexed(LOCK_MUTEX);
  std::condition_variable cond;
  bool ready = false;
  mutexed.mutex_lock();
  EXPECT_FALSE(mutexed.cond_timedwait(cond, std::chrono::steady_clock::now()));
  std::thread signaller([&] {
    SectionWriteLock held(mutexed);
    ready = true;
    cond.notify_all();
  });
  while (!ready) mutexed.cond_wait(cond);
  mutexed.unlock();
  signaller.join();
  EXPECT_TRUE(ready);
}

// ---- fatal paths -----------------------------------------------------------------------

// In a death-test child: log lines go to standard output, which is sent to standard error
// where the matcher reads.
void log_to_stderr() {
  daemonize = 0;
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

std::string fatal_in(const std::string &detail, const char *module, const char *function) {
  return detail + "(.|\n)*ASSERTION: " + module + ":[0-9]+ in function " + function;
}

TEST(SectionDeathTest, SchemaErrorsStopTheProxy) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char *what;
    std::string schema;
    const char *detail;
    const char *function;
  } cases[] = {
      {"no root", replaced(replaced(DELTA_SCHEMA, "<section>", "<schema>"), "</section>", "</schema>"),
       "missing root element section", "Section"},
      {"no section element", replaced(replaced(DELTA_SCHEMA, "<delta>", "<gamma>"), "</delta>", "</gamma>"),
       "section delta: missing element for the section", "Section"},
      {"section without comment", replaced(DELTA_SCHEMA, "<comment>Delta</comment>", ""),
       "section delta: missing element comment", "Section"},
      {"section desc without text", replaced(DELTA_SCHEMA, "<desc>Delta section</desc>", "<desc/>"),
       "section delta: element desc has no text", "Section"},
      {"no global", replaced(replaced(DELTA_SCHEMA, "<global>", "<globals>"), "</global>", "</globals>"),
       "section delta: missing element global", "Section"},
      {"field without n", replaced(DELTA_SCHEMA, "<size n=\"2\">", "<size>"),
       "field 2 size: missing attribute n", "parse"},
      {"n out of sequence", replaced(DELTA_SCHEMA, "<size n=\"2\">", "<size n=\"3\">"),
       "field 2 size: attribute n is 3, not in sequence", "parse"},
      {"field without type", replaced(DELTA_SCHEMA, "<type>FILE_SIZE</type>", ""),
       "field 2 size: missing element type", "parse"},
      {"field without value", replaced(DELTA_SCHEMA, "<value>1K</value>", ""),
       "field 2 size: missing element value", "parse"},
      {"field label without text", replaced(DELTA_SCHEMA, "<comment>Size</comment>", "<comment/>"),
       "field 2 size: element comment has no text", "parse"},
      {"empty optional", replaced(DELTA_SCHEMA, "<desc/></size>", "<desc/><optional/></size>"),
       "field 2 size: element optional has no text", "parse"},
      {"empty enabled", replaced(DELTA_SCHEMA, "<desc/></size>", "<desc/><enabled></enabled></size>"),
       "field 2 size: element enabled has no text", "parse"},
      {"option value without text", replaced(DELTA_SCHEMA, "<value>true</value><desc>sky", "<value/><desc>sky"),
       "option blue: element value has no text", "Section"},
      {"subsection without template", replaced(DELTA_SCHEMA, "<template>rowtpl</template>", ""),
       "subsection row: missing element template", "Section"},
      {"unknown type", replaced(DELTA_SCHEMA, "<type>FILE_SIZE</type>", "<type>SIZE</type>"),
       "unknown field type SIZE", "type_get"},
      {"default that does not convert", replaced(DELTA_SCHEMA, "<value>1K</value>", "<value>4G</value>"),
       "default value \"4G\" does not convert to FILE_SIZE", "parse"},
      {"type other than the program reads", replaced(DELTA_SCHEMA, "<type>FILE_SIZE</type>", "<type>STRING</type>"),
       "global field 2 is size of type STRING, the program reads size of type FILE_SIZE", "Section"},
      {"field the program does not read",
       replaced(DELTA_SCHEMA, "</global>",
                "<extra n=\"3\"><comment>X</comment><value/><type>STRING</type><desc/></extra></global>"),
       "global declares 4 fields, the program reads 3", "Section"},
      {"template missing", replaced(DELTA_SCHEMA, "<template>rowtpl</template>", "<template>other</template>"),
       "subsection row declares 0 fields, the program reads 1", "Section"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(
        {
          log_to_stderr();
          std::string error;
          if (!schema_load_text(c.schema, &error)) std::exit(3);
          DeltaSection delta;
          std::exit(0);
        },
        testing::ExitedWithCode(1), fatal_in(c.detail, "src/section", c.function));
  }
}

TEST(SectionDeathTest, MutexCallsOnReadWriteSection) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        log_to_stderr();
        load_schema(DELTA_SCHEMA);
        DeltaSection delta;
        delta.mutex_lock();
        std::exit(0);
      },
      testing::ExitedWithCode(1), fatal_in("needs a mutex section", "src/section", "mutex_lock"));
}

TEST(SectionDeathTest, BadValueThroughTheFatalLoader) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        log_to_stderr();
        load_schema(DELTA_SCHEMA);
        DeltaSection delta;
        tinyxml2::XMLDocument doc;
        doc.Parse("<quillmoss><delta><flag>yes</flag></delta></quillmoss>");
        delta.globals.load(XmlElement(doc, "delta"));
        std::exit(0);
      },
      testing::ExitedWithCode(1),
      fatal_in("flawed XML file, section delta, element : flag must be true or false, but it is "
               "given value yes",
               "src/section", "error_log"));
}

}  // namespace
