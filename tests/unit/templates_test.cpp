// Templates: variable substitution, the built-in pages, rules over the real schema, and
// complete responses read back from a socket pair.
#include "templates.h"

#include <gtest/gtest.h>

#include "testutil.h"
#include <sys/socket.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "header.h"
#include "network.h"
#include "socket.h"
#include "xml.h"

namespace fs = std::filesystem;

namespace {

std::string parsed(TemplateVariables &variables, std::string_view text, bool html) {
  Filebuf buffer;
  buffer.Add(text);
  variables_parse(variables, buffer, html);
  return std::string(buffer.view());
}

// ---- variables_parse --------------------------------------------------------------------

TEST(VariablesParse, Substitution) {
  const std::string name62(62, 'N');
  const std::string name63(63, 'N');
  struct Case {
    const char *what;
    std::string text;
    bool html;
    std::string expected;
  };
  const Case cases[] = {
      {"plain text", "no references here", true, "no references here"},
      {"double @", "a@@b", true, "a@b"},
      {"only @@", "@@", true, "@"},
      {"reference", "[@HOST@]", true, "[example.org]"},
      {"adjacent references", "@HOST@@PORT@", true, "example.org8080"},
      {"reference then @@", "@PORT@@@", true, "8080@"},
      {"html escaping", "<p>@EVIL@</p>", true,
       "<p>&lt;script&gt;alert(&quot;x&quot; &amp; &#39;y&#39;)&lt;/script&gt;</p>"},
      {"no escaping outside html", "@EVIL@", false, "<script>alert(\"x\" & 'y')</script>"},
      {"values are not scanned again", "@NESTED@", true, "@HOST@"},
      {"empty value", "(@EMPTY@)", true, "()"},
      {"unknown name", "(@MISSING@)", true, "()"},
      {"lone @ in text", "mail me@home now", true, "mail me@home now"},
      {"lone @ at the end", "trailing @", true, "trailing @"},
      {"lone @ alone", "@", true, "@"},
      {"lone @ then a reference beyond the window",
       "@" + std::string(70, 'a') + "@HOST@", true, "@" + std::string(70, 'a') + "example.org"},
      {"longest name that fits the window", "<@" + name62 + "@>", true, "<long>"},
      {"name one byte too long", "<@" + name63 + "@>", true, "<@" + name63 + "@>"},
      {"bytes around references survive", std::string("a\0@PORT@\xff", 9), true,
       std::string("a\0008080\xff", 7)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TemplateVariables v = {{"HOST", "example.org"},
                           {"PORT", "8080"},
                           {"EVIL", "<script>alert(\"x\" & 'y')</script>"},
                           {"NESTED", "@HOST@"},
                           {"EMPTY", ""},
                           {name62, "long"}};
    EXPECT_EQ(parsed(v, c.text, c.html), c.expected);
  }
}

TEST(VariablesParse, LookupAddsUnknownNamesOnly) {
  TemplateVariables v = {{"HOST", "h"}};
  EXPECT_EQ(parsed(v, "@URL@ @HOST@ @@ me@home", true), " h @ me@home");
  EXPECT_EQ(v, (TemplateVariables{{"HOST", "h"}, {"URL", ""}}))
      << "an unset reference exists afterwards with an empty value; lone @ and @@ add nothing";
}

// Values come from requests and may be large; a page never grows past TEMPLATE_PAGE_MAX.
TEST(VariablesParse, OutputIsBounded) {
  const std::size_t mib = 1u << 20;
  static_assert(TEMPLATE_PAGE_MAX % (1u << 20) == 0);
  TemplateVariables v = {{"V", std::string(mib, 'v')}};
  std::string text;
  for (std::size_t k = 0; k < TEMPLATE_PAGE_MAX / mib + 4; ++k) text += "@V@";
  const std::string page = parsed(v, text, true);
  EXPECT_EQ(page.size(), TEMPLATE_PAGE_MAX);
  EXPECT_EQ(page.find_first_not_of('v'), std::string::npos);
}

TEST(TemplateCodes, ErrorToTemplate) {
  const std::pair<int, const char *> cases[] = {
      {-4, "badauth"}, {-3, "nodns"}, {-2, "noconnect"}, {-1, "unknown"},
      {-5, "unknown"}, {0, "unknown"}, {1, "unknown"},
  };
  for (const auto &[code, name] : cases) EXPECT_STREQ(error_to_template(code), name) << code;
}

TEST(TemplateCodes, CodeToError) {
  const std::pair<int, const char *> cases[] = {
      {200, "OK"},
      {204, "No Content"},
      {301, "Document Moved"},
      {302, "Found"},
      {304, "Not Modified"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {407, "Proxy Authentication Required"},
      {500, "Internal Error"},
      {501, "Not Implemented"},
      {502, "Service Temporarily Unavailable"},
      {503, "Connection Failed"},
      {530, "Login incorrect"},
      {201, "Unknown"},
      {-1, "Unknown"},
  };
  for (const auto &[status, phrase] : cases) EXPECT_STREQ(code_to_error(status), phrase) << status;
}

// ---- built-in pages ---------------------------------------------------------------------

struct Dialog {
  const char *name;
  const char *title;
  std::set<std::string> variables;
};
const Dialog DIALOGS[] = {
    {"unknown", "Error", {}},
    {"badrequest", "Bad Request", {}},
    {"badresponse", "Bad Response", {}},
    {"nodns", "DNS Lookup failed", {"HTTP_HOST"}},
    {"nofile", "File not found", {"HTTP_FILE"}},
    {"nocache", "Cache file not found", {"URL"}},
    {"noconnect", "Connection failed", {"HTTP_HOST", "HTTP_PORT"}},
    {"blocked", "Page Blocked", {"URL"}},
    {"blacklisted", "Page blacklisted", {"URL", "CATEGORY"}},
    {"virus", "Virus", {"AVSCANNER", "VIRUSNAME", "URL"}},
    {"badprotocol", "Protocol not implemented", {}},
    {"noaccess", "Access denied", {}},
    {"badauth", "Authentication Required for ://:",
     {"HTTP_PROTO", "HTTP_HOST", "HTTP_PORT", "HTTP_FILE"}},
    {"downloadlimit", "Download transfer limit exceeded", {"DOWNLOADLIMIT"}},
    {"uploadlimit", "Upload transfer limit exceeded", {"UPLOADLIMIT"}},
    {"maxrequests", "Request limit exceeded", {}},
    {"imgfilter", "Possible pornographic image", {"IMAGESCORE", "IMAGETHRESHOLD"}},
    {"downloading", "Download in progress", {"URL", "TRANSFERRED", "SIZE"}},
};

// Every reference of a dialog names a variable the pipeline sets for it, and nothing else:
// a misspelt name would leave a hole in the page.
TEST(BuiltinPages, DialogsReferenceTheirVariables) {
  for (const Dialog &d : DIALOGS) {
    SCOPED_TRACE(d.name);
    const BuiltinTemplate *t = template_builtin_find(d.name);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->mime_type, "text/html");
    EXPECT_TRUE(t->parse);
    EXPECT_TRUE(t->html);
    TemplateVariables v;
    const std::string page = parsed(v, t->text, true);
    std::set<std::string> used;
    for (const auto &[name, value] : v) used.insert(name);
    EXPECT_EQ(used, d.variables);
    EXPECT_NE(page.find(std::string("<title>") + d.title + "</title></head><BODY>"),
              std::string::npos);
    EXPECT_NE(page.find("class=\"header\""), std::string::npos);
    EXPECT_NE(page.find("/template/logo"), std::string::npos);
    EXPECT_NE(page.find("class=\"centerdialog\""), std::string::npos);
    EXPECT_NE(page.find("</body></html>"), std::string::npos);
  }
}

TEST(BuiltinPages, BadauthBuildsTheLoginUrl) {
  TemplateVariables v;
  const std::string page = parsed(v, template_builtin_find("badauth")->text, true);
  EXPECT_NE(page.find("+ \"@\" + form.host.value"), std::string::npos)
      << "\"@@\" in the script must leave one \"@\" between password and host";
  EXPECT_NE(page.find("will not be stored on the proxy's servers"), std::string::npos);
  EXPECT_NE(page.find("value=\"Connect to ://:\""), std::string::npos);
}

TEST(BuiltinPages, OtherTemplates) {
  struct Other {
    const char *name;
    const char *mime_type;
    bool parse;
  };
  const Other others[] = {
      {"proxy.pac", "application/x-ns-proxy-autoconfig", true},
      {"htmlheader", "text/plain", true},
      {"interfacehead", "text/plain", true},
      {"interface.css", "text/plain", false},
      {"tooltip", "text/plain", false},
      {"tinygif", "image/gif", false},
      {"logo1", "image/gif", false},
      {"logo", "image/gif", false},
      {"checkeredgif", "image/gif", false},
      {"uparrow", "image/gif", false},
      {"downarrow", "image/gif", false},
      {"tinyswf", "application/x-shockwave", false},
      {"empty", "text/plain", false},
  };
  for (const Other &o : others) {
    SCOPED_TRACE(o.name);
    const BuiltinTemplate *t = template_builtin_find(o.name);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->mime_type, o.mime_type);
    EXPECT_EQ(t->parse, o.parse);
  }
  EXPECT_EQ(std::size(DIALOGS) + std::size(others), PAGES.size()) << "an unlisted built-in";

  TemplateVariables v = {{"INTERFACE", "10.0.0.1"}, {"PORT", "3128"}};
  EXPECT_EQ(parsed(v, template_builtin_find("proxy.pac")->text, false),
            "function FindProxyForURL(url, host) {\n   return \"PROXY 10.0.0.1:3128;DIRECT\"\n}\n");
  const std::string head = template_builtin_find("htmlheader")->text;
  EXPECT_EQ(head.rfind("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">", 0), 0u);
  EXPECT_NE(head.find("charset=utf-8"), std::string::npos);
  EXPECT_NE(head.find("<base href=\"http://quillmoss.cfg/\">"), std::string::npos);
  EXPECT_TRUE(template_builtin_find("empty")->text.empty());
  EXPECT_NE(template_builtin_find("tooltip")->text.find("function EnterContent("), std::string::npos);
  EXPECT_EQ(template_builtin_find("NoAccess"), template_builtin_find("noaccess"));
  EXPECT_EQ(template_builtin_find("no-such-page"), nullptr);
}

// A GIF decoder: the header, the colour table, every block and the LZW stream of the first
// image, which must yield exactly width x height pixels. Returns an explanation on failure.
std::string gif_check(const std::string &gif, int *width, int *height) {
  auto u8 = [&](std::size_t i) { return static_cast<unsigned char>(gif.at(i)); };
  auto u16 = [&](std::size_t i) { return u8(i) | (u8(i + 1) << 8); };
  if (gif.compare(0, 6, "GIF89a") != 0 && gif.compare(0, 6, "GIF87a") != 0) return "signature";
  *width = u16(6);
  *height = u16(8);
  std::size_t pos = 13;
  if (u8(10) & 0x80) pos += 3u * (2u << (u8(10) & 7));
  while (u8(pos) == 0x21) {  // extensions
    pos += 2;
    while (u8(pos) != 0) pos += 1 + u8(pos);
    ++pos;
  }
  if (u8(pos) != 0x2c) return "no image descriptor";
  const int w = u16(pos + 5), h = u16(pos + 7);
  if (u16(pos + 1) != 0 || u16(pos + 3) != 0 || w != *width || h != *height) return "frame size";
  const int flags = u8(pos + 9);
  pos += 10;
  if (flags & 0x80) pos += 3u * (2u << (flags & 7));
  const int min_code = u8(pos++);
  if (min_code < 2 || min_code > 8) return "code size";
  std::string data;
  while (u8(pos) != 0) {
    data += gif.substr(pos + 1, u8(pos));
    pos += 1 + u8(pos);
  }
  ++pos;
  if (pos != gif.size() - 1 || u8(pos) != 0x3b) return "trailer";

  const int clear = 1 << min_code, end = clear + 1;
  std::vector<std::string> table;
  auto reset = [&] {
    table.clear();
    for (int i = 0; i < clear + 2; ++i) table.push_back(std::string(1, char(i)));
  };
  reset();
  int size = min_code + 1;
  std::size_t bitpos = 0, pixels = 0;
  std::string prev;
  bool have_prev = false;
  for (;;) {
    if (bitpos + size > data.size() * 8) return "stream ends without end code";
    int code = 0;
    for (int b = 0; b < size; ++b, ++bitpos)
      code |= ((static_cast<unsigned char>(data[bitpos / 8]) >> (bitpos % 8)) & 1) << b;
    if (code == clear) {
      reset();
      size = min_code + 1;
      have_prev = false;
      continue;
    }
    if (code == end) break;
    std::string entry;
    if (!have_prev) {
      if (code >= clear) return "first code is not a colour";
      entry = table[code];
    } else if (code < static_cast<int>(table.size())) {
      entry = table[code];
      if (table.size() < 4096) table.push_back(prev + entry[0]);
    } else if (code == static_cast<int>(table.size())) {
      entry = prev + prev[0];
      table.push_back(entry);
    } else {
      return "code beyond the table";
    }
    pixels += entry.size();
    prev = entry;
    have_prev = true;
    if (static_cast<int>(table.size()) == (1 << size) && size < 12) ++size;
  }
  if (pixels != static_cast<std::size_t>(w) * h) return "pixel count";
  return "";
}

TEST(BuiltinPages, ImagesDecode) {
  const char *const gifs[] = {"tinygif", "logo1", "logo", "checkeredgif", "uparrow", "downarrow"};
  for (const char *name : gifs) {
    SCOPED_TRACE(name);
    int w = 0, h = 0;
    EXPECT_EQ(gif_check(template_builtin_find(name)->text, &w, &h), "");
    EXPECT_GT(w, 0);
    EXPECT_GT(h, 0);
  }
  EXPECT_EQ(template_builtin_find("tinygif")->text.size(), 43u);
  int w = 0, h = 0;
  gif_check(template_builtin_find("tinygif")->text, &w, &h);
  EXPECT_EQ(w * h, 1);

  const std::string swf = template_builtin_find("tinyswf")->text;
  ASSERT_GE(swf.size(), 8u);
  EXPECT_EQ(swf.substr(0, 3), "FWS");
  const std::uint32_t length = static_cast<unsigned char>(swf[4]) |
                               static_cast<unsigned char>(swf[5]) << 8 |
                               static_cast<unsigned char>(swf[6]) << 16 |
                               static_cast<std::uint32_t>(static_cast<unsigned char>(swf[7])) << 24;
  EXPECT_EQ(length, swf.size());
  EXPECT_EQ(swf.substr(swf.size() - 2), std::string("\0\0", 2)) << "ends with the End tag";
}

// ---- the section ------------------------------------------------------------------------


struct Rule {
  std::string name, file;
  std::string profiles = "";
  std::string mimetype = "text/html";
  int code = 200;
  bool enabled = true, suppress = false, parse = true;
};

std::string templates_document(const std::string &path, const std::vector<Rule> &rules) {
  std::string xml = "<quillmoss><templates><path>" + path + "</path>";
  for (const Rule &r : rules) {
    xml += "<template><enabled>" + std::string(r.enabled ? "true" : "false") +
           "</enabled><comment/><groups/><profiles>" + r.profiles + "</profiles><name>" +
           r.name + "</name><file>" + r.file + "</file><mimetype>" + r.mimetype +
           "</mimetype><code>" + std::to_string(r.code) + "</code><suppress>" +
           (r.suppress ? "true" : "false") + "</suppress><parse>" +
           (r.parse ? "true" : "false") + "</parse></template>";
  }
  return xml + "</templates></quillmoss>";
}

// One response as the client reads it.
struct Response {
  std::string status_line;
  std::map<std::string, std::string> headers;
  std::string body;
};

class TemplateSectionTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(schema_load(schema_path(), &error)) << error;
    section = std::make_unique<TemplateSection>();
    char folder[] = "/tmp/qm-templates-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir = folder;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn.client = std::make_unique<Socket>(fds[0]);
    peer = fds[1];
    conn.ip = "192.0.2.7";
  }
  void TearDown() override {
    if (peer >= 0) close(peer);
    fs::remove_all(dir);
  }

  void load(const std::string &path, const std::vector<Rule> &rules) {
    tinyxml2::XMLDocument doc;
    const std::string text = templates_document(path, rules);
    ASSERT_EQ(doc.Parse(text.c_str()), tinyxml2::XML_SUCCESS) << text;
    std::string error;
    ASSERT_TRUE(section->load(doc, 1, &error)) << error;
  }

  std::string write_file(const std::string &name, const std::string &content) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::string page_text(std::string_view name, int *status = nullptr) {
    std::optional<TemplatePage> page = section->get(&conn, name, status);
    return page ? std::string(page->body.view()) : "<none>";
  }

  // Closes the proxy's end and reads everything the client received.
  std::string received() {
    conn.client.reset();
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(peer, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
    return all;
  }

  static Response split(const std::string &raw) {
    Response r;
    const std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return r;
    std::size_t pos = raw.find("\r\n");
    r.status_line = raw.substr(0, pos);
    while (pos < end) {
      const std::size_t next = raw.find("\r\n", pos + 2);
      const std::string line = raw.substr(pos + 2, next - pos - 2);
      const std::size_t colon = line.find(": ");
      if (colon != std::string::npos) r.headers[line.substr(0, colon)] = line.substr(colon + 2);
      pos = next;
    }
    r.body = raw.substr(end + 4);
    return r;
  }

  std::unique_ptr<TemplateSection> section;
  std::string dir;
  CONNECTION_T conn;
  int peer = -1;
};

TEST_F(TemplateSectionTest, BuiltinHtmlPageIsWholeAndEscaped) {
  load("", {});
  conn.variables["URL"] = "http://x/<b>\"q\"";
  int status = 404;
  std::optional<TemplatePage> page = section->get(&conn, "blocked", &status);
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(status, 404) << "a built-in page stores no status";
  EXPECT_EQ(page->name, "blocked");
  EXPECT_EQ(page->mime_type, "text/html");
  const std::string body(page->body.view());
  EXPECT_EQ(body.rfind("<!DOCTYPE HTML PUBLIC", 0), 0u);
  const std::size_t style = body.find("<style type=\"text/css\">");
  const std::size_t title = body.find("<title>Page Blocked</title>");
  ASSERT_NE(style, std::string::npos);
  ASSERT_NE(title, std::string::npos);
  EXPECT_LT(style, title) << "head, then style sheet, then the page";
  EXPECT_NE(body.find("http://x/&lt;b&gt;&quot;q&quot; is blocked"), std::string::npos);
  EXPECT_EQ(body.find("<b>\"q\""), std::string::npos);

  page = section->get(&conn, "tinygif", &status);
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->body.view(), template_builtin_find("tinygif")->text) << "images come alone";
}

TEST_F(TemplateSectionTest, RulesChooseFilesButNeverReplaceBuiltins) {
  write_file("a.html", "staff page for @URL@");
  write_file("b.html", "everyone's page for @URL@");
  write_file("raw.txt", "kept @URL@ <as is>");
  write_file("plain.txt", "plain @URL@");
  write_file("own-noaccess.html", "not the built-in");
  load(dir, {
                {.name = "custom", .file = "disabled.html", .enabled = false},
                {.name = "custom", .file = "a.html", .profiles = "staff", .code = 403},
                {.name = "CUSTOM", .file = "b.html", .code = 451},
                {.name = "raw", .file = dir + "/raw.txt", .parse = false},
                {.name = "plain", .file = "plain.txt", .mimetype = ""},
                {.name = "noaccess", .file = "own-noaccess.html"},
            });
  conn.variables["URL"] = "<u>";

  int status = -1;
  EXPECT_EQ(page_text("custom", &status), "everyone's page for &lt;u&gt;");
  EXPECT_EQ(status, 451) << "the first rule needs profile staff; the disabled one is skipped";
  conn.profiles = {"staff"};
  EXPECT_EQ(page_text("Custom", &status), "staff page for &lt;u&gt;");
  EXPECT_EQ(status, 403);

  EXPECT_EQ(page_text("raw"), "kept @URL@ <as is>") << "absolute file, no substitution";
  std::optional<TemplatePage> plain = section->get(&conn, "plain", nullptr);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->mime_type, "text/plain");
  EXPECT_EQ(plain->body.view(), "plain <u>") << "no HTML escaping outside HTML";

