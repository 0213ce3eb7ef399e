#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "section.h"
#include "xml.h"

namespace {

namespace fs = std::filesystem;

// Positions of the fixture schema (fixtures/config/schema.xml).
enum AlphaGlobal : int {
  ALPHA_SWITCH, ALPHA_COUNT, ALPHA_LIMIT, ALPHA_LABEL, ALPHA_MODE, ALPHA_PROTOCOLS, ALPHA_HOSTS,
  ALPHA_CLIENTS, ALPHA_PORTS, ALPHA_SPAN, ALPHA_WINDOW, ALPHA_SIZE, ALPHA_NOTES, ALPHA_QUOTA,
  ALPHA_RATIO, ALPHA_PROXY, ALPHA_SECRET,
};
enum AlphaSub : int { ALPHA_SUB_RULE, ALPHA_SUB_HIDDEN };
enum RuleField : int { RULE_ENABLED, RULE_COMMENT, RULE_HOST, RULE_PORT };
constexpr FieldSpec ALPHA_GLOBALS[] = {
    {"switch", FT_BOOL}, {"count", FT_INT}, {"limit", FT_UINT}, {"label", FT_STRING},
    {"mode", FT_STRING_SELECT_ONE}, {"protocols", FT_STRING_SELECT_MANY},
    {"hosts", FT_STRING_LIST}, {"clients", FT_IP_RANGE_LIST}, {"ports", FT_PORT_RANGE_LIST},
    {"span", FT_STRING_RANGE}, {"window", FT_INT_RANGE}, {"size", FT_FILE_SIZE},
    {"notes", FT_MULTILINE_STRING}, {"quota", FT_LONG_FILE_SIZE}, {"ratio", FT_DOUBLE},
    {"proxy", FT_STRING}, {"secret", FT_STRING}};
constexpr FieldSpec RULE_FIELDS[] = {
    {"enabled", FT_BOOL}, {"comment", FT_STRING}, {"host", FT_STRING}, {"port", FT_UINT}};
constexpr SubsectionSpec ALPHA_SUBSECTIONS[] = {{"rule", RULE_FIELDS}, {"hidden", RULE_FIELDS}};
constexpr SectionSpec ALPHA_SPEC = {"alpha", ALPHA_GLOBALS, ALPHA_SUBSECTIONS};

enum EntryField : int { ENTRY_NAME, ENTRY_PORT };
constexpr FieldSpec BETA_GLOBALS[] = {{"on", FT_BOOL}};
constexpr FieldSpec ENTRY_FIELDS[] = {{"name", FT_STRING}, {"port", FT_UINT}};
constexpr SubsectionSpec BETA_SUBSECTIONS[] = {{"entry", ENTRY_FIELDS}};
constexpr SectionSpec BETA_SPEC = {"beta", BETA_GLOBALS, BETA_SUBSECTIONS};

// Counts its updates, as a section's rule records would be rebuilt.
class CountingSection : public Section {
 public:
  using Section::Section;
  void update() override { ++updates; }
  int updates = 0;
};

std::string fixture(const std::string &name) {
  return std::string(QM_SOURCE_DIR) + "/tests/unit/fixtures/config/" + name;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Every value a section holds, one line per field, to compare configurations.
std::string describe(const FieldVector &fields) {
  std::ostringstream out;
  for (const Field &f : fields) {
    out << f.name << "=" << f.text << "|" << f.active << "|" << f.int_value << "|" << f.int_value2
        << "|" << f.uint_value << "|" << f.long_value << "|" << f.double_value << "|"
        << f.string_list.join(';') << "|" << f.ip_ranges.ranges().size() << "|"
        << f.port_ranges.ranges().size() << "\n";
  }
  return out.str();
}

std::string describe(const Section &section) {
  SectionReadLock held(section);
  std::string out = describe(section.globals);
  for (const Subsection &sub : section.subsections)
    for (const Item &item : sub.items) out += "[" + sub.name + "]\n" + describe(item.fields);
  return out;
}

std::vector<int> ids_of(const Section &section) {
  std::vector<int> ids;
  for (const Subsection &sub : section.subsections)
    for (const Item &item : sub.items) ids.push_back(item.id_get());
  return ids;
}

class ConfigDocument : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(schema_load(fixture("schema.xml"), &error)) << error;
    alpha = std::make_unique<CountingSection>(ALPHA_SPEC);
    beta = std::make_unique<CountingSection>(BETA_SPEC);
    char folder[] = "/tmp/qm-config-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir = folder;
  }
  void TearDown() override {
    config_url_fetch = nullptr;
    alpha.reset();
    beta.reset();
    fs::remove_all(dir);
  }
  std::string temp(const std::string &name) const { return dir + "/" + name; }
  const Subsection &rules() const { return alpha->subsections[ALPHA_SUB_RULE]; }

