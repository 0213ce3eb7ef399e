// URL commands: per-request commands written as "xx--name." or "xx--name[options]." labels in
// front of the host name of a URL, their propagation through the Referer, and the bypass set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "network.h"

using UrlCommandList = std::vector<url_command_t>;

// Permission bits of the access rule that this module reads (they belong to the access
// section's `access` field).
constexpr int URLCOMMAND_ACCESS_BYPASS = 0x20;       // the "bypass" command
constexpr int URLCOMMAND_ACCESS_URLCOMMANDS = 0x40;  // URL commands at all

// Bits of CONNECTION_T::bypass; each filter tests its own.
enum BypassBit : uint32_t {
  BYPASS_URLFILTER = 0x1,
  BYPASS_HEADER = 0x2,
  BYPASS_MIME = 0x4,
  BYPASS_REDIRECT = 0x8,
  BYPASS_COOKIE = 0x10,
  BYPASS_REWRITE = 0x20,
  BYPASS_EXTERNAL = 0x40,  // letter "e"; no filter tests it yet
  BYPASS_FORWARD = 0x80,   // letter "p": parent-proxy rules
  BYPASS_KEYWORD = 0x100,
  BYPASS_DNSBL = 0x200,
  BYPASS_LIMITS = 0x400,
  BYPASS_ANTIVIRUS = 0x800,
  BYPASS_ICAP = 0x1000,
  BYPASS_URLBLACKLIST = 0x2000,  // set only by the option-less "bypass"
  BYPASS_ALL = 0xffffffffu,
};

constexpr std::size_t URLCOMMAND_URL_MAX = 4095;  // URLs built by url_command_add

// Length of the command labels at the start of text (0 when there is none). A label is
// "xx--" (any case), the name, optionally "[options]", and its "."; a label with no "."
// after it is not a command and ends the prefix.
std::size_t url_command_prefix_length(std::string_view text);

// Removes the leading command labels of text in place and returns them in order (empty when
// there is none).
UrlCommandList url_command_parse(std::string &text);

// The commands in prefix form: "xx--name[options]." or "xx--name." for each.
std::string url_command_create(const UrlCommandList &list);

// First command with this name (ignoring case), or null.
const url_command_t *url_command_find(const UrlCommandList &list, std::string_view name);

// Logs every command at LOG_URLCOMMAND.
void url_command_log(const UrlCommandList &list);

inline void url_command_free(UrlCommandList &list) { list.clear(); }

// Extracts the commands of conn->header into conn->url_commands (replacing the old list),
// from the Host line or first path element of an origin-form request, or from the host of
// any other request, and takes commands over from the Referer. Returns 1 to go on, 0 when
// the request was answered with a 302 to the same URL carrying the Referer's commands.
int url_command_extract(CONNECTION_T *conn);

// The Location of that redirection, for a GET request without commands whose Referer
// carried the given ones: "proto://" commands host ":" port path.
std::string url_command_redirect_location(const HEADER &request, const UrlCommandList &list);

// An absolute URL for a link (Location) of the current response, with the request's
// commands in front of its host; relative links are resolved against the request. A result
// longer than URLCOMMAND_URL_MAX is not built: the link is returned unchanged.
std::string url_command_add(const CONNECTION_T *conn, std::string_view url);

// Applies a "bypass" command to conn->bypass when the access rule permits it.
void bypass_check(CONNECTION_T *conn);
