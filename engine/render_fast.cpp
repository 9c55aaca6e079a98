// The vectorised Final-mode repaint and the per-build plan it works from.
//
// The straightforward loop spends, per pixel and sample, an index computation, a table load, a
// source load, the channel split and four dependent double adds. Here the work per frame is cut
// to what must be redone per frame:
// - every pixel's weight sum is the same on every frame of a subtitle, so the plan computes it
//   once per build, in sample order (so it is the reference's sum, bit for bit);
// - each sample's colour is split into three doubles once per region and frame;
// - neighbouring pixels of a row are processed side by side, one vector lane per pixel, so one
//   sample costs one broadcast per channel and one fused multiply-add per channel and vector;
// - the weight rows are mirrored over -maxDx..maxDx, so the lanes' weights for one sample are
//   one contiguous load instead of a gather.
// Each lane adds its products in the reference's order and every product is exact, so the output
// is identical to the reference. The kernels exist for SSE2 (the baseline of every build), AVX2
// with FMA and AVX-512; the best one the processor supports is picked once at load time.
// - In 64-bit code the AVX2 and AVX-512 sets first screen each chunk in single precision, twice
//   the lanes per vector (render_estimate.h): a lane whose truncated quotient the float sums
//   decide within their proven error is painted from them, the few others by the exact kernel.
//   On the benchmark film the screen paints 97 % of the lanes, and the repaint takes a fifth
//   less time; a region whose trial shows mostly undecided lanes is painted exactly.
//
// The plan is made at the end of every completed region build and reused for every frame of
// that build; it is released together with the regions, so a frame only checks that it was made
// for the current list and table. Its memory: (maxDy + 1) mirrored rows of 2 maxDx + 1 floats
// plus padding, a double per region pixel, four doubles and four floats per sample of the
// largest region.
// Nothing is allocated per frame: without a plan (no memory for one) the reference loop runs.
#include <immintrin.h>

#include <cstring>

#include "engine/regions.h"
#include "engine/render_repaint.h"
#include "host/instance.h"
#include "host/memory.h"

namespace {

// Vector registers: 16 (32 with AVX-512) in 64-bit code, 8 in 32-bit code. A chunk keeps three
// accumulators per vector plus three broadcast colours and one weight vector in registers.
constexpr bool kWideRegisterFile = sizeof(void *) == 8;

// Lanes that a chunk may read past a run's end: the widest chunk is the screen's 4 x 16 lanes.
constexpr int32_t kMaxChunk = 64;

// What a kernel needs for one chunk of neighbouring pixels of one row.
struct ChunkJob {
    const BorderSample *samples;
    int32_t sampleCount;
    const double *colours;      // red, green, blue, unused: per sample of the region
    const float *floatColours;  // the same in single precision, for the screen
    const float *mirrorOrigin;  // the column of distance 0 in mirrored row 0
    ptrdiff_t mirrorRowLength;
    int32_t px0;    // plane column of lane 0
    int32_t py;     // plane row of the chunk
    int32_t lanes;  // valid lanes, 1..chunk
};

struct KernelSet {
    int32_t chunk;
    void (*sum)(const ChunkJob &job, double *sums);
    void (*paint)(const ChunkJob &job, const double *sums, uint32_t *out);
    // The single-precision screen (render_estimate.h) for chunks of up to estimateChunk lanes, a
    // multiple of `chunk`: paints the chunk, the lanes it cannot decide with the exact kernel, and
    // returns how many lanes the exact kernel painted. Null where there is none (SSE2, 32-bit
    // code): the exact kernel paints every lane.
    int32_t estimateChunk;
    int32_t (*estimate)(const ChunkJob &job, const double *sums, uint32_t *out);
};

}  // namespace

struct RepaintPlan {
    // The list and table it was made for; the plan is released with them (ReleaseRemovalRegions).
    const Region *regions;
    int32_t regionCount;
    const float *weights;
    int32_t weightStride;
    // Row dy holds, at column d + maxDx for d in -maxDx..maxDx, the weight of (|d|, dy).
    int32_t maxDx;
    int32_t maxDy;
    ptrdiff_t mirrorRowLength;
    float *mirror;
    double *weightSums;        // per pixel of the repainted regions, in list order, padded
    double *colours;     // 4 per sample of the largest region, refilled per region and frame
    float *floatColours;  // the same in single precision
};

