// Encoding, muxing and publishing (see output.h). The encoder and its settings come from the
// encoder policy; this file only carries them out.
#include "cli/output/output.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "cli/colour/colour.h"
#include "cli/errors.h"
#include "cli/input/input.h"
#include "cli/front/interrupt.h"
#include "cli/front/warnings.h"
#include "cli/output/stream_keep.h"
#include "cli/output/subtitle_convert.h"
#include "cli/output/text_track.h"
#include "cli/ocr/cue_schedule.h"
#include "cli/ocr/language_names.h"

namespace {

// The encoder's formats, less those the scaler cannot write (a palette, for one).
EncoderCaps UsableCaps(const AVCodec *codec) {
    EncoderCaps caps = EncoderCaps::FromLibrary(codec);
    std::vector<AVPixelFormat> usable;
    for (AVPixelFormat f : caps.pixelFormats) {
        if (sws_isSupportedOutput(f) || SampleTwin(f) != f) usable.push_back(f);
    }
    if (usable.empty() && !caps.pixelFormats.empty()) {
        throw HostError(EXIT_FAILURE_RUN, std::string("subremove cannot feed the ") + codec->name + " encoder");
    }
    caps.pixelFormats = usable;
    return caps;
}

// The encoder the flags name, else the one the policy prefers for the container, else the
// container's own default.
// "same" is the input's codec; `inputCodec` names it.
const AVCodec *FindEncoder(const AVOutputFormat *format, const EncodeRequest &request, AVCodecID inputCodec) {
    if (request.codecFlag == "same") {
        const AVCodec *codec = avcodec_find_encoder(inputCodec);
        if (!codec) throw HostError(EXIT_FAILURE_RUN, std::string("--codec same: no encoder for the input's codec ") + avcodec_get_name(inputCodec));
        return codec;
    }
    if (!request.codecFlag.empty()) {
        const AVCodec *codec = avcodec_find_encoder_by_name(request.codecFlag.c_str());
        if (!codec || codec->type != AVMEDIA_TYPE_VIDEO) throw HostError(EXIT_FAILURE_RUN, "unknown video codec " + request.codecFlag);
        return codec;
    }
    const std::string preferred = PreferredEncoderName(request.outputPath, request.imageSequence);
    if (!preferred.empty()) {
        if (const AVCodec *codec = avcodec_find_encoder_by_name(preferred.c_str())) return codec;
    }
    const AVCodec *codec =
        avcodec_find_encoder(av_guess_codec(format, nullptr, request.outputPath.c_str(), nullptr, AVMEDIA_TYPE_VIDEO));
    if (!codec) throw HostError(EXIT_FAILURE_RUN, "no video encoder for " + request.outputPath);
    return codec;
}

// The encoder names the profile among its own, or its codec's when it lists none of its own (as
// libx264, which maps the codec's profiles to its own names).
bool HasProfile(const AVCodec *codec, int profile) {
    if (profile == FF_PROFILE_UNKNOWN) return false;
    const AVProfile *list = codec->profiles;
    if (!list) {
        const AVCodecDescriptor *d = avcodec_descriptor_get(codec->id);
        list = d ? d->profiles : nullptr;
    }
    for (; list && list->profile != FF_PROFILE_UNKNOWN; ++list)
        if (list->profile == profile) return true;
    return false;
}

// The name the encoder policy reads the container from: the path, or, where -f names the
// container (and always for standard output), a name with that container's own extension.
std::string PolicyName(const std::string &path, const std::string &format, const AVOutputFormat *container) {
    if (format.empty() && path != "-") return path;
    const std::string extensions = container->extensions ? container->extensions : "";
    return "output." + extensions.substr(0, extensions.find(','));
}

// Containers that can be written front to back with no seeking, as standard output needs.
const char *const kStreamingContainers[] = {"matroska", "webm", "nut", "mpegts"};

// The container -f names, else the one the extension names; standard output needs -f and a
// container written without seeking.
const AVOutputFormat *ChooseContainer(const std::string &path, const std::string &format) {
    const bool toStdout = path == "-";
    if (toStdout && format.empty()) {
        throw HostError(EXIT_USAGE, "standard output has no extension to name its container: give -f, e.g. -f matroska");
    }
    const AVOutputFormat *guess = av_guess_format(format.empty() ? nullptr : format.c_str(), toStdout ? nullptr : path.c_str(), nullptr);
    if (!guess && !format.empty()) throw HostError(EXIT_USAGE, "-f " + format + ": no such container");
    if (!guess) throw HostError(EXIT_FAILURE_RUN, "cannot tell the container of " + path + " from its extension");
    if (toStdout && std::none_of(std::begin(kStreamingContainers), std::end(kStreamingContainers),
                                 [&](const char *name) { return std::strcmp(guess->name, name) == 0; })) {
        throw HostError(EXIT_USAGE, std::string("standard output takes a container written without seeking (matroska, webm, nut, "
                                                "mpegts), not ") + guess->name);
    }
    return guess;
}

}  // namespace

