// tavro.h - the TAVRO server framework layer: property base class, locations,
// data containers, configuration records, history, messages, sleep, time and
// the debug word. libZUNTAL and the example server build on this header.
#ifndef TAVRO_H
#define TAVRO_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

typedef unsigned int u_int;
typedef unsigned short u_short;
typedef unsigned char u_char;

// ---- Records -----------------------------------------------------------------

// Four signed 32-bit integers (type code 14).
struct IIII {
  int32_t i1_data = 0;
  int32_t i2_data = 0;
  int32_t i3_data = 0;
  int32_t i4_data = 0;
};

// An int, two floats, a time and a text (one element of a multi-property read).
struct USTR {
  int32_t i1_data = 0;
  float f1_data = 0;
  float f2_data = 0;
  time_t tm = 0;
  std::string str_data;
};

// Type codes of data containers.
enum TavroType {
  DATA_NULL = 0,
  DATA_INT = 1,
  DATA_FLOAT = 2,
  DATA_TEXT = 3,
  DATA_BOOL = 4,
  DATA_DOUBLE = 6,
  DATA_USTR = 7,
  DATA_IIII = 14,
  DATA_SHORT = 25,
  DATA_LONG = 26,
  DATA_USHORT = 27,
  DATA_UINT = 28,
  DATA_ULONG = 29,
  DATA_A_FLOAT = 100,
  DATA_A_INT = 105,
  DATA_A_DOUBLE = 110,
  DATA_A_UINT = 111,
  DATA_A_SHORT = 113,
  DATA_A_LONG = 114,
  DATA_A_USHORT = 116,
  DATA_A_ULONG = 117,
  DATA_A_BOOL = 118,
};

namespace tavro {

// A system-clock time point in nanoseconds since the Unix epoch. The default,
// the epoch itself, means "no time".
struct SecondsAndMicroseconds {
  int64_t seconds = 0;
  int32_t microseconds = 0;
};
struct Timestamp {
  int64_t t_ = 0;
  Timestamp() = default;
  explicit Timestamp(int64_t ns) : t_(ns) {}
  static Timestamp now();  // reads the system clock
  bool is_epoch() const { return t_ == 0; }
  SecondsAndMicroseconds get_seconds_and_microseconds_since_epoch() const;
  bool operator==(const Timestamp& o) const { return t_ == o.t_; }
  bool operator!=(const Timestamp& o) const { return t_ != o.t_; }
};

struct EventId {
  typedef int64_t BaseType;
  BaseType id_ = 0;
  EventId() = default;
  explicit EventId(BaseType id) : id_(id) {}
};

}  // namespace tavro

enum ArchiveStatus : uint16_t {
  sts_ok = 0,
  sts_err = 1,
  sts_off = 2,
  sts_ok2 = 4,
  sts_offline = 6,
  sts_la10 = 32768,
};

// Header of a data message (passed through to the framework only).
typedef struct dmsg_info {
  int64_t ident = 0;
  uint64_t sec = 0;
  uint32_t usec = 0;
  uint32_t stat = 0;
  uint32_t res0 = 0;
  uint32_t res1 = 0;
} dmsg_info_t;

// ---- Data container -------------------------------------------------------------

// The value of one client request or answer: a type code and its data, an
// error code with its text, and a time stamp.
class EqData {
 public:
  EqData();
  EqData(const EqData&);
  EqData& operator=(const EqData&);
  ~EqData();

  int type() const;
  void set_type(int type);
  int length() const;  // elements of an array type, 1 for a scalar, 0 when empty
  void clear();

  // Scalars; each sets the type code named beside it.
  int set(int v);                    // 1
  int set(float v);                  // 2
  int set(double v);                 // 6
  int set(const std::string& text);  // 3
  int set_bool(bool v);              // 4
  int set_short(int16_t v);          // 25
  int set_long(int64_t v);           // 26
  int set_ushort(uint16_t v);        // 27
  int set_uint(uint32_t v);          // 28
  int set_ulong(uint64_t v);         // 29
  int set(const IIII* v);            // 14
  // USTR element at `index` (the array grows as needed), type 7.
  int set(int i1, float f1, float f2, time_t tm, const std::string& s, int index);
  // Arrays: type 100, 105, 110, 111, 113, 114, 116, 117, 118.
  int set_array(int type, const std::vector<int64_t>& integers);  // integer array types
  int set_array_float(const std::vector<float>& v);               // 100
  int set_array_double(const std::vector<double>& v);             // 110

