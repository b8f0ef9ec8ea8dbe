#include "runs/FrameFeed.h"

#include "runs/BgraConverter.h"
#include "runs/LiveError.h"
#include "runs/LiveSourceKind.h"
#include "runs/SerialQueue.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/videodev2.h>
#include <mutex>
#include <optional>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

namespace tallymere {

namespace {

using Clock = std::chrono::steady_clock;

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

// The system writes no log: FFmpeg's own messages are switched off; capture devices are
// registered once.
void prepareMedia() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        avdevice_register_all();
        avformat_network_init();
    });
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
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

// The decoder for a format's best video stream; every other stream (sound included) is
// discarded. Nothing when the input has no decodable video.
struct VideoDecoder {
    CodecPtr codec;
    int streamIndex = -1;
    AVRational timeBase{1, AV_TIME_BASE};
};

std::optional<VideoDecoder> openVideoDecoder(AVFormatContext* format) {
    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (index < 0 || !codec) return std::nullopt;
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (static_cast<int>(i) != index) format->streams[i]->discard = AVDISCARD_ALL;
    VideoDecoder decoder;
    decoder.streamIndex = index;
    const AVStream* stream = format->streams[index];
    if (stream->time_base.num > 0 && stream->time_base.den > 0)
        decoder.timeBase = stream->time_base;
    decoder.codec.reset(avcodec_alloc_context3(codec));
    if (!decoder.codec) return std::nullopt;
    if (avcodec_parameters_to_context(decoder.codec.get(), stream->codecpar) < 0)
        return std::nullopt;
    decoder.codec->pkt_timebase = decoder.timeBase;
    decoder.codec->thread_count = 0;
    decoder.codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    // Live sources want each frame as soon as it is decoded, not a few frames later.
    decoder.codec->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(decoder.codec.get(), codec, nullptr) < 0) return std::nullopt;
    return decoder;
}

// ---- V4L2 devices

std::vector<std::filesystem::path> videoNodes() {
    std::vector<std::pair<int, std::filesystem::path>> nodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("video") || name.size() == 5) continue;
        const std::string number = name.substr(5);
        if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        nodes.emplace_back(std::stoi(number), entry.path());
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::filesystem::path> paths;
    for (auto& node : nodes)
        paths.push_back(std::move(node.second));
    return paths;
}

int xioctl(int fd, unsigned long request, void* argument) {
    int r;
    do {
        r = ioctl(fd, request, argument);
    } while (r == -1 && errno == EINTR);
    return r;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The card name and bus position of a node that captures single-plane video; nothing for any
// other node.
std::optional<v4l2_capability> captureCapability(int fd) {
    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) return std::nullopt;
    const std::uint32_t caps =
        (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE)) return std::nullopt;
    return cap;
}

std::string fixedText(const std::uint8_t* bytes, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, size));
}

// The mode a camera is opened at: the largest picture, then the highest frame rate, among the
// pixel formats the capture library reads.
struct CameraMode {
    std::string inputFormat; // FFmpeg's name for the pixel format or codec
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    AVRational rate{0, 1}; // frames per second; 0 when the driver states none
};

const char* inputFormatName(std::uint32_t fourcc) {
    switch (fourcc) {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return "mjpeg";
    case V4L2_PIX_FMT_H264:
        return "h264";
    case V4L2_PIX_FMT_YUYV:
        return "yuyv422";
    case V4L2_PIX_FMT_UYVY:
        return "uyvy422";
    case V4L2_PIX_FMT_NV12:
        return "nv12";
    case V4L2_PIX_FMT_YUV420:
        return "yuv420p";
    case V4L2_PIX_FMT_RGB24:
        return "rgb24";
    case V4L2_PIX_FMT_BGR24:
        return "bgr24";
    case V4L2_PIX_FMT_GREY:
        return "gray";
    default:
        return nullptr;
    }
}

AVRational fastestRate(int fd, std::uint32_t fourcc, std::uint32_t width, std::uint32_t height) {
    AVRational best{0, 1};
    v4l2_frmivalenum interval{};
    interval.pixel_format = fourcc;
    interval.width = width;
    interval.height = height;
    for (interval.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        const v4l2_fract f =
            interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete : interval.stepwise.min;
        if (f.numerator == 0 || f.denominator == 0) continue;
        const AVRational rate{static_cast<int>(f.denominator), static_cast<int>(f.numerator)};
        if (av_cmp_q(rate, best) > 0) best = rate;
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
    }
    return best;
}

