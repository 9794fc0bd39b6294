#include "ui/longwork.h"

#include <chrono>
#include <condition_variable>
#include <thread>

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace duplivo {

namespace {

const QString stopping = QStringLiteral("Deteniendo…");
const QString cannotStopNow = QStringLiteral(
    "La base de datos no puede detener la instrucción en curso: se detendrá al terminarla.");

// While work runs, keeps the operator's input from the window (and a close from its title bar,
// which would end the program in the middle of a write); drawing and the window system's own
// messages go on. The progress window is a window of its own and takes input.
class InputBlocker final : public QObject
{
public:
    explicit InputBlocker(QWidget* window)
        : m_window(window)
    {
        QCoreApplication::instance()->installEventFilter(this);
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    }
    ~InputBlocker() override
    {
        QGuiApplication::restoreOverrideCursor();
        QCoreApplication::instance()->removeEventFilter(this);
    }
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!watched->isWidgetType() || static_cast<QWidget*>(watched)->window() != m_window)
            return false;
        switch (event->type()) {
        case QEvent::Close:
            event->ignore();
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        default:
            return false;
        }
    }

private:
    QWidget* m_window;
};

// The one thread the work of every window runs on, for the process's whole life: a thread
// started for each piece of work would cost a small copy more than the copy itself, and a thread
// that ends runs the destructors of its thread-local data, which under MinGW have crashed in
// Qt's (its regular expressions' stacks). It is Qt's own: a thread Qt meets only when it runs Qt
// code is adopted, and on Windows the watcher of adopted threads has kept the process from
// ending. It ends with the process.
class Worker
{
public:
    static Worker& instance()
    {
        static Worker* const worker = new Worker;
        return *worker;
    }

    void post(std::function<void()> job)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_job = std::move(job);
        }
        m_wake.notify_one();
    }

private:
    Worker()
    {
        QThread* const thread = QThread::create([this] { loop(); });
        thread->setObjectName(QStringLiteral("Duplivo: trabajo"));
        thread->start();
    }

    [[noreturn]] void loop()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return bool(m_job); });
                job = std::move(m_job);
                m_job = nullptr;
            }
            job();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::function<void()> m_job;
};

} // namespace

LongWork::LongWork(QWidget* window)
    : m_window(window)
{ }

LongWork::~LongWork() = default;

void LongWork::progress(qint64 done, qint64 total)
{
    m_done = done;
    m_total = total;
}

void LongWork::setLabel(const QString& label)
{
    const std::lock_guard<std::mutex> lock(m_labelMutex);
    m_label = label;
    m_done = 0;
    m_total = 0;
}

QString LongWork::label() const
{
    const std::lock_guard<std::mutex> lock(m_labelMutex);
    return m_label;
}

void LongWork::run(
    const QString& label, const std::function<void()>& work, const std::function<bool()>& stop)
{
    std::exception_ptr failure;
    std::atomic<bool> finished = false;
    // The worker wakes the window's thread through its event dispatcher, which any thread may
    // do: it makes no call into Qt that needs to know the thread (under Wine, Qt adopting a
    // thread it did not start has crashed, and a thread of its own has kept the process from
    // ending).
    QAbstractEventDispatcher* const dispatcher = QAbstractEventDispatcher::instance();
    setLabel(label);
    m_note.clear();
    const InputBlocker blocker(m_window);
    // Once `finished` is set the window's thread may leave: nothing of this frame is touched
    // after it, and the dispatcher is the window thread's and outlives it.
    Worker::instance().post([&work, &failure, &finished, dispatcher] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        finished = true;
        dispatcher->wakeUp();
    });

    // Most work ends within a millisecond or two. Until then the window's thread only watches
    // for the end, as a lock that is about to be free is waited for: waking a sleeping thread
    // costs the system more than a small copy's share of the work.
    const auto watchUntil = std::chrono::steady_clock::now() + watchFor;
    while (
        !finished.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < watchUntil)
        std::this_thread::yield();
    if (!finished) {
        QTimer quiet;
        quiet.setSingleShot(true);
        QObject::connect(&quiet, &QTimer::timeout, m_window, [&] { showProgress(stop); });
        quiet.start(quietMs);
        while (!finished)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    delete m_dialog;
    if (failure)
        std::rethrow_exception(failure);
}

void LongWork::showProgress(const std::function<bool()>& stop)
{
    auto* dialog = new QProgressDialog(label(), QStringLiteral("Cancelar"), 0, 0, m_window);
    m_dialog = dialog;
    dialog->setWindowTitle(QStringLiteral("Duplivo"));
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setAutoReset(false);
    dialog->setAutoClose(false);
    dialog->setMinimumDuration(0);
    // "Cancelar", Escape and closing the window all say canceled (Escape, where the dialog did
    // not have the keyboard yet, rejects it); the dialog hides itself then, and comes back
    // saying what happens to the work.
    const auto stopAsked = [this, dialog, stop] {
        m_note = QStringLiteral("\n\n") + (stop() ? stopping : cannotStopNow);
        dialog->setCancelButton(nullptr);
        dialog->setLabelText(label() + m_note);
        dialog->show();
    };
    QObject::connect(dialog, &QProgressDialog::canceled, dialog, stopAsked);
    QObject::connect(dialog, &QDialog::rejected, dialog, stopAsked);
    auto* tick = new QTimer(dialog);
    QObject::connect(tick, &QTimer::timeout, dialog, [this, dialog] {
        if (const QString text = label() + m_note; dialog->labelText() != text)
            dialog->setLabelText(text);
        const qint64 total = m_total;
        dialog->setMaximum(int(std::min<qint64>(total, INT_MAX)));
        if (total > 0)
            dialog->setValue(int(std::min<qint64>(m_done, INT_MAX)));
    });
    tick->start(100);
    dialog->show();
}

} // namespace duplivo
