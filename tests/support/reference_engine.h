// The straightforward region build, kept for tests (and benchmarks) as the reference that the
// module's faster build must equal: the same widening, labelling, numbering, pixel and sample
// lists, work plane values and weight floats, computed the plain way (a linear search over the
// region records for every mask cell, a whole-plane scan per region to store its samples).
// It works on a RemovalInstance like the module and allocates through the same seam, so the
// instance's own release frees what it builds.
#pragma once

#include "host/instance.h"

void ReferenceBuildRemovalRegions(RemovalInstance *instance, const FilterActivation *activation);
void ReferenceCollectBorderSamples(RemovalInstance *instance, const FilterActivation *activation);
void ReferenceBuildWeightTable(RemovalInstance *instance);
