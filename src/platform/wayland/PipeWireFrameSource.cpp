// Frames of a screen cast the desktop hands out (Wayland's ScreenCast portal) as a PipeWire
// video stream. Streams are damage-driven: a still screen sends nothing, so the pictures that
// arrive only replace the latest one, and a timer of our own hands that on at the frame rate.
#include "platform/wayland/PipeWireFrameSource.h"

#include "base/Errors.h"
#include "platform/FrameClock.h"

#include <QMetaObject>
#include <QMutex>

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <spa/utils/result.h>

#include <linux/dma-buf.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace shotlark::platform::wayland {

namespace {

// How long the stream may take to send its first picture before the recording gives up.
constexpr auto firstFrameTimeout = std::chrono::seconds(10);

// The 32-bit layouts offered, in order of preference; the first needs no conversion.
constexpr spa_video_format offered[] = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                        SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA};

QImage::Format imageFormat(spa_video_format format) {
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
        return QImage::Format_RGB32; // B, G, R, x in memory on little-endian machines
    case SPA_VIDEO_FORMAT_BGRA:
        return QImage::Format_ARGB32;
    case SPA_VIDEO_FORMAT_RGBx:
        return QImage::Format_RGBX8888;
    case SPA_VIDEO_FORMAT_RGBA:
        return QImage::Format_RGBA8888;
    default:
        return QImage::Format_Invalid;
    }
}

// DMA-BUFs are mapped once, when the stream hands them over; only linear buffers can be read
// this way, which is what a consumer that announces no modifiers is given. Each read is
// bracketed for the kernel so that the GPU's writes are visible. Shared and read-only: GPU
// drivers' exporters (amdgpu and the other TTM/GEM ones) refuse copy-on-write mappings.
void mapDmaBuf(pw_buffer& buffer) {
    spa_data& data = buffer.buffer->datas[0];
    if (buffer.buffer->n_datas < 1 || data.type != SPA_DATA_DmaBuf || data.data)
        return;
    void* mapped = ::mmap(nullptr, data.maxsize + data.mapoffset, PROT_READ, MAP_SHARED,
                          static_cast<int>(data.fd), 0);
    if (mapped != MAP_FAILED)
        buffer.user_data = mapped;
}

void unmapDmaBuf(pw_buffer& buffer) {
    if (!buffer.user_data)
        return;
    const spa_data& data = buffer.buffer->datas[0];
    ::munmap(buffer.user_data, data.maxsize + data.mapoffset);
    buffer.user_data = nullptr;
}

class DmaBufRead {
public:
    explicit DmaBufRead(int fd) : fd_(fd) { sync(DMA_BUF_SYNC_START); }
    ~DmaBufRead() { sync(DMA_BUF_SYNC_END); }
    DmaBufRead(const DmaBufRead&) = delete;
    DmaBufRead& operator=(const DmaBufRead&) = delete;

private:
    void sync(__u64 flags) const {
        if (fd_ < 0)
            return;
        dma_buf_sync request{flags | DMA_BUF_SYNC_READ};
        while (::ioctl(fd_, DMA_BUF_IOCTL_SYNC, &request) < 0 && errno == EINTR) {
        }
    }
    int fd_;
};

class PipeWireFrameSource : public FrameSource {
public:
    PipeWireFrameSource(int fd, quint32 node, QSize announced)
        : fd_(fd), node_(node), announced_(announced) {
        static std::once_flag initialised;
        std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    }

    ~PipeWireFrameSource() override {
        stop();
        if (fd_ >= 0)
            ::close(fd_);
    }

    void start(const QRect& area, int fps, Handlers handlers) override {
        handlers_ = std::move(handlers);
        if (!announced_.isEmpty() && !area.isEmpty() && area != QRect(QPoint(), announced_))
            area_ = QRectF(double(area.x()) / announced_.width(),
                           double(area.y()) / announced_.height(),
                           double(area.width()) / announced_.width(),
                           double(area.height()) / announced_.height());
        loop_ = pw_thread_loop_new("shotlark.pipewire", nullptr);
        if (!loop_)
            throw Error(QStringLiteral("Couldn't start reading the screen stream"));
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        if (!context_ || pw_thread_loop_start(loop_) < 0) {
            stop();
            throw Error(QStringLiteral("Couldn't start reading the screen stream"));
        }
        pw_thread_loop_lock(loop_);
        const QString problem = connect(fps);
        pw_thread_loop_unlock(loop_);
        if (!problem.isEmpty()) {
            stop();
            throw Error(problem);
        }
        started_ = monotonicNow();
        running_ = true;
        clock_.start(fps, [this] { tick(); });
    }