PacketList::~PacketList() {
    for (AVPacket *p : packets) av_packet_free(&p);
}

VideoOutput::VideoOutput(const std::string &path, VideoInput &input, const OutputOptions &options)
    : path_(path), input_(input) {
    // A throwing constructor runs no destructor: release what was opened so far by hand.
    try {
        Open(options);
    } catch (...) {
        Release();
        throw;
    }
}

VideoOutput::~VideoOutput() { Release(); }

void VideoOutput::Open(const OutputOptions &options) {
    const AVOutputFormat *guess = ChooseContainer(path_, options.format);
    sequence_ = std::strcmp(guess->name, "image2") == 0;
    const std::string target = PrepareTarget(options);
    CheckAv(avformat_alloc_output_context2(&format_, guess, nullptr, target.c_str()), "cannot set up the output " + path_);

    const AVCodecContext *dec = input_.decoder();
    EncodeRequest request;
    request.outputPath = PolicyName(path_, options.format, format_->oformat);
    request.imageSequence = sequence_;
    request.codecFlag = options.codec;
    request.quality = options.quality;
    request.threads = options.threads;
    request.width = dec->width;
    request.height = dec->height;
    request.inputFormat = dec->pix_fmt;
    request.inputRange = dec->color_range;
    request.quiet = options.quiet;
    request.codecOptions = options.codecOptions;
    request.fieldOrder = dec->field_order;
    ReadHdrMetadata(input_.stream(), request);
    const AVCodec *codec = FindEncoder(format_->oformat, request, dec->codec_id);
    keepProfile_ = options.codec == "same";
    if (avformat_query_codec(format_->oformat, codec->id, FF_COMPLIANCE_NORMAL) == 0) {
        throw HostError(EXIT_FAILURE_RUN, std::string("the container of ") + path_ + " cannot hold " + codec->name + " video");
    }
    plan_ = PlanEncoding(request, UsableCaps(codec));
    if (!plan_.note.empty()) std::fprintf(stderr, "subremove: note: %s\n", plan_.note.c_str());
    OpenEncoder(codec);
    AddVideoStream();
    AddOtherStreams();
    if (options.textStream) AddTextStream(options);
    const AVCodecDescriptor *inDesc = avcodec_descriptor_get(dec->codec_id);
    passPackets_ = sequence_ && codec->id == dec->codec_id && plan_.keepsSamples && plan_.pixelFormat == dec->pix_fmt &&
                   inDesc && (inDesc->props & AV_CODEC_PROP_INTRA_ONLY);
    if (!textStream_) WriteHeader();
}

// The muxer's name for the output: the temporary folder's pattern for an image sequence; a
// file is written through the target's own descriptor and its name only says what it is.
std::string VideoOutput::PrepareTarget(const OutputOptions &options) {
    TargetRules rules;
    rules.overwrite = options.overwrite;
    rules.inputFiles = input_.Files();
    rules.firstNumber = input_.FirstSequenceNumber();
    rules.expectedFrames = input_.ExpectedFrames();
    target_ = std::make_unique<OutputTarget>(path_, sequence_, rules);
    return sequence_ ? target_->MuxerUrl() : "file:" + path_;
}