  std::unique_ptr<CountingSection> alpha, beta;
  std::string dir;
};

TEST_F(ConfigDocument, LoadsEveryFieldType) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  EXPECT_EQ(alpha->updates, 1);
  EXPECT_EQ(beta->updates, 1);
  const FieldVector &g = alpha->globals;
  EXPECT_EQ(g[ALPHA_SWITCH].int_value, 0);
  EXPECT_EQ(g[ALPHA_COUNT].int_value, -42);
  EXPECT_EQ(g[ALPHA_LIMIT].uint_value, 4294967295u);
  EXPECT_EQ(g[ALPHA_LABEL].text, "  spaced label");
  EXPECT_EQ(g[ALPHA_MODE].int_value, 2);
  EXPECT_TRUE(g[ALPHA_MODE].options[2].selected);
  EXPECT_FALSE(g[ALPHA_MODE].options[1].selected) << "the schema's default choice is replaced";
  EXPECT_EQ(g[ALPHA_PROTOCOLS].int_value, 0b101);
  EXPECT_EQ(g[ALPHA_PROTOCOLS].string_list.size(), 3u);
  EXPECT_EQ(g[ALPHA_HOSTS].string_list, (StringList{"x", "", "y"}));
  EXPECT_TRUE(g[ALPHA_CLIENTS].ip_ranges.has(std::string_view("10.0.0.77")));
  EXPECT_TRUE(g[ALPHA_CLIENTS].ip_ranges.has(std::string_view("192.168.1.7")));
  EXPECT_FALSE(g[ALPHA_CLIENTS].ip_ranges.has(std::string_view("192.168.1.8")));
  EXPECT_TRUE(g[ALPHA_PORTS].port_ranges.has(8042));
  EXPECT_FALSE(g[ALPHA_PORTS].port_ranges.has(443));
  EXPECT_EQ(g[ALPHA_SPAN].int_value, 0);
  EXPECT_EQ(g[ALPHA_SPAN].int_value2, 2);
  EXPECT_EQ(g[ALPHA_WINDOW].int_value, 2);
  EXPECT_EQ(g[ALPHA_WINDOW].int_value2, 9);
  EXPECT_EQ(g[ALPHA_SIZE].uint_value, 2097152u);
  EXPECT_EQ(g[ALPHA_NOTES].text, "line one\nline two");
  EXPECT_EQ(g[ALPHA_QUOTA].long_value, 8589934592ull);
  EXPECT_EQ(g[ALPHA_RATIO].double_value, 0.25);
  EXPECT_FALSE(g[ALPHA_PROXY].active);
  EXPECT_EQ(g[ALPHA_PROXY].text, "parent.example:3128");
  EXPECT_EQ(g[ALPHA_SECRET].text, "keep") << "a disabled field keeps its default";

  ASSERT_EQ(rules().items.size(), 2u);
  const FieldVector &first = rules().items[0].fields;
  EXPECT_EQ(first[RULE_COMMENT].text, "first");
  EXPECT_EQ(first[RULE_ENABLED].int_value, 1);
  EXPECT_TRUE(first[RULE_HOST].active);
  EXPECT_EQ(first[RULE_HOST].text, "a.example");
  EXPECT_EQ(first[RULE_PORT].uint_value, 8080u);
  const FieldVector &second = rules().items[1].fields;
  EXPECT_EQ(second[RULE_COMMENT].text, "second");
  EXPECT_EQ(second[RULE_ENABLED].int_value, 0);
  EXPECT_FALSE(second[RULE_HOST].active) << "a missing optional element is skipped";
  EXPECT_EQ(second[RULE_PORT].uint_value, 21u);
  const Subsection &hidden = alpha->subsections[ALPHA_SUB_HIDDEN];
  EXPECT_FALSE(hidden.enabled);
  ASSERT_EQ(hidden.items.size(), 1u) << "items of a disabled subsection still load";
  EXPECT_FALSE(hidden.items[0].fields[RULE_HOST].active);
  EXPECT_EQ(hidden.items[0].fields[RULE_HOST].text, "h.example");

  EXPECT_EQ(beta->globals[0].int_value, 1);
  ASSERT_EQ(beta->subsections[0].items.size(), 1u);
  EXPECT_EQ(beta->subsections[0].items[0].fields[ENTRY_PORT].uint_value, 443u);
}

