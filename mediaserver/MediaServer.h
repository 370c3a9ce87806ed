#pragma once

#include "ConversionPool.h"
#include "GifConverter.h"
#include "HttpServer.h"
#include "Store.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace slkserver {

namespace web {
struct IncomingFile;
}

struct Options {
    std::filesystem::path dataDir;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string publicUrl; // what links start with; "http://HOST:PORT" when empty
    std::vector<std::string> features;
    int64_t maxUploadBytes = int64_t(1024) * 1024 * 1024;
    std::optional<std::filesystem::path> releasesDir;
    int threads = 8;
    http::Limits clientLimits;
    GifLimits gif;
    int gifWorkers = 0; // 0: half the processors
};

// The app's names of the optional features, all on by default.
const std::vector<std::string>& allFeatures();

// The HTTP side: the app's API, the links it hands out, and the web dashboard.
class MediaServer {
public:
    MediaServer(Options options, Store& store);
    ~MediaServer();

    // Binds the listening socket; returns the bound port, or -1.
    int bind();
    // Serves until stop() (from any thread).
    bool run();
    void stop();
    // After stop(): waits until no upload is being received, at most `limit`. Idle keep-alive
    // connections would otherwise hold the shutdown for their whole timeout.
    void waitForUploads(std::chrono::milliseconds limit) const;
    const std::string& publicUrl() const { return options_.publicUrl; }

private:
    void routes();
    std::optional<User> bearer(const http::Request& request);
    // The uploader of a multipart body that may be received (else the refusal is answered).
    std::optional<User> admitBody(const http::Request& request, http::Response& response,
                                  const std::string& what, const std::string& expected);
    std::optional<std::pair<User, Session>> session(const http::Request& request);
    // The session of a dashboard form, its CSRF token checked; nothing (the refusal answered)
    // otherwise.
    std::optional<std::pair<User, Session>> formSession(const http::Request& request,
                                                        http::Response& response);

    std::unique_ptr<http::BodySink> admitUpload(const http::Request& request,
                                                http::Response& response);
    void upload(const http::Request& request, http::Response& response, http::BodySink& sink,
                bool complete);
    void commit(http::Response& response, Upload& stored, web::IncomingFile& kept);
    std::unique_ptr<http::BodySink> admitReplay(const http::Request& request,
                                                http::Response& response);
    void replay(const http::Request& request, http::Response& response, http::BodySink& sink,
                bool complete);
    void answerUpload(http::Response& response, const Upload& stored,
                      const std::string& secret) const;
    void me(const http::Request& request, http::Response& response);
    void nowPlaying(const http::Request& request, http::Response& response);
    void versions(http::Response& response);
    void deletion(const http::Request& request, http::Response& response);
    void page(const http::Request& request, http::Response& response);
    void raw(const http::Request& request, http::Response& response);
    void thumbnail(const http::Request& request, http::Response& response);
    void userPage(const http::Request& request, http::Response& response);
    void dashboard(const http::Request& request, http::Response& response);
    void login(const http::Request& request, http::Response& response);
    // A session for `user` in the answer's cookie.
    void startSession(http::Response& response, const User& user, const std::string& token);
    // One-time sign-in links: the app asks for one, the browser it opens follows it once.
    void signInLink(const http::Request& request, http::Response& response);
    void signInOnce(const http::Request& request, http::Response& response);
    void logout(const http::Request& request, http::Response& response);
    void dashboardDelete(const http::Request& request, http::Response& response);
    void setup(const http::Request& request, http::Response& response);
    // The signed-in user's custom uploader file, for other capture tools (and ours).
    void uploaderFile(const http::Request& request, http::Response& response);
    void editor(const http::Request& request, http::Response& response);
    std::unique_ptr<http::BodySink> admitEdit(const http::Request& request,
                                              http::Response& response);
    void editorSave(const http::Request& request, http::Response& response, http::BodySink& sink,
                    bool complete);
    void release(const http::Request& request, http::Response& response);

    bool offers(const std::string& feature) const {
        return std::find(options_.features.begin(), options_.features.end(), feature) !=
               options_.features.end();
    }
    std::string link(const std::string& path) const { return options_.publicUrl + path; }
    std::string rawLink(const Upload& upload) const;
    // Whether a browser's form post comes from one of this server's own pages.
    bool isSameOrigin(const http::Request& request) const;

    Options options_;
    Store& store_;
    std::unique_ptr<http::Server> http_;
    std::unique_ptr<ConversionPool> conversions_;
};

} // namespace slkserver