// One context per plan slot, all set up alike.
void VideoOutput::OpenEncoder(const AVCodec *codec) {
    const AVCodecContext *dec = input_.decoder();
    AVStream *in = input_.stream();
    const int contexts = plan_.groupLength > 0 ? std::max(1, plan_.contexts) : 1;
    for (int i = 0; i < contexts; ++i) {
        Encoder slot;
        slot.context = avcodec_alloc_context3(codec);
        slot.packet = av_packet_alloc();
        encoders_.push_back(slot);
        AVCodecContext *e = slot.context;
        if (!e || !slot.packet) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        e->width = dec->width;
        e->height = dec->height;
        e->pix_fmt = plan_.pixelFormat;
        e->sample_aspect_ratio = av_guess_sample_aspect_ratio(input_.format(), in, nullptr);
        e->time_base = in->time_base;
        e->framerate = input_.frameRate();
        e->thread_count = plan_.threadsPerContext;
        e->field_order = plan_.fieldOrder;
        e->flags |= plan_.codecFlags;
        if (plan_.gopSize > 0) e->gop_size = plan_.gopSize;
        if (!IsRgbFormat(e->pix_fmt)) {
            // The film's own tags; an RGB film becomes YUV with the matrix the conversion used.
            e->color_range = plan_.range;
            e->colorspace = IsRgbFormat(dec->pix_fmt) ? GuessMatrix(dec->width, dec->height) : dec->colorspace;
            e->color_primaries = dec->color_primaries;
            e->color_trc = dec->color_trc;
        }
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (plan_.qscale) {
            e->flags |= AV_CODEC_FLAG_QSCALE;
            e->global_quality = plan_.globalQuality;
        }
        if (keepProfile_ && HasProfile(codec, in->codecpar->profile)) e->profile = in->codecpar->profile;
        AVDictionary *settings = nullptr;
        for (const auto &kv : plan_.options) av_dict_set(&settings, kv.first.c_str(), kv.second.c_str(), 0);
        const int r = avcodec_open2(e, codec, &settings);
        // What the encoder left in the dictionary it does not take; quietly dropping it would
        // write a film other than the one asked for.
        const AVDictionaryEntry *refused = av_dict_get(settings, "", nullptr, AV_DICT_IGNORE_SUFFIX);
        const std::string refusedKey = refused ? refused->key : "";
        av_dict_free(&settings);
        if (r >= 0 && !refusedKey.empty()) {
            throw HostError(EXIT_FAILURE_RUN, "the " + plan_.codec + " encoder has no option " + refusedKey);
        }
        if (r < 0) {
            throw HostError(EXIT_FAILURE_RUN, "cannot open the " + plan_.codec + " encoder for " + std::to_string(e->width) + "x" +
                                                  std::to_string(e->height) + " " + av_get_pix_fmt_name(e->pix_fmt) +
                                                  " pictures (" + AvError(r) + "); choose another with --codec");
        }
    }
}

void VideoOutput::AddVideoStream() {
    AVCodecContext *first = encoders_.front().context;
    AVStream *in = input_.stream();
    videoStream_ = avformat_new_stream(format_, nullptr);
    if (!videoStream_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    CheckAv(avcodec_parameters_from_context(videoStream_->codecpar, first), "cannot set up the output stream");
    videoStream_->time_base = first->time_base;
    videoStream_->avg_frame_rate = input_.frameRate();
    videoStream_->sample_aspect_ratio = first->sample_aspect_ratio;
    videoStream_->disposition = in->disposition;
    CopyVideoTags(in->metadata, &videoStream_->metadata);
    CopyStreamSideData(in, videoStream_, true);
    streamMap_[in->index] = videoStream_->index;
}

// The other streams go across unchanged where the container can hold them, text subtitles in a
// text format it holds; each stream left out is named in a warning.
void VideoOutput::AddOtherStreams() {
    for (unsigned i = 0; i < input_.format()->nb_streams; ++i) {
        AVStream *other = input_.format()->streams[i];
        if ((int)i == input_.stream()->index) continue;
        const AVMediaType type = other->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE && type != AVMEDIA_TYPE_ATTACHMENT) continue;
        if (!AddOtherStream(other)) {
            const std::string holder = sequence_ ? std::string("an image sequence") : format_->oformat->name;
            Warn(WarningKind::kNotCleaned, LeftOutLine(other, holder));
        }
    }
    av_dict_copy(&format_->metadata, input_.format()->metadata, 0);
    if (!sequence_) CopyChapters(input_.format(), format_);
}