  status = 200;
  const std::string noaccess = page_text("noaccess", &status);
  EXPECT_NE(noaccess.find("<title>Access denied</title>"), std::string::npos);
  EXPECT_EQ(noaccess.find("not the built-in"), std::string::npos);
  EXPECT_EQ(status, 200);
}

TEST_F(TemplateSectionTest, RelativeFileWithoutPathIsReadFromTheWorkingDirectory) {
  write_file("here.txt", "from the working directory");
  load("", {{.name = "here", .file = "here.txt", .mimetype = "text/plain"}});
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  const std::string text = page_text("here");
  fs::current_path(before);
  EXPECT_EQ(text, "from the working directory");
}

TEST_F(TemplateSectionTest, UnreadableFilesGiveNoPage) {
  write_file("limit.txt", std::string(TEMPLATE_FILE_MAX, 'x'));
  write_file("big.txt", std::string(TEMPLATE_FILE_MAX + 1, 'x'));
  load(dir, {{.name = "missing", .file = "nothere.html"},
             {.name = "big", .file = "big.txt"},
             {.name = "limit", .file = "limit.txt", .parse = false},
             {.name = "gone", .file = "x.html", .suppress = true}});
  int status = 7;
  EXPECT_EQ(page_text("missing", &status), "<none>");
  EXPECT_EQ(status, 7) << "no page, no status";
  EXPECT_EQ(page_text("big"), "<none>");
  EXPECT_EQ(page_text("limit").size(), TEMPLATE_FILE_MAX);
  EXPECT_EQ(page_text("gone", &status), "<none>");
  EXPECT_EQ(status, 200) << "the suppressing rule's code";
  EXPECT_EQ(page_text("neither-built-in-nor-configured"), "<none>");
  Filebuf out;
  EXPECT_FALSE(section->insert(&conn, &out, "missing"));
  EXPECT_TRUE(section->insert(&conn, &out, "interface.css"));
  EXPECT_EQ(out.view(), template_builtin_find("interface.css")->text);
}