  // Integer of the container by the conversion table of the value property;
  // arrays give their element `index` (0 for the scalar forms).
  int get_int() const;
  int get_int(int index) const;
  int64_t get_long() const;
  int64_t get_long(int index) const;
  float get_float() const;
  double get_double() const;
  std::string get_string() const;
  // The container's IIII: the stored record for type 14; null for a
  // container of any other type, which holds no record (a property's set
  // answers it with ERR_ILL_TYPE and changes nothing).
  IIII* get_iiii();
  // USTR element `index`, or null.
  const USTR* get_ustr(int index) const;

  int error() const;
  void error(int code, const std::string& text);
  const std::string& error_text() const;

  tavro::Timestamp get_timestamp() const;
  void set_timestamp(tavro::Timestamp ts);

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Error codes the framework puts into a container (EqData::error).
enum TavroError {
  ERR_NONE = 0,
  ERR_ILL_PROP = 101,       // no property of that name in the location
  ERR_NOT_SUPPORTED = 102,  // the property does not implement the operation
  ERR_RO = 103,             // the property cannot be written
  ERR_NO_DATA = 104,        // no buffered value for the requested event or time
  ERR_HIST_FULL = 105,      // a history dropped its oldest entry to take a new one
  ERR_ILL_ARG = 106,        // an argument was missing or out of range
  ERR_ILL_TYPE = 107,       // the request's data type does not fit the property
};

// Error text of a framework error code.
std::string get_error_string(int code);

// Property address of a client call (the framework's; unused by this library).
class EqAdr {
 public:
  EqAdr() = default;
  explicit EqAdr(const std::string& address) : address_(address) {}
  const std::string& address() const { return address_; }

 private:
  std::string address_;
};

// ---- Configuration ----------------------------------------------------------------

// One property's stored configuration record.
struct D_conf_struct {
  std::string name;                 // property name
  bool found = false;               // a line for the property was read
  int line = 0;                     // line number in the file
  std::vector<std::string> tokens;  // the values after the name, as written
  std::vector<int> ints;            // the values that read as integers, in order
  std::string text;                 // the values as one text (after the name, trimmed)
  union {
    int d_int;
    float d_float;
    double d_double;
  };
  // Set by a property whose read() refused the line's value (and said so):
  // the property kept its value.
  bool rejected = false;
  D_conf_struct() : d_double(0) {}
};

class EqFct;
class D_fct;

// The server's configuration file: locations and their properties' records.
// Format (docs/framework.md): a line "LOCATION <name>" starts a location;
// each following line holds one property: its name, blanks or tabs, values.
// Blank lines and lines starting with '#' are ignored.
class Config {
 public:
  // Largest configuration file load() reads (16 MiB).
  static constexpr long long kMaxFileBytes = 16LL << 20;

  Config() = default;
  // Reads a file. Malformed lines are reported (with their line number)
  // through the message sink and skipped. Returns 0, or -1 when the file
  // cannot be opened, is not a regular file or is larger than kMaxFileBytes.
  int load(const std::string& path);
  int load_text(const std::string& text);  // the same from a string
  std::vector<std::string> locations() const;
  // The property names that have a record in location `loc`.
  std::vector<std::string> names(const std::string& loc) const;
  // Record of property `prop` in location `loc`, or null.
  D_conf_struct* find(const std::string& loc, const std::string& prop);
  // As find, but a missing line gives a record with found == false (owned by
  // this Config, stable until the next load) instead of null.
  D_conf_struct* lookup(const std::string& loc, const std::string& prop);
  // Registers a property's type code (conf_insert): a float (2) or double (6)
  // gets its first number in the record's union. Keyed by location and
  // name; the form without a location applies wherever the location has no
  // registration of its own.
  void insert(const std::string& loc, const std::string& prop, int type);
  void insert(const std::string& prop, int type);
  // Every registration by property name (the last one of a name).
  const std::map<std::string, int>& inserted() const { return inserted_; }
  int errors() const { return errors_; }
  // Lines that are neither blank nor comments.
  int content_lines() const { return content_lines_; }

