// sim_device_prop.h - a simulated device as the server's configuration
// names it, in the location SIMULATION:
//
//   LOCATION SIMULATION
//   DEVICE5	1 5 "zps48.eds"
//
// line, node id (0: the NodeID of the EDS file) and the EDS file (relative
// to the configuration file's directory). Clients read it as a text; it
// cannot be written while the server runs.
#ifndef ZUNTAL_SERVER_SIM_DEVICE_PROP_H
#define ZUNTAL_SERVER_SIM_DEVICE_PROP_H

#include <ostream>
#include <string>

#include "tavro.h"

namespace zserver {

class D_simdevice : public D_fct {
 public:
  D_simdevice(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

  void get(EqAdr*, EqData*, EqData* result, EqFct*) override {
    if (result) result->set(text());
  }
  void set(EqAdr*, EqData*, EqData* result, EqFct*) override {
    if (result)
      result->error(ERR_RO, basename() + ": simulated devices are fixed while the server runs");
  }
  void read() override;
  void write(std::ostream& os) override {
    D_fct::write(os);
    // A line that could not be used goes back as it was, for its author.
    if (!problem_.empty() && !raw_.empty())
      os << '\t' << raw_ << '\n';
    else
      os << '\t' << line_ << ' ' << node_ << ' ' << tavro::quote_conf_text(eds_) << '\n';
  }
  int data_type() const override { return DATA_TEXT; }
  using D_fct::data_type;

  std::string text() const {
    return std::to_string(line_) + " " + std::to_string(node_) + " " + eds_;
  }
  int line() const { return line_; }
  int node() const { return node_; }
  const std::string& eds() const { return eds_; }
  // "" when the record was read and well-formed, else what is wrong with it.
  const std::string& problem() const { return problem_; }

 private:
  int line_ = 0;
  int node_ = 0;
  std::string eds_;
  std::string raw_;
  std::string problem_ = "no configuration line";
};

}  // namespace zserver

#endif  // ZUNTAL_SERVER_SIM_DEVICE_PROP_H
