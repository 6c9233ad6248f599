#include "SNP_SmtpSender.h"

#include "SNP_Log.h"

#include <QDateTime>
#include <QUuid>

#include <QRegularExpression>

#include <curl/curl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr long kConnectTimeoutSeconds = 30;

// What the server said last and which command it answered, and the end of the message data
// written so far; filled by libcurl's debug hook. libcurl ends a failed session with QUIT
// on its own: that exchange is not the answer.
struct Conversation {
    QByteArray lastReply;
    QByteArray lastCommand;
    QByteArray dataEnd;
    bool quitting = false;
};

// One message on its way: the deadline, and the hook to call as it goes (libcurl's
// progress callback).
struct Transfer {
    qint64 deadline = 0;
    const std::function<void()>* hook = nullptr;
};

int progressHook(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* transfer = static_cast<Transfer*>(user);
    if (!transfer) // the QUIT of a closing connection
        return 0;
    if (*transfer->hook)
        (*transfer->hook)();
    return transfer->deadline > 0 && QDateTime::currentMSecsSinceEpoch() >= transfer->deadline ? 1 : 0;
}

// An attachment's base64 lines, read by libcurl as the message goes out.
struct Cursor {
    const QByteArray* bytes;
    qsizetype at = 0;
};

size_t readPart(char* buffer, size_t size, size_t count, void* user)
{
    auto* cursor = static_cast<Cursor*>(user);
    const size_t n = std::min(size * count, size_t(cursor->bytes->size() - cursor->at));
    std::memcpy(buffer, cursor->bytes->constData() + cursor->at, n);
    cursor->at += qsizetype(n);
    return n;
}

int seekPart(void* user, curl_off_t offset, int origin)
{
    auto* cursor = static_cast<Cursor*>(user);
    if (origin != SEEK_SET || offset < 0 || offset > cursor->bytes->size())
        return CURL_SEEKFUNC_CANTSEEK;
    cursor->at = qsizetype(offset);
    return CURL_SEEKFUNC_OK;
}