namespace {

// ---- Kernels per instruction set ----

namespace sse2 {
struct Isa {
    typedef __m128d V;
    static constexpr int kLanes = 2;
    static constexpr int kUnroll = kWideRegisterFile ? 3 : 1;
    static V Zero() { return _mm_setzero_pd(); }
    static V Weights(const float *p) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))));
    }
    static V Broadcast(const double *p) { return _mm_set1_pd(*p); }
    // No fused form here; the product is exact, so the rounding is the same as the fused one's.
    static V MulAdd(V w, V c, V acc) { return _mm_add_pd(acc, _mm_mul_pd(w, c)); }
    static V Add(V a, V b) { return _mm_add_pd(a, b); }
    static V Load(const double *p) { return _mm_loadu_pd(p); }
    static void Store(double *p, V v) { _mm_storeu_pd(p, v); }
    static V Divide(V a, V b) { return _mm_div_pd(a, b); }
    static void StorePixels(uint32_t *out, V r, V g, V b) {
        const __m128i pixels = _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_cvttpd_epi32(r), 16),
                                                         _mm_slli_epi32(_mm_cvttpd_epi32(g), 8)),
                                            _mm_cvttpd_epi32(b));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), pixels);
    }
};
#include "engine/render_kernel.h"
const KernelSet kKernels = {kChunk, Sum, Paint, 0, nullptr};
}  // namespace sse2

// GCC takes the target for a stretch of code; clang (the fuzz build) per function.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
namespace avx2 {
struct Isa {
    typedef __m256d V;
    static constexpr int kLanes = 4;
    static constexpr int kUnroll = kWideRegisterFile ? 3 : 1;
    static V Zero() { return _mm256_setzero_pd(); }
    static V Weights(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static V Broadcast(const double *p) { return _mm256_broadcast_sd(p); }
    static V MulAdd(V w, V c, V acc) { return _mm256_fmadd_pd(w, c, acc); }
    static V Add(V a, V b) { return _mm256_add_pd(a, b); }
    static V Load(const double *p) { return _mm256_loadu_pd(p); }
    static void Store(double *p, V v) { _mm256_storeu_pd(p, v); }
    static V Divide(V a, V b) { return _mm256_div_pd(a, b); }
    static V Mul(V a, V b) { return _mm256_mul_pd(a, b); }
    // Lanes where q - margin and q + margin truncate to different integers, as bits.
    static uint64_t Undecided(V q, V margin) {
        const __m128i low = _mm256_cvttpd_epi32(_mm256_sub_pd(q, margin));
        const __m128i high = _mm256_cvttpd_epi32(_mm256_add_pd(q, margin));
        return (uint64_t)(~_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, high))) & 0xF);
    }
    typedef __m256 F;
    // The screen's float vectors per chunk: nine accumulators, three colours and a weight of the
    // sixteen registers (64-bit code only: eight registers would not hold them).
    static constexpr int kEstimateUnroll = 3;
    static F FloatZero() { return _mm256_setzero_ps(); }
    static F FloatLoad(const float *p) { return _mm256_loadu_ps(p); }
    static F FloatBroadcast(const float *p) { return _mm256_broadcast_ss(p); }
    static F FloatMulAdd(F w, F c, F acc) { return _mm256_fmadd_ps(w, c, acc); }
    static void Widen(F f, V &low, V &high) {
        low = _mm256_cvtps_pd(_mm256_castps256_ps128(f));
        high = _mm256_cvtps_pd(_mm256_extractf128_ps(f, 1));
    }
    static void StorePixels(uint32_t *out, V r, V g, V b) {
        const __m128i pixels = _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm256_cvttpd_epi32(r), 16),
                                                         _mm_slli_epi32(_mm256_cvttpd_epi32(g), 8)),
                                            _mm256_cvttpd_epi32(b));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), pixels);
    }
};
#include "engine/render_kernel.h"
#if defined(__x86_64__) || defined(_M_X64)
#include "engine/render_estimate.h"
const KernelSet kKernels = {kChunk, Sum, Paint, kEstimateChunk, Estimate};
#else
const KernelSet kKernels = {kChunk, Sum, Paint, 0, nullptr};
#endif
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// GCC 12's AVX-512 conversion intrinsics start from a deliberately undefined vector and warn
// about it once inlined; the value is fully overwritten.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
namespace avx512 {
struct Isa {
    typedef __m512d V;
    static constexpr int kLanes = 8;
    static constexpr int kUnroll = kWideRegisterFile ? 8 : 1;
    static V Zero() { return _mm512_setzero_pd(); }
    static V Weights(const float *p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    static V Broadcast(const double *p) { return _mm512_set1_pd(*p); }
    static V MulAdd(V w, V c, V acc) { return _mm512_fmadd_pd(w, c, acc); }
    static V Add(V a, V b) { return _mm512_add_pd(a, b); }
    static V Load(const double *p) { return _mm512_loadu_pd(p); }
    static void Store(double *p, V v) { _mm512_storeu_pd(p, v); }
    static V Divide(V a, V b) { return _mm512_div_pd(a, b); }
    static V Mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static uint64_t Undecided(V q, V margin) {
        const __m256i low = _mm512_cvttpd_epi32(_mm512_sub_pd(q, margin));
        const __m256i high = _mm512_cvttpd_epi32(_mm512_add_pd(q, margin));
        return (uint64_t)(~_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(low, high))) & 0xFF);
    }
    typedef __m512 F;
    // Twelve accumulators, three colours and a weight of the 32 registers (64-bit code only).
    static constexpr int kEstimateUnroll = 4;
    static F FloatZero() { return _mm512_setzero_ps(); }
    static F FloatLoad(const float *p) { return _mm512_loadu_ps(p); }
    static F FloatBroadcast(const float *p) { return _mm512_set1_ps(*p); }
    static F FloatMulAdd(F w, F c, F acc) { return _mm512_fmadd_ps(w, c, acc); }
    static void Widen(F f, V &low, V &high) {
        low = _mm512_cvtps_pd(_mm512_castps512_ps256(f));
        high = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(f), 1)));
    }
    static void StorePixels(uint32_t *out, V r, V g, V b) {
        const __m256i pixels =
            _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(_mm512_cvttpd_epi32(r), 16),
                                            _mm256_slli_epi32(_mm512_cvttpd_epi32(g), 8)),
                            _mm512_cvttpd_epi32(b));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), pixels);
    }
};
#include "engine/render_kernel.h"
#if defined(__x86_64__) || defined(_M_X64)
#include "engine/render_estimate.h"
const KernelSet kKernels = {kChunk, Sum, Paint, kEstimateChunk, Estimate};
#else
const KernelSet kKernels = {kChunk, Sum, Paint, 0, nullptr};
#endif
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

