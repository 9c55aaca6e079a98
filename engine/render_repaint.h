// The Final-mode repaint in its two forms: the straightforward loop, which defines the result,
// and the vectorised kernels that reproduce it bit for bit from per-build data (the repaint
// plan) that the instance owns.
#pragma once

#include <cstdint>

struct FilterActivation;
struct RemovalInstance;

// Regions in array order, pixels in array order, every sample of the region in array order,
// sums in double precision. The reference every faster path is checked against.
void RepaintRegionsReference(const FilterActivation *fa, const RemovalInstance *instance);

// Builds the instance's repaint plan for its current regions and weight table: the weight rows
// mirrored over -maxDx..maxDx, every pixel's weight sum (in sample order), room for one region's
// sample colours, and a copy of the geometry it was built from. Called at the end of every
// completed region build. False when there is nothing to repaint or no memory for it; the
// instance then has no plan.
bool PrepareRepaintPlan(RemovalInstance *instance);
// Frees the plan; the instance then has none.
void ReleaseRepaintPlan(RemovalInstance *instance);
// True when the instance's plan was made for its current region list and weight table. Relies
// on the plan being released with the regions (ReleaseRemovalRegions) wherever they are.
bool RepaintPlanMatches(const RemovalInstance *instance);
// The vectorised repaint; requires RepaintPlanMatches. Same output as the reference.
void RepaintRegionsPlanned(const FilterActivation *fa, const RemovalInstance *instance);

// Instruction-set levels of the vectorised kernels. The best one the processor supports is
// chosen at run time; tests and benchmarks may pick a lower one.
enum RepaintLevel : int32_t { REPAINT_SSE2 = 0, REPAINT_AVX2 = 1, REPAINT_AVX512 = 2 };
RepaintLevel BestRepaintLevel();
// Selects the level used from now on (clamped to what the processor supports); returns the
// level that was in use.
RepaintLevel UseRepaintLevel(RepaintLevel level);
