#include "platform/etcd/EtcdClient.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslKey>

namespace kv::etcd {

namespace {

// gRPC status codes the gateway reports in "code".
constexpr int GrpcDeadlineExceeded = 4;
constexpr int GrpcOutOfRange = 11;
constexpr int GrpcUnavailable = 14;
constexpr int GrpcUnauthenticated = 16;

const char SslErrorsProperty[] = "kvSslErrors";

bool isUnreachable(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // the transfer timeout
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError: return true;
    default: return false;
    }
}

// The fault an error answer of the gateway ({"error", "message", "code"})
// stands for.
EtcdResult errorAnswer(const QJsonObject &answer, int httpStatus, bool *memberUnreachable)
{
    const int code = answer.value(QLatin1String("code")).toInt(-1);
    QString message = answer.value(QLatin1String("message")).toString();
    if (message.isEmpty())
        message = answer.value(QLatin1String("error")).toString();
    if (message.isEmpty())
        message = QStringLiteral("HTTP status %1").arg(httpStatus);
    EtcdResult result;
    result.error = message;
    result.fault = faultOfGrpcStatus(code, message);
    if (httpStatus == 502 || httpStatus == 503)
        result.fault = EtcdFault::Unreachable;
    else if (result.fault == EtcdFault::None)
        result.fault = EtcdFault::Refused; // an error without a status
    // No leader, shutting down, or too slow: another member may serve.
    *memberUnreachable = result.fault == EtcdFault::Unreachable;
    return result;
}

} // namespace

EtcdFault faultOfGrpcStatus(int status, const QString &message)
{
    switch (status) {
    case 0: return EtcdFault::None;
    case GrpcUnavailable:
    case GrpcDeadlineExceeded: return EtcdFault::Unreachable;
    case GrpcUnauthenticated: return EtcdFault::Unauthenticated;
    default: break;
    }
    if (message.contains(QLatin1String("authentication failed")))
        return EtcdFault::Unauthenticated;
    if (status == GrpcOutOfRange && message.contains(QLatin1String("compacted")))
        return EtcdFault::Compacted;
    return EtcdFault::Refused;
}

qint64 int64Field(const QJsonObject &json, const QString &name)
{
    const QJsonValue value = json.value(name);
    if (value.isString())
        return value.toString().toLongLong();
    return value.toInteger();
}

qint64 headerRevision(const QJsonObject &json)
{
    return int64Field(json.value(QLatin1String("header")).toObject(), QStringLiteral("revision"));
}

// --- EtcdWatch ----------------------------------------------------------------

EtcdWatch::~EtcdWatch()
{
    cancel();
}

void EtcdWatch::cancel()
{
    m_ended = true;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
}

void EtcdWatch::readMore()
{
    if (!m_reply || m_ended)
        return;
    m_buffer += m_reply->readAll();
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = m_buffer.indexOf('\n', start);
        if (end < 0)
            break;
        const QByteArray line = m_buffer.mid(start, end - start).trimmed();
        start = end + 1;
        if (line.isEmpty())
            continue;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        EtcdResult why;
        if (!document.isObject()) {
            why = {EtcdFault::Protocol,
                   QStringLiteral("the watch sent what is not JSON: %1").arg(parseError.errorString()),
                   {}};
        } else if (document.object().contains(QLatin1String("error"))) {
            bool unreachable = false;
            const QJsonValue error = document.object().value(QLatin1String("error"));
            why = errorAnswer(error.isObject() ? error.toObject() : document.object(), 200, &unreachable);
        } else {
            const QJsonObject result = document.object().value(QLatin1String("result")).toObject();
            if (!result.value(QLatin1String("canceled")).toBool()) {
                Q_EMIT message(result);
                if (m_ended)
                    return; // cancelled from a slot
                continue;
            }
            const QString reason = result.value(QLatin1String("cancel_reason")).toString();
            if (int64Field(result, QStringLiteral("compact_revision")) > 0)
                why = {EtcdFault::Compacted, QStringLiteral("the revision to watch from was compacted"), result};
            else if (reason.contains(QLatin1String("auth")))
                why = {EtcdFault::Unauthenticated, reason, result};
            else
                why = {EtcdFault::Refused,
                       reason.isEmpty() ? QStringLiteral("the cluster cancelled the watch") : reason, result};
        }
        m_buffer.clear();
        if (why.fault == EtcdFault::Unauthenticated && m_client)
            m_client->m_token.clear();
        cancel();
        Q_EMIT ended(why);
        return;
    }
    m_buffer.remove(0, start);
}

