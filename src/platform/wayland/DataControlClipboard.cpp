#include "platform/wayland/DataControlClipboard.h"

#include "platform/wayland/ClipboardPipes.h"

#include <QHash>

#include <cstring>
#include <unistd.h>

namespace shotlark::platform::wayland {

namespace {

// The wlr-data-control-unstable-v1 protocol (version 1), as wayland-scanner would write it.
extern const wl_interface managerInterface;
extern const wl_interface deviceInterface;
extern const wl_interface sourceInterface;
extern const wl_interface offerInterface;

const wl_interface* sourceType[] = {&sourceInterface};
const wl_interface* deviceTypes[] = {&deviceInterface, &wl_seat_interface};
const wl_interface* offerType[] = {&offerInterface};
const wl_interface* noTypes[] = {nullptr, nullptr};

const wl_message managerRequests[] = {
    {"create_data_source", "n", sourceType},
    {"get_data_device", "no", deviceTypes},
    {"destroy", "", nullptr},
};
const wl_interface managerInterface = {
    "zwlr_data_control_manager_v1", 1, 3, managerRequests, 0, nullptr};

const wl_message deviceRequests[] = {
    {"set_selection", "?o", sourceType},
    {"destroy", "", nullptr},
};
const wl_message deviceEvents[] = {
    {"data_offer", "n", offerType},
    {"selection", "?o", offerType},
    {"finished", "", nullptr},
};
const wl_interface deviceInterface = {
    "zwlr_data_control_device_v1", 1, 2, deviceRequests, 3, deviceEvents};

const wl_message sourceRequests[] = {
    {"offer", "s", noTypes},
    {"destroy", "", nullptr},
};
const wl_message sourceEvents[] = {
    {"send", "sh", noTypes},
    {"cancelled", "", nullptr},
};
const wl_interface sourceInterface = {
    "zwlr_data_control_source_v1", 1, 2, sourceRequests, 2, sourceEvents};

const wl_message offerRequests[] = {
    {"receive", "sh", noTypes},
    {"destroy", "", nullptr},
};
const wl_message offerEvents[] = {
    {"offer", "s", noTypes},
};
const wl_interface offerInterface = {
    "zwlr_data_control_offer_v1", 1, 2, offerRequests, 1, offerEvents};

enum : uint32_t {
    createDataSource = 0,
    getDataDevice = 1,
    setSelection = 0,
    offerMime = 0,
    receive = 0,
    destroyRequest = 1, // device, source and offer alike
};

} // namespace

struct DataControlClipboard::Impl {
    wl_display* display = nullptr;
    wl_seat* seat = nullptr;
    wl_proxy* manager = nullptr;
    wl_proxy* device = nullptr;
    wl_proxy* source = nullptr; // ours, while we own the clipboard
    QByteArray payload;         // what our source sends, whichever of its types is asked for
    wl_proxy* selection = nullptr;
    QHash<wl_proxy*, QStringList> offers; // announced offers and their types
    std::unique_ptr<QSocketNotifier> notifier;

    ~Impl() {
        notifier.reset();
        for (wl_proxy* offer : offers.keys())
            destroy(offer);
        if (source)
            destroy(source);
        if (device)
            destroy(device);
        if (manager)
            wl_proxy_destroy(manager);
        if (seat)
            wl_proxy_destroy(reinterpret_cast<wl_proxy*>(seat));
        if (display)
            wl_display_disconnect(display);
    }

    static void destroy(wl_proxy* proxy) {
        wl_proxy_marshal(proxy, destroyRequest);
        wl_proxy_destroy(proxy);
    }

    void forget(wl_proxy* offer) {
        if (offer && offers.remove(offer))
            destroy(offer);
    }

    // Takes the clipboard with a new source of `types`, each of which sends `bytes`.
    void offer(const QStringList& types, const QByteArray& bytes) {
        if (!device)
            return;
        wl_proxy* made =
            wl_proxy_marshal_constructor(manager, createDataSource, &sourceInterface, nullptr);
        listen(made, sourceListener, this);
        for (const QString& type : types)
            wl_proxy_marshal(made, offerMime, type.toUtf8().constData());
        // The old source hears "cancelled" and goes then.
        source = made;
        payload = bytes;
        wl_proxy_marshal(device, setSelection, made);
        wl_display_flush(display);
    }

