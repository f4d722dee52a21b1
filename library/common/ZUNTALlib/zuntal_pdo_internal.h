// zuntal_pdo_internal.h - library-private parts of the PDO service and the
// SYNC producer: the EDS reader they share and the update cycle's steps.
#ifndef ZUNTAL_PDO_INTERNAL_H
#define ZUNTAL_PDO_INTERNAL_H

#include <map>
#include <string>
#include <vector>

#include "D_zuntal.h"

namespace zuntal_detail {

// An INI file: sections by lower-case name, keys by lower-case name.
using Ini = std::map<std::string, std::map<std::string, std::string>>;
int read_ini(const std::string& path, Ini* out, std::string* error);
// Data type and name of object index/sub in an EDS; false when it lacks it.
bool eds_object_type(const Ini& ini, uint16_t index, uint8_t sub, uint16_t* type,
                     std::string* name);
// Whether an EDS describes object `index` (its section or one of a sub-object).
bool eds_has(const Ini& ini, uint16_t index);
// The PDOs of an EDS or DCF for node `node`, each checked; -1 with *error at
// the first one that is not well formed.
int pdo_maps_from_ini(const Ini& ini, int node, std::vector<pdo_map>* out, std::string* error);

// The update cycle's steps, called with D_can::mx_loop held: the PDO
// companions of a node decode what its fill brought, and at the end of the
// cycle the lines whose SYNC is due send it.
void pdo_after_fill(D_can* master);
void sync_after_cycle();
// Queues an RPDO frame for the next SYNC of `line` (a newer frame of the same
// identifier replaces an older one).
// False, and nothing queued, when the line sends no SYNC or its queue is
// full: the frame would never go out.
bool queue_for_sync(int line, const CMSG& frame);
// Drops every queued RPDO (the test reset).
void sync_forget_queued();
// Companions register with the cycle for their life.
void add_companion(D_canpdo* p);
void remove_companion(D_canpdo* p);

}  // namespace zuntal_detail

#endif  // ZUNTAL_PDO_INTERNAL_H
