// Subtitles from a learned text detector's lines (see line_tracks.h).
//
// The detector runs on every `interval`-th frame and finds text of any style, subtitles and text
// in the scene alike; it knows nothing of time. What tells a subtitle is what it does: it comes
// at once, stays exactly still while the picture moves or stands, and goes at once. So:
// 1. A line found in one sampled frame (a candidate) is kept with that frame's luma around it.
// 2. At the next sample, a line in the same place whose pixels kept their luma is a subtitle's
//    when enough of those steady pixels lie on an edge and differ from the sample before the
//    candidate's: those pixels (the signature) are what the subtitle drew. Text in a still scene
//    never differs; text in a moving scene never keeps its luma; the inside of a flat patch of
//    picture that held still between the samples has no edge. When the candidate's sample caught
//    a fade-in, the last frames before the next sample give the signature instead.
// 3. Its first frame: going back from the candidate's frame through a ring of the last
//    2 intervals + kMaxLag + 4 full-size luma planes and a second's more, the earliest of an
//    unbroken run of frames whose signature pixels match, and before it the frames where it was
//    fading in (fade.h). Its last: each frame, the signature is looked for; the frame before the
//    one where fewer than half match, or the last where it was still fading out.
// 4. While on screen, the lowest and highest luma of every pixel around it are gathered; at its
//    end, with the frame before its first and the frame after its last, proposed_shape.cpp
//    measures its damage and tells it from a picture that changed as a whole.
// The lines of a sample may come up to kMaxLag frames after the frame itself (the network runs
// beside the rest); the frames in between are then looked through for the subtitle's end.
// Cost per frame: one copy of the luma into the ring, and a pass over the signature and the span
// of each subtitle on screen. Per sample, a comparison of each line's box. Memory: the ring's luma
// planes (59 at 25 frames/s).
#include "detect/line_tracks.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

#include "detect/fade.h"
#include "detect/proposed_shape.h"

namespace {

// Frames the lines of a sample may come after it.
constexpr int kMaxLag = 12;
// Luma a subtitle's pixel keeps from one sample to the next (coding noise), and a signature
// pixel from its template while the subtitle shows.
constexpr int kSteady = 10;
constexpr int kPresent = 20;
// Luma by which the subtitle's pixels differ from the picture before it.
constexpr int kChanged = 12;
// A signature pixel has this much luma range within kEdgeReach pixels of it: glyphs are edges
// (fill against outline, shadow or picture), while the inside of a flat patch of picture that
// held still between the two samples is not, and leaves when the picture moves on.
constexpr int kEdge = 48, kEdgeReach = 2;
// Share of the pixels of a signature taken after a sample that must have come nearer their own
// luma over the kFadeStep frames up to that sample, for it to have caught a fade-in.
constexpr double kFadingShare = 0.7;
constexpr int kFadeStep = 2;
// Signature pixels a subtitle has at least, and the share that must match for it to be there.
constexpr size_t kMinSignature = 40;
constexpr double kPresentShare = 0.5;
// The picture around a line that the span gathers (proposed_shape.h looks at it).
constexpr int kSpanMargin = 16;
// A subtitle's line is a row of glyphs: the detector's box is this many times as wide as high at
// least. Text on things in the scene (a letter on a block, a sign) is often squarer.
constexpr double kMinLineAspect = 1.8;
// Subtitles sit at the top or the bottom of the picture: a line whose middle lies in the band
// between (percent of the height) is the scene's. On a still shot of letter blocks, a row of them
// put down by hand in the middle came and went like a subtitle.
constexpr int kMiddleTop = 30, kMiddleBottom = 55;
// The longest fade followed at either end of a subtitle, in seconds (the ring keeps its frames).
constexpr double kMaxFadeSeconds = 1.0;

struct Candidate {
    cv::Rect box;   // the line, grown for shadows, in the picture
    int64_t frame;  // the sample it was found in
    int lineHeight; // the detector's box, before it was grown
};

struct Track {
    int64_t first = 0;
    cv::Rect box;
    int lineHeight = 0;           // the detector's box, before it was grown
    std::vector<int> signature;   // indices into the full picture
    std::vector<uint8_t> luma;    // their luma
    LumaSpan span;
    std::vector<uint8_t> before;  // the span's picture in the frame before the first
    std::vector<uint8_t> lines;   // the span's pixels inside the line
    FadeProbe fade;               // its opacity, from the signature
    int fadeIn = 0;               // frames before its steady first where it was fading in
    FadeFollower out{0};          // its fade-out, once the signature has gone
    int64_t last = -1;            // once the signature has gone: its last steady frame
};

// The span's rectangle of a full-size plane, `stride` bytes a row.
std::vector<uint8_t> Crop(const uint8_t *plane, int stride, const LumaSpan &span) {
    std::vector<uint8_t> out((size_t)span.width * span.height);
    for (int r = 0; r < span.height; ++r)
        std::copy_n(plane + (size_t)(span.top + r) * stride + span.left, span.width, out.begin() + (size_t)r * span.width);
    return out;
}

double Overlap(const cv::Rect &a, const cv::Rect &b) {
    const double inter = (a & b).area();
    return inter / std::max(1, std::min(a.area(), b.area()));
}

}  // namespace