    static void onOffer(void* data, wl_proxy* offer, const char* mime) {
        auto* self = static_cast<Impl*>(data);
        if (self->offers.contains(offer))
            self->offers[offer].append(QString::fromUtf8(mime));
    }
    struct OfferListener {
        void (*offer)(void*, wl_proxy*, const char*);
    };
    static constexpr OfferListener offerListener = {onOffer};

    static void onDataOffer(void* data, wl_proxy*, wl_proxy* offer) {
        auto* self = static_cast<Impl*>(data);
        self->offers.insert(offer, {});
        listen(offer, offerListener, self);
    }
    static void onSelection(void* data, wl_proxy*, wl_proxy* offer) {
        auto* self = static_cast<Impl*>(data);
        if (self->selection != offer)
            self->forget(self->selection);
        self->selection = offer;
    }
    static void onFinished(void* data, wl_proxy* device) {
        auto* self = static_cast<Impl*>(data);
        destroy(device);
        self->device = nullptr;
    }
    struct DeviceListener {
        void (*dataOffer)(void*, wl_proxy*, wl_proxy*);
        void (*selection)(void*, wl_proxy*, wl_proxy*);
        void (*finished)(void*, wl_proxy*);
    };
    static constexpr DeviceListener deviceListener = {onDataOffer, onSelection, onFinished};

    static void onSend(void* data, wl_proxy* source, const char*, int32_t fd) {
        auto* self = static_cast<Impl*>(data);
        if (source != self->source) {
            ::close(fd);
            return;
        }
        sendDetached(fd, self->payload);
    }
    static void onCancelled(void* data, wl_proxy* source) {
        auto* self = static_cast<Impl*>(data);
        if (source == self->source)
            self->source = nullptr;
        destroy(source);
    }
    struct SourceListener {
        void (*send)(void*, wl_proxy*, const char*, int32_t);
        void (*cancelled)(void*, wl_proxy*);
    };
    static constexpr SourceListener sourceListener = {onSend, onCancelled};

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                         uint32_t) {
        auto* self = static_cast<Impl*>(data);
        if (!std::strcmp(interface, wl_seat_interface.name) && !self->seat)
            self->seat =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        else if (!std::strcmp(interface, managerInterface.name) && !self->manager)
            self->manager =
                static_cast<wl_proxy*>(wl_registry_bind(registry, name, &managerInterface, 1));
    }
    static void onGlobalRemove(void*, wl_registry*, uint32_t) {}
    static constexpr wl_registry_listener registryListener = {onGlobal, onGlobalRemove};
};

std::unique_ptr<DataControlClipboard> DataControlClipboard::connect() {
    auto impl = std::make_unique<Impl>();
    impl->display = wl_display_connect(nullptr);
    if (!impl->display)
        return nullptr;
    wl_registry* registry = wl_display_get_registry(impl->display);
    wl_registry_add_listener(registry, &Impl::registryListener, impl.get());
    wl_display_roundtrip(impl->display);
    wl_registry_destroy(registry);
    if (!impl->seat || !impl->manager)
        return nullptr;
    impl->device = wl_proxy_marshal_constructor(impl->manager, getDataDevice, &deviceInterface,
                                                nullptr, impl->seat);
    listen(impl->device, Impl::deviceListener, impl.get());
    wl_display_roundtrip(impl->display); // the clipboard as it is now
    impl->notifier = serveOnMainLoop(impl->display);
    return std::unique_ptr<DataControlClipboard>(new DataControlClipboard(std::move(impl)));
}

DataControlClipboard::DataControlClipboard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DataControlClipboard::~DataControlClipboard() = default;

QCoro::Task<bool> DataControlClipboard::setText(QString text) {
    impl_->offer(textTypes, text.toUtf8());
    co_return true;
}

QCoro::Task<bool> DataControlClipboard::setImage(QByteArray png) {
    impl_->offer({QStringLiteral("image/png")}, png);
    co_return true;
}

QCoro::Task<std::unique_ptr<QMimeData>> DataControlClipboard::contents() {
    Impl& d = *impl_;
    if (!d.selection)
        co_return std::unique_ptr<QMimeData>();
    wl_proxy* offer = d.selection;
    auto reading = readOffer(
        d.offers.value(offer),
        [offer](const char* type, int fd) { wl_proxy_marshal(offer, receive, type, fd); },
        [&d] { wl_display_flush(d.display); });
    co_return co_await std::move(reading);
}

} // namespace shotlark::platform::wayland
