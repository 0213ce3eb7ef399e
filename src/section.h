// Configuration sections: typed fields, rule items, subsections, the section base class
// with its lock, the value types fields parse into, and the text-to-value converters.
//
// The program holds no field names: a section is built from the schema document
// (`sectionxml`, xml.h) and its code reads fields by position. Each section class
// declares the positions it reads in a SectionSpec; the constructor checks the schema
// against it, so code and schema cannot drift apart.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2
class XmlElement;

// Field type codes, in schema order; the schema word is the name without "FT_".
enum FieldType : int {
  FT_INT = 0, FT_UINT = 1, FT_BOOL = 2, FT_STRING = 3, FT_STRING_SELECT_ONE = 4,
  FT_STRING_SELECT_MANY = 5, FT_STRING_LIST = 6, FT_IP_RANGE_LIST = 7, FT_PORT_RANGE_LIST = 8,
  FT_NONE = 9, FT_STRING_RANGE = 10, FT_INT_RANGE = 11, FT_FILE_SIZE = 12,
  FT_MULTILINE_STRING = 13, FT_LONG_FILE_SIZE = 14, FT_DOUBLE = 15,
};
constexpr int FT_COUNT = 16;

// What a section's code expects the schema to declare at one position.
struct FieldSpec { const char *name; FieldType type; };
struct SubsectionSpec { const char *name; std::span<const FieldSpec> fields; };
struct SectionSpec {
  const char *name;                                 // section name in the schema
  std::span<const FieldSpec> global;                // global fields, by position
  std::span<const SubsectionSpec> subsections;      // subsections, by position
};

// The only exception of the program: thrown by every conversion and lookup of the
// configuration framework, caught by the loader and the editor. It carries no data; the
// catcher knows what it was converting and words the message.
class ConfigError : public std::exception {
 public:
  const char *what() const noexcept override { return "configuration error"; }
};

// Schema word of a type ("INT", ...); null for FT_NONE and codes outside the table.
const char *field_type_name(int type);
// Code of a schema word (exact match); false when the word names no type.
bool field_type_from_name(std::string_view word, FieldType *type);
// Like field_type_from_name, but an unknown word takes the fatal-assertion path
// (function "type_get"). Used while the schema is read.
FieldType type_get(const std::string &word);

// ---- converters ----------------------------------------------------------------------
// Each converter takes the whole text: anything left after the value is a ConfigError.
// Values that do not fit the result type are a ConfigError, never wrapped.

// Base 10, leading white space and a sign accepted; "" gives 0; 32-bit signed range.
int string_to_int(std::string_view text);
// Base 10, leading white space and "+" accepted, "-" refused; "" gives 0; 0..4294967295.
unsigned string_to_uint(std::string_view text);
// Decimal floating point, leading white space accepted; "" gives 0; non-finite refused.
double string_to_double(std::string_view text);
// Unsigned decimal, optional white space, optional unit ignoring case: k/kb/kbit (1024),
// m/mb/mbit (1048576), g/gb/gbit (1073741824). "" and a unit without number are invalid.
// The product must fit 32 bits (so "4G" is invalid).
std::uint32_t string_to_filesize(std::string_view text);
// The same with a 64-bit number and product.
std::uint64_t string_to_longfilesize(std::string_view text);
// Dotted quad after leading white space: exactly four parts, each empty (0) or 0..255 in
// base 10. Result is the address as a host-order number.
std::uint32_t address_to_int(std::string_view text);

// ---- value types ---------------------------------------------------------------------

// Ordered list of strings, duplicates allowed.
class StringList : public std::vector<std::string> {
 public:
  StringList() = default;
  StringList(std::initializer_list<std::string> items) : std::vector<std::string>(items) {}
  StringList(std::string_view text, char separator) { parse(text, separator); }
  // Replaces the content: "" gives no element; "a,,b" gives a, "", b; "a,b," gives a, b;
  // a leading separator gives a leading empty element. Elements are not trimmed.
  void parse(std::string_view text, char separator);
  // False for an empty s; else whether some element equals s exactly.
  bool has(std::string_view s) const;
  // Elements joined by separator.
  std::string join(char separator) const;
};

// Exactly two elements separated by ","; ConfigError otherwise.
class Couple : public StringList {
 public:
  explicit Couple(std::string_view text);
  const std::string &first() const { return (*this)[0]; }
  const std::string &second() const { return (*this)[1]; }
};

// One option of an option list.
struct StringSelect {
  std::string name;     // value written in the document
  std::string comment;  // label (defaults to name)
  std::string desc;
  bool selected = false;
};

