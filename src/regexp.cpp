#include "regexp.h"

#include <limits>
#include <string>
#include <utility>

#include "log.h"

namespace {

using regexp_detail::CodePtr;

struct MatchDataFree {
  void operator()(pcre2_match_data *md) const { pcre2_match_data_free(md); }
};
using MatchDataPtr = std::unique_ptr<pcre2_match_data, MatchDataFree>;

struct MatchContextFree {
  void operator()(pcre2_match_context *mc) const { pcre2_match_context_free(mc); }
};
using MatchContextPtr = std::unique_ptr<pcre2_match_context, MatchContextFree>;

// One context for every search of the process: it only carries the limits and is never
// changed after it is built, which PCRE2 allows to be shared between threads.
pcre2_match_context *match_context() {
  static const MatchContextPtr context = [] {
    MatchContextPtr mc(pcre2_match_context_create(nullptr));
    if (!mc) fatal_assertion("regexp", __LINE__, __func__, sizeof(void *));
    pcre2_set_match_limit(mc.get(), REG_MATCH_LIMIT);
    pcre2_set_depth_limit(mc.get(), REG_DEPTH_LIMIT);
    pcre2_set_heap_limit(mc.get(), REG_HEAP_LIMIT_KIB);
    return mc;
  }();
  return context.get();
}

std::uint32_t pcre2_options(int flags) {
  std::uint32_t options = 0;
  if (flags & REG_OPT_CASELESS) options |= PCRE2_CASELESS;
  if (flags & REG_OPT_MULTILINE) options |= PCRE2_MULTILINE;
  if (flags & REG_OPT_DOTALL) options |= PCRE2_DOTALL;
  if (flags & REG_OPT_EXTENDED) options |= PCRE2_EXTENDED;
  return options;
}

std::string pcre2_message(int code) {
  PCRE2_UCHAR text[256];
  if (pcre2_get_error_message(code, text, sizeof text) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char *>(text);
}

// PCRE2 refuses a null pointer even with length 0, which an empty std::string_view may hold.
PCRE2_SPTR bytes_of(std::string_view s) {
  return reinterpret_cast<PCRE2_SPTR>(s.data() ? s.data() : "");
}

CodePtr compile(std::string_view pattern, int flags) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  CodePtr code(pcre2_compile(bytes_of(pattern), pattern.size(),
                             pcre2_options(flags), &error, &offset, nullptr));
  if (!code) {
    const std::string shown(pattern);
    putlog(LOG_ERROR, "failed to compile regular expression: %s", shown.c_str());
    putlog(LOG_ERROR, "regular expression error at offset %zu: %s", static_cast<std::size_t>(offset),
           pcre2_message(error).c_str());
  }
  return code;
}

MatchDataPtr match_data_for(const pcre2_code *code) {
  MatchDataPtr md(pcre2_match_data_create_from_pattern(code, nullptr));
  if (!md) fatal_assertion("regexp", __LINE__, __func__, sizeof(PCRE2_SIZE) * 2);
  return md;
}

// One search; rc as pcre2_match gives it, with every failure other than "no match" logged.
int search(const pcre2_code *code, const std::string &pattern, std::string_view text,
           std::size_t start, pcre2_match_data *md) {
  int rc = pcre2_match(code, bytes_of(text), text.size(), start, 0, md, match_context());
  if (rc < 0 && rc != PCRE2_ERROR_NOMATCH)
    putlog(LOG_ERROR, "failed to match regular expression %s: %s", pattern.c_str(),
           pcre2_message(rc).c_str());
  return rc;
}

RegResult to_result(int rc) {
  if (rc >= 0) return RegResult::Match;  // 0: more groups than pairs, still a match
  return rc == PCRE2_ERROR_NOMATCH ? RegResult::NoMatch : RegResult::Error;
}

void flush_literal(RegTemplate &t, std::string &literal) {
  if (literal.empty()) return;
  if (!t.pieces.empty() && t.pieces.back().kind == RegTemplate::Kind::Literal)
    t.pieces.back().text += literal;
  else
    t.pieces.push_back({RegTemplate::Kind::Literal, std::move(literal), 0});
  literal.clear();
}

// Reads the "$" and backslash forms of one run of the administrator's text (between variable
// references) into pieces.
void parse_run(RegTemplate &t, std::string_view run) {
  std::string literal;
  for (std::size_t i = 0; i < run.size(); ++i) {
    const char c = run[i];
    if (c == '$') {
      if (i + 1 == run.size()) {
        literal += '$';
        break;
      }
      const char d = run[++i];
      if (d == '$') {
        literal += '$';
      } else if (d >= '0' && d <= '9') {
        flush_literal(t, literal);
        t.pieces.push_back({RegTemplate::Kind::Group, {}, d - '0'});
      }
    } else if (c == '\\') {
      if (i + 1 == run.size()) break;
      switch (const char e = run[++i]) {
        case 'a': literal += '\a'; break;
        case 'e': literal += '\x1b'; break;
        case 'f': literal += '\f'; break;
        case 'n': literal += '\n'; break;
        case 'r': literal += '\r'; break;
        case 't': literal += '\t'; break;
        default: literal += e; break;
      }
    } else {
      literal += c;
    }
  }
  flush_literal(t, literal);
}

// Appends the expansion of t; group(k, out) appends capture k (nothing when there is none).
template <class GroupFn>
void expand(const RegTemplate &t, const RegVariables *variables, GroupFn &&group,
            std::string &out) {
  for (const auto &piece : t.pieces) {
    switch (piece.kind) {
      case RegTemplate::Kind::Literal: out += piece.text; break;
      case RegTemplate::Kind::Group: group(piece.group, out); break;
      case RegTemplate::Kind::Variable:
        if (variables) {
          auto it = variables->find(piece.text);
          if (it != variables->end()) out += it->second;
        }
        break;
    }
  }
}

}  // namespace

