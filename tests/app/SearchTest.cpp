// The search over the whole catalogue in the real window, against the demo service serving a
// small catalogue of the test's own on loopback.
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with the server's parameter names.
#include "net/SocksRelay.h"
#include "ServiceThread.h"
#include "support/SoundTestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <filesystem>
#include <fstream>

#include "app/CatalogueSearch.h"
#include "platform/MessageQueue.h"
#include "WindowFixture.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A catalogue of seven lists, and an eighth that the index names but the service lacks.
fs::path MakeCatalogue(const fs::path& root)
{
    std::string street;
    for (int i = 1; i <= 4; ++i) {
        street += "\tRua " + std::to_string(i) + ":rua" + std::to_string(i) + ".txt\r\n";
        Write(root / "waves" / ("rua" + std::to_string(i) + ".txt"), "motor" + std::to_string(i) + ".wav :Motor\r\n");
    }
    Write(root / "waves" / "indice.txt",
          "Animais\r\n\tCães:caes.txt\r\n\tAves:aves.txt\r\nCasa\r\n\tCozinha:cozinha.txt\r\n\tSótão:sotao.txt\r\n"
          "Rua\r\n" + street);
    Write(root / "waves" / "caes.txt", "latido.wav :Cães latindo ao longe\r\nuivo.wav :Cão uivando\r\n");
    Write(root / "waves" / "aves.txt", "bemtevi.wav :Bem-te-vi cantando\r\npombo.wav :Pombo arrulhando\r\n");
    Write(root / "waves" / "cozinha.txt", "acucar.wav :Açúcar caindo no pote\r\npanela.wav :Panela de pressão\r\n");
    Write(root / "club" / "waves" / "acucar.wav", "RIFF acucar");
    return root;
}

std::vector<std::string> Rows(TListBox* list)
{
    std::vector<std::string> rows;
    for (int i = 0; i < list->Items().Count(); ++i) rows.push_back(list->Items()[i]);
    return rows;
}

