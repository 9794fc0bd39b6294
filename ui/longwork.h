// Database work run off the window's thread, so that the window keeps drawing and answering the
// window system however long the work lasts. The window takes no input meanwhile; work that
// lasts longer than a second shows a progress window, whose "Cancelar" asks it to stop.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include <QPointer>
#include <QString>

class QProgressDialog;
class QWidget;

namespace duplivo {

class LongWork final
{
public:
    explicit LongWork(QWidget* window);
    ~LongWork();
    LongWork(const LongWork&) = delete;
    LongWork& operator=(const LongWork&) = delete;

    // Runs `work` on the worker thread and returns once it has ended, rethrowing what it threw.
    // `label` is what the progress window says; `stop` runs on the window's thread when the
    // operator asks to stop, and answers whether the statement running can be stopped before it
    // ends (the window then says it cannot).
    void run(
        const QString& label, const std::function<void()>& work, const std::function<bool()>& stop);

    // From the work's thread: how far it has got, in rows of a total; nothing is drawn until the
    // progress window shows. Without it the window shows a busy bar.
    void progress(qint64 done, qint64 total);
    // From the work's thread: what it does now, in place of `label`.
    void setLabel(const QString& label);

private:
    // How long work may run before the progress window shows.
    static constexpr int quietMs = 1000;
    // How long the window's thread watches for the work's end before it waits in its event loop.
    static constexpr std::chrono::microseconds watchFor {2000};

    void showProgress(const std::function<bool()>& stop);
    QString label() const;

    QWidget* m_window;
    QPointer<QProgressDialog> m_dialog;
    std::atomic<qint64> m_done = 0;
    std::atomic<qint64> m_total = 0;
    mutable std::mutex m_labelMutex;
    QString m_label;
    // What the progress window adds once the operator has asked to stop.
    QString m_note;
};

} // namespace duplivo
