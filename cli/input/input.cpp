// Reading a film: demuxing, decoding the video stream in presentation order, and handing the
// packets of the other streams to whoever copies them. Pictures are checked against the size
// limits before any frame buffer is made.
#include "cli/input/input.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <sys/stat.h>

#include <cstring>

#include "cli/errors.h"


VideoInput::VideoInput(const std::string &path, int threads) : threads_(threads), path_(path) {
    // A throwing constructor runs no destructor: release what was opened so far by hand.
    try {
        Open(path);
    } catch (...) {
        Release();
        throw;
    }
}

void VideoInput::Open(const std::string &path) {
    // A plain file name, whatever it looks like: "pipe:1.mkv" or "http:x" is a file in the folder.
    // "-" is standard input, read front to back.
    const std::string url = path == "-" ? std::string("pipe:0") : "file:" + path;
    int r = avformat_open_input(&format_, url.c_str(), nullptr, nullptr);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot read the input " + path + ": " + AvError(r));
    r = avformat_find_stream_info(format_, nullptr);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot read the input " + path + ": " + AvError(r));
    int index = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) throw HostError(EXIT_FAILURE_RUN, "the input " + path + " has no video stream");
    stream_ = format_->streams[index];
    const AVCodec *codec = avcodec_find_decoder(stream_->codecpar->codec_id);
    if (!codec) {
        throw HostError(EXIT_FAILURE_RUN, "no decoder for the video codec " +
                                              std::string(avcodec_get_name(stream_->codecpar->codec_id)) + " of " + path);
    }
    decoder_ = avcodec_alloc_context3(codec);
    if (!decoder_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    CheckAv(avcodec_parameters_to_context(decoder_, stream_->codecpar), "cannot set up the decoder");
    decoder_->thread_count = threads_;
    decoder_->pkt_timebase = stream_->time_base;
    r = avcodec_open2(decoder_, codec, nullptr);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot open the " + std::string(codec->name) + " decoder: " + AvError(r));
    if (decoder_->width <= 0 || decoder_->height <= 0 || decoder_->pix_fmt == AV_PIX_FMT_NONE) {
        throw HostError(EXIT_FAILURE_RUN, "the input " + path + " does not tell its picture size");
    }
    // Every filter instance holds several frame-sized buffers, and a header may claim any size
    // before a single pixel is read: refuse what no real film needs rather than allocate it.
    if (decoder_->width > kMaxPictureSide || decoder_->height > kMaxPictureSide ||
        (int64_t)decoder_->width * decoder_->height > kMaxPicturePixels) {
        throw HostError(EXIT_FAILURE_RUN, "the input " + path + " is " + std::to_string(decoder_->width) + "x" +
                                              std::to_string(decoder_->height) + " pixels; subremove takes at most " +
                                              std::to_string(kMaxPicturePixels) + " pixels and " +
                                              std::to_string(kMaxPictureSide) + " on a side");
    }
    AVRational rate = av_guess_frame_rate(format_, stream_, nullptr);
    if (rate.num > 0 && rate.den > 0) frameRate_ = rate;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!packet_ || !frame_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
}

VideoInput::~VideoInput() { Release(); }

void VideoInput::Release() {
    for (AVPacket *p : pending_) av_packet_free(&p);
    pending_.clear();
    av_packet_free(&framePacket_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&decoder_);
    avformat_close_input(&format_);
}

int VideoInput::FirstSequenceNumber() const {
    if (std::strcmp(format_->iformat->name, "image2") != 0) return 0;
    // The image sequence reader starts at the first of the numbers 0..4 that names a file.
    char name[4096];
    for (int i = 0; i < 5; ++i) {
        struct stat st{};
        if (av_get_frame_filename(name, sizeof(name), path_.c_str(), i) == 0 && stat(name, &st) == 0) return i;
    }
    return 0;
}

