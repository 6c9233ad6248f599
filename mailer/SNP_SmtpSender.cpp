#include "SNP_SmtpSender.h"

#include "SNP_Log.h"

#include <QDateTime>
#include <QUuid>

#include <curl/curl.h>

#include <memory>

namespace {

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallSeconds = 60;

// What the server said last and which command it answered; filled by libcurl's debug hook.
// libcurl ends a failed session with QUIT on its own: that exchange is not the answer.
struct Conversation {
    QByteArray lastReply;
    QByteArray lastCommand;
    bool quitting = false;
};

int debugHook(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    auto* conversation = static_cast<Conversation*>(user);
    const QByteArray line = QByteArray(data, qsizetype(size)).trimmed();
    if (conversation->quitting || line.isEmpty())
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

Mime messageFor(CURL* curl, const SNP_MailSettings& s, const QByteArray& jpeg, const QString& fileName)
{
    Mime mime(curl_mime_init(curl));
    curl_mimepart* text = curl_mime_addpart(mime.get());
    const QByteArray body = s.body.toUtf8();
    curl_mime_data(text, body.constData(), size_t(body.size()));
    curl_mime_type(text, "text/plain; charset=UTF-8");
    curl_mime_encoder(text, "quoted-printable");
    curl_mime_headers(text, curl_slist_append(nullptr, "Content-Disposition: inline"), 1);

    curl_mimepart* picture = curl_mime_addpart(mime.get());
    curl_mime_data(picture, jpeg.constData(), size_t(jpeg.size()));
    curl_mime_type(picture, "image/jpeg");
    curl_mime_filename(picture, safeFileName(fileName).constData());
    curl_mime_encoder(picture, "base64");
    return mime;
}

int replyCode(const QByteArray& reply)
{
    bool ok = false;
    const int code = reply.left(3).toInt(&ok);
    return ok ? code : 0;
}

SNP_SmtpResult resultOf(CURLcode code, const Conversation& c, const char* errorText)
{
    SNP_SmtpResult result;
    result.reply = QString::fromUtf8(c.lastReply);
    if (code == CURLE_OK) {
        result.outcome = SNP_SmtpResult::Outcome::Sent;
        return result;
    }
    const int reply = replyCode(c.lastReply);
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
    curl_easy_setopt(_curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(_curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(_curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(_curl, CURLOPT_DEBUGFUNCTION, debugHook);
    curl_easy_setopt(_curl, CURLOPT_VERBOSE, 1L);
    return _curl;
}

SNP_SmtpResult SNP_SmtpSender::send(const QString& to, const QByteArray& jpeg, const QString& fileName)
{
    CURL* curl = handle();
    if (!curl)
        return SNP_SmtpResult{SNP_SmtpResult::Outcome::Retry, true, QStringLiteral("libcurl could not start")};
    Conversation conversation;
    char errorText[CURL_ERROR_SIZE] = {0};
    Slist recipients;
    append(recipients, "<" + to.toUtf8() + ">");
    Slist headers = headersFor(_settings, to);
    Mime mime = messageFor(curl, _settings, jpeg, fileName);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &conversation);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());

    const CURLcode code = curl_easy_perform(curl);
    const SNP_SmtpResult result = resultOf(code, conversation, errorText);

    // Nothing set for this message may outlive it in the handle.
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    if (code != CURLE_OK)
        disconnect();
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