TEST_F(ConfigDocument, SaveThenLoadReproducesTheConfiguration) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  const std::string alpha_before = describe(*alpha), beta_before = describe(*beta);
  const std::vector<int> ids_before = ids_of(*alpha);
  const std::string saved = temp("saved.xml");
  ASSERT_TRUE(config_save(saved));

  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.LoadFile(saved.c_str()), tinyxml2::XML_SUCCESS);
  const tinyxml2::XMLElement *root = doc.FirstChildElement("quillmoss");
  ASSERT_NE(root, nullptr);
  const tinyxml2::XMLElement *kept = root->FirstChildElement("keepme");
  ASSERT_NE(kept, nullptr) << "elements naming no section survive a save";
  EXPECT_STREQ(kept->Attribute("kind"), "unknown");
  EXPECT_STREQ(kept->FirstChildElement("inner")->GetText(), "kept through a save");
  const tinyxml2::XMLElement *own = root->FirstChildElement("alpha");
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->FirstChildElement("stray"), nullptr) << "non-field children are dropped";
  const tinyxml2::XMLElement *proxy = own->FirstChildElement("proxy");
  ASSERT_NE(proxy, nullptr);
  EXPECT_STREQ(proxy->Attribute("active"), "false");
  EXPECT_STREQ(proxy->GetText(), "parent.example:3128");
  EXPECT_STREQ(own->FirstChildElement("secret")->GetText(), "keep");
  EXPECT_EQ(own->FirstChildElement("label")->Attribute("active"), nullptr);
  // Globals in schema order, then the items subsection by subsection.
  std::vector<std::string> order;
  for (const tinyxml2::XMLElement *e = own->FirstChildElement(); e; e = e->NextSiblingElement())
    order.push_back(e->Name());
  ASSERT_EQ(order.size(), 17u + 3u);
  EXPECT_EQ(order.front(), "switch");
  EXPECT_EQ(order[16], "secret");
  EXPECT_EQ(std::vector<std::string>(order.begin() + 17, order.end()),
            (std::vector<std::string>{"rule", "rule", "hidden"}));

  ASSERT_EQ(config_load(1, saved), 1);
  EXPECT_EQ(describe(*alpha), alpha_before);
  EXPECT_EQ(describe(*beta), beta_before);
  for (int id : ids_of(*alpha))
    EXPECT_EQ(std::count(ids_before.begin(), ids_before.end(), id), 0) << "reload gives new ids";
}

