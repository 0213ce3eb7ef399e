#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hstream.h"
#include "log.h"

namespace {

// Compact form of a tree: tag names, texts in double quotes, "?" for markup without a name,
// children in brackets.
std::string shape(const HTMLStream &s) {
  std::string out;
  const htmlstream_node *n = s.root();
  while (n) {
    if (!out.empty() && out.back() != '[') out += ' ';
    if (n->tag) out += n->tag->name;
    else if (n->text) out += '"' + *n->text + '"';
    else out += '?';
    if (n->child) {
      out += '[';
      n = n->child;
      continue;
    }
    while (n && !n->next) {
      n = n->parent;
      if (n) out += ']';
    }
    if (n) n = n->next;
  }
  return out;
}

// Checks that every link agrees with its reverse and that the walk reaches every node;
// returns the deepest level, or -1 when a link is broken.
int check_links(const HTMLStream &s) {
  const htmlstream_node *n = s.root();
  if (n && (n->parent || n->previous)) return -1;
  std::size_t seen = 0;
  int level = 0, deepest = 0;
  while (n) {
    ++seen;
    deepest = std::max(deepest, level);
    if (n->depth < 0 || n->depth > HTMLSTREAM_NESTING_LIMIT) return -1;
    if (n->next && (n->next->previous != n || n->next->parent != n->parent)) return -1;
    if (n->child && (n->child->parent != n || n->child->previous)) return -1;
    if (n->child) {
      n = n->child;
      ++level;
      continue;
    }
    while (n && !n->next) {
      n = n->parent;
      --level;
    }
    if (n) n = n->next;
  }
  return seen == s.node_count() ? deepest : -1;
}

std::string parse_whole(const std::string &html) {
  HTMLStream s;
  EXPECT_EQ(s.Add(html.data(), html.size()), html.size());
  EXPECT_EQ(s.Add(nullptr, 0), html.size());
  EXPECT_GE(check_links(s), 0) << html;
  return shape(s);
}

class HtmlStreamLog : public ::testing::Test {
 protected:
  void SetUp() override { log_buffer = &lines_; }
  void TearDown() override { log_buffer = nullptr; }
  int count_logged(const std::string &fragment) const {
    int n = 0;
    for (const auto &l : lines_.lines()) n += l.find(fragment) != std::string::npos;
    return n;
  }
  LogBuffer lines_{50};
};

// ---- tag parsing --------------------------------------------------------------------------

struct TagCase {
  std::string text;
  const char *name;  // null: no tag
  std::vector<std::pair<std::string, std::string>> attributes;
};

TEST(HtmlTagParse, NamesAndAttributes) {
  const TagCase cases[] = {
      {"<a href=\"x y\" target=_blank>", "a", {{"href", "x y"}, {"target", "_blank"}}},
      {"<input disabled name=x>", "input", {{"disabled", ""}, {"name", "x"}}},
      {"<img src='a b.png' alt = \"t\">", "img", {{"src", "a b.png"}, {"alt", "t"}}},
      {"<P CLASS=\"A\">", "P", {{"CLASS", "A"}}},
      {"<a\n\thref=\"x\"\r\nid=y>", "a", {{"href", "x"}, {"id", "y"}}},
      {"<a title=\"x=y>z\">", "a", {{"title", "x=y>z"}}},
      {"<a title=\"open>", "a", {{"title", "open"}}},
      {"<a href=>", "a", {{"href", ""}}},
      {"<a =x b>", "a", {{"b", ""}}},
      {"<br/>", "br", {}},
      {"<br />", "br", {}},
      {"<a href=/x/>", "a", {{"href", "/x/"}}},
      {"<!DOCTYPE html>", "!DOCTYPE", {{"html", ""}}},
      {"<a", "a", {}},
      {"<>", nullptr, {}},
      {"< >", nullptr, {}},
      {"<", nullptr, {}},
      {"", nullptr, {}},
  };
  for (const auto &c : cases) {
    auto tag = htmlstream_tag_parse(c.text);
    if (!c.name) {
      EXPECT_EQ(tag, nullptr) << c.text;
      continue;
    }
    ASSERT_TRUE(tag) << c.text;
    EXPECT_EQ(tag->name, c.name) << c.text;
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto &a : tag->attributes) got.emplace_back(a.name, a.value);
    EXPECT_EQ(got, c.attributes) << c.text;
  }
}

