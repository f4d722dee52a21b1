// eqdata.cpp - the framework's data container: a type code with its data,
// an error code with its text and a time stamp.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "tavro.h"

namespace {

bool is_int_array(int type) {
  switch (type) {
    case DATA_A_INT:
    case DATA_A_UINT:
    case DATA_A_SHORT:
    case DATA_A_LONG:
    case DATA_A_USHORT:
    case DATA_A_ULONG:
    case DATA_A_BOOL:
      return true;
    default:
      return false;
  }
}

// Brings an integer to the range of the element or scalar type it is stored as.
int64_t normalize(int type, int64_t v) {
  switch (type) {
    case DATA_BOOL:
    case DATA_A_BOOL:
      return v != 0;
    case DATA_SHORT:
    case DATA_A_SHORT:
      return static_cast<int16_t>(static_cast<uint16_t>(v));
    case DATA_USHORT:
    case DATA_A_USHORT:
      return static_cast<uint16_t>(v);
    case DATA_INT:
    case DATA_A_INT:
      return static_cast<int32_t>(static_cast<uint32_t>(v));
    case DATA_UINT:
    case DATA_A_UINT:
      return static_cast<uint32_t>(v);
    default:
      return v;
  }
}

// Truncation toward zero that stays defined for every input: NaN gives 0,
// values beyond the target range give its nearest end.
template <typename I, typename F>
I truncate(F f) {
  if (std::isnan(f)) return 0;
  const F lo = static_cast<F>(std::numeric_limits<I>::min());
  const F hi = static_cast<F>(std::numeric_limits<I>::max());
  if (f <= lo) return std::numeric_limits<I>::min();
  if (f >= hi) return std::numeric_limits<I>::max();
  return static_cast<I>(f);
}

int low32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

}  // namespace

struct EqData::Impl {
  int type = DATA_NULL;
  int64_t i = 0;  // integer scalars (normalised to their type)
  float f = 0;    // DATA_FLOAT
  double d = 0;   // DATA_DOUBLE
  std::string text;
  IIII iiii;
  std::vector<USTR> ustr;
  std::vector<int64_t> iarr;
  std::vector<float> farr;
  std::vector<double> darr;
  int err = 0;
  std::string err_text;
  tavro::Timestamp ts;

  void clear_data() {
    i = 0;
    f = 0;
    d = 0;
    text.clear();
    iiii = IIII();
    ustr.clear();
    iarr.clear();
    farr.clear();
    darr.clear();
  }
  int set_int_scalar(int t, int64_t v) {
    clear_data();
    type = t;
    i = normalize(t, v);
    return 0;
  }
};

EqData::EqData() : d_(new Impl) {}
EqData::EqData(const EqData& o) : d_(new Impl(*o.d_)) {}
EqData& EqData::operator=(const EqData& o) {
  if (this != &o) *d_ = *o.d_;
  return *this;
}
EqData::~EqData() = default;

int EqData::type() const {
  return d_->type;
}
void EqData::set_type(int type) {
  d_->type = type;
}

int EqData::length() const {
  switch (d_->type) {
    case DATA_NULL:
      return 0;
    case DATA_USTR:
      return static_cast<int>(d_->ustr.size());
    case DATA_A_FLOAT:
      return static_cast<int>(d_->farr.size());
    case DATA_A_DOUBLE:
      return static_cast<int>(d_->darr.size());
    default:
      if (is_int_array(d_->type)) return static_cast<int>(d_->iarr.size());
      return 1;
  }
}

void EqData::clear() {
  *d_ = Impl();
}

int EqData::set(int v) {
  return d_->set_int_scalar(DATA_INT, v);
}
int EqData::set_bool(bool v) {
  return d_->set_int_scalar(DATA_BOOL, v);
}
int EqData::set_short(int16_t v) {
  return d_->set_int_scalar(DATA_SHORT, v);
}
int EqData::set_long(int64_t v) {
  return d_->set_int_scalar(DATA_LONG, v);
}
int EqData::set_ushort(uint16_t v) {
  return d_->set_int_scalar(DATA_USHORT, v);
}
int EqData::set_uint(uint32_t v) {
  return d_->set_int_scalar(DATA_UINT, v);
}
int EqData::set_ulong(uint64_t v) {
  return d_->set_int_scalar(DATA_ULONG, static_cast<int64_t>(v));
}

int EqData::set(float v) {
  d_->clear_data();
  d_->type = DATA_FLOAT;
  d_->f = v;
  return 0;
}

