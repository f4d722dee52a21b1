#include "D_zuntal.h"
