// Links handed to the app by the desktop (shotlark://configure?server=...&token=...).
#include "app/ConfigurationLink.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString link =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto parsed = shotlark::parseConfigurationLink(link);
    if (parsed && (parsed->server.isNull() || parsed->token.isNull()))
        std::abort();
    return 0;
}
