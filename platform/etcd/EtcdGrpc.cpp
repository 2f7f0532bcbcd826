#include "platform/etcd/EtcdGrpc.h"

#include <QAbstractNetworkCache>
#include <QHttp2Configuration>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace kv::etcd {

namespace {

// Protobuf wire types.
constexpr int Varint = 0;
constexpr int Fixed64 = 1;
constexpr int LengthDelimited = 2;
constexpr int Fixed32 = 5;

// --- writing --------------------------------------------------------------

void appendVarint(QByteArray &out, quint64 value)
{
    while (value >= 0x80) {
        out.append(char((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.append(char(value));
}

void appendTag(QByteArray &out, int field, int wireType)
{
    appendVarint(out, quint64(field) << 3 | quint64(wireType));
}

void appendBytesField(QByteArray &out, int field, QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return;
    appendTag(out, field, LengthDelimited);
    appendVarint(out, quint64(bytes.size()));
    out.append(bytes);
}

void appendIntegerField(QByteArray &out, int field, qint64 value)
{
    if (value == 0)
        return;
    appendTag(out, field, Varint);
    appendVarint(out, quint64(value)); // negative: ten bytes, as protobuf writes int64
}

// --- reading --------------------------------------------------------------

// Reads a message's fields, checking every length against what is left.
class FieldReader
{
public:
    explicit FieldReader(QByteArrayView bytes)
        : m_at(reinterpret_cast<const uchar *>(bytes.data())), m_end(m_at + bytes.size())
    {}

    bool atEnd() const { return m_at == m_end; }

    // The next field's number and wire type; false at a malformed tag, a
    // field number 0 or one past the largest, or a group (wire types 3 and
    // 4, which no message here uses).
    bool tag(quint32 *field, int *wireType)
    {
        quint64 key = 0;
        if (!varint(&key) || key >> 32 != 0)
            return false;
        *field = quint32(key >> 3);
        *wireType = int(key & 7);
        return *field != 0 && *wireType != 3 && *wireType != 4 && *wireType <= Fixed32;
    }

    // At most ten bytes; the tenth holds only the top bit of 64.
    bool varint(quint64 *value)
    {
        quint64 result = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_at == m_end)
                return false;
            const uchar byte = *m_at++;
            if (shift == 63 && byte > 1)
                return false;
            result |= quint64(byte & 0x7f) << shift;
            if (!(byte & 0x80)) {
                *value = result;
                return true;
            }
        }
        return false;
    }

    bool lengthDelimited(QByteArrayView *bytes)
    {
        quint64 length = 0;
        if (!varint(&length) || length > quint64(m_end - m_at))
            return false;
        *bytes = QByteArrayView(m_at, qsizetype(length));
        m_at += length;
        return true;
    }

    bool skip(int wireType)
    {
        quint64 ignored = 0;
        QByteArrayView bytes;
        switch (wireType) {
        case Varint: return varint(&ignored);
        case LengthDelimited: return lengthDelimited(&bytes);
        case Fixed64: return advance(8);
        case Fixed32: return advance(4);
        default: return false;
        }
    }

private:
    bool advance(qsizetype count)
    {
        if (m_end - m_at < count)
            return false;
        m_at += count;
        return true;
    }

    const uchar *m_at;
    const uchar *m_end;
};

// etcdserverpb.ResponseHeader: cluster_id 1, member_id 2, revision 3,
// raft_term 4, all varints.
bool readHeader(QByteArrayView bytes, qint64 *revision)
{
    FieldReader reader(bytes);
    while (!reader.atEnd()) {
        quint32 field = 0;
        int wireType = 0;
        if (!reader.tag(&field, &wireType))
            return false;
        if (field >= 1 && field <= 4) {
            quint64 value = 0;
            if (wireType != Varint || !reader.varint(&value))
                return false;
            if (field == 3)
                *revision = qint64(value);
        } else if (!reader.skip(wireType)) {
            return false;
        }
    }
    return true;
}

// mvccpb.KeyValue: key 1 and value 5 (bytes); create_revision 2,
// mod_revision 3, version 4 and lease 6 (varints).
bool readKeyValue(QByteArrayView bytes, RangeEntry *entry)
{
    FieldReader reader(bytes);
    while (!reader.atEnd()) {
        quint32 field = 0;
        int wireType = 0;
        if (!reader.tag(&field, &wireType))
            return false;
        if (field == 1 || field == 5) {
            if (wireType != LengthDelimited || !reader.lengthDelimited(field == 1 ? &entry->key : &entry->value))
                return false;
        } else if (field >= 2 && field <= 6) {
            quint64 ignored = 0;
            if (wireType != Varint || !reader.varint(&ignored))
                return false;
        } else if (!reader.skip(wireType)) {
            return false;
        }
    }
    return true;
}

// Transport errors of a member that is not there, after which the fast path
// is still worth trying on the next member. A call that times out is not
// among them: Qt Network waits out the whole transfer timeout on an HTTP/2
// connection closed before the answer (as by a proxy that does not speak
// HTTP/2), which the next call would wait out again.
bool memberNotThere(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError: return true;
    default: return false;
    }
}

// Qt Network writes the frames of an HTTP/2 request (HEADERS, DATA, the
// empty DATA that ends the stream) one write at a time, and leaves Nagle's
// algorithm on without a way to turn it off: every frame after the first
// then waits for the member's delayed acknowledgement, 40 ms a call on
// Linux, against a few ms of work for a page. Once a request is written,
// TCP_NODELAY on the sockets connected to the member's port sends what
// waits at once, and every later request of the connection without delay.
// The sockets are found among the process's descriptors by their peer's
// port; another connection to that port (the gateway's, or one to a member
// elsewhere) sending without delay too does no harm.
void sendWithoutDelay(int port)
{
#ifdef Q_OS_LINUX
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return;
    while (const dirent *entry = ::readdir(descriptors)) {
        bool isNumber = false;
        const int fd = QByteArrayView(entry->d_name).toInt(&isNumber);
        if (!isNumber || fd == ::dirfd(descriptors))
            continue;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
            continue;
        int peerPort = -1;
        if (peer.ss_family == AF_INET)
            peerPort = ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
        else if (peer.ss_family == AF_INET6)
            peerPort = ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
        const int on = 1;
        if (peerPort == port)
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ::closedir(descriptors);
#else
    Q_UNUSED(port);
#endif
}

// A cache that keeps nothing. Qt Network takes the trailers of an HTTP/2
// answer for headers once more; without a cache it then tries to turn
// caching on after the body came and logs a critical message for every
// answer. With one, caching is on (and keeps nothing) from the first
// headers.
class NoCache : public QAbstractNetworkCache
{
public:
    explicit NoCache(QObject *parent) : QAbstractNetworkCache(parent) {}
    QNetworkCacheMetaData metaData(const QUrl &) override { return {}; }
    void updateMetaData(const QNetworkCacheMetaData &) override {}
    QIODevice *data(const QUrl &) override { return nullptr; }
    bool remove(const QUrl &) override { return false; }
    qint64 cacheSize() const override { return 0; }
    QIODevice *prepare(const QNetworkCacheMetaData &) override { return nullptr; }
    void insert(QIODevice *) override {}
    void clear() override {}
};

} // namespace

QByteArray encodeRangeRequest(const RangeRequest &request)
{
    // RangeRequest: key 1, range_end 2, limit 3, revision 4, serializable 7.
    QByteArray out;
    out.reserve(request.key.size() + request.rangeEnd.size() + 32);
    appendBytesField(out, 1, request.key);
    appendBytesField(out, 2, request.rangeEnd);
    appendIntegerField(out, 3, request.limit);
    appendIntegerField(out, 4, request.revision);
    appendIntegerField(out, 7, request.serializable ? 1 : 0);
    return out;
}

std::optional<RangeAnswer> decodeRangeResponse(QByteArrayView message)
{
    // RangeResponse: header 1, kvs 2 (repeated), more 3 (bool), count 4.
    RangeAnswer answer;
    bool hasHeader = false;
    FieldReader reader(message);
    while (!reader.atEnd()) {
        quint32 field = 0;
        int wireType = 0;
        if (!reader.tag(&field, &wireType))
            return std::nullopt;
        QByteArrayView bytes;
        quint64 value = 0;
        switch (field) {
        case 1:
            // A message given twice is merged: the later revision counts.
            if (wireType != LengthDelimited || !reader.lengthDelimited(&bytes) || !readHeader(bytes, &answer.revision))
                return std::nullopt;
            hasHeader = true;
            break;
        case 2: {
            RangeEntry entry;
            if (wireType != LengthDelimited || !reader.lengthDelimited(&bytes) || !readKeyValue(bytes, &entry))
                return std::nullopt;
            answer.kvs.append(entry);
            break;
        }
        case 3:
        case 4:
            if (wireType != Varint || !reader.varint(&value))
                return std::nullopt;
            if (field == 3)
                answer.more = value != 0;
            else
                answer.count = qint64(value);
            break;
        default:
            if (!reader.skip(wireType))
                return std::nullopt;
        }
    }
    if (!hasHeader)
        return std::nullopt;
    return answer;
}

QByteArray grpcFrame(QByteArrayView message)
{
    const auto length = quint32(message.size());
    QByteArray frame;
    frame.reserve(5 + message.size());
    frame.append('\0');
    for (int shift = 24; shift >= 0; shift -= 8)
        frame.append(char(length >> shift & 0xff));
    frame.append(message);
    return frame;
}

std::optional<QByteArrayView> grpcFrameMessage(QByteArrayView body)
{
    if (body.size() < 5 || body.at(0) != '\0')
        return std::nullopt;
    quint64 length = 0;
    for (int i = 1; i < 5; ++i)
        length = length << 8 | quint8(body.at(i));
    if (length != quint64(body.size() - 5))
        return std::nullopt;
    return body.sliced(5);
}

// --- GrpcRangeCalls ---------------------------------------------------------

GrpcRangeCalls::GrpcRangeCalls(EtcdClient *client) : QObject(client), m_client(client)
{
    // The gateway's calls are POSTs, which are never cached: a cache that
    // keeps nothing changes nothing for them.
    if (!client->network()->cache())
        client->network()->setCache(new NoCache(client->network()));
}

GrpcRangeCalls &GrpcRangeCalls::of(EtcdClient &client)
{
    if (auto *calls = client.findChild<GrpcRangeCalls *>(QString(), Qt::FindDirectChildrenOnly))
        return *calls;
    return *new GrpcRangeCalls(&client);
}

bool GrpcRangeCalls::usable() const
{
    return m_allowed && !m_givenUp && (m_client->settings().user.isEmpty() || !m_client->token().isEmpty())
           && m_client->settingsProblem().isEmpty();
}

void GrpcRangeCalls::range(const RangeRequest &range, std::function<void(const GrpcRangeReply &)> callback)
{
    QUrl url(m_client->currentEndpoint());
    const QString path = QStringLiteral("/etcdserverpb.KV/Range");
    url.setPath(url.path().endsWith(QLatin1Char('/')) ? url.path().chopped(1) + path : url.path() + path);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/grpc"));
    request.setRawHeader(QByteArrayLiteral("te"), QByteArrayLiteral("trailers"));
    if (!m_client->token().isEmpty())
        request.setRawHeader(QByteArrayLiteral("token"), m_client->token());
    if (url.scheme() == QLatin1String("https")) {
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true); // by ALPN
        request.setSslConfiguration(m_client->tlsConfiguration());
    } else {
        request.setAttribute(QNetworkRequest::Http2DirectAttribute, true); // h2c, known to be spoken
    }
    // Windows wide enough that a page of several megabytes comes without
    // waiting for window updates.
    QHttp2Configuration http2 = request.http2Configuration();
    http2.setSessionReceiveWindowSize(0x7fffffff);
    http2.setStreamReceiveWindowSize(64 * 1024 * 1024);
    request.setHttp2Configuration(http2);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(m_client->callTimeout());
    QNetworkReply *reply = m_client->network()->post(request, grpcFrame(encodeRangeRequest(range)));
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    connect(reply, &QNetworkReply::requestSent, this, [port] { sendWithoutDelay(port); });
    connect(reply, &QNetworkReply::finished, this, [this, reply, callback = std::move(callback)] {
        reply->deleteLater();
        const GrpcRangeReply answer = replyOf(reply);
        if (answer.answer)
            ++m_answers;
        callback(answer);
    });
}

GrpcRangeReply GrpcRangeCalls::replyOf(QNetworkReply *reply)
{
    GrpcRangeReply result;
    const QString member = reply->url().authority();
    const auto notGrpc = [&](const QString &what) {
        m_givenUp = true;
        result.failure = {EtcdFault::Protocol, QStringLiteral("%1 %2 over gRPC").arg(member, what), {}};
        return result;
    };
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        if (reply->error() == QNetworkReply::SslHandshakeFailedError)
            result.failure = {EtcdFault::Tls, QStringLiteral("%1: TLS: %2").arg(member, reply->errorString()), {}};
        else if (memberNotThere(reply->error()))
            result.failure = {EtcdFault::Unreachable, QStringLiteral("%1: %2").arg(member, reply->errorString()), {}};
        else
            return notGrpc(QStringLiteral("did not answer (%1)").arg(reply->errorString()));
        return result;
    }
    // A trailers-only answer has the status and its message among the
    // headers. Qt hands the trailers of a normal answer over too when they
    // come soon enough, appending every header once more ("application/grpc,
    // application/grpc"), so each repeated value is looked at.
    const QList<QByteArray> statuses = reply->rawHeader(QByteArrayLiteral("grpc-status")).split(',');
    for (const QByteArray &each : statuses) {
        const QByteArray grpcStatus = each.trimmed();
        if (grpcStatus.isEmpty() || grpcStatus == "0")
            continue;
        bool isNumber = false;
        const int code = grpcStatus.toInt(&isNumber);
        if (!isNumber)
            return notGrpc(QStringLiteral("answered grpc-status \"%1\"").arg(QString::fromLatin1(grpcStatus)));
        const QString message =
            QString::fromUtf8(QByteArray::fromPercentEncoding(reply->rawHeader(QByteArrayLiteral("grpc-message"))));
        result.failure = {faultOfGrpcStatus(code, message),
                          QStringLiteral("%1: %2").arg(
                              member, message.isEmpty() ? QStringLiteral("gRPC status %1").arg(code) : message),
                          {}};
        return result;
    }
    const QByteArray contentTypes = reply->rawHeader(QByteArrayLiteral("content-type"));
    bool isGrpc = status.toInt() == 200 && !contentTypes.isEmpty();
    for (const QByteArray &each : contentTypes.split(',')) {
        const QByteArray contentType = each.trimmed();
        isGrpc = isGrpc && (contentType == "application/grpc" || contentType == "application/grpc+proto");
    }
    if (!isGrpc)
        return notGrpc(
            QStringLiteral("answered HTTP status %1 (%2)")
                .arg(status.toInt())
                .arg(contentTypes.isEmpty() ? QStringLiteral("no content type") : QString::fromLatin1(contentTypes)));
    if (reply->error() != QNetworkReply::NoError) {
        // Cut off while answering: the member went away.
        if (memberNotThere(reply->error()) || reply->error() == QNetworkReply::RemoteHostClosedError) {
            result.failure = {EtcdFault::Unreachable, QStringLiteral("%1: %2").arg(member, reply->errorString()), {}};
            return result;
        }
        return notGrpc(QStringLiteral("failed (%1)").arg(reply->errorString()));
    }
    result.body = reply->readAll();
    const std::optional<QByteArrayView> message = grpcFrameMessage(result.body);
    if (!message)
        return notGrpc(QStringLiteral("answered with a body of %1 bytes that is not one uncompressed message")
                           .arg(result.body.size()));
    result.answer = decodeRangeResponse(*message);
    if (!result.answer)
        return notGrpc(QStringLiteral("answered a range that does not read"));
    return result;
}

} // namespace kv::etcd
