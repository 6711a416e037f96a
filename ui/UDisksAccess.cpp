#include "ui/UDisksAccess.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QMessageBox>
#include <QStringList>
#include <QVariantMap>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "settings/Language.h"
#include "platform/Text.h"
#include "ui/GuiApp.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");

// ResolveDevice and the property read answer at once; OpenDevice waits while the user types
// the password into the polkit agent's dialog.
constexpr int kQuickCallMs = 25000;
constexpr int kOpenCallMs = 5 * 60 * 1000;

// Errors after which asking for another device is pointless: no bus, no service, or the
// user dismissed the password dialog (asking again per partition would pester them).
bool EndsAsking(const QString& errorName) {
  static const QStringList kNames = {
      QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
      QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
      QStringLiteral("org.freedesktop.DBus.Error.NoServer"),
      QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
      QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
      QStringLiteral("org.freedesktop.DBus.Error.Timeout"),
      QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
      QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
      QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
      QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"),
  };
  return kNames.contains(errorName) || errorName.startsWith(QStringLiteral("org.freedesktop.DBus.Error.Spawn"));
}

std::string Unavailable() {
  return text::ToUtf8(GetString("IDS_UDISKS_UNAVAILABLE", u"The desktop's disk service (UDisks2) is not available."));
}

std::string Refused(const QString& reason) {
  QString text = Q(GetString("IDS_UDISKS_REFUSED", u"The desktop's disk service (UDisks2) did not open it: %s"));
  const int at = text.indexOf(QStringLiteral("%s"));
  if (at >= 0) text.replace(at, 2, reason);
  return text.toStdString();
}

// The path without symbolic links (/dev/disk/by-id/... to /dev/sdb), as UDisks2 names it.
std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

int CUDisksBroker::OpenReadOnly(const std::string& path, std::string* why) {
  if (m_bGivenUp) {
    *why = m_strGivenUpWhy;
    return -1;
  }
  auto giveUp = [&](std::string reason) {
    m_bGivenUp = true;
    m_strGivenUpWhy = reason;
    *why = std::move(reason);
    return -1;
  };
  // An error reply: the reason, and whether to stop asking.
  auto failed = [&](const QDBusMessage& reply) {
    if (EndsAsking(reply.errorName()))
      return giveUp(reply.errorName().startsWith(QStringLiteral("org.freedesktop.UDisks2.")) ? Refused(reply.errorMessage())
                                                                                              : Unavailable());
    *why = Refused(reply.errorMessage());
    return -1;
  };

  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected() || !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
    return giveUp(Unavailable());

  // The block object of the path.
  QDBusMessage resolve = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerInterface,
                                                        QStringLiteral("ResolveDevice"));
  resolve << QVariantMap{{QStringLiteral("path"), QString::fromStdString(path)}} << QVariantMap{};
  QDBusMessage reply = bus.call(resolve, QDBus::Block, kQuickCallMs);
  if (reply.type() != QDBusMessage::ReplyMessage) return failed(reply);
  const QList<QDBusObjectPath> objects =
      reply.arguments().isEmpty() ? QList<QDBusObjectPath>{} : qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
  // The object whose Block.Device is the path (NUL-terminated bytes).
  const std::string wanted = Canonical(path);
  QString object;
  for (const QDBusObjectPath& candidate : objects) {
    QDBusMessage get = QDBusMessage::createMethodCall(kService, candidate.path(),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kBlockInterface << QStringLiteral("Device");
    QDBusMessage value = bus.call(get, QDBus::Block, kQuickCallMs);
    if (value.type() != QDBusMessage::ReplyMessage || value.arguments().isEmpty()) continue;
    QByteArray device = value.arguments().at(0).value<QDBusVariant>().variant().toByteArray();
    if (const qsizetype nul = device.indexOf('\0'); nul >= 0) device.truncate(nul);
    if (device.toStdString() == wanted || device.toStdString() == path) {
      object = candidate.path();
      break;
    }
  }
  if (object.isEmpty()) {
    *why = Refused(QStringLiteral("it lists no block device %1").arg(QString::fromStdString(path)));
    return -1;
  }

  // Read-only; the polkit agent may ask for the password.
  QDBusMessage open = QDBusMessage::createMethodCall(kService, object, kBlockInterface, QStringLiteral("OpenDevice"));
  open << QStringLiteral("r") << QVariantMap{{QStringLiteral("auth.no_user_interaction"), false}};
  open.setInteractiveAuthorizationAllowed(true);
  reply = bus.call(open, QDBus::Block, kOpenCallMs);
  if (reply.type() != QDBusMessage::ReplyMessage) return failed(reply);
  if (reply.arguments().isEmpty()) {
    *why = Refused(QStringLiteral("no descriptor in the reply"));
    return -1;
  }
  const QDBusUnixFileDescriptor given = reply.arguments().at(0).value<QDBusUnixFileDescriptor>();
  // The reply's descriptor closes with it: a copy of our own is kept.
  const int fd = given.isValid() ? ::fcntl(given.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
  if (fd < 0) *why = Refused(QStringLiteral("no descriptor in the reply"));
  return fd;
}

CDeviceAccessScope::CDeviceAccessScope() { devaccess::SetBroker(&m_broker); }
CDeviceAccessScope::~CDeviceAccessScope() { devaccess::SetBroker(nullptr); }

void ReportRefusedDevices(QWidget* parent, const std::vector<devaccess::Denial>& refused) {
  const std::vector<std::string> messages = devaccess::DenialMessages(refused);
  if (messages.empty()) return;
  QStringList texts;
  for (const std::string& m : messages) texts << QString::fromStdString(m);
  QMessageBox::warning(parent, QStringLiteral("Tarnwell Quarrow"), texts.join(QStringLiteral("\n\n")));
}
