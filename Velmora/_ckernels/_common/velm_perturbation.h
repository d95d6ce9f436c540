// One period of a pruned second-order perturbation solution (header-only, inlined by its users).
#ifndef VELM_PERTURBATION_H
#define VELM_PERTURBATION_H

#include "velm_common.h"

#endif
