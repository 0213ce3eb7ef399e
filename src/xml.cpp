#include "xml.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "log.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

std::unique_ptr<XMLDocument> sectionxml;
std::mutex documentlock;
ConfigUrlFetch config_url_fetch = nullptr;

namespace {

constexpr const char *MODULE = "src/xml";
constexpr mode_t NEW_CONFIG_MODE = 0640;  // the document may hold directory passwords

// The document in force; guarded by documentlock. It always has the root element, so a
// save before any load still has somewhere to put the sections.
std::unique_ptr<XMLDocument> document;

XMLDocument &document_get() {
  if (!document) {
    document = std::make_unique<XMLDocument>();
    document->InsertEndChild(document->NewElement(DOCUMENT_ROOT));
  }
  return *document;
}

bool has_document_root(const XMLDocument &doc) {
  const XMLElement *root = doc.RootElement();
  return root && std::strcmp(root->Name(), DOCUMENT_ROOT) == 0;
}

// Puts `doc` in force: every section is parsed first; a bad value anywhere leaves the
// document and every section as they were. Caller holds documentlock.
bool document_install(std::unique_ptr<XMLDocument> doc, int clear, std::string *error) {
  struct Staged {
    Section *section;
    SectionStage stage;
  };
  std::vector<Staged> staged;
  for (const auto &[name, section] : Section::map) {
    SectionStage stage;
    try {
      if (!section->load_stage(*doc, &stage, error)) return false;
    } catch (const ConfigError &) {
      continue;  // no element for this section: it keeps what it has
    }
    staged.push_back({section, std::move(stage)});
  }
  document = std::move(doc);
  for (Staged &s : staged) s.section->load_commit(std::move(s.stage), clear);
  return true;
}

std::unique_ptr<XMLDocument> parse_file(const std::string &path, std::string *error) {
  auto doc = std::make_unique<XMLDocument>();
  if (doc->LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
    *error = "configuration document " + path + " cannot be loaded: " + doc->ErrorStr();
    return nullptr;
  }
  if (!has_document_root(*doc)) {
    *error = "configuration document " + path + " has no root element " + DOCUMENT_ROOT;
    return nullptr;
  }
  return doc;
}

std::unique_ptr<XMLDocument> parse_body(const std::string &url, const std::string &body,
                                        std::string *error) {
  auto doc = std::make_unique<XMLDocument>();
  // The body is taken as a NUL-terminated text, as a document cannot hold NUL.
  if (doc->Parse(body.c_str()) != tinyxml2::XML_SUCCESS) {
    *error = "configuration document " + url + " cannot be parsed: " + doc->ErrorStr();
    return nullptr;
  }
  if (!has_document_root(*doc)) {
    *error = "configuration document " + url + " has no root element " + DOCUMENT_ROOT;
    return nullptr;
  }
  return doc;
}

// The body of `url` through the installed fetcher; false with the reason otherwise.
bool fetch_url(const std::string &url, std::string *body, std::string *error) {
  if (url.size() > CONFIG_URL_MAX) {
    *error = "configuration URL longer than " + std::to_string(CONFIG_URL_MAX) + " characters";
    return false;
  }
  if (!config_url_fetch) {
    *error = "configuration URL " + url + " cannot be fetched";
    return false;
  }
  if (!config_url_fetch(url, body)) {
    *error = "configuration URL " + url + " gave no document";
    return false;
  }
  return true;
}

void build_locked() {
  XMLDocument &doc = document_get();
  for (const auto &[name, section] : Section::map) section->save(doc);
}

void log_system(const char *call, const char *what, const std::string &path) {
  int e = errno;
  putlog(LOG_ERROR, "[system: %s:%d:%s], in config_save, %s %s", call, e, std::strerror(e), what,
         path.c_str());
}

bool write_all(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes `data` to a temporary file beside `path`, syncs it and renames it over `path`.
bool write_file_replacing(const std::string &path, const char *data, std::size_t size) {
  std::string folder = ".";
  if (std::size_t slash = path.rfind('/'); slash != std::string::npos)
    folder = slash == 0 ? "/" : path.substr(0, slash);
  std::string temporary = path + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    log_system("mkstemp", "unable to create a temporary file for", path);
    return false;
  }
  struct stat st;
  mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : NEW_CONFIG_MODE;
  bool ok = true;
  const char *failed = nullptr;
  if (::fchmod(fd, mode) != 0) failed = "fchmod";
  else if (!write_all(fd, data, size)) failed = "write";
  else if (::fsync(fd) != 0) failed = "fsync";
  if (failed) {
    log_system(failed, "unable to write", temporary);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    log_system("close", "unable to write", temporary);
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    log_system("rename", "unable to replace", path);
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself must reach the disk too; the file is in place either way.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || ::fsync(dir) != 0) log_system(dir < 0 ? "open" : "fsync", "unable to sync", folder);
  if (dir >= 0) ::close(dir);
  return true;
}

}  // namespace

