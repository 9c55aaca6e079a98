// Video in and out through FFmpeg's libraries: decoding the input's video stream in presentation
// order, copying its other streams, converting frames to and from the host's 32-bit pixels with
// the input's colour matrix and range, and encoding the result to a temporary name that is
// renamed into place only when the whole film was written.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class FilterInstance;

struct AVFrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct AVPacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};

// A decoded frame's duration in its stream's time base; 0 when unknown.
inline int64_t FrameDuration(const AVFrame *frame) {
#if LIBAVUTIL_VERSION_MAJOR >= 58
    return frame->duration;
#else
    return frame->pkt_duration;
#endif
}

// Throws HostError with the library's reason.
void CheckAv(int result, const std::string &what);

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
    // Frames the container announces, or -1 when it does not tell.
    int64_t ExpectedFrames() const;
    // Duration of one frame in the stream's time base, from the frame rate.
    int64_t NominalFrameDuration() const;

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
};

// Converts between decoded frames and the host's frame buffers.
class ColourConverter {
public:
    ColourConverter(int width, int height, AVPixelFormat inputFormat, AVColorSpace space, AVColorRange range);
    ~ColourConverter();

    // Decoded frame -> the instance's source buffer (bottom-up 0x00RRGGBB).
    void ToHost(const AVFrame *frame, FilterInstance &instance);
    // The instance's destination buffer -> `out` in `outputFormat`. With the input's own format,
    // pixels the filter left alone are taken from `decoded` unconverted and only the blocks that
    // hold changed pixels are converted. Returns the number of changed pixels.
    int64_t FromHost(const FilterInstance &instance, const AVFrame *decoded, AVPixelFormat outputFormat,
                     AVColorRange outputRange, AVFrame *out);

private:
    SwsContext *Context(SwsContext *&cache, AVPixelFormat from, bool fromFull, AVPixelFormat to, bool toFull);

    int width_;
    int height_;
    AVPixelFormat inputFormat_;
    AVColorSpace space_;
    AVColorRange range_;
    SwsContext *toHost_ = nullptr;
    SwsContext *fromHost_ = nullptr;
    std::vector<uint8_t> rgbIn_;   // top-down copy of what the filter was given
    std::vector<uint8_t> rgbOut_;  // top-down copy of what it returned
    std::vector<uint8_t> changedBlocks_;
    AVFrame *converted_ = nullptr;
};

// Encoded packets on their way to the muxer; frees whatever was not written.
struct PacketList {
    PacketList() = default;
    PacketList(const PacketList &) = delete;
    PacketList &operator=(const PacketList &) = delete;
    ~PacketList();
    std::vector<AVPacket *> packets;
};

struct OutputOptions {
    std::string codec;  // encoder name; empty: chosen from the container
    int quality = -1;   // encoder quality (CRF-like, lower is better); -1: the encoder's high-quality default
    int threads = 1;    // threads for encoders whose output does not depend on their number
};

class VideoOutput {
public:
    VideoOutput(const std::string &path, VideoInput &input, const OutputOptions &options);
    ~VideoOutput();  // a run that did not Finish leaves nothing behind
    VideoOutput(const VideoOutput &) = delete;
    VideoOutput &operator=(const VideoOutput &) = delete;

    AVPixelFormat pixelFormat() const { return First()->pix_fmt; }
    AVColorRange colorRange() const { return First()->color_range; }
    const char *codecName() const { return First()->codec->name; }
    // True when an unchanged input frame can be written as its own input packet (same intra-only
    // codec into an image sequence): such frames come out byte for byte.
    bool CanPassPackets() const { return passPackets_; }

    // Encodes and writes one frame with the first encoder context.
    void WriteFrame(AVFrame *frame, int64_t duration);

    // Encoder contexts that may code at once, on threads of their own: each takes whole groups of
    // GroupLength() frames, and a context that has coded only whole groups codes the next one as
    // a single context would, so the film comes out the same. One context where that does not hold.
    int EncoderCount() const { return (int)encoders_.size(); }
    int64_t GroupLength() const { return groupLength_ > 0 ? groupLength_ : 1; }
    // Encodes `frame` with context `slot` and appends what it gives to `out`; with several
    // contexts that is exactly the frame's own packet. Safe on one thread per context.
    void EncodeFrame(int slot, AVFrame *frame, int64_t duration, PacketList &out);
    // Writes encoded packets in the order given (the frames' order) and empties the list.
    void WritePackets(PacketList &encoded);

    void WriteInputPacket(const AVPacket *packet);
    void CopyPacket(AVPacket *packet);
    // Flushes, writes the trailer and moves the output into place.
    void Finish();

private:
    void Open(const OutputOptions &options);
    void Release();
    struct Encoder {
        AVCodecContext *context = nullptr;
        AVPacket *packet = nullptr;
        std::map<int64_t, int64_t> durations;  // pts -> duration of frames sent, not yet given back
    };
    void Receive(Encoder &e, PacketList &out);
    // The first context: the stream's parameters come from it. Exists once Open has returned.
    AVCodecContext *First() const { return encoders_.front().context; }
    void Discard();

    std::string path_;
    std::string tempPath_;     // file output: the temporary file
    std::string tempDir_;      // image sequence: the temporary folder
    bool sequence_ = false;
    bool headerWritten_ = false;
    bool finished_ = false;
    bool passPackets_ = false;
    VideoInput &input_;
    AVFormatContext *format_ = nullptr;
    std::vector<Encoder> encoders_;
    int64_t groupLength_ = 0;            // 0: frames depend on all earlier ones; one context only
    AVStream *videoStream_ = nullptr;
    std::map<int, int> streamMap_;  // input stream index -> output stream index
    // The muxer takes video packets from the encoding thread and other streams' packets from the
    // decoding thread.
    std::mutex muxMutex_;
};

// Writes an RGB24 picture (top-down, `width` * 3 bytes per row) as a PNG file, via a temporary name.
void WritePng(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb);
