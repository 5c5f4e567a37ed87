// The automation service over a real session bus (the test runs under dbus-run-session): the
// test host serves the automation objects on the simulated Kestrel-9, and clients on their own
// connections call every method, make bad calls, leave, and start a second service instance.

#include "app/ServiceRegistration.h"
#include "storage/PGFiles.h"
#include "tests/app/ShellTestUtil.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QList>
#include <QStringList>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using shelltest::Child;
using shelltest::TempDir;

const QString kService = QStringLiteral("org.onyx.Corvina");
const QString kDevicePath = QStringLiteral("/CoDevice");
const QString kRecordPath = QStringLiteral("/CoRecord");
const QString kDevice = QStringLiteral("org.onyx.Corvina.ICoDevice");
const QString kRecord = QStringLiteral("org.onyx.Corvina.ICoRecord");
const QString kFail = QStringLiteral("org.onyx.Corvina.Error.Fail");
const QString kInvalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
const QString kUnknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");

std::string S(const QString& text) {
    return text.toStdString();
}

// ---- the shipped introspection files, read independently of the service -------------------------

struct Arg {
    QString name, type, direction;
};
struct Method {
    QString name;
    std::vector<Arg> args;
    QString Signature(const QString& direction) const {
        QString s;
        for (const Arg& a : args)
            if (a.direction == direction) s += a.type;
        return s;
    }
};
struct Interface {
    QString name;
    QStringList lines; // everything inside the element, one line per element, in order
    std::vector<Method> methods;
};

// The interface elements of an introspection document, except the bus's standard ones.
std::vector<Interface> ParseInterfaces(const QString& xml) {
    std::vector<Interface> out;
    QXmlStreamReader r(xml);
    while (!r.atEnd()) {
        r.readNext();
        if (!r.isStartElement()) continue;
        const auto a = r.attributes();
        const QString tag = r.name().toString();
        if (tag == QLatin1String("interface")) {
            out.push_back({a.value(QLatin1String("name")).toString(), {}, {}});
        } else if (!out.empty() && tag == QLatin1String("method")) {
            out.back().methods.push_back({a.value(QLatin1String("name")).toString(), {}});
            out.back().lines << QStringLiteral("method %1").arg(out.back().methods.back().name);
        } else if (!out.empty() && tag == QLatin1String("arg")) {
            const QString direction = a.hasAttribute(QLatin1String("direction"))
                                          ? a.value(QLatin1String("direction")).toString()
                                          : QStringLiteral("in");
            Arg arg{a.value(QLatin1String("name")).toString(), a.value(QLatin1String("type")).toString(),
                    direction};
            out.back().lines << QStringLiteral("arg %1 %2 %3").arg(arg.name, arg.type, arg.direction);
            if (!out.back().methods.empty()) out.back().methods.back().args.push_back(arg);
        } else if (!out.empty() && tag == QLatin1String("annotation")) {
            out.back().lines << QStringLiteral("annotation %1=%2")
                                    .arg(a.value(QLatin1String("name")).toString(),
                                         a.value(QLatin1String("value")).toString());
        }
    }
    EXPECT_FALSE(r.hasError()) << S(r.errorString());
    std::erase_if(
        out, [](const Interface& i) { return i.name.startsWith(QLatin1String("org.freedesktop.DBus.")); });
    return out;
}