// ---- schema ----------------------------------------------------------------------------

bool schema_load(const std::string &path, std::string *error) {
  auto doc = std::make_unique<XMLDocument>();
  if (doc->LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
    if (error) *error = doc->ErrorStr();
    return false;
  }
  sectionxml = std::move(doc);
  return true;
}

bool schema_load_text(const std::string &text, std::string *error) {
  auto doc = std::make_unique<XMLDocument>();
  if (doc->Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) {
    if (error) *error = doc->ErrorStr();
    return false;
  }
  sectionxml = std::move(doc);
  return true;
}

// ---- document access -------------------------------------------------------------------

const XMLElement *section_select(const XMLDocument &doc, const std::string &name) {
  const XMLElement *root = doc.FirstChildElement(DOCUMENT_ROOT);
  const XMLElement *e = root ? root->FirstChildElement(name.c_str()) : nullptr;
  if (!e) throw ConfigError();
  return e;
}

XMLElement *section_select(XMLDocument &doc, const std::string &name) {
  return const_cast<XMLElement *>(section_select(std::as_const(doc), name));
}

XmlElement::XmlElement(const XMLDocument &doc, const std::string &section)
    : section_(section), current_(section_select(doc, section)) {}

XmlElement::XmlElement(const XMLDocument &doc, const std::string &section,
                       const std::string &element)
    : section_(section), element_(element),
      current_(section_select(doc, section)->FirstChildElement(element.c_str())) {}

bool XmlElement::next() {
  if (current_) current_ = current_->NextSiblingElement(element_.c_str());
  return current_ != nullptr;
}

std::string XmlElement::string_read(const std::string &name) const {
  const XMLElement *e = current_ ? current_->FirstChildElement(name.c_str()) : nullptr;
  const char *text = e ? e->GetText() : nullptr;
  return text ? text : "";
}

bool XmlElement::check_active(const std::string &name) const {
  const XMLElement *e = current_ ? current_->FirstChildElement(name.c_str()) : nullptr;
  if (!e) throw ConfigError();
  const char *value = e->Attribute("active");
  if (!value || strcasecmp(value, "true") == 0) return true;
  if (strcasecmp(value, "false") == 0) return false;
  throw ConfigError();
}

// ---- one section -----------------------------------------------------------------------

bool Section::load_stage(const XMLDocument &doc, SectionStage *stage, std::string *error) const {
  XmlElement own(doc, name);  // ConfigError when the document has no element for us
  SectionReadLock held(*this);
  stage->present = true;
  stage->globals = globals;
  stage->loaded.assign(globals.size(), FieldLoad::SKIPPED);
  for (std::size_t k = 0; k < globals.size(); ++k) {
    stage->loaded[k] = stage->globals[k].load(own, error);
    if (stage->loaded[k] == FieldLoad::BAD) return false;
  }
  stage->items.assign(subsections.size(), {});
  for (std::size_t s = 0; s < subsections.size(); ++s) {
    const Subsection &sub = subsections[s];
    for (XmlElement e(doc, name, sub.name); e.full(); e.next()) {
      Item item(sub);
      if (!item.load(e, error)) return false;
      stage->items[s].push_back(std::move(item));
    }
  }
  return true;
}

