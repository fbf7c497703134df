#include "EmailAddress.h"
#include "MimeAttachment.h"
#include "MimeContentFormatter.h"
#include "MimeFile.h"
#include "MimeHtml.h"
#include "MimeInlineFile.h"
#include "MimeMessage.h"
#include "MimeMultiPart.h"
#include "MimeText.h"
#include "QuotedPrintable.h"
#include "TestPaths.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace NVL::Engineering::VK;

namespace {

const QString crlf = QStringLiteral("\r\n");

QStringList linesOf(const QString &text)
{
    return text.split(crlf);
}

// Decodes quoted-printable text (soft breaks included) to check the encoder round-trips.
QByteArray decodeQuotedPrintable(const QString &text)
{
    QByteArray out;
    const QByteArray in = text.toLatin1();
    for (int i = 0; i < in.size(); ++i) {
        if (in.at(i) != '=') {
            out.append(in.at(i));
        } else if (in.mid(i + 1, 2) == "\r\n") {
            i += 2;
        } else {
            out.append(static_cast<char>(in.mid(i + 1, 2).toInt(nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char ch : data) {
        crc ^= static_cast<unsigned char>(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

QByteArray pngChunk(const char *type, const QByteArray &payload)
{
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(payload.size()), chunk.data());
    const QByteArray typed = QByteArray(type) + payload;
    chunk += typed;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(crc32(typed), crc.data());
    return chunk + crc;
}

// A real (decodable) 48x48 RGB PNG with noisy pixels, so its bytes cover the whole byte range.
QByteArray makePng()
{
    const int size = 48;
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(size, header.data());
    qToBigEndian<quint32>(size, header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 2; // truecolour
    QByteArray raw;
    quint32 seed = 12345;
    for (int y = 0; y < size; ++y) {
        raw.append('\0'); // filter: none
        for (int x = 0; x < size * 3; ++x) {
            seed = seed * 1103515245u + 12345u;
            raw.append(static_cast<char>(seed >> 16));
        }
    }
    const QByteArray zlib = qCompress(raw, 9).mid(4); // drop Qt's length prefix
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", zlib)
        + pngChunk("IEND", QByteArray());
}

QSet<QString> allPossibleBoundaries()
{
    QSet<QString> set;
    for (int b = 0; b < 256; ++b)
        set.insert(QString::fromLatin1(
            QCryptographicHash::hash(QByteArray(1, static_cast<char>(b)), QCryptographicHash::Md5)
                .toHex()));
    return set;
}

// What Python's email package (policy.default) makes of a message; empty when it fails.
QJsonObject pythonView(const QByteArray &message)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("message.eml"));
    QFile file(path);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(message) != message.size())
        return {};
    file.close();
    QProcess python;
    python.start(TestPaths::python(),
                 {QDir(QStringLiteral(VK_MAIL_TEST_DIR)).filePath(QStringLiteral("mime_view.py")), path});
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        qWarning() << python.readAllStandardError();
        return {};
    }
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

QJsonArray pair(const QString &name, const QString &address)
{
    return QJsonArray{name, address};
}

} // namespace

class TestMime : public QObject
{
    Q_OBJECT

private slots:
    void headersOfSimpleMessage();
    void addressLists();
    void encodedWords();
    void lineBreaksInNamesAndSubject();
    void messageWithoutSender();
    void addPartNeedsPlainMultipart();
    void quotedPrintableEncoder();
    void formatterQuotedPrintableMode();
    void formatterPlainMode();
    void partEncodings();
    void textParts();
    void multipartOfTwoParts();
    void inlineImagePart();
    void fileParts();
    void ownership();
    void pythonEmailParserView();
    void bodyLinesEndInCrLf();
    void messageIds();
    void displayNames();
    void displayNamesAndSubjectForReaders();
    void relatedNamesTheTypeOfItsRoot();
};

void TestMime::headersOfSimpleMessage()
{
    EmailAddress sender(QStringLiteral("ops@voltkeep.test"), QStringLiteral("Ops"));
    EmailAddress recipient(QStringLiteral("admin@voltkeep.test"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&recipient);

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const QString text = message.toString();
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    const QStringList lines = linesOf(text);
    QVERIFY2(lines.size() >= 10, qPrintable(text));

    QCOMPARE(lines.at(0), QStringLiteral("From: Ops <ops@voltkeep.test>"));
    QCOMPARE(lines.at(1), QStringLiteral("To: <admin@voltkeep.test>"));
    QCOMPARE(lines.at(2), QStringLiteral("Subject: "));
    QCOMPARE(lines.at(3), QStringLiteral("MIME-Version: 1.0"));

    // RFC 2822 form, English month, 24-hour time.
    const QString date = lines.at(4);
    QVERIFY2(QRegularExpression(QStringLiteral(
                 "^Date: \\d{2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                 "\\d{2}:\\d{2}:\\d{2} [+-]\\d{4}$"))
                 .match(date)
                 .hasMatch(),
             qPrintable(date));
    // Local time with its numeric offset (ctest runs this in UTC, but any zone must hold).
    const int offset = QDateTime::currentDateTime().offsetFromUtc();
    const QString offsetText = QString::asprintf("%c%02d%02d", offset < 0 ? '-' : '+',
                                                 qAbs(offset) / 3600, qAbs(offset) % 3600 / 60);
    QVERIFY2(date.endsWith(offsetText), qPrintable(offsetText));
    const QDateTime stamped = QDateTime::fromString(date.mid(6), Qt::RFC2822Date);
    QVERIFY(stamped.isValid());
    QVERIFY(stamped >= before.addSecs(-1) && stamped <= after);

    QVERIFY2(QRegularExpression(QStringLiteral("^Message-ID: <[0-9a-f]{32}@voltkeep\\.test>$"))
                 .match(lines.at(5))
                 .hasMatch(),
             qPrintable(lines.at(5)));
    const QString boundary = message.getContent()->getBoundary();
    // Without parts there is no root, so no type parameter.
    QCOMPARE(lines.at(6), QStringLiteral("Content-Type: multipart/related; boundary=") + boundary);
    QCOMPARE(lines.at(7), QStringLiteral("Content-Transfer-Encoding: 8bit"));
    QCOMPARE(lines.at(8), QString());
    // No parts: only the closing delimiter, then the part's final line break.
    QCOMPARE(text.mid(text.indexOf(crlf + crlf) + 4),
             QStringLiteral("--") + boundary + QStringLiteral("--\r\n\r\n"));
    QCOMPARE(text.count(QStringLiteral("\r\n")), text.count(QLatin1Char('\n')));
}

void TestMime::addressLists()
{
    EmailAddress sender(QStringLiteral("s@x.test"));
    EmailAddress a(QStringLiteral("a@x.test"), QStringLiteral("A"));
    EmailAddress b(QStringLiteral("b@x.test"), QStringLiteral("B"));
    EmailAddress c(QStringLiteral("c@x.test"));
    EmailAddress d(QStringLiteral("d@x.test"), QStringLiteral("Dee"));
    EmailAddress hidden(QStringLiteral("hidden@x.test"), QStringLiteral("Hidden"));

    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&a);
    message.addRecipient(&b, MimeMessage::To);
    message.addRecipient(&c, MimeMessage::Cc);
    message.addRecipient(&d, MimeMessage::Cc);
    message.addRecipient(&hidden, MimeMessage::Bcc);
    message.addRecipient(&hidden, static_cast<MimeMessage::RecipientKind>(7)); // ignored
    message.addRecipient(nullptr);
    message.setSubject(QStringLiteral("Weekly report"));

    const QStringList lines = linesOf(message.toString());
    QCOMPARE(lines.at(0), QStringLiteral("From: <s@x.test>"));
    QCOMPARE(lines.at(1), QStringLiteral("To: A <a@x.test>, B <b@x.test>"));
    QCOMPARE(lines.at(2), QStringLiteral("Cc: <c@x.test>, Dee <d@x.test>"));
    QCOMPARE(lines.at(3), QStringLiteral("Subject: Weekly report"));
    QVERIFY(!message.toString().contains(QStringLiteral("hidden@x.test")));

    QCOMPARE(message.recipients(MimeMessage::To), (QList<EmailAddress *>{&a, &b}));
    QCOMPARE(message.recipients(MimeMessage::Cc), (QList<EmailAddress *>{&c, &d}));
    QCOMPARE(message.recipients(MimeMessage::Bcc), (QList<EmailAddress *>{&hidden}));
    QCOMPARE(message.recipients(static_cast<MimeMessage::RecipientKind>(9)),
             (QList<EmailAddress *>{&a, &b}));

    // Without To recipients the To line is still there; without Cc there is none.
    MimeMessage bare;
    bare.setSender(&sender);
    bare.addRecipient(&hidden, MimeMessage::Bcc);
    const QStringList bareLines = linesOf(bare.toString());
    QCOMPARE(bareLines.at(1), QStringLiteral("To:"));
    QCOMPARE(bareLines.at(2), QStringLiteral("Subject: "));
}

void TestMime::encodedWords()
{
    EmailAddress sender(QStringLiteral("s@x.test"), QStringLiteral("a b:c"));
    EmailAddress umlaut(QStringLiteral("u@x.test"), QStringLiteral("Jörg"));

    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&umlaut);
    message.setSubject(QStringLiteral("abc"));

    message.setHeaderEncoding(MimePart::EncodingBase64);
    QStringList lines = linesOf(message.toString());
    QCOMPARE(lines.at(0), QStringLiteral("From: =?utf-8?B?") + QString::fromLatin1(QByteArray("a b:c").toBase64())
                              + QStringLiteral("?= <s@x.test>"));
    QCOMPARE(lines.at(1), QStringLiteral("To: =?utf-8?B?SsO2cmc=?= <u@x.test>"));
    QCOMPARE(lines.at(2), QStringLiteral("Subject: =?utf-8?B?YWJj?="));

    message.setHeaderEncoding(MimePart::EncodingQuotedPrintable);
    message.setSubject(QStringLiteral("Grüße: Akku schwach"));
    lines = linesOf(message.toString());
    QCOMPARE(lines.at(0), QStringLiteral("From: =?utf-8?Q?a_b=3Ac?= <s@x.test>"));
    QCOMPARE(lines.at(1), QStringLiteral("To: =?utf-8?Q?J=C3=B6rg?= <u@x.test>"));
    QCOMPARE(lines.at(2), QStringLiteral("Subject: =?utf-8?Q?Gr=C3=BC=C3=9Fe=3A_Akku_schwach?="));

    // Long text becomes several encoded words of at most 75 characters, folded so that no
    // line passes 78: the first fills the rest of the Subject line (42 bytes, 77 characters).
    message.setSubject(QString(100, QLatin1Char('x')));
    message.setHeaderEncoding(MimePart::EncodingBase64);
    lines = linesOf(message.toString());
    const auto word = [](int count) {
        return QStringLiteral("=?utf-8?B?") + QString::fromLatin1(QByteArray(count, 'x').toBase64())
            + QStringLiteral("?=");
    };
    QCOMPARE(lines.at(2), QStringLiteral("Subject: ") + word(42));
    QCOMPARE(lines.at(3), QLatin1Char(' ') + word(45));
    QCOMPARE(lines.at(4), QLatin1Char(' ') + word(13));
    QCOMPARE(lines.at(2).size(), 77);
    QCOMPARE(lines.at(3).size(), 73); // 46 bytes would need 64 Base64 characters, one too many
    QCOMPARE(lines.at(5), QStringLiteral("MIME-Version: 1.0"));

    // The default writes non-ASCII names and subjects as encoded words, never as raw UTF-8.
    message.setHeaderEncoding(MimePart::Encoding8Bit);
    message.setSubject(QStringLiteral("Grüße"));
    lines = linesOf(message.toString());
    QCOMPARE(lines.at(1), QStringLiteral("To: =?utf-8?B?SsO2cmc=?= <u@x.test>"));
    QCOMPARE(lines.at(2), QStringLiteral("Subject: =?utf-8?B?R3LDvMOfZQ==?="));
    for (const QChar c : message.toString())
        QVERIFY(c.unicode() < 0x80);
}

void TestMime::lineBreaksInNamesAndSubject()
{
    EmailAddress sender(QStringLiteral("s@x.test"), QStringLiteral("Ops\r\nBcc: victim@x.test"));
    EmailAddress to(QStringLiteral("t@x.test"), QStringLiteral("Line\nbreak"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&to);
    message.setSubject(QStringLiteral("Alert\r\nX-Injected: yes"));

    const QString text = message.toString();
    const QStringList lines = linesOf(text);
    QCOMPARE(lines.at(0), QStringLiteral("From: \"Ops  Bcc: victim@x.test\" <s@x.test>"));
    QCOMPARE(lines.at(1), QStringLiteral("To: Line break <t@x.test>"));
    QCOMPARE(lines.at(2), QStringLiteral("Subject: Alert  X-Injected: yes"));
    for (const QString &line : lines) {
        QVERIFY(!line.startsWith(QStringLiteral("Bcc:")));
        QVERIFY(!line.startsWith(QStringLiteral("X-Injected")));
    }
    QCOMPARE(text.count(QStringLiteral("\r\n")), text.count(QLatin1Char('\n')));
}

void TestMime::messageWithoutSender()
{
    EmailAddress to(QStringLiteral("t@x.test"));
    MimeText text(QStringLiteral("body"));
    MimeMessage message;
    message.addRecipient(&to);
    message.addPart(&text);
    QVERIFY(message.getSender() == nullptr);
    QCOMPARE(message.toString(), QString());
}

void TestMime::addPartNeedsPlainMultipart()
{
    EmailAddress sender(QStringLiteral("s@x.test"));
    MimeText text(QStringLiteral("dropped"));

    MimeMessage empty(false);
    QVERIFY(empty.getContent() == nullptr);
    empty.setSender(&sender);
    empty.addPart(&text); // nothing to add to
    QVERIFY(empty.toString().endsWith(QStringLiteral("\r\n")));
    QVERIFY(!empty.toString().contains(QStringLiteral("dropped")));

    MimeMessage automatic;
    automatic.addPart(&text);
    auto *related = qobject_cast<MimeMultiPart *>(automatic.getContent());
    QVERIFY(related);
    QCOMPARE(related->getKind(), MimeMultiPart::Related);
    QCOMPARE(related->getParts(), (QList<MimePart *>{&text}));
}

void TestMime::quotedPrintableEncoder()
{
    QCOMPARE(QuotedPrintable::encode(QByteArray("a=b\r\n")), QStringLiteral("a=3Db=0D=0A"));
    QCOMPARE(QuotedPrintable::encode(QByteArray("\xC3\xA9")), QStringLiteral("=C3=A9"));
    QCOMPARE(QuotedPrintable::encode(QByteArray(" ~\t\x7F\x1F", 5)), QStringLiteral(" ~=09=7F=1F"));
    QCOMPARE(QuotedPrintable::encode(QByteArray(1, '\0')), QStringLiteral("=00"));

    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString encoded = QuotedPrintable::encode(all);
    QCOMPARE(decodeQuotedPrintable(encoded), all);
    for (const QChar c : encoded)
        QVERIFY(c.unicode() >= 0x20 && c.unicode() <= 0x7E);
    // 95 printable ASCII characters minus "=" stay, the other 162 bytes take three characters.
    QCOMPARE(encoded.size(), 94 + 162 * 3);
}

void TestMime::formatterQuotedPrintableMode()
{
    MimeContentFormatter formatter;
    QCOMPARE(formatter.getMaxLength(), 76);

    const QString eighty(80, QLatin1Char('a'));
    QCOMPARE(formatter.format(eighty, true), QString(75, QLatin1Char('a')) + QStringLiteral("=\r\n")
                                                 + QString(5, QLatin1Char('a')));

    QCOMPARE(formatter.format(QString(75, QLatin1Char('a')), true), QString(75, QLatin1Char('a')));

    // Escapes are never split: each line holds at most 75 characters plus the soft break.
    QByteArray data;
    for (int i = 0; i < 400; ++i)
        data.append(i % 3 == 0 ? '\xC3' : 'x');
    const QString encoded = QuotedPrintable::encode(data);
    const QString formatted = formatter.format(encoded, true);
    const QStringList lines = formatted.split(crlf);
    QVERIFY(lines.size() > 5);
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const bool last = i == lines.size() - 1;
        QVERIFY2(last || line.endsWith(QLatin1Char('=')), qPrintable(line));
        const QString body = last ? line : line.chopped(1);
        QVERIFY2(body.size() <= 75, qPrintable(line));
        // Every "=" in the body starts a complete escape on the same line.
        for (int p = body.indexOf(QLatin1Char('=')); p >= 0; p = body.indexOf(QLatin1Char('='), p + 1))
            QVERIFY2(p + 2 < body.size(), qPrintable(line));
    }
    QCOMPARE(decodeQuotedPrintable(formatted), data);

    // A line feed restarts the count.
    const QString withNewline = QString(70, QLatin1Char('a')) + QLatin1Char('\n') + QString(70, QLatin1Char('b'));
    QCOMPARE(formatter.format(withNewline, true), withNewline);
}

void TestMime::formatterPlainMode()
{
    MimeContentFormatter formatter;
    const QString text(160, QLatin1Char('Q'));
    const QStringList lines = formatter.format(text, false).split(crlf);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0).size(), 76);
    QCOMPARE(lines.at(1).size(), 76);
    QCOMPARE(lines.at(2).size(), 8);
    QCOMPARE(formatter.format(QString(76, QLatin1Char('Q')), false), QString(76, QLatin1Char('Q')));

    MimeContentFormatter narrow(10);
    QCOMPARE(narrow.format(QStringLiteral("abcdefghijklmnop"), false), QStringLiteral("abcdefghij\r\nklmnop"));
}

void TestMime::partEncodings()
{
    QByteArray bytes;
    for (int i = 0; i < 120; ++i)
        bytes.append(static_cast<char>(i * 7 + 3));

    MimePart base64;
    base64.setContentType(QStringLiteral("application/octet-stream"));
    base64.setEncoding(MimePart::EncodingBase64);
    base64.setContent(bytes);
    const QString b64 = bytes.toBase64();
    QCOMPARE(base64.toString(), QStringLiteral("Content-Type: application/octet-stream\r\n"
                                               "Content-Transfer-Encoding: base64\r\n\r\n")
                                    + b64.left(76) + crlf + b64.mid(76, 76) + crlf + b64.mid(152)
                                    + crlf);
    QCOMPARE(b64.mid(152).size(), 8);

    // Rendered once; later changes need an explicit prepare.
    base64.setContent("other");
    QVERIFY(base64.toString().contains(b64.left(76)));
    base64.prepare();
    QVERIFY(base64.toString().contains(QStringLiteral("b3RoZXI=")));

    MimePart qp;
    qp.setContentType(QStringLiteral("text/plain"));
    qp.setCharset(QStringLiteral("utf-8"));
    qp.setEncoding(MimePart::EncodingQuotedPrintable);
    qp.setContent(QStringLiteral("Spannung = 7,2 V\r\nZustand: schön").toUtf8());
    qp.setContentId(QStringLiteral("body@x"));
    qp.setContentName(QStringLiteral("body.txt"));
    qp.addHeaderLine(QStringLiteral("X-One: 1\r\n"));
    qp.addHeaderLine(QStringLiteral("X-Two: 2\r\n"));
    QCOMPARE(qp.toString(), QStringLiteral("Content-Type: text/plain; name=\"body.txt\"; charset=utf-8\r\n"
                                           "Content-Transfer-Encoding: quoted-printable\r\n"
                                           "Content-ID: <body@x>\r\n"
                                           "X-One: 1\r\nX-Two: 2\r\n"
                                           "\r\n"
                                           // a text's line break stays one, not "=0D=0A"
                                           "Spannung =3D 7,2 V\r\nZustand: sch=C3=B6n\r\n"));

    MimePart seven;
    seven.setContentType(QStringLiteral("text/plain"));
    seven.setContent("plain ascii\r\nline");
    QCOMPARE(seven.getEncoding(), MimePart::Encoding7Bit);
    QCOMPARE(seven.toString(), QStringLiteral("Content-Type: text/plain\r\n"
                                              "Content-Transfer-Encoding: 7bit\r\n\r\n"
                                              "plain ascii\r\nline\r\n"));

    MimePart odd;
    odd.setContentType(QStringLiteral("text/plain"));
    odd.setEncoding(static_cast<MimePart::TransferEncoding>(9));
    odd.setContent("hidden");
    QCOMPARE(odd.toString(), QStringLiteral("Content-Type: text/plain\r\n\r\n\r\n"));
}

void TestMime::textParts()
{
    MimeText text(QStringLiteral("Akku Nr. 17: schwach — bitte tauschen"));
    QCOMPARE(text.toString(),
             QStringLiteral("Content-Type: text/plain; charset=utf-8\r\n"
                            "Content-Transfer-Encoding: 8bit\r\n\r\n"
                            "Akku Nr. 17: schwach — bitte tauschen\r\n"));

    MimeHtml html;
    QCOMPARE(html.getContentType(), QStringLiteral("text/html"));
    QCOMPARE(html.getCharset(), QStringLiteral("utf-8"));
    QCOMPARE(html.getEncoding(), MimePart::Encoding8Bit);
    html.setHtml(QStringLiteral("<p>Grüße</p>"));
    QCOMPARE(html.getHtml(), QStringLiteral("<p>Grüße</p>"));
    html.setContentId(QStringLiteral("ignored-by-readers"));
    QCOMPARE(html.toString(), QStringLiteral("Content-Type: text/html; charset=utf-8\r\n"
                                             "Content-Transfer-Encoding: 8bit\r\n"
                                             "Content-ID: <ignored-by-readers>\r\n\r\n"
                                             "<p>Grüße</p>\r\n"));
}

void TestMime::multipartOfTwoParts()
{
    MimeText one(QStringLiteral("first"));
    MimeHtml two(QStringLiteral("<b>second</b>"));
    MimeMultiPart multipart(MimeMultiPart::Alternative);
    multipart.addPart(&one);
    multipart.addPart(&two);
    multipart.addPart(nullptr);

    const QString boundary = multipart.getBoundary();
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(boundary).hasMatch());

    const QString expected = QStringLiteral("Content-Type: multipart/alternative; boundary=") + boundary
        + QStringLiteral("\r\nContent-Transfer-Encoding: 8bit\r\n\r\n")
        + QStringLiteral("--") + boundary + crlf
        + QStringLiteral("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\nfirst\r\n")
        + QStringLiteral("--") + boundary + crlf
        + QStringLiteral("Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n<b>second</b>\r\n")
        + QStringLiteral("--") + boundary + QStringLiteral("--\r\n") + crlf;
    QCOMPARE(multipart.toString(), expected);

    const QStringList types{QStringLiteral("multipart/mixed"), QStringLiteral("multipart/digest"),
                            QStringLiteral("multipart/alternative"), QStringLiteral("multipart/related"),
                            QStringLiteral("multipart/report"), QStringLiteral("multipart/signed"),
                            QStringLiteral("multipart/encrypted")};
    for (int kind = 0; kind < types.size(); ++kind) {
        MimeMultiPart part(static_cast<MimeMultiPart::MultiPartKind>(kind));
        QCOMPARE(part.getContentType(), types.at(kind));
        QCOMPARE(part.getEncoding(), MimePart::Encoding8Bit);
    }
    MimeMultiPart defaultKind;
    QCOMPARE(defaultKind.getKind(), MimeMultiPart::Related);

    // 16 random bytes: among a thousand boundaries none repeats (with one random byte, as
    // before, repeats were certain), and none is the MD5 of a single byte.
    QSet<QString> seen;
    const QSet<QString> oneByteBoundaries = allPossibleBoundaries();
    for (int i = 0; i < 1000; ++i) {
        MimeMultiPart part;
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(part.getBoundary()).hasMatch());
        QVERIFY(!oneByteBoundaries.contains(part.getBoundary()));
        seen.insert(part.getBoundary());
    }
    QCOMPARE(seen.size(), 1000);
}

void TestMime::inlineImagePart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("logos")));
    const QString path = dir.filePath(QStringLiteral("logos/tamsel.png"));
    const QByteArray png = makePng();
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(png);
    }

    MimeInlineFile image(new QFile(path));
    image.setContentId(QStringLiteral("tamsel"));
    image.setContentType(QStringLiteral("image/png"));
    QCOMPARE(image.getContentName(), QStringLiteral("tamsel.png"));

    const QString text = image.toString();
    const QString headers = QStringLiteral("Content-Type: image/png; name=\"tamsel.png\"\r\n"
                                           "Content-Transfer-Encoding: base64\r\n"
                                           "Content-ID: <tamsel>\r\n"
                                           "Content-Disposition: inline\r\n"
                                           "\r\n");
    QVERIFY2(text.startsWith(headers), qPrintable(text.left(300)));
    const QStringList bodyLines = text.mid(headers.size()).split(crlf);
    QVERIFY(bodyLines.size() > 3);
    QCOMPARE(bodyLines.last(), QString()); // the part's final line break
    for (int i = 0; i < bodyLines.size() - 2; ++i)
        QCOMPARE(bodyLines.at(i).size(), 76);
    QVERIFY(bodyLines.at(bodyLines.size() - 2).size() <= 76);
    QCOMPARE(QByteArray::fromBase64(bodyLines.join(QString()).toLatin1()), png);

    // A second rendering does not repeat the disposition line.
    image.prepare();
    QCOMPARE(image.toString().count(QStringLiteral("Content-Disposition")), 1);
}

