// fct.cpp - the property base class and the framework's plain property
// classes: integer pointer, text, IIII, location name and history.
#include <cmath>
#include <cstring>
#include <sstream>

#include "tavro.h"

// ---- D_fct -----------------------------------------------------------------------

D_fct::D_fct(const std::string& pn, EqFct* ef, u_int nbuf) : name_(pn), eqfct_(ef), nbuf_(nbuf) {
  const size_t blank = pn.find(' ');
  basename_ = pn.substr(0, blank);
  if (blank != std::string::npos) description_ = pn.substr(blank + 1);
  // A name must be something a configuration line can start with and read
  // back as the same name: not empty, no control characters, no quote, no
  // leading '#' (a comment) and not LOCATION. Such a property still works
  // for clients but is never written to the file; its creator is told.
  const std::string why = tavro::conf_name_problem(basename_);
  badname_ = !why.empty();
  if (badname_)
    tavro::printtostderr("D_fct", "property name \"" + basename_ +
                                      "\" cannot be kept in the configuration file (" + why +
                                      "); the property is not written to it");
  if (eqfct_) eqfct_->add_property(this);
}

D_fct::~D_fct() {
  if (eqfct_) eqfct_->remove_property(this);
}

void D_fct::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result) result->error(ERR_NOT_SUPPORTED, get_error_string(ERR_NOT_SUPPORTED));
}

void D_fct::set(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result) result->error(ERR_RO, get_error_string(ERR_RO));
}

void D_fct::names(EqAdr*, EqData* result, int* n) {
  if (result) result->set(name_);
  if (n) *n = 1;
}

void D_fct::get_multi(EqAdr*, EqData*, EqData* result, int* i, const char* addr, time_t* tm) {
  if (!result || !i) return;
  const float nan = std::nanf("");
  result->set(2147483647, nan, nan, tm ? *tm : 0, addr ? addr : "", *i);
}

void D_fct::conf(Config* c) {
  conf_insert(c, data_type());
}

void D_fct::read() {
  D_conf_struct* r = find_prop_name();
  if (r && r->found) read_from_conf(r->text);
}

void D_fct::read_from_conf(const std::string&) {}

void D_fct::write(std::ostream& os) {
  os << basename_;
}

void D_fct::auto_init() {}
const char* D_fct::comment() const {
  return description_.c_str();
}
int D_fct::data_type() const {
  return DATA_NULL;
}
int D_fct::data_type() {
  return static_cast<const D_fct*>(this)->data_type();
}
int D_fct::daq_type() {
  return data_type();
}

void D_fct::conf_insert(Config* c, int type) {
  if (!c) return;
  if (eqfct_)
    c->insert(eqfct_->name(), basename_, type);
  else
    c->insert(basename_, type);
}

void D_fct::conf_process(EqFct*, int) {}
int D_fct::callback_(EqAdr*, EqData*, EqData*, int, int, int*) {
  return 0;
}
int D_fct::permission() const {
  return permission_;
}
void D_fct::permission(int p) {
  permission_ = p;
}
int D_fct::d_error() const {
  return error_;
}
void D_fct::d_error(int e) {
  error_ = e;
}
int D_fct::d_severity() const {
  return severity_;
}
void D_fct::d_severity(int s) {
  severity_ = s;
}
void D_fct::set_mode(int m) {
  mode_ = m;
}

int D_fct::send(dmsg_info_t* ip) {
  return send_header(ip, data_type());
}

D_conf_struct* D_fct::find_prop_name() {
  if (!eqfct_ || !eqfct_->config()) return nullptr;
  return eqfct_->config()->lookup(eqfct_->name(), basename_);
}

int D_fct::service() const {
  return service_;
}
bool D_fct::logging() const {
  return logging_;
}

void D_fct::set_stamp(bool keep_old) {
  if (keep_old && !stamp_.is_epoch()) return;
  stamp_ = tavro::Timestamp::now();
}

void D_fct::dump(const std::string& text) {
  dump_ = text;
}

int D_fct::send_header(dmsg_info_t* ip, int type) {
  if (!dmsg_supported_ || !ip) return -1;
  dmsg_header_ = *ip;
  dmsg_header_type_ = type;
  return 0;
}

int D_fct::send_data(const void* data, int len, int flags) {
  (void)flags;
  if (len < 0 || (len > 0 && !data)) return -1;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  dmsg_data_.assign(p, p + len);
  return 0;
}