TEST_F(ConfigDocument, AppendingAndReplacingItems) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  ASSERT_EQ(config_load(0, fixture("document.xml")), 1);
  ASSERT_EQ(rules().items.size(), 4u) << "appending the same file doubles the items";
  std::vector<std::string> comments;
  for (const Item &item : rules().items) comments.push_back(item.fields[RULE_COMMENT].text);
  EXPECT_EQ(comments, (std::vector<std::string>{"first", "second", "first", "second"}));
  EXPECT_EQ(beta->subsections[0].items.size(), 2u);
  EXPECT_EQ(alpha->globals[ALPHA_COUNT].int_value, -42);

  ASSERT_EQ(config_load(3, fixture("document.xml")), 1);
  EXPECT_EQ(rules().items.size(), 2u);
  EXPECT_EQ(alpha->updates, 3);
}

TEST_F(ConfigDocument, SectionWithoutElementKeepsItsSettings) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  const std::string beta_before = describe(*beta);
  ASSERT_EQ(config_load(1, fixture("alpha_only.xml")), 1);
  EXPECT_EQ(describe(*beta), beta_before);
  EXPECT_EQ(beta->updates, 1) << "a section that was not loaded is not updated";
  EXPECT_EQ(alpha->updates, 2);
  ASSERT_EQ(rules().items.size(), 1u);
  EXPECT_EQ(rules().items[0].fields[RULE_COMMENT].text, "only");
  EXPECT_TRUE(alpha->subsections[ALPHA_SUB_HIDDEN].items.empty());
  EXPECT_EQ(alpha->globals[ALPHA_COUNT].int_value, 3);
  EXPECT_EQ(alpha->globals[ALPHA_PROXY].text, "parent.example:3128")
      << "an optional field without element keeps its value";
}

TEST_F(ConfigDocument, BadValueLeavesTheConfigurationInForce) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  const std::string alpha_before = describe(*alpha), beta_before = describe(*beta);
  // alpha (first in name order) is valid; beta's port "-1" would wrap.
  EXPECT_EQ(config_load(1, fixture("bad_beta.xml")), 0);
  EXPECT_EQ(describe(*alpha), alpha_before);
  EXPECT_EQ(describe(*beta), beta_before);
  EXPECT_EQ(alpha->updates, 1);
  EXPECT_EQ(beta->updates, 1);

  // The document in force is still the old one.
  const std::string saved = temp("after-failure.xml");
  ASSERT_TRUE(config_save(saved));
  const std::string text = read_file(saved);
  EXPECT_NE(text.find("<keepme"), std::string::npos);
  EXPECT_EQ(text.find("<other"), std::string::npos);

  tinyxml2::XMLDocument flawed;
  ASSERT_EQ(flawed.Parse("<quillmoss><alpha><switch>yes</switch></alpha></quillmoss>"),
            tinyxml2::XML_SUCCESS);
  std::string error;
  EXPECT_FALSE(alpha->load(flawed, 1, &error));
  EXPECT_EQ(error,
            "flawed XML file, section alpha, element : switch must be true or false, but it is "
            "given value yes");
  EXPECT_EQ(describe(*alpha), alpha_before);
}

TEST_F(ConfigDocument, StartupLoadReportsTheFlawedValue) {
  std::string error;
  EXPECT_FALSE(config_load_startup(fixture("bad_beta.xml"), &error));
  EXPECT_EQ(error,
            "flawed XML file, section beta, element entry: port must be a positive integer, but "
            "it is given value -1");
  EXPECT_EQ(alpha->updates, 0);
  EXPECT_EQ(alpha->globals[ALPHA_LABEL].text, "hello");

  EXPECT_FALSE(config_load_startup(temp("missing.xml"), &error));
  EXPECT_NE(error.find("missing.xml"), std::string::npos);

  error.clear();
  EXPECT_TRUE(config_load_startup(fixture("document.xml"), &error)) << error;
  EXPECT_EQ(alpha->updates, 1);
  EXPECT_EQ(rules().items.size(), 2u);
}

