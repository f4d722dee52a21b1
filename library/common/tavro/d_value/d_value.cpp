// d_value.cpp - the integer value property: value with change messages,
// client access through data containers, one configuration value, data
// messages and archiving into a history child created on first use.
#include "d_value.h"

#include <cstring>
#include <exception>
#include <sstream>

namespace tavro {

namespace {
const unsigned kFlags = 0x80000000u;

float quiet_nan() {
  const uint32_t bits = 0x7FC00000u;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
}  // namespace

template <>
void set_eqdata_to_value_for_get_multi<int>(EqData* result, int value, time_t tm, const char* addr,
                                            int index) {
  result->set(value, static_cast<float>(value), static_cast<float>(value), tm,
              std::string(addr ? addr : ""), index);
}

template <>
void set_eqdata_to_error_for_get_multi<int>(EqData* result, time_t tm, const char* addr,
                                            int index) {
  const float nan = quiet_nan();
  result->set(2147483647, nan, nan, tm, std::string(addr ? addr : ""), index);
}

template <typename ValueT>
D_value<ValueT>::D_value(const std::string& pn, EqFct* ef, u_int nbuf)
    : D_fct(pn, ef, nbuf),
      arch_en_(false),
      hist_(),
      value_(0),
      filepref_(),
      loghist_(-1),
      rblen_(-1),
      value_time_() {
  dmsg_supported();
}

template <typename ValueT>
D_value<ValueT>::~D_value() = default;

template <typename ValueT>
typename D_value<ValueT>::ValueType D_value<ValueT>::get_value() const {
  return value_;
}

template <typename ValueT>
typename D_value<ValueT>::ValueType D_value<ValueT>::value() {
  return value_;
}

template <typename ValueT>
void D_value<ValueT>::set_value(ValueType val) {
  if (service() != 0 && logging()) {
    std::ostringstream msg;
    msg << "D_value: " << basename() << " changed from ";
    write_conf_value_to_stream(msg, value_);
    msg << " to ";
    write_conf_value_to_stream(msg, val);
    if (EqFct* ef = get_eqfct()) {
      msg << " by " << get_user_and_host(*ef);
      printtostderr(get_location_name(*ef), msg.str(), kFlags);
    } else {
      printtostderr("D_value", msg.str(), kFlags);
    }
  }
  value_ = val;
  set_stamp(false);
}

template <typename ValueT>
void D_value<ValueT>::set_value(ValueType val, uint64_t evid, time_t sec, int usec) {
  D_value<ValueT>::set_value(val);  // not virtual: an override's side effects do not run
  EqData data;
  data.set(val);
  set_buf_value(&data, static_cast<int64_t>(evid), sec, usec);
}

template <typename ValueT>
typename D_value<ValueT>::ValueType D_value<ValueT>::value(uint64_t evid, time_t sec, int usec) {
  EqData data;
  if (get_buf_value(&data, static_cast<int64_t>(evid), sec, usec) != 0) return value_;
  return get_value_from_eqdata<ValueT>(&data);
}

namespace {
struct Selector {
  int64_t evid = -1;
  time_t sec = 0;
  int usec = 0;
};

// Event id, seconds and microseconds of a type-114 container of one to three
// elements; `other` is the event id for any other length.
Selector decode_long_array(const EqData* in, int64_t other) {
  Selector s;
  const int n = in->length();
  if (n < 1 || n > 3) {
    s.evid = other;
    return s;
  }
  s.evid = in->get_long(0);
  if (n >= 2) s.sec = static_cast<time_t>(in->get_long(1));
  if (n >= 3) s.usec = static_cast<int32_t>(static_cast<uint32_t>(in->get_long(2)));
  return s;
}
}  // namespace

template <typename ValueT>
void D_value<ValueT>::get(EqAdr*, EqData* data_in, EqData* result, EqFct*) {
  if (!result) return;
  Selector s;
  if (data_in) {
    switch (data_in->type()) {
      case DATA_A_LONG:
        s = decode_long_array(data_in, -1);
        break;
      case DATA_LONG:
        s.evid = data_in->get_long();
        break;
      case DATA_IIII:
        s.evid = data_in->get_int(0);
        s.sec = data_in->get_int(1);
        s.usec = data_in->get_int(2);
        break;
      case DATA_INT:
        s.evid = data_in->get_int();
        break;
      default:
        break;
    }
  }
  if (get_nbuf() == 0) {
    result->set(value_);
    return;
  }
  const int err = get_buf_value(result, s.evid, s.sec, s.usec);
  if (err != 0) result->error(err, get_error_string(err));
}

template <typename ValueT>
void D_value<ValueT>::get_multi(EqAdr*, EqData* data_in, EqData* result, int* i, const char* addr,
                                time_t* tm) {
  if (!result || !i) return;
  const time_t t = tm ? *tm : 0;
  // A null address would be undefined as a text; it gives an empty one.
  const char* a = addr ? addr : "";
  if (data_in && data_in->type() == DATA_A_LONG) {
    const Selector s = decode_long_array(data_in, 0);
    EqData dt;
    if (get_buf_value(&dt, s.evid, s.sec, s.usec) != 0)
      set_eqdata_to_error_for_get_multi<ValueT>(result, t, a, *i);
    else
      set_eqdata_to_value_for_get_multi<ValueT>(result, get_value_from_eqdata<ValueT>(&dt), t, a,
                                                *i);
    return;
  }
  if (d_error() != 0)
    set_eqdata_to_error_for_get_multi<ValueT>(result, t, a, *i);
  else
    set_eqdata_to_value_for_get_multi<ValueT>(result, value_, t, a, *i);
}

template <typename ValueT>
void D_value<ValueT>::set(EqAdr*, EqData* data_in, EqData*, EqFct*) {
  const ValueType v = get_value_from_eqdata<ValueT>(data_in);
  set_value(v);  // virtual: a derived class's override runs
  if (arch_en_) {
    const bool err = data_in && data_in->error() != 0;
    set_and_archive(v, err ? sts_err : sts_ok, data_in ? data_in->get_timestamp() : Timestamp(),
                    EventId());
  }
}

template <typename ValueT>
int D_value<ValueT>::set_and_archive(ValueType val, ArchiveStatus status, Timestamp timestamp,
                                     EventId event_id) {
  (void)event_id;
  D_value<ValueT>::set_value(val);
  if (get_badname() || get_arch_mode() == 0) return -1;

  if (!hist_) {
    // The history belongs to a location and is named after it; without one
    // there is nothing to archive into.
    if (!get_eqfct()) {
      if (!no_location_warned_) {
        no_location_warned_ = true;
        printtostderr(
            "set_and_archive",
            std::string("WARNING - no location - value of <") + property_name() + "> not archived",
            kFlags);
      }
      return -1;
    }
    printtostderr("set_and_archive",
                  "WARNING - postponed archiver setup - use correct constructor for <" +
                      get_location_name(*get_eqfct()) + "> <" + property_name() + ">",
                  kFlags);
    arch_en_ = true;
    filepref_ = "";
    loghist_ = 0;
    rblen_ = 200000;
    archiver_setup();
    if (!hist_) return -1;
    for (int k = 1; k <= 3; ++k) detail::restore_conf(get_eqfct(), hist_->get_p_prop(k));
    if (hist_->get_p_prop(4)) detail::restore_conf(get_eqfct(), hist_->get_p_prop(5));
    hist_->auto_init();
    if (D_fct* p4 = hist_->get_p_prop(4)) p4->auto_init();
  }

  Timestamp t = timestamp;
  if (t.is_epoch()) t = get_global_timestamp();
  if (t.is_epoch()) t = Timestamp::now();
  value_time_ = t;

  const SecondsAndMicroseconds sm = t.get_seconds_and_microseconds_since_epoch();
  int arch_err = 0;
  hist_->fill_hist(static_cast<int>(val), status,
                   static_cast<unsigned>(static_cast<uint32_t>(sm.seconds)),
                   static_cast<unsigned>(static_cast<uint32_t>(sm.microseconds / 1000)), &arch_err);
  return arch_err;
}

template <typename ValueT>
void D_value<ValueT>::archiver_setup() {
  if (!arch_en_ || get_badname()) return;
  hist_.reset(
      new D_hist(get_eqfct(), basename() + ".HIST history", filepref_, 1001, rblen_, loghist_));
}

template <typename ValueT>
void D_value<ValueT>::conf(Config* conf) {
  conf_insert(conf, 1);
}

template <typename ValueT>
void D_value<ValueT>::read() {
  try {
    // A line whose value is no integer is reported and changes nothing.
    D_conf_struct* r = find_prop_name();
    int v = static_cast<int>(value_);
    if (r && r->found && detail::read_conf_int(r, basename(), &v)) value_ = v;
  } catch (const std::exception& e) {
    printtostderr("read", e.what(), kFlags);
  }
}

template <typename ValueT>
void D_value<ValueT>::write(std::ostream& ofile) {
  D_fct::write(ofile);
  std::ostringstream line;
  line << '\t';
  write_conf_value_to_stream(line, value_);
  line << "\n";
  const std::string text = line.str();
  ofile << text;
  ofile.flush();
  dump(text);
}

template <typename ValueT>
void D_value<ValueT>::auto_init() {
  if (arch_en_ && hist_) hist_->auto_init();
}

template <typename ValueT>
int D_value<ValueT>::data_type() const {
  return DATA_INT;
}

template <typename ValueT>
void D_value<ValueT>::conf_process(EqFct* ef, int action) {
  D_fct::conf_process(ef, action);
  if (hist_) {
    hist_->set_dynamic(dynamic());
    hist_->conf_process(ef, action);
  }
}

template <typename ValueT>
int D_value<ValueT>::send(dmsg_info_t* ip) {
  const int r = send_header(ip, 1);
  if (r != 0) return r;
  unsigned char bytes[sizeof(ValueType)];
  std::memcpy(bytes, &value_, sizeof bytes);
  return send_data(bytes, static_cast<int>(sizeof bytes), 0);
}

template class D_value<int>;

}  // namespace tavro
