#include "ui/UpdateCheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTimer>
#include <memory>

#include "app/Updater.h"
#include "platform/Profile.h"

// The address of the update information file, chosen when the program is built.
#ifndef QUARROW_UPDATE_URL
#define QUARROW_UPDATE_URL "http://updates.tarnwell.example/quarrow_update.ini"
#endif

#ifndef QUARROW_VERSION
#define QUARROW_VERSION "0.0.0"
#endif

namespace {

// The platform's proxy settings (http_proxy and no_proxy, or the desktop's), for this check
// only: the rest of the program is left as it is.
class CSystemProxyFactory : public QNetworkProxyFactory {
 public:
  QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
    return QNetworkProxyFactory::systemProxyForQuery(query);
  }
};

bool IsLoopbackHost(const QString& host) {
  if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) return true;
  QHostAddress address;
  return address.setAddress(host) && address.isLoopback();
}

bool IsVersionText(const QString& s) {
  static const QRegularExpression re(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
  return re.match(s).hasMatch();
}

// Compares two runs of decimal digits as whole numbers of any length.
int CompareDigits(QString a, QString b) {
  auto strip = [](QString& s) {
    int i = 0;
    while (i + 1 < s.size() && s[i] == QLatin1Char('0')) ++i;
    s = s.mid(i);
  };
  strip(a);
  strip(b);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return QString::compare(a, b);
}

}  // namespace

QUrl UpdateInfoUrl() {
  const QByteArray fromEnvironment = qgetenv("QUARROW_UPDATE_URL");
  if (!fromEnvironment.trimmed().isEmpty()) return QUrl(QString::fromUtf8(fromEnvironment.trimmed()));
  return QUrl(QStringLiteral(QUARROW_UPDATE_URL));
}

QString LocalProductVersion() { return QStringLiteral(QUARROW_VERSION); }

QString ServerVersionOf(const QByteArray& ini) {
  // Read with the program's own INI reader, through a private temporary file (a fixed name in
  // the shared temporary folder could be planted by someone else).
  QTemporaryFile file(QDir::tempPath() + QStringLiteral("/quarrow_update-XXXXXX.ini"));
  if (!file.open() || file.write(ini) != ini.size() || !file.flush()) return {};
  const std::string path = QFile::encodeName(file.fileName()).toStdString();
  std::optional<std::string> value = profile::Read(path, "Quarrow", "VERSION");
  if (!value) return {};
  return QString::fromUtf8(value->substr(0, 127)).trimmed();
}

bool IsNewerVersion(const QString& localText, const QString& serverText) {
  const QString local = localText.trimmed(), server = serverText.trimmed();
  if (!IsVersionText(local) || !IsVersionText(server)) return false;
  const QStringList l = local.split(QLatin1Char('.')), s = server.split(QLatin1Char('.'));
  if (l.size() <= 2 && s.size() <= 2) {
    // Decimal numbers: whole parts, then the fractions padded with zeros to one length.
    if (int c = CompareDigits(l[0], s[0])) return c < 0;
    QString lf = l.size() > 1 ? l[1] : QString(), sf = s.size() > 1 ? s[1] : QString();
    const qsizetype width = std::max(lf.size(), sf.size());
    lf = lf.leftJustified(width, QLatin1Char('0'));
    sf = sf.leftJustified(width, QLatin1Char('0'));
    return QString::compare(lf, sf) < 0;
  }
  for (qsizetype i = 0; i < std::max(l.size(), s.size()); ++i) {
    const QString a = i < l.size() ? l[i] : QStringLiteral("0");
    const QString b = i < s.size() ? s[i] : QStringLiteral("0");
    if (int c = CompareDigits(a, b)) return c < 0;
  }
  return false;
}

bool CheckForUpdateAt(const QUrl& url, int timeoutMs, QString* error) {
  auto fail = [error](const QString& why) {
    if (error) *error = why;
    return false;
  };
  if (error) error->clear();
  if (!QCoreApplication::instance()) return fail(QStringLiteral("no application object"));
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
      url.host().isEmpty())
    return fail(QStringLiteral("not an http address: %1").arg(url.toString()));

  QNetworkAccessManager manager;
  if (IsLoopbackHost(url.host()))
    manager.setProxy(QNetworkProxy::NoProxy);
  else
    manager.setProxyFactory(new CSystemProxyFactory);  // the manager owns it
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::UserAgentHeader,
                    QStringLiteral("Tarnwell Quarrow/%1").arg(LocalProductVersion()));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  // Asked for explicitly, the body is never decompressed here, so the size limit holds for
  // what is read, not for a small compressed answer that unpacks to gigabytes.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setTransferTimeout(timeoutMs);

  std::unique_ptr<QNetworkReply> reply(manager.get(request));
  QByteArray body;
  bool tooLarge = false, timedOut = false;
  auto take = [&] {
    // Never more than one byte past the limit is kept.
    body += reply->read(kUpdateInfoMaxBytes + 1 - body.size());
    if (body.size() > kUpdateInfoMaxBytes && !tooLarge) {
      tooLarge = true;
      reply->abort();
    }
  };
  QEventLoop loop;
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, take);
  QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
    timedOut = true;
    reply->abort();
    loop.quit();
  });
  deadline.start(timeoutMs);
  if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  deadline.stop();
  if (!tooLarge && !timedOut && reply->isFinished()) take();

  if (timedOut) return fail(QStringLiteral("no answer within %1 ms").arg(timeoutMs));
  if (tooLarge) return fail(QStringLiteral("the answer is larger than %1 bytes").arg(kUpdateInfoMaxBytes));
  if (reply->error() == QNetworkReply::OperationCanceledError &&
      reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isNull())
    return fail(QStringLiteral("no answer within %1 ms").arg(timeoutMs));  // the transfer time-out
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (!status.isNull() && status.toInt() != 200) return fail(QStringLiteral("HTTP status %1").arg(status.toInt()));
  if (reply->error() != QNetworkReply::NoError) return fail(reply->errorString());
  if (status.isNull()) return fail(QStringLiteral("no HTTP answer"));
  const QString server = ServerVersionOf(body);
  if (server.isEmpty()) return fail(QStringLiteral("the answer names no version"));
  return IsNewerVersion(LocalProductVersion(), server);
}

bool CheckForUpdate(QString* error) { return CheckForUpdateAt(UpdateInfoUrl(), kUpdateCheckTimeoutMs, error); }

bool StartUpdaterQuietly() { return RunUpdater(true); }

bool StartUpdaterInteractive() { return RunUpdater(false); }