// ---- matcher --------------------------------------------------------------------------------

std::unique_ptr<Regex> reg_compile(std::string_view pattern, int flags) {
  CodePtr code = compile(pattern, flags);
  if (!code) return nullptr;
  auto regex = std::make_unique<Regex>();
  regex->code = std::move(code);
  regex->pattern = pattern;
  return regex;
}

RegResult reg_exec(const Regex &regex, std::string_view text) {
  MatchDataPtr md = match_data_for(regex.code.get());
  return to_result(search(regex.code.get(), regex.pattern, text, 0, md.get()));
}

void reg_free(std::unique_ptr<Regex> &regex) {
  QM_ASSERT(regex != nullptr, "regexp");
  regex.reset();
}

// ---- substitution engine ----------------------------------------------------------------

std::unique_ptr<regex_sub_t> reg_sub_compile(std::string_view expression, int options) {
  CodePtr code = compile(expression, options);
  if (!code) return nullptr;
  auto sub = std::make_unique<regex_sub_t>();
  sub->code = std::move(code);
  sub->pattern = expression;
  return sub;
}

RegResult reg_sub_exec(const regex_sub_t &sub, std::string_view text, regmatch_sub_t *match,
                       std::size_t start_offset) {
  if (start_offset > text.size()) return RegResult::NoMatch;
  MatchDataPtr md = match_data_for(sub.code.get());
  const int rc = search(sub.code.get(), sub.pattern, text, start_offset, md.get());
  if (rc < 0) return to_result(rc);
  const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(md.get());
  if (match) {
    match->start = ov[0];
    match->end = ov[1];
    match->subs.assign(static_cast<std::size_t>(rc), std::string());
    for (int k = 0; k < rc; ++k) {
      const PCRE2_SIZE s = ov[2 * k], e = ov[2 * k + 1];
      if (s != PCRE2_UNSET && s <= e && e <= text.size()) match->subs[k] = text.substr(s, e - s);
    }
  }
  return RegResult::Match;
}

void reg_sub_free(std::unique_ptr<regex_sub_t> &sub) {
  QM_ASSERT(sub != nullptr, "regexp");
  sub.reset();
}

RegTemplate reg_template_parse(std::string_view replacement) {
  RegTemplate t;
  std::string run;  // administrator's text since the last variable, "@@" already read
  std::size_t i = 0;
  while (i < replacement.size()) {
    const char c = replacement[i];
    if (c != '@') {
      run += c;
      ++i;
      continue;
    }
    if (i + 1 < replacement.size() && replacement[i + 1] == '@') {
      run += '@';
      i += 2;
      continue;
    }
    const std::size_t close = replacement.find('@', i + 1);
    if (close == std::string_view::npos || close - i - 1 > REG_VARIABLE_NAME_MAX) {
      run += '@';
      ++i;
      continue;
    }
    parse_run(t, run);
    run.clear();
    t.pieces.push_back(
        {RegTemplate::Kind::Variable, std::string(replacement.substr(i + 1, close - i - 1)), 0});
    i = close + 1;
  }
  parse_run(t, run);
  return t;
}

std::string reg_sub_parse(const regmatch_sub_t &match, std::string_view replacement,
                          const RegVariables *variables) {
  std::string out;
  expand(reg_template_parse(replacement), variables,
         [&match](int k, std::string &o) {
           if (k >= 0 && static_cast<std::size_t>(k) < match.subs.size()) o += match.subs[k];
         },
         out);
  return out;
}

int reg_replace(std::string &buf, const regex_sub_t &sub, std::string_view replacement,
                const RegVariables *variables) {
  const RegTemplate t = reg_template_parse(replacement);
  MatchDataPtr md = match_data_for(sub.code.get());
  const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(md.get());
  const std::string_view text(buf);
  std::string out;
  int count = 0;
  std::size_t copied = 0;  // bytes of buf already accounted for in out
  std::size_t offset = 0;  // where the next search starts
  while (offset <= text.size()) {
    const int rc = search(sub.code.get(), sub.pattern, text, offset, md.get());
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) return -1;
    const std::size_t start = ov[0], end = ov[1];
    // "\K" can move a match's start; one that reaches back before the text already
    // replaced (or past its own end) cannot be spliced in.
    if (start < copied || end < start || end > text.size()) {
      putlog(LOG_ERROR, "regular expression %s gave a match that cannot be replaced",
             sub.pattern.c_str());
      return -1;
    }
    out.append(text, copied, start - copied);
    const int groups = rc;  // rc > 0: match data is sized for every group
    expand(t, variables,
           [&](int k, std::string &o) {
             if (k >= groups) return;
             const PCRE2_SIZE s = ov[2 * k], e = ov[2 * k + 1];
             if (s != PCRE2_UNSET && s <= e && e <= text.size()) o.append(text, s, e - s);
           },
           out);
    if (count == std::numeric_limits<int>::max()) {
      putlog(LOG_ERROR, "replacing regular expression %s: too many matches", sub.pattern.c_str());
      return -1;
    }
    ++count;
    if (end == start) {
      if (start == text.size()) {
        copied = start;
        break;
      }
      out += text[start];
      copied = offset = start + 1;
    } else {
      copied = offset = end;
    }
    if (out.size() > REG_REPLACE_MAX) {
      putlog(LOG_ERROR, "replacing regular expression %s: result exceeds %zu bytes",
             sub.pattern.c_str(), REG_REPLACE_MAX);
      return -1;
    }
  }
  if (count == 0) return 0;
  out.append(text, copied);
  buf.swap(out);
  return count;
}
