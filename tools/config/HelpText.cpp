#include "HelpText.h"

#include <QMap>

namespace NVL::Engineering::VK {

namespace {

const char overview[] = R"(Usage: vkconfig COMMAND [ARGUMENTS] [--help]

Edits the notification configuration that the Voltkeep server reads and Bellwright edits, for servers
without a desktop. Every change is written at once, the same way Bellwright writes it.

Commands:
  show [--json]                     the whole configuration (never the password)
  smtp [OPTIONS]                    the mail server, login and sender
  test-mail                         send Bellwright's test mail to the sender's address
  recipient add NAME EMAIL [--text] add a recipient
  recipient remove NAME             remove a recipient (and take it out of notifications)
  recipient list                    list the recipients
  notification add ALIAS SCHEDULE --to NAME [--to NAME...] [--full|--summary]
  notification remove ALIAS
  notification list                 the notifications with their next due time
  type set CODE NAME                name a battery type code in the server's vk.cfg
  type remove CODE                  remove a type code's name
  type list                         the named type codes
  webhook add NAME URL [--events KINDS] [--secret S] [--due-days N] [--ca FILE]
  webhook remove NAME
  webhook list                      the webhooks as the server reads them
  webhook test NAME                 post a signed test event to a webhook

The file is <common>/Norvale/Cellwarden/Bellwright.JSON, <common> being $NORVALE_COMMON_APPDATA or
/var/lib. The running server picks a change up by itself within a few seconds; no restart is needed.
The type names and webhooks are in <common>/Norvale/Voltkeep/vk.cfg, which the server reads at start
only.

Exit status: 0 done, 1 usage, 2 value refused, 3 not found, 4 name taken, 5 file unreadable,
6 file not written, 7 Bellwright is running, 8 test mail failed, 9 test webhook not delivered.
)";

const char show[] = R"(Usage: vkconfig show [--json]

Prints the SMTP settings, the recipients and the notifications with their next due time. The password
is never printed, only whether one is set. --json prints the same as one JSON object.
)";

const char smtp[] = R"(Usage: vkconfig smtp [OPTIONS]

Changes only what the options name; without options prints the SMTP settings.
  --server HOST            the mail server: a host name or IP address
  --port PORT              1-65535
  --security MODE          none (plain TCP), ssl (TLS from the start, usually 465)
                           or starttls (usually 587)
  --auth | --no-auth       log in (AUTH LOGIN) or not
  --user USER              the login name
  --password-stdin         read the password from standard input (one line)
  --password               ask for the password on the terminal, without echo
  --sender-name NAME       the name mails come from
  --sender-email ADDRESS   the address mails come from, and where test-mail goes
The password is never taken as an argument and never printed.
)";

const char testMail[] = R"(Usage: vkconfig test-mail

Sends the test mail that Bellwright's Test button sends, to the sender's own address, with the
settings in the file. Prints the server and each step tried (connect, log in, send) with its outcome;
exits with 8 when the mail did not go out.
)";

const char recipient[] = R"(Usage: vkconfig recipient add NAME EMAIL [--text]
       vkconfig recipient remove NAME
       vkconfig recipient list

--text marks a mail-to-SMS gateway address: it gets the short plain-text message. Removing a
recipient takes it out of every notification that names it, and says which.
)";

const char notification[] = R"(Usage: vkconfig notification add ALIAS SCHEDULE --to NAME [--to NAME...] [--full|--summary]
       vkconfig notification remove ALIAS
       vkconfig notification list

SCHEDULE is one of
  --daily HH:MM[:SS]
  --weekly DAY HH:MM[:SS]          DAY is Mon, Tue, Wed, Thu, Fri, Sat or Sun
  --monthly DAY-OF-MONTH HH:MM[:SS]  1-31; past a month's end means its last day
  --annually MONTH DAY HH:MM[:SS]   MONTH is Jan..Dec or 1-12
  --alert Poor|Fair|Good           mail when a battery's health falls to that class
  --alert silent                   mail "battery silent" once when a battery stops reporting for
                                   [insight] silentDays of the server's vk.cfg
--full (the default) or --summary picks the report of a periodic notification. --to names a
recipient; give it once per recipient. Times are the server's local time. list prints each
notification with its next due time.
)";

const char type[] = R"(Usage: vkconfig type set CODE NAME
       vkconfig type remove CODE
       vkconfig type list

Names battery type codes in [types] of the server's vk.cfg; wherever a type shows, its name stands
for its code, and a code without a name shows as itself. CODE is 0x and up to 8 hex digits
(0x00c10100); NAME is up to 64 printable characters. The server reads at most 1,000 names. Only the
[types] lines change; every other line of vk.cfg stays as it is, and the file keeps its mode and owner.
The server reads vk.cfg at start: restart it to apply a change (systemctl restart voltkeep). list
prints the names as the server reads them and what it would leave out.
)";

const char webhook[] = R"(Usage: vkconfig webhook add NAME URL [--events KINDS] [--secret S] [--due-days N] [--ca FILE]
       vkconfig webhook remove NAME
       vkconfig webhook list
       vkconfig webhook test NAME

Receivers of signed events in [webhooks] of the server's vk.cfg. URL is https://, or http:// to a
loopback address only. KINDS is "all" (the default) or a comma list of battery.due, battery.now,
battery.class, battery.silent, site.flagged, mail.failed. battery.due is told when a battery's forecast
falls within N days (--due-days, 30 by default). Without --secret a random one is made and printed;
the receiver checks X-Voltkeep-Signature (sha256=HMAC of the body) with it. --ca names the authority
that signed the receiver's certificate, instead of the system's. test posts one signed event of kind
"test" and says whether the receiver took it. The server reads vk.cfg at start: restart it to apply a
change (systemctl restart voltkeep).
)";

} // namespace

QString helpText(const QString &command)
{
    static const QMap<QString, const char *> texts{
        {QStringLiteral("show"), show},
        {QStringLiteral("smtp"), smtp},
        {QStringLiteral("test-mail"), testMail},
        {QStringLiteral("recipient"), recipient},
        {QStringLiteral("notification"), notification},
        {QStringLiteral("type"), type},
        {QStringLiteral("webhook"), webhook},
    };
    // "recipient add" and its kin share the text of their group.
    const QString group = command.section(QLatin1Char(' '), 0, 0);
    return QString::fromUtf8(texts.value(group, overview));
}

} // namespace NVL::Engineering::VK
