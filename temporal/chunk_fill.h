// The temporal fill of a chunk: consecutive pictures of one subtitle run, with up to a window of
// pictures before and after them, each picture's hole given.
//
// How, for the pictures [first, last) of `frames`:
//   1. Shot cuts are found between neighbours (cuts.h); nothing crosses one.
//   2. Between neighbours that a hole touches, the motion both ways is measured in the band and
//      completed inside the holes (band_flow.h), and each picture's edges are measured for the
//      check (structure.h). Pairs measured for the chunk before, or ahead of this one while the
//      caller waited for its pictures (MeasureAhead), are taken over.
//   3. A forward pass carries the background memory from the first picture to the last output,
//      a backward pass from the last picture back to the first output (propagate.h); each output
//      hole sample keeps what each pass brought and its age. Where a pass takes the background
//      from a picture that shows it, the sighting is blended over the `blend` pictures that show
//      it there, the agreeing ones (propagate.h): the flows of pairs without a hole are measured
//      too where such a chain needs them, up to `blend` - 1 pictures from a hole.
//   4. A final pass in time order takes, per sample, the two candidates blended by the age of
//      their sightings (the younger weighs more), or the one there is; where there is none, the
//      previous output carried along the motion (unchecked), so a still shot shows a still fill;
//      where that is missing too (the run's first picture, a cut), the spatial repaint of this
//      picture. The seam is then corrected on the ring (seam.h). Then the judge (fill_judge.h)
//      weighs the temporal fill against the spatial repaint, by how well it continues the picture
//      on the ring and how far the two are apart, the carried values more strictly, and blends
//      the repaint in where the temporal fill is the worse choice. The hole samples are written
//      to the output.
// Results depend only on the pictures given: a chunk cut anywhere, given the window on both sides,
// fills its outputs as a longer one would (see propagate.h), except for the previous output
// carried into the first, which the caller passes on from chunk to chunk.
//
// Cost per output picture: two flows of the band (and the window's share at the chunk's ends,
// with `blend` - 1 pairs more beyond a picture without a subtitle, and the picture noise of each
// pair), two memory steps, one composition over the hole and its ring, and the spatial repaint
// where the judge asks for it (the host makes it). With `parallel`, the flows and the two passes
// are shared by two threads: 2.4 of the 2.9 seconds of the chunks' work on the benchmark's
// 720x576 pan (before the blend and the judge). Memory: two flow fields, one 8-bit band image and the edges' shape (half
// a byte a band pixel) per picture of the chunk, candidates for the hole samples of the outputs.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "temporal/band_flow.h"
#include "temporal/cuts.h"
#include "temporal/fill_judge.h"
#include "temporal/hole.h"
#include "temporal/propagate.h"
#include "temporal/seam.h"
#include "temporal/structure.h"

