#pragma once
// The automation interface on the session bus: the service org.onyx.Corvina with the objects
// /CoDevice (interface org.onyx.Corvina.ICoDevice) and /CoRecord (org.onyx.Corvina.ICoRecord).
// Each method calls the automation objects of app/Automation.h and converts the types: 32-bit
// integers are "i", texts "s", integer arrays "ai" and the single-precision times and rates "d".
// A failed call becomes the bus error kBusErrorFail or kBusErrorPointer with the failure's text;
// arguments of the wrong types get the bus's standard InvalidArgs error. The introspection data
// is the one shipped in packaging/dbus/.
//
// cAutomationBus is what the program's start-up uses in automation mode: it registers the
// objects, takes the service name (a later instance may take it over; the hook "name lost" then
// tells this one to end), keeps the unique names of the clients that have called and says when
// the last of them has left the bus, and says when no client has called within an idle time.
//
// Thread: the thread of the connection (the main thread); calls arrive through its event loop.

#include <QDBusConnection>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>

class QDBusServiceWatcher;
class QDBusVirtualObject;
class QTimer;

inline constexpr char kBusServiceName[] = "org.onyx.Corvina";
inline constexpr char kBusDevicePath[] = "/CoDevice";
inline constexpr char kBusRecordPath[] = "/CoRecord";
inline constexpr char kBusDeviceInterface[] = "org.onyx.Corvina.ICoDevice";
inline constexpr char kBusRecordInterface[] = "org.onyx.Corvina.ICoRecord";
inline constexpr char kBusErrorFail[] = "org.onyx.Corvina.Error.Fail";
inline constexpr char kBusErrorPointer[] = "org.onyx.Corvina.Error.Pointer";

// The interface element of each shipped introspection file.
const char* BusDeviceIntrospection();
const char* BusRecordIntrospection();

class cAutomationBus {
public:
    using Hook = std::function<void()>;

    explicit cAutomationBus(QDBusConnection connection);
    // Releases the name and unregisters the objects.
    ~cAutomationBus();
    cAutomationBus(const cAutomationBus&) = delete;
    cAutomationBus& operator=(const cAutomationBus&) = delete;

    // Registers /CoDevice and /CoRecord. False (see ErrorText) when the bus is not connected or
    // a path is taken.
    bool RegisterObjects();
    // Takes kBusServiceName, replacing an owner that allows it, and allows a later instance to
    // replace this one. False (see ErrorText) when the name cannot be had.
    bool RequestName();
    bool OwnsName() const { return m_ownsName; }
    // Why the last RegisterObjects or RequestName failed.
    const QString& ErrorText() const { return m_error; }

    // Hooks, each run from the event loop: the name went to another instance; the last client
    // that has called left the bus; no client called within the idle time.
    void SetNameLostHook(Hook hook) { m_nameLost = std::move(hook); }
    void SetLastClientGoneHook(Hook hook) { m_lastClientGone = std::move(hook); }
    void SetIdleHook(Hook hook) { m_idle = std::move(hook); }

    // Runs the idle hook once when no call arrives within ms (for a start by bus activation
    // whose client never calls). The first call stops it.
    void StartIdleTimer(int ms);

    // Unique names of the clients that have called and are still on the bus.
    int ClientCount() const { return int(m_clients.size()); }

    // Called by the objects for every method call they handle, with the caller's unique name.
    void NoteCall(const QString& sender);

private:
    void ClientLeft(const QString& name);

    QDBusConnection m_connection;
    std::unique_ptr<QDBusVirtualObject> m_device, m_record;
    std::unique_ptr<QDBusServiceWatcher> m_clientWatcher; // NameOwnerChanged of the clients
    std::unique_ptr<QDBusServiceWatcher> m_nameWatcher;   // NameOwnerChanged of our name
    std::unique_ptr<QTimer> m_idleTimer;
    QSet<QString> m_clients;
    QString m_error;
    QString m_uniqueName;
    bool m_registered = false;
    bool m_ownsName = false;
    long long m_calls = 0; // method calls handled
    Hook m_nameLost, m_lastClientGone, m_idle;
};
