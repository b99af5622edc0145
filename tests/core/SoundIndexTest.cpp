#include <gtest/gtest.h>

#include "core/SoundIndex.h"

using namespace kapo;

namespace {

TEST(SoundIndex, FoldingIgnoresCaseAndPortugueseAccents)
{
    struct Row {
        const char* In;
        const char* Out;
    } rows[] = {
        {"Cães", "caes"},
        {"AÇÚCAR", "acucar"},
        {"Ação Coração Órgão", "acao coracao orgao"},
        {"àáâãäå ÀÁÂÃÄÅ", "aaaaaa aaaaaa"},
        {"êéèë íìîï ôõöòó úùûü ýÿ ñ", "eeee iiii ooooo uuuu yy n"},
        {"Straße Æ ø", "strasse ae o"},
        {"\xC7\xE3o", "cao"},             // the same letters as Latin-1 bytes
        {"3×4 ÷ ÞÐ", "3×4 ÷ Þd"},          // signs and the thorn stay
        {"€ 日本", "€ 日本"},              // other letters pass unchanged
        {"x\xC3", "xa"},                   // a lead byte alone reads as Latin-1
        {"boing.wav :Porta RANGENDO", "boing.wav :porta rangendo"},
    };
    for (const Row& r : rows) EXPECT_EQ(FoldForSearch(r.In), r.Out) << r.In;
}

TEST(SoundIndex, EveryWordOfTheQueryMustMatchTheSameRow)
{
    TSoundIndex index;
    index.AddList("Animais", "animais.txt",
                  {"cao1.wav :Cães latindo ao longe", "gato.wav :Gato mia", "cavalo.wav :Cavalo a galope",
                   "sem dois pontos"});
    index.AddList("Cozinha", "cozinha.txt",
                  {"acucar.wav :Açúcar caindo no pote", "panela.wav :Panela de pressão", "cachorro.wav :Cão rosna",
                   "juba.wav :Leões rugindo"});
    index.AddList("Vazia", "vazia.txt", {});
    struct Row {
        const char* Query;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> Found;
    } rows[] = {
        {"cao", {{0, 0}, {1, 2}}},   // "Cães" and "Cão"
        {"leao", {{1, 3}}},          // "Leões"
        {"caes", {{0, 0}}},
        {"CÃES", {{0, 0}}},
        {"acucar", {{1, 0}}},
        {"a", {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {1, 3}}},
        {"  gato   mia ", {{0, 1}}},
        {"mia gato", {{0, 1}}},
        {"gato galope", {}},  // the words are in two rows, not one
        {"pressao panela", {{1, 1}}},
        {"wav", {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {1, 3}}},
        {"rugindo leao", {{1, 3}}},  // the plural forms hold for any word of the query
        {"dois", {{0, 3}}},
        {"longe\ncavalo", {}},  // a line feed separates words, never rows
        {"", {}},
        {"   ", {}},
        {"zebra", {}},
    };
    std::vector<TSoundRef> found;
    for (const Row& r : rows) {
        index.Search(r.Query, found);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
        for (TSoundRef f : found) got.emplace_back(f.List, f.Row);
        EXPECT_EQ(got, r.Found) << r.Query;
    }
    index.Search("acucar", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(index.RowText(found[0]), "acucar.wav :Açúcar caindo no pote");
    EXPECT_EQ(index.Label(found[0]), "Cozinha");
    EXPECT_EQ(index.ListName(found[0]), "cozinha.txt");
}

TEST(SoundIndex, ResultsFollowTheCataloguePlacesWhateverOrderTheListsCameIn)
{
    TSoundIndex index;
    index.AddList("C", "c.txt", {"c1.wav :som", "c2.wav :som"}, 2);
    index.AddList("A", "a.txt", {"a1.wav :som"}, 0);
    index.AddList("B", "b.txt", {"b1.wav :som"}, 1);
    std::vector<TSoundRef> found;
    index.Search("som", found);
    std::vector<std::string> labels;
    for (TSoundRef f : found) labels.push_back(index.RowText(f));
    EXPECT_EQ(labels, (std::vector<std::string>{"a1.wav :som", "b1.wav :som", "c1.wav :som", "c2.wav :som"}));
}

TEST(SoundIndex, AListAddedAgainReplacesItsOldRowsAndClearEmptiesIt)
{
    TSoundIndex index;
    index.AddList("Portas", "portas.txt", {"range.wav :Porta que range"});
    index.AddList("Chuva", "chuva.txt", {"fina.wav :Chuva fina"});
    index.AddList("Portas", "portas.txt", {"bate.wav :Porta batendo"});
    std::vector<TSoundRef> found;
    index.Search("porta", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(index.RowText(found[0]), "bate.wav :Porta batendo");
    EXPECT_TRUE(index.HasList("portas.txt"));
    EXPECT_TRUE(index.HasList("chuva.txt"));
    EXPECT_FALSE(index.HasList("vento.txt"));
    index.Clear();
    index.Search("chuva", found);
    EXPECT_TRUE(found.empty());
    EXPECT_FALSE(index.HasList("chuva.txt"));
    EXPECT_EQ(index.RowCount(), 0u);
}

}  // namespace
