// A device server built outside the libZUNTAL tree against the installed
// package: one location with one CANopen node (line 1, node 5), watched for
// its state and its emergencies over a few update cycles on the simulated
// bus, where a simulated device made from an EDS file plays the node.
//   usage: zuntal_outside_server DEVICE.eds   (exit 0: operational, emergency seen)
#include <cstdio>

#include "D_zuntal.h"
#include "sim_bus.h"
#include "zuntal_version.h"

class Crate : public EqFct {
 public:
  Crate() : EqFct("CRATE1"), psu_("PSU power supply node", this) {}
  D_can psu_;
};

int main(int argc, char** argv) {
  std::printf("libZUNTAL %s, compiled against %s\n", zuntal_version(), ZUNTAL_VERSION_STRING);
  zsim::Bus bus(0);  // driver net 0 is CAN line 1
  std::string error;
  zsim::Device* device = argc == 2 ? bus.add(5, argv[1], &error) : nullptr;
  if (device == nullptr) return std::fprintf(stderr, "no device: %s\n", error.c_str()), 2;

  Crate crate;
  IIII address;
  address.i1_data = 1;  // line
  address.i2_data = 5;  // node id
  crate.psu_.set_value(&address);
  if (crate.psu_.init(0x700 + 5) != 0 || crate.psu_.init_emergency() != 0) return 1;
  crate.psu_.start_node();

  int emergencies = 0;
  for (int cycle = 0; cycle < 4; ++cycle) {
    if (cycle == 2) device->emergency(0x3210, 0x04);  // over-voltage
    bus.advance_to(bus.now_us() + 1000000);           // one heartbeat per cycle
    can_looping();
    CMSG rx[100];
    int n = 0;
    if (crate.psu_.can_array(rx, &n) == 0) {
      crate.psu_.alive_->check_alive(5, rx, &n);
      if (crate.psu_.can_emergency(5, rx, &n) == 100) ++emergencies;
    }
    std::printf("cycle %d: PSU.ALIVE %d\n", cycle, crate.psu_.alive_->get_value());
  }
  return crate.psu_.alive_->isalive() && emergencies == 1 ? 0 : 1;
}
