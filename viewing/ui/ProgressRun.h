#pragma once
// Long work of a window (an import, reading a long fragment) on a worker thread, with a progress
// dialog meanwhile: the window stays responsive and cannot be used again until the work is done
// (the dialog is modal to it). The work gets a percentage to set (0 ... 100) and must not touch
// any widget; its results come back to the caller on the main thread when RunWithProgress
// returns.
//
// Main thread.

#include <QString>

#include <atomic>
#include <functional>

class QWidget;

// Runs work(percent) on a worker thread and waits for it with a progress dialog over `parent`
// showing `label` (after a short delay, so that quick work shows none). No cancel button.
void RunWithProgress(QWidget* parent, const QString& label,
                     const std::function<void(std::atomic<int>&)>& work);