int EqData::set(double v) {
  d_->clear_data();
  d_->type = DATA_DOUBLE;
  d_->d = v;
  return 0;
}

int EqData::set(const std::string& text) {
  d_->clear_data();
  d_->type = DATA_TEXT;
  d_->text = text;
  return 0;
}

int EqData::set(const IIII* v) {
  if (!v) return -1;
  d_->clear_data();
  d_->type = DATA_IIII;
  d_->iiii = *v;
  return 0;
}

int EqData::set(int i1, float f1, float f2, time_t tm, const std::string& s, int index) {
  if (index < 0) return -1;
  if (d_->type != DATA_USTR) {
    d_->clear_data();
    d_->type = DATA_USTR;
  }
  if (d_->ustr.size() <= static_cast<size_t>(index))
    d_->ustr.resize(static_cast<size_t>(index) + 1);
  USTR& u = d_->ustr[static_cast<size_t>(index)];
  u.i1_data = i1;
  u.f1_data = f1;
  u.f2_data = f2;
  u.tm = tm;
  u.str_data = s;
  return 0;
}

int EqData::set_array(int type, const std::vector<int64_t>& integers) {
  if (!is_int_array(type)) return -1;
  d_->clear_data();
  d_->type = type;
  d_->iarr.reserve(integers.size());
  for (int64_t v : integers) d_->iarr.push_back(normalize(type, v));
  return 0;
}

int EqData::set_array_float(const std::vector<float>& v) {
  d_->clear_data();
  d_->type = DATA_A_FLOAT;
  d_->farr = v;
  return 0;
}

int EqData::set_array_double(const std::vector<double>& v) {
  d_->clear_data();
  d_->type = DATA_A_DOUBLE;
  d_->darr = v;
  return 0;
}

// The conversion table of the integer value property: the scalar or the
// array element `index`, cut or extended to a signed 32-bit integer.
int EqData::get_int(int index) const {
  const Impl& d = *d_;
  if (index < 0) return 0;
  const size_t k = static_cast<size_t>(index);
  switch (d.type) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_LONG:
    case DATA_UINT:
    case DATA_ULONG:
      return index == 0 ? low32(d.i) : 0;
    case DATA_SHORT:
      return index == 0 ? static_cast<int16_t>(static_cast<uint16_t>(d.i)) : 0;
    case DATA_USHORT:
      return index == 0 ? static_cast<uint16_t>(d.i) : 0;
    case DATA_FLOAT:
      return index == 0 ? truncate<int>(d.f) : 0;
    case DATA_DOUBLE:
      return index == 0 ? truncate<int>(d.d) : 0;
    case DATA_IIII:
      switch (index) {
        case 0:
          return d.iiii.i1_data;
        case 1:
          return d.iiii.i2_data;
        case 2:
          return d.iiii.i3_data;
        case 3:
          return d.iiii.i4_data;
        default:
          return 0;
      }
    case DATA_A_FLOAT:
      return k < d.farr.size() ? truncate<int>(d.farr[k]) : 0;
    case DATA_A_DOUBLE:
      return k < d.darr.size() ? truncate<int>(d.darr[k]) : 0;
    case DATA_A_SHORT:
      return k < d.iarr.size() ? static_cast<int16_t>(static_cast<uint16_t>(d.iarr[k])) : 0;
    case DATA_A_USHORT:
      return k < d.iarr.size() ? static_cast<uint16_t>(d.iarr[k]) : 0;
    case DATA_A_INT:
    case DATA_A_UINT:
    case DATA_A_LONG:
    case DATA_A_ULONG:
    case DATA_A_BOOL:
      return k < d.iarr.size() ? low32(d.iarr[k]) : 0;
    default:
      return 0;
  }
}

int EqData::get_int() const {
  // The record type has no single integer: the table gives 0 for it.
  if (d_->type == DATA_IIII) return 0;
  return get_int(0);
}

int64_t EqData::get_long(int index) const {
  const Impl& d = *d_;
  if (index < 0) return 0;
  const size_t k = static_cast<size_t>(index);
  switch (d.type) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_SHORT:
    case DATA_USHORT:
    case DATA_LONG:
    case DATA_UINT:
    case DATA_ULONG:
      return index == 0 ? d.i : 0;
    case DATA_FLOAT:
      return index == 0 ? truncate<int64_t>(d.f) : 0;
    case DATA_DOUBLE:
      return index == 0 ? truncate<int64_t>(d.d) : 0;
    case DATA_IIII:
      return get_int(index);
    case DATA_A_FLOAT:
      return k < d.farr.size() ? truncate<int64_t>(d.farr[k]) : 0;
    case DATA_A_DOUBLE:
      return k < d.darr.size() ? truncate<int64_t>(d.darr[k]) : 0;
    default:
      if (is_int_array(d.type)) return k < d.iarr.size() ? d.iarr[k] : 0;
      return 0;
  }
}

