// The Final-mode repaint in its two forms: the straightforward loop, which defines the result,
// and the vectorised kernels that must reproduce it bit for bit.
#pragma once

struct FilterActivation;
struct RemovalInstance;

// Regions in array order, pixels in array order, every sample of the region in array order,
// sums in double precision. The reference every faster path is checked against.
void RepaintRegionsReference(const FilterActivation *fa, const RemovalInstance *instance);
