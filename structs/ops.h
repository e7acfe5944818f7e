// Everything a generated structure source needs: the field kinds and the
// type-level operations over them.
#pragma once

#include "structs/struct_ops.h"
