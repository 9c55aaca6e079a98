// The picture under each subtitle, taken from one of its frames as the run reads the film: the
// luma of the graymap's rectangle in the subtitle's middle frame. Reading uses it where a graymap
// holds more than the glyphs (glyph_fill.h). The reading thread waits for a subtitle's sample
// until the run has read past that frame, or until whoever needs the text sooner gives it up.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

struct LumaCrop {
    int width = 0, height = 0;
    std::vector<uint8_t> luma;  // 8 bits, row after row
};

struct SamplePlace {
    int64_t frame;              // the frame to take it from
    int x, y, width, height;    // the graymap's rectangle in the picture
};

class GlyphSamples {
public:
    // One place per reading job.
    explicit GlyphSamples(std::vector<SamplePlace> places);
    GlyphSamples(const GlyphSamples &) = delete;
    GlyphSamples &operator=(const GlyphSamples &) = delete;

    // On the reading thread of the run, for each frame read, in order: takes the samples of that
    // frame, and gives up those of the frames passed (before a part, say). Pictures whose luma is
    // not a plane of 8 to 16 bits (RGB, palettes) give none.
    void Offer(int64_t number, const AVFrame *frame);
    // No sample of the jobs up to `job` will be waited for any more (the reading thread takes
    // them in order); of every job, when the run ends.
    void GiveUpThrough(size_t job);
    void GiveUpAll();
    // The sample of `job` once settled, or null when there is none. Throws HostError when the run
    // is interrupted meanwhile.
    const LumaCrop *Wait(size_t job);

private:
    std::vector<SamplePlace> places_;
    std::multimap<int64_t, size_t> byFrame_;  // frame -> jobs, until settled
    std::vector<LumaCrop> crops_;
    std::vector<char> settled_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// The luma of `width` x `height` pixels at (x, y) of `frame`; false when it has no luma plane
// subremove reads, or the rectangle leaves the picture.
bool CropLuma(const AVFrame *frame, int x, int y, int width, int height, LumaCrop *crop);