int debugHook(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    auto* conversation = static_cast<Conversation*>(user);
    if (conversation->quitting)
        return 0;
    if (type == CURLINFO_DATA_OUT) {
        constexpr size_t kKept = 200;
        conversation->dataEnd = size >= kKept ? QByteArray(data + size - kKept, kKept)
                                              : (conversation->dataEnd + QByteArray(data, qsizetype(size))).right(kKept);
        return 0;
    }
    const QByteArray line = QByteArray(data, qsizetype(size)).trimmed();
    if (line.isEmpty())
        return 0;
    if (type == CURLINFO_HEADER_IN) {
        conversation->lastReply = line.left(300);
    } else if (type == CURLINFO_HEADER_OUT) { // only the verb: AUTH lines hold secrets
        const QByteArray verb = line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' ')).toUpper();
        conversation->quitting = verb == "QUIT";
        if (!conversation->quitting)
            conversation->lastCommand = verb;
    }
    return 0;
}

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;
struct MimeFree {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
using Mime = std::unique_ptr<curl_mime, MimeFree>;

void append(Slist& list, const QByteArray& line)
{
    if (curl_slist* grown = curl_slist_append(list.get(), line.constData())) {
        (void)list.release(); // the same list, grown (or a new one when it was empty)
        list.reset(grown);
    }
}

QByteArray fromLine(const SNP_MailSettings& s)
{
    const qsizetype open = s.fromHeader.lastIndexOf(u'<');
    const QString name = open > 0 ? s.fromHeader.left(open).trimmed() : QString();
    const QByteArray address = "<" + s.fromAddress.toUtf8() + ">";
    if (name.isEmpty())
        return "From: " + address;
    QByteArray shown = SNP_SmtpSender::encodedHeaderText(name);
    if (!shown.startsWith("=?")) // a plain name is quoted: a comma in it must not read as a second address
        shown = '"' + shown.replace('\\', "\\\\").replace('"', "\\\"") + '"';
    return "From: " + shown + " " + address;
}

Slist headersFor(const SNP_MailSettings& s, const QString& to)
{
    Slist headers;
    const QString domain = s.fromAddress.mid(s.fromAddress.lastIndexOf(u'@') + 1);
    append(headers, fromLine(s));
    append(headers, "To: <" + to.toUtf8() + ">");
    append(headers, "Subject: " + SNP_SmtpSender::encodedHeaderText(s.subject));
    append(headers, "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1());
    append(headers, "Message-ID: <" + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1() + "@"
                        + domain.toUtf8() + ">");
    return headers;
}

// The file name as it may stand in the attachment's header.
QByteArray safeFileName(const QString& fileName)
{
    QByteArray name;
    for (const QChar c : fileName)
        name += (c.isLetterOrNumber() && c.unicode() < 0x80) || c == u'.' || c == u'-' || c == u'_' ? char(c.unicode())
                                                                                                  : '_';
    return name.isEmpty() ? QByteArray("picture.jpg") : name.left(100);
}

Mime messageFor(CURL* curl, const SNP_MailSettings& s)
{
    Mime mime(curl_mime_init(curl));
    curl_mimepart* text = curl_mime_addpart(mime.get());
    const QByteArray body = s.body.toUtf8();
    curl_mime_data(text, body.constData(), size_t(body.size()));
    curl_mime_type(text, "text/plain; charset=UTF-8");
    curl_mime_encoder(text, "quoted-printable");
    curl_mime_headers(text, curl_slist_append(nullptr, "Content-Disposition: inline"), 1);
    return mime;
}

// Encoded already: libcurl reads the lines in blocks as large as its buffer.
void attach(curl_mime* mime, Cursor& cursor, const QString& fileName)
{
    curl_mimepart* picture = curl_mime_addpart(mime);
    curl_mime_data_cb(picture, curl_off_t(cursor.bytes->size()), readPart, seekPart, nullptr, &cursor);
    curl_mime_type(picture, "image/jpeg");
    curl_mime_filename(picture, safeFileName(fileName).constData());
    curl_mime_headers(picture, curl_slist_append(nullptr, "Content-Transfer-Encoding: base64"), 1);
}

int replyCode(const QByteArray& reply)
{
    bool ok = false;
    const int code = reply.left(3).toInt(&ok);
    return ok ? code : 0;
}

// Whether the server holds the whole message and only its answer is missing: the message
// data went out to its closing MIME delimiter, the server's host acknowledged every byte
// sent (the end-of-data mark included), and the transfer ended by waiting too long, the
// connection still standing.
bool handedOver(CURL* curl, CURLcode code, const Conversation& c)
{
    static const QRegularExpression closingDelimiter(QStringLiteral("\r\n--[0-9A-Za-z'()+_,./:=?-]+--\r\n$"));
    curl_socket_t socket = CURL_SOCKET_BAD;
    int unacknowledged = -1;
    return (code == CURLE_OPERATION_TIMEDOUT || code == CURLE_ABORTED_BY_CALLBACK) && c.lastCommand == "DATA"
           && replyCode(c.lastReply) == 354 && closingDelimiter.match(QString::fromLatin1(c.dataEnd)).hasMatch()
           && curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD
           && ::ioctl(socket, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

SNP_SmtpResult resultOf(CURLcode code, const Conversation& c, bool handedOver, const char* errorText)
{
    SNP_SmtpResult result;
    result.reply = QString::fromUtf8(c.lastReply);
    if (code == CURLE_OK) {
        result.outcome = SNP_SmtpResult::Outcome::Sent;
        return result;
    }
    const int reply = replyCode(c.lastReply);
    if (handedOver) {
        // The server has the whole message; only its answer is missing.
        result.outcome = SNP_SmtpResult::Outcome::Sent;
        result.unconfirmed = true;
        result.reply = QStringLiteral("the server took the whole message but did not finish its answer (%1)")
                           .arg(QString::fromUtf8(*errorText ? errorText : curl_easy_strerror(code)));
        return result;
    }
    const bool aboutThisMessage = c.lastCommand == "RCPT" || c.lastCommand == "DATA";
    if (aboutThisMessage && reply >= 500 && reply < 600)
        result.outcome = SNP_SmtpResult::Outcome::Refused;
    else
        result.serverUnreachable = !(aboutThisMessage && reply >= 400 && reply < 500);
    if (result.outcome == SNP_SmtpResult::Outcome::Retry && !(reply >= 400 && reply < 600))
        result.reply = QString::fromUtf8(*errorText ? errorText : curl_easy_strerror(code));
    return result;
}

} // namespace

SNP_MailFile SNP_MailFile::ofJpeg(const QByteArray& jpeg, const QString& name)
{
    constexpr qsizetype kLine = 76;
    const QByteArray flat = jpeg.toBase64();
    SNP_MailFile file{QByteArray(), name};
    file.base64.reserve(flat.size() + (flat.size() / kLine + 1) * 2);
    for (qsizetype at = 0; at < flat.size(); at += kLine)
        file.base64.append(flat.constData() + at, std::min(kLine, flat.size() - at)).append("\r\n");
    return file;
}

SNP_SmtpSender::SNP_SmtpSender(const SNP_MailSettings& settings) : _settings(settings) {}

SNP_SmtpSender::~SNP_SmtpSender() { disconnect(); }

void SNP_SmtpSender::disconnect()
{
    if (_curl)
        curl_easy_cleanup(_curl);
    _curl = nullptr;
}

CURL* SNP_SmtpSender::handle()
{
    if (_curl)
        return _curl;
    _curl = curl_easy_init();
    if (!_curl)
        return nullptr;
    const QByteArray url = _settings.smtpUrl.toUtf8();
    curl_easy_setopt(_curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(_curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(_curl, CURLOPT_USE_SSL,
                     _settings.tls == SNP_MailSettings::Tls::Plain ? CURLUSESSL_NONE : CURLUSESSL_ALL);
    curl_easy_setopt(_curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(_curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!_settings.user.isEmpty()) {
        curl_easy_setopt(_curl, CURLOPT_USERNAME, _settings.user.toUtf8().constData());
        curl_easy_setopt(_curl, CURLOPT_PASSWORD, _settings.password.constData());
    }
    const QByteArray from = "<" + _settings.fromAddress.toUtf8() + ">";
    curl_easy_setopt(_curl, CURLOPT_MAIL_FROM, from.constData());
    const long timeout = long(_settings.networkTimeoutSeconds);
    curl_easy_setopt(_curl, CURLOPT_CONNECTTIMEOUT, std::min(kConnectTimeoutSeconds, timeout));
    curl_easy_setopt(_curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(_curl, CURLOPT_LOW_SPEED_TIME, timeout);
    curl_easy_setopt(_curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, timeout);
    curl_easy_setopt(_curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(_curl, CURLOPT_XFERINFOFUNCTION, progressHook);
    curl_easy_setopt(_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(_curl, CURLOPT_DEBUGFUNCTION, debugHook);
    curl_easy_setopt(_curl, CURLOPT_VERBOSE, 1L);
    return _curl;
}

SNP_SmtpResult SNP_SmtpSender::send(const QString& to, const QList<SNP_MailFile>& files)
{
    CURL* curl = handle();
    if (!curl)
        return SNP_SmtpResult{SNP_SmtpResult::Outcome::Retry, true, false, QStringLiteral("libcurl could not start")};
    Conversation conversation;
    Transfer transfer{_deadline, &_progressHook};
    char errorText[CURL_ERROR_SIZE] = {0};
    Slist recipients;
    append(recipients, "<" + to.toUtf8() + ">");
    Slist headers = headersFor(_settings, to);
    std::vector<Cursor> cursors;
    for (const SNP_MailFile& file : files)
        cursors.push_back(Cursor{&file.base64});
    Mime mime = messageFor(curl, _settings);
    for (qsizetype i = 0; i < files.size(); ++i)
        attach(mime.get(), cursors[size_t(i)], files[i].name);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &conversation);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());

    const CURLcode code = curl_easy_perform(curl);
    const SNP_SmtpResult result = resultOf(code, conversation, handedOver(curl, code, conversation), errorText);

    // Nothing set for this message may outlive it in the handle.
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
    if (code != CURLE_OK) {
        // The connection is given up as it is: a QUIT on it would wait for a server that
        // may never answer.
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
            ::shutdown(socket, SHUT_RDWR);
        disconnect();
    }
    return result;
}

QByteArray SNP_SmtpSender::encodedHeaderText(const QString& text)
{
    const QString safe = SNP_MailSettings::headerSafe(text);
    bool plain = true;
    for (const QChar c : safe)
        plain = plain && c.unicode() >= 0x20 && c.unicode() < 0x7f;
    if (plain)
        return safe.toLatin1();
    // Encoded words of at most 75 characters: pieces of whole characters, 45 bytes at most.
    QByteArray encoded;
    QByteArray piece;
    for (qsizetype i = 0; i < safe.size(); ++i) {
        const qsizetype length = safe.at(i).isHighSurrogate() && i + 1 < safe.size() ? 2 : 1;
        const QByteArray bytes = safe.mid(i, length).toUtf8();
        i += length - 1;
        if (piece.size() + bytes.size() > 45) {
            encoded += (encoded.isEmpty() ? "" : " ") + ("=?UTF-8?B?" + piece.toBase64() + "?=");
            piece.clear();
        }
        piece += bytes;
    }
    encoded += (encoded.isEmpty() ? "" : " ") + ("=?UTF-8?B?" + piece.toBase64() + "?=");
    return encoded;
}