void TestMime::fileParts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("report.csv"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("serial;health\n17;good\n");
    }

    MimeFile file(new QFile(path));
    QCOMPARE(file.getContentType(), QStringLiteral("application/octet-stream"));
    QCOMPARE(file.getEncoding(), MimePart::EncodingBase64);
    QCOMPARE(file.toString(), QStringLiteral("Content-Type: application/octet-stream; name=\"report.csv\"\r\n"
                                             "Content-Transfer-Encoding: base64\r\n\r\n")
                                  + QString::fromLatin1(QByteArray("serial;health\n17;good\n").toBase64())
                                  + crlf);

    MimeAttachment attachment(new QFile(path));
    attachment.prepare();
    attachment.prepare();
    QCOMPARE(attachment.toString().count(QStringLiteral("Content-Disposition: attachment\r\n")), 1);

    // Unreadable or missing files give an empty body, not a failure.
    MimeFile missing(new QFile(dir.filePath(QStringLiteral("gone.png"))));
    QCOMPARE(missing.toString(), QStringLiteral("Content-Type: application/octet-stream; name=\"gone.png\"\r\n"
                                                "Content-Transfer-Encoding: base64\r\n\r\n\r\n"));
    MimeFile none(nullptr);
    QCOMPARE(none.toString(), QStringLiteral("Content-Type: application/octet-stream\r\n"
                                             "Content-Transfer-Encoding: base64\r\n\r\n\r\n"));
}