// The buffer of values per event: a ring of nbuf entries. A lookup selects by
// event id (> 0), else by time (the newest entry not after sec/usec), else
// the newest entry.
int D_fct::get_buf_value(EqData* data, int64_t evid, time_t sec, int usec) {
  if (nbuf_ == 0 || buf_.empty() || !data) return ERR_NO_DATA;
  const BufEntry* best = nullptr;
  for (const BufEntry& e : buf_) {
    if (evid > 0) {
      if (e.evid == evid) best = &e;
    } else if (sec > 0) {
      bool not_after = e.sec < sec || (e.sec == sec && e.usec <= usec);
      if (not_after && (!best || e.sec > best->sec || (e.sec == best->sec && e.usec > best->usec)))
        best = &e;
    }
  }
  if (evid <= 0 && sec <= 0) best = &buf_[(buf_next_ + buf_.size() - 1) % buf_.size()];
  if (!best) return ERR_NO_DATA;
  *data = best->data;
  return 0;
}

int D_fct::set_buf_value(EqData* data, int64_t evid, time_t sec, int usec) {
  if (nbuf_ == 0) return ERR_NO_DATA;
  if (!data) return ERR_ILL_ARG;
  BufEntry e{evid, sec, usec, *data};
  if (evid > 0) {
    for (BufEntry& old : buf_)
      if (old.evid == evid) {
        old = e;
        return 0;
      }
  }
  if (buf_.size() < nbuf_) {
    buf_.push_back(e);
    buf_next_ = buf_.size() % nbuf_;
  } else {
    buf_[buf_next_] = e;
    buf_next_ = (buf_next_ + 1) % nbuf_;
  }
  return 0;
}

// ---- D_int_ptr -----------------------------------------------------------------------

D_int_ptr::D_int_ptr(const std::string& pn, int* value, EqFct* ef) : D_fct(pn, ef), ptr_(value) {}
D_int_ptr::~D_int_ptr() = default;

void D_int_ptr::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result) result->set(get_value());
}

void D_int_ptr::set(EqAdr*, EqData* data_in, EqData*, EqFct*) {
  if (data_in) set_value(data_in->get_int());
}

void D_int_ptr::write(std::ostream& os) {
  D_fct::write(os);
  os << '\t' << get_value() << '\n';
}

void D_int_ptr::set_ptr(int* p) {
  ptr_ = p;
}
int* D_int_ptr::get_ptr() {
  return ptr_;
}
void D_int_ptr::set_value(int v) {
  if (ptr_) *ptr_ = v;
}
int D_int_ptr::get_value() {
  return ptr_ ? *ptr_ : 0;
}
int D_int_ptr::value() {
  return get_value();
}

// ---- D_string ----------------------------------------------------------------------------

D_string::D_string(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

D_string::D_string(const std::string& pn, char* buffer, int size, EqFct* ef)
    : D_fct(pn, ef), buf_(size > 0 ? buffer : nullptr), size_(size > 0 ? size : 0) {}

D_string::~D_string() = default;

void D_string::store(const char* s, size_t n) {
  if (!buf_) {
    own_.assign(s, n);
    return;
  }
  // The caller's buffer: at most size - 1 characters and the terminating NUL.
  const size_t room = static_cast<size_t>(size_) - 1;
  if (n > room) n = room;
  std::memmove(buf_, s, n);
  buf_[n] = '\0';
}

void D_string::set_value(const char* s) {
  if (!s) s = "";
  store(s, std::strlen(s));
}

void D_string::set_value(const std::string& s) {
  // A text with a NUL inside ends there, as it would in the buffer.
  store(s.c_str(), std::strlen(s.c_str()));
}

std::string D_string::value() const {
  if (!buf_) return own_;
  return std::string(buf_, strnlen(buf_, static_cast<size_t>(size_)));
}

void D_string::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result) result->set(value());
}

void D_string::set(EqAdr*, EqData* data_in, EqData*, EqFct*) {
  if (data_in) set_value(data_in->get_string());
}

// A quoted value reads back as one token; a hand-written bare text is taken
// as written. Words after a quoted text are refused and the value is kept.
void D_string::read() {
  D_conf_struct* r = find_prop_name();
  if (!r || !r->found) return;
  const bool quoted = !r->text.empty() && r->text[0] == '"';
  if (quoted && r->tokens.size() != 1) {
    tavro::detail::refuse_conf(r, basename(), " takes one text, not " + r->text,
                               tavro::quote_conf_text(value()));
    return;
  }
  const std::string v = quoted ? r->tokens[0] : r->text;
  store(v.c_str(), std::strlen(v.c_str()));
}