const KernelSet *const kKernelSets[] = {&sse2::kKernels, &avx2::kKernels, &avx512::kKernels};

RepaintLevel DetectLevel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return REPAINT_AVX512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return REPAINT_AVX2;
    return REPAINT_SSE2;
}

// Decided once when the module loads, before any instance exists.
const RepaintLevel g_bestLevel = DetectLevel();
RepaintLevel g_level = g_bestLevel;

// The regions the repaint paints: both counts positive (the reference skips the others).
bool Repainted(const Region &region) { return region.pixelCount > 0 && region.sampleCount > 0; }

// Calls visit(job, index of the chunk's first pixel among all repainted pixels, which indexes the
// weight sums) for every chunk of every repainted region, regions and runs in list order.
// `prepare` runs once per region first.
template <class Prepare, class Visit>
void ForEachChunk(const RegionList &list, const RepaintPlan &plan, int32_t chunk, Prepare prepare, Visit visit) {
    ChunkJob job{};
    job.colours = plan.colours;
    job.floatColours = plan.floatColours;
    job.mirrorOrigin = plan.mirror + plan.maxDx;
    job.mirrorRowLength = plan.mirrorRowLength;
    int32_t sumBase = 0;
    for (int32_t r = 0; r < list.count; ++r) {
        const Region &region = list.items[r];
        if (!Repainted(region)) continue;
        prepare(region);
        job.samples = region.samples;
        job.sampleCount = region.sampleCount;
        const RegionPixel *pixels = region.pixels;
        for (int32_t i = 0; i < region.pixelCount;) {
            // A run: the following pixels of the array that continue this one's row.
            int32_t run = 1;
            while (i + run < region.pixelCount && pixels[i + run].y == pixels[i].y &&
                   pixels[i + run].x == pixels[i].x + run)
                ++run;
            job.py = pixels[i].y;
            for (int32_t j = 0; j < run; j += chunk) {
                job.px0 = pixels[i].x + j;
                job.lanes = run - j < chunk ? run - j : chunk;
                visit(job, sumBase + i + j);
            }
            i += run;
        }
        sumBase += region.pixelCount;
    }
}

}  // namespace

