// sim_fixture.h - the CANopen fixture with simulated devices on line 1, made
// from the example EDS files.
#ifndef ZUNTAL_TESTS_SIM_FIXTURE_H
#define ZUNTAL_TESTS_SIM_FIXTURE_H

#include <memory>
#include <string>

#include "canopen_support.h"
#include "sim_bus.h"

namespace cotest {

class SimFixture : public CanopenFixture {
 protected:
  void TearDown() override {
    bus_.reset();  // the devices go before the driver is reset
    CanopenFixture::TearDown();
  }

  // The device of the example EDS file `eds` as node `node_id`.
  zsim::Device* add(int node_id, const std::string& eds) {
    std::string err;
    zsim::Device* d = bus_->add(node_id, std::string(ZUNTAL_EXAMPLES_DIR) + "/" + eds, &err);
    EXPECT_NE(nullptr, d) << err;
    return d;
  }

  std::unique_ptr<zsim::Bus> bus_ = std::make_unique<zsim::Bus>(0);  // line 1
};

}  // namespace cotest

#endif  // ZUNTAL_TESTS_SIM_FIXTURE_H