void D_string::write(std::ostream& os) {
  D_fct::write(os);
  os << '\t' << tavro::quote_conf_text(value()) << '\n';
}

// ---- D_iiii -------------------------------------------------------------------------------

D_iiii::D_iiii(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}
D_iiii::~D_iiii() = default;

void D_iiii::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result) result->set(&v_);
}

void D_iiii::set(EqAdr*, EqData* data_in, EqData* result, EqFct*) {
  const IIII* v = data_in ? data_in->get_iiii() : nullptr;
  if (v == nullptr) {
    if (result) result->error(ERR_ILL_TYPE, get_error_string(ERR_ILL_TYPE));
    return;
  }
  set_value(v);
}

// Exactly four integers, all or nothing: any other line is reported and the
// value is kept.
void D_iiii::read() {
  D_conf_struct* r = find_prop_name();
  if (r && r->found) tavro::detail::read_conf_iiii(r, basename(), &v_);
}

void D_iiii::write(std::ostream& os) {
  D_fct::write(os);
  os << '\t' << v_.i1_data << ' ' << v_.i2_data << ' ' << v_.i3_data << ' ' << v_.i4_data << '\n';
}

IIII* D_iiii::value() {
  return &v_;
}
void D_iiii::set_value(const IIII* v) {
  if (v) v_ = *v;
}

// ---- D_name ---------------------------------------------------------------------------------

D_name::D_name(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

void D_name::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result) result->set(v_);
}

// The name is what the configuration is looked up by: clients cannot change it.
void D_name::set(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (result) result->error(ERR_RO, get_error_string(ERR_RO));
}

// The location's block starts with "LOCATION <name>"; the name property adds
// no line of its own.
void D_name::write(std::ostream&) {}

std::string D_name::value() const {
  return v_;
}
void D_name::set_value(const std::string& s) {
  v_ = s;
}

// ---- D_hist ------------------------------------------------------------------------------------

namespace {

// One integer setting of a history (its children 1 to 5): readable and
// writable by clients, kept in the configuration file.
class HistSetting : public D_fct {
 public:
  HistSetting(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}
  void get(EqAdr*, EqData*, EqData* result, EqFct*) override {
    if (result) result->set(v_);
  }
  void set(EqAdr*, EqData* in, EqData*, EqFct*) override {
    if (in) v_ = in->get_int();
  }
  void read() override {
    D_conf_struct* r = find_prop_name();
    if (r && r->found) tavro::detail::read_conf_int(r, basename(), &v_);
  }
  void write(std::ostream& os) override {
    D_fct::write(os);
    os << '\t' << v_ << '\n';
  }
  int data_type() const override { return DATA_INT; }

 private:
  int v_ = 0;
};

}  // namespace

D_hist::D_hist(EqFct* ef, const std::string& pn, const std::string& filepref, int kind, int rblen,
               int loghist)
    : D_fct(pn, ef), filepref_(filepref), kind_(kind), rblen_(rblen), loghist_(loghist) {
  for (int k = 1; k <= 5; ++k)
    children_.emplace_back(new HistSetting(
        basename() + "." + std::to_string(k) + " history setting " + std::to_string(k), ef));
}

D_hist::~D_hist() = default;

// The entries as USTR elements: value, milliseconds, status, seconds.
void D_hist::get(EqAdr*, EqData*, EqData* result, EqFct*) {
  if (!result) return;
  result->clear();
  result->set_type(DATA_USTR);
  for (size_t k = 0; k < entries_.size(); ++k) {
    const Entry& e = entries_[k];
    result->set(e.value, static_cast<float>(e.msec), static_cast<float>(e.status),
                static_cast<time_t>(e.sec), "", static_cast<int>(k));
  }
}

void D_hist::auto_init() {
  ++auto_inits_;
}

// Keeps at most rblen entries (no bound when rblen <= 0). An entry that has
// to make room drops the oldest one; that is reported as ERR_HIST_FULL.
int D_hist::fill_hist(int value, ArchiveStatus status, unsigned sec, unsigned msec, int* err) {
  int code = 0;
  if (rblen_ > 0 && entries_.size() >= static_cast<size_t>(rblen_)) {
    entries_.erase(entries_.begin(), entries_.begin() + (entries_.size() - rblen_ + 1));
    code = ERR_HIST_FULL;
  }
  entries_.push_back(Entry{value, status, sec, msec});
  if (err) *err = code;
  return code;
}

D_fct* D_hist::get_p_prop(int k) {
  if (k < 1 || k > static_cast<int>(children_.size())) return nullptr;
  return children_[static_cast<size_t>(k - 1)].get();
}
