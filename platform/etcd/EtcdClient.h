#pragma once

// A small client of an etcd cluster's v3 JSON gateway (etcd 3.4 and later),
// over Qt Network: unary calls (range, txn, lease grant/keepalive/revoke)
// and watch streams. Keys and values travel base64-encoded, 64-bit numbers
// as JSON strings, as the gateway does.
//
// Endpoints are members of one cluster: a call goes to the current member
// and, when that member cannot be reached, to the next ones in turn; only
// when none answers does the call fail as Unreachable. With a user name the
// client authenticates first and again whenever the cluster says the token
// is no longer valid (tokens expire).
//
// Lives on the main thread; callbacks are called from its event loop.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace kv::etcd {

class EtcdClient;

// Where the cluster is and how to reach it, as the command line gives it.
struct EtcdSettings
{
    QStringList endpoints; // "http://127.0.0.1:2379", "https://…"
    QByteArray prefix = QByteArrayLiteral("keyvane/");
    QString user; // none: no authentication
    QString password;
    QString caCertificatePath; // PEM; trusted besides the system's CAs
    QString certificatePath;   // PEM client certificate …
    QString keyPath;           // … and its key
};

// A one-line fault of the settings that needs no cluster to be seen (an
// endpoint that is not an http or https URL, a certificate or key file that
// cannot be read, a certificate without its key), or empty.
QString settingsProblem(const EtcdSettings &settings);

// What went wrong with a call.
enum class EtcdFault {
    None,
    Unreachable,     // no member answered (connection refused, reset, timed out)
    Unauthenticated, // the user name or password was refused
    Tls,             // a member's certificate was not trusted, or our own could not be used
    Compacted,       // the revision asked for is gone (compacted)
    Refused,         // the cluster answered with an error (permission denied, too many operations, …)
    Protocol,        // the answer could not be understood
};

// What a gRPC status (the gateway's "code"), with its message, comes to: 0
// None; 14 (unavailable) and 4 (deadline exceeded) Unreachable; 16, or a
// message saying authentication failed, Unauthenticated; 11 with
// "compacted" Compacted; anything else Refused.
EtcdFault faultOfGrpcStatus(int status, const QString &message);

struct EtcdResult
{
    EtcdFault fault = EtcdFault::None;
    QString error;    // one line, when fault != None
    QJsonObject json; // the answer (for streams: one message's "result")
    bool ok() const { return fault == EtcdFault::None; }
};

// The header revision of an answer (0 when absent).
qint64 headerRevision(const QJsonObject &json);
// A JSON field holding a 64-bit integer, as a string or a number.
qint64 int64Field(const QJsonObject &json, const QString &name);

// A watch stream: one `message` signal per watch response, in order, then
// `ended` once (for an error, a cancellation, or the member going away).
class EtcdWatch : public QObject
{
    Q_OBJECT
public:
    ~EtcdWatch() override;
    // Stops the stream (no further signal).
    void cancel();

Q_SIGNALS:
    void message(const QJsonObject &result);
    void ended(const kv::etcd::EtcdResult &why);

private:
    friend class EtcdClient;
    explicit EtcdWatch(QObject *parent) : QObject(parent) {}
    void readMore();
    void finish();
    QPointer<QNetworkReply> m_reply;
    QByteArray m_buffer;
    bool m_ended = false;
    EtcdClient *m_client = nullptr;
};

class EtcdClient : public QObject
{
    Q_OBJECT
public:
    explicit EtcdClient(EtcdSettings settings, QObject *parent = nullptr);
    ~EtcdClient() override;

    const EtcdSettings &settings() const { return m_settings; }
    // The member calls go to now.
    QString currentEndpoint() const;
    // Makes the next member the current one.
    void switchEndpoint();
    // settingsProblem(), or why a certificate or key file could not be used.
    QString settingsProblem() const;

    // Sets how long a unary call may go without an answer (default 5 s).
    void setCallTimeout(int milliseconds) { m_callTimeout = milliseconds; }

    using Callback = std::function<void(const EtcdResult &)>;
    // POSTs `body` to `path` ("/v3/kv/range" and the like) and calls back
    // with the answer. Tries every member once before reporting Unreachable;
    // authenticates first when a user is set. The callback is not called once
    // the client is destroyed.
    void call(const QString &path, const QJsonObject &body, Callback callback);
    // Starts a watch stream with the given create_request on the current
    // member (after authenticating when needed); owned by the client until
    // deleted. A member that cannot be reached ends it with Unreachable.
    EtcdWatch *watch(const QJsonObject &createRequest);

    // Runs `call` and waits for its answer in a local event loop.
    EtcdResult callAndWait(const QString &path, const QJsonObject &body);

    // For calls made beside the gateway (EtcdGrpc.h): the network access
    // manager, the TLS configuration of https members, the authentication
    // token held now (empty when none) and the unary call timeout.
    QNetworkAccessManager *network() const { return m_network; }
    const QSslConfiguration &tlsConfiguration() const { return m_tls; }
    const QByteArray &token() const { return m_token; }
    int callTimeout() const { return m_callTimeout; }

    // Base64 as the gateway takes it.
    static QString encode(const QByteArray &bytes);
    static QByteArray decode(const QJsonValue &value);

private:
    friend class EtcdWatch;
    struct Attempt;
    void send(std::shared_ptr<Attempt> attempt);
    void authenticateThen(std::function<void(const EtcdResult &)> next);
    QNetworkReply *post(const QString &path, const QByteArray &body, int timeout);
    EtcdResult resultOf(QNetworkReply *reply, bool *memberUnreachable) const;
    void startWatch(EtcdWatch *watch, QByteArray body);

    EtcdSettings m_settings;
    QNetworkAccessManager *m_network;
    QSslConfiguration m_tls;
    QString m_tlsProblem;
    int m_current = 0;
    int m_callTimeout = 5000;
    QByteArray m_token; // the authentication token, when one is held
    bool m_authenticating = false;
    QList<std::function<void(const EtcdResult &)>> m_waitingForToken;
};

} // namespace kv::etcd

Q_DECLARE_METATYPE(kv::etcd::EtcdResult)
