// Everything a generated structure source needs: the field kinds and the
// type-level operations over them, by family.
#pragma once

#include "structs/identity.h"
#include "structs/render.h"
#include "structs/struct_ops.h"
#include "structs/wire.h"
