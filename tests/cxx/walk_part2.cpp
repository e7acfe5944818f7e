#include "walk.h"

int cxx_walk::check_part2(drov::Handle &h) { return check_part<2>(h); }
