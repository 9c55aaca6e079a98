// The repaint's inner kernels, written once over an instruction-set description `Isa` and
// included inside a namespace per instruction set, between target pragmas, by render_fast.cpp.
// No include guard on purpose; include nothing here.
//
// A chunk is Isa::kUnroll vectors of neighbouring pixels of one row: lane j is pixel px0 + j. For one
// sample the lanes' weights lie side by side in the sample's mirrored weight row, so they come
// from one contiguous load. Lanes never share a sum: each lane adds its products in sample
// order, exactly as the reference loop does for its pixel, and the products of a float weight
// and an 8-bit channel are exact in double, so the fused multiply-add rounds once, like the
// reference's add. Lanes past the end of a run compute garbage that is never stored.

using V = Isa::V;
constexpr int kUnroll = Isa::kUnroll;
constexpr int kChunk = kUnroll * Isa::kLanes;

// Lanes' weight sums for one chunk, written for the chunk's valid lanes only.
inline void SumChunk(const ChunkJob &job, double *sums) {
    V acc[kUnroll];
    for (int u = 0; u < kUnroll; ++u) acc[u] = Isa::Zero();
    const int32_t py = job.py, px0 = job.px0;
    for (int32_t s = 0; s < job.sampleCount; ++s) {
        const BorderSample &sample = job.samples[s];
        const int32_t dy = py > sample.y ? py - sample.y : sample.y - py;
        const float *w = job.mirrorOrigin + ((ptrdiff_t)dy * job.mirrorRowLength + (px0 - sample.x));
        for (int u = 0; u < kUnroll; ++u) acc[u] = Isa::Add(acc[u], Isa::Weights(w + u * Isa::kLanes));
    }
    double lanes[kChunk];
    for (int u = 0; u < kUnroll; ++u) Isa::Store(lanes + u * Isa::kLanes, acc[u]);
    for (int32_t j = 0; j < job.lanes; ++j) sums[j] = lanes[j];
}

// Repaints one chunk: colour sums in sample order, divided by the precomputed weight sums,
// truncated, packed with top byte 0 and stored for the valid lanes.
inline void PaintChunk(const ChunkJob &job, const double *sums, uint32_t *out) {
    V red[kUnroll], green[kUnroll], blue[kUnroll];
    for (int u = 0; u < kUnroll; ++u) red[u] = green[u] = blue[u] = Isa::Zero();
    const int32_t py = job.py, px0 = job.px0;
    const double *colour = job.colours;
    for (int32_t s = 0; s < job.sampleCount; ++s, colour += 4) {
        const BorderSample &sample = job.samples[s];
        const int32_t dy = py > sample.y ? py - sample.y : sample.y - py;
        const float *w = job.mirrorOrigin + ((ptrdiff_t)dy * job.mirrorRowLength + (px0 - sample.x));
        const V r = Isa::Broadcast(colour), g = Isa::Broadcast(colour + 1), b = Isa::Broadcast(colour + 2);
        for (int u = 0; u < kUnroll; ++u) {
            const V weight = Isa::Weights(w + u * Isa::kLanes);
            red[u] = Isa::MulAdd(weight, r, red[u]);
            green[u] = Isa::MulAdd(weight, g, green[u]);
            blue[u] = Isa::MulAdd(weight, b, blue[u]);
        }
    }
    uint32_t spare[kChunk];
    uint32_t *target = job.lanes == kChunk ? out : spare;
    for (int u = 0; u < kUnroll; ++u) {
        const V total = Isa::Load(sums + u * Isa::kLanes);
        Isa::StorePixels(target + u * Isa::kLanes, Isa::Divide(red[u], total), Isa::Divide(green[u], total),
                         Isa::Divide(blue[u], total));
    }
    if (target == spare)
        __builtin_memcpy(out, spare, (size_t)job.lanes * 4);
}

const KernelSet kKernels = {kChunk, SumChunk, PaintChunk};
