#include "ui/Forms.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMoveEvent>
#include <QEvent>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xproto.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/MessageQueue.h"
#include "ui/KWidget.h"

namespace kapo {

TApplication* Application = nullptr;

namespace {

// The write end of the application's signal pipe: a handler may only write a byte, the loop
// does the rest.
std::atomic<int> gSignalPipeWrite{-1};

extern "C" void noteTerminationSignal(int)
{
    int saved = errno;
    int fd = gSignalPipeWrite.load();
    if (fd >= 0) {
        char byte = 1;
        (void)!::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

// On X11 another program may destroy the main window outright (a session tool, a window
// manager's kill); Qt then keeps running without it, so the loop is ended as for a close.
class KWindowGoneFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType != "xcb_generic_event_t") return false;
        auto* e = static_cast<xcb_generic_event_t*>(message);
        if ((e->response_type & 0x7F) != XCB_DESTROY_NOTIFY || !Application || !Application->MainForm()) return false;
        auto* d = reinterpret_cast<xcb_destroy_notify_event_t*>(e);
        QWidget* w = Application->MainForm()->Widget();
        if (w->internalWinId() != 0 && d->window == static_cast<xcb_window_t>(w->internalWinId())) Application->Terminate();
        return false;
    }
};

// Hands the keys pressed anywhere in a form to the form first.
class KKeyPreview : public QObject {
public:
    explicit KKeyPreview(TForm* form) : FForm(form)
    {
        if (qApp) qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* receiver, QEvent* e) override
    {
        if (e->type() != QEvent::KeyPress) return false;
        auto* w = qobject_cast<QWidget*>(receiver);
        if (!w || w->window() != FForm->Widget()) return false;
        // A key goes to the focus widget first (to the window when none of its widgets has the
        // focus) and then, left there, to the parents: only the first delivery is previewed.
        QWidget* focus = QApplication::focusWidget();
        if (w != (focus && focus->window() == FForm->Widget() ? focus : FForm->Widget())) return false;
        auto* k = static_cast<QKeyEvent*>(e);
        unsigned short key = VirtualKeyOf(k->key());
        if (!key) return false;
        TShiftState shift = ShiftStateOf(k->modifiers(), Qt::NoButton);
        TForm* form = FForm;
        GuardCall([&] { form->KeyDown(key, shift); });
        return key == 0;
    }

private:
    TForm* FForm;
};

// The top-level widget of a form: adds activation and closing to the control's widget.
class KFormWidget : public KWidget {
public:
    explicit KFormWidget(TForm* form) : KWidget(form) {}

protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        // The preview has shown the form this key already.
        if (FControl && static_cast<TForm*>(FControl)->KeyPreview()) return;
        KWidget::keyPressEvent(e);
    }
    void changeEvent(QEvent* e) override
    {
        KWidget::changeEvent(e);
        if (e->type() != QEvent::ActivationChange || !FControl) return;
        auto* f = static_cast<TForm*>(FControl);
        bool active = isActiveWindow();
        if (active == f->FActive) return;
        GuardCall([&] {
            if (active) f->Activate();
            else f->Deactivate();
        });
    }
    void moveEvent(QMoveEvent* e) override
    {
        KWidget::moveEvent(e);
        if (!FControl) return;
        auto* f = static_cast<TForm*>(FControl);
        f->FLeft = x();
        f->FTop = y();
    }
    void closeEvent(QCloseEvent* e) override
    {
        // Closing the main window ends the program through the loop, like the close button.
        if (FControl && Application && Application->MainForm() == FControl) Application->Terminate();
        e->accept();
    }
};

// ---- TForm ---------------------------------------------------------------------------

TForm::TForm(TComponent* owner) : TCustomControl(owner)
{
    // Replace the plain control widget with a top-level one.
    QWidget* old = Widget();
    if (auto* kw = qobject_cast<KWidget*>(old)) kw->Detach();
    delete old;
    auto* w = new KFormWidget(this);
    w->setFocusPolicy(Qt::NoFocus);
    SetWidget(w);
    FVisible = false;
    HandleNeeded();
}