  // Writes the configuration of the given locations to `path` atomically:
  // a new file beside it, then a rename. With `kept` (the Config the
  // locations were loaded from), every line of it that no property wrote
  // (malformed lines, lines of unknown properties, locations not given) is
  // written back verbatim in its location's block. Returns 0 or -1; a
  // failure is reported with the system's reason.
  static int write_file(const std::string& path, const std::vector<EqFct*>& locations,
                        const Config* kept = nullptr);
  // Removes the temporary files "<path>.tmp.<pid>.<n>" that an interrupted
  // write_file left beside `path` (their process is gone, or is this one
  // with no write under way). Reports each one; returns how many went.
  static int remove_stale_temporaries(const std::string& path);
  // Reads a whole text file of at most `limit` bytes: a regular file only
  // (a device, a FIFO or a directory is refused without being read).
  // Returns 0, or -1 with the reason in *error.
  static int read_file(const std::string& path, long long limit, std::string* text,
                       std::string* error);

 private:
  int type_of(const std::string& loc, const std::string& prop) const;
  std::map<std::string, std::map<std::string, D_conf_struct>> records_;
  std::vector<std::string> order_;
  std::map<std::string, int> inserted_;
  std::map<std::string, int> typed_any_;                         // by name only
  std::map<std::pair<std::string, std::string>, int> typed_at_;  // by location and name
  int errors_ = 0;
  int content_lines_ = 0;
  std::map<std::string, std::map<std::string, D_conf_struct>> absent_;
  // The text as read, one entry per line (line feed removed), and the lines
  // that were skipped: with the location whose block they stand in, or
  // before the first good LOCATION line.
  std::vector<std::string> raw_;
  std::vector<std::pair<int, std::string>> skipped_;
  std::vector<int> skipped_before_;
};

namespace tavro {
// A text as one configuration value: in double quotes, with backslash,
// double quote, tab, carriage return and line feed escaped as \\, \", \t,
// \r, \n and every other control character as \xHH. Config reads it back
// as one token holding the original text.
std::string quote_conf_text(const std::string& text);
// A location's name as its LOCATION line carries it: as it is, or quoted as
// above when it is empty, starts or ends with a blank, starts with a quote
// or holds a control character.
std::string conf_location_text(const std::string& name);
// Why a property name cannot be a configuration line's first word (empty,
// starts with '#', is LOCATION, holds a quote or a control character), or
// "" when it can.
std::string conf_name_problem(const std::string& name);
// A whole configuration value as a decimal int (an optional sign, nothing
// around it, in the int range).
bool parse_conf_int(const std::string& text, int* value);
}  // namespace tavro

// ---- Properties ---------------------------------------------------------------------

// The property base class. Virtual slots in this order.
class D_fct {
 public:
  // pn: the full name text, the name up to the first blank, then a description.
  D_fct(const std::string& pn, EqFct* ef, u_int nbuf = 0);
  virtual ~D_fct();

  virtual void get(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef);
  virtual void set(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef);
  virtual void names(EqAdr* adr, EqData* result, int* n);
  virtual void get_multi(EqAdr* adr, EqData* data_in, EqData* result, int* i, const char* addr,
                         time_t* tm);
  virtual void conf(Config* c);
  virtual void read();
  virtual void read_from_conf(const std::string& line);
  virtual void write(std::ostream& os);
  virtual void auto_init();
  virtual const char* comment() const;
  virtual int data_type() const;
  virtual int data_type();
  virtual int daq_type();
  virtual void conf_insert(Config* c, int type);
  virtual void conf_process(EqFct* ef, int action);
  virtual int callback_(EqAdr* adr, EqData* in, EqData* out, int a, int b, int* c);
  virtual int permission() const;
  virtual void permission(int p);
  virtual int d_error() const;
  virtual void d_error(int e);
  virtual int d_severity() const;
  virtual void d_severity(int s);
  virtual void set_mode(int m);
  virtual int send(dmsg_info_t* ip);

  // Names: basename() is the name up to the first blank (shown in messages),
  // property_name() the same as a C text, name() the full name text as given.
  const std::string& basename() const { return basename_; }
  const char* property_name() const { return basename_.c_str(); }
  const std::string& name() const { return name_; }
  const std::string& description() const { return description_; }
  bool get_badname() const { return badname_; }

  EqFct* get_eqfct() const { return eqfct_; }
  // This property's stored configuration record (found or not), or null
  // when the location has no configuration.
  D_conf_struct* find_prop_name();

  // Change messages are printed while service() != 0 and logging() is true.
  int service() const;
  bool logging() const;
  void set_service(int s) { service_ = s; }
  void set_logging(bool l) { logging_ = l; }

  u_int get_nbuf() const { return nbuf_; }
  int dynamic() const { return dynamic_; }
  void set_dynamic(int d) { dynamic_ = d; }

  // Time stamp of the value.
  void set_stamp(bool keep_old);
  tavro::Timestamp stamp() const { return stamp_; }

