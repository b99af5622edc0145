// Program entry: the application, its one window, the message loop.
#include <clocale>
#include <csignal>

#include <QGuiApplication>

#include "app/Unit1.h"

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    kapo::TApplication app;
    app.Initialize(argc, argv);
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
