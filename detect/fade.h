// Fades: the frames at either end of a subtitle where it is blended with the picture.
//
// A subtitle that fades in or out (an \fad in an ASS script, an editor's cross-fade) is, in each
// frame of the fade, its steady picture s blended with the film's b at some opacity a:
// v = b (1 - a) + s a. Its steady pixels are found only once a is 1, so without this its first
// frame is the fade's last and its last the fade's first, while the fading glyphs already (or
// still) damage the picture. The opacity is read from the contrast the subtitle draws: its light
// pixels (a fill) against its dark ones (an outline, a shadow, the dark text of a box), which are
// next to each other. Over many pairs, the picture's own contrast between such close pixels
// averages out, so the light mean minus the dark mean, over the steady contrast, is a; no frame
// without the subtitle is needed, and the picture may move under it.
// A fade is followed frame by frame outward from the steady frames while the opacity is visible
// and keeps falling; a text that stays at full contrast (only its surroundings changed) is held.
// A fade's faintest frame (a few percent of opacity, where a linear fade's last frame may fall)
// reads no higher than the picture's level wobbles. It is told by what it adds to the frame beyond
// it: the least-squares opacity a of near - far = a (steady - far) over the probe's pixels, which
// uses every pixel's own steady contrast against the picture. That frame is taken when its a
// stands out of the same reading between the next few frames beyond (the picture's own changes,
// whatever their bias) by three times their spread.
// Cost: one pass over the probe's pixels a frame (a few thousand loads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct FadeProbe {
    std::vector<int> light, dark;  // pixel indices into the planes the strength is read from
    std::vector<uint8_t> steady;   // their steady luma, light then dark
    double contrast = 0;           // steady mean luma of the light minus that of the dark
    bool Usable() const { return !light.empty(); }
};

// A probe from a subtitle's steady pixels and their luma, indices into planes `width` pixels a
// row; not usable (empty) when the pixels do not split into a light and a dark set of enough
// pixels and contrast. Only dark pixels beside a light one count: the outline, not the dark
// picture a little farther out, which may change under a subtitle that stays.
FadeProbe MakeFadeProbe(const std::vector<int> &pixels, const std::vector<uint8_t> &luma, int width);

// The subtitle's opacity in `plane` (about 1 when steady, 0 when gone).
double FadeStrength(const FadeProbe &probe, const uint8_t *plane);

// The opacity above which a subtitle is taken to be still there in full.
constexpr double kFadeHeld = 0.85;

// One end of a subtitle followed frame by frame away from its steady frames (backward from its
// first for a fade-in, forward from its last for a fade-out). Where the fade ends is told from
// what follows it: the strength settles at the picture's own level (flat for a few frames), or
// jumps (another text in the place); the fade is the run of falling strengths before, above that
// level by more than its wobble. So the end is known a few frames late.
class FadeFollower {
public:
    explicit FadeFollower(int maxFadeFrames) : maxFrames_(maxFadeFrames) {}
    // The next frame's strength; false once the end is known.
    bool Step(double strength);
    // The next frame itself: its strength, and the opacity the frame before shows over it, by which
    // a fade's faintest frame is told from the picture. The same probe at every step.
    bool Step(const FadeProbe &probe, const uint8_t *plane);
    // No more frames (the film or the kept frames ended): decides with what was seen.
    void Stop();
    int Frames() const { return held_ + faded_; }  // frames past the steady ones, once decided
    int Faded() const { return faded_; }           // of which fading (below full strength)

private:
    bool Decide(size_t seen, bool settled);
    void TakeFaintest();
    int maxFrames_;
    int held_ = 0, faded_ = 0;
    bool decided_ = false;
    size_t waitFor_ = 0;          // when set, the frames seen the faintest frame's test needs
    std::vector<double> seen_;    // strengths since the last frame at full strength
    std::vector<double> over_;    // by frame stepped: the opacity it shows over the next one
    std::vector<uint8_t> last_;   // the probe's pixels in the last frame stepped
};