  // Hands a written configuration text to the framework's dump of the
  // property (kept as the last dumped text).
  void dump(const std::string& text);
  const std::string& last_dump() const { return dump_; }

  // Data messages: the property says it supports them; header and data go
  // out through the framework (kept as the last message for inspection).
  void dmsg_supported() { dmsg_supported_ = true; }
  bool is_dmsg_supported() const { return dmsg_supported_; }
  int send_header(dmsg_info_t* ip, int type);
  int send_data(const void* data, int len, int flags);
  const std::vector<uint8_t>& last_data_message() const { return dmsg_data_; }
  const dmsg_info_t& last_data_header() const { return dmsg_header_; }
  int last_data_header_type() const { return dmsg_header_type_; }

  // Per-event buffer of values (nbuf entries); 0 entries: every lookup fails.
  int get_buf_value(EqData* data, int64_t evid, time_t sec, int usec);
  int set_buf_value(EqData* data, int64_t evid, time_t sec, int usec);

 private:
  std::string name_, basename_, description_;
  EqFct* eqfct_;
  u_int nbuf_;
  bool badname_ = false;
  int service_ = 1;
  bool logging_ = true;
  int dynamic_ = 0;
  int permission_ = 0, error_ = 0, severity_ = 0, mode_ = 0;
  bool dmsg_supported_ = false;
  tavro::Timestamp stamp_;
  std::string dump_;
  std::vector<uint8_t> dmsg_data_;
  dmsg_info_t dmsg_header_;
  int dmsg_header_type_ = 0;
  struct BufEntry {
    int64_t evid;
    time_t sec;
    int usec;
    EqData data;
  };
  std::vector<BufEntry> buf_;
  size_t buf_next_ = 0;

