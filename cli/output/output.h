// Writing a film: encoding the filtered pictures with the chosen encoder, muxing them with the
// input's other streams, and publishing the result under its final name only when the whole film
// was written (a temporary file, or a temporary folder for an image sequence, until then).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/av_util.h"
#include "cli/output/encoder_policy.h"
#include "cli/output/output_target.h"

class VideoInput;
class TextSubtitleConverter;
class TextTrack;
class CueSchedule;

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
    bool overwrite = false;  // an existing output file may be replaced
    std::string format;      // the container by FFmpeg's name; empty: from the extension
    std::vector<std::pair<std::string, std::string>> codecOptions;  // --codec-opt
    bool quiet = false;
    // --ocr: a subtitle stream for the text read, after the streams kept; the header then waits
    // for StartText, which brings the stream's cues and language.
    bool textStream = false;
    bool textKeptElsewhere = false;  // --srt keeps the text where the container cannot
};

class VideoOutput {
public:
    VideoOutput(const std::string &path, VideoInput &input, const OutputOptions &options);
    ~VideoOutput();  // a run that did not Finish leaves nothing behind
    VideoOutput(const VideoOutput &) = delete;
    VideoOutput &operator=(const VideoOutput &) = delete;

    const EncodePlan &plan() const { return plan_; }
    // True when an unchanged input frame can be written as its own input packet (same intra-only
    // codec into an image sequence): such frames come out byte for byte.
    bool CanPassPackets() const { return passPackets_; }

    // Encoder contexts that may code at once, on threads of their own: each takes whole groups of
    // GroupLength() frames, and a context that has coded only whole groups codes the next one as
    // a single context would, so the film comes out the same. One context where that does not hold.
    int EncoderCount() const { return (int)encoders_.size(); }
    int64_t GroupLength() const { return plan_.groupLength > 0 ? plan_.groupLength : 1; }
    // Encodes `frame` with context `slot` and appends what it gives to `out`; with several
    // contexts that is exactly the frame's own packet. Safe on one thread per context.
    void EncodeFrame(int slot, AVFrame *frame, int64_t duration, PacketList &out);
    // Writes encoded packets in the order given (the frames' order) and empties the list.
    void WritePackets(PacketList &encoded);
    void WriteInputPacket(const AVPacket *packet);
    // Another stream's packet, written when the output keeps that stream.
    void CopyPacket(AVPacket *packet);
    // With OutputOptions::textStream: the cues of the text stream, written as the film reaches
    // them, and its language (Tesseract's name); writes the header, which waited for them.
    void StartText(CueSchedule *cues, const std::string &language);
    // Bytes in the output file so far; -1 for an image sequence.
    int64_t BytesWritten() const;
    // Flushes, writes the trailer and moves the output into place.
    void Finish();

private:
    struct Encoder {
        AVCodecContext *context = nullptr;
        AVPacket *packet = nullptr;
        std::map<int64_t, int64_t> durations;  // pts -> duration of frames sent, not yet given back
    };
    void Open(const OutputOptions &options);
    std::string PrepareTarget(const OutputOptions &options);
    void OpenEncoder(const AVCodec *codec);
    void AddVideoStream();
    void AddOtherStreams();
    bool AddOtherStream(AVStream *other);
    void WriteHeader();
    void AddTextStream(const OutputOptions &options);
    void MuxCues(int64_t until, bool atEnd);
    void Receive(Encoder &e, PacketList &out);
    void Release();
    void Mux(AVPacket *packet);
    void CountPicture();

    std::string path_;
    std::unique_ptr<OutputTarget> target_;
    int64_t pictures_ = 0;  // video packets written
    bool sequence_ = false;
    bool finished_ = false;
    bool passPackets_ = false;
    bool keepProfile_ = false;  // --codec same: the input's profile too
    VideoInput &input_;
    EncodePlan plan_;
    AVFormatContext *format_ = nullptr;
    std::vector<Encoder> encoders_;
    AVStream *videoStream_ = nullptr;
    std::map<int, int> streamMap_;  // input stream index -> output stream index
    // Input stream index -> its text subtitle conversion, for streams the container holds only so.
    std::map<int, std::unique_ptr<TextSubtitleConverter>> converters_;
    // The muxer takes video packets from the encoding threads and other streams' packets from the
    // decoding thread.
    std::mutex muxMutex_;
    // --ocr: the text's stream (null where the container holds none) and its cues.
    bool textStream_ = false;
    std::unique_ptr<TextTrack> textTrack_;
    CueSchedule *cues_ = nullptr;
};