std::optional<CameraMode> bestMode(int fd) {
    std::optional<CameraMode> best;
    auto consider = [&](const char* name, std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
        const AVRational rate = fastestRate(fd, fourcc, w, h);
        const auto area = static_cast<std::uint64_t>(w) * h;
        if (best) {
            const auto bestArea = static_cast<std::uint64_t>(best->width) * best->height;
            if (area < bestArea || (area == bestArea && av_cmp_q(rate, best->rate) <= 0)) return;
        }
        best = CameraMode{name, w, h, rate};
    };
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; xioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        const char* name = inputFormatName(format.pixelformat);
        if (!name) continue;
        v4l2_frmsizeenum size{};
        size.pixel_format = format.pixelformat;
        for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                consider(name, format.pixelformat, size.discrete.width, size.discrete.height);
            } else {
                consider(name, format.pixelformat, size.stepwise.max_width,
                         size.stepwise.max_height);
                break;
            }
        }
    }
    return best;
}

bool isPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

} // namespace

std::vector<CameraInfo> availableCameras() {
    std::vector<CameraInfo> cameras;
    for (const auto& path : videoNodes()) {
        const Descriptor fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0) {
            if (isPermissionError(errno)) cameras.push_back({path.string(), path.string(), path});
            continue;
        }
        const auto cap = captureCapability(fd.get());
        if (!cap) continue;
        CameraInfo camera{fixedText(cap->bus_info, sizeof cap->bus_info),
                          fixedText(cap->card, sizeof cap->card), path.string()};
        if (camera.name.empty()) camera.name = camera.path;
        const bool taken = std::any_of(cameras.begin(), cameras.end(),
                                       [&](const CameraInfo& c) { return c.id == camera.id; });
        if (camera.id.empty() || taken) camera.id = camera.path;
        cameras.push_back(std::move(camera));
    }
    return cameras;
}

// ---- Captures

class FrameFeed::Capture {
public:
    virtual ~Capture() = default;
    // Ends the capture's threads; called once, before destruction.
    virtual void stop() = 0;
};

namespace {

// Reads the camera as fast as it captures, keeping only the newest decoded picture; the
// "camera.frames" thread converts and delivers whichever picture is newest when it is free, so a
// slow receiver sees fewer frames, never older ones.
class CameraCapture final : public FrameFeed::Capture {
public:
    using Produce = std::function<void(SharedFrame)>;

    CameraCapture(FormatPtr format, VideoDecoder decoder, Produce produce)
        : format_(std::move(format)), decoder_(std::move(decoder)), produce_(std::move(produce)) {
        reader_ = std::thread([this] { read(); });
        delivery_ = std::thread([this] { deliver(); });
    }

    ~CameraCapture() override { stop(); }

    void stop() override {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (reader_.joinable()) reader_.join();
        if (delivery_.joinable()) delivery_.join();
    }

private:
    bool stopping() {
        std::lock_guard guard(lock_);
        return stopping_;
    }

    void read() {
        nameCurrentThread("camera.read");
        PacketPtr packet(av_packet_alloc());
        FramePtr frame(av_frame_alloc());
        if (!packet || !frame) return;
        while (!stopping()) {
            const int r = av_read_frame(format_.get(), packet.get());
            if (r == AVERROR(EAGAIN)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
                continue;
            }
            if (r < 0) break; // unplugged or failed: no more frames
            if (packet->stream_index == decoder_.streamIndex &&
                avcodec_send_packet(decoder_.codec.get(), packet.get()) >= 0) {
                while (avcodec_receive_frame(decoder_.codec.get(), frame.get()) == 0) {
                    std::lock_guard guard(lock_);
                    if (!latest_) latest_.reset(av_frame_alloc());
                    if (latest_) {
                        av_frame_unref(latest_.get());
                        av_frame_move_ref(latest_.get(), frame.get());
                        fresh_ = true;
                    }
                    changed_.notify_all();
                }
            }
            av_packet_unref(packet.get());
        }
    }

    void deliver() {
        nameCurrentThread("camera.frames");
        BgraConverter converter;
        FramePtr taken(av_frame_alloc());
        if (!taken) return;
        for (;;) {
            {
                std::unique_lock guard(lock_);
                changed_.wait(guard, [this] { return stopping_ || fresh_; });
                if (stopping_) return;
                av_frame_unref(taken.get());
                av_frame_move_ref(taken.get(), latest_.get());
                fresh_ = false;
            }
            if (auto image = converter.convert(taken.get()))
                produce_(std::make_shared<const BGRAImage>(std::move(*image)));
        }
    }

    FormatPtr format_;
    VideoDecoder decoder_;
    Produce produce_;
    std::mutex lock_;
    std::condition_variable changed_;
    FramePtr latest_;
    bool fresh_ = false;
    bool stopping_ = false;
    std::thread reader_;
    std::thread delivery_;
};

// Opens and decodes a URL on its own thread, holding each decoded frame back until its time has
// come, so that a file or a finished playlist plays in real time.
class StreamCapture final : public FrameFeed::Capture {
public:
    using Produce = std::function<void(SharedFrame)>;