class StringSelectVector : public std::vector<StringSelect> {
 public:
  void reset();  // clears every selected flag
  // Position of the first option whose name equals name ignoring case; ConfigError if none.
  int case_indexof(std::string_view name) const;
  // Position of the first option whose name equals name exactly; -1 if none.
  int indexof(std::string_view name) const;
};

// One range of IPv4 addresses, bounds included, compared as unsigned numbers.
struct IpRange {
  std::string low_text;
  std::uint32_t low = 0;
  std::string high_text;
  std::uint32_t high = 0xffffffffu;

  IpRange() = default;
  // "a" (a single address), "a-b", "-b", "a-", "-" or "" (everything); ConfigError when a
  // side is not an address.
  explicit IpRange(std::string_view element);
  bool has(std::uint32_t address) const { return low <= address && address <= high; }
  // False for a text that is not an address.
  bool has(std::string_view address_text) const;
};

class IpRangeList {
 public:
  IpRangeList() = default;
  // One range per ","-separated element; ConfigError on a bad element.
  explicit IpRangeList(std::string_view text);
  // True for an empty list (it matches everything) or when some range has the address.
  bool has(std::uint32_t address) const;
  // An empty list matches any text; otherwise a text that is no address matches nothing.
  bool has(std::string_view address_text) const;
  const std::vector<IpRange> &ranges() const { return ranges_; }
  const std::string &text() const { return text_; }
  bool empty() const { return ranges_.empty(); }

 private:
  std::vector<IpRange> ranges_;
  std::string text_;
};

// Ports low..high inclusive; low above high is kept and matches nothing.
struct PortRange {
  int low = 0;
  int high = 0;
  PortRange() = default;
  // "p" or "p-q", each 1..65535 in base 10 with nothing after it; ConfigError otherwise.
  explicit PortRange(std::string_view element);
  bool has(int port) const { return low <= port && port <= high; }
};

class PortRangeList {
 public:
  PortRangeList() = default;
  explicit PortRangeList(std::string_view text);
  // True for an empty list or when some range has the port.
  bool has(int port) const;
  const std::vector<PortRange> &ranges() const { return ranges_; }
  bool empty() const { return ranges_.empty(); }

 private:
  std::vector<PortRange> ranges_;
};

// Whether a rule carrying `rule_profiles` (profile or group names, "!" negates one)
// applies to a request carrying `connection_profiles`: an empty rule list applies to all;
// a request without profiles matches no non-empty list; the first entry naming one of the
// request's profiles decides (plain: yes, negated: no); when none does, the rule applies
// only if it holds a negated entry.
bool profile_find(const StringList &connection_profiles, const StringList &rule_profiles);

// Values of an editor form by argument name ("" when absent); the editor wraps its CGI
// arguments in one.
using FormValues = std::function<std::string(const std::string &name)>;

// What Field::load did with one document element.
enum class FieldLoad {
  SKIPPED,   // disabled field, or optional field without element / with a bad "active"
  INACTIVE,  // optional field switched off: text and active taken, typed value kept
  LOADED,    // text and typed value taken
  BAD,       // the value does not convert: the field is left half-parsed, discard it
};

// ---- fields --------------------------------------------------------------------------

// One configuration value: its schema description and its value, as text and typed.
// A field is a value type: copying copies every member.
class Field {
 public:
  bool enabled = true;    // a disabled field is never loaded or read; it keeps its default
  std::string name;       // schema element name, also the document element name
  FieldType type = FT_NONE;
  std::string comment;    // label
  std::string desc;
  int width = 20;         // editor input width
  int min = 0, max = 0;   // INT_RANGE bounds, inclusive
  bool optional = false;
  bool active = false;    // for optional fields: whether the value is in force
  int int_value = 0;      // INT; BOOL 0/1; SELECT_ONE index; SELECT_MANY bits; RANGE first
  int int_value2 = 0;     // STRING_RANGE / INT_RANGE second
  std::uint32_t uint_value = 0;  // UINT, FILE_SIZE
  std::uint64_t long_value = 0;  // LONG_FILE_SIZE
  std::string text;       // the value as stored in the document; what is saved
  StringList string_list; // STRING_LIST; the chosen names of SELECT_MANY
  IpRangeList ip_ranges;
  PortRangeList port_ranges;
  StringSelectVector options;   // option list of the three option types
  StringSelectVector options2;  // second copy, for the second half of a STRING_RANGE
  double double_value = 0;

  Field() = default;
  // Non-option types, built from the schema default text. ConfigError when the default
  // of an INT, UINT, FILE_SIZE, LONG_FILE_SIZE or INT_RANGE (the bounds "min,max") field
  // does not convert. List defaults are not parsed: lists start empty.
  Field(bool enabled, std::string name, std::string comment, std::string desc,
        const std::string &default_text, FieldType type, bool optional);
  // The three option types, with a copy of the option list as options and options2.
  Field(bool enabled, std::string name, std::string comment, std::string desc,
        const StringSelectVector &options, FieldType type, bool optional);

