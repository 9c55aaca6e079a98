// Seeking to a frame with the picture that decoding from the start gives (see frame_seek.h).
#include "cli/input/frame_seek.h"

#include <cstdlib>

#include "cli/errors.h"
#include "cli/input/input.h"

namespace {

// The frame number a timestamp stands for, or -1 when it falls off the frame grid by more than
// a tenth of a frame (a container's millisecond rounding stays well inside that).
int64_t NumberOf(const VideoInput &input, int64_t timestamp) {
    if (timestamp == AV_NOPTS_VALUE) return -1;
    const AVStream *stream = input.stream();
    const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    // In tenths of a frame, rounded to the nearest.
    const AVRational tenthFrame = av_inv_q(av_mul_q(input.frameRate(), AVRational{10, 1}));
    const int64_t tenths = av_rescale_q(timestamp - start, stream->time_base, tenthFrame);
    const int64_t number = (tenths + 5) / 10;
    if (tenths < 0 || std::llabs(tenths - number * 10) > 1) return -1;
    return number;
}

}  // namespace

int64_t FrameAtTime(const VideoInput &input, int64_t timeUs) {
    return av_rescale_q_rnd(timeUs, AVRational{1, 1000000}, av_inv_q(input.frameRate()), AV_ROUND_UP);
}

AVFrame *SeekFrame(VideoInput &input, int64_t number) {
    const AVStream *stream = input.stream();
    const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    const int64_t target = start + av_rescale_q(number, av_inv_q(input.frameRate()), stream->time_base);
    if (!input.SeekBefore(target)) return nullptr;
    try {
        int64_t expected = -1;  // the number the next frame must carry
        while (AVFrame *frame = input.NextFrame()) {
            const int64_t got = NumberOf(input, frame->best_effort_timestamp);
            if (got < 0 || got > number || (expected >= 0 && got != expected)) return nullptr;
            if (got == number) return frame;
            expected = got + 1;
        }
    } catch (const HostError &) {
        // Decoding from the start names the frame that fails by its number.
    }
    return nullptr;
}
