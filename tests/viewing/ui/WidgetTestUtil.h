#pragma once
// Widget tests: a QApplication on the offscreen platform for the whole test executable, a plain
// top-level window to host a form's ContainerPanel (as the main window docks it), and answering
// the modal dialogs that the code under test opens (file dialog, prompt, message boxes).

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdlib>
#include <functional>
#include <memory>

namespace uitest {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "widget_test";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QApplication> m_app;
};

// One application for the whole executable, however many test files include this.
inline ::testing::Environment* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// A top-level window holding a form's panel, as the main window's work area does.
class Host {
public:
    explicit Host(QWidget* panel, int width = 1200, int height = 500) : m_panel(panel) {
        m_oldParent = panel->parentWidget();
        m_window.setObjectName("TestHost");
        auto* layout = new QVBoxLayout(&m_window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(panel);
        m_window.resize(width, height);
        m_window.show();
        QCoreApplication::processEvents();
    }
    ~Host() {
        // Back to its form, as the main window does when another view is docked.
        m_panel->setParent(m_oldParent);
    }
    QWidget& Window() { return m_window; }

private:
    QWidget m_window;
    QWidget* m_panel;
    QWidget* m_oldParent;
};

// Runs `act` on the next modal widget of type T that becomes active (within 5 s); the code under
// test is about to open it. Several may be queued; each waits for its own widget.
template <class T>
void OnModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, act] {
        QWidget* w = QApplication::activeModalWidget();
        T* t = w ? qobject_cast<T*>(w) : nullptr;
        if (!t && clock->elapsed() < 5000) return;
        timer->stop();
        timer->deleteLater();
        delete clock;
        if (t)
            act(t);
        else
            ADD_FAILURE() << "no modal " << T::staticMetaObject.className() << " appeared";
    });
    timer->start();
}

} // namespace uitest
