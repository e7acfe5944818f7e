#include "walk.h"

int cxx_walk::check_part1(drov::Handle &h) { return check_part<1>(h); }
