// d_value.h - the framework's typed value property template; this project
// uses its int form, D_int.
#ifndef TAVRO_D_VALUE_H
#define TAVRO_D_VALUE_H

#include <memory>
#include <string>

#include "d_value_utils.h"
#include "tavro.h"

namespace tavro {

template <typename ValueT>
class D_value : public D_fct {
 public:
  typedef ValueT ValueType;

  D_value(const std::string& pn, EqFct* ef, u_int nbuf = 0);
  ~D_value() override;

  void get(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void set(EqAdr* adr, EqData* data_in, EqData* result, EqFct* ef) override;
  void get_multi(EqAdr* adr, EqData* data_in, EqData* result, int* i, const char* addr,
                 time_t* tm) override;
  void conf(Config* conf) override;
  void read() override;
  void write(std::ostream& ofile) override;
  void auto_init() override;
  int data_type() const override;
  using D_fct::data_type;
  void conf_process(EqFct* ef, int action) override;
  int send(dmsg_info_t* ip) override;

  virtual ValueType get_value() const;
  virtual void set_value(ValueType val);
  virtual void set_value(ValueType val, uint64_t evid, time_t sec, int usec);
  virtual ValueType value(uint64_t evid, time_t sec, int usec);
  virtual ValueType value();

  // Sets the value and appends it to the history child, which is created on
  // first use. 0 or the history's error code; -1 when nothing was archived.
  int set_and_archive(ValueType val, ArchiveStatus status, Timestamp timestamp, EventId event_id);

  // Inspection (tests, tools).
  bool archiving() const { return arch_en_; }
  D_hist* history() const { return hist_.get(); }
  Timestamp value_time() const { return value_time_; }

 protected:
  bool arch_en_;
  std::unique_ptr<D_hist> hist_;
  ValueType value_;
  std::string filepref_;
  int loghist_;
  int rblen_;
  Timestamp value_time_;

 private:
  void archiver_setup();
  bool no_location_warned_ = false;  // the "not archived" warning was printed
};

}  // namespace tavro

typedef tavro::D_value<int> D_int;

#endif  // TAVRO_D_VALUE_H
