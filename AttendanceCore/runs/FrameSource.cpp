#include "runs/FrameSource.h"

#include "library/Library.h"
#include "runs/BgraConverter.h"
#include "runs/ProcessError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <system_error>

namespace tallymere {

namespace {

// FFmpeg's error codes with FFmpeg's own descriptions, so that a file that cannot be opened
// fails with the decoder's words unchanged.
class MediaErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "ffmpeg"; }
    std::string message(int code) const override {
        std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
        av_strerror(code, text.data(), text.size());
        return text.data();
    }
};

const std::error_category& mediaCategory() {
    static const MediaErrorCategory category;
    return category;
}

// The system writes no log: FFmpeg's own messages on standard error are switched off.
void silenceMediaLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

std::string mediaText(int code) {
    return mediaCategory().message(code);
}

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Rotation of the video's display matrix in whole degrees, in the sense of the track transform:
// 90 means the stored frames are shown turned a quarter clockwise (a phone held upright).
int displayRotation(const AVStream* stream) {
    const std::uint8_t* matrix = nullptr;
#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100)
    const AVPacketSideData* sd =
        av_packet_side_data_get(stream->codecpar->coded_side_data,
                                stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (sd && sd->size >= 9 * sizeof(std::int32_t)) matrix = sd->data;
#else
    size_t size = 0;
    const std::uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (data && size >= 9 * sizeof(std::int32_t)) matrix = data;
#endif
    if (!matrix) return 0;
    // FFmpeg reports the counter-clockwise angle; the track transform's angle is its negation.
    double degrees = -av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
    if (!std::isfinite(degrees)) return 0;
    return static_cast<int>(std::round(degrees)); // halves away from zero
}

BGRAImage turned(BGRAImage image, int angle) {
    switch (angle) {
    case 90:
        return image.rotated90(true);
    case -90:
    case 270:
        return image.rotated90(false);
    case 180:
    case -180:
        return image.rotated180();
    default:
        return image;
    }
}

std::string oversizedText(std::int64_t width, std::int64_t height) {
    return "its pictures are too large (" + std::to_string(width) + " \u00d7 " +
           std::to_string(height) + ")";
}

} // namespace

bool FrameSampler::take(double t) {
    if (!(next_ <= t + 0.000001)) return false;
    next_ += interval_;
    // A time stamp far ahead (a damaged or crafted file) would take billions of steps, or never
    // end once the interval is lost in the time's rounding: beyond a million intervals the grid
    // moves in one step.
    if (next_ <= t && (t - next_) / interval_ > maxGridSteps)
        next_ += std::floor((t - next_) / interval_) * interval_;
    for (int step = 0; next_ <= t && step <= maxGridSteps; ++step)
        next_ += interval_;
    if (next_ <= t) next_ = std::nextafter(t, std::numeric_limits<double>::infinity());
    return true;
}

class FrameSource::Reader {
public:
    virtual ~Reader() = default;
    virtual double duration() const = 0;
    virtual std::optional<int> expectedFrames() const = 0;
    virtual bool isStill() const = 0;
    virtual std::optional<Frame> next(const std::function<bool()>& isCancelled) = 0;
};

namespace {

class StillReader final : public FrameSource::Reader {
public:
    explicit StillReader(std::vector<std::filesystem::path> files) : files_(std::move(files)) {}

    double duration() const override { return static_cast<double>(files_.size()); }
    std::optional<int> expectedFrames() const override { return static_cast<int>(files_.size()); }
    bool isStill() const override { return true; }