namespace temporal {

struct ChunkFrame {
    PictureRef picture;         // decoded samples
    const Hole *hole = nullptr;  // null or empty: no subtitle
    // For flows kept from one chunk to the next: the frame's number in the film and which hole
    // it has (-1: none). Without a number nothing is kept.
    int64_t number = -1;
    int holeId = -1;
};

struct FillSettings {
    StepSettings step;
    // Chosen on a panned test film, over the damaged pixels: a margin of 9 to 12 pixels gave
    // 42 to 42.7 dB, 6 gave 37.8 and 24 gave 40.6; averaging the band down by 2 before the flow
    // lost 9 dB.
    int flowScale = 1;     // the flow is measured at 1/flowScale of the luma resolution
    int flowPreset = 0;    // DIS preset: 0 ultrafast, 1 fast, 2 medium (all refined to half resolution)
    int flowMargin = 10;   // luma pixels around the hole where the measured flow is replaced
    CutThresholds cuts;
    // A sighting of the background is blended over up to this many pictures (1: the one alone,
    // at most kMaxLinks + 1). Agreeing means within the larger of `agreeFloor` and `agreeFactor`
    // times the pair's picture noise, in 8-bit levels. Measured on the real clips (radius 5), the
    // blend changed no clip by more than 0.15 dB (up or down); on the still camera with specks of
    // the kernel tests it took the fill's deviation from the background from 9.3 to 3.4 levels.
    int blend = 5;
    float agreeFactor = 3.0f;
    float agreeFloor = 6.0f;
    // The judge asks for the spatial repaint where a sample was carried, or where the ring's error
    // beyond the picture's noise exceeds this, in 8-bit levels of luma; negative: no judge.
    float judgeFloor = 1.5f;
    // A second thread measures every other pair's flows and runs the backward pass beside the
    // forward one. The results are the same bytes: each pair's flow and each pass depend only on
    // the pictures.
    bool parallel = false;
};

struct FillCallbacks {
    // The spatial repaint of frame i, made when first needed; null when there is none.
    std::function<const PictureRef *(int)> spatial;
    // Where frame i's output goes: a writable copy of its samples.
    std::function<PictureRef(int)> output;
    // Called once frame i's output is written, in order: the outputs before frame i are final and
    // no longer read, so the caller may pass them on while the rest is filled. May be null.
    std::function<void(int)> done;
};

struct FillStats {
    int64_t propagated = 0;  // hole samples of the luma plane filled from other pictures
    int64_t carried = 0;     // from the previous output
    int64_t spatial = 0;     // from the spatial repaint
    int64_t judged = 0;      // of the propagated and carried, those that took more of the repaint
};

class ChunkFill {
public:
    explicit ChunkFill(const FillSettings &settings);
    // `previous`: the output of the picture before frames[first], when it belongs to the same
    // subtitle run and no cut lies between them; else null.
    void Run(const std::vector<ChunkFrame> &frames, int first, int last, Band band, const FillCallbacks &callbacks,
             const PictureRef *previous, FillStats &stats);
    // Measures ahead, while the caller waits for the rest of a chunk's pictures, the flows of one
    // pair of `frames` (numbered) that a hole touches and no cut parts, in `band`; a Run given the
    // same band and holes takes them over (each pair's measure depends only on its two pictures,
    // their holes and the band, so the output is the same bytes). False when every such pair is
    // measured. Flows measured ahead and not taken by the next Run are dropped.
    bool MeasureAhead(const std::vector<ChunkFrame> &frames, Band band);

private:
    void FindCuts(const std::vector<ChunkFrame> &frames);
    void MeasureFlows(const std::vector<ChunkFrame> &frames, Band band);
    void ForwardPass(const std::vector<ChunkFrame> &frames, int first, int last);
    void BackwardPass(const std::vector<ChunkFrame> &frames, int first, int last);
    void Passes(const std::vector<ChunkFrame> &frames, int first, int last);
    // The memory of one pass: the neighbour's and this picture's, per plane, and candidates for
    // pictures that are not outputs.
    struct PassBuffers {
        std::vector<PlaneMemory> memory[2];
        std::vector<PlaneCandidates> scratch;
        SourceChain chain;
    };
    void MeasureStructures(const std::vector<ChunkFrame> &frames, Band band);
    void MeasureSome(StructureMeter &meter, BandImage &scratch, const std::vector<ChunkFrame> &frames, Band band, size_t from,
                     size_t step);
    void MeasurePairs(BandFlow &flow, const std::vector<ChunkFrame> &frames, Band band, size_t from, size_t step);
    void MeasurePair(BandFlow &flow, const BandImage &a, const BandImage &b, const Hole *ha, const Hole *hb, Band band,
                     uint8_t need, FlowField &toPrevious, FlowField &toNext, float noise[2], std::vector<float> &scratch);
    void Step(const std::vector<ChunkFrame> &frames, int i, int j, const FlowField *toward, const FlowField *back,
              PlaneCandidates *out, PassBuffers &buffers);
    void MeasureTolerances(size_t n);
    static constexpr uint8_t kToPrevious = 1, kToNext = 2, kBothWays = 3;
    uint8_t Needed(const std::vector<ChunkFrame> &frames, size_t i) const;
    void MakeChain(const std::vector<ChunkFrame> &frames, int i, int j, SourceChain &chain) const;
    float NoiseAt(int i) const;
    int ChainReach() const;
    StepSettings PairSettings(int i) const;
    void Compose(const std::vector<ChunkFrame> &frames, int i, const PictureRef *previous,
                 const FillCallbacks &callbacks, FillStats &stats);
    void ComposePlane(const ChunkFrame &frame, int i, int plane, const Neighbour &carried, const FlowField *toward,
                      const PictureRef *&spatial, bool &asked, const FillCallbacks &callbacks, FillStats &stats);
    const PictureRef *Ask(int i, const PictureRef *&spatial, bool &asked, const FillCallbacks &callbacks) const;
    bool Linked(int i) const { return i > 0 && !cutBefore_[(size_t)i]; }
    bool TakeKept(const std::vector<ChunkFrame> &frames, size_t i, Band band);
    bool IsKept(const std::vector<ChunkFrame> &frames, size_t i, Band band) const;
    void Keep(const std::vector<ChunkFrame> &frames, int last, Band band);