std::vector<std::string> VideoInput::Files() const {
    std::vector<std::string> files;
    char name[4096];
    if (std::strcmp(format_->iformat->name, "image2") == 0) {
        struct stat st{};
        for (int i = FirstSequenceNumber(); i < INT32_MAX; ++i) {
            if (av_get_frame_filename(name, sizeof(name), path_.c_str(), i) != 0 || stat(name, &st) != 0) break;
            files.push_back(name);
        }
    }
    // Standard input may be a file redirected into it: /dev/stdin leads to that file.
    if (files.empty()) files.push_back(path_ == "-" ? std::string("/dev/stdin") : path_);
    return files;
}

int64_t VideoInput::ExpectedFrames() const {
    if (stream_->nb_frames > 0) return stream_->nb_frames;
    if (stream_->duration != AV_NOPTS_VALUE && stream_->duration > 0) {
        return av_rescale_q(stream_->duration, stream_->time_base, av_inv_q(frameRate_));
    }
    if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
        return av_rescale_q(format_->duration, AVRational{1, AV_TIME_BASE}, av_inv_q(frameRate_));
    }
    return -1;
}

int64_t VideoInput::NominalFrameDuration() const {
    int64_t d = av_rescale_q(1, av_inv_q(frameRate_), stream_->time_base);
    return d > 0 ? d : 1;
}

bool VideoInput::SeekBefore(int64_t timestamp) {
    if (av_seek_frame(format_, stream_->index, timestamp, AVSEEK_FLAG_BACKWARD) < 0) return false;
    avcodec_flush_buffers(decoder_);
    for (AVPacket *p : pending_) av_packet_free(&p);
    pending_.clear();
    inputEnded_ = decoderDrained_ = false;
    return true;
}

// Skipping a frame that cannot be decoded would renumber every later frame, and the index names
// subtitles by frame number: the run stops instead.
void VideoInput::FailDecoding(int code) const {
    throw HostError(EXIT_FAILURE_RUN, "frame " + std::to_string(framesDecoded_) + " of " + path_ + " cannot be decoded (" +
                                          AvError(code) + "); skipping it would shift the frame numbers of the index");
}

AVFrame *VideoInput::NextFrame() {
    for (;;) {
        int r = avcodec_receive_frame(decoder_, frame_);
        if (r == 0) {
            ++framesDecoded_;
            if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) ++concealedFrames_;
            av_packet_free(&framePacket_);
            if (keepPackets) {
                // Intra-only codecs give one frame per packet in order; drop packets that gave none.
                int64_t pts = frame_->best_effort_timestamp;
                while (!pending_.empty() && pending_.front()->pts != AV_NOPTS_VALUE && pts != AV_NOPTS_VALUE &&
                       pending_.front()->pts < pts) {
                    av_packet_free(&pending_.front());
                    pending_.pop_front();
                }
                if (!pending_.empty() && pending_.front()->pts == pts) {
                    framePacket_ = pending_.front();
                    pending_.pop_front();
                }
            }
            return frame_;
        }
        if (r == AVERROR_EOF) return nullptr;
        if (r != AVERROR(EAGAIN)) FailDecoding(r);
        if (inputEnded_) {
            if (decoderDrained_) return nullptr;
            decoderDrained_ = true;
            avcodec_send_packet(decoder_, nullptr);
            continue;
        }
        r = av_read_frame(format_, packet_);
        if (r < 0) {
            inputEnded_ = true;
            continue;
        }
        if (packet_->stream_index == stream_->index) {
            if (keepPackets) {
                AVPacket *copy = av_packet_clone(packet_);
                if (copy) pending_.push_back(copy);
            }
            r = avcodec_send_packet(decoder_, packet_);
            if (r < 0 && r != AVERROR(EAGAIN)) FailDecoding(r);
        } else if (onOtherPacket) {
            onOtherPacket(packet_);
        }
        av_packet_unref(packet_);
    }
}
