#include "app/dbus/AutomationBus.h"

#include "app/Automation.h"
#include "app/dbus/BusIntrospection.h" // generated from packaging/dbus/*.xml

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QList>
#include <QTimer>
#include <QVariant>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---- conversions --------------------------------------------------------------------------------

MString ToMString(const QString& text) {
    return MString(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size())));
}

// A double from the bus as the single-precision value the automation objects take; beyond the
// single-precision range it becomes an infinity (which they refuse) rather than an undefined
// conversion.
float ToSingle(double value) {
    if (value > double(FLT_MAX)) return std::numeric_limits<float>::infinity();
    if (value < -double(FLT_MAX)) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

QVariant IntArray(const std::vector<int32_t>& values) {
    return QVariant::fromValue(QList<int>(values.begin(), values.end()));
}

QDBusMessage Answer(const QDBusMessage& call, const sAutomationStatus& status, const QVariantList& results) {
    if (status.Ok()) return call.createReply(results);
    const char* name = status.code == AutomationCode::kPointer ? kBusErrorPointer : kBusErrorFail;
    return call.createErrorReply(QString::fromLatin1(name),
                                 QString::fromUtf8(status.text.data(), qsizetype(status.text.size())));
}

// ---- the methods --------------------------------------------------------------------------------

// One method of an interface: its name, the signature of its arguments and what it does (the
// arguments have been checked against the signature).
struct sBusMethod {
    const char* name;
    const char* signature;
    QDBusMessage (*call)(const QDBusMessage& message);
};

template <sAutomationStatus (cCoDevice::*Method)(int32_t*) const>
QDBusMessage DeviceInt(const QDBusMessage& m) {
    int32_t value = 0;
    const sAutomationStatus s = (cCoDevice().*Method)(&value);
    return Answer(m, s, {int(value)});
}

const sBusMethod kDeviceMethods[] = {
    {"IsConnected", "", DeviceInt<&cCoDevice::IsConnected>},
    {"Connect", "", DeviceInt<&cCoDevice::Connect>},
    {"Disconnect", "", [](const QDBusMessage& m) { return Answer(m, cCoDevice().Disconnect(), {}); }},
    {"GetRawData", "",
     [](const QDBusMessage& m) {
         std::vector<int32_t> data;
         const sAutomationStatus s = cCoDevice().GetRawData(&data);
         return Answer(m, s, {IntArray(data)});
     }},
    {"GetHeartRate", "",
     [](const QDBusMessage& m) {
         float hr = 0;
         const sAutomationStatus s = cCoDevice().GetHeartRate(&hr);
         return Answer(m, s, {double(hr)});
     }},
    {"GetDcOffset", "", DeviceInt<&cCoDevice::GetDcOffset>},
    {"GetHfAmp", "", DeviceInt<&cCoDevice::GetHfAmp>},
    {"GetLfAmp", "", DeviceInt<&cCoDevice::GetLfAmp>},
};

template <sAutomationStatus (cCoRecord::*Method)(float*) const>
QDBusMessage RecordFloat(const QDBusMessage& m) {
    float value = 0;
    const sAutomationStatus s = (cCoRecord().*Method)(&value);
    return Answer(m, s, {double(value)});
}

const sBusMethod kRecordMethods[] = {
    {"OpenFile", "s",
     [](const QDBusMessage& m) {
         int32_t ok = 0;
         const sAutomationStatus s = cCoRecord().OpenFile(ToMString(m.arguments().at(0).toString()), &ok);
         return Answer(m, s, {int(ok)});
     }},
    {"GetLength", "", RecordFloat<&cCoRecord::GetLength>},
    {"GoToPos", "d",
     [](const QDBusMessage& m) {
         float pos = 0;
         const sAutomationStatus s = cCoRecord().GoToPos(ToSingle(m.arguments().at(0).toDouble()), &pos);
         return Answer(m, s, {double(pos)});
     }},
    {"GetPos", "", RecordFloat<&cCoRecord::GetPos>},
    {"ReadSamples", "i",
     [](const QDBusMessage& m) {
         std::vector<int32_t> data;
         const sAutomationStatus s = cCoRecord().ReadSamples(m.arguments().at(0).toInt(), &data);
         return Answer(m, s, {IntArray(data)});
     }},
    {"GetHeartRate", "", RecordFloat<&cCoRecord::GetHeartRate>},
};

// One object with one interface. Introspection, Peer and Properties calls are left to QtDBus.
class cBusObject final : public QDBusVirtualObject {
public:
    template <size_t N>
    cBusObject(cAutomationBus& bus, const char* interface, const char* introspection,
               const sBusMethod (&methods)[N])
        : m_bus(bus), m_interface(QString::fromLatin1(interface)),
          m_introspection(QString::fromUtf8(introspection)), m_methods(methods), m_count(N) {}

    QString introspect(const QString&) const override { return m_introspection; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage) return false;
        const QString interface = message.interface();
        if (!interface.isEmpty() && interface != m_interface) return false;
        const sBusMethod* method = nullptr;
        for (size_t i = 0; i < m_count && !method; ++i)
            if (message.member() == QLatin1String(m_methods[i].name)) method = &m_methods[i];
        if (!method) {
            if (interface.isEmpty()) return false; // perhaps one of the standard interfaces
            connection.send(message.createErrorReply(
                QDBusError::UnknownMethod,
                QStringLiteral("%1 has no method %2").arg(m_interface, message.member())));
            return true;
        }
        m_bus.NoteCall(message.service());
        if (message.signature() != QLatin1String(method->signature)) {
            connection.send(message.createErrorReply(
                QDBusError::InvalidArgs, QStringLiteral("%1.%2 takes the arguments \"%3\", not \"%4\"")
                                             .arg(m_interface, message.member(),
                                                  QLatin1String(method->signature), message.signature())));
            return true;
        }
        connection.send(method->call(message));
        return true;
    }

private:
    cAutomationBus& m_bus;
    QString m_interface;
    QString m_introspection;
    const sBusMethod* m_methods;
    size_t m_count;
};

} // namespace

