#include "hstream.h"

#include <algorithm>

#include "log.h"
#include "misc.h"

namespace {

constexpr std::string_view COMMENT_OPEN = "<!--";
constexpr int TREE_INDENT_PX = 36;

// As in browsers, "<" before anything else (a space, a digit) is an ordinary character.
bool starts_markup(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '/' || c == '!' || c == '?';
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::string lower_name(std::string_view name) {
  std::string key(name.substr(0, HTMLSTREAM_NAME_MAX));
  return string_tolower(key);
}

// Reads one token of a tag from text[*pos]: up to white space, "=" or ">" outside quotes,
// or up to the closing quote of a quoted run. *quoted tells whether a quote was read.
std::string read_token(std::string_view text, std::size_t *pos, bool *quoted) {
  std::string token;
  *quoted = false;
  std::size_t i = *pos;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      *quoted = true;
      std::size_t close = text.find(c, i + 1);
      if (close == std::string_view::npos) {
        // Unterminated: the run takes the rest, except the ">" that ended the element.
        std::size_t end = text.size();
        if (end > i + 1 && text[end - 1] == '>') --end;
        token.append(text.substr(i + 1, end - i - 1));
        i = text.size();
      } else {
        token.append(text.substr(i + 1, close - i - 1));
        i = close + 1;
      }
      break;
    }
    if (is_space(c) || c == '=' || c == '>') break;
    token += c;
    ++i;
  }
  *pos = i;
  return token;
}

void skip_spaces(std::string_view text, std::size_t *pos) {
  while (*pos < text.size() && is_space(text[*pos])) ++*pos;
}

void append_escaped_row(std::string &out, const htmlstream_node &node, int level) {
  out += "<tr><td style=\"padding-left:";
  out += std::to_string(level * TREE_INDENT_PX);
  out += "px\">";
  if (node.tag) {
    out += string_to_html(node.tag->name);
    out += ' ';
    for (const auto &a : node.tag->attributes) {
      out += string_to_html(a.name);
      out += "=\"";
      out += string_to_html(a.value);
      out += "\" ";
    }
  } else if (node.text) {
    out += '"';
    out += string_to_html(*node.text);
    out += '"';
  }
  out += "</td></tr>\n";
}

}  // namespace

std::unique_ptr<htmlstream_tag> htmlstream_tag_parse(std::string_view text) {
  if (text.size() <= 1) return nullptr;
  text = text.substr(0, HTMLSTREAM_TAG_MAX);
  std::size_t pos = 1;
  bool quoted = false;
  skip_spaces(text, &pos);
  std::string name = read_token(text, &pos, &quoted);
  if (!quoted && !name.empty() && name.back() == '/') name.pop_back();
  if (name.empty()) return nullptr;
  auto tag = std::make_unique<htmlstream_tag>();
  name.resize(std::min(name.size(), HTMLSTREAM_NAME_MAX));
  tag->name = std::move(name);

  while (true) {
    skip_spaces(text, &pos);
    if (pos >= text.size() || text[pos] == '>') break;
    if (text[pos] == '=') {  // a value without a name
      ++pos;
      skip_spaces(text, &pos);
      if (pos < text.size() && text[pos] != '>') read_token(text, &pos, &quoted);
      continue;
    }
    htmlstream_attr attr;
    attr.name = read_token(text, &pos, &quoted);
    const bool name_quoted = quoted;
    std::size_t after = pos;
    skip_spaces(text, &after);
    if (after < text.size() && text[after] == '=') {
      pos = after + 1;
      skip_spaces(text, &pos);
      if (pos < text.size() && text[pos] != '>') attr.value = read_token(text, &pos, &quoted);
    } else if (!name_quoted && attr.name == "/") {
      continue;  // the "/" of "<br />"
    }
    if (tag->attributes.size() >= HTMLSTREAM_ATTRS_MAX) continue;
    attr.name.resize(std::min(attr.name.size(), HTMLSTREAM_NAME_MAX));
    tag->attributes.push_back(std::move(attr));
  }
  return tag;
}

std::size_t HTMLStream::Add(const char *src, std::size_t len) {
  const bool final = src == nullptr;
  if (src && len) data_.append(src, len);
  bool warned = false;
  const std::size_t n = data_.size();
  std::size_t i = scan_;
  while (i < n) {
    const char c = data_[i];
    if (in_comment_) {
      if (c == '>' && i >= comment_start_ + COMMENT_OPEN.size() && data_[i - 1] == '-' &&
          data_[i - 2] == '-')
        in_comment_ = false;
      ++i;
      continue;
    }
    if (c == '<') {
      // Wait for enough bytes to tell a comment from markup.
      if (!final && n - i < COMMENT_OPEN.size()) break;
      if (data_.compare(i, COMMENT_OPEN.size(), COMMENT_OPEN) == 0) {
        // A comment stays part of the text run around it.
        in_comment_ = true;
        comment_start_ = i;
        i += COMMENT_OPEN.size();
        continue;
      }
      if (i + 1 < n && starts_markup(data_[i + 1])) {
        end_text(i);
        // Until its ">" arrives, an element counts as text (a second "<" or the end of the
        // data shows it as such).
        text_start_ = markup_start_ = i;
      }
    } else if (c == '>' && markup_start_ != std::string::npos) {
      markup(i, &warned);
      markup_start_ = std::string::npos;
      text_start_ = i + 1;
    }
    ++i;
  }
  scan_ = i;
  if (final) {
    end_text(n);
    text_start_ = n;
    markup_start_ = std::string::npos;
  }
  return data_.size();
}

