// Program entry: the application, its one window, the message loop.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QGuiApplication>
#include <QWidget>

#include "app/Unit1.h"
#include "platform/SingleInstance.h"

namespace {

// What Qt says while it starts is held back: when it cannot reach a display it writes several
// lines and aborts, and the user should get one line and a plain failure instead.
struct THeldMessage {
    QtMsgType Type;
    const char* File;
    int Line;
    const char* Function;
    const char* Category;
    QString Text;
};
std::vector<THeldMessage> gHeld;

bool EmptyVariable(const char* name)
{
    const char* v = std::getenv(name);
    return v == nullptr || v[0] == '\0';
}

void HoldStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtFatalMsg) {
        gHeld.push_back({type, context.file, context.line, context.function, context.category, text});
        return;
    }
    std::string why;
    if (EmptyVariable("DISPLAY") && EmptyVariable("WAYLAND_DISPLAY"))
        why = "DISPLAY e WAYLAND_DISPLAY não estão definidas";
    else
        why = (gHeld.empty() ? text : gHeld.front().Text).section('\n', 0, 0).trimmed().toStdString();
    std::fprintf(stderr, "Kapo: não há tela para abrir a janela (%s).\n", why.c_str());
    std::_Exit(1);
}

void ReleaseStartMessages(QtMessageHandler previous)
{
    qInstallMessageHandler(previous);
    for (const THeldMessage& m : gHeld) {
        QMessageLogContext context(m.File, m.Line, m.Function, m.Category);
        if (previous) previous(m.Type, context, m.Text);
        else std::fprintf(stderr, "%s\n", m.Text.toLocal8Bit().constData());
    }
    gHeld.clear();
}

// Brings the window forward for a later start, with that start's activation token where the
// window system asks for one.
void RaiseMainWindow(const std::string& token)
{
    if (!kapo::Form1) return;
    QWidget* w = kapo::Form1->Widget();
    if (!token.empty() && QGuiApplication::platformName().startsWith("wayland"))
        qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
    w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
    w->show();
    w->raise();
    w->activateWindow();
}

}  // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    // Declared first, so that the lock is let go only after the window has saved the settings.
    kapo::TSingleInstance instance("kapo");
    kapo::TApplication app;
    QtMessageHandler previous = qInstallMessageHandler(HoldStartMessage);
    app.Initialize(argc, argv);
    ReleaseStartMessages(previous);

    // One copy per user: two would overwrite each other's settings. A later start brings the
    // running window forward and ends; when that copy does not answer (stuck, or left without
    // a window), this one runs in its place rather than leave the user with no window at all.
    if (!instance.Acquire()) {
        const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
        if (!token) token = std::getenv("DESKTOP_STARTUP_ID");
        if (instance.AskToRaise(token ? token : "")) return 0;
        std::fputs("Kapo: a cópia já aberta não responde; esta abre a sua janela.\n", stderr);
        instance.TakeOver();
    }
    instance.OnRaise = RaiseMainWindow;

    // The desktop entry's name: Wayland compositors match the window to its entry and icon by it.
    QGuiApplication::setDesktopFileName("example.kora.Kapo");
    // The session's end, a hang-up and Ctrl+C end the loop as the close button does, so the
    // window is destroyed and saves the settings.
    app.TerminateOnSignals({SIGTERM, SIGHUP, SIGINT});
    app.SetTitle("Kapo");
    app.CreateForm<kapo::TForm1>();
    app.Run();
    return 0;
}
