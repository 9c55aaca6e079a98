// Small helpers shared by the FFmpeg rooms of subremove: owning pointers for frames and packets,
// the library's error text, and the one way a library failure becomes a HostError.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <memory>
#include <string>

struct AVFrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct AVPacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
using FramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;

// A decoded frame's duration in its stream's time base; 0 when unknown.
inline int64_t FrameDuration(const AVFrame *frame) {
#if LIBAVUTIL_VERSION_MAJOR >= 58
    return frame->duration;
#else
    return frame->pkt_duration;
#endif
}

std::string AvError(int code);
// Throws HostError (status 1) "what: reason" when `result` is a library error.
void CheckAv(int result, const std::string &what);
// A new reference of `frame`, or a HostError when memory runs out.
FramePtr CloneFrame(const AVFrame *frame);