TForm::~TForm()
{
    BeforeDestruction();
    DestroyComponents();
}

void TForm::BeforeDestruction()
{
    if (!FDestroyed) GuardCall([this] { DoDestroy(); });
}

void TForm::SetCaption(const std::string& c)
{
    FCaption = c;
    Widget()->setWindowTitle(QString::fromStdString(c));
}

void TForm::SetBorderStyle(TFormBorderStyle b)
{
    FBorderStyle = b;
    Qt::WindowFlags flags = Qt::Window;
    if (b == bsFormNone) flags |= Qt::FramelessWindowHint;
    // Where a compositor draws the window (wayland, X11 with a compositing manager), a window
    // region limits input only: a transparent surface lets the pixels outside it show the
    // desktop. Without one the region cuts them away.
    if (b == bsFormNone) Widget()->setAttribute(Qt::WA_TranslucentBackground);
    bool shown = Widget()->isVisible();
    if (Widget()->windowFlags() != flags) {
        Widget()->setWindowFlags(flags);
        Widget()->setGeometry(FLeft, FTop, FWidth, FHeight);
        if (shown) Widget()->show();
    }
}

void TForm::SetBounds(int left, int top, int width, int height)
{
    TCustomControl::SetBounds(left, top, width, height);
}

void TForm::Close()
{
    if (Application && Application->MainForm() == this) Application->Terminate();
    else Hide();
}

void TForm::SetKeyPreview(bool on)
{
    if (on == KeyPreview()) return;
    if (on) FKeyPreview = std::make_unique<KKeyPreview>(this);
    else FKeyPreview.reset();
}

void TForm::MoveBy(int dx, int dy)
{
    SetBounds(FLeft + dx, FTop + dy, FWidth, FHeight);
}

bool TForm::StartSystemMove()
{
    if (!QGuiApplication::platformName().startsWith("wayland")) return false;
    QWindow* w = Widget()->windowHandle();
    return w && w->startSystemMove();
}

void TForm::DoCreate()
{
    if (auto handler = OnCreate) handler(this);
}

void TForm::Activate()
{
    FActive = true;
    if (auto handler = OnActivate) handler(this);
}

void TForm::Deactivate()
{
    FActive = false;
    if (auto handler = OnDeactivate) handler(this);
}

void TForm::DoDestroy()
{
    FDestroyed = true;
    if (auto handler = OnDestroy) handler(this);
}

// ---- TApplication --------------------------------------------------------------------

TApplication::TApplication()
{
    Application = this;
}

TApplication::~TApplication()
{
    // Forms go while the Qt application still exists.
    DestroyComponents();
    for (auto it = FOldSignalActions.rbegin(); it != FOldSignalActions.rend(); ++it)
        ::sigaction(it->first, &it->second, nullptr);
    FSignalNotifier.reset();
    if (FSignalPipe[1] >= 0) {
        gSignalPipeWrite.store(-1);
        ::close(FSignalPipe[0]);
        ::close(FSignalPipe[1]);
    }
    if (FWindowGone && qApp) qApp->removeNativeEventFilter(FWindowGone.get());
    FWindowGone.reset();
    FQtApp.reset();
    if (Application == this) Application = nullptr;
}

void AttachMessageQueueToQt()
{
    static QSocketNotifier* notifier = nullptr;
    if (notifier) return;
    if (QThread::currentThread() != qApp->thread())
        throw EInvalidOperation("The message queue can be attached to Qt on the GUI thread only");
    // The GUI thread's queue lives until the thread ends, which is after Qt's application.
    MessageQueue* q = &MessageQueue::Current();
    notifier = new QSocketNotifier(q->PollFd(), QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [q] {
        GuardCall([q] { q->ProcessPending(); });
        if (q->QuitReceived()) {
            q->ResetQuit();
            if (Application) Application->Terminate();
        }
    });
    QObject::connect(qApp, &QObject::destroyed, [q] {
        notifier = nullptr;
        q->SetPump(nullptr, nullptr);
    });
    // Only this queue's pump serves Qt: a worker thread pumping its own queue never runs the
    // GUI's event loop.
    q->SetPump([q] { if (Application) Application->ProcessMessages(); else q->ProcessPending(); },
               [q](int t) { if (Application) Application->WaitForWork(t); else q->WaitNext(t); });
}

