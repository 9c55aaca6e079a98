// The repaint's inner kernels, written once over an instruction-set description `Isa` and
// included inside a namespace per instruction set, between target pragmas, by render_fast.cpp.
// No include guard on purpose; include nothing here.
//
// A chunk is up to Isa::kUnroll vectors of neighbouring pixels of one row: lane j is pixel
// px0 + j. For one sample the lanes' weights lie side by side in the sample's mirrored weight
// row, so they come from one contiguous load. Lanes never share a sum: each lane adds its
// products in sample order, exactly as the reference loop does for its pixel, and the products of
// a float weight and an 8-bit channel are exact in double, so the fused multiply-add rounds once,
// like the reference's add. A chunk uses only as many vectors as its pixels need, so short runs
// do not pay for a wide chunk; lanes past the end of a run compute garbage that is never stored.

using V = Isa::V;
constexpr int kUnroll = Isa::kUnroll;
constexpr int kChunk = kUnroll * Isa::kLanes;

// Lanes' weight sums for a chunk of N vectors, written for the chunk's valid lanes only.
template <int N>
void SumChunk(const ChunkJob &job, double *sums) {
    V acc[N];
#pragma GCC unroll 8
    for (int u = 0; u < N; ++u) acc[u] = Isa::Zero();
    const int32_t py = job.py, px0 = job.px0;
    for (int32_t s = 0; s < job.sampleCount; ++s) {
        const BorderSample &sample = job.samples[s];
        const int32_t dy = py > sample.y ? py - sample.y : sample.y - py;
        const float *w = job.mirrorOrigin + ((ptrdiff_t)dy * job.mirrorRowLength + (px0 - sample.x));
#pragma GCC unroll 8
        for (int u = 0; u < N; ++u) acc[u] = Isa::Add(acc[u], Isa::Weights(w + u * Isa::kLanes));
    }
    double lanes[N * Isa::kLanes];
#pragma GCC unroll 8
    for (int u = 0; u < N; ++u) Isa::Store(lanes + u * Isa::kLanes, acc[u]);
    for (int32_t j = 0; j < job.lanes; ++j) sums[j] = lanes[j];
}

// Repaints a chunk of N vectors: colour sums in sample order, divided by the precomputed weight
// sums, truncated, packed with top byte 0 and stored for the valid lanes.
template <int N>
void PaintChunk(const ChunkJob &job, const double *sums, uint32_t *out) {
    V red[N], green[N], blue[N];
#pragma GCC unroll 8
    for (int u = 0; u < N; ++u) red[u] = green[u] = blue[u] = Isa::Zero();
    const int32_t py = job.py, px0 = job.px0;
    const ptrdiff_t rowLength = job.mirrorRowLength;
    const float *origin = job.mirrorOrigin;
    const double *colour = job.colours;
    for (int32_t s = 0; s < job.sampleCount; ++s, colour += 4) {
        const BorderSample &sample = job.samples[s];
        const int32_t dy = py > sample.y ? py - sample.y : sample.y - py;
        const float *w = origin + ((ptrdiff_t)dy * rowLength + (px0 - sample.x));
        const V r = Isa::Broadcast(colour), g = Isa::Broadcast(colour + 1), b = Isa::Broadcast(colour + 2);
#pragma GCC unroll 8
        for (int u = 0; u < N; ++u) {
            const V weight = Isa::Weights(w + u * Isa::kLanes);
            red[u] = Isa::MulAdd(weight, r, red[u]);
            green[u] = Isa::MulAdd(weight, g, green[u]);
            blue[u] = Isa::MulAdd(weight, b, blue[u]);
        }
    }
    uint32_t spare[N * Isa::kLanes];
    uint32_t *target = job.lanes == N * Isa::kLanes ? out : spare;
#pragma GCC unroll 8
    for (int u = 0; u < N; ++u) {
        const V total = Isa::Load(sums + u * Isa::kLanes);
        Isa::StorePixels(target + u * Isa::kLanes, Isa::Divide(red[u], total), Isa::Divide(green[u], total),
                         Isa::Divide(blue[u], total));
    }
    if (target == spare) __builtin_memcpy(out, spare, (size_t)job.lanes * 4);
}

// The kernels for 1..kUnroll vectors, indexed by the number of vectors a chunk needs.
constexpr int Vectors(int n) { return n < kUnroll ? n : kUnroll; }
typedef void (*SumFunction)(const ChunkJob &, double *);
typedef void (*PaintFunction)(const ChunkJob &, const double *, uint32_t *);
const SumFunction kSums[] = {SumChunk<1>,          SumChunk<Vectors(2)>, SumChunk<Vectors(3)>, SumChunk<Vectors(4)>,
                             SumChunk<Vectors(5)>, SumChunk<Vectors(6)>, SumChunk<Vectors(7)>, SumChunk<Vectors(8)>};
const PaintFunction kPaints[] = {PaintChunk<1>,          PaintChunk<Vectors(2)>, PaintChunk<Vectors(3)>,
                                 PaintChunk<Vectors(4)>, PaintChunk<Vectors(5)>, PaintChunk<Vectors(6)>,
                                 PaintChunk<Vectors(7)>, PaintChunk<Vectors(8)>};
static_assert(kUnroll <= 8, "the tables above hold up to 8 vectors");

void Sum(const ChunkJob &job, double *sums) { kSums[(job.lanes - 1) / Isa::kLanes](job, sums); }
void Paint(const ChunkJob &job, const double *sums, uint32_t *out) {
    kPaints[(job.lanes - 1) / Isa::kLanes](job, sums, out);
}