void Section::load_commit(SectionStage &&stage, int clear) {
  if (!stage.present) return;
  SectionWriteLock held(*this);
  for (std::size_t k = 0; k < globals.size() && k < stage.globals.size(); ++k) {
    switch (stage.loaded[k]) {
      case FieldLoad::LOADED: globals[k] = std::move(stage.globals[k]); break;
      case FieldLoad::INACTIVE:
        // Switched off: the typed value in force stays, as the editor may have set it.
        globals[k].text = std::move(stage.globals[k].text);
        globals[k].active = false;
        break;
      default: break;
    }
  }
  for (std::size_t s = 0; s < subsections.size() && s < stage.items.size(); ++s) {
    std::vector<Item> &items = subsections[s].items;
    if (clear) items.clear();
    for (Item &item : stage.items[s]) items.push_back(std::move(item));
  }
  update();
}

bool Section::load(const XMLDocument &doc, int clear, std::string *error) {
  SectionStage stage;
  std::string message;
  if (!load_stage(doc, &stage, &message)) {
    if (error) *error = message;
    return false;
  }
  load_commit(std::move(stage), clear);
  return true;
}

void Section::save(XMLDocument &doc) const {
  SectionReadLock held(*this);
  XMLElement *own;
  try {
    own = section_select(doc, name);
  } catch (const ConfigError &) {
    XMLElement *root = doc.FirstChildElement(DOCUMENT_ROOT);
    if (!root) {
      putlog(LOG_ERROR, "configuration document without root element %s", DOCUMENT_ROOT);
      fatal_assertion(MODULE, __LINE__, "save");
    }
    own = doc.NewElement(name.c_str());
    root->InsertEndChild(own);
  }
  own->DeleteChildren();
  globals.save(own);
  for (const Subsection &sub : subsections) {
    for (const Item &item : sub.items) {
      XMLElement *e = doc.NewElement(sub.name.c_str());
      item.fields.save(e);
      own->InsertEndChild(e);
    }
  }
}

// ---- whole document --------------------------------------------------------------------

bool config_path_is_url(const std::string &path) {
  int pieces = 0;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == ':') ++i;
    if (i == path.size()) break;
    ++pieces;
    while (i < path.size() && path[i] != ':') ++i;
  }
  return pieces >= 2;
}

int config_url_load(const std::string &url, int clear) {
  std::string body, error;
  if (!fetch_url(url, &body, &error)) {
    putlog(LOG_ERROR, "%s", error.c_str());
    return 0;
  }
  std::lock_guard held(documentlock);
  auto doc = parse_body(url, body, &error);
  if (!doc || !document_install(std::move(doc), clear, &error)) {
    putlog(LOG_ERROR, "%s", error.c_str());
    return 0;
  }
  return 1;
}

int config_load(int clear, const std::string &path) {
  if (config_path_is_url(path)) return config_url_load(path, clear);
  std::string error;
  std::lock_guard held(documentlock);
  auto doc = parse_file(path, &error);
  if (!doc || !document_install(std::move(doc), clear, &error)) {
    putlog(LOG_ERROR, "%s", error.c_str());
    return 0;
  }
  return 1;
}

bool config_load_startup(const std::string &path, std::string *error) {
  std::string message;
  std::unique_ptr<XMLDocument> doc;
  if (config_path_is_url(path)) {
    std::string body;
    if (fetch_url(path, &body, &message)) doc = parse_body(path, body, &message);
  } else {
    doc = parse_file(path, &message);
  }
  bool ok = false;
  if (doc) {
    std::lock_guard held(documentlock);
    ok = document_install(std::move(doc), 1, &message);
  }
  if (!ok && error) *error = message;
  return ok;
}

void config_xml_build() {
  std::lock_guard held(documentlock);
  build_locked();
}

bool config_save(const std::string &path) {
  std::lock_guard held(documentlock);
  build_locked();
  tinyxml2::XMLPrinter printer;
  document_get().Print(&printer);
  return write_file_replacing(path, printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
}