    void stop() override {
        running_ = false; // the handlers may be running right now: they are kept, not called
        clock_.stop();
        if (!loop_)
            return;
        pw_thread_loop_lock(loop_);
        if (stream_) {
            pw_stream_disconnect(stream_);
            spa_hook_remove(&streamListener_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
        }
        if (registry_) {
            spa_hook_remove(&registryListener_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
            registry_ = nullptr;
        }
        if (core_) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
            core_ = nullptr;
        }
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        if (context_)
            pw_context_destroy(context_);
        context_ = nullptr;
        pw_thread_loop_destroy(loop_);
        loop_ = nullptr;
    }

private:
    // With the loop locked. Empty when connected, else why not.
    QString connect(int fps) {
        core_ = pw_context_connect_fd(context_, std::exchange(fd_, -1), nullptr, 0);
        if (!core_)
            return QStringLiteral("Couldn't connect to PipeWire for the screen stream: %1")
                .arg(QString::fromLocal8Bit(std::strerror(errno)));
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.error = [](void* self, uint32_t id, int, int result, const char* message) {
                // The connection itself (id 0) or our stream failed.
                auto* source = static_cast<PipeWireFrameSource*>(self);
                if (id == PW_ID_CORE || result == -EPIPE)
                    source->ended(QStringLiteral("The connection to PipeWire was lost (%1)")
                                      .arg(QString::fromUtf8(message)));
            };
            return events;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);

        // The desktop removes the stream's node when the user revokes it or the screen goes.
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = [] {
            pw_registry_events events{};
            events.version = PW_VERSION_REGISTRY_EVENTS;
            events.global_remove = [](void* self, uint32_t id) {
                auto* source = static_cast<PipeWireFrameSource*>(self);
                if (id == source->node_)
                    source->ended(QStringLiteral("The desktop ended the screen stream"));
            };
            return events;
        }();
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);