    // `ended` gets why the stream could not be played, or "" when it played to its end.
    StreamCapture(std::string url, Produce produce, std::function<void(std::string)> ended)
        : url_(std::move(url)), produce_(std::move(produce)), ended_(std::move(ended)) {
        thread_ = std::thread([this] {
            nameCurrentThread("stream.decode");
            ended_(play());
        });
    }

    ~StreamCapture() override { stop(); }

    void stop() override {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    static int interrupted(void* opaque) {
        auto* self = static_cast<StreamCapture*>(opaque);
        std::lock_guard guard(self->lock_);
        return self->stopping_ ? 1 : 0;
    }

    // What FFmpeg is asked to open: a file URL becomes its decoded path, so that a name with
    // spaces or other escaped characters is found; anything else goes as it is.
    static std::string target(const std::string& url) {
        const UrlParts parts = splitUrl(url);
        if (parts.scheme == "file" && (parts.host.empty() || parts.host == "localhost"))
            return percentDecoded(parts.path);
        return url;
    }

    // Waits until `until` or a stop; false when stopped.
    bool waitUntil(Clock::time_point until) {
        std::unique_lock guard(lock_);
        return !changed_.wait_until(guard, until, [this] { return stopping_; });
    }

    static std::string mediaText(int code) { return mediaCategory().message(code); }

    std::string play() {
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw) return "out of memory";
        raw->interrupt_callback = {&StreamCapture::interrupted, this};
        AVDictionary* options = nullptr;
        // A network source that stops answering ends the stream rather than hanging forever.
        av_dict_set(&options, "rw_timeout", "15000000", 0);
        const int opened = avformat_open_input(&raw, target(url_).c_str(), nullptr, &options);
        av_dict_free(&options);
        // avformat_open_input frees the context on failure
        if (opened < 0) return mediaText(opened);
        FormatPtr format(raw);
        if (const int r = avformat_find_stream_info(format.get(), nullptr); r < 0)
            return mediaText(r);
        auto decoder = openVideoDecoder(format.get());
        if (!decoder) return "it has no video that can be played";

        PacketPtr packet(av_packet_alloc());
        FramePtr frame(av_frame_alloc());
        if (!packet || !frame) return "out of memory";
        BgraConverter converter;
        bool draining = false;
        for (;;) {
            if (!draining) {
                const int r = av_read_frame(format.get(), packet.get());
                if (r == AVERROR(EAGAIN)) {
                    if (!waitUntil(Clock::now() + std::chrono::milliseconds(5))) return {};
                    continue;
                }
                if (r < 0) {
                    draining = true;
                    avcodec_send_packet(decoder->codec.get(), nullptr);
                } else {
                    if (packet->stream_index == decoder->streamIndex)
                        avcodec_send_packet(decoder->codec.get(), packet.get());
                    av_packet_unref(packet.get());
                }
            }
            for (;;) {
                const int r = avcodec_receive_frame(decoder->codec.get(), frame.get());
                if (r == AVERROR_EOF) return {};
                if (r < 0) break;
                const std::int64_t pts = frame->best_effort_timestamp;
                if (pts != AV_NOPTS_VALUE &&
                    !pace(static_cast<double>(pts) * av_q2d(decoder->timeBase))) {
                    av_frame_unref(frame.get());
                    return {};
                }
                auto image = converter.convert(frame.get());
                av_frame_unref(frame.get());
                if (image) produce_(std::make_shared<const BGRAImage>(std::move(*image)));
            }
            if (draining && !waitUntil(Clock::now())) return {};
        }
    }

    // Holds a frame with media time `t` back until its moment: the first frame fixes the
    // relation between media time and the clock; after a stall or a jump in the stream's times
    // of more than a second the relation is fixed anew. False when stopped while waiting.
    bool pace(double t) {
        const auto now = Clock::now();
        if (!origin_) {
            origin_ = now;
            originT_ = t;
        }
        auto due = *origin_ + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(t - originT_));
        if (due < now - std::chrono::seconds(1) || due > now + std::chrono::seconds(1)) {
            origin_ = now;
            originT_ = t;
            due = now;
        }
        if (due <= now) return waitUntil(now);
        return waitUntil(due);
    }

    std::string url_;
    Produce produce_;
    std::function<void(std::string)> ended_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::optional<Clock::time_point> origin_;
    double originT_ = 0;
    std::thread thread_;
};