RepaintLevel BestRepaintLevel() { return g_bestLevel; }

RepaintLevel UseRepaintLevel(RepaintLevel level) {
    const RepaintLevel previous = g_level;
    if (level < REPAINT_SSE2) level = REPAINT_SSE2;
    g_level = level > g_bestLevel ? g_bestLevel : level;
    return previous;
}

void ReleaseRepaintPlan(RemovalInstance *instance) {
    RepaintPlan *plan = instance->repaintPlan;
    if (!plan) return;
    FreeMemory(plan->mirror);
    FreeMemory(plan->weightSums);
    FreeMemory(plan->colours);
    FreeMemory(plan->floatColours);
    FreeMemory(plan);
    instance->repaintPlan = nullptr;
}

bool RepaintPlanMatches(const RemovalInstance *instance) {
    // Whatever releases the regions or replaces the table releases the plan first (a build, a
    // frame without subtitle, the end of the instance), so a plan that exists was made for the
    // list and table at these addresses; no frame pays for comparing their contents.
    const RepaintPlan *plan = instance->repaintPlan;
    return plan && plan->regions == instance->regions.items && plan->regionCount == instance->regions.count &&
           plan->weights == instance->weights && plan->weightStride == instance->weightStride;
}

// No plan for this build: whatever was made of it goes, and the reference loop paints its frames.
static bool Abandon(RemovalInstance *instance) {
    ReleaseRepaintPlan(instance);
    return false;
}

bool PrepareRepaintPlan(RemovalInstance *instance) {
    ReleaseRepaintPlan(instance);
    const RegionList &list = instance->regions;
    if (!list.items || list.count <= 0 || !instance->weights) return false;
    RepaintPlan *plan = static_cast<RepaintPlan *>(AllocateZeroedArray(1, sizeof(RepaintPlan)));
    if (!plan) return false;
    instance->repaintPlan = plan;
    plan->regions = list.items;
    plan->regionCount = list.count;
    plan->weights = instance->weights;
    plan->weightStride = instance->weightStride;

    // The same extents as the weight table's: the mirror covers every entry the regions reach.
    size_t pixelTotal = 0;
    for (int32_t r = 0; r < list.count; ++r) {
        const Region &region = list.items[r];
        if (!Repainted(region)) continue;
        if (!region.pixels || !region.samples) return Abandon(instance);
        pixelTotal += (size_t)region.pixelCount;
    }
    if (pixelTotal == 0) return Abandon(instance);
    const RegionExtents extents = MeasureRegions(list);
    const int32_t maxDx = extents.maxDx, maxDy = extents.maxDy, maxSamples = extents.maxSamples;

    // A chunk reads up to kMaxChunk - 1 columns past the last real distance of a row.
    const ptrdiff_t rowLength = ((2 * (ptrdiff_t)maxDx + 1 + kMaxChunk) + 15) & ~(ptrdiff_t)15;
    plan->maxDx = maxDx;
    plan->maxDy = maxDy;
    plan->mirrorRowLength = rowLength;
    plan->mirror = static_cast<float *>(AllocateZeroedArray((size_t)rowLength * ((size_t)maxDy + 1), sizeof(float)));
    plan->weightSums = static_cast<double *>(AllocateZeroedArray(pixelTotal + kMaxChunk, sizeof(double)));
    plan->colours = static_cast<double *>(AllocateArray((size_t)maxSamples * 4, sizeof(double)));
    plan->floatColours = static_cast<float *>(AllocateArray((size_t)maxSamples * 4, sizeof(float)));
    if (!plan->mirror || !plan->weightSums || !plan->colours || !plan->floatColours) return Abandon(instance);

    // Mirrored rows: every entry weights[stride * dy + |d|] that the reference loop could read for
    // these regions, whatever the table's layout. (In an interlaced table the rows of odd dy
    // alias other entries; no region of an interlaced build has an odd distance.)
    for (int32_t dy = 0; dy <= maxDy; ++dy) {
        float *row = plan->mirror + (ptrdiff_t)dy * rowLength + maxDx;
        const float *source = instance->weights + (ptrdiff_t)instance->weightStride * dy;
        for (int32_t d = 0; d <= maxDx; ++d) row[d] = row[-d] = source[d];
    }

    const KernelSet &kernels = *kKernelSets[g_level];
    ForEachChunk(
        list, *plan, kernels.chunk, [](const Region &) {},
        [&](const ChunkJob &job, int32_t first) { kernels.sum(job, plan->weightSums + first); });
    return true;
}