  friend class EqFct;  // detaches the remaining properties when it goes
};

// An integer owned elsewhere.
class D_int_ptr : public D_fct {
 public:
  D_int_ptr(const std::string& pn, int* value, EqFct* ef);
  ~D_int_ptr() override;
  void get(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void set(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void write(std::ostream& os) override;
  int data_type() const override { return DATA_INT; }

  virtual void set_ptr(int* p);
  virtual int* get_ptr();
  virtual void set_value(int v);  // no effect without an integer
  virtual int get_value();        // 0 without an integer
  virtual int value();

 private:
  int* ptr_;
};

// A text property: owns its text, or shows a caller's buffer of `size` bytes
// (never written past; the text is cut to size - 1 characters).
class D_string : public D_fct {
 public:
  D_string(const std::string& pn, EqFct* ef);
  D_string(const std::string& pn, char* buffer, int size, EqFct* ef);
  ~D_string() override;
  void get(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void set(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void read() override;
  void write(std::ostream& os) override;
  int data_type() const override { return DATA_TEXT; }

  virtual void set_value(const char* s);
  virtual void set_value(const std::string& s);
  virtual std::string value() const;

 private:
  void store(const char* s, size_t n);
  std::string own_;
  char* buf_ = nullptr;
  int size_ = 0;
};

// A property holding an IIII.
class D_iiii : public D_fct {
 public:
  D_iiii(const std::string& pn, EqFct* ef);
  ~D_iiii() override;
  void get(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void set(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void read() override;
  void write(std::ostream& os) override;
  int data_type() const override { return DATA_IIII; }
  virtual IIII* value();
  virtual void set_value(const IIII* v);

 private:
  IIII v_;
};

// The location's name.
class D_name : public D_fct {
 public:
  D_name(const std::string& pn, EqFct* ef);
  void get(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void set(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void write(std::ostream& os) override;
  int data_type() const override { return DATA_TEXT; }
  std::string value() const;
  void set_value(const std::string& s);

 private:
  std::string v_;
};

// A history: keeps what fill_hist gives it, with five child properties
// (get_p_prop(1) to (5)).
class D_hist : public D_fct {
 public:
  struct Entry {
    int value;
    ArchiveStatus status;
    unsigned sec;
    unsigned msec;
  };
  D_hist(EqFct* ef, const std::string& pn, const std::string& filepref, int kind, int rblen,
         int loghist);
  ~D_hist() override;
  void get(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void auto_init() override;
  // Appends an entry; *err receives 0, or an error code when the history is full.
  virtual int fill_hist(int value, ArchiveStatus status, unsigned sec, unsigned msec, int* err);
  D_fct* get_p_prop(int k);

  const std::vector<Entry>& entries() const { return entries_; }
  const std::string& filepref() const { return filepref_; }
  int kind() const { return kind_; }
  int rblen() const { return rblen_; }
  int loghist() const { return loghist_; }
  int auto_inits() const { return auto_inits_; }

 private:
  std::string filepref_;
  int kind_, rblen_, loghist_;
  int auto_inits_ = 0;
  std::vector<Entry> entries_;
  std::vector<std::unique_ptr<D_fct>> children_;
};

// ---- Locations ---------------------------------------------------------------------

// An equipment location: its name, the client identity of the current call,
// and its properties by name.
class EqFct {
 public:
  explicit EqFct(const std::string& name);
  virtual ~EqFct();
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;

  std::string get_username() const;
  std::string get_hostname() const;
  void set_client(const std::string& user, const std::string& host);
  D_name* name_prop() { return &name_; }
  std::string name() const { return name_.value(); }

  // Properties register themselves on construction and leave on destruction.
  void add_property(D_fct* p);
  void remove_property(D_fct* p);
  D_fct* find_property(const std::string& name) const;  // by basename
  std::vector<D_fct*> properties() const;

  // Client access by property name, as a client of the framework sees it.
  // Return 0, or -1 for an unknown property (with an error in `out`).
  int get(const std::string& prop, EqData* in, EqData* out);
  int set(const std::string& prop, EqData* in, EqData* out);

  // The configuration records of this location (not owned; may be null).
  void set_config(Config* c) { config_ = c; }
  Config* config() const { return config_; }
  // The location's block: "LOCATION <name>", then every property's
  // configuration line, in order of construction (properties with a name
  // that cannot be written, see tavro::conf_name_problem, are left out).
  // `written`, when given, receives the names of the properties that wrote
  // a line.
  void write_config(std::ostream& os, std::vector<std::string>* written = nullptr);
  // Reads every property's stored configuration (read() of each, through
  // tavro::detail::restore_conf); nothing without a configuration.
  void restore_config();

 private:
  // The list comes first: the name property registers in it while the
  // location is being built.
  mutable std::mutex mx_;
  std::vector<D_fct*> props_;
  D_name name_;
  std::string user_, host_;
  Config* config_ = nullptr;
};

std::string get_user_and_host(const EqFct& ef);  // "user@host"
std::string get_location_name(const EqFct& ef);  // the value of its name property

// ---- Framework functions -------------------------------------------------------------

namespace tavro {
// One message line: label then text, through the message sink.
void printtostderr(const std::string& label, const std::string& text, unsigned flags = 0x80000000u);

// The message sink; by default standard error, one line per message.
using MessageSink = std::function<void(const std::string& label, const std::string& text)>;
void set_message_sink(MessageSink sink);  // empty: back to standard error

// The clock behind TAVROsleep and TAVROtime.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t now_us() = 0;           // microseconds on this clock
  virtual void sleep_us(int64_t us) = 0;  // blocks the caller
};
void set_clock(Clock* c);  // null: back to the real clock
Clock& clock();

// Archive mode of the framework (0: archiving off) and its global time stamp.
int get_arch_mode();
void set_arch_mode(int mode);
Timestamp get_global_timestamp();
void set_global_timestamp(Timestamp ts);

// Number text of a configuration value.
template <typename T>
void write_conf_value_to_stream(std::ostream& os, const T& v) {
  os << v;
}

namespace detail {
// Restores a property's configuration from its location's records (a null
// property is skipped).
void restore_conf(EqFct* ef, D_fct* p);
// Takes the record's value into *value when it is one integer in the int
// range. Otherwise (no value, a word, a number out of range, more than one
// value) prints "line N: NAME ...; it keeps its value V" with the label
// "Config", marks the record rejected and leaves *value as it is. Returns
// whether it took it.
bool read_conf_int(D_conf_struct* r, const std::string& name, int* value);
// Marks the record rejected and prints "line N: NAME<what>; it keeps its
// value <kept>" with the label "Config".
void refuse_conf(D_conf_struct* r, const std::string& name, const std::string& what,
                 const std::string& kept);
// The same for a record of exactly four integers ("NAME takes four integers,
// not "..."; it keeps its value a b c d").
bool read_conf_iiii(D_conf_struct* r, const std::string& name, IIII* value);
}  // namespace detail
}  // namespace tavro

// Blocks the caller: whole seconds plus a fraction in microseconds.
void TAVROsleep(int seconds, int fraction);
// Current time in whole seconds on the framework's clock.
time_t TAVROtime();
// The global debug word.
extern std::atomic<int> TAVRO_debug;

#endif  // TAVRO_H