TEST(HtmlTagParse, SizesAreBounded) {
  std::string many = "<a";
  for (int i = 0; i < 200; ++i) many += " k" + std::to_string(i) + "=v";
  many += ">";
  auto tag = htmlstream_tag_parse(many);
  ASSERT_TRUE(tag);
  ASSERT_EQ(tag->attributes.size(), HTMLSTREAM_ATTRS_MAX);
  EXPECT_EQ(tag->attributes.back().name, "k" + std::to_string(HTMLSTREAM_ATTRS_MAX - 1));

  const std::string long_name(HTMLSTREAM_NAME_MAX * 4, 'n');
  tag = htmlstream_tag_parse("<" + long_name + " " + long_name + "=1>");
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->name.size(), HTMLSTREAM_NAME_MAX);
  ASSERT_EQ(tag->attributes.size(), 1u);
  EXPECT_EQ(tag->attributes[0].name.size(), HTMLSTREAM_NAME_MAX);

  // Only the first HTMLSTREAM_TAG_MAX bytes of an element are read.
  const std::string huge = "<a v=\"" + std::string(HTMLSTREAM_TAG_MAX * 3, 'x') + "\" late=1>";
  tag = htmlstream_tag_parse(huge);
  ASSERT_TRUE(tag);
  ASSERT_EQ(tag->attributes.size(), 1u);
  EXPECT_LT(tag->attributes[0].value.size(), HTMLSTREAM_TAG_MAX);
}

// ---- incremental parsing ----------------------------------------------------------------

struct TreeCase {
  std::string html;
  std::string expected;
};

const TreeCase TREE_CASES[] = {
    {"<html><body><p class=\"x\">Hello <b>world</b></p><!-- note > -- --> tail</body></html>",
     "html[body[p[\"Hello \" b[\"world\"]] \"<!-- note > -- --> tail\"]]"},
    {"<ul>\n  <li>a\n  <li>b\n</ul>\n", "ul[li \"a\n  \" li \"b\n\"]"},
    {"<p>  \n\t </p>", "p"},                      // white space alone makes no node
    {"text <a href", "\"text <a href\""},         // unfinished markup at the end is text
    {"a</zzz>b", "\"ab\""},                       // an unmatched closing tag changes nothing
    {"</p>stray", "\"stray\""},
    {"<DIV>x</div>", "DIV[\"x\"]"},               // names compare ignoring case
    {"<b>x<br>y</b>", "b[\"x\" br \"y\"]"},       // "</b>" closes b, not br
    {"<div><div></div>x</div>", "div[div \"x\"]"},  // an element closes once
    {"<b><i>x</b></i>y", "b[i \"x\"] \"y\""},     // misnested: the stray "</i>" is ignored
    {"a < b and c > d", "\"a < b and c > d\""},   // "<" before a space is text
    {"<a <b>c</b>", "\"<a \" b[\"c\"]"},
    {"<>x<p>", "\"<>x\" p"},                    // so is "<" before ">"
    {"x<!-- <p> -->y", "\"x<!-- <p> -->y\""},
    {"<!-- a-><p> --><i>", "\"<!-- a-><p> -->\" i"},  // only "-->" ends a comment
    {"<!--><i>", "\"<!-->\" i"},
    {"a<!-- b", "\"a<!-- b\""},
    {"<!DOCTYPE html><title>T</title>", "!DOCTYPE title[\"T\"]"},
    {"", ""},
};

TEST(HtmlStream, BuildsTheTree) {
  for (const auto &c : TREE_CASES) EXPECT_EQ(parse_whole(c.html), c.expected) << c.html;
}

TEST(HtmlStream, SameTreeWhateverTheSplit) {
  for (const auto &c : TREE_CASES) {
    for (std::size_t cut = 1; cut < c.html.size(); ++cut) {
      HTMLStream s;
      s.Add(c.html.data(), cut);
      s.Add(c.html.data() + cut, c.html.size() - cut);
      s.Add(nullptr, 0);
      EXPECT_EQ(shape(s), c.expected) << c.html << " cut at " << cut;
    }
    HTMLStream bytes;
    for (char ch : c.html) bytes.Add(&ch, 1);
    EXPECT_EQ(bytes.Add(nullptr, 0), c.html.size());
    EXPECT_EQ(shape(bytes), c.expected) << c.html << " byte by byte";
    EXPECT_GE(check_links(bytes), 0) << c.html;
  }
}

