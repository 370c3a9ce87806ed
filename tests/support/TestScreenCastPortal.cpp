// A ScreenCast backend for xdg-desktop-portal, registered like a desktop's own, that streams
// known, changing pictures as a real PipeWire video source: the desktop side of a screen cast
// where the desktop's own backend can't stream (software rendering).
//
//   shotlark-test-screencast LOG [WIDTH HEIGHT [dmabuf] [crop] [nosize]]
//
// The stream, counted from when a consumer starts reading it (again for each consumer): 0-1 s red
// with a white square moving right, a frame every 33 ms; then one green frame and nothing for 1.2
// s, as a still screen sends; from 2.2 s blue with the moving square again. Buffers are shared
// memory, or with "dmabuf" memory handed out as DMA-BUFs that the consumer must map itself (there
// is no GPU here to make real ones). With "crop" the stream is a window's: each buffer marks its
// middle part (half the width, two thirds of the height) as the picture, as window casts do, and
// the rest is magenta. With "nosize" the stream's size is not announced, as KDE's window streams
// do. SIGUSR1 ends every stream as a desktop does when the user revokes it;
// SIGUSR2 makes the user close the next Start's dialog, SIGHUP leaves it open for good. Each call
// is written to LOG, one line each: "select types=N cursor=N persist=N restore=yes|no", "start
// node=N", "start declined", "start held", "close", "ended".
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QPointer>
#include <QRect>
#include <QTimer>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

struct StreamEntry {
    uint node = 0;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(StreamEntry)

QDBusArgument& operator<<(QDBusArgument& argument, const StreamEntry& entry) {
    argument.beginStructure();
    argument << entry.node << entry.properties;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, StreamEntry& entry) {
    argument.beginStructure();
    argument >> entry.node >> entry.properties;
    argument.endStructure();
    return argument;
}

struct Position {
    int x = 0, y = 0;
};
Q_DECLARE_METATYPE(Position)
QDBusArgument& operator<<(QDBusArgument& argument, const Position& position) {
    argument.beginStructure();
    argument << position.x << position.y;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, Position& position) {
    argument.beginStructure();
    argument >> position.x >> position.y;
    argument.endStructure();
    return argument;
}

// What the frontend keeps to restore a choice: (vendor, version, data).
struct RestoreData {
    QString vendor;
    uint version = 1;
    QDBusVariant data;
};
Q_DECLARE_METATYPE(RestoreData)
QDBusArgument& operator<<(QDBusArgument& argument, const RestoreData& restore) {
    argument.beginStructure();
    argument << restore.vendor << restore.version << restore.data;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, RestoreData& restore) {
    argument.beginStructure();
    argument >> restore.vendor >> restore.version >> restore.data;
    argument.endStructure();
    return argument;
}

namespace {

volatile std::sig_atomic_t endRequested = 0;
volatile std::sig_atomic_t declineNext = 0;
volatile std::sig_atomic_t holdNext = 0;
QFile logFile;

void log(const QString& line) {
    logFile.write(line.toUtf8() + '\n');
    logFile.flush();
}

// One PipeWire video source of the script above.
class Producer {
public:
    Producer(pw_thread_loop* loop, pw_core* core, int width, int height, bool dmabuf, QRect crop)
        : loop_(loop), width_(width), height_(height), dmabuf_(dmabuf), crop_(crop) {
        static const pw_stream_events events = [] {
            pw_stream_events made{};
            made.version = PW_VERSION_STREAM_EVENTS;
            made.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                    const char*) {
                auto* producer = static_cast<Producer*>(self);
                // The script starts again for each consumer.
                if (state == PW_STREAM_STATE_STREAMING && producer->state_ != state) {
                    producer->clock_.start();
                    producer->sentStill_ = false;
                }
                producer->state_ = state;
                pw_thread_loop_signal(producer->loop_, false);
            };
            made.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
                if (param && id == SPA_PARAM_Format)
                    static_cast<Producer*>(self)->offerBuffers();
            };
            made.add_buffer = [](void* self, pw_buffer* buffer) {
                static_cast<Producer*>(self)->allocate(*buffer->buffer);
            };
            made.remove_buffer = [](void*, pw_buffer* buffer) {
                spa_data& data = buffer->buffer->datas[0];
                if (data.type != SPA_DATA_DmaBuf)
                    return;
                ::munmap(data.data, data.maxsize);
                ::close(static_cast<int>(data.fd));
            };
            return made;
        }();
        stream_ = pw_stream_new(core, "shotlark-test-screen",
                                pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
        pw_stream_add_listener(stream_, &listener_, &events, this);
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_rectangle size{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
        const spa_fraction rate{0, 1}, maxRate{30, 1};
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_Fraction(&maxRate)))};
        int flags = PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS;
        if (dmabuf_)
            flags |= PW_STREAM_FLAG_ALLOC_BUFFERS;
        pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(flags), params, 1);
    }

    ~Producer() {
        pw_stream_disconnect(stream_);
        spa_hook_remove(&listener_);
        pw_stream_destroy(stream_);
    }

    // With the loop locked: the node, once PipeWire made it.
    uint32_t waitForNode() {
        for (int i = 0; i < 100 && pw_stream_get_node_id(stream_) == SPA_ID_INVALID; ++i)
            pw_thread_loop_timed_wait(loop_, 1);
        return pw_stream_get_node_id(stream_);
    }

    // With the loop locked, every 33 ms: a new frame when the script has one.
    void tick() {
        if (state_ != PW_STREAM_STATE_STREAMING || !clock_.isValid())
            return;
        const qint64 ms = clock_.elapsed();
        if (ms >= 1000 && ms < 2200 && sentStill_)
            return; // a still screen: the one picture of it went out
        // Queued as a desktop does when it has a new picture: that starts PipeWire's cycle,
        // which hands it on at once.
        fill();
    }

