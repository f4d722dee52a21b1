// zuntal_children.cpp - the command children .START, .STOP, .RESET and the
// master flag .ACTIVE of a node property.
#include "D_zuntal.h"
#include "zuntal_internal.h"

D_canint::D_canint(const std::string& pn, int todo, D_can* can, EqFct* efp)
    : tavro::D_value<int>(pn, efp, 0), todo_(todo), can_(can) {}

D_canint::~D_canint() {}

// The commands are not configuration: a stored value never comes back.
void D_canint::read() {}

void D_canint::set_value(int i) {
  tavro::D_value<int>::set_value(i);
  if (can_ == nullptr) return;
  // The written number plays no part in the command; its status is dropped.
  switch (todo_) {
    case START_NODE:
      can_->start_node();
      break;
    case STOP_NODE:
      can_->stop_node();
      break;
    case RESET_NODE:
      can_->reset_node();
      break;
    default:
      break;
  }
}

D_canactive::D_canactive(const std::string& pn, EqFct* efp) : tavro::D_value<int>(pn, efp, 0) {}

D_canactive::~D_canactive() {}

// The master is chosen by registration, never by a stored value.
void D_canactive::read() {}