// ---- send ---------------------------------------------------------------------------------

TEST_F(TemplateSectionTest, SendWritesAWholeResponse) {
  load("", {});
  conn.variables["UPLOADLIMIT"] = "12345";
  auto previous = header_new();
  HEADER *previous_ptr = previous.get();
  conn.rheader = std::move(previous);

  ASSERT_TRUE(section->send("uploadlimit", &conn, 200));
  EXPECT_EQ(conn.rheader.get(), previous_ptr) << "the response head is given back";
  Response r = split(received());
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.headers.at("X-Template"), "uploadlimit");
  EXPECT_EQ(r.headers.at("Cache-Control"), "no-cache");
  EXPECT_EQ(r.headers.at("Content-Type"), "text/html");
  EXPECT_EQ(r.headers.at("Content-Length"), std::to_string(r.body.size()));
  EXPECT_NE(r.body.find("You have exceeded your upload limit of 12345 bytes"), std::string::npos);
  EXPECT_EQ(r.body.rfind("<!DOCTYPE", 0), 0u);
}

TEST_F(TemplateSectionTest, SendStatusAndFallbacks) {
  write_file("teapot.html", "short and stout");
  load(dir, {{.name = "teapot", .file = "teapot.html", .code = 418},
             {.name = "broken", .file = "missing.html", .code = 299},
             {.name = "quiet", .file = "x", .code = 403, .suppress = true},
             {.name = "badcode", .file = "teapot.html", .code = 42}});
  struct Case {
    const char *name;
    int status;
    const char *status_line;
    const char *x_template;
    const char *body_has;  // null: empty body
  };
  const Case cases[] = {
      {"teapot", 200, "HTTP/1.1 418 Unknown", "teapot", "short and stout"},
      {"no-such-template", 403, "HTTP/1.1 403 Forbidden", "unknown", "<title>Error</title>"},
      {"broken", 503, "HTTP/1.1 503 Connection Failed", "unknown", "<title>Error</title>"},
      {"quiet", 200, "HTTP/1.1 403 Forbidden", "quiet", nullptr},
      {"badcode", 200, "HTTP/1.1 500 Internal Error", "badcode", "short and stout"},
      {"nofile", 0, "HTTP/1.1 500 Internal Error", "nofile", "not found"},
      {"tinygif", 200, "HTTP/1.1 200 OK", "tinygif", "GIF89a"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(peer);
    conn.client = std::make_unique<Socket>(fds[0]);
    peer = fds[1];
    ASSERT_TRUE(section->send(c.name, &conn, c.status));
    Response r = split(received());
    EXPECT_EQ(r.status_line, c.status_line);
    EXPECT_EQ(r.headers["X-Template"], c.x_template);
    EXPECT_EQ(r.headers["Cache-Control"], "no-cache");
    EXPECT_EQ(r.headers["Content-Length"], std::to_string(r.body.size()));
    if (c.body_has)
      EXPECT_NE(r.body.find(c.body_has), std::string::npos);
    else
      EXPECT_TRUE(r.body.empty());
  }
}

TEST_F(TemplateSectionTest, SendHeadAndConnectionClose) {
  load("", {});
  conn.flags |= CONN_HEAD;
  conn.keepalive_client = 0;
  ASSERT_TRUE(section->send("tinygif", &conn, 200));
  Response r = split(received());
  EXPECT_EQ(r.headers["Content-Type"], "image/gif");
  EXPECT_EQ(r.headers["Content-Length"], "43") << "the length of the page a GET would get";
  EXPECT_EQ(r.headers["Connection"], "close");
  EXPECT_TRUE(r.body.empty()) << "a HEAD request gets no body";
}

TEST_F(TemplateSectionTest, SendNothingToAGoneClient) {
  load("", {});
  conn.flags |= CONN_CLIENT_GONE;
  EXPECT_FALSE(section->send("blocked", &conn, 200));
  conn.flags = 0;
  conn.client->error = true;
  EXPECT_FALSE(section->send("blocked", &conn, 200));
  EXPECT_EQ(received(), "");
  EXPECT_FALSE(section->send("blocked", &conn, 200)) << "no client socket";
  EXPECT_FALSE(section->send("blocked", nullptr, 200));
}

}  // namespace
