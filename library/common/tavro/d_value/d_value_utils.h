// d_value_utils.h - helper templates of the value property: reading a value
// from a data container and filling the entries of a multi-property read.
#ifndef TAVRO_D_VALUE_UTILS_H
#define TAVRO_D_VALUE_UTILS_H

#include <ctime>
#include <string>

#include "tavro.h"

namespace tavro {

template <typename T>
T get_value_from_eqdata(const EqData* ed);

template <>
inline int get_value_from_eqdata<int>(const EqData* ed) {
  return ed ? ed->get_int() : 0;
}

// A value entry of a multi-property read.
template <typename T>
void set_eqdata_to_value_for_get_multi(EqData* result, T value, time_t tm, const char* addr,
                                       int index);
// An error entry of a multi-property read.
template <typename T>
void set_eqdata_to_error_for_get_multi(EqData* result, time_t tm, const char* addr, int index);

template <>
void set_eqdata_to_value_for_get_multi<int>(EqData* result, int value, time_t tm, const char* addr,
                                            int index);
template <>
void set_eqdata_to_error_for_get_multi<int>(EqData* result, time_t tm, const char* addr, int index);

}  // namespace tavro

#endif  // TAVRO_D_VALUE_UTILS_H
