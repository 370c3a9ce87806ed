#include "server/CurlTransport.h"

#include "base/Errors.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <curl/curl.h>

#include <cerrno>
#include <coroutine>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shotlark {

namespace {

// Large reads keep the main thread's share of an upload small: one read and one send per MiB.
constexpr long uploadBlock = 1024 * 1024;
// An answer is JSON or a small page; anything larger is not a media server talking.
constexpr qint64 maxAnswer = 16 * 1024 * 1024;
// A download (an app update) is a few MiB; this only stops a server that never ends.
constexpr qint64 maxDownload = qint64(2) * 1024 * 1024 * 1024;
// Progress is handed on at most this often (and once more at the end).
constexpr qint64 progressIntervalMs = 100;

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

} // namespace

struct CurlTransport::Transfer {
    CURL* easy = nullptr;
    CurlTransport* owner = nullptr;
    HttpRequest request;
    HttpClient::Limits limits;
    int bodyFd = -1;
    qint64 bodySize = 0;
    int saveFd = -1;
    qint64 saved = 0;
    int saveError = 0;
    curl_slist* headerList = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};
    HttpResponse response;
    bool answerTooLarge = false;
    int readError = 0;

    QElapsedTimer sinceActivity;
    QTimer inactivity;
    curl_off_t lastUp = -1;
    curl_off_t lastDown = -1;
    QElapsedTimer sinceProgress;
    qint64 reportedSent = 0;

    bool done = false;
    bool timedOut = false;
    CURLcode code = CURLE_OK;
    std::coroutine_handle<> waiting;

    ~Transfer() {
        if (easy) {
            if (!done && owner) {
                owner->transfers_.remove(easy);
                curl_multi_remove_handle(owner->multi_, easy);
            }
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headerList);
        if (bodyFd >= 0)
            ::close(bodyFd);
        if (saveFd >= 0)
            ::close(saveFd);
    }

    void reportProgress(qint64 sent, bool last) {
        if (!request.onUploadProgress || sent <= reportedSent || sent <= 0)
            return;
        if (!last && sinceProgress.isValid() && sinceProgress.elapsed() < progressIntervalMs)
            return;
        sinceProgress.start();
        reportedSent = sent;
        // Queued: user code must not run inside libcurl, and it arrives before the completion.
        QMetaObject::invokeMethod(
            owner,
            [progress = request.onUploadProgress, sent, total = bodySize] {
                progress(sent, total);
            },
            Qt::QueuedConnection);
    }

    static size_t readBody(char* buffer, size_t size, size_t count, void* data) {
        auto* self = static_cast<Transfer*>(data);
        for (;;) {
            const ssize_t n = ::read(self->bodyFd, buffer, size * count);
            if (n >= 0) {
                self->sinceActivity.start();
                return static_cast<size_t>(n);
            }
            if (errno != EINTR) {
                self->readError = errno;
                return CURL_READFUNC_ABORT;
            }
        }
    }

    static int seekBody(void* data, curl_off_t offset, int origin) {
        auto* self = static_cast<Transfer*>(data);
        return ::lseek(self->bodyFd, offset, origin) < 0 ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
    }

    bool save(const char* bytes, size_t n) {
        saved += static_cast<qint64>(n);
        if (saved > maxDownload) {
            answerTooLarge = true;
            return false;
        }
        while (n > 0) {
            const ssize_t written = ::write(saveFd, bytes, n);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                saveError = written < 0 ? errno : ENOSPC;
                return false;
            }
            bytes += written;
            n -= static_cast<size_t>(written);
        }
        return true;
    }

    static size_t writeAnswer(char* bytes, size_t size, size_t count, void* data) {
        auto* self = static_cast<Transfer*>(data);
        const size_t n = size * count;
        self->sinceActivity.start();
        if (self->saveFd >= 0)
            return self->save(bytes, n) ? n : 0;
        if (self->response.body.size() + static_cast<qint64>(n) > maxAnswer) {
            self->answerTooLarge = true;
            return 0; // makes libcurl stop with a write error
        }
        self->response.body.append(bytes, static_cast<qsizetype>(n));
        return n;
    }

    static size_t headerLine(char* bytes, size_t size, size_t count, void* data) {
        auto* self = static_cast<Transfer*>(data);
        const size_t n = size * count;
        const QByteArray line = QByteArray(bytes, static_cast<qsizetype>(n)).trimmed();
        self->sinceActivity.start();
        if (line.startsWith("HTTP/")) {
            // A new answer begins (after "100 Continue" or a redirect): only the last one counts.
            self->response.headers.clear();
        } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
            self->response.headers.append(
                {line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        return n;
    }

    static int progress(void* data, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
        auto* self = static_cast<Transfer*>(data);
        if (up != self->lastUp || down != self->lastDown) {
            self->lastUp = up;
            self->lastDown = down;
            self->sinceActivity.start();
        }
        if (self->bodySize > 0)
            self->reportProgress(up, up == self->bodySize);
        return 0;
    }
};

struct CurlTransport::Awaiter {
    Transfer* transfer;
    bool await_ready() const noexcept { return transfer->done; }
    void await_suspend(std::coroutine_handle<> handle) noexcept { transfer->waiting = handle; }
    void await_resume() const noexcept {}
};

CurlTransport& CurlTransport::shared() {
    static auto* transport = new CurlTransport();
    return *transport;
}

CurlTransport::CurlTransport() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlTransport::onSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlTransport::onTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlTransport::~CurlTransport() {
    curl_multi_cleanup(multi_);
}

int CurlTransport::onSocket(void*, int socket, int what, void* data, void*) {
    auto* self = static_cast<CurlTransport*>(data);
    Watch& watch = self->watches_[socket];
    // Notifiers are kept per descriptor and only switched: they may be mid-emission here.
    auto want = [&](QSocketNotifier*& notifier, QSocketNotifier::Type type, bool on) {
        if (!notifier) {
            if (!on)
                return;
            notifier = new QSocketNotifier(socket, type, self);
            const int events = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            connect(notifier, &QSocketNotifier::activated, self,
                    [self, socket, events] { self->act(socket, events); });
        }
        notifier->setEnabled(on);
    };
    want(watch.read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    want(watch.write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
    return 0;
}

int CurlTransport::onTimer(void*, long timeoutMs, void* data) {
    auto* self = static_cast<CurlTransport*>(data);
    if (timeoutMs < 0)
        self->timer_->stop();
    else
        self->timer_->start(static_cast<int>(timeoutMs)); // 0: act from the event loop
    return 0;
}

void CurlTransport::act(int socket, int events) {
    int running = 0;
    curl_multi_socket_action(multi_, socket, events, &running);
    collectFinished();
}

void CurlTransport::collectFinished() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL* easy = message->easy_handle;
        const CURLcode code = message->data.result;
        if (Transfer* transfer = transfers_.value(easy))
            finish(transfer, code);
    }
}

void CurlTransport::finish(Transfer* transfer, int code) {
    transfers_.remove(transfer->easy);
    curl_multi_remove_handle(multi_, transfer->easy);
    transfer->inactivity.stop();
    transfer->done = true;
    transfer->code = static_cast<CURLcode>(code);
    if (code == CURLE_OK && transfer->bodySize > 0 && transfer->lastUp == transfer->bodySize)
        transfer->reportProgress(transfer->bodySize, true);
    // Resumed from the event loop, never from inside libcurl or a notifier's emission.
    if (transfer->waiting) {
        QMetaObject::invokeMethod(
            this, [handle = transfer->waiting] { handle.resume(); }, Qt::QueuedConnection);
    }
}

void CurlTransport::checkInactivity(Transfer* transfer) {
    const qint64 limit = transfer->limits.inactivity.count();
    const qint64 quiet = transfer->sinceActivity.elapsed();
    if (quiet < limit) {
        transfer->inactivity.start(static_cast<int>(limit - quiet));
        return;
    }
    transfer->timedOut = true;
    finish(transfer, CURLE_OPERATION_TIMEDOUT);
}

QCoro::Task<HttpResponse> CurlTransport::perform(HttpRequest request, HttpClient::Limits limits) {
    auto transfer = std::make_unique<Transfer>();
    Transfer* t = transfer.get();
    t->owner = this;
    t->limits = limits;
    t->request = std::move(request);
    const HttpRequest& r = t->request;

    if (!r.bodyFile.isEmpty()) {
        t->bodyFd = ::open(QFile::encodeName(r.bodyFile).constData(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (t->bodyFd < 0 || ::fstat(t->bodyFd, &info) != 0)
            throw FileError(
                QStringLiteral("Couldn't read %1: %2").arg(r.bodyFile, systemError(errno)));
        t->bodySize = info.st_size;
        ::posix_fadvise(t->bodyFd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }

    if (!r.saveTo.isEmpty()) {
        t->saveFd = ::open(QFile::encodeName(r.saveTo).constData(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (t->saveFd < 0)
            throw FileError(
                QStringLiteral("Couldn't write %1: %2").arg(r.saveTo, systemError(errno)));
    }

    CURL* easy = t->easy = curl_easy_init();
    if (!easy)
        throw TransportError(TransportError::Kind::Failed,
                             QStringLiteral("The network library couldn't start."));
    const QByteArray url = r.url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, t);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    const QByteArray agent =
        QByteArrayLiteral("Shotlark/") + QCoreApplication::applicationVersion().toUtf8();
    curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.constData());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t->errorText);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.whole.count()));
    if (r.followRedirects) {
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 50L);
        // Never from https down to http.
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                         r.url.scheme() == QStringLiteral("https") ? "https" : "http,https");
    }
    if (const QByteArray file = qgetenv("SSL_CERT_FILE"); !file.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, file.constData());
    if (const QByteArray dir = qgetenv("SSL_CERT_DIR"); !dir.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAPATH, dir.constData());

    for (const auto& [name, value] : r.headers)
        t->headerList = curl_slist_append(t->headerList, (name + ": " + value).constData());
    // No "Expect: 100-continue" round trip before large bodies.
    t->headerList = curl_slist_append(t->headerList, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headerList);

    if (t->bodyFd >= 0) {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->bodySize));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::readBody);
        curl_easy_setopt(easy, CURLOPT_READDATA, t);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::seekBody);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, t);
        curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, uploadBlock);
    } else if (r.method != "GET") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, r.body.constData());
    }
    if (r.method != "GET" && r.method != "POST")
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method.constData());

    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeAnswer);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::headerLine);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, t);

    t->inactivity.setSingleShot(true);
    connect(&t->inactivity, &QTimer::timeout, this, [this, t] { checkInactivity(t); });
    t->sinceActivity.start();
    t->inactivity.start(limits.inactivity);
    transfers_.insert(easy, t);
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        transfers_.remove(easy);
        t->done = true; // never added: nothing to remove
        throw TransportError(TransportError::Kind::Failed,
                             QStringLiteral("The network library couldn't start the request."));
    }

    Awaiter finished{t};
    co_await finished;

    if (t->timedOut || t->code == CURLE_OPERATION_TIMEDOUT)
        throw TransportError(TransportError::Kind::TimedOut,
                             QStringLiteral("The request timed out."));
    if (t->readError != 0)
        throw FileError(
            QStringLiteral("Couldn't read %1: %2").arg(r.bodyFile, systemError(t->readError)));
    if (t->saveError != 0)
        throw FileError(
            QStringLiteral("Couldn't write %1: %2").arg(r.saveTo, systemError(t->saveError)));
    if (t->saveFd >= 0 && t->code == CURLE_OK && ::fsync(t->saveFd) != 0)
        throw FileError(QStringLiteral("Couldn't write %1: %2").arg(r.saveTo, systemError(errno)));
    if (t->answerTooLarge)
        throw TransportError(TransportError::Kind::Failed,
                             QStringLiteral("The server's answer is too large."));
    if (t->code == CURLE_WEIRD_SERVER_REPLY)
        co_return HttpResponse{}; // not an HTTP answer: status 0
    long answered = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &answered);
    // A server may refuse an upload early and hang up while the body is still on its way: its
    // answer arrived, and is what the user must see, not the broken pipe that followed.
    if ((t->code == CURLE_SEND_ERROR || t->code == CURLE_RECV_ERROR) && answered >= 400) {
        t->response.status = static_cast<int>(answered);
        co_return std::move(t->response);
    }
    if (t->code != CURLE_OK) {
        long osError = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
        QString message;
        if (t->code == CURLE_COULDNT_CONNECT && osError != 0)
            message = systemError(static_cast<int>(osError)); // "Connection refused"
        else if (t->errorText[0] != '\0')
            message = QString::fromUtf8(t->errorText);
        else
            message = QString::fromUtf8(curl_easy_strerror(t->code));
        throw TransportError(TransportError::Kind::Failed, message);
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    t->response.status = static_cast<int>(status);
    char* effective = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        t->response.url = QUrl(QString::fromUtf8(effective));
    co_return std::move(t->response);
}

} // namespace shotlark
