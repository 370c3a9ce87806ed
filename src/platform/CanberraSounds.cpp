#include "platform/LinuxBackends.h"

#include <QFileInfo>

#include <canberra.h>

namespace shotlark::platform {

CanberraSounds::CanberraSounds() {
    if (ca_context_create(&context_) != CA_SUCCESS) {
        context_ = nullptr;
        return;
    }
    // Without a sound card, libcanberra's ALSA fallback can only fail, and ALSA says so on the
    // terminal at every sound: the sound server (PulseAudio or PipeWire's) is the only way out.
    if (!QFileInfo::exists(QStringLiteral("/proc/asound/card0")))
        ca_context_set_driver(context_, "pulse");
}

CanberraSounds::~CanberraSounds() {
    if (context_)
        ca_context_destroy(context_);
}

void CanberraSounds::play(Sound sound) {
    if (!context_)
        return;
    // Event sounds of the freedesktop sound theme; a desktop without sound simply stays quiet.
    const char* id = sound == Sound::Success   ? "complete"
                     : sound == Sound::Failure ? "dialog-error"
                                               : "bell";
    ca_context_play(context_, 0, CA_PROP_EVENT_ID, id, CA_PROP_APPLICATION_NAME, "Shotlark",
                    nullptr);
}

} // namespace shotlark::platform