  // Sets text and the typed value from a document value; ConfigError on a bad value
  // (BOOL accepts only "true", "TRUE", "false", "FALSE"; INT_RANGE must lie in
  // [min, max]; STRING_RANGE names must be options, ignoring case).
  void parse(const std::string &value);

  // Loads the value from the current element of `element` (the field's child element).
  // On BAD, *error (when given) receives the "flawed XML file" message.
  FieldLoad load(const XmlElement &element, std::string *error);
  // The same, but a bad value goes to error_log (fatal).
  void load(const XmlElement &element);
  // Logs the "flawed XML file" line and takes the fatal-assertion path ("error_log").
  [[noreturn]] void error_log(const XmlElement &element) const;
  // The "flawed XML file, section ..." message for this field's value text.
  std::string error_message(const XmlElement &element) const;

  // Takes the value from editor form arguments ("F<index>", "F<index>_2",
  // "F<index>_active", "F<index>_<option>"); ConfigError on a bad value.
  void read(const FormValues &form, int index);

  // Appends <name [active="..."]>text</name> to parent.
  void save(tinyxml2::XMLElement *parent) const;

  // What a value of this field must be, for messages.
  std::string nature() const;
  // Option names joined by ",".
  std::string possible_values() const;
};

class FieldVector : public std::vector<Field> {
 public:
  using std::vector<Field>::vector;
  // Loads every field in order; a bad value is fatal (Field::error_log).
  void load(const XmlElement &element);
  // Reads every field from form arguments; one message (comment " must be " nature) per
  // field that did not convert. The other fields are still read.
  StringList read(const FormValues &form);
  void save(tinyxml2::XMLElement *parent) const;
};

class Subsection;

// One rule: a copy of its subsection's template carrying the rule's values. Every item
// constructed or copied takes a new id; moving keeps it (containers may reallocate).
class Item {
 public:
  static std::atomic<int> count;  // next id; ids are never reused within a run

  int id;
  std::string section;
  std::string subsection;
  FieldVector fields;

  // A new item with the template's defaults.
  explicit Item(const Subsection &owner);
  // A new item loaded from `element` when given; a bad value is fatal.
  Item(const Subsection &owner, const XmlElement *element);
  Item(const Item &other);
  Item &operator=(const Item &other);
  Item(Item &&other) noexcept = default;
  Item &operator=(Item &&other) noexcept = default;

  int id_get() const { return id; }
  // Loads every field; false (and the message) at the first bad value.
  bool load(const XmlElement &element, std::string *error);
  StringList read(const FormValues &form) { return fields.read(form); }

  using TextMatch = std::function<bool(const std::string &)>;
  // Editor search: an empty matcher stands for an absent pattern. True when some field has
  // a matching name and a matching text (every item with a field matches two absent ones).
  bool match(const TextMatch &name_pattern, const TextMatch &value_pattern) const;
};

// A named, ordered list of items sharing one template.
class Subsection {
 public:
  bool enabled = true;  // a disabled subsection is hidden in the editor, its items still apply
  std::string section;
  std::string name;
  std::string comment;
  std::string desc;
  std::vector<Item> items;  // in document order; the order is significant
  FieldVector fields;       // the template
};

// ---- sections ------------------------------------------------------------------------

// Lock kinds of a section: a read-write lock, or a plain mutex for a section that also
// waits on condition variables with its configuration lock (the cache).
enum LockKind : int { LOCK_RWLOCK = 0, LOCK_MUTEX = 1 };

// Values of one section parsed from a document, not yet in force (see Section::load).
struct SectionStage {
  bool present = false;              // the document has an element for the section
  FieldVector globals;               // staged copies of the global fields
  std::vector<FieldLoad> loaded;     // per global field, what the commit takes
  std::vector<std::vector<Item>> items;  // per subsection, the loaded items
};

class Section {
 public:
  // Process-wide registry by name, in byte-wise name order. Filled by the constructors at
  // start-up (one thread), read-only afterwards; loading, saving and the editor visit it.
  static std::map<std::string, Section *> map;

  // Builds fields, templates, option lists and subsections from the schema document
  // (`sectionxml`) for `spec.name`, checks them against `spec` (a mismatch takes the
  // fatal-assertion path naming the section and the field), and registers the section.
  // The schema must be loaded first (schema_load, xml.h).
  explicit Section(const SectionSpec &spec);
  Section(const SectionSpec &spec, LockKind lock_kind);
  virtual ~Section();
  Section(const Section &) = delete;
  Section &operator=(const Section &) = delete;