private:
    // Shared memory buffers of whole frames, as on a desktop without a GPU.
    void offerBuffers() {
        const int stride = width_ * 4;
        uint8_t buffer[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod* params[] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
                SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 8),
                SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
                SPA_POD_Int(stride * height_), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
                SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int(1 << (dmabuf_ ? SPA_DATA_DmaBuf : SPA_DATA_MemFd)))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size,
                SPA_POD_Int(sizeof(spa_meta_region))))};
        pw_stream_update_params(stream_, params, crop_.isEmpty() ? 1 : 2);
    }

    // For "dmabuf": memory of our own, handed out as a DMA-BUF that is not marked mappable, as
    // a GPU's buffers are.
    void allocate(spa_buffer& buffer) const {
        if (!dmabuf_)
            return;
        spa_data& data = buffer.datas[0];
        const size_t size = static_cast<size_t>(width_) * 4 * height_;
        const int fd = ::memfd_create("shotlark-test-frame", MFD_CLOEXEC);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) < 0)
            return;
        data.type = SPA_DATA_DmaBuf;
        data.flags = SPA_DATA_FLAG_READWRITE;
        data.fd = fd;
        data.mapoffset = 0;
        data.maxsize = static_cast<uint32_t>(size);
        data.data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }

    void fill() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
        if (!buffer)
            return;
        spa_data& data = buffer->buffer->datas[0];
        const uint32_t needed = static_cast<uint32_t>(width_ * 4 * height_);
        if (!data.data || data.maxsize < needed) { // not what was negotiated
            std::fprintf(stderr, "shotlark-test-screencast: a buffer of %u bytes, type %u\n",
                         data.maxsize, data.type);
            pw_stream_queue_buffer(stream_, buffer);
            return;
        }
        const qint64 ms = clock_.isValid() ? clock_.elapsed() : 0;
        const quint32 background = ms < 1000 ? 0xffff0000 : ms < 2200 ? 0xff00ff00 : 0xff0000ff;
        const int square = ms >= 1000 && ms < 2200 ? -1 : static_cast<int>(ms / 33 * 8) % width_;
        auto* pixels = static_cast<quint32*>(data.data);
        for (int y = 0; y < height_; ++y) {
            quint32* row = pixels + static_cast<size_t>(y) * width_;
            for (int x = 0; x < width_; ++x) {
                if (!crop_.isEmpty() && !crop_.contains(x, y))
                    row[x] = 0xffff00ff;
                else
                    row[x] = square >= 0 && x >= square && x < square + 40 && y >= 20 && y < 60
                                 ? 0xffffffff
                                 : background;
            }
        }
        if (auto* region = static_cast<spa_meta_region*>(spa_buffer_find_meta_data(
                buffer->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
            region && !crop_.isEmpty())
            region->region = SPA_REGION(crop_.x(), crop_.y(), static_cast<uint32_t>(crop_.width()),
                                        static_cast<uint32_t>(crop_.height()));
        data.chunk->offset = 0;
        data.chunk->stride = width_ * 4;
        data.chunk->size = needed;
        pw_stream_queue_buffer(stream_, buffer);
        sentStill_ = square < 0;
    }

    pw_thread_loop* loop_;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    const int width_, height_;
    const bool dmabuf_;
    const QRect crop_;
    pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
    QElapsedTimer clock_;
    bool sentStill_ = false;
};