void EtcdWatch::finish()
{
    if (m_ended || !m_reply)
        return;
    readMore();
    if (m_ended || !m_reply)
        return;
    bool unreachable = false;
    // After a 200 the messages were read as they came, so there is no answer
    // left to look into: the member ended the stream (it is going away).
    const bool streamed = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
    EtcdResult why = m_client && !streamed ? m_client->resultOf(m_reply, &unreachable) : EtcdResult{};
    const QString member = m_reply->url().authority();
    if (why.ok())
        why = {EtcdFault::Unreachable, QStringLiteral("%1 ended the watch").arg(member), {}};
    else if (!why.error.contains(member))
        why.error = QStringLiteral("%1: %2").arg(member, why.error);
    cancel();
    Q_EMIT ended(why);
}

// --- EtcdClient -------------------------------------------------------------

struct EtcdClient::Attempt
{
    QString path;
    QByteArray body;
    Callback callback;
    int membersLeft = 0;
    bool tokenRenewed = false;
    bool authentication = false; // the call that gets a token
    QString lastProblem;
};

EtcdClient::EtcdClient(EtcdSettings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_network(new QNetworkAccessManager(this))
{
    qRegisterMetaType<EtcdResult>();
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_tls = QSslConfiguration::defaultConfiguration();
    if (!m_settings.caCertificatePath.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(m_settings.caCertificatePath);
        if (authorities.isEmpty())
            m_tlsProblem = QStringLiteral("cannot read a PEM certificate from %1").arg(m_settings.caCertificatePath);
        else
            m_tls.addCaCertificates(authorities);
    }
    if (!m_settings.certificatePath.isEmpty() && !m_settings.keyPath.isEmpty()) {
        const QList<QSslCertificate> own = QSslCertificate::fromPath(m_settings.certificatePath);
        QFile keyFile(m_settings.keyPath);
        QSslKey key;
        if (keyFile.open(QIODevice::ReadOnly)) {
            const QByteArray pem = keyFile.readAll();
            key = QSslKey(pem, QSsl::Ec);
            if (key.isNull())
                key = QSslKey(pem, QSsl::Rsa);
        }
        if (own.isEmpty())
            m_tlsProblem = QStringLiteral("cannot read a PEM certificate from %1").arg(m_settings.certificatePath);
        else if (key.isNull())
            m_tlsProblem = QStringLiteral("cannot read a PEM private key from %1").arg(m_settings.keyPath);
        else {
            m_tls.setLocalCertificate(own.first());
            m_tls.setPrivateKey(key);
        }
    }
}

EtcdClient::~EtcdClient() = default;

QString EtcdClient::currentEndpoint() const
{
    return m_settings.endpoints.value(m_current);
}

void EtcdClient::switchEndpoint()
{
    if (!m_settings.endpoints.isEmpty())
        m_current = (m_current + 1) % int(m_settings.endpoints.size());
}

QString settingsProblem(const EtcdSettings &settings)
{
    if (settings.endpoints.isEmpty())
        return QStringLiteral("no etcd endpoint given");
    for (const QString &endpoint : settings.endpoints) {
        const QUrl url(endpoint, QUrl::StrictMode);
        const QString scheme = url.scheme();
        if (!url.isValid() || url.host().isEmpty()
            || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            return QStringLiteral("\"%1\" is not an etcd endpoint (http://HOST:PORT or https://HOST:PORT)")
                .arg(endpoint);
    }
    if (settings.certificatePath.isEmpty() != settings.keyPath.isEmpty())
        return QStringLiteral("--etcd-cert and --etcd-key go together");
    for (const QString &path : {settings.caCertificatePath, settings.certificatePath, settings.keyPath}) {
        if (!path.isEmpty() && !QFileInfo(path).isReadable())
            return QStringLiteral("cannot read %1").arg(path);
    }
    return QString();
}

QString EtcdClient::settingsProblem() const
{
    const QString problem = etcd::settingsProblem(m_settings);
    return problem.isEmpty() ? m_tlsProblem : problem;
}

QString EtcdClient::encode(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

QByteArray EtcdClient::decode(const QJsonValue &value)
{
    return QByteArray::fromBase64(value.toString().toLatin1());
}

QNetworkReply *EtcdClient::post(const QString &path, const QByteArray &body, int timeout)
{
    QUrl url(currentEndpoint());
    url.setPath(url.path().endsWith(QLatin1Char('/')) ? url.path().chopped(1) + path : url.path() + path);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(timeout);
    if (!m_token.isEmpty())
        request.setRawHeader(QByteArrayLiteral("Authorization"), m_token);
    if (url.scheme() == QLatin1String("https"))
        request.setSslConfiguration(m_tls);
    QNetworkReply *reply = m_network->post(request, body);
    connect(reply, &QNetworkReply::sslErrors, reply, [reply](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &error : errors)
            texts.append(error.errorString());
        reply->setProperty(SslErrorsProperty, texts.join(QLatin1String("; ")));
    });
    return reply;
}

EtcdResult EtcdClient::resultOf(QNetworkReply *reply, bool *memberUnreachable) const
{
    *memberUnreachable = false;
    const QString member = reply->url().adjusted(QUrl::RemovePath | QUrl::RemoveQuery).toString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        const QString sslErrors = reply->property(SslErrorsProperty).toString();
        if (!sslErrors.isEmpty() || reply->error() == QNetworkReply::SslHandshakeFailedError)
            return {EtcdFault::Tls,
                    QStringLiteral("%1: TLS: %2").arg(member, sslErrors.isEmpty() ? reply->errorString() : sslErrors),
                    {}};
        *memberUnreachable = isUnreachable(reply->error()) || reply->error() != QNetworkReply::NoError;
        return {EtcdFault::Unreachable, reply->errorString(), {}};
    }
    const QByteArray bytes = reply->readAll();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    const int httpStatus = status.toInt();
    if (httpStatus != 200) {
        EtcdResult result = errorAnswer(document.object(), httpStatus, memberUnreachable);
        result.error = QStringLiteral("%1: %2").arg(member, result.error);
        return result;
    }
    if (!document.isObject())
        return {EtcdFault::Protocol,
                QStringLiteral("%1 answered what is not JSON: %2").arg(member, parseError.errorString()),
                {}};
    QJsonObject answer = document.object();
    if (answer.contains(QLatin1String("result")) && answer.value(QLatin1String("result")).isObject())
        answer = answer.value(QLatin1String("result")).toObject(); // a stream's single message
    return {EtcdFault::None, QString(), answer};
}

void EtcdClient::call(const QString &path, const QJsonObject &body, Callback callback)
{
    auto attempt = std::make_shared<Attempt>();
    attempt->path = path;
    attempt->body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    attempt->callback = std::move(callback);
    attempt->membersLeft = int(m_settings.endpoints.size());
    send(std::move(attempt));
}

void EtcdClient::authenticateThen(std::function<void(const EtcdResult &)> next)
{
    m_waitingForToken.append(std::move(next));
    if (m_authenticating)
        return;
    m_authenticating = true;
    auto attempt = std::make_shared<Attempt>();
    attempt->path = QStringLiteral("/v3/auth/authenticate");
    attempt->body = QJsonDocument(QJsonObject{{QStringLiteral("name"), m_settings.user},
                                              {QStringLiteral("password"), m_settings.password}})
                        .toJson(QJsonDocument::Compact);
    attempt->authentication = true;
    attempt->membersLeft = int(m_settings.endpoints.size());
    attempt->callback = [this](const EtcdResult &answer) {
        EtcdResult result = answer;
        if (result.ok()) {
            m_token = result.json.value(QLatin1String("token")).toString().toUtf8();
            if (m_token.isEmpty())
                result = {EtcdFault::Protocol, QStringLiteral("the cluster gave no authentication token"), {}};
        } else if (result.fault == EtcdFault::Unauthenticated || result.fault == EtcdFault::Refused) {
            result.fault = EtcdFault::Unauthenticated;
            result.error = QStringLiteral("etcd user %1: %2").arg(m_settings.user, result.error);
        }
        m_authenticating = false;
        const auto waiting = std::exchange(m_waitingForToken, {});
        for (const auto &next : waiting)
            next(result);
    };
    send(std::move(attempt));
}

void EtcdClient::send(std::shared_ptr<Attempt> attempt)
{
    if (const QString problem = settingsProblem(); !problem.isEmpty()) {
        // Reported from the event loop, as every answer is.
        QMetaObject::invokeMethod(
            this,
            [attempt, problem] {
                attempt->callback({EtcdFault::Refused, problem, {}});
            },
            Qt::QueuedConnection);
        return;
    }
    if (!attempt->authentication && !m_settings.user.isEmpty() && m_token.isEmpty()) {
        authenticateThen([this, attempt](const EtcdResult &authenticated) {
            if (authenticated.ok())
                send(attempt);
            else
                attempt->callback(authenticated);
        });
        return;
    }
    QNetworkReply *reply = post(attempt->path, attempt->body, m_callTimeout);
    connect(reply, &QNetworkReply::finished, this, [this, reply, attempt] {
        reply->deleteLater();
        bool unreachable = false;
        EtcdResult result = resultOf(reply, &unreachable);
        if (unreachable) {
            attempt->lastProblem = QStringLiteral("%1 (%2)").arg(result.error, reply->url().authority());
            if (--attempt->membersLeft > 0) {
                switchEndpoint();
                send(attempt);
                return;
            }
            result.error = QStringLiteral("cannot reach the etcd cluster at %1: %2")
                               .arg(m_settings.endpoints.join(QLatin1String(", ")), result.error);
        } else if (result.fault == EtcdFault::Unauthenticated && !attempt->authentication && !m_settings.user.isEmpty()
                   && !attempt->tokenRenewed) {
            // The token expired (or the member restarted): get a new one.
            attempt->tokenRenewed = true;
            m_token.clear();
            send(attempt);
            return;
        }
        attempt->callback(result);
    });
}

EtcdResult EtcdClient::callAndWait(const QString &path, const QJsonObject &body)
{
    EtcdResult result;
    bool done = false;
    QEventLoop loop;
    call(path, body, [&](const EtcdResult &answer) {
        result = answer;
        done = true;
        loop.quit();
    });
    if (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return result;
}

EtcdWatch *EtcdClient::watch(const QJsonObject &createRequest)
{
    auto *stream = new EtcdWatch(this);
    stream->m_client = this;
    QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("create_request"), createRequest}}).toJson(QJsonDocument::Compact);
    if (const QString problem = settingsProblem(); !problem.isEmpty()) {
        QMetaObject::invokeMethod(
            stream,
            [stream, problem] {
                Q_EMIT stream->ended({EtcdFault::Refused, problem, {}});
            },
            Qt::QueuedConnection);
        return stream;
    }
    if (!m_settings.user.isEmpty() && m_token.isEmpty()) {
        QPointer<EtcdWatch> guard(stream);
        authenticateThen([this, guard, body](const EtcdResult &authenticated) {
            if (!guard || guard->m_ended)
                return;
            if (authenticated.ok()) {
                startWatch(guard, body);
            } else {
                guard->m_ended = true;
                Q_EMIT guard->ended(authenticated);
            }
        });
        return stream;
    }
    startWatch(stream, body);
    return stream;
}

void EtcdClient::startWatch(EtcdWatch *stream, QByteArray body)
{
    QNetworkReply *reply = post(QStringLiteral("/v3/watch"), body, 0);
    stream->m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, stream, &EtcdWatch::readMore);
    connect(reply, &QNetworkReply::finished, stream, &EtcdWatch::finish);
}

} // namespace kv::etcd