TEST(HtmlStream, WaitsForTheEndBeforeTheLastText) {
  HTMLStream s;
  s.Add("<p>tail", 7);
  EXPECT_EQ(shape(s), "p");
  s.Add("<", 1);  // could still become "<!--"
  EXPECT_EQ(shape(s), "p");
  s.Add(nullptr, 0);
  EXPECT_EQ(shape(s), "p \"tail<\"");
}

TEST_F(HtmlStreamLog, DeepNestingIsBounded) {
  constexpr int N = 100000;
  std::string html;
  for (int i = 0; i < N; ++i) html += "<div>";
  for (int i = 0; i < N; ++i) html += "</div>";
  HTMLStream s;
  s.Add(html.data(), html.size());
  s.Add(nullptr, 0);
  EXPECT_EQ(s.node_count(), static_cast<std::size_t>(N));
  EXPECT_EQ(check_links(s), HTMLSTREAM_NESTING_LIMIT);
  EXPECT_EQ(count_logged("HTML nesting limit 64 reached"), 1);

  const std::string rows = htmlstream_tree_text(s);
  std::size_t count = 0;
  for (std::size_t at = rows.find("<tr>"); at != std::string::npos; at = rows.find("<tr>", at + 1))
    ++count;
  EXPECT_EQ(count, static_cast<std::size_t>(N));
  EXPECT_NE(rows.find("padding-left:" + std::to_string(36 * HTMLSTREAM_NESTING_LIMIT) + "px"),
            std::string::npos);
  EXPECT_EQ(rows.find("padding-left:" + std::to_string(36 * (HTMLSTREAM_NESTING_LIMIT + 1)) + "px"),
            std::string::npos);
}

TEST(HtmlStream, UnclosedTagsStayFlat) {
  constexpr int N = 100000;
  std::string html;
  for (int i = 0; i < N; ++i) html += "<div>";
  for (int i = 0; i < N; ++i) html += "</x>";
  HTMLStream s;
  s.Add(html.data(), html.size());
  s.Add(nullptr, 0);
  EXPECT_EQ(s.node_count(), static_cast<std::size_t>(N));
  EXPECT_EQ(check_links(s), 0);
}

TEST_F(HtmlStreamLog, NodeCountIsBounded) {
  std::string html;
  for (std::size_t i = 0; i < HTMLSTREAM_NODES_MAX + 5000; ++i) html += "<i>x";
  HTMLStream s;
  s.Add(html.data(), html.size() / 2);
  s.Add(html.data() + html.size() / 2, html.size() - html.size() / 2);
  s.Add(nullptr, 0);
  EXPECT_EQ(s.node_count(), HTMLSTREAM_NODES_MAX);
  EXPECT_EQ(s.data().size(), html.size());
  EXPECT_EQ(count_logged("HTML node limit " + std::to_string(HTMLSTREAM_NODES_MAX) + " reached"), 1);
  EXPECT_GE(check_links(s), 0);
}

// ---- diagnostic page ----------------------------------------------------------------------

TEST(HtmlTree, RowsAreIndentedAndEscaped) {
  const std::string html = "<a href=\"?a=1&b=2\" title='\"hi\"'>Fish & \"chips\"</a>1 &lt; 2";
  HTMLStream s;
  s.Add(html.data(), html.size());
  s.Add(nullptr, 0);
  EXPECT_EQ(htmlstream_tree_text(s),
            "<table class=\"list\">\n"
            "<tr><td style=\"padding-left:0px\">a href=\"?a=1&amp;b=2\" "
            "title=\"&quot;hi&quot;\" </td></tr>\n"
            "<tr><td style=\"padding-left:36px\">\"Fish &amp; &quot;chips&quot;\"</td></tr>\n"
            "<tr><td style=\"padding-left:0px\">\"1 &amp;lt; 2\"</td></tr>\n"
            "</table>\n");

  const std::string page = htmlstream_tree_page(s, "ex<ample>.com", "/i.html", "<style></style>");
  EXPECT_EQ(page.rfind("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n", 0),
            0u);
  EXPECT_NE(page.find("<title>HTML tree for ex&lt;ample&gt;.com/i.html</title>"),
            std::string::npos);
  EXPECT_LT(page.find("<style></style>"), page.find("<table class=\"list\">"));
  EXPECT_NE(page.find("</body></html>"), std::string::npos);
}

}  // namespace