class Search : public test::WindowFixture {
protected:
    void SetUp() override
    {
        OpenWindow(Service.Base());
        F->Login->SetText("demo");
        F->Senha->SetText("demo");
        F->Widget()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(F->Widget()));
        Press(F->Sons);
        ASSERT_EQ(F->Lista->Lines().Count(), 11);
        // The first category's rows are in the list before the search.
        QTest::mouseClick(F->Lista->Widget(), Qt::LeftButton, {}, QPoint(40, 7));
        QTest::keyClick(F->Lista->Widget(), Qt::Key_Return);
        QTest::keyClick(F->Lista->Widget(), Qt::Key_Right);
        ASSERT_EQ(Rows(F->Nomes).size(), 2u);
        Category = Rows(F->Nomes);
    }
    // Opens the search and waits until every list has arrived or failed.
    void OpenAndWait()
    {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::ControlModifier);
        while (F->Search().Fetching()) {
            MostInFlight = std::max(MostInFlight, F->Search().ListsInFlight());
            Application->ProcessMessages();
            if (F->Search().Fetching()) WaitMessage(50);
        }
    }
    ~Search() override { fs::remove_all(Root); }
    // Types over the field's text, which never goes empty on the way (that would close it).
    void Type(const std::string& query)
    {
        QTest::keyClick(F->Search().Field()->LineEdit(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(F->Search().Field()->LineEdit(), QString::fromStdString(query));
    }

    soundtest::Watchdog Guard{60000};
    fs::path Root = MakeCatalogue(fs::temp_directory_path() / ("kapo-search-" + std::to_string(::getpid())));
    test::ServiceThread Service{Root.string()};
    std::vector<std::string> Category;
    int MostInFlight = 0;
};

TEST_F(Search, FindsRowsOfEveryCategoryIgnoringCaseAndAccents)
{
    OpenAndWait();
    TEdit* field = F->Search().Field();
    EXPECT_TRUE(field->Visible());
    EXPECT_TRUE(field->Focused());
    QAccessibleInterface* access = QAccessible::queryAccessibleInterface(field->Widget());
    ASSERT_NE(access, nullptr);
    EXPECT_EQ(access->text(QAccessible::Name).toStdString(), "Procurar sons");
    EXPECT_EQ(F->Stk->Caption(), "Falha na lista sotao.txt!");
    EXPECT_EQ(F->G1->Progress(), 0);
    EXPECT_EQ(F->Search().Index().ListCount(), 7u);
    EXPECT_EQ(MostInFlight, SearchFetchSlots);

    struct Row {
        const char* Query;
        std::vector<std::string> Rows;
        const char* Status;
    } rows[] = {
        {"cao", {"latido.wav :Cães latindo ao longe", "uivo.wav :Cão uivando"}, "Categoria: Cães"},
        {"acucar", {"acucar.wav :Açúcar caindo no pote"}, "Categoria: Cozinha"},
        {"PRESSÃO panela", {"panela.wav :Panela de pressão"}, "Categoria: Cozinha"},
        {"cantando bem", {"bemtevi.wav :Bem-te-vi cantando"}, "Categoria: Aves"},
        {"pombo latindo", {}, "Nenhum som encontrado"},
    };
    for (const Row& r : rows) {
        Type(r.Query);
        EXPECT_EQ(Rows(F->Nomes), r.Rows) << r.Query;
        EXPECT_EQ(F->Stk->Caption(), r.Status) << r.Query;
        EXPECT_EQ(F->Nomes->ItemIndex(), r.Rows.empty() ? -1 : 0) << r.Query;
    }
    // The arrows in the field move through the results; the status line follows.
    Type("a");
    QTest::keyClick(field->LineEdit(), Qt::Key_Down);
    QTest::keyClick(field->LineEdit(), Qt::Key_Down);
    ASSERT_EQ(F->Nomes->ItemIndex(), 2);
    EXPECT_EQ(F->Stk->Caption(), "Categoria: Aves");
    // Enter previews the selected result: this one is no wave, and the status line says so.
    Type("acucar");
    QTest::keyClick(field->LineEdit(), Qt::Key_Return);
    const std::string unplayable = "O arquivo não é um som wave que se possa tocar!";
    for (int i = 0; i < 200 && F->Stk->Caption() != unplayable; ++i) {
        Application->ProcessMessages();
        WaitMessage(20);
    }
    EXPECT_EQ(F->Stk->Caption(), unplayable);

    // Esc closes the search and the category's rows come back.
    QTest::keyClick(field->LineEdit(), Qt::Key_Escape);
    EXPECT_FALSE(field->Visible());
    EXPECT_EQ(Rows(F->Nomes), Category);

    // A second search fetches nothing it holds: the lists are gone from the service, the rows
    // are still found, and only the list that failed is asked for again.
    fs::remove(Root / "waves" / "caes.txt");
    fs::remove(Root / "waves" / "cozinha.txt");
    OpenAndWait();
    EXPECT_EQ(F->Stk->Caption(), "Falha na lista sotao.txt!");
    Type("acucar");
    EXPECT_EQ(Rows(F->Nomes), std::vector<std::string>{"acucar.wav :Açúcar caindo no pote"});

    // Emptying the field closes the search as well.
    field->LineEdit()->clear();
    EXPECT_FALSE(field->Visible());
    EXPECT_EQ(Rows(F->Nomes), Category);
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Search, CtrlSTransfersTheSelectedResultAndStopEndsTheFetching)
{
    OpenAndWait();
    Type("acucar");
    QTest::keyClick(F->Search().Field()->LineEdit(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(test::ReadFile(FFolder / "user" / "acucar.wav"), "RIFF acucar");

    // A new catalogue drops the lists; Stop while they come ends the fetching at once.
    QTest::keyClick(F->Search().Field()->LineEdit(), Qt::Key_Escape);
    Press(F->Sons);
    EXPECT_EQ(F->Search().Index().ListCount(), 0u);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(F->Search().Fetching());
    Press(F->Stop);
    EXPECT_FALSE(F->Search().Fetching());
    EXPECT_EQ(F->G1->Progress(), 0);
    EXPECT_TRUE(test::ShownErrors().empty());
}

// The lists go the way every other fetch goes: through the proxy the proxy field names.
TEST_F(Search, TheListsAreFetchedThroughTheProxyInTheProxyField)
{
    testsupport::Socks5Relay proxy(8);
    F->Proxy->SetText("socks5://127.0.0.1:" + proxy.PortText());
    OpenAndWait();
    EXPECT_EQ(F->Search().Index().ListCount(), 7u);
    Type("motor");
    EXPECT_EQ(Rows(F->Nomes).size(), 4u);
    proxy.Join();
    ASSERT_EQ(proxy.Seen.size(), 8u);
    // Each asks the proxy for the service by the name in the address field.
    for (const std::string& seen : proxy.Seen)
        EXPECT_NE(seen.find(std::string(1, 9) + "127.0.0.1"), std::string::npos);
}

}  // namespace
