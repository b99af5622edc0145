// The real window offscreen with a program folder of its own and a user folder "user" inside it
// selected in the folder list; the current directory and the folders are put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <QTest>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/Unit1.h"
#include "support/GuiTestMain.h"

namespace kapo::test {

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string OkResponse(const std::string& body)
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class WindowFixture : public ::testing::Test {
protected:
    // Opens the window pointed at the base address.
    void OpenWindow(const std::string& base)
    {
        namespace fs = std::filesystem;
        FSavedCwd = fs::current_path();
        FFolder = fs::temp_directory_path() / ("kapo-window-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(FFolder);
        fs::create_directories(FFolder / "user");
        SetProgramFolderForTesting(FFolder.string());
        ShownErrors().clear();
        F = new TForm1(nullptr);
        F->DoCreate();
        F->Dir->ApplyPath((FFolder / "user").string());
        F->Serv->SetText(base);
        F->Widget()->show();
    }
    void TearDown() override
    {
        delete F;
        SetProgramFolderForTesting("");
        std::filesystem::current_path(FSavedCwd);
        std::error_code ec;
        std::filesystem::remove_all(FFolder, ec);
        ShownErrors().clear();
    }

    TColor Lamp() const { return F->Shp1->Brush().Color; }
    // A press and release of any picture button.
    static void Press(TControl* c, Qt::MouseButton b = Qt::LeftButton)
    {
        QTest::mousePress(c->Widget(), b, {}, QPoint(3, 3));
        QTest::mouseRelease(c->Widget(), b, {}, QPoint(3, 3));
    }
    void ClickName(int row) { QTest::mouseClick(F->Nomes->Widget(), Qt::LeftButton, {}, QPoint(40, row * 15 + 7)); }

    std::filesystem::path FFolder, FSavedCwd;
    TForm1* F = nullptr;
};

}  // namespace kapo::test