int64_t EqData::get_long() const {
  if (d_->type == DATA_IIII) return 0;
  return get_long(0);
}

double EqData::get_double() const {
  const Impl& d = *d_;
  switch (d.type) {
    case DATA_FLOAT:
      return d.f;
    case DATA_DOUBLE:
      return d.d;
    case DATA_ULONG:
      return static_cast<double>(static_cast<uint64_t>(d.i));
    case DATA_A_FLOAT:
      return d.farr.empty() ? 0 : d.farr[0];
    case DATA_A_DOUBLE:
      return d.darr.empty() ? 0 : d.darr[0];
    case DATA_A_ULONG:
      return d.iarr.empty() ? 0 : static_cast<double>(static_cast<uint64_t>(d.iarr[0]));
    case DATA_TEXT: {
      char* end = nullptr;
      double v = std::strtod(d.text.c_str(), &end);
      return end == d.text.c_str() ? 0 : v;
    }
    default:
      return static_cast<double>(get_long());
  }
}

float EqData::get_float() const {
  return static_cast<float>(get_double());
}

std::string EqData::get_string() const {
  const Impl& d = *d_;
  std::ostringstream os;
  switch (d.type) {
    case DATA_NULL:
      return "";
    case DATA_TEXT:
      return d.text;
    case DATA_FLOAT:
      os << d.f;
      break;
    case DATA_DOUBLE:
      os << d.d;
      break;
    case DATA_ULONG:
      os << static_cast<uint64_t>(d.i);
      break;
    case DATA_IIII:
      os << d.iiii.i1_data << ' ' << d.iiii.i2_data << ' ' << d.iiii.i3_data << ' '
         << d.iiii.i4_data;
      break;
    case DATA_USTR:
      for (size_t k = 0; k < d.ustr.size(); ++k) {
        if (k) os << ' ';
        os << d.ustr[k].str_data;
      }
      break;
    case DATA_A_FLOAT:
      for (size_t k = 0; k < d.farr.size(); ++k) os << (k ? " " : "") << d.farr[k];
      break;
    case DATA_A_DOUBLE:
      for (size_t k = 0; k < d.darr.size(); ++k) os << (k ? " " : "") << d.darr[k];
      break;
    default:
      if (is_int_array(d.type)) {
        for (size_t k = 0; k < d.iarr.size(); ++k) {
          if (k) os << ' ';
          if (d.type == DATA_A_ULONG)
            os << static_cast<uint64_t>(d.iarr[k]);
          else
            os << d.iarr[k];
        }
      } else {
        os << d.i;
      }
  }
  return os.str();
}

IIII* EqData::get_iiii() {
  return d_->type == DATA_IIII ? &d_->iiii : nullptr;
}

const USTR* EqData::get_ustr(int index) const {
  if (d_->type != DATA_USTR || index < 0 || static_cast<size_t>(index) >= d_->ustr.size())
    return nullptr;
  return &d_->ustr[static_cast<size_t>(index)];
}

int EqData::error() const {
  return d_->err;
}
void EqData::error(int code, const std::string& text) {
  d_->err = code;
  d_->err_text = text;
}
const std::string& EqData::error_text() const {
  return d_->err_text;
}

tavro::Timestamp EqData::get_timestamp() const {
  return d_->ts;
}
void EqData::set_timestamp(tavro::Timestamp ts) {
  d_->ts = ts;
}

std::string get_error_string(int code) {
  switch (code) {
    case ERR_NONE:
      return "ok";
    case ERR_ILL_PROP:
      return "illegal property";
    case ERR_NOT_SUPPORTED:
      return "operation not supported";
    case ERR_RO:
      return "property is read only";
    case ERR_NO_DATA:
      return "no data for this event or time";
    case ERR_HIST_FULL:
      return "history full, oldest entry dropped";
    case ERR_ILL_ARG:
      return "illegal argument";
    case ERR_ILL_TYPE:
      return "illegal data type";
    default:
      return "error " + std::to_string(code);
  }
}