struct LineTracker::State {
    int width, height, interval, history, maxFadeFrames;
    double fps, minSeconds, maxSeconds;
    std::vector<std::vector<uint8_t>> ring;
    int64_t frame = 0;  // the number of the next frame
    std::vector<Candidate> candidates;
    std::vector<Track> active;
    std::vector<FoundSubtitle> found;

    const uint8_t *Frame(int64_t f) const { return ring[(size_t)(f % history)].data(); }
    bool Kept(int64_t f) const { return f >= 0 && f < frame && frame - f <= history; }
    double Match(const Track &t, const uint8_t *luma) const;
    void Sample(int64_t at, const std::vector<SubtitleDetector::Box> &lines);
    void Confirm(const Candidate &c, int64_t at, const cv::Rect &now, const std::vector<cv::Rect> &all);
    void End(Track &t, int64_t last, const uint8_t *after);
    bool Follow(Track &t, int64_t f);
    void KeepSteady(Track &t, int64_t from, int64_t to) const;
    cv::Mat LocalContrast(const uint8_t *luma, const cv::Rect &box) const;
    Track Signature(const cv::Rect &box, int64_t from, int64_t to, const uint8_t *reference) const;
    bool FadingIn(const Track &t, const uint8_t *luma, const uint8_t *earlier) const;
};

// Per pixel of `box` in `luma`, the range of luma over the square of side 2 kEdgeReach + 1
// around it.
cv::Mat LineTracker::State::LocalContrast(const uint8_t *luma, const cv::Rect &box) const {
    const cv::Mat plane(height, width, CV_8U, const_cast<uint8_t *>(luma));
    const cv::Rect grown = (box + cv::Point(-kEdgeReach, -kEdgeReach) + cv::Size(2 * kEdgeReach, 2 * kEdgeReach)) & cv::Rect(0, 0, width, height);
    const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * kEdgeReach + 1, 2 * kEdgeReach + 1));
    cv::Mat high, low;
    cv::dilate(plane(grown), high, square);
    cv::erode(plane(grown), low, square);
    cv::Mat range = high - low;
    return range(box - grown.tl()).clone();
}

// The signature of a line in `box` taken in frame `from`: its pixels on an edge there, with the
// same luma in every frame up to `to`, and a luma other than in `reference` (the picture before
// it, when known). `first` is set to `from`.
Track LineTracker::State::Signature(const cv::Rect &box, int64_t from, int64_t to, const uint8_t *reference) const {
    const uint8_t *a = Frame(to), *b = Frame(from);
    Track t;
    t.first = from;
    const cv::Mat contrast = LocalContrast(b, box);
    for (int r = box.y; r < box.br().y; ++r) {
        const uint8_t *edge = contrast.ptr<uint8_t>(r - box.y) - box.x;
        for (int x = box.x; x < box.br().x; ++x) {
            const int i = r * width + x;
            if (edge[x] < kEdge || std::abs(a[i] - b[i]) > kSteady || (reference && std::abs(b[i] - reference[i]) <= kChanged)) continue;
            t.signature.push_back(i);
            t.luma.push_back(b[i]);
        }
    }
    KeepSteady(t, from, to);
    return t;
}

// Whether most of `t`'s pixels were coming nearer their own luma between `earlier` and `luma`, a
// few frames apart: a fade-in under way. A picture's pixels that changed and then held still do
// so by chance only (about half of them, for a picture that moves), unless the picture pans
// smoothly; so the signature of the last frames is taken only when it is also the larger: the
// text's pixels, steady since the fade, outnumber those that were steady through it.
bool LineTracker::State::FadingIn(const Track &t, const uint8_t *luma, const uint8_t *earlier) const {
    size_t nearer = 0;
    for (size_t k = 0; k < t.signature.size(); ++k) {
        const int i = t.signature[k], to = t.luma[k], now = to - luma[i], then = to - earlier[i];
        nearer += (now > 0) == (then > 0) && std::abs(then) - std::abs(now) > 2;
    }
    return nearer >= kFadingShare * (double)t.signature.size();
}