Interface Shipped(const QString& interface) {
    QFile file(QStringLiteral(CORVINA_SOURCE_DIR "/packaging/dbus/") + interface + QStringLiteral(".xml"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << S(file.fileName());
    const std::vector<Interface> all = ParseInterfaces(QString::fromUtf8(file.readAll()));
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? Interface{} : all.front();
}

// ---- records --------------------------------------------------------------------------------------

// seconds of a 1 Hz wave at 500 samples per second.
void WriteRecord(const std::string& path, double seconds) {
    PGFiles file;
    ASSERT_TRUE(file.Create(MString(path)));
    std::vector<double> block(50);
    for (int b = 0; b < int(seconds * 10); ++b) {
        for (int i = 0; i < 50; ++i) block[size_t(i)] = 0.5 + 0.3 * std::sin((b * 50 + i) * 0.002 * 2 * M_PI);
        ASSERT_TRUE(file.WriteSamples(block.data(), 50, 0.002));
    }
    file.Close();
}

double LengthOf(const std::string& path) {
    PGFiles file;
    EXPECT_TRUE(file.Open(MString(path), PGFiles::OpenMode::ReadOnly));
    return file.EndTime() - file.StartTime();
}

// ---- bus clients and the service ----------------------------------------------------------------

// A client on a connection of its own, so that it can leave the bus.
class Client {
public:
    Client() : m_name(QStringLiteral("client%1").arg(++s_count)) {
        m_connection.emplace(QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_name));
        EXPECT_TRUE(m_connection->isConnected()) << S(m_connection->lastError().message());
    }
    ~Client() { Leave(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    QDBusMessage Call(const QString& path, const QString& interface, const QString& member,
                      const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, path, interface, member);
        m.setArguments(args);
        return m_connection->call(m, QDBus::Block, 20000);
    }
    // The single result of a successful call.
    QVariant Result(const QString& path, const QString& interface, const QString& member,
                    const QVariantList& args = {}) {
        const QDBusMessage reply = Call(path, interface, member, args);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage)
            << S(member) << ": " << S(reply.errorName()) << " " << S(reply.errorMessage());
        return reply.arguments().value(0);
    }
    QList<int> Ints(const QString& path, const QString& interface, const QString& member,
                    const QVariantList& args = {}) {
        return qdbus_cast<QList<int>>(Result(path, interface, member, args));
    }
    QDBusConnection& Connection() { return *m_connection; }
    void Leave() {
        if (!m_connection) return;
        m_connection.reset();
        QDBusConnection::disconnectFromBus(m_name);
    }

private:
    static inline int s_count = 0;
    QString m_name;
    std::optional<QDBusConnection> m_connection;
};

std::string RealPathOf(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool NameOwned(Client& client) {
    const QDBusReply<bool> r = client.Connection().interface()->isServiceRegistered(kService);
    return r.isValid() && r.value();
}

class BusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_dbus";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    }
    void SetUp() override {
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        ASSERT_TRUE(address && *address) << "run under dbus-run-session";
    }
    // Starts a service instance and waits until it has the name.
    std::unique_ptr<Child> StartHost(const std::vector<std::string>& args = {}) {
        auto host = std::make_unique<Child>(args, std::map<std::string, std::string>{},
                                            dir.File("host" + std::to_string(++hosts)), std::string(),
                                            CORVINA_DBUS_HOST_EXE);
        EXPECT_TRUE(host->WaitForOutput("ready", 20s)) << host->Stderr();
        return host;
    }

    TempDir dir;
    int hosts = 0;
};

// ---- introspection ------------------------------------------------------------------------------

TEST_F(BusTest, IntrospectionIsTheShippedOne) {
    auto host = StartHost();
    Client client;
    struct Case {
        QString path, interface;
    };
    for (const Case& c : {Case{kDevicePath, kDevice}, Case{kRecordPath, kRecord}}) {
        SCOPED_TRACE(S(c.path));
        const QString xml = client
                                .Result(c.path, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                        QStringLiteral("Introspect"))
                                .toString();
        const std::vector<Interface> served = ParseInterfaces(xml);
        ASSERT_EQ(served.size(), 1u) << "one interface per object";
        const Interface shipped = Shipped(c.interface);
        EXPECT_EQ(served[0].name, c.interface);
        EXPECT_EQ(served[0].lines, shipped.lines);
        EXPECT_EQ(shipped.methods.size(), c.interface == kDevice ? 8u : 6u);
    }
}

// Every method of the shipped files answers with the shipped result types, called with
// arguments of the shipped types.
TEST_F(BusTest, EveryMethodAnswersWithTheShippedSignature) {
    const std::string record = dir.File("rec.pwv");
    WriteRecord(record, 10);
    auto host = StartHost();
    Client client;
    struct Case {
        QString path, interface;
    };
    for (const Case& c : {Case{kDevicePath, kDevice}, Case{kRecordPath, kRecord}}) {
        for (const Method& m : Shipped(c.interface).methods) {
            SCOPED_TRACE(S(m.name));
            QVariantList args;
            for (const Arg& a : m.args) {
                if (a.direction != QLatin1String("in")) continue;
                if (a.type == QLatin1String("s")) args << QString::fromStdString(record);
                if (a.type == QLatin1String("d")) args << 1.0;
                if (a.type == QLatin1String("i")) args << 100;
            }
            const QDBusMessage reply = client.Call(c.path, c.interface, m.name, args);
            ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage)
                << S(reply.errorName()) << " " << S(reply.errorMessage());
            EXPECT_EQ(reply.signature(), m.Signature(QStringLiteral("out")));
        }
    }
}

// ---- the methods ----------------------------------------------------------------------------------