// False when the output cannot hold the stream.
bool VideoOutput::AddOtherStream(AVStream *other) {
    if (sequence_) return false;
    // Attachments (the fonts of styled subtitles) travel with Matroska only.
    const bool attachment = other->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT;
    if (attachment && !std::strstr(format_->oformat->name, "matroska")) return false;
    AVCodecID convertTo = AV_CODEC_ID_NONE;
    if (!attachment && avformat_query_codec(format_->oformat, other->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
        convertTo = TextSubtitleConverter::TargetFor(other->codecpar, format_->oformat);
        if (convertTo == AV_CODEC_ID_NONE) return false;
    }
    AVStream *copy = avformat_new_stream(format_, nullptr);
    if (!copy) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    if (convertTo != AV_CODEC_ID_NONE) {
        converters_[other->index] = std::make_unique<TextSubtitleConverter>(other, copy, convertTo);
    } else {
        CheckAv(avcodec_parameters_copy(copy->codecpar, other->codecpar), "cannot copy a stream");
        copy->codecpar->codec_tag = 0;
        copy->time_base = other->time_base;
    }
    copy->disposition = other->disposition;
    av_dict_copy(&copy->metadata, other->metadata, 0);
    CopyStreamSideData(other, copy, false);
    streamMap_[other->index] = copy->index;
    return true;
}

// The text's stream goes after every stream kept; a container without a text format for it gets
// none, and the warning says where the text can go instead.
void VideoOutput::AddTextStream(const OutputOptions &options) {
    textStream_ = true;
    const AVCodecID codec = sequence_ ? AV_CODEC_ID_NONE : TextTrack::CodecFor(format_->oformat);
    if (codec != AV_CODEC_ID_NONE) {
        textTrack_ = std::make_unique<TextTrack>(format_, codec, input_.stream()->time_base);
        return;
    }
    const std::string holder = sequence_ ? std::string("an image sequence") : format_->oformat->name;
    Warn(options.textKeptElsewhere ? WarningKind::kNotice : WarningKind::kNotCleaned,
         "the subtitles' text is left out of " + path_ + ": " + holder + " holds no text subtitles" +
             (options.textKeptElsewhere ? "; it is in the --srt file" : " (give --srt FILE to keep it)"));
}

void VideoOutput::StartText(CueSchedule *cues, const std::string &language) {
    // Matroska takes ISO 639-2's bibliographic codes (chi, ger), MP4's timed text the terminology ones.
    if (textTrack_) textTrack_->SetLanguage(LanguageTag(language, textTrack_->stream()->codecpar->codec_id == AV_CODEC_ID_MOV_TEXT));
    cues_ = cues;  // handed out all the same where no stream holds them: the SRT takes them
    WriteHeader();
}

// The cues due once the film is written up to `until` (the input stream's time base), or all
// those left at the end.
void VideoOutput::MuxCues(int64_t until, bool atEnd) {
    if (!cues_) return;
    for (;;) {
        const std::optional<TimedCue> cue = atEnd ? cues_->NextAtEnd() : cues_->NextBefore(until);
        if (!cue) return;
        if (!textTrack_) continue;
        if (PacketPtr packet = textTrack_->Encode(*cue)) Mux(packet.get());
    }
}

void VideoOutput::WriteHeader() {
    if (!(format_->oformat->flags & AVFMT_NOFILE)) format_->pb = target_->OpenWriter();
    // FLAC or Opus in MP4 is still marked experimental in this FFmpeg, yet players read it.
    format_->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    // No random container ids or library versions: the same film and settings give the same file,
    // whatever --threads, so results can be compared byte for byte.
    format_->flags |= AVFMT_FLAG_BITEXACT;
    AVDictionary *muxing = nullptr;
    // Sequence files are numbered like the input's, or else by frame number from 0 as the index counts.
    if (sequence_) av_dict_set_int(&muxing, "start_number", input_.FirstSequenceNumber(), 0);
    const int r = avformat_write_header(format_, &muxing);
    av_dict_free(&muxing);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
}

void VideoOutput::Release() {
    if (format_) CloseWriter(&format_->pb);
    target_.reset();  // removes the temporary file or folder unless published
    finished_ = true;
    for (Encoder &e : encoders_) {
        av_packet_free(&e.packet);
        avcodec_free_context(&e.context);
    }
    encoders_.clear();
    converters_.clear();
    textTrack_.reset();
    if (format_) {
        avformat_free_context(format_);
        format_ = nullptr;
    }
}

void VideoOutput::EncodeFrame(int slot, AVFrame *frame, int64_t duration, PacketList &out) {
    Encoder &e = encoders_.at((size_t)slot);
    if (frame->pts != AV_NOPTS_VALUE) e.durations[frame->pts] = duration;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    const int r = avcodec_send_frame(e.context, frame);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot encode a frame: " + AvError(r));
    const size_t before = out.packets.size();
    Receive(e, out);
    // Contexts past the first are used only by encoders that give each picture's packet at once;
    // one that did not would put the film out of order.
    if (encoders_.size() > 1 && out.packets.size() != before + 1) {
        throw HostError(EXIT_FAILURE_RUN, "cannot encode a frame: the encoder did not give one packet for it");
    }
}

void VideoOutput::Receive(Encoder &e, PacketList &out) {
    for (;;) {
        // Draining a deep encoder at the end can take seconds: an interruption is heard here too.
        ThrowIfInterrupted();
        const int r = avcodec_receive_packet(e.context, e.packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot encode a frame: " + AvError(r));
        if (e.packet->duration == 0 && e.packet->pts != AV_NOPTS_VALUE) {
            auto found = e.durations.find(e.packet->pts);
            if (found != e.durations.end()) e.packet->duration = found->second;
        }
        e.durations.erase(e.durations.begin(),
                          e.durations.lower_bound(e.packet->pts == AV_NOPTS_VALUE ? 0 : e.packet->pts - 1));
        AVPacket *taken = av_packet_alloc();
        if (!taken) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        av_packet_move_ref(taken, e.packet);
        out.packets.push_back(taken);
    }
}

void VideoOutput::Mux(AVPacket *packet) {
    int r;
    {
        std::lock_guard<std::mutex> lock(muxMutex_);
        r = av_interleaved_write_frame(format_, packet);
    }
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
}

// An image output without a frame number holds one picture; the muxer's own refusal of a second
// one would not say why.
void VideoOutput::CountPicture() {
    if (++pictures_ > 1 && target_->SinglePicture()) {
        throw HostError(EXIT_FAILURE_RUN, path_ + " names one picture and the input has more than one frame: "
                                          "name a sequence with a frame number, such as %05d");
    }
}

void VideoOutput::WritePackets(PacketList &encoded) {
    for (AVPacket *&p : encoded.packets) {
        PacketPtr owned(p);
        p = nullptr;
        CountPicture();
        // The cues count in the input stream's time base, as the encoders are set up to.
        MuxCues(av_rescale_q(owned->dts != AV_NOPTS_VALUE ? owned->dts : owned->pts, encoders_.front().context->time_base,
                             input_.stream()->time_base),
                false);
        owned->stream_index = videoStream_->index;
        av_packet_rescale_ts(owned.get(), encoders_.front().context->time_base, videoStream_->time_base);
        Mux(owned.get());
    }
    encoded.packets.clear();
}

void VideoOutput::WriteInputPacket(const AVPacket *packet) {
    PacketPtr copy(av_packet_clone(packet));
    if (!copy) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    copy->stream_index = videoStream_->index;
    CountPicture();
    MuxCues(copy->dts != AV_NOPTS_VALUE ? copy->dts : copy->pts, false);
    av_packet_rescale_ts(copy.get(), input_.stream()->time_base, videoStream_->time_base);
    Mux(copy.get());
}

void VideoOutput::CopyPacket(AVPacket *packet) {
    auto found = streamMap_.find(packet->stream_index);
    if (found == streamMap_.end() || found->second == videoStream_->index) return;
    AVStream *from = input_.format()->streams[packet->stream_index];
    AVStream *to = format_->streams[found->second];
    auto converter = converters_.find(packet->stream_index);
    if (converter != converters_.end() && !converter->second->Convert(packet)) return;
    packet->stream_index = to->index;
    av_packet_rescale_ts(packet, from->time_base, to->time_base);
    packet->pos = -1;
    Mux(packet);
}

int64_t VideoOutput::BytesWritten() const {
    // Read from the file, not the muxer: the muxer is busy on another thread.
    return target_ ? target_->BytesWritten() : -1;
}

void VideoOutput::Finish() {
    // Only the first context can hold delayed pictures (see EncodeFrame).
    for (Encoder &e : encoders_) {
        avcodec_send_frame(e.context, nullptr);
        PacketList rest;
        Receive(e, rest);
        WritePackets(rest);
    }
    MuxCues(0, true);
    int r = av_write_trailer(format_);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
    r = CloseWriter(&format_->pb);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
    ThrowIfInterrupted();
    target_->Publish();
    finished_ = true;
}