const char* BusDeviceIntrospection() {
    return kCoDeviceIntrospection;
}

const char* BusRecordIntrospection() {
    return kCoRecordIntrospection;
}

cAutomationBus::cAutomationBus(QDBusConnection connection)
    : m_connection(std::move(connection)),
      m_device(
          std::make_unique<cBusObject>(*this, kBusDeviceInterface, kCoDeviceIntrospection, kDeviceMethods)),
      m_record(
          std::make_unique<cBusObject>(*this, kBusRecordInterface, kCoRecordIntrospection, kRecordMethods)),
      m_clientWatcher(std::make_unique<QDBusServiceWatcher>(QString(), m_connection,
                                                            QDBusServiceWatcher::WatchForUnregistration)),
      m_nameWatcher(std::make_unique<QDBusServiceWatcher>(QString::fromLatin1(kBusServiceName), m_connection,
                                                          QDBusServiceWatcher::WatchForOwnerChange)),
      m_idleTimer(std::make_unique<QTimer>()) {
    m_uniqueName = m_connection.baseService();
    QObject::connect(m_clientWatcher.get(), &QDBusServiceWatcher::serviceUnregistered, m_clientWatcher.get(),
                     [this](const QString& name) { ClientLeft(name); });
    // Watched before the name is requested, so that losing it to a later instance is never missed.
    QObject::connect(m_nameWatcher.get(), &QDBusServiceWatcher::serviceOwnerChanged, m_nameWatcher.get(),
                     [this](const QString&, const QString&, const QString& newOwner) {
                         if (!m_ownsName || newOwner == m_uniqueName) return;
                         m_ownsName = false;
                         if (m_nameLost) m_nameLost();
                     });
    m_idleTimer->setSingleShot(true);
    QObject::connect(m_idleTimer.get(), &QTimer::timeout, m_idleTimer.get(), [this] {
        if (m_idle) m_idle();
    });
}

cAutomationBus::~cAutomationBus() {
    m_idleTimer->stop();
    if (m_ownsName) {
        m_ownsName = false;
        if (QDBusConnectionInterface* bus = m_connection.interface())
            bus->unregisterService(QString::fromLatin1(kBusServiceName));
    }
    if (m_registered) {
        m_connection.unregisterObject(QString::fromLatin1(kBusDevicePath));
        m_connection.unregisterObject(QString::fromLatin1(kBusRecordPath));
    }
}

bool cAutomationBus::RegisterObjects() {
    m_error.clear();
    if (m_registered) return true;
    if (!m_connection.isConnected()) {
        m_error = QStringLiteral("Not connected to the session bus: ") + m_connection.lastError().message();
        return false;
    }
    const QString device = QString::fromLatin1(kBusDevicePath), record = QString::fromLatin1(kBusRecordPath);
    if (!m_connection.registerVirtualObject(device, m_device.get())) {
        m_error = QStringLiteral("The object path %1 is already registered on this connection").arg(device);
        return false;
    }
    if (!m_connection.registerVirtualObject(record, m_record.get())) {
        m_connection.unregisterObject(device);
        m_error = QStringLiteral("The object path %1 is already registered on this connection").arg(record);
        return false;
    }
    m_registered = true;
    return true;
}

bool cAutomationBus::RequestName() {
    m_error.clear();
    QDBusConnectionInterface* bus = m_connection.isConnected() ? m_connection.interface() : nullptr;
    if (!bus) {
        m_error = QStringLiteral("Not connected to the session bus: ") + m_connection.lastError().message();
        return false;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
        QString::fromLatin1(kBusServiceName), QDBusConnectionInterface::ReplaceExistingService,
        QDBusConnectionInterface::AllowReplacement);
    if (!reply.isValid()) {
        m_error = QStringLiteral("The bus refused the name %1: %2")
                      .arg(QString::fromLatin1(kBusServiceName), reply.error().message());
        return false;
    }
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        m_error = QStringLiteral("The name %1 is held by another program that does not let it go")
                      .arg(QString::fromLatin1(kBusServiceName));
        return false;
    }
    m_ownsName = true;
    return true;
}

void cAutomationBus::StartIdleTimer(int ms) {
    if (m_calls == 0) m_idleTimer->start(ms > 0 ? ms : 0);
}

void cAutomationBus::NoteCall(const QString& sender) {
    ++m_calls;
    m_idleTimer->stop();
    if (sender.isEmpty() || m_clients.contains(sender)) return; // no sender: a direct connection
    m_clients.insert(sender);
    m_clientWatcher->addWatchedService(sender);
    // It may have left before the watch was in place: the bus answers after it has taken the
    // watch, so from here on its leaving is seen either way.
    QDBusConnectionInterface* bus = m_connection.interface();
    const QDBusReply<bool> present = bus ? bus->isServiceRegistered(sender) : QDBusReply<bool>();
    if (present.isValid() && !present.value())
        QTimer::singleShot(0, m_clientWatcher.get(), [this, sender] { ClientLeft(sender); });
}

void cAutomationBus::ClientLeft(const QString& name) {
    if (!m_clients.remove(name)) return;
    m_clientWatcher->removeWatchedService(name);
    if (m_clients.isEmpty() && m_lastClientGone) m_lastClientGone();
}
