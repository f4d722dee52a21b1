// eqfct.cpp - an equipment location: its name, the client of the current
// call and its properties by name.
#include <algorithm>
#include <sstream>

#include "tavro.h"

EqFct::EqFct(const std::string& name) : name_("NAME location name", this) {
  name_.set_value(name);
}

EqFct::~EqFct() {
  // Properties that outlive their location (children a property created and
  // never deletes) must not reach back into it when they go.
  std::lock_guard<std::mutex> lk(mx_);
  for (D_fct* p : props_) p->eqfct_ = nullptr;
  props_.clear();
}

std::string EqFct::get_username() const {
  std::lock_guard<std::mutex> lk(mx_);
  return user_;
}

std::string EqFct::get_hostname() const {
  std::lock_guard<std::mutex> lk(mx_);
  return host_;
}

void EqFct::set_client(const std::string& user, const std::string& host) {
  std::lock_guard<std::mutex> lk(mx_);
  user_ = user;
  host_ = host;
}

void EqFct::add_property(D_fct* p) {
  if (!p) return;
  std::lock_guard<std::mutex> lk(mx_);
  if (std::find(props_.begin(), props_.end(), p) == props_.end()) props_.push_back(p);
}

void EqFct::remove_property(D_fct* p) {
  std::lock_guard<std::mutex> lk(mx_);
  props_.erase(std::remove(props_.begin(), props_.end(), p), props_.end());
}

// By base name; a full name text (with a description after a blank) is
// accepted too. The first property registered under a name wins.
D_fct* EqFct::find_property(const std::string& name) const {
  const std::string base = name.substr(0, name.find(' '));
  std::lock_guard<std::mutex> lk(mx_);
  for (D_fct* p : props_)
    if (p->basename() == base) return p;
  return nullptr;
}

std::vector<D_fct*> EqFct::properties() const {
  std::lock_guard<std::mutex> lk(mx_);
  return props_;
}

namespace {

// Calls `slot` (get or set) of the property `prop` of `ef` with `in`, or an
// empty container without one; an unknown name is an error in `out`.
int call_property(EqFct& ef, const std::string& prop, EqData* in, EqData* out,
                  void (D_fct::*slot)(EqAdr*, EqData*, EqData*, EqFct*)) {
  D_fct* p = ef.find_property(prop);
  if (!p) {
    out->error(ERR_ILL_PROP, get_error_string(ERR_ILL_PROP) + " " + prop);
    return -1;
  }
  EqData empty;
  EqAdr adr(ef.name() + "/" + prop);
  (p->*slot)(&adr, in ? in : &empty, out, &ef);
  return 0;
}

}  // namespace

int EqFct::get(const std::string& prop, EqData* in, EqData* out) {
  if (!out) return -1;
  return call_property(*this, prop, in, out, &D_fct::get);
}

int EqFct::set(const std::string& prop, EqData* in, EqData* out) {
  EqData scratch;
  return call_property(*this, prop, in, out ? out : &scratch, &D_fct::set);
}

void EqFct::write_config(std::ostream& os, std::vector<std::string>* written) {
  os << "LOCATION " << tavro::conf_location_text(name()) << '\n';
  for (D_fct* p : properties()) {
    if (p->get_badname()) continue;  // a line without a usable name would not read back
    std::ostringstream line;
    p->write(line);
    std::string s = line.str();
    if (s.empty()) continue;
    // A property that writes only the start of its line still ends it.
    if (s.back() != '\n') s += '\n';
    os << s;
    if (written) written->push_back(p->basename());
  }
  os.flush();
}

void EqFct::restore_config() {
  for (D_fct* p : properties()) tavro::detail::restore_conf(this, p);
}

std::string get_user_and_host(const EqFct& ef) {
  return ef.get_username() + "@" + ef.get_hostname();
}

std::string get_location_name(const EqFct& ef) {
  return ef.name();
}
