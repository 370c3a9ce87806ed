// The `shotlark` program. A running instance takes files and links at once, before any of the
// app's libraries are loaded (linking Qt and its ninety dependencies costs a second start 40 ms);
// everything else starts the app itself, from its module beside the other ones.
#include "base/Handover.h"

#include <cctype>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// "scheme:" with a scheme of two or more characters (a lone letter is a drive, not a link).
bool looksLikeLink(const std::string& argument) {
    const size_t colon = argument.find(':');
    if (colon == std::string::npos || colon < 2 ||
        !std::isalpha(static_cast<unsigned char>(argument[0])))
        return false;
    for (size_t i = 1; i < colon; ++i) {
        const char c = argument[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

bool isUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80           ? 1
                              : (lead >> 5) == 0x6  ? 2
                              : (lead >> 4) == 0xe  ? 3
                              : (lead >> 3) == 0x1e ? 4
                                                    : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2)
                return false;
        }
        i += length;
    }
    return true;
}

// Files and links only, in a form the running instance reads as the app itself would send them;
// false for options and anything unusual, which the app handles (and reports) itself.
bool handOver(int argc, char** argv) {
    std::vector<std::string> arguments;
    char cwd[PATH_MAX];
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument.empty() || argument[0] == '-' || !isUtf8(argument))
            return false;
        if (argument[0] != '/' && !looksLikeLink(argument)) {
            if (!::getcwd(cwd, sizeof cwd))
                return false;
            argument = std::string(cwd) + (cwd[1] ? "/" : "") + argument;
        }
        arguments.push_back(std::move(argument));
    }
    const std::string dir = shotlark::handover::existingRuntimeDir();
    return !dir.empty() && shotlark::handover::send(dir + "/shotlark.socket", arguments);
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (handOver(argc, argv))
        return 0;
    // Tesseract's OpenMP threads oversubscribe small machines 5-10 times over; OpenMP reads the
    // limit once, as it loads, which is with the app below.
    ::setenv("OMP_THREAD_LIMIT", "1", 0);

    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::fprintf(stderr, "shotlark: can't find where the program is\n");
        return 1;
    }
    std::string module(self, static_cast<size_t>(length));
    module = module.substr(0, module.rfind('/')) + "/../lib/shotlark/libshotlark-main.so";
    void* app = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    using Main = int (*)(int, char**);
    auto* start = app ? reinterpret_cast<Main>(::dlsym(app, "shotlark_main")) : nullptr;
    if (!start) {
        std::fprintf(stderr, "shotlark: the app's module is missing or broken: %s\n", ::dlerror());
        return 1;
    }
    return start(argc, argv);
}
