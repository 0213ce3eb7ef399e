// Pattern matcher and substitution engine over PCRE2.
//
// Every rule pattern of the proxy goes through here. Patterns are compiled once, when a
// section rebuilds its rules, and are then shared read-only by all request threads; each
// match keeps its state (match data) on the caller's stack, so matching is thread-safe.
//
// Texts are byte strings of known length (std::string_view): an embedded NUL byte is an
// ordinary byte and does not end the text a rule sees. Patterns are compiled in byte mode
// (no UTF-8 checks), so any body can be searched.
//
// Every match runs under fixed match, depth and heap limits, so a hostile body or URL cannot
// exhaust the CPU or memory of a request thread. A search that hits a limit (or fails for any
// other reason) is logged and reported as RegResult::Error, distinct from NoMatch. Callers
// take the safe outcome: a rule that refuses, blocks or strips counts an error as a match
// (reg_hit_refusing), a rule that admits, exempts or bypasses counts it as no match
// (reg_hit_admitting).
#pragma once

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Option bits of reg_compile and reg_sub_compile (the values of the configuration and of the
// callers; they are mapped to PCRE2's own bits inside).
enum RegOption : int {
  REG_OPT_CASELESS = 0x1,   // ignore case
  REG_OPT_MULTILINE = 0x2,  // "^" and "$" also match at line breaks
  REG_OPT_DOTALL = 0x4,     // "." also matches a line break
  REG_OPT_EXTENDED = 0x8,   // white space in the pattern is ignored, "#" starts a comment
};
constexpr int REG_OPT_ALL = REG_OPT_CASELESS | REG_OPT_MULTILINE | REG_OPT_DOTALL | REG_OPT_EXTENDED;

// Bounds of one search (pcre2_match). The match limit bounds the backtracking work of one
// search, the depth limit its nesting of backtracking points, the heap limit (KiB) the
// memory it may take for them.
constexpr std::uint32_t REG_MATCH_LIMIT = 10'000'000;
constexpr std::uint32_t REG_DEPTH_LIMIT = 100'000;
constexpr std::uint32_t REG_HEAP_LIMIT_KIB = 32 * 1024;

// Longest text reg_replace builds; a larger result is refused (RegResult::Error, the buffer
// left as it was), since the growth is the product of the body's size and the replacement's.
constexpr std::size_t REG_REPLACE_MAX = 256UL * 1024 * 1024;

// Longest template-variable name between two "@" in a replacement.
constexpr std::size_t REG_VARIABLE_NAME_MAX = 63;

enum class RegResult { Match, NoMatch, Error };

// Safe outcomes of a search (see the file comment).
inline bool reg_hit_refusing(RegResult r) { return r != RegResult::NoMatch; }
inline bool reg_hit_admitting(RegResult r) { return r == RegResult::Match; }

// Template variables of a request, by name; null means none.
using RegVariables = std::map<std::string, std::string>;

namespace regexp_detail {
struct CodeFree {
  void operator()(pcre2_code *code) const { pcre2_code_free(code); }
};
using CodePtr = std::unique_ptr<pcre2_code, CodeFree>;
}  // namespace regexp_detail

// ---- matcher --------------------------------------------------------------------------------

// A compiled pattern of the matcher; owned by whoever compiled it. (Not named regex_t: that
// is the type of the POSIX <regex.h>, which other headers bring in.)
struct Regex {
  regexp_detail::CodePtr code;
  std::string pattern;  // as written, for log lines
};

// Compiles pattern with RegOption bits (every caller in the proxy passes REG_OPT_CASELESS).
// On failure logs "failed to compile regular expression: %s" and returns null; the caller then
// treats the condition as absent.
std::unique_ptr<Regex> reg_compile(std::string_view pattern, int flags);

// Searches the whole of text for the pattern (no anchoring added).
RegResult reg_exec(const Regex &regex, std::string_view text);

// Releases a compiled pattern; a null one is an invariant violation (fatal path).
void reg_free(std::unique_ptr<Regex> &regex);

// ---- substitution engine ----------------------------------------------------------------

// A compiled pattern of the substitution engine; owned by whoever compiled it.
struct regex_sub_t {
  regexp_detail::CodePtr code;
  std::string pattern;
};

// One match: offsets into the searched text and the captured strings.
struct regmatch_sub_t {
  std::size_t start = 0;  // offset of the match
  std::size_t end = 0;    // offset just past the match
  // subs[0] is the whole match, subs[k] group k, up to the highest group that took part; a
  // group that did not take part is "".
  std::vector<std::string> subs;
};

// Compiles expression with RegOption bits (redirect and rewrite pass REG_OPT_ALL, the
// antivirus client REG_OPT_CASELESS). On failure logs "failed to compile regular expression:
// %s" and returns null.
std::unique_ptr<regex_sub_t> reg_sub_compile(std::string_view expression, int options);

// Searches text from start_offset (the text before it stays visible to look-behind and "^"
// does not match there). On RegResult::Match, *match holds the match.
RegResult reg_sub_exec(const regex_sub_t &sub, std::string_view text, regmatch_sub_t *match,
                       std::size_t start_offset = 0);

void reg_sub_free(std::unique_ptr<regex_sub_t> &sub);  // null: fatal path

// A replacement template, parsed once into pieces, so that values from the request (template
// variables) and captured text are inserted literally and never read as "$n" or escapes.
// Written form, scanned left to right:
//   "@NAME@"  the template variable NAME ("" when unknown); "@@" gives "@"; an "@" with no
//             closing "@" within REG_VARIABLE_NAME_MAX bytes is an ordinary character;
//   "$d"      group d (a digit; "$0" is the whole match), "" when the match has no such group;
//   "$$"      "$"; a "$" at the end gives "$"; "$" and any other character give nothing;
//   \c        for c in a e f n r t: BEL, ESC, FF, LF, CR, TAB; any other c gives c itself
//             (\$ gives "$", \\ a backslash); a backslash at the end is dropped;
//   anything else is copied.
// The "$" and backslash forms are read within the text between variable references.
struct RegTemplate {
  enum class Kind { Literal, Group, Variable };
  struct Piece {
    Kind kind;
    std::string text;  // Literal: the text; Variable: the name
    int group = 0;     // Group: the index
  };
  std::vector<Piece> pieces;
};

RegTemplate reg_template_parse(std::string_view replacement);

// Expands replacement for one match into a new string.
std::string reg_sub_parse(const regmatch_sub_t &match, std::string_view replacement,
                          const RegVariables *variables);

// Replaces every match of sub in buf by the expanded replacement (an empty replacement deletes
// the matches). The whole buffer is searched, NUL bytes included, each search resuming at the
// end of the previous match on the full text (so "^" means the real start and look-behind
// sees the text already passed). An empty match is followed by one copied byte before the
// next search, so the loop always ends. Returns the number of matches (buf unchanged when 0),
// or -1 when a search failed or the result would exceed REG_REPLACE_MAX: then buf is left as
// it was and the failure is logged.
int reg_replace(std::string &buf, const regex_sub_t &sub, std::string_view replacement,
                const RegVariables *variables);