htmlstream_node *HTMLStream::append_node() {
  if (nodes_.size() >= HTMLSTREAM_NODES_MAX) {
    if (!node_limit_logged_) {
      putlog(LOG_WARNING, "HTML node limit %zu reached", HTMLSTREAM_NODES_MAX);
      node_limit_logged_ = true;
    }
    return nullptr;
  }
  htmlstream_node &node = nodes_.emplace_back();
  if (cursor_) {
    cursor_->next = &node;
    node.previous = cursor_;
    node.parent = cursor_->parent;
  } else {
    root_ = &node;
  }
  cursor_ = &node;
  return &node;
}

void HTMLStream::end_text(std::size_t end) {
  if (text_start_ >= end) return;
  const std::string_view run(data_.data() + text_start_, end - text_start_);
  if (isempty(run)) return;
  if (cursor_ && cursor_->text) {
    cursor_->text->append(run);
    return;
  }
  if (htmlstream_node *node = append_node()) node->text.emplace(run);
}

void HTMLStream::markup(std::size_t end, bool *warned) {
  std::string_view element(data_.data() + markup_start_, end - markup_start_ + 1);
  element = element.substr(0, HTMLSTREAM_TAG_MAX);
  if (element.size() > 2 && element[1] == '/') {
    std::size_t stop = 2;
    while (stop < element.size() && !is_space(element[stop]) && element[stop] != '>') ++stop;
    close_element(element.substr(2, stop - 2), warned);
    return;
  }
  htmlstream_node *node = append_node();
  if (!node) return;
  node->tag = htmlstream_tag_parse(element);
  if (!node->tag) return;
  open_by_name_[lower_name(node->tag->name)].push_back(open_.size());
  open_.push_back({node, 0});
}

// The element F opened last under `name` adopts every node after it in the chain as its
// children, and becomes the cursor.
void HTMLStream::close_element(std::string_view name, bool *warned) {
  if (name.empty()) return;
  auto found = open_by_name_.find(lower_name(name));
  if (found == open_by_name_.end() || found->second.empty()) return;
  const std::size_t k = found->second.back();
  htmlstream_node *f = open_[k].node;

  int below = 0;  // the deepest node that moves under f
  for (std::size_t j = k; j < open_.size(); ++j) below = std::max(below, open_[j].after_depth);
  for (std::size_t j = open_.size(); j-- > k;) {
    auto &positions = open_by_name_[lower_name(open_[j].node->tag->name)];
    positions.pop_back();
  }
  open_.resize(k);

  if (htmlstream_node *first = f->next) {
    f->child = first;
    first->previous = nullptr;
    for (htmlstream_node *c = first; c; c = c->next) c->parent = f;
    f->next = nullptr;
    f->depth = below + 1;
  }
  cursor_ = f;

  if (f->depth >= HTMLSTREAM_NESTING_LIMIT) {
    // Every element still open lies before f, so closing it would nest deeper than the limit:
    // none of them can close any more.
    open_.clear();
    open_by_name_.clear();
    if (!*warned) {
      putlog(LOG_WARNING, "HTML nesting limit %d reached", HTMLSTREAM_NESTING_LIMIT);
      *warned = true;
    }
  } else if (k > 0) {
    open_[k - 1].after_depth = std::max(open_[k - 1].after_depth, f->depth);
  }
}

std::string htmlstream_tree_text(const HTMLStream &stream) {
  std::string out = "<table class=\"list\">\n";
  const htmlstream_node *node = stream.root();
  int level = 0;
  while (node) {
    append_escaped_row(out, *node, level);
    if (node->child) {
      node = node->child;
      ++level;
      continue;
    }
    while (node && !node->next) {
      node = node->parent;
      --level;
    }
    if (node) node = node->next;
  }
  out += "</table>\n";
  return out;
}

std::string htmlstream_tree_page(const HTMLStream &stream, std::string_view host,
                                 std::string_view path, std::string_view stylesheet) {
  std::string title = "HTML tree for " + string_to_html(host) + string_to_html(path);
  std::string page =
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n<html><head><title>";
  page += title;
  page += "</title></head>\n<body>\n";
  page += stylesheet;
  page += htmlstream_tree_text(stream);
  page += "</body></html>\n";
  return page;
}