        stream_ = pw_stream_new(core_, "Shotlark",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Screen",
                                                  // never moved on to another source
                                                  PW_KEY_NODE_DONT_RECONNECT, "true", nullptr));
        if (!stream_)
            return QStringLiteral("Couldn't open the screen stream");
        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                      const char* error) {
                auto* source = static_cast<PipeWireFrameSource*>(self);
                if (state == PW_STREAM_STATE_ERROR)
                    source->ended(QStringLiteral("The screen stream failed: %1")
                                      .arg(QString::fromUtf8(error ? error : "unknown error")));
                else if (state == PW_STREAM_STATE_UNCONNECTED)
                    source->ended(QStringLiteral("The desktop ended the screen stream"));
            };
            events.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
                static_cast<PipeWireFrameSource*>(self)->formatChanged(id, param);
            };
            events.add_buffer = [](void*, pw_buffer* buffer) {
                mapDmaBuf(*buffer);
            };
            events.remove_buffer = [](void*, pw_buffer* buffer) {
                unmapDmaBuf(*buffer);
            };
            events.process = [](void* self) {
                static_cast<PipeWireFrameSource*>(self)->process();
            };
            return events;
        }();
        pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_pod_frame object, choice;
        spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format,
                                    SPA_PARAM_EnumFormat);
        spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
        spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
        spa_pod_builder_id(&builder, offered[0]);
        for (spa_video_format format : offered)
            spa_pod_builder_id(&builder, format);
        spa_pod_builder_pop(&builder, &choice);
        const spa_rectangle defaultSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
        const spa_fraction anyRate{0, 1}, maxRate{1000, 1},
            wantedRate{static_cast<uint32_t>(fps), 1};
        spa_pod_builder_add(
            &builder, SPA_FORMAT_VIDEO_size,
            SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
            // Damage-driven streams announce 0/1 and a maximum; we take frames at any rate.
            SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&anyRate, &anyRate, &maxRate),
            SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&wantedRate, &anyRate, &maxRate), 0);
        const auto* format = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
        const spa_pod* params[] = {format};
        const int result = pw_stream_connect(
            stream_, PW_DIRECTION_INPUT, node_,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
        if (result < 0)
            return QStringLiteral("Couldn't connect to the screen stream: %1")
                .arg(QString::fromLocal8Bit(spa_strerror(result)));
        return {};
    }

    // On PipeWire's thread: the format the two sides agreed on, and what buffers we take.
    void formatChanged(uint32_t id, const spa_pod* param) {
        if (!param || id != SPA_PARAM_Format)
            return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0)
            return;
        format_ = info.format;
        size_ = QSize(static_cast<int>(info.size.width), static_cast<int>(info.size.height));

        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const int types = (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_DmaBuf);
        const spa_pod* params[] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
                SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int(types))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                SPA_POD_Int(sizeof(spa_meta_header)))),
            // Window casts may send a bigger buffer with the window's part marked.
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size,
                SPA_POD_Int(sizeof(spa_meta_region)))),
        };
        pw_stream_update_params(stream_, params, 3);
    }

    // On PipeWire's thread: keeps the newest picture as the latest one.
    void process() {
        pw_buffer* newest = nullptr;
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
            if (newest)
                pw_stream_queue_buffer(stream_, newest);
            newest = next;
        }
        if (!newest)
            return;
        QImage picture = read(*newest);
        pw_stream_queue_buffer(stream_, newest);
        if (picture.isNull())
            return;
        QMutexLocker lock(&mutex_);
        latest_ = std::move(picture);
    }

    // A copy of the buffer's picture in 32-bit BGRx; null when it holds none.
    QImage read(const pw_buffer& held) const {
        const spa_buffer& buffer = *held.buffer;
        const QImage::Format layout = imageFormat(format_);
        if (buffer.n_datas < 1 || layout == QImage::Format_Invalid || size_.isEmpty())
            return {};
        if (const auto* header = static_cast<const spa_meta_header*>(
                spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
            header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED))
            return {};
        const spa_data& data = buffer.datas[0];
        if (!data.chunk || data.chunk->size == 0 || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
            return {}; // a buffer that only carries metadata (a cursor move, say)
        const int stride = data.chunk->stride > 0 ? data.chunk->stride : size_.width() * 4;
        const size_t needed = static_cast<size_t>(stride) * size_.height();
        if (stride < size_.width() * 4 || data.chunk->offset + needed > data.maxsize)
            return {};

        const uchar* bytes = static_cast<const uchar*>(data.data);
        if (!bytes && held.user_data)
            bytes = static_cast<const uchar*>(held.user_data) + data.mapoffset;
        if (!bytes)
            return {};
        const DmaBufRead reading(data.type == SPA_DATA_DmaBuf ? static_cast<int>(data.fd) : -1);
        const QImage wrapped(bytes + data.chunk->offset, size_.width(), size_.height(), stride,
                             layout);
        QRect part = wrapped.rect();
        if (const auto* crop = static_cast<const spa_meta_region*>(
                spa_buffer_find_meta_data(&buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
            crop && crop->region.size.width > 0 && crop->region.size.height > 0)
            part &= QRect(crop->region.position.x, crop->region.position.y,
                          static_cast<int>(crop->region.size.width),
                          static_cast<int>(crop->region.size.height));
        // The recorded area, wherever the picture's real size puts it.
        if (!area_.isEmpty()) {
            const QRectF scaled(part.x() + area_.x() * part.width(),
                                part.y() + area_.y() * part.height(), area_.width() * part.width(),
                                area_.height() * part.height());
            part &= scaled.toRect();
        }
        if (part.isEmpty())
            return {};
        // copy() detaches from the stream's memory before it goes back to the desktop.
        QImage picture = wrapped.copy(part);
        if (picture.format() != QImage::Format_RGB32)
            picture.convertTo(QImage::Format_RGB32);
        return picture;
    }

    // From any thread: the stream is over; reported once, on the source's own thread.
    void ended(const QString& reason) {
        if (endedOnce_.exchange(true))
            return;
        QMetaObject::invokeMethod(
            clock_.context(), [this, reason] { fail(reason); }, Qt::QueuedConnection);
    }

    void tick() {
        if (!running_)
            return;
        const Nanoseconds now = monotonicNow();
        QImage picture;
        {
            QMutexLocker lock(&mutex_);
            picture = latest_; // shared, not copied: PipeWire's thread only ever replaces it
        }
        if (picture.isNull() && now - started_ >= firstFrameTimeout)
            return fail(QStringLiteral("The screen stream sent no picture"));
        // The last picture again when nothing changed: the movie keeps its steady rate.
        if (!picture.isNull() && handlers_.frame)
            handlers_.frame(picture, now);
        if (running_) // not stopped from within the handler
            clock_.next();
    }

    void fail(const QString& reason) {
        if (!running_)
            return;
        running_ = false;
        clock_.stop();
        if (handlers_.stopped)
            handlers_.stopped(reason);
    }

    int fd_;
    const quint32 node_;
    const QSize announced_;
    // The part recorded, as fractions of the picture; empty for all of it. Set before PipeWire's
    // thread starts.
    QRectF area_;
    Handlers handlers_;
    Nanoseconds started_{};
    FrameClock clock_;
    bool running_ = false;
    std::atomic<bool> endedOnce_{false};

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook coreListener_{}, registryListener_{}, streamListener_{};
    // Written on PipeWire's thread while the format is negotiated, before any buffer arrives.
    spa_video_format format_ = SPA_VIDEO_FORMAT_UNKNOWN;
    QSize size_;

    QMutex mutex_;
    QImage latest_;
};

} // namespace

std::unique_ptr<FrameSource> makePipeWireFrameSource(int fd, quint32 node, QSize announced) {
    return std::make_unique<PipeWireFrameSource>(fd, node, announced);
}

} // namespace shotlark::platform::wayland