void TApplication::Initialize(int& argc, char** argv)
{
    if (!QApplication::instance()) FQtApp = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!FWindowGone) {
        FWindowGone = std::make_unique<KWindowGoneFilter>();
        qApp->installNativeEventFilter(FWindowGone.get());
    }
    AttachMessageQueueToQt();
}

void TApplication::Notification(TComponent* component, TOperation operation)
{
    if (operation == opRemove && component == FMainForm) FMainForm = nullptr;
}

void TApplication::RegisterForm(TForm* f)
{
    if (!FMainForm) FMainForm = f;
    GuardCall([f] { f->DoCreate(); });
}

void TApplication::Run()
{
    if (FMainForm) {
        FMainForm->Show();
        FMainForm->Widget()->show();
        FMainForm->Widget()->activateWindow();
    }
    while (!FTerminated) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void TApplication::TerminateOnSignals(std::initializer_list<int> signalNumbers)
{
    if (FSignalPipe[0] < 0) {
        if (::pipe2(FSignalPipe, O_NONBLOCK | O_CLOEXEC) != 0) throw EOutOfResources(std::strerror(errno));
        gSignalPipeWrite.store(FSignalPipe[1]);
        FSignalNotifier = std::make_unique<QSocketNotifier>(FSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(FSignalNotifier.get(), &QSocketNotifier::activated, FSignalNotifier.get(), [this] {
            char buf[64];
            while (::read(FSignalPipe[0], buf, sizeof buf) > 0) {
            }
            Terminate();
        });
    }
    sigset_t set;
    sigemptyset(&set);
    for (int sig : signalNumbers) {
        struct sigaction sa {};
        sa.sa_handler = noteTerminationSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        struct sigaction old {};
        if (::sigaction(sig, &sa, &old) != 0) throw Exception(Format("Cannot handle signal %d", sig));
        FOldSignalActions.emplace_back(sig, old);
        sigaddset(&set, sig);
    }
    // A parent may have started us with these blocked; one sent early is delivered now and ends
    // the run through the loop.
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void TApplication::Terminate()
{
    FTerminated = true;
    // Wake a loop that is waiting for events.
    if (QCoreApplication::instance()) QTimer::singleShot(0, qApp, [] {});
    if (auto handler = OnTerminate) GuardCall([&] { handler(this); });
}

void TApplication::ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    MessageQueue& q = MessageQueue::Current();
    q.ProcessPending();
    if (q.QuitReceived()) {
        q.ResetQuit();
        Terminate();
    }
}

void TApplication::WaitForWork(int timeoutMs)
{
    MessageQueue& q = MessageQueue::Current();
    if (q.HasPending()) return;
    if (!QCoreApplication::instance()) {
        q.WaitNext(timeoutMs);
        return;
    }
    // Qt's wait also wakes for the queue: its descriptor is watched by a notifier.
    QTimer timer;
    if (timeoutMs >= 0) {
        timer.setSingleShot(true);
        timer.start(timeoutMs);
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
}

std::string TApplication::ErrorText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}

void TApplication::HandleException(const std::exception& e)
{
    if (auto handler = OnException) {
        if (auto* ex = dynamic_cast<const Exception*>(&e)) {
            handler(this, *ex);
            return;
        }
        OnException(this, Exception(e.what()));
        return;
    }
    ShowException(e.what());
}

void TApplication::ShowException(const std::string& message)
{
    std::string text = ErrorText(message);
    if (FErrorDisplay) {
        FErrorDisplay(FTitle, text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(FTitle), QString::fromStdString(text),
                    QMessageBox::Ok, FMainForm ? FMainForm->Widget() : nullptr);
    box.exec();
}

}  // namespace kapo