pw_thread_loop* loop = nullptr;
pw_core* core = nullptr;

} // namespace

// org.freedesktop.impl.portal.Session of one screen cast session.
class Session : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Session")
public:
    explicit Session(QString path) : path_(std::move(path)) {}
    ~Session() override { endStream(); }
    std::unique_ptr<Producer> producer;

    void endStream() {
        if (!producer)
            return;
        pw_thread_loop_lock(loop);
        producer.reset();
        pw_thread_loop_unlock(loop);
    }

    // The desktop ends the session by itself (the user revoked it).
    void revoke() {
        endStream();
        log(u"ended"_s);
        Q_EMIT Closed();
        QDBusConnection::sessionBus().unregisterObject(path_);
        deleteLater();
    }

public Q_SLOTS:
    void Close() {
        log(u"close"_s);
        QDBusConnection::sessionBus().unregisterObject(path_);
        deleteLater();
    }

Q_SIGNALS:
    void Closed();

private:
    QString path_;
};

class ScreenCast : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)
    Q_PROPERTY(uint version READ version)
public:
    ScreenCast(int width, int height, bool dmabuf, QRect crop, bool announceSize)
        : width_(width), height_(height), dmabuf_(dmabuf), crop_(crop),
          announceSize_(announceSize) {}
    uint sourceTypes() const { return 1 | 2; }
    uint cursorModes() const { return 1 | 2; }
    uint version() const { return 4; }

    void revokeAll() {
        for (const QPointer<Session>& session : std::as_const(sessions_))
            if (session)
                session->revoke();
        sessions_.clear();
    }