    std::optional<FrameSource::Frame> next(const std::function<bool()>& isCancelled) override {
        for (bool first = true; next_ < files_.size(); first = false) {
            if (!first && isCancelled && isCancelled()) throw ProcessError::cancelled();
            const std::size_t i = next_++;
            // An undecodable photo is skipped; later photos keep their positions.
            if (auto image = BGRAImage::load(files_[i], FrameSource::maxStillSide))
                return FrameSource::Frame{static_cast<int>(i), static_cast<double>(i),
                                          std::move(*image)};
        }
        return std::nullopt;
    }

private:
    std::vector<std::filesystem::path> files_;
    std::size_t next_ = 0;
};

class VideoReader final : public FrameSource::Reader {
public:
    VideoReader(const std::filesystem::path& file, double fps)
        : name_(file.filename().string()), sampler_(fps) {
        silenceMediaLog();
        AVFormatContext* raw = nullptr;
        if (int r = avformat_open_input(&raw, file.c_str(), nullptr, nullptr); r < 0)
            throw unreadable(mediaText(r));
        format_.reset(raw);
        findStreamInfo();

        // The first video stream; cover art attached to an audio file is not a video.
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            const AVStream* s = format_->streams[i];
            if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
                streamIndex_ = static_cast<int>(i);
                break;
            }
        }
        if (streamIndex_ < 0) throw ProcessError::noVideoTrack();
        for (unsigned i = 0; i < format_->nb_streams; ++i)
            if (static_cast<int>(i) != streamIndex_) format_->streams[i]->discard = AVDISCARD_ALL;

        AVStream* stream = format_->streams[streamIndex_];
        refuseOversized(stream->codecpar->width, stream->codecpar->height);
        timeBase_ = stream->time_base;
        if (timeBase_.num <= 0 || timeBase_.den <= 0) timeBase_ = AVRational{1, AV_TIME_BASE};
        startPts_ = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        angle_ = displayRotation(stream);

        if (format_->duration != AV_NOPTS_VALUE && format_->duration >= 0) {
            duration_ = static_cast<double>(format_->duration) / AV_TIME_BASE;
        } else if (stream->duration != AV_NOPTS_VALUE && stream->duration >= 0) {
            duration_ = static_cast<double>(stream->duration) * timeBase_.num / timeBase_.den;
        } else {
            knownDuration_ = false;
        }
        if (knownDuration_) {
            const double frames = std::trunc(duration_ * fps);
            if (std::isfinite(frames) && frames >= 0 &&
                frames < static_cast<double>(std::numeric_limits<int>::max()))
                expectedFrames_ = static_cast<int>(frames) + 1;
        }

        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!codec) throw unreadable("unsupported format");
        codec_.reset(avcodec_alloc_context3(codec));
        if (!codec_) throw std::bad_alloc();
        if (int r = avcodec_parameters_to_context(codec_.get(), stream->codecpar); r < 0)
            throw unreadable(mediaText(r));
        codec_->pkt_timebase = timeBase_;
        // Each frame's declared size is checked before its pixels are allocated.
        codec_->max_pixels = maxImagePixels;
        codec_->thread_count = 0; // as many decoder threads as the machine suggests
        codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        if (int r = avcodec_open2(codec_.get(), codec, nullptr); r < 0)
            throw unreadable(mediaText(r));
        skipAllowed_ = codec->id == AV_CODEC_ID_H264 || codec->id == AV_CODEC_ID_HEVC;

        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!frame_ || !packet_) throw std::bad_alloc();
    }

    double duration() const override { return duration_; }
    std::optional<int> expectedFrames() const override { return expectedFrames_; }
    bool isStill() const override { return false; }

    std::optional<FrameSource::Frame> next(const std::function<bool()>& isCancelled) override {
        if (failure_) throw unreadable(*failure_);
        if (finished_) return std::nullopt;
        for (;;) {
            int r = avcodec_receive_frame(codec_.get(), frame_.get());
            if (r == 0) {
                if (auto kept = sample()) return kept;
                // A long stretch without a kept frame (a time stamp far ahead, a low sampling
                // rate) must still stop when the run is cancelled.
                if (isCancelled && isCancelled()) throw ProcessError::cancelled();
                continue;
            }
            if (r == AVERROR_EOF) {
                finished_ = true;
                // A file that does not state its length lasts as long as its frames.
                if (!knownDuration_) duration_ = lastTime_;
                return std::nullopt;
            }
            if (r != AVERROR(EAGAIN)) fail(r);
            if (isCancelled && isCancelled()) throw ProcessError::cancelled();
            feed();
        }
    }