TEST_F(ConfigDocument, UnreadableDocumentsChangeNothing) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  const std::string before = describe(*alpha);
  struct Case {
    const char *name;
    const char *content;  // null: no file
  } cases[] = {
      {"absent.xml", nullptr},
      {"empty.xml", ""},
      {"truncated.xml", "<quillmoss><alpha><count>1</count>"},
      {"other-root.xml", "<config><alpha><count>1</count></alpha></config>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.content) write_file(temp(c.name), c.content);
    EXPECT_EQ(config_load(1, temp(c.name)), 0);
    EXPECT_EQ(describe(*alpha), before);
  }
  EXPECT_EQ(alpha->updates, 1);
}

TEST(ConfigPath, UrlOrFile) {
  struct Case {
    const char *path;
    bool url;
  } cases[] = {
      {"/etc/quillmoss/quillmoss.xml", false},
      {"quillmoss.xml", false},
      {"/etc/quillmoss.xml:", false},
      {"::/etc/quillmoss.xml::", false},
      {"", false},
      {"http://127.0.0.1/config.xml", true},
      {"http:127.0.0.1", true},
      {"/etc/odd:name.xml", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(config_path_is_url(c.path), c.url);
  }
}

// What the fake HTTP client serves and saw.
struct FakeFetch {
  static inline std::string body;
  static inline bool answer = true;
  static inline std::vector<std::string> urls;
  static bool fetch(const std::string &url, std::string *out) {
    urls.push_back(url);
    if (answer) *out = body;
    return answer;
  }
};

TEST_F(ConfigDocument, UrlLoadsGoThroughTheHttpClient) {
  const std::string url = "http://127.0.0.1:3128/config.xml";
  config_url_fetch = nullptr;
  EXPECT_EQ(config_load(1, url), 0) << "without an HTTP client a URL loads nothing";
  EXPECT_EQ(alpha->updates, 0);

  FakeFetch::urls.clear();
  FakeFetch::body = read_file(fixture("document.xml"));
  FakeFetch::answer = true;
  config_url_fetch = &FakeFetch::fetch;
  EXPECT_EQ(config_load(1, url), 1);
  EXPECT_EQ(FakeFetch::urls, std::vector<std::string>{url});
  EXPECT_EQ(alpha->updates, 1);
  EXPECT_EQ(alpha->globals[ALPHA_COUNT].int_value, -42);

  FakeFetch::answer = false;  // no 200 answer
  EXPECT_EQ(config_url_load(url, 1), 0);
  FakeFetch::answer = true;
  FakeFetch::body = read_file(fixture("bad_beta.xml"));
  EXPECT_EQ(config_url_load(url, 1), 0);
  FakeFetch::body = "not xml";
  EXPECT_EQ(config_url_load(url, 1), 0);
  EXPECT_EQ(alpha->updates, 1);

  FakeFetch::urls.clear();
  std::string long_url = "http://127.0.0.1/" + std::string(CONFIG_URL_MAX, 'a');
  EXPECT_EQ(config_load(1, long_url), 0);
  EXPECT_TRUE(FakeFetch::urls.empty()) << "a URL past the limit is not fetched in part";
}

TEST_F(ConfigDocument, FailedSaveLeavesTheOldFile) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  const std::string target = temp("quillmoss.xml");
  write_file(target, "old contents");

  // A file size limit makes the temporary file's write fail part way, also for root.
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  struct rlimit saved_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
  struct rlimit small = saved_limit;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool saved = config_save(target);
  setrlimit(RLIMIT_FSIZE, &saved_limit);
  sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_FALSE(saved);
  EXPECT_EQ(read_file(target), "old contents");
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"quillmoss.xml"}) << "the temporary file is removed";

  EXPECT_FALSE(config_save(temp("no-such-folder/quillmoss.xml")));
  fs::create_directory(temp("a-folder"));
  EXPECT_FALSE(config_save(temp("a-folder")));
  EXPECT_TRUE(fs::is_directory(temp("a-folder")));

  chmod(target.c_str(), 0600);
  ASSERT_TRUE(config_save(target));
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "the saved file keeps the old file's mode";
  EXPECT_NE(read_file(target).find("<alpha>"), std::string::npos);
}