  // Rebuilds the typed rule records after a load or an editor change; called with the
  // write lock held, never for a section that was not loaded. The default builds nothing.
  virtual void update();

  // Lock kind 0: shared lock / exclusive lock / release. Lock kind 1: all lock or
  // release the mutex. No code holds two section locks at once; the document lock
  // (xml.h) is always taken before a section lock.
  void read_lock() const;
  void write_lock() const;
  void unlock() const;

  // Lock kind 1 only (fatal otherwise): lock the mutex, wait on a condition with it held.
  void mutex_lock() const;
  void cond_wait(std::condition_variable &cond) const;
  // False when the deadline passed first.
  bool cond_timedwait(std::condition_variable &cond,
                      std::chrono::system_clock::time_point deadline) const;
  bool cond_timedwait(std::condition_variable &cond,
                      std::chrono::steady_clock::time_point deadline) const;

  // A single value (normally the typed value of a global field) read under the read lock.
  template <typename T>
  T atomic_read(const T *value) const {
    read_lock();
    T copy = *value;
    unlock();
    return copy;
  }

  std::string name_get() const { return name; }
  std::string comment_get() const { return comment; }
  LockKind lock_kind_get() const { return lock_kind; }

  // The subsection named exactly `sub`, or null.
  Subsection *subsection_get(std::string_view sub);

  struct ItemPosition {
    Subsection *subsection;
    std::vector<Item>::iterator item;
  };
  // First item with the id, subsections in order; ConfigError when none. Caller holds a lock.
  ItemPosition item_iterator_get(int id);
  Item &item_get(int id);

  // ---- document (xml.cpp) ----
  // Loading is two-phase so that a bad value anywhere can leave every section as it was:
  // load_stage parses this section's element into `stage` without changing the section
  // (under the read lock); load_commit puts the staged values in force under the write
  // lock and calls update(). Fields the document skips (disabled, optional without
  // element) keep their values in force; `clear` non-zero replaces the items, zero
  // appends the loaded ones.
  //
  // load_stage: ConfigError when the document has no element for the section; false (and
  // the "flawed XML file" message in *error) on a bad value.
  bool load_stage(const tinyxml2::XMLDocument &document, SectionStage *stage,
                  std::string *error) const;
  void load_commit(SectionStage &&stage, int clear);
  // Both phases for this one section. ConfigError when the section has no element (the
  // section is left unchanged); false with the message on a bad value (unchanged too).
  bool load(const tinyxml2::XMLDocument &document, int clear, std::string *error = nullptr);
  // Replaces the section's element of `document` (appended under the root when missing)
  // with the global fields, then every item of every subsection; under the read lock.
  void save(tinyxml2::XMLDocument &document) const;

  // Configuration data. Derived classes and the editor read and change it under the lock.
  std::string name;
  std::string comment;
  std::string desc;
  FieldVector globals;
  std::vector<Subsection> subsections;

 private:
  // pthread read-write lock: one unlock() serves both modes. Taking it in either mode
  // while this thread holds it exclusively is caught (fatal) rather than corrupting it.
  // Readers are preferred, so a thread may take the read lock it already holds (an
  // accessor using atomic_read inside a check); it must never take the write lock while
  // holding the read lock.
  class RwLock {
   public:
    RwLock();
    ~RwLock();
    RwLock(const RwLock &) = delete;
    RwLock &operator=(const RwLock &) = delete;
    void lock_shared();
    void lock();
    void unlock();

   private:
    pthread_rwlock_t lock_;
  };

  void build_from_schema();
  void check_spec(const SectionSpec &spec) const;
  void require_mutex(const char *function) const;

  LockKind lock_kind;
  mutable RwLock lock;
  mutable std::mutex mutex;
};

// Scoped holders of a section lock.
class SectionReadLock {
 public:
  explicit SectionReadLock(const Section &section) : section_(section) { section_.read_lock(); }
  ~SectionReadLock() { section_.unlock(); }
  SectionReadLock(const SectionReadLock &) = delete;
  SectionReadLock &operator=(const SectionReadLock &) = delete;

 private:
  const Section &section_;
};

class SectionWriteLock {
 public:
  explicit SectionWriteLock(const Section &section) : section_(section) { section_.write_lock(); }
  ~SectionWriteLock() { section_.unlock(); }
  SectionWriteLock(const SectionWriteLock &) = delete;
  SectionWriteLock &operator=(const SectionWriteLock &) = delete;

 private:
  const Section &section_;
};

// The section registered under `name`, or null.
Section *section_find(const std::string &name);
