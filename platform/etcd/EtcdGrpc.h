#pragma once

// Range calls over etcd's own gRPC service (etcdserverpb.KV/Range), beside
// the JSON gateway: protobuf over HTTP/2, the way etcd's own tools read.
// The gateway builds JSON with base64 inside for every answer, which costs
// the member most of a large read and us a parse and a decode; over gRPC a
// page is a few length-prefixed fields whose keys and values are read in
// place.
//
// Only the messages a range read needs are written and read here, by hand
// and with every length checked; nothing else of gRPC is spoken. Qt Network
// does not hand out HTTP/2 trailers as such (at times it appends them to
// the headers once the body is in), so a call cannot count on seeing the
// grpc-status of a normal answer: an answer counts only when it has HTTP
// status 200, content type application/grpc, no grpc-status other than 0
// among its headers, and a body of exactly one uncompressed message that
// reads in full and holds a header. A member that answers anything else is
// taken not to serve gRPC to us, and the client's range calls go to the
// gateway from then on.

#include "platform/etcd/EtcdClient.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>

#include <functional>
#include <optional>

namespace kv::etcd {

// etcdserverpb.RangeRequest, the fields that are used.
struct RangeRequest
{
    QByteArray key;
    QByteArray rangeEnd;
    qint64 limit = 0;    // 0: no limit
    qint64 revision = 0; // 0: the newest
    bool serializable = false;
};

// One mvccpb.KeyValue of an answer: views into the bytes decoded.
struct RangeEntry
{
    QByteArrayView key;
    QByteArrayView value;
};

// etcdserverpb.RangeResponse, the fields that are used.
struct RangeAnswer
{
    qint64 revision = 0; // of the header
    QList<RangeEntry> kvs;
    bool more = false;
    qint64 count = 0;
};

// The RangeRequest message (proto3: fields at their zero value left out).
QByteArray encodeRangeRequest(const RangeRequest &request);
// A RangeResponse message, none when it does not read in full (a truncated
// or overlong varint, a length past the end, a known field of the wrong
// wire type, a group, a field number 0) or has no header. Unknown fields
// are skipped. The entries point into `message`.
std::optional<RangeAnswer> decodeRangeResponse(QByteArrayView message);

// A gRPC length-prefixed message: flag 0 (not compressed), the length in
// four bytes big-endian, the message.
QByteArray grpcFrame(QByteArrayView message);
// The message of a body that is exactly one uncompressed frame, or none.
std::optional<QByteArrayView> grpcFrameMessage(QByteArrayView body);

// What a range call over gRPC came to.
struct GrpcRangeReply
{
    QByteArray body;                   // the answer's bytes, which `answer` points into
    std::optional<RangeAnswer> answer; // when the member answered well
    EtcdResult failure;                // otherwise why not
};

// The range calls of one client over gRPC: made on first use, a child of
// the client, and given up for good once a member answers otherwise than a
// gRPC service does.
class GrpcRangeCalls : public QObject
{
    Q_OBJECT
public:
    static GrpcRangeCalls &of(EtcdClient &client);

    // Whether a range call may go over gRPC now: allowed and not given up,
    // and a token held when the client authenticates (getting one is left
    // to the gateway).
    bool usable() const;
    // Not allowed, range calls go to the gateway (allowed by default).
    void setAllowed(bool allowed) { m_allowed = allowed; }
    bool givenUp() const { return m_givenUp; }
    // Answers taken over gRPC so far.
    int answers() const { return m_answers; }

    // Sends the range to the client's current member and calls back with
    // the answer, from the event loop (never before returning). When the
    // member did not answer as a gRPC service the fast path is given up and
    // the reply's failure is Protocol; when it could not be reached, or
    // reported an error (a trailers-only answer), the failure says so as a
    // gateway call would, and the fast path stays. The callback is not
    // called once the client is destroyed.
    void range(const RangeRequest &request, std::function<void(const GrpcRangeReply &)> callback);

private:
    explicit GrpcRangeCalls(EtcdClient *client);
    GrpcRangeReply replyOf(QNetworkReply *reply);

    EtcdClient *m_client;
    bool m_allowed = true;
    bool m_givenUp = false;
    int m_answers = 0;
};

} // namespace kv::etcd