TEST_F(BusTest, DeviceMethodsOnTheSimulatedKestrel) {
    auto host = StartHost();
    Client client;
    auto Int = [&](const char* member) {
        return client.Result(kDevicePath, kDevice, QLatin1String(member)).toInt();
    };

    // Plugged in at start, so it connected by itself.
    EXPECT_EQ(Int("IsConnected"), 1);
    std::this_thread::sleep_for(300ms); // packets arrive
    const QList<int> raw = client.Ints(kDevicePath, kDevice, QStringLiteral("GetRawData"));
    EXPECT_GT(raw.size(), 28);
    for (int v : raw) ASSERT_TRUE(v >= 0 && v <= 65535) << v;

    // Connect while connected disconnects; then nothing more arrives.
    EXPECT_EQ(Int("Connect"), 0);
    EXPECT_EQ(Int("IsConnected"), 0);
    client.Ints(kDevicePath, kDevice, QStringLiteral("GetRawData"));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(client.Ints(kDevicePath, kDevice, QStringLiteral("GetRawData")).isEmpty());

    EXPECT_EQ(Int("Connect"), 1);
    const QDBusMessage disconnect = client.Call(kDevicePath, kDevice, QStringLiteral("Disconnect"));
    EXPECT_EQ(disconnect.type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(disconnect.arguments().isEmpty());
    EXPECT_EQ(Int("IsConnected"), 0);

    const double hr = client.Result(kDevicePath, kDevice, QStringLiteral("GetHeartRate")).toDouble();
    EXPECT_GE(hr, 0.0);
    EXPECT_EQ(hr, double(float(hr))) << "a single-precision value";
    const int dc = Int("GetDcOffset"), hf = Int("GetHfAmp"), lf = Int("GetLfAmp");
    EXPECT_TRUE(dc >= 0 && dc <= 65535) << dc;
    EXPECT_TRUE(hf >= 0 && hf <= 255) << hf;
    EXPECT_TRUE(lf >= 0 && lf <= 255) << lf;
}

TEST_F(BusTest, RecordMethodsOnATemporaryRecord) {
    const std::string longRecord = dir.File("long.pwv"), shortRecord = dir.File("short.pwv");
    WriteRecord(longRecord, 30);
    WriteRecord(shortRecord, 2);
    auto host = StartHost();
    Client client;
    auto Open = [&](const std::string& path) {
        return client.Result(kRecordPath, kRecord, QStringLiteral("OpenFile"), {QString::fromStdString(path)})
            .toInt();
    };
    auto Double = [&](const char* member, const QVariantList& args = {}) {
        return client.Result(kRecordPath, kRecord, QLatin1String(member), args).toDouble();
    };
    auto Read = [&](int count) {
        return client.Ints(kRecordPath, kRecord, QStringLiteral("ReadSamples"), {count});
    };

    EXPECT_EQ(Open(shortRecord), 0) << "shorter than 3 s: no length";
    EXPECT_EQ(Open(dir.File("missing.pwv")), 0);
    ASSERT_EQ(Open(longRecord), 1);

    const double length = Double("GetLength");
    EXPECT_EQ(length, double(float(LengthOf(longRecord))));
    EXPECT_EQ(Double("GoToPos", {1000.0}), length) << "past the end: at the last time stamp";
    EXPECT_EQ(Double("GetPos"), length);
    const double landed = Double("GoToPos", {2.5});
    EXPECT_GE(landed, 2.5);
    EXPECT_LE(landed, 2.5 + 0.0031);

    EXPECT_EQ(Read(0).size(), 1);
    EXPECT_EQ(Read(-5).size(), 1);
    const QList<int> many = Read(50'000);
    EXPECT_EQ(many.size(), 10'000);
    for (int v : many) ASSERT_TRUE(v >= 199 && v <= 800) << v; // 0.2 ... 0.8 in thousandths
    EXPECT_GE(Double("GetHeartRate"), 0.0);
}

// ---- bad calls --------------------------------------------------------------------------------------

TEST_F(BusTest, BadCallsGetTheirErrorNames) {
    auto host = StartHost();
    Client client;
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        QString path, interface, member;
        QVariantList args;
        QString error;
    };
    const std::vector<Case> cases = {
        {"NaN position", kRecordPath, kRecord, "GoToPos", {std::nan("")}, kFail},
        {"infinite position", kRecordPath, kRecord, "GoToPos", {-inf}, kFail},
        {"beyond single precision", kRecordPath, kRecord, "GoToPos", {1e300}, kFail},
        {"position as text", kRecordPath, kRecord, "GoToPos", {QStringLiteral("1")}, kInvalidArgs},
        {"count as double", kRecordPath, kRecord, "ReadSamples", {5.0}, kInvalidArgs},
        {"file name missing", kRecordPath, kRecord, "OpenFile", {}, kInvalidArgs},
        {"file name as number", kRecordPath, kRecord, "OpenFile", {42}, kInvalidArgs},
        {"argument too many", kDevicePath, kDevice, "IsConnected", {1}, kInvalidArgs},
        {"no such method", kDevicePath, kDevice, "Reset", {}, kUnknownMethod},
        {"method of the other object",
         kDevicePath,
         kRecord,
         "GetLength",
         {},
         QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface")},
        {"no such object",
         QStringLiteral("/CoNothing"),
         kDevice,
         "IsConnected",
         {},
         QStringLiteral("org.freedesktop.DBus.Error.UnknownObject")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QDBusMessage reply = client.Call(c.path, c.interface, c.member, c.args);
        ASSERT_EQ(reply.type(), QDBusMessage::ErrorMessage);
        EXPECT_EQ(reply.errorName(), c.error);
        EXPECT_FALSE(reply.errorMessage().isEmpty());
    }
    // The service is still there and well.
    EXPECT_EQ(client.Call(kRecordPath, kRecord, QStringLiteral("GetPos")).type(), QDBusMessage::ReplyMessage);
}

TEST_F(BusTest, WithoutADeviceObjectTheDeviceMethodsFail) {
    auto host = StartHost({"--no-device"});
    Client client;
    for (const char* member : {"IsConnected", "Connect", "Disconnect"}) {
        SCOPED_TRACE(member);
        const QDBusMessage reply = client.Call(kDevicePath, kDevice, QLatin1String(member));
        ASSERT_EQ(reply.type(), QDBusMessage::ErrorMessage);
        EXPECT_EQ(reply.errorName(), kFail);
        EXPECT_TRUE(reply.errorMessage().contains(QLatin1String("no device object")))
            << S(reply.errorMessage());
    }
    EXPECT_TRUE(client.Ints(kDevicePath, kDevice, QStringLiteral("GetRawData")).isEmpty());
}

// ---- clients, idle time and a second instance -------------------------------------------------

TEST_F(BusTest, TheServiceEndsWhenItsLastClientLeaves) {
    auto host = StartHost();
    Client a, b, watcher;
    a.Result(kDevicePath, kDevice, QStringLiteral("IsConnected"));
    b.Result(kRecordPath, kRecord, QStringLiteral("GetPos"));
    // Introspection alone does not make a client.
    watcher.Result(kDevicePath, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                   QStringLiteral("Introspect"));

    a.Leave();
    EXPECT_FALSE(host->Wait(500ms)) << "b is still there";
    b.Leave();
    EXPECT_EQ(host->Wait(10s), std::optional<int>(0));
    EXPECT_FALSE(NameOwned(watcher));
}

TEST_F(BusTest, WithoutACallTheIdleTimeEndsTheService) {
    auto idle = StartHost({"--idle-ms=300"});
    EXPECT_EQ(idle->Wait(10s), std::optional<int>(3));

    // A call in time stops the idle timer: the service then ends when that client leaves.
    auto used = StartHost({"--idle-ms=300"});
    {
        Client client;
        client.Result(kDevicePath, kDevice, QStringLiteral("GetHfAmp"));
        EXPECT_FALSE(used->Wait(1s));
    }
    EXPECT_EQ(used->Wait(10s), std::optional<int>(0));
}

TEST_F(BusTest, ALaterInstanceTakesTheNameOver) {
    auto first = StartHost();
    auto second = StartHost();
    EXPECT_EQ(first->Wait(10s), std::optional<int>(225));
    Client client;
    EXPECT_EQ(client.Result(kDevicePath, kDevice, QStringLiteral("IsConnected")).toInt(), 1);
    const QDBusReply<uint> owner = client.Connection().interface()->servicePid(kService);
    ASSERT_TRUE(owner.isValid());
    EXPECT_EQ(pid_t(owner.value()), second->Pid());
}

TEST_F(BusTest, ANameHeldWithoutReplacementStopsTheStart) {
    Client holder;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> r =
        holder.Connection().interface()->registerService(kService, QDBusConnectionInterface::DontQueueService,
                                                         QDBusConnectionInterface::DontAllowReplacement);
    ASSERT_TRUE(r.isValid());
    ASSERT_EQ(r.value(), QDBusConnectionInterface::ServiceRegistered);
    Child host({}, {}, dir.File("host"), std::string(), CORVINA_DBUS_HOST_EXE);
    EXPECT_EQ(host.Wait(20s), std::optional<int>(5));
    EXPECT_NE(host.Stderr().find("does not let it go"), std::string::npos) << host.Stderr();
}

// ---- a start by the bus -------------------------------------------------------------------------

// The activation file the registration writes starts the service for a client: the test host
// stands in for the program (it takes the --embedding the file adds), installed under a folder
// whose name needs quoting and escaping on the Exec line.
TEST_F(BusTest, TheRegisteredFileLetsTheBusStartTheService) {
    std::string error;
    const std::string folder = ServiceFolder(RegistrationScope::kPerUser, std::string(), error);
    ASSERT_FALSE(folder.empty()) << error;
    ASSERT_NE(std::getenv("XDG_DATA_HOME"), nullptr) << "the bus test runs with a data folder of its own";

    const std::string installed = dir.File("Corvina's \\ host");
    ASSERT_EQ(::mkdir(installed.c_str(), 0755), 0);
    const std::string program = installed + "/corvina";
    shelltest::WriteText(program, shelltest::ReadText(CORVINA_DBUS_HOST_EXE));
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const std::string text = ServiceFileText(program, {}, error);
    ASSERT_FALSE(text.empty()) << error;
    const sRegistrationResult written = WriteServiceFile(folder, text);
    ASSERT_TRUE(written.ok) << written.message;
    struct Unregister {
        std::string folder;
        ~Unregister() { RemoveServiceFile(folder); }
    } unregister{folder};

    Client client;
    auto reload = [&] {
        const QDBusMessage reply = client.Connection().call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig")));
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << S(reply.errorMessage());
    };
    reload();
    ASSERT_FALSE(NameOwned(client));
    EXPECT_EQ(client.Result(kDevicePath, kDevice, QStringLiteral("IsConnected")).toInt(), 1);
    const QDBusReply<uint> pid = client.Connection().interface()->servicePid(kService);
    ASSERT_TRUE(pid.isValid());
    EXPECT_EQ(RealPathOf("/proc/" + std::to_string(pid.value()) + "/exe"), RealPathOf(program));

    EXPECT_TRUE(RemoveServiceFile(folder).ok);
    reload(); // no start by the bus in later tests
    Client watcher;
    client.Leave(); // the last client: the started service ends
    for (int i = 0; i < 200 && NameOwned(watcher); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(NameOwned(watcher));
}

// ---- the command-line clients the README shows ----------------------------------------------------

std::string RunTool(const std::string& command, const std::string& outFile) {
    const int rc = std::system((command + " > " + outFile + " 2>&1").c_str());
    std::string out = shelltest::ReadText(outFile);
    EXPECT_EQ(rc, 0) << command << "\n" << out;
    return out;
}

TEST_F(BusTest, CommandLineClientsReachTheService) {
    const std::string record = dir.File("rec.pwv");
    WriteRecord(record, 10);
    auto host = StartHost();
    Client keeper; // keeps the service up between the tools' calls
    keeper.Result(kDevicePath, kDevice, QStringLiteral("IsConnected"));
    const std::string out = dir.File("tool.out");
    if (std::system("command -v busctl > /dev/null") == 0) {
        EXPECT_EQ(
            RunTool("busctl --user call org.onyx.Corvina /CoDevice org.onyx.Corvina.ICoDevice IsConnected",
                    out),
            "i 1\n");
        EXPECT_EQ(
            RunTool("busctl --user call org.onyx.Corvina /CoRecord org.onyx.Corvina.ICoRecord OpenFile s " +
                        record,
                    out),
            "i 1\n");
    }
    if (std::system("command -v gdbus > /dev/null") == 0) {
        // "(6.0,)": the length, printed so that it reads back exactly.
        const std::string length = RunTool(
            "gdbus call --session -d org.onyx.Corvina -o /CoRecord -m org.onyx.Corvina.ICoRecord.GetLength",
            out);
        ASSERT_EQ(length.substr(0, 1), "(") << length;
        EXPECT_EQ(std::stod(length.substr(1)), double(float(LengthOf(record)))) << length;
    }
    if (std::system("/usr/bin/python3 -c 'import dbus' 2> /dev/null") == 0) {
        const std::string script = dir.File("client.py");
        shelltest::WriteText(script,
                             "import dbus\n"
                             "bus = dbus.SessionBus()\n"
                             "record = dbus.Interface(bus.get_object('org.onyx.Corvina', '/CoRecord'),\n"
                             "                        'org.onyx.Corvina.ICoRecord')\n"
                             "if record.OpenFile('" +
                                 record +
                                 "'):\n"
                                 "    record.GoToPos(1.0)\n"
                                 "    print(len(record.ReadSamples(500)))\n");
        EXPECT_EQ(RunTool("/usr/bin/python3 " + script, out), "500\n");
    }
}

} // namespace