// Drops the signature pixels that strayed from their luma in any frame between two samples: a
// moving picture's pixel that happened to have the same luma in both is not the subtitle's, and
// would end it early when the picture moves on.
void LineTracker::State::KeepSteady(Track &t, int64_t from, int64_t to) const {
    size_t kept = 0;
    for (size_t k = 0; k < t.signature.size(); ++k) {
        bool steady = true;
        for (int64_t f = from + 1; f < to && steady; ++f) steady = std::abs(Frame(f)[t.signature[k]] - t.luma[k]) <= kSteady;
        if (!steady) continue;
        t.signature[kept] = t.signature[k];
        t.luma[kept++] = t.luma[k];
    }
    t.signature.resize(kept);
    t.luma.resize(kept);
}

double LineTracker::State::Match(const Track &t, const uint8_t *luma) const {
    size_t same = 0;
    for (size_t k = 0; k < t.signature.size(); ++k) same += std::abs(luma[t.signature[k]] - t.luma[k]) <= kPresent;
    return (double)same / (double)t.signature.size();
}

// A candidate seen again in frame `at` at `now`: a subtitle when enough of its pixels kept their
// luma since the candidate's sample and differ from the sample before it.
void LineTracker::State::Confirm(const Candidate &c, int64_t at, const cv::Rect &now, const std::vector<cv::Rect> &all) {
    const int64_t current = at, earlier = c.frame, before = c.frame - interval;
    const cv::Rect box = (c.box | now) & cv::Rect(0, 0, width, height);
    const uint8_t *g = Kept(before) ? Frame(before) : nullptr;
    Track t = Signature(box, earlier, current, g);
    // A fade-in under way at the earlier sample leaves few of the text's pixels steady since, and
    // the picture's around them may be: the last frames before this sample show the text whole,
    // and differ from the earlier sample where it was fading in (not from the sample before, which
    // may show the previous subtitle in the same place).
    const int64_t recent = std::max(earlier, current - std::max<int64_t>(2, interval / 4));
    if (recent > earlier && Kept(earlier - kFadeStep)) {
        Track u = Signature(box, recent, current, Frame(earlier));
            if (u.signature.size() > std::max(kMinSignature, t.signature.size()) && FadingIn(u, Frame(earlier), Frame(earlier - kFadeStep)))
            t = std::move(u);
    }
    if (t.signature.size() < kMinSignature) return;
    // The first frame: back from the candidate's sample while the signature is there, then while it
    // was fading in.
    int64_t first = t.first;
    while (Kept(first - 1) && first - 1 > before && Match(t, Frame(first - 1)) >= kPresentShare) --first;
    t.fade = MakeFadeProbe(t.signature, t.luma, width);
    FadeFollower in(maxFadeFrames);
    for (int64_t f = first - 1; t.fade.Usable() && Kept(f); --f)
        if (!in.Step(t.fade, Frame(f))) break;
    in.Stop();
    t.first = first - in.Frames();
    t.fadeIn = in.Faded();
    t.out = FadeFollower(maxFadeFrames);
    t.box = box;
    t.lineHeight = c.lineHeight;
    const cv::Rect spanRect = (box + cv::Point(-kSpanMargin, -kSpanMargin) + cv::Size(2 * kSpanMargin, 2 * kSpanMargin)) &
                              cv::Rect(0, 0, width, height);
    t.span.Reset(spanRect.x, spanRect.y, spanRect.width, spanRect.height);
    for (int64_t f = std::max(first, frame - history); f <= current; ++f) t.span.Add(Frame(f), width);
    if (Kept(t.first - 1)) t.before = Crop(Frame(t.first - 1), width, t.span);  // before any fade
    // Every line of the sample that reaches the span: the other line of a two-line subtitle changed
    // with this one, and is not the picture around it.
    t.lines.assign((size_t)spanRect.area(), 0);
    cv::Mat lines(spanRect.height, spanRect.width, CV_8U, t.lines.data());
    for (const cv::Rect &r : all)
        if (!(r & spanRect).empty()) lines((r & spanRect) - spanRect.tl()).setTo(255);
    lines(box - spanRect.tl()).setTo(255);
    // The frames since the sample, which came before its lines did.
    for (int64_t f = current + 1; f < frame; ++f)
        if (!Follow(t, f)) return;
    active.push_back(std::move(t));
}