void TestMime::ownership()
{
    QPointer<QFile> file = new QFile(QStringLiteral("/nonexistent/x.bin"));
    auto *part = new MimeInlineFile(file);
    QVERIFY(file);
    delete part;
    QVERIFY(file.isNull());

    QPointer<MimePart> content;
    EmailAddress sender(QStringLiteral("s@x.test"));
    QPointer<MimeText> text = new MimeText(QStringLiteral("kept"));
    {
        MimeMessage message;
        content = message.getContent();
        message.setSender(&sender);
        message.addPart(text);
        QVERIFY(message.toString().contains(QStringLiteral("kept")));
    }
    QVERIFY(content.isNull()); // the automatic multipart goes with the message
    QVERIFY(!text.isNull());   // added parts stay with the caller
    QCOMPARE(sender.getAddress(), QStringLiteral("s@x.test"));
    delete text;
}

void TestMime::pythonEmailParserView()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pngPath = dir.filePath(QStringLiteral("tamsel.png"));
    const QByteArray png = makePng();
    {
        QFile file(pngPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(png);
    }

    const QString htmlText = QStringLiteral("<html><body><img src=\"cid:tamsel\"/>"
                                            "<p>Funkgerät „Nord 7“: Akku schwach – Zustand mäßig ✓</p>\n"
                                            ".\n"
                                            "</body></html>");
    EmailAddress sender(QStringLiteral("voltkeep@norvale.test"), QStringLiteral("Voltkeep Server"));
    EmailAddress to(QStringLiteral("admin@norvale.test"), QStringLiteral("Admin"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&to);
    message.setSubject(QStringLiteral("Battery report"));
    MimeHtml html(htmlText);
    MimeInlineFile image(new QFile(pngPath));
    image.setContentId(QStringLiteral("tamsel"));
    image.setContentType(QStringLiteral("image/png"));
    message.addPart(&html);
    message.addPart(&image);

    const QString messagePath = dir.filePath(QStringLiteral("message.eml"));
    {
        QFile file(messagePath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(message.toString().toUtf8());
    }

    QProcess python;
    python.start(TestPaths::python(),
                 {QDir(QStringLiteral(VK_MAIL_TEST_DIR)).filePath(QStringLiteral("mime_view.py")), messagePath});
    QVERIFY(python.waitForFinished(30000));
    const QByteArray errors = python.readAllStandardError();
    QVERIFY2(python.exitCode() == 0, errors.constData());
    QJsonParseError parseError;
    const QJsonObject view = QJsonDocument::fromJson(python.readAllStandardOutput(), &parseError).object();
    QVERIFY2(parseError.error == QJsonParseError::NoError, qPrintable(parseError.errorString()));

    QCOMPARE(view.value(QStringLiteral("content_type")).toString(), QStringLiteral("multipart/related"));
    QCOMPARE(view.value(QStringLiteral("from")).toString(), QStringLiteral("Voltkeep Server <voltkeep@norvale.test>"));
    QCOMPARE(view.value(QStringLiteral("to")).toString(), QStringLiteral("Admin <admin@norvale.test>"));
    QCOMPARE(view.value(QStringLiteral("subject")).toString(), QStringLiteral("Battery report"));
    QVERIFY(!view.value(QStringLiteral("date")).toString().isEmpty());
    QCOMPARE(view.value(QStringLiteral("defects")).toArray().size(), 0);

    const QJsonArray parts = view.value(QStringLiteral("parts")).toArray();
    QCOMPARE(parts.size(), 2);
    const QJsonObject htmlPart = parts.at(0).toObject();
    QCOMPARE(htmlPart.value(QStringLiteral("content_type")).toString(), QStringLiteral("text/html"));
    QCOMPARE(htmlPart.value(QStringLiteral("charset")).toString(), QStringLiteral("utf-8"));
    QCOMPARE(htmlPart.value(QStringLiteral("defects")).toArray().size(), 0);
    // The part's final CR LF belongs to the next delimiter, so the text comes back unchanged
    // (the reader gives the CR LF of the wire back as line feeds).
    QCOMPARE(htmlPart.value(QStringLiteral("text")).toString(), htmlText);

    const QJsonObject imagePart = parts.at(1).toObject();
    QCOMPARE(imagePart.value(QStringLiteral("content_type")).toString(), QStringLiteral("image/png"));
    QCOMPARE(imagePart.value(QStringLiteral("content_id")).toString(), QStringLiteral("<tamsel>"));
    QCOMPARE(imagePart.value(QStringLiteral("disposition")).toString(), QStringLiteral("inline"));
    QCOMPARE(imagePart.value(QStringLiteral("filename")).toString(), QStringLiteral("tamsel.png"));
    QCOMPARE(imagePart.value(QStringLiteral("defects")).toArray().size(), 0);
    QCOMPARE(QByteArray::fromBase64(imagePart.value(QStringLiteral("payload")).toString().toLatin1()), png);
}

void TestMime::bodyLinesEndInCrLf()
{
    // Bare LF, bare CR and CR LF all become CR LF; the text parts of both programs go as 8bit.
    MimeText text(QStringLiteral("Battery Report\nCount: 3\rExcellent: 1\r\nGood: 2\n\nend"));
    const QString rendered = text.toString();
    QVERIFY2(rendered.endsWith(QStringLiteral("\r\n\r\nBattery Report\r\nCount: 3\r\nExcellent: 1\r\n"
                                              "Good: 2\r\n\r\nend\r\n")),
             qPrintable(rendered));

    MimePart seven;
    seven.setContentType(QStringLiteral("text/plain"));
    seven.setContent("a\nb");
    QVERIFY(seven.toString().endsWith(QStringLiteral("\r\n\r\na\r\nb\r\n")));

    // A whole message as the server's text mail: no LF anywhere without its CR, and the
    // reader gets the same lines back.
    EmailAddress sender(QStringLiteral("voltkeep@example.test"), QStringLiteral("Voltkeep"));
    EmailAddress to(QStringLiteral("sms@example.test"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&to);
    const QString plain = QStringLiteral("Battery Report\nCount: 300\nExcellent: 112\nGood: 90\nFair: 60\nPoor: 38");
    MimeText part(plain);
    message.addPart(&part);
    const QByteArray bytes = message.toString().toUtf8();
    QCOMPARE(bytes.count("\r\n"), bytes.count('\n'));
    QCOMPARE(bytes.count("\r\n"), bytes.count('\r'));
    const QJsonObject view = pythonView(bytes);
    QVERIFY(!view.isEmpty());
    const QString decoded = view.value(QStringLiteral("parts")).toArray().at(0).toObject().value(QStringLiteral("text")).toString();
    QCOMPARE(decoded, plain);
}

void TestMime::messageIds()
{
    const QRegularExpression form(QStringLiteral("^<([0-9a-f]{32})@([^>]+)>$"));
    EmailAddress sender(QStringLiteral("ops@mail.norvale.test"));
    MimeMessage first;
    MimeMessage second;
    first.setSender(&sender);
    second.setSender(&sender);

    const QRegularExpressionMatch one = form.match(first.getMessageId());
    const QRegularExpressionMatch two = form.match(second.getMessageId());
    QVERIFY2(one.hasMatch(), qPrintable(first.getMessageId()));
    QVERIFY(two.hasMatch());
    QCOMPARE(one.captured(2), QStringLiteral("mail.norvale.test"));
    QVERIFY(one.captured(1) != two.captured(1));

    // Right after the Date line, the same on every rendering of one message.
    const QStringList lines = linesOf(first.toString());
    QVERIFY(lines.at(4).startsWith(QStringLiteral("Date: ")));
    QCOMPARE(lines.at(5), QStringLiteral("Message-ID: ") + first.getMessageId());
    QCOMPARE(linesOf(first.toString()).at(5), lines.at(5));
    QCOMPARE(first.toString().count(QStringLiteral("Message-ID:")), 1);

    // Many messages, no repeat.
    QSet<QString> ids;
    for (int i = 0; i < 500; ++i)
        ids.insert(MimeMessage().getMessageId());
    QCOMPARE(ids.size(), 500);

    // A sender address without a usable domain: the host name takes its place.
    QString host = QSysInfo::machineHostName();
    if (!QRegularExpression(QStringLiteral("^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*$")).match(host).hasMatch())
        host = QStringLiteral("localhost");
    for (const QString &address : {QStringLiteral("ops"), QStringLiteral("ops@"), QStringLiteral("ops@bad domain")}) {
        EmailAddress local(address);
        first.setSender(&local);
        const QRegularExpressionMatch m = form.match(first.getMessageId());
        QVERIFY2(m.hasMatch(), qPrintable(first.getMessageId()));
        QCOMPARE(m.captured(2), host);
        QCOMPARE(m.captured(1), one.captured(1));
    }
    MimeMessage noSender;
    QVERIFY(form.match(noSender.getMessageId()).hasMatch());

    // Python's reader takes it as the message's identifier.
    first.setSender(&sender);
    const QJsonObject view = pythonView(first.toString().toUtf8());
    QCOMPARE(view.value(QStringLiteral("message_id")).toString(), first.getMessageId());
}

void TestMime::displayNames()
{
    EmailAddress sender(QStringLiteral("s@x.test"), QStringLiteral("Voltkeep Server"));
    EmailAddress comma(QStringLiteral("ops@example.test"), QStringLiteral("Smith, J."));
    EmailAddress quotes(QStringLiteral("q@x.test"), QStringLiteral("The \"Boss\" \\ co"));
    EmailAddress atoms(QStringLiteral("a@x.test"), QStringLiteral("R2-D2 o'Neil {x}"));
    EmailAddress umlauts(QStringLiteral("j@x.test"), QStringLiteral("Jörg Müller"));
    EmailAddress trick(QStringLiteral("t@x.test"), QStringLiteral("=?utf-8?B?QQ==?="));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&comma);
    message.addRecipient(&quotes, MimeMessage::Cc);
    message.addRecipient(&atoms, MimeMessage::Cc);
    message.addRecipient(&umlauts, MimeMessage::Cc);
    message.addRecipient(&trick, MimeMessage::Cc);

    const QStringList lines = linesOf(message.toString());
    QCOMPARE(lines.at(0), QStringLiteral("From: Voltkeep Server <s@x.test>"));
    QCOMPARE(lines.at(1), QStringLiteral("To: \"Smith, J.\" <ops@example.test>"));
    // Folded before the blank that would take the line past 78 characters.
    QCOMPARE(lines.at(2), QStringLiteral("Cc: \"The \\\"Boss\\\" \\\\ co\" <q@x.test>, R2-D2 o'Neil {x} <a@x.test>,"));
    // A name that looks like an encoded word is encoded itself, so a reader shows it as written;
    // a name that fits one word is not split to fill a line.
    QCOMPARE(lines.at(3), QStringLiteral(" =?utf-8?B?SsO2cmcgTcO8bGxlcg==?= <j@x.test>,"));
    QCOMPARE(lines.at(4), QStringLiteral(" =?utf-8?B?PT91dGYtOD9CP1FRPT0/PQ==?= <t@x.test>"));
    for (const QString &line : lines.mid(0, 5))
        QVERIFY2(line.size() <= 78, qPrintable(line));

    // A long name outside ASCII: several words, none over 75 characters, no line over 78,
    // split between whole characters (the 4-byte emoji included).
    QString longName;
    for (int i = 0; i < 12; ++i)
        longName += QStringLiteral("Grüße 😀 ");
    EmailAddress longOne(QStringLiteral("long@x.test"), longName);
    MimeMessage second;
    second.setSender(&longOne);
    const QString text = second.toString();
    const QStringList from = linesOf(text.left(text.indexOf(QStringLiteral("\r\nTo:"))));
    QVERIFY(from.size() > 2);
    for (const QString &line : from) {
        QVERIFY2(line.size() <= 78, qPrintable(line));
        for (const QString &word : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (word.startsWith(QStringLiteral("=?"))) {
                QVERIFY2(word.size() <= 75, qPrintable(word));
                QVERIFY(QString::fromUtf8(QByteArray::fromBase64(word.mid(10, word.size() - 12).toLatin1()))
                            .toUtf8()
                        == QByteArray::fromBase64(word.mid(10, word.size() - 12).toLatin1()));
            }
        }
    }
}

void TestMime::displayNamesAndSubjectForReaders()
{
    QString subject = QStringLiteral("Akku-Warnung für Funkgerät „Nord 7“: Zustand mäßig, bitte prüfen ✓ ");
    subject += subject + QStringLiteral("😀 Ende");
    EmailAddress sender(QStringLiteral("voltkeep@norvale.test"), QStringLiteral("Jörg Müller"));
    EmailAddress comma(QStringLiteral("ops@example.test"), QStringLiteral("Smith, J."));
    EmailAddress quotes(QStringLiteral("q@example.test"), QStringLiteral("O\"Brien \\ Co (HQ)"));
    EmailAddress plain(QStringLiteral("p@example.test"), QStringLiteral("Plain Name"));
    MimeMessage message;
    message.setSender(&sender);
    message.addRecipient(&comma);
    message.addRecipient(&quotes);
    message.addRecipient(&plain);
    message.setSubject(subject);
    MimeText body(QStringLiteral("x"));
    message.addPart(&body);

    const QString text = message.toString();
    for (const QString &line : linesOf(text.left(text.indexOf(QStringLiteral("\r\n\r\n")))))
        QVERIFY2(line.size() <= 78, qPrintable(line));

    const QJsonObject view = pythonView(text.toUtf8());
    QVERIFY(!view.isEmpty());
    QCOMPARE(view.value(QStringLiteral("from_addresses")).toArray(),
             (QJsonArray{pair(QStringLiteral("Jörg Müller"), QStringLiteral("voltkeep@norvale.test"))}));
    QCOMPARE(view.value(QStringLiteral("to_addresses")).toArray(),
             (QJsonArray{pair(QStringLiteral("Smith, J."), QStringLiteral("ops@example.test")),
                         pair(QStringLiteral("O\"Brien \\ Co (HQ)"), QStringLiteral("q@example.test")),
                         pair(QStringLiteral("Plain Name"), QStringLiteral("p@example.test"))}));
    QCOMPARE(view.value(QStringLiteral("subject")).toString(), subject);
    QCOMPARE(view.value(QStringLiteral("from_defects")).toArray().size(), 0);
    QCOMPARE(view.value(QStringLiteral("to_defects")).toArray().size(), 0);
    QCOMPARE(view.value(QStringLiteral("subject_defects")).toArray().size(), 0);

    // The same with Q words chosen by the header encoding.
    message.setHeaderEncoding(MimePart::EncodingQuotedPrintable);
    const QString qText = message.toString();
    for (const QString &line : linesOf(qText.left(qText.indexOf(QStringLiteral("\r\n\r\n")))))
        QVERIFY2(line.size() <= 78, qPrintable(line));
    const QJsonObject qView = pythonView(qText.toUtf8());
    QCOMPARE(qView.value(QStringLiteral("subject")).toString(), subject);
    QCOMPARE(qView.value(QStringLiteral("to_addresses")).toArray().at(1).toArray(),
             pair(QStringLiteral("O\"Brien \\ Co (HQ)"), QStringLiteral("q@example.test")));
    QCOMPARE(qView.value(QStringLiteral("to_defects")).toArray().size(), 0);
}

void TestMime::relatedNamesTheTypeOfItsRoot()
{
    MimeHtml html(QStringLiteral("<p>x</p>"));
    MimeText text(QStringLiteral("x"));
    MimeInlineFile image(new QFile(QStringLiteral("/nonexistent/tamsel.png")));
    image.setContentType(QStringLiteral("image/png"));

    MimeMultiPart htmlRoot;
    htmlRoot.addPart(&html);
    htmlRoot.addPart(&image);
    // The parameter would take the line past 78 characters, so it goes on a folded line.
    QVERIFY(htmlRoot.toString().startsWith(QStringLiteral("Content-Type: multipart/related; boundary=")
                                           + htmlRoot.getBoundary() + QStringLiteral(";\r\n type=\"text/html\"\r\n")));

    MimeMultiPart textRoot;
    textRoot.addPart(&text);
    QVERIFY(textRoot.toString().startsWith(QStringLiteral("Content-Type: multipart/related; boundary=")
                                           + textRoot.getBoundary() + QStringLiteral(";\r\n type=\"text/plain\"\r\n")));

    // Only related multiparts have a root.
    MimeMultiPart mixed(MimeMultiPart::Mixed);
    mixed.addPart(&text);
    QVERIFY(!mixed.toString().contains(QStringLiteral("type=")));

    // As a reader sees the HTML mail of the server.
    EmailAddress sender(QStringLiteral("s@x.test"));
    MimeMessage message;
    message.setSender(&sender);
    MimeHtml html2(QStringLiteral("<p>y</p>"));
    message.addPart(&html2);
    message.addPart(&image);
    const QJsonObject view = pythonView(message.toString().toUtf8());
    QCOMPARE(view.value(QStringLiteral("content_type")).toString(), QStringLiteral("multipart/related"));
    QCOMPARE(view.value(QStringLiteral("type_param")).toString(), QStringLiteral("text/html"));
    QCOMPARE(view.value(QStringLiteral("defects")).toArray().size(), 0);
}

QTEST_GUILESS_MAIN(TestMime)
#include "tst_mime.moc"
