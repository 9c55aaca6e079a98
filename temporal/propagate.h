// One step of the background memory along the motion: what each hole sample of a picture would
// show without the text, taken from the picture next to it in time (before it in the forward
// pass, after it in the backward pass).
//
// The memory of a picture is the picture itself outside its hole and the ring around it, and
// inside them what was carried in, with its age: the number of steps since those samples were
// seen. The ring counts as unseen because the text's soft shadow and outline reach past the hole
// the module removes: taken as background, they would be carried into the hole as dark streaks. A hole (or
// ring) sample p of the picture looks along the completed flow to its place q in the neighbour,
// and takes the neighbour's memory there, interpolated bilinearly in the samples' own format. It
// gets nothing when
//   - the flows disagree there: going to q and back must return to p (forward-backward check),
//     within a tolerance that grows with the pair's typical disagreement (MotionNoise), up to a
//     cap: on grainy or flat pictures every flow is a little wrong, and a fixed tolerance let a
//     tenth of a still shot's hole keep its background;
//   - q falls outside the picture;
//   - a sample that the interpolation needs has no memory, or the result would be older than the
//     window.
// Where the neighbour shows the background at q (no sample of the fetch in its hole, halo or
// ring), one picture's noise, grain or a passing speck would be copied into the hole and held
// there for as long as the memory lasts. So the sighting is blended over a chain of pictures:
// from q the motion is followed on through up to `links` pictures further from the one being
// filled (the same direction as the pass), as long as each fetch there is of seen samples too; the
// values that agree with their median, within a tolerance that grows with the pair's picture
// noise (PictureNoise), are averaged, and a speck or a misplaced edge, far from the median, is left
// out. The result's age is that of the farthest picture the chain may read (`reach`), whether or
// not it got that far: a chain cut short by the end of the pictures given would otherwise leave a
// value that a longer run, whose chain read on, drops at the window, and the window below would no
// longer bound what a picture's memory depends on.
// Because nothing older than the window survives, a picture's memory depends only on the window
// of pictures before it, wherever the pass began: a run of pictures can be cut anywhere, given
// the window before it, and gives the same result.
//
// Cost: per plane, a bilinear fetch and a flow check for each hole and ring sample, and for a
// fetch of seen samples up to `links` more bilinear fetches along the flows (one flow lookup each,
// unchecked: the agreement of the values is the check) and a sort of at most eight values; per
// pair of pictures, a median over a quarter of the flow's samples and one over a sixteenth of
// the band's differences.
#pragma once

#include <cstdint>
#include <vector>

#include "temporal/band_flow.h"
#include "temporal/structure.h"
#include "temporal/hole.h"
#include "temporal/planes.h"

namespace temporal {

constexpr uint8_t kNoMemory = 255;

// One plane's memory over the band: values and ages of the hole and ring samples (others unused).
struct PlaneMemory {
    std::vector<float> value;
    std::vector<uint8_t> age;
};

// Candidates of one plane, one per hole and ring sample (PlaneHole::fill order, up to ringEnd):
// the halo only carries memory, and candidates kept for it were never read.
struct PlaneCandidates {
    std::vector<float> value;
    std::vector<uint8_t> age;  // kNoMemory: none
};

// The pictures beyond a neighbour, in the pass's direction, over which a sighting of the
// background is blended: link k is the picture k + 1 steps beyond the neighbour, reached from the
// one before it by `toward` (the flow from that picture to this one).
constexpr int kMaxLinks = 7;
struct ChainLink {
    const PictureRef *picture = nullptr;
    const Hole *hole = nullptr;  // null: none
    const FlowField *toward = nullptr;
};
struct SourceChain {
    int reach = 0;  // the age of a sighting made with the chain: the most links it may have
    int count = 0;  // links at hand, at most `reach`
    ChainLink links[kMaxLinks];
    float agree = 0.0f;  // the largest distance from the median kept, in 8-bit levels
};

struct Neighbour {
    const PictureRef *picture = nullptr;  // its decoded samples
    const Hole *hole = nullptr;           // its hole; null: none
    const PlaneMemory *memory = nullptr;  // its memory, one per plane; may be null without a hole
    const FlowField *back = nullptr;      // its flow towards the picture being filled, for the check
    const StructureField *structure = nullptr;  // its edges, for the check; null: ignored
    const SourceChain *chain = nullptr;   // pictures to blend a sighting over; null: the neighbour alone
};

struct StepSettings {
    int window = 8;            // the oldest age kept
    float tolerance = 0.75f;   // forward-backward error allowed, luma pixels ...
    float slope = 0.1f;        // ... plus this share of the motion's length,
    float noiseFactor = 3.0f;  // raised to this many times the pair's typical error (MotionNoise),
    float noiseCap = 3.0f;     // but not above this: flows that wrong carry nothing true
    // Along an edge of the source (see structure.h) the error counts only in proportion to how
    // little the edge dominates, up to this many luma pixels; 0: the plain check.
    float alongLimit = 16.0f;
};

// Fills `candidates` and `memory` (per plane) for the fill samples of `hole` on a picture whose
// flow towards `from` is `toward`. With `from.picture` null (the first picture of a shot), no
// sample gets a candidate.
void PropagateStep(const Neighbour &from, const FlowField *toward, const Hole &hole, const StepSettings &settings,
                   PlaneMemory *memory, PlaneCandidates *candidates);

// True when the flows agree at luma point (x, y): `toward` carries it to q, and `back` carries q
// back to within the tolerance of where it started, or, with the source's `structure`, the miss
// lies along an edge at q that dominates there. Gives the motion in (dx, dy).
bool ConsistentMotion(const FlowField &toward, const FlowField &back, const StructureField *structure, float x, float y,
                      const StepSettings &s, float &dx, float &dy);

// The typical forward-backward error of a pair of flows: the median over the field's samples, in
// luma pixels. Noisy pictures (film grain, low light) give noisy flows everywhere; the check
// compares each point with this level rather than with a fixed one. `scratch` is reused.
float MotionNoise(const FlowField &toward, const FlowField &back, std::vector<float> &scratch);

// The typical difference of a pair's pictures along their motion, as a noise level in 8-bit
// levels: the median of |a(p) - b(p + flow(p))| over every fourth sample of every fourth row of the
// band outside `aHole`, over 0.954 (the median of |d| for the difference of two Gaussian samples of
// deviation s is 0.954 s). Grain, low light and sensor noise raise it; texture that the flow
// misplaces a little raises it less, since the median looks past it. `scratch` is reused.
float PictureNoise(const BandImage &a, const BandImage &b, const FlowField &aToB, const Hole *aHole, int scale,
                   std::vector<float> &scratch);

// A bilinear fetch from the neighbour's memory at plane position (px, py); false when the fetch
// has no answer (see the top). `age` is the oldest age the fetch used: for a sighting made with
// the neighbour's chain, its reach.
bool FetchMemory(const Neighbour &n, int plane, float px, float py, float &value, int &age);

}  // namespace temporal
