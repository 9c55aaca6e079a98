// The single-precision screen of the repaint, written once over an instruction-set description
// `Isa` and included after render_kernel.h inside the namespaces of the instruction sets that
// have fused multiply-adds, by render_fast.cpp. No include guard on purpose; include nothing.
//
// Most of a repaint's time is the three multiply-adds per pixel and sample, and the double
// kernel already runs them at the processor's rate. A float vector holds twice the lanes, so the
// screen estimates each lane's colour sums in floats, in blocks of kBlock samples whose block
// sums are added in doubles. The estimate's quotient is within a known margin of the reference's
// quotient (bound below); when the quotient minus and plus the margin truncate to the same
// integer, that integer is the reference's result. The other lanes (a quotient within the margin
// of an integer: a few in a thousand on a varied picture, every lane where a channel is flat) are
// painted again by the exact kernel, a double vector at a time, so the output stays the
// reference's, bit for bit.
//
// The bound holds for rounding to nearest; under any other mode (all roundings then lean one
// way) the caller paints every lane exactly. Every term w c is positive and exact inside a fused
// multiply-add, so a block of b terms summed in floats, rounding once per step, is within
// (1 + 2^-24)^b - 1 < 1.01 b 2^-24 of its exact sum, relatively; widening is exact, and the
// double sums of blocks, the reference's own double sum (under 2^23 samples: the weight table
// refuses more) and the two divisions by the same weight sum add under 2^-26. So
// |estimate - reference| < q (kBlock + 2) 2^-24, with q the reference's quotient, which is at
// most the estimate times (1 + 2^-17): kMarginFactor holds both. Costs: per sample, one float
// load per vector and three float multiply-adds; per block, two widenings and two double adds
// per channel and vector.

constexpr int kFloatLanes = 2 * Isa::kLanes;
constexpr int kEstimateChunk = Isa::kEstimateUnroll * kFloatLanes;
constexpr int kBlock = 64;
constexpr double kMarginFactor = (kBlock + 3) * 0x1p-24;
static_assert(kEstimateChunk <= 64, "a chunk's undecided lanes are one 64-bit mask");
static_assert(kEstimateChunk <= kMaxChunk, "a chunk reads no further past a run than the mirror's padding");
static_assert(kEstimateChunk % kChunk == 0, "a region that fails its trial is painted in whole exact chunks");

// Adds the float sums of one block of samples, widened, to the double sums of a chunk of N float
// vectors (2 N double vectors per channel, in `totals` as red, green, blue).
template <int N>
void AddBlock(const typename Isa::F *red, const typename Isa::F *green, const typename Isa::F *blue, double *totals) {
    const typename Isa::F *channels[3] = {red, green, blue};
#pragma GCC unroll 3
    for (int c = 0; c < 3; ++c) {
        double *total = totals + c * N * kFloatLanes;
#pragma GCC unroll 8
        for (int u = 0; u < N; ++u) {
            V low, high;
            Isa::Widen(channels[c][u], low, high);
            Isa::Store(total + (2 * u) * Isa::kLanes, Isa::Add(Isa::Load(total + (2 * u) * Isa::kLanes), low));
            Isa::Store(total + (2 * u + 1) * Isa::kLanes, Isa::Add(Isa::Load(total + (2 * u + 1) * Isa::kLanes), high));
        }
    }
}

