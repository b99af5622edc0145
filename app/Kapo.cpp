// Program entry: the application, its one window, the message loop.
#include <clocale>

#include "app/Unit1.h"

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    kapo::TApplication app;
    app.Initialize(argc, argv);
    app.SetTitle("Kapo");
    app.CreateForm<kapo::TForm1>();
    app.Run();
    return 0;
}