// Opens a capture device for the feed, with the errors the live page shows.
std::pair<FormatPtr, VideoDecoder> openCamera(const std::string& id) {
    prepareMedia();
    std::string path;
    const auto cameras = availableCameras();
    auto found = std::find_if(cameras.begin(), cameras.end(),
                              [&](const CameraInfo& c) { return c.id == id; });
    if (found != cameras.end()) {
        path = found->path;
    } else {
        std::error_code ec;
        if (id.empty() || !std::filesystem::exists(id, ec)) throw LiveError::noCamera();
        path = id;
    }

    std::optional<CameraMode> mode;
    {
        const Descriptor fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0) {
            if (isPermissionError(errno)) throw LiveError::cameraDenied();
            throw LiveError::noCamera();
        }
        if (!captureCapability(fd.get())) throw LiveError::noCamera();
        mode = bestMode(fd.get());
    }

    const AVInputFormat* v4l2 = av_find_input_format("video4linux2");
    if (!v4l2) throw LiveError::noCamera();
    AVDictionary* options = nullptr;
    if (mode) {
        av_dict_set(&options, "input_format", mode->inputFormat.c_str(), 0);
        const std::string size = std::to_string(mode->width) + "x" + std::to_string(mode->height);
        av_dict_set(&options, "video_size", size.c_str(), 0);
        if (mode->rate.num > 0) {
            const std::string rate =
                std::to_string(mode->rate.num) + "/" + std::to_string(mode->rate.den);
            av_dict_set(&options, "framerate", rate.c_str(), 0);
        }
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) throw std::bad_alloc();
    raw->flags |= AVFMT_FLAG_NONBLOCK; // so that stopping never waits for a frame
    const int r = avformat_open_input(&raw, path.c_str(), v4l2, &options);
    av_dict_free(&options);
    if (r < 0) {
        if (r == AVERROR(EACCES) || r == AVERROR(EPERM)) throw LiveError::cameraDenied();
        if (r == AVERROR(ENOENT) || r == AVERROR(ENODEV) || r == AVERROR(ENXIO))
            throw LiveError::noCamera();
        throw std::system_error(r, mediaCategory());
    }
    FormatPtr format(raw);
    auto decoder = openVideoDecoder(format.get());
    if (!decoder) throw LiveError::noCamera();
    return {std::move(format), std::move(*decoder)};
}

} // namespace

// ---- FrameFeed

FrameFeed::FrameFeed(MainExecutor main) : main_(std::move(main)) {}

FrameFeed::~FrameFeed() {
    stop();
}

void FrameFeed::setOnFrame(FrameHandler handler) {
    std::lock_guard guard(lock_);
    onFrame_ = std::move(handler);
}

void FrameFeed::keepNewest(const SharedFrame& frame) {
    std::lock_guard guard(lock_);
    newest_ = frame;
    ++produced_;
}

void FrameFeed::deliver(SharedFrame frame) {
    FrameHandler handler;
    {
        std::lock_guard guard(lock_);
        handler = onFrame_;
    }
    if (handler) handler(std::move(frame));
}

void FrameFeed::startCamera(const std::string& id) {
    stop();
    auto [format, decoder] = openCamera(id);
    capture_ = std::make_unique<CameraCapture>(std::move(format), std::move(decoder),
                                               [this](SharedFrame frame) {
                                                   keepNewest(frame);
                                                   deliver(std::move(frame));
                                               });
}

void FrameFeed::startStream(const std::string& url) {
    stop();
    prepareMedia();
    streamEnded_ = false;
    {
        std::lock_guard guard(lock_);
        streamProblem_.clear();
    }
    capture_ = std::make_unique<StreamCapture>(
        url, [this](SharedFrame frame) { keepNewest(frame); },
        [this](std::string problem) {
            {
                std::lock_guard guard(lock_);
                streamProblem_ = std::move(problem);
            }
            streamEnded_ = true;
        });
    // The newest decoded frame, if there is a new one, every 0.1 seconds on the main thread:
    // a stream yields at most 10 frames a second to the analysis.
    pullTimer_ = std::make_unique<RepeatingTimer>(main_, std::chrono::milliseconds(100), [this] {
        SharedFrame frame;
        {
            std::lock_guard guard(lock_);
            if (produced_ == pulled_ || !newest_) return;
            pulled_ = produced_;
            frame = newest_;
        }
        deliver(std::move(frame));
    });
}

void FrameFeed::stop() {
    if (pullTimer_) pullTimer_->invalidate();
    if (capture_) capture_->stop();
    pullTimer_.reset();
    capture_.reset();
}

std::string FrameFeed::streamProblem() const {
    std::lock_guard guard(lock_);
    return streamProblem_;
}

std::pair<SharedFrame, std::uint64_t> FrameFeed::newest() const {
    std::lock_guard guard(lock_);
    return {newest_, produced_};
}

} // namespace tallymere