    // The flows of the last chunk's pairs that the next chunk's window may need again, and those
    // measured ahead for the next chunk: both directions of the pair ending at frame `number`,
    // measured between the holes `ids` in `band`.
    struct KeptPair {
        int64_t number = -1;
        int ids[2] = {-1, -1};
        Band band;
        FlowField toPrevious, toNext;
        float noise[2] = {0.0f, 0.0f};
        uint8_t have = 0;  // which of the two it holds; 0: none (or taken)
    };
    static bool SamePair(const KeptPair &k, const std::vector<ChunkFrame> &frames, size_t i, Band band) {
        return k.number == frames[i].number && k.ids[0] == frames[i - 1].holeId && k.ids[1] == frames[i].holeId &&
               k.band.top == band.top && k.band.bottom == band.bottom;
    }
    std::vector<KeptPair> kept_;
    BandImage aheadImages_[2];
    PictureSignature aheadSignatures_[2];

    FillSettings settings_;
    int outputBase_ = 0;          // frames[outputBase_] is the first output
    PictureRef carriedPicture_;   // the previous output within the chunk
    BandFlow flow_;
    std::unique_ptr<BandFlow> helperFlow_;  // the second thread's, when parallel
    std::vector<size_t> pending_;           // pairs (i - 1, i) to measure, by i
    std::vector<char> imageMade_;
    SeamCorrector seam_;
    std::vector<PictureSignature> signatures_;
    std::vector<char> cutBefore_;
    std::vector<BandImage> images_;
    std::vector<StructureField> structures_;  // [i]: frame i's edges, where it is a source
    std::vector<char> structureWanted_;
    StructureMeter meters_[2];
    BandImage structureImages_[2];  // scratch where the flow's images are not at luma scale
    std::vector<FlowField> toPrevious_, toNext_;
    std::vector<float> tolerance_;  // [i]: the check's tolerance for the pair (i - 1, i)
    // [2 i], [2 i + 1]: the pictures' noise along the pair (i - 1, i), each way, 8-bit levels.
    std::vector<float> noise_;
    std::vector<uint8_t> have_, need_;  // [i]: the flows of the pair (i - 1, i) at hand, and needed
    std::vector<float> noiseScratch_[2];  // one per thread
    PassBuffers forwardBuffers_, backwardBuffers_;
    // Candidates of the outputs, [output][plane], from each pass.
    std::vector<std::vector<PlaneCandidates>> forward_, backward_;
    std::vector<float> values_;
    std::vector<uint8_t> valid_, temporal_;
    FillJudge judge_;
};

}  // namespace temporal