namespace {

// The screen pays for itself while the exact kernel repaints under half of what it painted: it
// costs about half the exact kernel. A region is tried on its first kTrialLanes lanes of each
// frame (a flat channel, whose every quotient is an integer, fails at once) and painted exactly
// for the rest of the frame when the trial fails. Regions with fewer than kScreenSamples samples
// (specks: little work, and that in short runs) are painted exactly: for them the screen's work
// per chunk, and a repaint of eight lanes for one undecided lane, outweigh its saving.
constexpr int32_t kTrialLanes = 256;
constexpr int32_t kScreenSamples = 64;

// The region's sample colours, split into channels once per region and frame; in floats too
// for a region the screen paints.
void SplitColours(const Region &region, const uint8_t *src, const RepaintPlan &plan, bool screened) {
    for (int32_t s = 0; s < region.sampleCount; ++s) {
        uint32_t v;
        std::memcpy(&v, src + region.samples[s].byteOffset, 4);
        for (int32_t c = 0; c < 3; ++c) plan.colours[4 * s + c] = (double)((v >> (16 - 8 * c)) & 0xFF);
    }
    if (!screened) return;
    for (int32_t s = 0; s < 4 * region.sampleCount; ++s) plan.floatColours[s] = (float)plan.colours[s];
}

// Paints a chunk of up to estimateChunk lanes with the exact kernel, `chunk` lanes at a time.
void PaintExactly(const KernelSet &kernels, const ChunkJob &job, const double *sums, uint32_t *out) {
    if (job.lanes <= kernels.chunk) return kernels.paint(job, sums, out);
    ChunkJob part = job;
    for (int32_t j = 0; j < job.lanes; j += kernels.chunk) {
        part.px0 = job.px0 + j;
        part.lanes = job.lanes - j < kernels.chunk ? job.lanes - j : kernels.chunk;
        kernels.paint(part, sums + j, out + j);
    }
}

}  // namespace

void RepaintRegionsPlanned(const FilterActivation *fa, const RemovalInstance *instance) {
    const RepaintPlan &plan = *instance->repaintPlan;
    const uint8_t *src = reinterpret_cast<const uint8_t *>(fa->src->data);
    uint8_t *dst = reinterpret_cast<uint8_t *>(fa->dst->data);
    const ptrdiff_t pitch = fa->dst->pitch;
    const KernelSet &kernels = *kKernelSets[g_level];
    int32_t tried = 0, redone = 0;
    bool screened = false;
    // The screen's error bound holds for rounding to nearest, the processor's default; under a
    // mode that a host may have set (MXCSR rounding bits) every lane is painted exactly.
    const bool nearest = (_mm_getcsr() & 0x6000u) == 0;
    ForEachChunk(
        instance->regions, plan, kernels.estimate ? kernels.estimateChunk : kernels.chunk,
        [&](const Region &region) {
            screened = kernels.estimate && nearest && region.sampleCount >= kScreenSamples;
            SplitColours(region, src, plan, screened);
            tried = redone = 0;
        },
        [&](const ChunkJob &job, int32_t first) {
            uint32_t *out = reinterpret_cast<uint32_t *>(dst + pitch * job.py + 4 * (ptrdiff_t)job.px0);
            const double *sums = plan.weightSums + first;
            if (!screened || (tried >= kTrialLanes && redone > tried / 2)) return PaintExactly(kernels, job, sums, out);
            redone += kernels.estimate(job, sums, out);
            tried += job.lanes;
        });
}