public Q_SLOTS:
    uint CreateSession(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
                       const QVariantMap&, QVariantMap& results) {
        auto* made = new Session(session.path());
        QDBusConnection::sessionBus().registerObject(session.path(), made,
                                                     QDBusConnection::ExportAllSlots |
                                                         QDBusConnection::ExportAllSignals);
        sessions_.insert(session.path(), made);
        results.insert(u"session_id"_s, session.path());
        return 0;
    }

    uint SelectSources(const QDBusObjectPath&, const QDBusObjectPath&, const QString&,
                       const QVariantMap& options, QVariantMap& results) {
        log(u"select types=%1 cursor=%2 persist=%3 restore=%4"_s
                .arg(options.value(u"types"_s).toUInt())
                .arg(options.value(u"cursor_mode"_s).toUInt())
                .arg(options.value(u"persist_mode"_s).toUInt())
                .arg(options.contains(u"restore_data"_s) ? u"yes"_s : u"no"_s));
        results.clear();
        return 0;
    }

    uint Start(const QDBusObjectPath&, const QDBusObjectPath& session, const QString&,
               const QString&, const QVariantMap&, QVariantMap& results) {
        Session* owner = sessions_.value(session.path());
        if (!owner)
            return 2;
        if (declineNext) {
            declineNext = 0;
            log(u"start declined"_s);
            return 1;
        }
        if (holdNext) {
            // The dialog stays open: no answer at all.
            holdNext = 0;
            setDelayedReply(true);
            held_.append(message());
            log(u"start held"_s);
            return 0;
        }
        pw_thread_loop_lock(loop);
        owner->producer = std::make_unique<Producer>(loop, core, width_, height_, dmabuf_, crop_);
        const uint32_t node = owner->producer->waitForNode();
        pw_thread_loop_unlock(loop);
        if (node == SPA_ID_INVALID)
            return 2;
        log(u"start node=%1"_s.arg(node));
        // With a marked part, a window's stream: its size, and no place on the desktop.
        StreamEntry entry{node, {}};
        if (crop_.isEmpty()) {
            entry.properties = {{u"position"_s, QVariant::fromValue(Position{0, 0})},
                                {u"size"_s, QVariant::fromValue(Position{width_, height_})},
                                {u"source_type"_s, 1u}};
        } else {
            entry.properties = {{u"source_type"_s, 2u}};
            if (announceSize_)
                entry.properties.insert(
                    u"size"_s, QVariant::fromValue(Position{crop_.width(), crop_.height()}));
        }
        results.insert(u"streams"_s, QVariant::fromValue(QList<StreamEntry>{entry}));
        results.insert(u"persist_mode"_s, 2u);
        results.insert(u"restore_data"_s, QVariant::fromValue(RestoreData{
                                              u"shotlark-test"_s, 1, QDBusVariant(u"screen"_s)}));
        return 0;
    }

    void tick() {
        pw_thread_loop_lock(loop);
        for (const QPointer<Session>& session : std::as_const(sessions_))
            if (session && session->producer)
                session->producer->tick();
        pw_thread_loop_unlock(loop);
    }

private:
    const int width_, height_;
    const bool dmabuf_;
    const QRect crop_;
    const bool announceSize_;
    QList<QDBusMessage> held_;
    QHash<QString, QPointer<Session>> sessions_;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: shotlark-test-screencast LOG [WIDTH HEIGHT]\n");
        return 2;
    }
    logFile.setFileName(arguments.at(1));
    if (!logFile.open(QIODevice::Append))
        return 1;
    const int width = arguments.size() > 3 ? arguments.at(2).toInt() : 640;
    const int height = arguments.size() > 3 ? arguments.at(3).toInt() : 360;
    const QStringList options = arguments.mid(4);
    const bool dmabuf = options.contains(u"dmabuf"_s);
    const QRect crop = options.contains(u"crop"_s)
                           ? QRect(width / 4, height / 6, width / 2, height * 2 / 3)
                           : QRect();

    pw_init(&argc, &argv);
    loop = pw_thread_loop_new("test-screencast", nullptr);
    pw_context* context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    pw_thread_loop_start(loop);
    pw_thread_loop_lock(loop);
    core = pw_context_connect(context, nullptr, 0);
    pw_thread_loop_unlock(loop);
    if (!core) {
        std::fprintf(stderr, "shotlark-test-screencast: no PipeWire\n");
        return 1;
    }

    qDBusRegisterMetaType<StreamEntry>();
    qDBusRegisterMetaType<QList<StreamEntry>>();
    qDBusRegisterMetaType<Position>();
    qDBusRegisterMetaType<RestoreData>();
    ScreenCast screenCast(width, height, dmabuf, crop, !options.contains(u"nosize"_s));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(u"/org/freedesktop/portal/desktop"_s, &screenCast,
                            QDBusConnection::ExportAllSlots |
                                QDBusConnection::ExportAllProperties) ||
        !bus.registerService(u"org.freedesktop.impl.portal.desktop.shotlarktest"_s)) {
        std::fprintf(stderr, "shotlark-test-screencast: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::signal(SIGUSR1, [](int) { endRequested = 1; });
    std::signal(SIGUSR2, [](int) { declineNext = 1; });
    std::signal(SIGHUP, [](int) { holdNext = 1; });
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (endRequested) {
            endRequested = 0;
            screenCast.revokeAll();
        }
        screenCast.tick();
    });
    timer.start(33);
    const int status = app.exec();
    pw_thread_loop_stop(loop);
    return status;
}

#include "TestScreenCastPortal.moc"