// The estimated colour sums of a chunk of N float vectors, into `totals` (zeroed by the caller).
template <int N>
void EstimateSums(const ChunkJob &job, double *totals) {
    typedef typename Isa::F F;
    const int32_t py = job.py, px0 = job.px0;
    const ptrdiff_t rowLength = job.mirrorRowLength;
    const float *origin = job.mirrorOrigin;
    const float *colour = job.floatColours;
    for (int32_t s = 0; s < job.sampleCount;) {
        const int32_t end = job.sampleCount - s < kBlock ? job.sampleCount : s + kBlock;
        F red[N], green[N], blue[N];
#pragma GCC unroll 8
        for (int u = 0; u < N; ++u) red[u] = green[u] = blue[u] = Isa::FloatZero();
        for (; s < end; ++s, colour += 4) {
            const BorderSample &sample = job.samples[s];
            const int32_t dy = py > sample.y ? py - sample.y : sample.y - py;
            const float *w = origin + ((ptrdiff_t)dy * rowLength + (px0 - sample.x));
            const F r = Isa::FloatBroadcast(colour), g = Isa::FloatBroadcast(colour + 1), b = Isa::FloatBroadcast(colour + 2);
#pragma GCC unroll 8
            for (int u = 0; u < N; ++u) {
                F weight = Isa::FloatLoad(w + u * kFloatLanes);
                // Into a register once: folded into each multiply-add, the compiler would load the
                // same unaligned vector three times, and the loads, not the arithmetic, would set
                // the pace.
                __asm__("" : "+v"(weight));
                red[u] = Isa::FloatMulAdd(weight, r, red[u]);
                green[u] = Isa::FloatMulAdd(weight, g, green[u]);
                blue[u] = Isa::FloatMulAdd(weight, b, blue[u]);
            }
        }
        AddBlock<N>(red, green, blue, totals);
    }
}

// Paints a chunk of N float vectors from the estimate and returns the mask of its lanes whose
// channels the estimate cannot decide (painted too, from the estimate).
template <int N>
uint64_t EstimateChunk(const ChunkJob &job, const double *sums, uint32_t *out) {
    double totals[3 * N * kFloatLanes] = {};
    EstimateSums<N>(job, totals);
    const double *red = totals, *green = totals + N * kFloatLanes, *blue = totals + 2 * N * kFloatLanes;
    const V factor = Isa::Broadcast(&kMarginFactor);
    uint32_t spare[N * kFloatLanes];
    uint32_t *target = job.lanes == N * kFloatLanes ? out : spare;
    uint64_t undecided = 0;
#pragma GCC unroll 8
    for (int u = 0; u < 2 * N; ++u) {
        const int at = u * Isa::kLanes;
        const V total = Isa::Load(sums + at);
        const V r = Isa::Divide(Isa::Load(red + at), total), g = Isa::Divide(Isa::Load(green + at), total),
                b = Isa::Divide(Isa::Load(blue + at), total);
        const uint64_t lanes = Isa::Undecided(r, Isa::Mul(r, factor)) | Isa::Undecided(g, Isa::Mul(g, factor)) |
                               Isa::Undecided(b, Isa::Mul(b, factor));
        undecided |= lanes << at;
        Isa::StorePixels(target + at, r, g, b);
    }
    if (target == spare) __builtin_memcpy(out, spare, (size_t)job.lanes * 4);
    return job.lanes < 64 ? undecided & ((uint64_t(1) << job.lanes) - 1) : undecided;
}

constexpr int EstimateVectors(int n) { return n < Isa::kEstimateUnroll ? n : Isa::kEstimateUnroll; }
typedef uint64_t (*EstimateFunction)(const ChunkJob &, const double *, uint32_t *);
const EstimateFunction kEstimates[] = {EstimateChunk<1>, EstimateChunk<EstimateVectors(2)>,
                                       EstimateChunk<EstimateVectors(3)>, EstimateChunk<EstimateVectors(4)>};
static_assert(Isa::kEstimateUnroll <= 4, "the table above holds up to 4 vectors");

// The screen over a chunk of up to kEstimateChunk lanes: every undecided lane's double vector is
// painted again by the exact kernel. Returns the lanes painted again.
int32_t Estimate(const ChunkJob &job, const double *sums, uint32_t *out) {
    uint64_t undecided = kEstimates[(job.lanes - 1) / kFloatLanes](job, sums, out);
    int32_t redone = 0;
    ChunkJob part = job;
    while (undecided) {
        const int32_t j = __builtin_ctzll(undecided) / Isa::kLanes * Isa::kLanes;
        part.px0 = job.px0 + j;
        part.lanes = job.lanes - j < Isa::kLanes ? job.lanes - j : Isa::kLanes;
        Paint(part, sums + j, out + j);
        redone += part.lanes;
        undecided &= j + Isa::kLanes >= 64 ? 0 : ~uint64_t(0) << (j + Isa::kLanes);
    }
    return redone;
}
