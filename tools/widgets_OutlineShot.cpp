// Draws the category tree, set up as in the main window and loaded with a catalogue index of
// a few hundred lines, into a PNG (default docs/outline.png). Usage: widgets_OutlineShot [out.png]
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ui/Forms.h"
#include "widgets/Outline.h"

using namespace kapo;

namespace {

struct Category {
    const char* label;
    std::vector<const char*> subs;
};

// Top-level categories and their sub-categories; the file names are made from the labels.
const std::vector<Category> kCatalogue = {
    {"Animais", {"Aves", "Cães", "Gatos", "Cavalos", "Insetos", "Animais marinhos", "Fazenda", "Selvagens", "Répteis", "Macacos"}},
    {"Ambientes", {"Floresta", "Praia", "Cidade à noite", "Escritório", "Restaurante", "Estádio", "Igreja", "Metrô", "Hospital"}},
    {"Casa", {"Cozinha", "Banheiro", "Portas", "Janelas", "Relógios", "Eletrodomésticos", "Escadas", "Campainhas"}},
    {"Desenhos animados", {"Quedas", "Molas", "Assobios", "Pancadas", "Correrias", "Buzinas engraçadas"}},
    {"Efeitos", {"Explosões", "Tiros", "Vidro quebrando", "Sinos", "Ficção científica", "Magia", "Transições", "Impactos"}},
    {"Esportes", {"Futebol", "Tênis", "Boxe", "Basquete", "Natação", "Torcida", "Apitos"}},
    {"Instrumentos", {"Piano", "Violão", "Bateria", "Percussão", "Sopros", "Cordas", "Teclados", "Vinhetas"}},
    {"Máquinas", {"Fábrica", "Computadores", "Impressoras", "Motores", "Ferramentas", "Robôs", "Elevadores"}},
    {"Natureza", {"Chuva", "Trovões", "Vento", "Rios", "Cachoeiras", "Fogo", "Mar", "Terremotos"}},
    {"Pessoas", {"Risadas", "Aplausos", "Passos", "Respiração", "Gritos", "Crianças", "Multidão", "Tosse e espirro"}},
    {"Telefones", {"Toques antigos", "Celulares", "Ocupado", "Discagem", "Secretária eletrônica"}},
    {"Terror", {"Portas rangendo", "Correntes", "Fantasmas", "Batidas de coração", "Tempestade", "Risadas macabras"}},
    {"Veículos", {"Carros", "Motos", "Caminhões", "Ônibus", "Trens", "Aviões", "Helicópteros", "Barcos", "Bicicletas", "Sirenes"}},
    {"Vozes", {"Contagens", "Saudações", "Anúncios", "Locuções", "Sussurros"}},
};

const char* const kThirdLevel[] = {"curtos", "longos", "ao longe", "de perto", "em estéreo"};

std::string FileName(const std::string& label)
{
    // ASCII file names: accents dropped, spaces made underscores, lower case.
    static const std::pair<const char*, char> accents[] = {
        {"á", 'a'}, {"à", 'a'}, {"â", 'a'}, {"ã", 'a'}, {"é", 'e'}, {"ê", 'e'}, {"í", 'i'}, {"ó", 'o'},
        {"ô", 'o'}, {"õ", 'o'}, {"ú", 'u'}, {"ç", 'c'}, {"Ô", 'o'}, {"É", 'e'}, {"Á", 'a'}};
    std::string out;
    for (std::size_t i = 0; i < label.size();) {
        bool done = false;
        for (auto& [from, to] : accents) {
            std::string f(from);
            if (label.compare(i, f.size(), f) == 0) {
                out += to;
                i += f.size();
                done = true;
                break;
            }
        }
        if (done) continue;
        char c = label[i++];
        out += c == ' ' ? '_' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return out + ".txt";
}

std::vector<std::string> CatalogueIndex()
{
    std::vector<std::string> lines;
    lines.push_back("Novidades do mês:novidades.txt");
    for (const auto& cat : kCatalogue) {
        lines.push_back(std::string(cat.label));  // a heading: no list of its own
        for (std::size_t s = 0; s < cat.subs.size(); ++s) {
            std::string sub = cat.subs[s];
            lines.push_back("\t" + sub + ":" + FileName(sub));
            // Every other sub-category is split further.
            if (s % 2 == 0)
                for (const char* third : kThirdLevel) {
                    std::string label = sub + " " + third;
                    lines.push_back("\t\t" + label + ":" + FileName(label));
                }
        }
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string out = argc > 1 ? argv[1] : "docs/outline.png";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    auto* app = new TApplication;
    app->Initialize(argc, argv);

    char dir[] = "/tmp/outline-shot-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    std::string index = std::string(dir) + "/indice.txt";
    auto lines = CatalogueIndex();
    {
        std::ofstream f(index, std::ios::binary);
        for (const auto& l : lines) f << l << "\r\n";
    }

    auto* lista = new TOutline(nullptr);
    lista->SetBounds(110, 158, 146, 180);
    lista->SetColor(0xA6BCC6);
    lista->Font().SetName("Arial");
    lista->Font().SetStyle(fsBold);
    lista->Font().SetHeight(-12);
    lista->Font().SetColor(0x263A51);
    lista->SetOutlineStyle(osPictureText);
    lista->SetOptions(ooDrawTreeRoot);
    lista->SetStyle(otOwnerDraw);
    lista->SetItemHeight(15);
    lista->SetScrollBars(ssVertical);
    lista->SetBorderStyle(bsNone);
    lista->Lines().LoadFromFile(index);
    ::unlink(index.c_str());
    ::rmdir(dir);

    // Open "Animais" and its "Aves", and select a third-level category, as a user would.
    lista->SelectedItem();
    lista->Items(2)->Expand();
    lista->Items(3)->Expand();
    lista->SetSelectedItem(6);
    lista->SetTopRow(0);
    lista->Widget()->show();

    // The control's image with its scroll bar drawn beside it, as on screen.
    QImage img = lista->Widget()->grab().toImage();
    QImage cells = lista->PaintTo();
    if (img.width() != lista->Width() || img.height() != lista->Height()) img = cells;
    bool ok = img.save(QString::fromStdString(out), "PNG");
    std::printf("%d lines, %d items, %d rows -> %s %s\n", static_cast<int>(lines.size()), lista->ItemCount(),
                lista->RowCount(), out.c_str(), ok ? "written" : "NOT written");
    delete lista;
    delete app;
    return ok ? 0 : 1;
}
