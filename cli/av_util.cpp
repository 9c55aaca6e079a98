// Library error text and frame references for subremove.
#include "cli/av_util.h"

#include "cli/errors.h"

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

void CheckAv(int result, const std::string &what) {
    if (result < 0) throw HostError(EXIT_FAILURE_RUN, what + ": " + AvError(result));
}

FramePtr CloneFrame(const AVFrame *frame) {
    FramePtr copy(av_frame_clone(frame));
    if (!copy) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    return copy;
}
