// The schema document and the configuration document: reading the schema, the accessor
// over document elements, loading the document into every section and saving it back.
//
// Lock order: `documentlock` first, then one section lock at a time (write lock while a
// section takes loaded values, read lock while it is written out). Request threads never
// take `documentlock`.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <tinyxml2.h>

#include "section.h"

// Root element names of the two files.
inline constexpr const char *SCHEMA_ROOT = "section";
inline constexpr const char *DOCUMENT_ROOT = "quillmoss";
// Longest URL config_load fetches; a longer one loads nothing rather than a cut one.
constexpr std::size_t CONFIG_URL_MAX = 255;

// ---- schema ----------------------------------------------------------------------------

// The parsed schema file; null until schema_load succeeds. Read-only once the sections
// are built.
extern std::unique_ptr<tinyxml2::XMLDocument> sectionxml;

// Parses the schema file into `sectionxml` (replacing it). On failure returns false,
// leaves `sectionxml` as it was and puts the parser's error description in *error; the
// start-up code then logs LOG_ERROR "Error when parsing section.xml: %s" and LOG_WARNING
// "Please correct errors in section.xml: %s" with it and exits 1. Content errors (missing
// elements) are found later, by the Section constructors, and are fatal there.
bool schema_load(const std::string &path, std::string *error);
// The same from a text in memory (tests, embedded schemas).
bool schema_load_text(const std::string &text, std::string *error);

// ---- configuration document ----------------------------------------------------------

// Serialises every load and save of the configuration document in force.
extern std::mutex documentlock;

// Read access to one element of a configuration document.
class XmlElement {
 public:
  // The section's own element; ConfigError when the document has none.
  XmlElement(const tinyxml2::XMLDocument &document, const std::string &section);
  // The first child element named `element` of the section's element (none when there is
  // none); ConfigError when the document has no element for the section.
  XmlElement(const tinyxml2::XMLDocument &document, const std::string &section,
             const std::string &element);

  bool full() const { return current_ != nullptr; }
  // Moves to the next sibling element of the same name; whether there is one.
  bool next();
  // Text of the current element's first child element `name`; "" when absent or empty.
  std::string string_read(const std::string &name) const;
  // The "active" attribute of the first child element `name`: absent or "true" (any case)
  // is true, "false" (any case) false; another value or no such child is a ConfigError.
  bool check_active(const std::string &name) const;
  const std::string &section_get() const { return section_; }
  // "" for a section's own element, the subsection name for an item element.
  const std::string &element_get() const { return element_; }
  const tinyxml2::XMLElement *current() const { return current_; }

 private:
  std::string section_;
  std::string element_;
  const tinyxml2::XMLElement *current_ = nullptr;
};

// First child element of the root `quillmoss` named `name`; ConfigError when there is
// none (or the root is not `quillmoss`).
const tinyxml2::XMLElement *section_select(const tinyxml2::XMLDocument &document,
                                           const std::string &name);
tinyxml2::XMLElement *section_select(tinyxml2::XMLDocument &document, const std::string &name);

// Whether config_load treats `path` as a URL: split at ":" (runs count as one separator,
// empty pieces dropped) it gives at least two pieces.
bool config_path_is_url(const std::string &path);

// Fetches a URL for config_load: true with the response body when the answer had status
// 200. Installed by the internal HTTP client; while it is null a URL loads nothing.
using ConfigUrlFetch = bool (*)(const std::string &url, std::string *body);
extern ConfigUrlFetch config_url_fetch;

// Loads the configuration document from a file or URL into every section (Section::map
// order). Every section is parsed first; only when all parsed are the values put in
// force, each section under its own write lock followed by update(). A document that
// cannot be read or parsed, has another root, or holds a bad value changes nothing (the
// bad value is logged with the "flawed XML file" line) and gives 0. A section without an
// element keeps its settings and is not updated. `clear` non-zero replaces every
// subsection's items, zero appends the loaded ones. Returns 1 when the document was
// replaced. Takes `documentlock`.
int config_load(int clear, const std::string &path);
// The URL branch of config_load.
int config_url_load(const std::string &url, int clear);

// Start-up load: like config_load with every item replaced, but reports instead of
// logging. Call once every section is constructed, before detaching. False with *error
// holding the message ("flawed XML file, section ..." for a bad value) when the document
// cannot be loaded; the caller prints it on standard error and in the log and exits 1.
bool config_load_startup(const std::string &path, std::string *error);

// Writes every section into the document in force (Section::map order); takes
// `documentlock`.
void config_xml_build();
// config_xml_build, then writes the document to `path` through a temporary file in the
// same folder (flushed, synced, renamed over the target), so a failed save leaves the old
// file intact. Returns whether the file was written.
bool config_save(const std::string &path);