private:
    // Reads the streams' parameters, decoding a few frames where the container does not state
    // them; frames beyond the pixel limit are refused there too, before they are allocated.
    void findStreamInfo() {
        const std::string limit = std::to_string(maxImagePixels);
        std::vector<AVDictionary*> options(format_->nb_streams, nullptr);
        for (AVDictionary*& o : options)
            av_dict_set(&o, "max_pixels", limit.c_str(), 0);
        const int r =
            avformat_find_stream_info(format_.get(), options.empty() ? nullptr : options.data());
        for (AVDictionary*& o : options)
            av_dict_free(&o);
        if (r < 0) throw unreadable(mediaText(r));
    }

    void refuseOversized(std::int64_t width, std::int64_t height) {
        if (width > 0 && height > 0 && width * height > maxImagePixels)
            throw unreadable(oversizedText(width, height));
    }

    double seconds(std::int64_t ticks) const {
        return static_cast<double>(ticks - startPts_) * timeBase_.num / timeBase_.den;
    }

    [[noreturn]] void fail(int code) {
        failure_ = mediaText(code);
        throw unreadable(*failure_);
    }

    // Hands the decoder the next packet of the video stream, or tells it the input has ended.
    void feed() {
        for (;;) {
            int r = av_read_frame(format_.get(), packet_.get());
            if (r == AVERROR_EOF) {
                r = avcodec_send_packet(codec_.get(), nullptr);
                if (r < 0 && r != AVERROR_EOF) fail(r);
                return;
            }
            if (r < 0) fail(r);
            if (packet_->stream_index != streamIndex_) {
                av_packet_unref(packet_.get());
                continue;
            }
            planDecoding(*packet_);
            r = avcodec_send_packet(codec_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (r < 0) fail(r);
            return;
        }
    }

    // Whether a frame whose packet shows `pts` could be kept: some point of the sampling grid
    // lies between the frame before it in presentation order and it. The frame before is the
    // latest earlier packet read so far; a packet read later can only come closer, so a frame
    // ruled out here is never kept.
    bool mayBeKept(std::int64_t pts) const {
        const double t = seconds(pts), grid = sampler_.nextTime(), interval = sampler_.interval();
        constexpr double slack = 0.000002;
        if (t + slack < grid) return false;
        auto before = seen_.lower_bound(pts);
        if (before == seen_.begin() || (t - grid) / interval > 100000) return true;
        const double previous = seconds(*std::prev(before));
        const double steps = std::max(0.0, std::ceil((previous - slack - grid) / interval));
        return grid + steps * interval <= t + slack;
    }

    // Before a packet goes to the decoder: a frame that cannot be kept need not be decoded, and
    // the decoder skips it when nothing else refers to it. Its place among the frames still
    // counts, from the packets' presentation times.
    void planDecoding(const AVPacket& packet) {
        const bool counted = packet.pts != AV_NOPTS_VALUE && !(packet.flags & AV_PKT_FLAG_DISCARD);
        const bool skip = skipAllowed_ && counted && !mayBeKept(packet.pts);
        codec_->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        if (!counted) return;
        pending_.emplace(packet.pts, skip);
        seen_.insert(packet.pts);
    }

    // The frame's position among all frames of the file: frames whose decoding was skipped
    // before it count as they would have had they been decoded.
    int frameIndex(std::int64_t pts) {
        if (pts != AV_NOPTS_VALUE) {
            auto end = pending_.lower_bound(pts);
            for (auto it = pending_.begin(); it != end; ++it)
                if (it->second) ++decoded_;
            pending_.erase(pending_.begin(), end);
            if (auto same = pending_.find(pts); same != pending_.end()) pending_.erase(same);
            seen_.erase(seen_.begin(), seen_.lower_bound(pts));
        }
        return decoded_++;
    }

    // Counts the decoded frame and returns it, upright, when the sampling rule keeps it.
    std::optional<FrameSource::Frame> sample() {
        AVFrame* f = frame_.get();
        const std::int64_t ts = f->best_effort_timestamp;
        const double t = ts != AV_NOPTS_VALUE ? seconds(ts) : lastTime_;
        lastTime_ = t;
        const int index = frameIndex(f->pts);
        const bool hasImage = f->width > 0 && f->height > 0 && f->data[0];
        if (hasImage && static_cast<std::int64_t>(f->width) * f->height > maxImagePixels) {
            failure_ = oversizedText(f->width, f->height);
            throw unreadable(*failure_);
        }
        if (!hasImage || !sampler_.take(t)) {
            av_frame_unref(f);
            return std::nullopt;
        }
        std::optional<BGRAImage> image = converter_.convert(f);
        if (!image)
            throw unreadable(BgraConverter::canConvert(f->format) ? "decode failed"
                                                                  : "unsupported format");
        av_frame_unref(f);
        return FrameSource::Frame{index, t, turned(std::move(*image), angle_)};
    }

    std::unique_ptr<AVFormatContext, FormatCloser> format_;
    std::unique_ptr<AVCodecContext, CodecCloser> codec_;
    std::unique_ptr<AVFrame, FrameFreer> frame_;
    std::unique_ptr<AVPacket, PacketFreer> packet_;
    BgraConverter converter_;
    int streamIndex_ = -1;
    AVRational timeBase_{1, 1};
    std::int64_t startPts_ = 0;
    int angle_ = 0;
    double duration_ = 0.0;
    bool knownDuration_ = true;
    std::optional<int> expectedFrames_;
    // A failure to decode, naming the recording.
    ProcessError unreadable(const std::string& text) const {
        return ProcessError::unreadable(text, name_);
    }

    std::string name_;
    FrameSampler sampler_;
    int decoded_ = 0;
    // Codecs whose decoders skip frames nothing refers to when asked to, frame by frame.
    bool skipAllowed_ = false;
    // Packets sent whose frames have not come out yet, by presentation time: whether decoding
    // was skipped where possible.
    std::multimap<std::int64_t, bool> pending_;
    // Presentation times of the packets read, from the last frame out on.
    std::set<std::int64_t> seen_;
    double lastTime_ = 0.0;
    bool finished_ = false;
    std::optional<std::string> failure_;
};

} // namespace

