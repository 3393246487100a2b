#include "app/logind/logind_inhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <cstdio>

#include "resources/string_table.h"

namespace rt88h::app {

namespace {

// logind answers at once; a bus that does not must not hold up Execute for long.
constexpr int kReplyTimeoutMs = 2000;

QString text(int id) {
  const std::string_view value = loadString(id);
  return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

void sayNotInhibited(const std::string& name, const QString& why) {
  const QString program = !name.empty() ? QString::fromStdString(name)
                          : QCoreApplication::instance() != nullptr
                              ? QCoreApplication::applicationName()
                              : QStringLiteral("rt88h-updater");
  std::fprintf(stderr, "%s: the computer may sleep or shut down during the update: %s\n",
               program.toLocal8Bit().constData(), why.toLocal8Bit().constData());
}

}  // namespace

void LogindInhibitor::take() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    sayNotInhibited(program_, QStringLiteral("no system bus (%1)").arg(bus.lastError().message()));
    return;
  }
  QDBusMessage inhibit = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  inhibit << QStringLiteral("sleep:shutdown:idle") << text(IDS_INHIBITOR_WHO)
          << text(IDS_INHIBITOR_WHY) << QStringLiteral("block");
  const QDBusMessage reply = bus.call(inhibit, QDBus::Block, kReplyTimeoutMs);
  if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
    held = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
  }
  if (!held.isValid()) {
    sayNotInhibited(program_, reply.type() == QDBusMessage::ErrorMessage
                                  ? QStringLiteral("logind: %1").arg(reply.errorMessage())
                                  : QStringLiteral("logind gave no descriptor"));
  }
}

void LogindInhibitor::release() {
  held = QDBusUnixFileDescriptor();
}

}  // namespace rt88h::app
