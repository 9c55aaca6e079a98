// Reading a film: demuxing and decoding its video stream in presentation order.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "cli/av_util.h"

// The largest picture subremove takes: 8K UHD (7680x4320) fits. Each filter instance keeps
// about 16 bytes per pixel of frame buffers besides the module's own planes.
constexpr int64_t kMaxPicturePixels = int64_t(1) << 25;
constexpr int kMaxPictureSide = 16384;

class VideoInput {
public:
    // `threads`: decoder threads (decoding is exact whatever their number).
    VideoInput(const std::string &path, int threads = 1);
    ~VideoInput();
    VideoInput(const VideoInput &) = delete;
    VideoInput &operator=(const VideoInput &) = delete;

    // The next decoded frame in presentation order, or null at the end; throws HostError when a
    // frame cannot be decoded. Packets of the other
    // streams met on the way go to `onOtherPacket` (when set). When `keepPackets` is on, the
    // packet each frame was decoded from is kept and can be taken with TakeFramePacket.
    AVFrame *NextFrame();
    // Moves to the key frame at or before `timestamp` (the stream's time base); NextFrame then
    // goes on from there. False when the container cannot seek.
    bool SeekBefore(int64_t timestamp);
    std::function<void(AVPacket *)> onOtherPacket;
    bool keepPackets = false;
    // The packet of the frame NextFrame returned last, or null when it cannot be told.
    AVPacket *FramePacket() { return framePacket_; }

    AVFormatContext *format() const { return format_; }
    AVStream *stream() const { return stream_; }
    AVCodecContext *decoder() const { return decoder_; }
    int width() const { return decoder_->width; }
    int height() const { return decoder_->height; }
    AVRational frameRate() const { return frameRate_; }
    // For an image sequence input, the number of its first file; 0 otherwise.
    int FirstSequenceNumber() const;
    // The files read: the input itself, or an image sequence's files from the first on.
    std::vector<std::string> Files() const;
    // Frames the container announces, or -1 when it does not tell.
    int64_t ExpectedFrames() const;
    // Frames the decoder returned with damage concealed (its error flags or a corrupt mark).
    int64_t ConcealedFrames() const { return concealedFrames_; }
    // Duration of one frame in the stream's time base, from the frame rate.
    int64_t NominalFrameDuration() const;
    // The same in microseconds, as the filter's frame state counts it.
    int64_t MicrosecondsPerFrame() const { return (int64_t)1000000 * frameRate_.den / frameRate_.num; }

private:
    void Open(const std::string &path);
    int threads_ = 1;
    void Release();
    [[noreturn]] void FailDecoding(int code) const;

    std::string path_;
    AVFormatContext *format_ = nullptr;
    AVStream *stream_ = nullptr;
    AVCodecContext *decoder_ = nullptr;
    AVPacket *packet_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVPacket *framePacket_ = nullptr;
    std::deque<AVPacket *> pending_;
    AVRational frameRate_{25, 1};
    bool inputEnded_ = false;
    bool decoderDrained_ = false;
    int64_t framesDecoded_ = 0;
    int64_t concealedFrames_ = 0;
};
