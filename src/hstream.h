// HTML stream: an incremental tokenizer that builds a node tree from a response body, for
// the diagnostic page of the "htmltree" URL command.
//
// The body is untrusted, so everything is bounded: the number of nodes, the nesting of
// closed elements, the bytes of an element that are parsed, the attributes of a tag and the
// length of names. Nodes live in an arena owned by the stream and are linked by plain
// pointers, so neither building, walking nor freeing a tree recurses.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Elements may nest this many levels; a closing tag that would go deeper is ignored.
constexpr int HTMLSTREAM_NESTING_LIMIT = 64;
// Nodes of one stream; later markup and text no longer make nodes.
constexpr std::size_t HTMLSTREAM_NODES_MAX = 100'000;
// Bytes of one markup element that are parsed; the rest of a longer element is skipped.
constexpr std::size_t HTMLSTREAM_TAG_MAX = 8192;
// Attributes kept per tag; later ones are dropped.
constexpr std::size_t HTMLSTREAM_ATTRS_MAX = 64;
// Tag and attribute names are cut to this length.
constexpr std::size_t HTMLSTREAM_NAME_MAX = 256;

struct htmlstream_attr {
  std::string name;
  std::string value;  // "" for an attribute written without a value
};

struct htmlstream_tag {
  std::string name;  // case as written
  std::vector<htmlstream_attr> attributes;  // source order
};

// A text node (text set), a tag node (tag set), or, for markup without a name, neither.
struct htmlstream_node {
  htmlstream_node *parent = nullptr;
  htmlstream_node *previous = nullptr;
  htmlstream_node *next = nullptr;
  htmlstream_node *child = nullptr;  // first child
  int depth = 0;                     // levels of elements below this one (0: no children)
  std::optional<std::string> text;
  std::unique_ptr<htmlstream_tag> tag;
};

// Parses one markup element: `text` starts at "<" and normally ends with the closing ">".
// The first token is the tag name; then each token is an attribute name, followed by "=" and
// its value when it has one. Tokens end at white space, "=" and ">"; a double or single
// quote opens a run in which those are ordinary characters and its closing quote ends the
// token. A "/" before ">" (as in "<br/>") is ignored. Returns null when text is at most one
// byte long or holds no name. Only the first HTMLSTREAM_TAG_MAX bytes are read.
std::unique_ptr<htmlstream_tag> htmlstream_tag_parse(std::string_view text);

class HTMLStream {
 public:
  HTMLStream() = default;
  HTMLStream(const HTMLStream &) = delete;
  HTMLStream &operator=(const HTMLStream &) = delete;

  // Appends len bytes of src and parses as far as the data allows; a null src marks the end
  // of the data and flushes the last text run (text and markup left unfinished become
  // text). A "<" starts markup only before a letter, "/", "!" or "?"; "<!--" starts a
  // comment, which ends at "-->" and stays part of the text around it. Returns the length
  // of the data held.
  std::size_t Add(const char *src, std::size_t len);

  const htmlstream_node *root() const { return root_; }
  const htmlstream_node *cursor() const { return cursor_; }
  const std::string &data() const { return data_; }
  std::size_t node_count() const { return nodes_.size(); }

 private:
  struct OpenElement {
    htmlstream_node *node;
    int after_depth;  // deepest node between this element and the next open one
  };

  htmlstream_node *append_node();
  void end_text(std::size_t end);
  void markup(std::size_t end, bool *warned);
  void close_element(std::string_view name, bool *warned);

  std::string data_;
  std::deque<htmlstream_node> nodes_;  // the arena; deque keeps addresses stable
  htmlstream_node *root_ = nullptr;
  htmlstream_node *cursor_ = nullptr;
  std::size_t scan_ = 0;          // next byte to examine
  std::size_t text_start_ = 0;    // start of the pending text run
  std::size_t markup_start_ = std::string::npos;  // the "<" of the pending element
  bool in_comment_ = false;
  std::size_t comment_start_ = 0;
  bool node_limit_logged_ = false;
  // Tag nodes of the cursor's sibling chain that no closing tag has matched yet, in chain
  // order, with their positions indexed by lower-case name.
  std::vector<OpenElement> open_;
  std::unordered_map<std::string, std::vector<std::size_t>> open_by_name_;
};

// One table row per node in tree order (a node, its children one level deeper, then its next
// node), indented by 36 pixels per level: a tag node shows its name and its attributes as
// name="value", a text node its text in double quotes. Everything is HTML-escaped.
std::string htmlstream_tree_text(const HTMLStream &stream);

// The whole diagnostic page around htmlstream_tree_text: document type line, the title
// "HTML tree for %s%s" (host, path), the given interface style sheet and the table.
std::string htmlstream_tree_page(const HTMLStream &stream, std::string_view host,
                                 std::string_view path, std::string_view stylesheet);
