#include "walk.h"

int cxx_walk::check_part0(drov::Handle &h) { return check_part<0>(h); }
