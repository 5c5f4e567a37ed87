#include "viewing/ui/ProgressRun.h"

#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>

#include <thread>

void RunWithProgress(QWidget* parent, const QString& label,
                     const std::function<void(std::atomic<int>&)>& work) {
    std::atomic<int> percent{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work(percent);
        done.store(true, std::memory_order_release);
    });

    QProgressDialog dialog(label, QString(), 0, 100, parent);
    dialog.setWindowTitle(label);
    dialog.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    dialog.setCancelButton(nullptr);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setValue(0);
    // At the minimum value this (re)starts the timer that shows the dialog if the work lasts.
    dialog.setMinimumDuration(400);

    QEventLoop loop;
    QTimer poll;
    poll.setInterval(40);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done.load(std::memory_order_acquire)) {
            loop.quit();
            return;
        }
        const int p = percent.load(std::memory_order_relaxed);
        if (p != dialog.value() && p >= 0 && p < 100) dialog.setValue(p);
    });
    poll.start();
    if (!done.load(std::memory_order_acquire)) loop.exec();
    worker.join();
    dialog.reset();
}