TEST_F(ConfigDocument, SaveBeforeAnyLoadWritesEverySection) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a fresh process no document was ever loaded.
  const std::string target = temp("first.xml");
  auto check = [&] {
    if (!config_save(target)) return 2;
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(target.c_str()) != tinyxml2::XML_SUCCESS) return 3;
    const tinyxml2::XMLElement *root = doc.FirstChildElement("quillmoss");
    if (!root || !root->FirstChildElement("alpha") || !root->FirstChildElement("beta")) return 4;
    return 0;
  };
  EXPECT_EXIT(
      {
        int status = check();
        fs::remove_all(dir);  // the child's own folder: its TearDown never runs
        std::exit(status);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(ConfigDocument, ReadersSeeEachSectionChangeAtOnce) {
  ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop) {
      SectionReadLock held(*alpha);
      if (rules().items.size() != 2 || alpha->globals[ALPHA_COUNT].int_value != -42) ++torn;
    }
  });
  for (int i = 0; i < 50; ++i) ASSERT_EQ(config_load(1, fixture("document.xml")), 1);
  stop = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

TEST(XmlElementTest, ReadsDocumentElements) {
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse(R"(<quillmoss>
      <s>
        <a active="TRUE">x</a><b active="false">y</b><c active="False"/><d>z</d>
        <e active="yes">w</e><f></f><d>second</d>
        <item><v>1</v></item><other/><item><v>2</v></item><item><v>3</v></item>
      </s>
    </quillmoss>)"),
            tinyxml2::XML_SUCCESS);
  XmlElement own(doc, "s");
  EXPECT_TRUE(own.full());
  EXPECT_EQ(own.section_get(), "s");
  EXPECT_EQ(own.element_get(), "");
  struct Active {
    const char *name;
    int expected;  // -1: ConfigError
  } actives[] = {{"a", 1}, {"b", 0}, {"c", 0}, {"d", 1}, {"e", -1}, {"missing", -1}};
  for (const auto &a : actives) {
    SCOPED_TRACE(a.name);
    if (a.expected < 0) EXPECT_THROW(own.check_active(a.name), ConfigError);
    else EXPECT_EQ(own.check_active(a.name), a.expected == 1);
  }
  EXPECT_EQ(own.string_read("a"), "x");
  EXPECT_EQ(own.string_read("d"), "z") << "the first element of a name is the field";
  EXPECT_EQ(own.string_read("f"), "");
  EXPECT_EQ(own.string_read("missing"), "");

  std::vector<std::string> values;
  for (XmlElement item(doc, "s", "item"); item.full(); item.next())
    values.push_back(item.string_read("v"));
  EXPECT_EQ(values, (std::vector<std::string>{"1", "2", "3"}));
  XmlElement none(doc, "s", "nothing");
  EXPECT_FALSE(none.full());
  EXPECT_FALSE(none.next());

  EXPECT_THROW(XmlElement(doc, "t"), ConfigError);
  EXPECT_THROW(XmlElement(doc, "t", "item"), ConfigError);
  tinyxml2::XMLDocument other;
  ASSERT_EQ(other.Parse("<config><s/></config>"), tinyxml2::XML_SUCCESS);
  EXPECT_THROW(section_select(other, "s"), ConfigError);
}

TEST(SchemaLoad, ReportsParserErrors) {
  std::string error;
  EXPECT_FALSE(schema_load("/nonexistent/section.xml", &error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(schema_load_text("<section><alpha>", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