// The lines of frame `at`: candidates seen again become subtitles; lines no subtitle on screen
// holds become candidates.
void LineTracker::State::Sample(int64_t at, const std::vector<SubtitleDetector::Box> &found) {
    // Shadows and blur reach past the detector's box, which hugs the glyphs' bodies.
    std::vector<cv::Rect> boxes;
    std::vector<int> heights;
    for (const SubtitleDetector::Box &l : found) {
        const int grow = std::max(3, l.height / 3);
        const cv::Rect box = cv::Rect(l.x - grow, l.y - grow, l.width + 2 * grow, l.height + 2 * grow) & cv::Rect(0, 0, width, height);
        const int middle = 100 * (l.y + l.height / 2) / std::max(1, height);
        if (box.empty() || l.width < kMinLineAspect * l.height || (middle >= kMiddleTop && middle < kMiddleBottom)) continue;
        boxes.push_back(box);
        heights.push_back(l.height);
    }
    std::vector<Candidate> next;
    for (size_t i = 0; i < boxes.size(); ++i) {
        const cv::Rect &box = boxes[i];
        if (std::any_of(active.begin(), active.end(), [&](const Track &t) { return Overlap(t.box, box) > 0.5; })) continue;
        const auto seen = std::find_if(candidates.begin(), candidates.end(), [&](const Candidate &c) { return Overlap(c.box, box) > 0.5; });
        const size_t before = active.size();
        if (seen != candidates.end()) Confirm(*seen, at, box, boxes);
        if (active.size() == before) next.push_back(Candidate{box, at, heights[i]});
    }
    candidates = std::move(next);
}

// Frame `f` (in the ring) for a subtitle on screen before it: gathered while its signature is
// there, then followed while it fades out (fade.h). False when it has ended, at the frame before.
bool LineTracker::State::Follow(Track &t, int64_t f) {
    const uint8_t *plane = Frame(f);
    if (t.last < 0 && Match(t, plane) >= kPresentShare) {
        t.span.Add(plane, width);
        return true;
    }
    if (t.last < 0) t.last = f - 1;
    if (t.fade.Usable() && t.out.Step(t.fade, plane)) return true;
    t.out.Stop();
    const int64_t last = t.last + t.out.Frames();
    End(t, last, Frame(last + 1));
    return false;
}

void LineTracker::State::End(Track &t, int64_t last, const uint8_t *after) {
    const int64_t frames = last - t.first + 1;
    if (frames < minSeconds * fps || frames > maxSeconds * fps) return;
    ProposedEvidence evidence;
    evidence.span = &t.span;
    evidence.before = std::move(t.before);
    evidence.lines = std::move(t.lines);
    evidence.lineHeight = t.lineHeight;
    evidence.pictureHeight = height;
    if (after) evidence.after = Crop(after, width, t.span);
    FoundSubtitle f;
    f.first = t.first;
    f.last = last;
    f.fadeIn = t.fadeIn;
    f.fadeOut = t.out.Faded();
    f.shape = ShapeProposed(evidence);
    if (f.shape.text) found.push_back(std::move(f));
}

LineTracker::LineTracker(int width, int height, int interval, double framesPerSecond, double minSeconds, double maxSeconds)
    : state_(new State) {
    State &s = *state_;
    s.width = width, s.height = height, s.interval = std::max(1, interval);
    s.fps = framesPerSecond > 0 ? framesPerSecond : 25, s.minSeconds = minSeconds, s.maxSeconds = maxSeconds;
    s.maxFadeFrames = (int)std::ceil(kMaxFadeSeconds * s.fps);
    s.history = 2 * s.interval + kMaxLag + 4 + s.maxFadeFrames;
    s.ring.assign((size_t)s.history, std::vector<uint8_t>((size_t)width * height));
}

LineTracker::~LineTracker() = default;

void LineTracker::AddTextLines(int64_t frame, const std::vector<SubtitleDetector::Box> &lines) {
    State &s = *state_;
    if (frame < 0 || frame >= s.frame || s.frame - 1 - frame > kMaxLag) return;
    s.Sample(frame, lines);
}

void LineTracker::AddFrame(const uint8_t *luma, std::ptrdiff_t stride) {
    State &s = *state_;
    uint8_t *slot = s.ring[(size_t)(s.frame % s.history)].data();
    for (int r = 0; r < s.height; ++r) std::copy_n(luma + r * stride, s.width, slot + (size_t)r * s.width);
    ++s.frame;
    for (size_t i = 0; i < s.active.size();) {
        if (s.Follow(s.active[i], s.frame - 1)) ++i;
        else s.active.erase(s.active.begin() + (std::ptrdiff_t)i);
    }
}

std::vector<FoundSubtitle> LineTracker::Finish() {
    State &s = *state_;
    for (Track &t : s.active) {
        t.out.Stop();
        const int64_t last = t.last >= 0 ? t.last + t.out.Frames() : s.frame - 1;
        s.End(t, last, s.Kept(last + 1) ? s.Frame(last + 1) : nullptr);
    }
    s.active.clear();
    std::vector<FoundSubtitle> out = std::move(s.found);
    s.found.clear();
    return out;
}