bool FrameSource::isStillPath(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    if (ext.empty()) return false;
    ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return Library::imageExtensions().count(ext) != 0;
}

FrameSource FrameSource::open(const std::vector<std::string>& paths, double fps) {
    if (!(fps > 0) || !std::isfinite(fps))
        throw std::invalid_argument(
            "the sampling rate must be a positive number of frames per second");
    std::vector<std::filesystem::path> files(paths.begin(), paths.end());
    if (std::all_of(files.begin(), files.end(), isStillPath))
        return FrameSource(std::make_unique<StillReader>(std::move(files)));
    return FrameSource(std::make_unique<VideoReader>(files.front(), fps));
}

FrameSource::FrameSource(std::unique_ptr<Reader> reader) : reader_(std::move(reader)) {}
FrameSource::FrameSource(FrameSource&&) noexcept = default;
FrameSource& FrameSource::operator=(FrameSource&&) noexcept = default;
FrameSource::~FrameSource() = default;

double FrameSource::duration() const {
    return reader_->duration();
}
std::optional<int> FrameSource::expectedFrames() const {
    return reader_->expectedFrames();
}
bool FrameSource::isStill() const {
    return reader_->isStill();
}
std::optional<FrameSource::Frame> FrameSource::next(const std::function<bool()>& isCancelled) {
    return reader_->next(isCancelled);
}

} // namespace tallymere
