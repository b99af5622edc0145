#include "Catalogue.h"

#include <utility>

#include "Sounds.h"

namespace democat {

Category& Category::Sub(const std::string& label, const std::string& list)
{
    children.push_back(Category{label, list, {}, {}});
    return children.back();
}

void Category::Add(const std::string& file, const std::string& description, double seconds,
                   std::function<void(Buffer&, Rng&)> draw)
{
    sounds.push_back(SoundEntry{file, description, seconds, std::move(draw)});
}

namespace {

using I = Instrument;
using Notes = std::vector<int>;

// Note names of one octave, for descriptions and for file names.
const char* const NoteName[12] = {"Dó", "Dó sustenido", "Ré", "Mi bemol", "Mi", "Fá", "Fá sustenido", "Sol", "Lá bemol", "Lá", "Si bemol", "Si"};
const char* const NoteFile[12] = {"do", "do-sustenido", "re", "mi-bemol", "mi", "fa", "fa-sustenido", "sol", "la-bemol", "la", "si-bemol", "si"};

void Animals(Category& top)
{
    Category& caes = top.Sub("Cães", "caes.txt");
    caes.Add("latido-grande.wav", "Latido grave de um cão grande", 0.8, [](Buffer& b, Rng& r) { Bark(b, r, 150, 1, 0.4); });
    caes.Add("latidos-grande.wav", "Três latidos de um cão grande", 1.6, [](Buffer& b, Rng& r) { Bark(b, r, 160, 3, 0.45); });
    caes.Add("latido-medio.wav", "Latido de um cão de porte médio", 0.6, [](Buffer& b, Rng& r) { Bark(b, r, 300, 1, 0.3); });
    caes.Add("latidos-medio.wav", "Cão médio late duas vezes", 1.0, [](Buffer& b, Rng& r) { Bark(b, r, 320, 2, 0.35); });
    caes.Add("latido-pequeno.wav", "Latido agudo de um cãozinho", 0.4, [](Buffer& b, Rng& r) { Bark(b, r, 560, 1, 0.2); });
    caes.Add("latidos-pequeno.wav", "Cãozinho late sem parar", 1.8, [](Buffer& b, Rng& r) { Bark(b, r, 600, 8, 0.21); });
    caes.Add("rosnado.wav", "Cão rosnando baixinho", 2.0, [](Buffer& b, Rng& r) { Growl(b, r, 85); });
    caes.Add("rosnado-bravo.wav", "Cão bravo rosnando forte", 1.5, [](Buffer& b, Rng& r) { Growl(b, r, 110); });
    caes.Add("latido-e-rosnado.wav", "Latido seguido de um rosnado", 2.4, [](Buffer& b, Rng& r) {
        Bark(b, r, 220, 2, 0.4);
        Buffer g(b.Rate(), 1.4);
        Growl(g, r, 95);
        b.Mix(g, 0.95);
    });
    caes.Add("matilha.wav", "Vários cães latindo ao longe", 3.0, [](Buffer& b, Rng& r) {
        Bark(b, r, 250, 5, 0.55);
        Bark(b, r, 420, 7, 0.38);
        Bark(b, r, 170, 3, 0.9);
    });

    Category& gatos = top.Sub("Gatos", "gatos.txt");
    gatos.Add("miado.wav", "Miado de gato adulto", 0.9, [](Buffer& b, Rng& r) { Meow(b, r, 520, 0.8); });
    gatos.Add("miado-curto.wav", "Miado curto, pedindo comida", 0.5, [](Buffer& b, Rng& r) { Meow(b, r, 600, 0.4); });
    gatos.Add("miado-longo.wav", "Miado longo e arrastado", 1.8, [](Buffer& b, Rng& r) { Meow(b, r, 480, 1.7); });
    gatos.Add("miado-filhote.wav", "Miado fininho de um filhote", 0.6, [](Buffer& b, Rng& r) { Meow(b, r, 900, 0.5); });
    gatos.Add("miados-filhotes.wav", "Dois filhotes miando", 1.6, [](Buffer& b, Rng& r) {
        Meow(b, r, 880, 0.5);
        Buffer c(b.Rate(), 0.8);
        Meow(c, r, 1000, 0.6);
        for (std::size_t i = 0; i < c.Frames(); ++i) b.AddStereo(i + static_cast<std::size_t>(0.7 * b.Rate()), 0.3 * c.Left()[i], c.Right()[i]);
    });
    gatos.Add("ronronar.wav", "Gato ronronando no colo", 3.5, [](Buffer& b, Rng& r) { Purr(b, r, 26); });
    gatos.Add("ronronar-forte.wav", "Ronronar alto de gato satisfeito", 2.5, [](Buffer& b, Rng& r) { Purr(b, r, 22); });
    gatos.Add("chiado.wav", "Gato assustado chiando", 1.0, [](Buffer& b, Rng& r) { Hiss(b, r); });
    gatos.Add("miado-bravo.wav", "Miado bravo, grave e longo", 2.2, [](Buffer& b, Rng& r) { Meow(b, r, 330, 2.1); });

    Category& aves = top.Sub("Aves", "aves.txt");
    aves.Add("piado.wav", "Piado curto de passarinho", 0.4, [](Buffer& b, Rng& r) { Chirps(b, r, 3200, 2, 0.15); });
    aves.Add("piados.wav", "Passarinho piando várias vezes", 1.5, [](Buffer& b, Rng& r) { Chirps(b, r, 3000, 8, 0.17); });
    aves.Add("pardal.wav", "Pardal piando no telhado", 2.0, [](Buffer& b, Rng& r) { Chirps(b, r, 4000, 11, 0.16); });
    aves.Add("trinado.wav", "Trinado rápido de canário", 1.2, [](Buffer& b, Rng& r) { Trill(b, r, 3500, 28); });
    aves.Add("trinado-lento.wav", "Trinado lento e grave", 1.5, [](Buffer& b, Rng& r) { Trill(b, r, 2200, 12); });
    aves.Add("canto-sabia.wav", "Canto de pássaro no quintal", 3.0, [](Buffer& b, Rng& r) { Birdsong(b, r, 2400); });
    aves.Add("canto-bem-te-vi.wav", "Canto alegre de pássaro", 2.5, [](Buffer& b, Rng& r) { Birdsong(b, r, 3000); });
    aves.Add("canto-madrugada.wav", "Pássaros cantando de madrugada", 4.0, [](Buffer& b, Rng& r) {
        Birdsong(b, r, 2600);
        Birdsong(b, r, 3600);
        Chirps(b, r, 4200, 6, 0.6);
    });
    aves.Add("coruja.wav", "Coruja piando à noite", 2.0, [](Buffer& b, Rng& r) { Hoot(b, r, 380, 2); });
    aves.Add("coruja-tres.wav", "Coruja chamando três vezes", 2.8, [](Buffer& b, Rng& r) { Hoot(b, r, 340, 3); });
    aves.Add("pombo.wav", "Arrulho de pombo", 1.6, [](Buffer& b, Rng& r) { Hoot(b, r, 250, 3); });

    Category& fazenda = top.Sub("Fazenda", "fazenda.txt");
    fazenda.Add("vaca.wav", "Vaca mugindo", 2.2, [](Buffer& b, Rng& r) { Moo(b, r, 120); });
    fazenda.Add("vaca-longe.wav", "Mugido de vaca, grave", 2.8, [](Buffer& b, Rng& r) { Moo(b, r, 95); });
    fazenda.Add("bezerro.wav", "Bezerro chamando a mãe", 1.4, [](Buffer& b, Rng& r) { Moo(b, r, 190); });
    fazenda.Add("cavalo.wav", "Relincho de cavalo", 1.8, [](Buffer& b, Rng& r) { Neigh(b, r, 330); });
    fazenda.Add("potro.wav", "Relincho curto de potro", 1.0, [](Buffer& b, Rng& r) { Neigh(b, r, 450); });
    fazenda.Add("ovelha.wav", "Ovelha balindo", 1.1, [](Buffer& b, Rng& r) { Baa(b, r, 260); });
    fazenda.Add("cordeiro.wav", "Cordeiro balindo fininho", 0.9, [](Buffer& b, Rng& r) { Baa(b, r, 420); });
    fazenda.Add("cabra.wav", "Cabra balindo, trêmula", 1.3, [](Buffer& b, Rng& r) { Baa(b, r, 330); });
    fazenda.Add("galinha.wav", "Galinha cacarejando", 2.0, [](Buffer& b, Rng& r) { Cluck(b, r, 420, 6); });
    fazenda.Add("pintinhos.wav", "Pintinhos piando", 1.8, [](Buffer& b, Rng& r) { Chirps(b, r, 2800, 10, 0.18); });
    fazenda.Add("galinheiro.wav", "Galinheiro agitado", 3.5, [](Buffer& b, Rng& r) {
        Cluck(b, r, 400, 9);
        Cluck(b, r, 480, 7);
        Chirps(b, r, 2900, 12, 0.28);
    });

    Category& bichos = top.Sub("Insetos e sapos", "insetos.txt");
    bichos.Add("abelha.wav", "Abelha passando zumbindo", 2.0, [](Buffer& b, Rng& r) { Buzz(b, r, 220); });
    bichos.Add("mosquito.wav", "Zumbido fino de mosquito", 2.0, [](Buffer& b, Rng& r) { Buzz(b, r, 600); });
    bichos.Add("besouro.wav", "Besouro grande voando", 2.5, [](Buffer& b, Rng& r) { Buzz(b, r, 110); });
    bichos.Add("mosca.wav", "Mosca voando pela sala", 1.8, [](Buffer& b, Rng& r) { Buzz(b, r, 190); });
    bichos.Add("grilo.wav", "Grilo cantando", 2.5, [](Buffer& b, Rng& r) { Cricket(b, r, 4500, 2.2); });
    bichos.Add("grilos.wav", "Noite de grilos", 4.0, [](Buffer& b, Rng& r) {
        Cricket(b, r, 4500, 2.2);
        Cricket(b, r, 4100, 1.7);
        Cricket(b, r, 4800, 2.9);
    });
    bichos.Add("cigarra.wav", "Cigarra estridulando", 3.0, [](Buffer& b, Rng& r) { Cricket(b, r, 5000, 33); });
    bichos.Add("sapo.wav", "Sapo coaxando", 1.5, [](Buffer& b, Rng& r) { Croak(b, r, 420, 2); });
    bichos.Add("sapo-grande.wav", "Coaxar grave de um sapo-boi", 2.0, [](Buffer& b, Rng& r) { Croak(b, r, 220, 2); });
    bichos.Add("perereca.wav", "Perereca coaxando rápido", 1.2, [](Buffer& b, Rng& r) { Croak(b, r, 900, 4); });
    bichos.Add("brejo.wav", "Brejo cheio de sapos", 3.5, [](Buffer& b, Rng& r) {
        Croak(b, r, 420, 5);
        Croak(b, r, 700, 7);
        Croak(b, r, 230, 3);
    });
}

void Instruments(Category& top)
{
    Category& perc = top.Sub("Percussão", "percussao.txt");
    struct Hit {
        char kind;
        const char* file;
        const char* text;
        double seconds;
    };
    const Hit hits[] = {
        {'k', "bumbo.wav", "Bumbo de bateria", 0.5},
        {'s', "caixa.wav", "Caixa de bateria", 0.4},
        {'r', "aro.wav", "Batida no aro da caixa", 0.3},
        {'h', "chimbal-fechado.wav", "Chimbal fechado", 0.3},
        {'o', "chimbal-aberto.wav", "Chimbal aberto", 0.8},
        {'t', "tom.wav", "Tom-tom", 0.8},
        {'c', "palmas.wav", "Uma palma", 0.4},
        {'b', "agogo.wav", "Campana de agogô", 0.5},
        {'w', "bloco.wav", "Bloco de madeira", 0.3},
        {'m', "chocalho.wav", "Chocalho, uma sacudida", 0.3},
        {'g', "surdo.wav", "Surdo de escola de samba", 1.2},
    };
    for (const Hit& h : hits)
        perc.Add(h.file, h.text, h.seconds, [h](Buffer& b, Rng& r) { Drum(b, r, h.kind, 0.01); });
    perc.Add("tom-grave.wav", "Tom-tom grave de chão", 1.0, [](Buffer& b, Rng& r) { Drum(b, r, 't', 0.01, 1, 0, 0.6); });
    perc.Add("virada.wav", "Virada nos tons", 1.5, [](Buffer& b, Rng& r) {
        const double pitch[] = {1.4, 1.4, 1.1, 1.1, 0.8, 0.8, 0.6, 0.6};
        for (int k = 0; k < 8; ++k) Drum(b, r, 't', k * 0.11, 1, 0.6 - 0.15 * k, pitch[k]);
        Drum(b, r, 'k', 0.9);
        Drum(b, r, 'o', 0.9, 0.8, 0.4);
    });
    perc.Add("rufar.wav", "Rufar de caixa", 2.0, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 40; ++k) Drum(b, r, 's', k * 0.045, 0.35 + 0.6 * k / 40.0);
    });
    perc.Add("palmas-plateia.wav", "Plateia batendo palmas", 3.0, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 90; ++k) Drum(b, r, 'c', r.Range(0, 2.7), r.Range(0.2, 0.6), r.Bipolar() * 0.9, r.Range(0.8, 1.3));
    });

    Category& ritmos = perc.Sub("Ritmos", "ritmos.txt");
    struct Groove {
        const char* file;
        const char* text;
        const char* pattern;
        double bpm;
    };
    const Groove grooves[] = {
        {"rock.wav", "Batida de rock, 120 batidas por minuto", "k.h.|s.h.|k.k.|s.h.", 120},
        {"rock-rapido.wav", "Rock acelerado, 160 batidas por minuto", "khh.|shh.|khkh|shh.", 160},
        {"samba.wav", "Batucada de samba", "g.m.|bmgm|.mgm|bmrm", 100},
        {"marcha.wav", "Marcha de caixa e bumbo", "k.s.|s.s.|k.s.|ssss", 110},
        {"balada.wav", "Balada lenta", "k.h.|h.h.|s.h.|h.h.|k.h.|k.h.|s.h.|h.ho", 72},
        {"funk.wav", "Groove de funk", "k.hk|shhk|.hk.|shho", 104},
        {"bossa.wav", "Levada de bossa nova no aro", "k.r.|.rk.|k.r.|.r.r", 130},
        {"eletronico.wav", "Batida eletrônica com palmas", "k.o.|c.o.|k.o.|c.oo", 126},
        {"baiao.wav", "Ritmo de baião com agogô", "g..g|b.b.|g..g|bbb.", 96},
        {"valsa.wav", "Compasso de valsa em três", "k.h.h.|k.h.h.|k.h.h.|k.s.s.", 150},
    };
    for (const Groove& g : grooves)
        ritmos.Add(g.file, g.text, 3.5, [g](Buffer& b, Rng& r) { Rhythm(b, r, g.pattern, 60.0 / g.bpm / 4); });

    Category& cordas = top.Sub("Cordas", "cordas.txt");
    cordas.Add("violino-la.wav", "Violino tocando Lá", 2.0, [](Buffer& b, Rng& r) { Note(b, r, I::Violin, 0, 1.8, Mtof(69)); });
    cordas.Add("violino-escala.wav", "Violino subindo a escala de Sol", 3.5, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Violin, {67, 69, 71, 72, 74, 76, 78, 79}, 0.42);
    });
    cordas.Add("violoncelo-do.wav", "Violoncelo tocando Dó grave", 2.5, [](Buffer& b, Rng& r) { Note(b, r, I::Cello, 0, 2.3, Mtof(36)); });
    cordas.Add("violoncelo-frase.wav", "Frase lenta de violoncelo", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Cello, {48, 55, 53, 52, 50, 48}, 0.65);
    });
    cordas.Add("harpa-glissando.wav", "Glissando de harpa", 2.5, [](Buffer& b, Rng& r) {
        const int scale[] = {0, 2, 4, 5, 7, 9, 11};
        for (int k = 0; k < 21; ++k) Note(b, r, I::Harp, k * 0.05, 1, Mtof(48 + 12 * (k / 7) + scale[k % 7]), 0.6, -0.6 + k * 0.06);
    });
    cordas.Add("harpa-acorde.wav", "Acorde dedilhado na harpa", 3.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Harp, {53, 57, 60, 65, 69, 72}, 0.12); });
    cordas.Add("quarteto.wav", "Acorde de quarteto de cordas", 3.0, [](Buffer& b, Rng& r) {
        Note(b, r, I::Cello, 0, 2.6, Mtof(36), 0.7, -0.5);
        Note(b, r, I::Cello, 0, 2.6, Mtof(55), 0.5, -0.2);
        Note(b, r, I::Violin, 0, 2.6, Mtof(64), 0.5, 0.2);
        Note(b, r, I::Violin, 0, 2.6, Mtof(72), 0.5, 0.5);
    });
    cordas.Add("pizzicato.wav", "Cordas em pizzicato", 2.0, [](Buffer& b, Rng& r) {
        const int notes[] = {60, 64, 67, 72, 67, 64, 60};
        for (int k = 0; k < 7; ++k) Note(b, r, I::Guitar, k * 0.25, 0.2, Mtof(notes[k]), 0.8);
    });

    Category& violao = cordas.Sub("Violão", "violao.txt");
    const int open[] = {40, 45, 50, 55, 59, 64};
    const char* const strings[] = {"Mi grave", "Lá", "Ré", "Sol", "Si", "Mi agudo"};
    const char* const stringFiles[] = {"mi-grave", "la", "re", "sol", "si", "mi-agudo"};
    for (int k = 0; k < 6; ++k)
        violao.Add(std::string("violao-corda-") + stringFiles[k] + ".wav", std::string("Corda solta de violão: ") + strings[k], 2.0,
                   [n = open[k]](Buffer& b, Rng& r) { Note(b, r, I::Guitar, 0, 2, Mtof(n)); });
    violao.Add("violao-acorde-do.wav", "Violão: acorde de Dó maior", 3.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Guitar, {48, 52, 55, 60, 64}, 0.03); });
    violao.Add("violao-acorde-sol.wav", "Violão: acorde de Sol maior", 3.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Guitar, {43, 47, 50, 55, 59, 67}, 0.03); });
    violao.Add("violao-acorde-lam.wav", "Violão: acorde de Lá menor", 3.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Guitar, {45, 52, 57, 60, 64}, 0.03); });
    violao.Add("violao-acorde-mi.wav", "Violão: acorde de Mi maior", 3.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Guitar, {40, 47, 52, 56, 59, 64}, 0.03); });
    violao.Add("violao-dedilhado.wav", "Violão dedilhado", 4.0, [](Buffer& b, Rng& r) {
        const int notes[] = {48, 55, 60, 64, 67, 64, 60, 55, 45, 52, 57, 60, 64, 60, 57, 52};
        for (int k = 0; k < 16; ++k) Note(b, r, I::Guitar, k * 0.24, 0.2, Mtof(notes[k]), 0.7, k % 2 ? 0.2 : -0.2);
    });
    violao.Add("violao-batida.wav", "Batida de violão", 3.5, [](Buffer& b, Rng& r) {
        const double times[] = {0, 0.45, 0.7, 1.15, 1.4, 1.85, 2.1, 2.55, 2.8};
        for (double t : times)
            for (int s = 0; s < 5; ++s) Note(b, r, I::Guitar, t + s * 0.012, 0.3, Mtof(std::vector<int>{48, 52, 55, 60, 64}[static_cast<std::size_t>(s)]), 0.35);
    });

    Category& sopros = top.Sub("Sopros", "sopros.txt");
    sopros.Add("flauta-la.wav", "Flauta tocando Lá", 1.8, [](Buffer& b, Rng& r) { Note(b, r, I::Flute, 0, 1.6, Mtof(81)); });
    sopros.Add("flauta-melodia.wav", "Melodia curta de flauta", 3.5, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Flute, {74, 76, 78, 79, 81, -1, 79, 76, 74}, 0.38);
    });
    sopros.Add("clarinete.wav", "Clarinete em nota longa", 2.0, [](Buffer& b, Rng& r) { Note(b, r, I::Clarinet, 0, 1.8, Mtof(58)); });
    sopros.Add("clarinete-arpejo.wav", "Arpejo de clarinete", 2.5, [](Buffer& b, Rng& r) { Melody(b, r, I::Clarinet, {55, 58, 62, 67, 70, 67, 62}, 0.33); });
    sopros.Add("trompete.wav", "Trompete, nota firme", 1.5, [](Buffer& b, Rng& r) { Note(b, r, I::Brass, 0, 1.3, Mtof(67)); });
    sopros.Add("toque-de-alvorada.wav", "Toque de clarim", 3.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Brass, {55, 60, 64, 67, -1, 64, 67, 67, 72}, 0.3);
    });
    sopros.Add("trombone.wav", "Trombone grave", 2.0, [](Buffer& b, Rng& r) { Note(b, r, I::Brass, 0, 1.8, Mtof(41)); });
    sopros.Add("metais-acorde.wav", "Naipe de metais, acorde", 2.5, [](Buffer& b, Rng& r) { Chord(b, r, I::Brass, {53, 60, 65, 69, 72}); });
    sopros.Add("fanfarra.wav", "Fanfarra de metais", 3.5, [](Buffer& b, Rng& r) {
        const int chords[3][3] = {{60, 64, 67}, {65, 69, 72}, {67, 71, 74}};
        for (int c = 0; c < 3; ++c)
            for (int n = 0; n < 3; ++n) Note(b, r, I::Brass, 0.1 + c * 0.6, 0.5, Mtof(chords[c][n]), 0.5, n * 0.4 - 0.4);
        for (int n : {60, 64, 67, 72}) Note(b, r, I::Brass, 2.0, 1.3, Mtof(n), 0.5, (n - 66) * 0.06);
    });

    Category& teclas = top.Sub("Teclados", "teclados.txt");
    for (int k = 0; k < 12; ++k)
        teclas.Add(std::string("piano-") + NoteFile[k] + ".wav", std::string("Piano: nota ") + NoteName[k] + " central", 2.0,
                   [k](Buffer& b, Rng& r) { Note(b, r, I::Piano, 0, 2, Mtof(60 + k)); });
    teclas.Add("piano-grave.wav", "Piano: Lá mais grave", 3.0, [](Buffer& b, Rng& r) { Note(b, r, I::Piano, 0, 3, Mtof(33)); });
    teclas.Add("piano-agudo.wav", "Piano: Dó agudo", 1.0, [](Buffer& b, Rng& r) { Note(b, r, I::Piano, 0, 1, Mtof(96)); });
    teclas.Add("orgao-do.wav", "Órgão: Dó sustentado", 2.5, [](Buffer& b, Rng& r) { Note(b, r, I::Organ, 0, 2.2, Mtof(48)); });
    teclas.Add("orgao-acorde.wav", "Órgão: acorde de igreja", 3.5, [](Buffer& b, Rng& r) { Chord(b, r, I::Organ, {36, 48, 55, 60, 64, 67}); });
    teclas.Add("marimba.wav", "Marimba em arpejo", 2.0, [](Buffer& b, Rng& r) { Melody(b, r, I::Marimba, {60, 64, 67, 72, 76, 79}, 0.2); });
    teclas.Add("xilofone.wav", "Xilofone descendo", 2.0, [](Buffer& b, Rng& r) { Melody(b, r, I::Marimba, {84, 83, 81, 79, 77, 76, 74, 72}, 0.15); });
    teclas.Add("sintetizador.wav", "Acorde de sintetizador suave", 4.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Pad, {50, 57, 62, 65, 69}); });
}

void Music(Category& top)
{
    Category& acordes = top.Sub("Acordes", "acordes.txt");
    for (int k = 0; k < 12; ++k) {
        int root = 48 + k;
        acordes.Add(std::string("acorde-") + NoteFile[k] + "-maior.wav", std::string("Acorde de ") + NoteName[k] + " maior ao piano", 2.0,
                    [root](Buffer& b, Rng& r) { Chord(b, r, I::Piano, {root, root + 4, root + 7, root + 12}); });
        acordes.Add(std::string("acorde-") + NoteFile[k] + "-menor.wav", std::string("Acorde de ") + NoteName[k] + " menor ao piano", 2.0,
                    [root](Buffer& b, Rng& r) { Chord(b, r, I::Piano, {root, root + 3, root + 7, root + 12}); });
    }
    acordes.Add("acorde-setima.wav", "Acorde de Sol com sétima", 2.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Piano, {43, 55, 59, 62, 65}); });
    acordes.Add("acorde-diminuto.wav", "Acorde diminuto, de suspense", 2.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Piano, {47, 50, 53, 56, 59}); });
    acordes.Add("acorde-aumentado.wav", "Acorde aumentado", 2.0, [](Buffer& b, Rng& r) { Chord(b, r, I::Piano, {48, 52, 56, 60}); });
    acordes.Add("acorde-suspenso.wav", "Acorde suspenso em órgão", 2.5, [](Buffer& b, Rng& r) { Chord(b, r, I::Organ, {50, 55, 57, 62}); });

    Category& escalas = top.Sub("Escalas", "escalas.txt");
    const std::pair<const char*, std::vector<int>> modes[] = {
        {"maior", {0, 2, 4, 5, 7, 9, 11, 12}},       {"menor", {0, 2, 3, 5, 7, 8, 10, 12}},
        {"pentatonica", {0, 2, 4, 7, 9, 12, 14, 16}}, {"cromatica", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"blues", {0, 3, 5, 6, 7, 10, 12}},           {"arabe", {0, 1, 4, 5, 7, 8, 11, 12}},
    };
    const char* const modeText[] = {"maior", "menor", "pentatônica", "cromática", "de blues", "árabe"};
    const std::pair<I, const char*> players[] = {{I::Piano, "piano"}, {I::Marimba, "marimba"}, {I::Flute, "flauta"}};
    int m = 0;
    for (const auto& [name, steps] : modes) {
        for (const auto& [ins, insName] : players) {
            Notes notes;
            for (int s : steps) notes.push_back(60 + s);
            double step = 3.0 / static_cast<double>(notes.size() + 1);
            escalas.Add(std::string("escala-") + name + "-" + insName + ".wav",
                        std::string("Escala ") + modeText[m] + " de Dó, " + insName, 3.2,
                        [ins, notes, step](Buffer& b, Rng& r) { Melody(b, r, ins, notes, step); });
        }
        ++m;
    }

    Category& melodias = top.Sub("Melodias", "melodias.txt");
    melodias.Add("ode-a-alegria.wav", "Ode à alegria, ao piano", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Piano, {64, 64, 65, 67, 67, 65, 64, 62, 60, 60, 62, 64, 64, 62, 62}, 0.26);
    });
    melodias.Add("brilha-estrelinha.wav", "Brilha, brilha, estrelinha, na marimba", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Marimba, {60, 60, 67, 67, 69, 69, 67, -1, 65, 65, 64, 64, 62, 62, 60}, 0.26);
    });
    melodias.Add("ciranda.wav", "Ciranda, cirandinha, na flauta", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Flute, {67, 67, 64, 65, 67, 67, 64, 65, 67, 69, 67, 65, 64, 62}, 0.28);
    });
    melodias.Add("frere-jacques.wav", "Cânone do sino, em violão", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Guitar, {60, 62, 64, 60, 60, 62, 64, 60, 64, 65, 67, -1, 64, 65, 67}, 0.26);
    });
    melodias.Add("atirei-o-pau.wav", "Cantiga de roda no xilofone", 3.5, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Marimba, {67, 65, 64, 62, 64, 65, 67, 67, 67, 69, 67, 65, 64}, 0.25);
    });
    melodias.Add("vinheta-chegada.wav", "Vinheta alegre de chegada", 2.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Marimba, {72, 76, 79, 84}, 0.12);
        Note(b, r, I::Pad, 0.48, 1.2, Mtof(60), 0.5);
        Note(b, r, I::Pad, 0.48, 1.2, Mtof(64), 0.5);
    });
    melodias.Add("vinheta-despedida.wav", "Vinheta de despedida", 2.2, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Piano, {79, 76, 72, 67, 60}, 0.2);
    });
    melodias.Add("suspense.wav", "Tema de suspense", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Cello, {40, 41, 40, 41, 40, 41, 40, 41}, 0.45);
        Note(b, r, I::Violin, 2.0, 1.8, Mtof(83), 0.3);
    });
    melodias.Add("caixinha-de-musica.wav", "Caixinha de música", 3.6, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Marimba, {84, 79, 76, 79, 84, 88, 86, 83, 79, 81, 83, 84}, 0.28);
    });
}

void Nature(Category& top)
{
    Category& chuva = top.Sub("Chuva", "chuva.txt");
    chuva.Add("garoa.wav", "Garoa fina", 3.5, [](Buffer& b, Rng& r) { Rain(b, r, 40, 0.15); });
    chuva.Add("chuva-leve.wav", "Chuva leve no jardim", 4.0, [](Buffer& b, Rng& r) { Rain(b, r, 120, 0.3); });
    chuva.Add("chuva-forte.wav", "Chuva forte", 4.0, [](Buffer& b, Rng& r) { Rain(b, r, 400, 0.9); });
    chuva.Add("temporal.wav", "Temporal com trovão", 4.0, [](Buffer& b, Rng& r) {
        Rain(b, r, 500, 1.0);
        Thunder(b, r, 0.6);
    });
    chuva.Add("pingos.wav", "Pingos caindo de uma calha", 3.0, [](Buffer& b, Rng& r) { Rain(b, r, 8, 0.02); });
    chuva.Add("chuva-no-telhado.wav", "Chuva batendo no telhado", 3.5, [](Buffer& b, Rng& r) { Rain(b, r, 250, 0.4); });
    chuva.Add("chuva-de-granizo.wav", "Chuva de granizo", 3.0, [](Buffer& b, Rng& r) {
        Rain(b, r, 80, 0.5);
        for (int k = 0; k < 70; ++k) Click(b, r, r.Range(0.2, 2.8), r.Range(2000, 4000), r.Range(0.2, 0.8));
    });

    Category& vento = top.Sub("Vento", "vento.txt");
    vento.Add("brisa.wav", "Brisa suave", 4.0, [](Buffer& b, Rng& r) { Wind(b, r, 500, 0.5); });
    vento.Add("vento.wav", "Vento soprando", 4.0, [](Buffer& b, Rng& r) { Wind(b, r, 700, 0.9); });
    vento.Add("ventania.wav", "Ventania com rajadas", 4.0, [](Buffer& b, Rng& r) { Wind(b, r, 900, 1.6); });
    vento.Add("vento-na-fresta.wav", "Vento assobiando na fresta", 3.5, [](Buffer& b, Rng& r) { Wind(b, r, 1500, 0.8); });
    vento.Add("vento-grave.wav", "Vento grave na montanha", 4.0, [](Buffer& b, Rng& r) { Wind(b, r, 300, 1.0); });

    Category& mar = top.Sub("Mar", "mar.txt");
    mar.Add("ondas.wav", "Ondas quebrando na praia", 4.0, [](Buffer& b, Rng& r) { Sea(b, r, 4.0); });
    mar.Add("ondas-calmas.wav", "Mar calmo", 4.0, [](Buffer& b, Rng& r) { Sea(b, r, 2.0); });
    mar.Add("ressaca.wav", "Mar agitado de ressaca", 3.5, [](Buffer& b, Rng& r) { Sea(b, r, 1.75); });
    mar.Add("onda-unica.wav", "Uma onda chegando", 3.0, [](Buffer& b, Rng& r) { Sea(b, r, 3.0); });
    mar.Add("gaivotas.wav", "Praia com gaivotas", 4.0, [](Buffer& b, Rng& r) {
        Sea(b, r, 4.0);
        Chirps(b, r, 1500, 3, 0.5);
    });

    Category& trovoes = top.Sub("Trovões", "trovoes.txt");
    trovoes.Add("trovao-perto.wav", "Trovão muito perto, estalo forte", 4.0, [](Buffer& b, Rng& r) { Thunder(b, r, 0.0); });
    trovoes.Add("trovao.wav", "Trovão", 4.0, [](Buffer& b, Rng& r) { Thunder(b, r, 0.35); });
    trovoes.Add("trovao-longe.wav", "Trovão ao longe", 4.0, [](Buffer& b, Rng& r) { Thunder(b, r, 0.9); });
    trovoes.Add("raio.wav", "Estalo de um raio", 1.5, [](Buffer& b, Rng& r) { Thunder(b, r, 0.1); });

    Category& fogo = top.Sub("Fogo", "fogo.txt");
    fogo.Add("fogueira.wav", "Fogueira crepitando", 4.0, [](Buffer& b, Rng& r) { Fire(b, r, 25); });
    fogo.Add("lareira.wav", "Lareira calma", 4.0, [](Buffer& b, Rng& r) { Fire(b, r, 8); });
    fogo.Add("fogo-forte.wav", "Fogo forte estalando", 3.0, [](Buffer& b, Rng& r) { Fire(b, r, 60); });
    fogo.Add("fosforo.wav", "Fósforo sendo riscado", 1.2, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 25; ++k) Click(b, r, 0.05 + k * 0.006, r.Range(2000, 5000), 0.7);
        Buffer f(b.Rate(), 1.0);
        Fire(f, r, 4);
        b.Mix(f, 0.2, 0.5);
    });

    Category& agua = top.Sub("Água", "agua.txt");
    agua.Add("riacho.wav", "Riacho correndo", 4.0, [](Buffer& b, Rng& r) { Stream(b, r, 60, 700); });
    agua.Add("cachoeira.wav", "Cachoeira", 4.0, [](Buffer& b, Rng& r) {
        Stream(b, r, 200, 500);
        Rain(b, r, 300, 1.2);
    });
    agua.Add("bolhas.wav", "Bolhas subindo na água", 2.0, [](Buffer& b, Rng& r) { Stream(b, r, 15, 500); });
    agua.Add("torneira-pingando.wav", "Torneira pingando", 3.0, [](Buffer& b, Rng& r) {
        Buffer d(b.Rate(), 0.06);
        Sweep(d, r, 900, 1700, 0.035, false);
        for (int k = 0; k < 5; ++k)
            b.Mix(d, 0.1 + k * 0.55);
    });
    agua.Add("panela-fervendo.wav", "Água fervendo na panela", 3.5, [](Buffer& b, Rng& r) { Stream(b, r, 120, 300); });
}

void Town(Category& top)
{
    Category& transito = top.Sub("Trânsito", "transito.txt");
    transito.Add("buzina.wav", "Buzina de carro", 0.8, [](Buffer& b, Rng& r) { Horn(b, r, 400, 1, 0.6); });
    transito.Add("buzina-dupla.wav", "Duas buzinadas impacientes", 1.2, [](Buffer& b, Rng& r) { Horn(b, r, 420, 2, 0.35); });
    transito.Add("buzina-caminhao.wav", "Buzina grave de caminhão", 1.6, [](Buffer& b, Rng& r) { Horn(b, r, 180, 1, 1.4); });
    transito.Add("buzina-moto.wav", "Buzina fininha de moto", 0.6, [](Buffer& b, Rng& r) { Horn(b, r, 700, 2, 0.2); });
    transito.Add("motor-partida.wav", "Motor de carro acelerando", 3.5, [](Buffer& b, Rng& r) { Engine(b, r, 30, 90); });
    transito.Add("motor-caminhao.wav", "Motor de caminhão", 3.5, [](Buffer& b, Rng& r) { Engine(b, r, 18, 45); });
    transito.Add("moto-acelerando.wav", "Moto acelerando", 3.0, [](Buffer& b, Rng& r) { Engine(b, r, 45, 160); });
    transito.Add("carro-passando.wav", "Carro passando na rua", 3.0, [](Buffer& b, Rng& r) { PassingCar(b, r, 1.0); });
    transito.Add("carro-rapido.wav", "Carro passando em alta velocidade", 2.0, [](Buffer& b, Rng& r) { PassingCar(b, r, 2.0); });
    transito.Add("sirene-ambulancia.wav", "Sirene de ambulância", 4.0, [](Buffer& b, Rng& r) { Siren(b, r, 440, 587, 1.0, true); });
    transito.Add("sirene-policia.wav", "Sirene de polícia", 4.0, [](Buffer& b, Rng& r) { Siren(b, r, 600, 1300, 1.8, false); });
    transito.Add("sirene-rapida.wav", "Sirene em alerta rápido", 3.0, [](Buffer& b, Rng& r) { Siren(b, r, 650, 1400, 0.25, false); });
    transito.Add("re-de-caminhao.wav", "Caminhão dando ré", 3.0, [](Buffer& b, Rng& r) { Beeps(b, r, 1040, 6, 0.25, 0.25, false); });
    transito.Add("sinal-pedestre.wav", "Sinal sonoro de travessia", 3.0, [](Buffer& b, Rng& r) { Beeps(b, r, 2400, 12, 0.04, 0.2, true); });
    transito.Add("campainha-bicicleta.wav", "Campainha de bicicleta", 1.2, [](Buffer& b, Rng& r) { Bell(b, r, 2600, 2, 0.14, 0.5); });

    Category& sinos = top.Sub("Sinos", "sinos.txt");
    sinos.Add("sino-igreja.wav", "Sino de igreja", 4.0, [](Buffer& b, Rng& r) { Bell(b, r, 220, 1, 0, 3.5); });
    sinos.Add("sino-igreja-tres.wav", "Sino de igreja, três badaladas", 4.0, [](Buffer& b, Rng& r) { Bell(b, r, 200, 3, 1.2, 2.5); });
    sinos.Add("sino-grande.wav", "Sino grande e grave", 4.0, [](Buffer& b, Rng& r) { Bell(b, r, 110, 1, 0, 4.0); });
    sinos.Add("sininho.wav", "Sininho agudo", 1.5, [](Buffer& b, Rng& r) { Bell(b, r, 1800, 1, 0, 1.2); });
    sinos.Add("sininhos.wav", "Sininhos tocando juntos", 2.5, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 8; ++k) Bell(b, r, 1500 + 400 * (k % 4), 1, 0, 0.6);
        Bell(b, r, 2300, 6, 0.3, 0.7);
    });
    sinos.Add("sino-escola.wav", "Sino de escola", 2.5, [](Buffer& b, Rng& r) { Bell(b, r, 880, 14, 0.16, 0.6); });
    sinos.Add("sino-de-vaca.wav", "Sino de vaca no pasto", 2.0, [](Buffer& b, Rng& r) { Bell(b, r, 600, 4, 0.45, 0.3); });
    sinos.Add("carrilhao.wav", "Carrilhão de relógio", 4.0, [](Buffer& b, Rng& r) {
        const int tune[] = {76, 72, 74, 67, -1, 67, 74, 76, 72};
        for (int k = 0; k < 9; ++k)
            if (tune[k] > 0) Bell(b, r, Mtof(tune[k]) / 0.56 / 2, 1, 0, 1.6);
    });
    sinos.Add("taca.wav", "Taça de cristal tocada", 2.5, [](Buffer& b, Rng& r) {
        Note(b, r, I::Marimba, 0, 1, 1400, 0.4);
        Bell(b, r, 2500, 1, 0, 2.0);
    });
    sinos.Add("triangulo.wav", "Triângulo", 2.0, [](Buffer& b, Rng& r) { Bell(b, r, 4200, 1, 0, 1.8); });

    Category& portas = top.Sub("Portas", "portas.txt");
    portas.Add("batida-porta.wav", "Batidas na porta", 1.0, [](Buffer& b, Rng& r) { Knock(b, r, 180, 3, 0.2); });
    portas.Add("batida-forte.wav", "Batidas fortes e insistentes", 1.8, [](Buffer& b, Rng& r) { Knock(b, r, 150, 6, 0.22); });
    portas.Add("batida-leve.wav", "Duas batidas leves", 0.7, [](Buffer& b, Rng& r) { Knock(b, r, 260, 2, 0.25); });
    portas.Add("batida-combinada.wav", "Batida combinada de amigo", 2.0, [](Buffer& b, Rng& r) {
        const double times[] = {0, 0.3, 0.45, 0.6, 0.9, 1.45, 1.7};
        Buffer k(b.Rate(), 0.3);
        Knock(k, r, 200, 1, 0);
        for (double t : times)
            b.Mix(k, t);
    });
    portas.Add("rangido.wav", "Porta rangendo ao abrir", 2.5, [](Buffer& b, Rng& r) { Creak(b, r, 650, 45); });
    portas.Add("rangido-lento.wav", "Rangido lento de porta velha", 3.5, [](Buffer& b, Rng& r) { Creak(b, r, 500, 25); });
    portas.Add("rangido-agudo.wav", "Dobradiça enferrujada", 2.0, [](Buffer& b, Rng& r) { Creak(b, r, 1100, 70); });
    portas.Add("porta-batendo.wav", "Porta batendo", 1.0, [](Buffer& b, Rng& r) { Slam(b, r, 1.0); });
    portas.Add("portao-batendo.wav", "Portão pesado batendo", 1.5, [](Buffer& b, Rng& r) { Slam(b, r, 1.6); });
    portas.Add("campainha.wav", "Campainha: dim-dom", 2.5, [](Buffer& b, Rng& r) {
        Bell(b, r, Mtof(88), 1, 0, 1.0);
        Buffer d(b.Rate(), 1.6);
        Bell(d, r, Mtof(84), 1, 0, 1.2);
        b.Mix(d, 0.6);
    });
    portas.Add("interfone.wav", "Cigarra do interfone", 1.2, [](Buffer& b, Rng& r) { Buzzer(b, r, 110); });
    portas.Add("fechadura.wav", "Chave girando na fechadura", 0.8, [](Buffer& b, Rng& r) {
        Click(b, r, 0.05, 3500, 0.6);
        Click(b, r, 0.25, 2500, 0.8);
        Click(b, r, 0.45, 1800, 1.0);
        Drum(b, r, 'w', 0.47, 0.3, 0, 0.7);
    });

    Category& fones = top.Sub("Telefones", "telefones.txt");
    fones.Add("telefone-antigo.wav", "Telefone antigo tocando", 2.5, [](Buffer& b, Rng& r) { PhoneRing(b, r, 1100); });
    fones.Add("telefone-grave.wav", "Campainha grave de telefone", 2.5, [](Buffer& b, Rng& r) { PhoneRing(b, r, 700); });
    fones.Add("telefone-moderno.wav", "Toque de telefone moderno", 3.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Marimba, {76, 79, 84, -1, 76, 79, 84, -1, 76, 79, 84}, 0.15);
    });
    fones.Add("sinal-de-linha.wav", "Sinal de linha", 2.0, [](Buffer& b, Rng& r) { Beeps(b, r, 425, 1, 1.9, 0, false); });
    fones.Add("sinal-ocupado.wav", "Sinal de ocupado", 3.0, [](Buffer& b, Rng& r) { Beeps(b, r, 425, 6, 0.25, 0.25, false); });
    fones.Add("sinal-chamando.wav", "Sinal de chamada", 3.5, [](Buffer& b, Rng& r) { Beeps(b, r, 425, 2, 1.0, 1.0, false); });
    fones.Add("discagem.wav", "Discando um número", 3.0, [](Buffer& b, Rng& r) { Dtmf(b, r, "31415926", 0.18, 0.14); });
    const char digits[] = "0123456789*#";
    const char* const digitName[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "asterisco", "cerquilha"};
    for (int k = 0; k < 12; ++k)
        fones.Add(std::string("tecla-") + digitName[k] + ".wav", std::string("Tom da tecla ") + (k < 10 ? digitName[k] : k == 10 ? "*" : "#"), 0.4,
                  [d = std::string(1, digits[k])](Buffer& b, Rng& r) { Dtmf(b, r, d, 0.3, 0); });

    Category& alarmes = top.Sub("Alarmes", "alarmes.txt");
    alarmes.Add("despertador.wav", "Despertador digital", 3.0, [](Buffer& b, Rng& r) {
        for (int g = 0; g < 3; ++g) {
            Buffer one(b.Rate(), 0.6);
            Beeps(one, r, 2000, 4, 0.06, 0.06, true);
            b.Mix(one, g * 1.0);
        }
    });
    alarmes.Add("despertador-antigo.wav", "Despertador de campainha", 3.0, [](Buffer& b, Rng& r) { Bell(b, r, 1500, 50, 0.055, 0.15); });
    alarmes.Add("detector-fumaca.wav", "Detector de fumaça", 3.0, [](Buffer& b, Rng& r) { Beeps(b, r, 3100, 3, 0.5, 0.5, true); });
    alarmes.Add("micro-ondas.wav", "Micro-ondas terminou", 2.0, [](Buffer& b, Rng& r) { Beeps(b, r, 1000, 3, 0.3, 0.3, false); });
    alarmes.Add("alarme-carro.wav", "Alarme de carro disparado", 4.0, [](Buffer& b, Rng& r) { Siren(b, r, 800, 1800, 0.4, false); });
    alarmes.Add("alerta.wav", "Alerta de perigo", 3.0, [](Buffer& b, Rng& r) { Siren(b, r, 500, 900, 0.5, true); });
    alarmes.Add("bipe.wav", "Bipe curto", 0.3, [](Buffer& b, Rng& r) { Beeps(b, r, 1500, 1, 0.15, 0, false); });
    alarmes.Add("bipe-duplo.wav", "Bipe duplo", 0.5, [](Buffer& b, Rng& r) { Beeps(b, r, 1800, 2, 0.1, 0.08, false); });
    alarmes.Add("cronometro.wav", "Tique-taque de relógio", 4.0, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 8; ++k) Click(b, r, 0.05 + k * 0.5, k % 2 ? 2500 : 3200, 0.8);
    });
    alarmes.Add("sirene-fabrica.wav", "Sirene de fábrica", 4.0, [](Buffer& b, Rng& r) { Siren(b, r, 300, 500, 8.0, false); });

    Category& passos = top.Sub("Passos", "passos.txt");
    passos.Add("passos-madeira.wav", "Passos no assoalho de madeira", 3.5, [](Buffer& b, Rng& r) { Footsteps(b, r, 0.55, 0.4); });
    passos.Add("passos-salto.wav", "Passos de salto alto", 3.0, [](Buffer& b, Rng& r) { Footsteps(b, r, 0.4, 1.0); });
    passos.Add("passos-correndo.wav", "Alguém correndo", 2.5, [](Buffer& b, Rng& r) { Footsteps(b, r, 0.25, 0.5); });
    passos.Add("passos-lentos.wav", "Passos lentos e pesados", 4.0, [](Buffer& b, Rng& r) { Footsteps(b, r, 0.9, 0.2); });
    passos.Add("passos-escada.wav", "Subindo a escada", 3.0, [](Buffer& b, Rng& r) {
        Footsteps(b, r, 0.45, 0.3);
        Creak(b, r, 900, 8);
    });
}

void Voices(Category& top)
{
    Category& vogais = top.Sub("Vogais", "vogais.txt");
    const std::pair<const char*, double> whoFile[] = {{"homem", 110}, {"mulher", 210}, {"crianca", 300}};
    const char* const whoText[] = {"voz de homem", "voz de mulher", "voz de criança"};
    const double shift[] = {1.0, 1.17, 1.32};
    const char vowels[] = "aeiou";
    for (int w = 0; w < 3; ++w)
        for (int v = 0; v < 5; ++v)
            vogais.Add(std::string("vogal-") + vowels[v] + "-" + whoFile[w].first + ".wav",
                       std::string("Vogal \"") + vowels[v] + "\" cantada, " + whoText[w], 1.5,
                       [c = vowels[v], p = whoFile[w].second, s = shift[w]](Buffer& b, Rng& r) { Vowel(b, r, c, p, s); });
    vogais.Add("ditongo-ai.wav", "Ditongo \"ai\"", 1.2, [](Buffer& b, Rng& r) { VowelGlide(b, r, 'a', 'i', 180, 200, 1.1); });
    vogais.Add("ditongo-ou.wav", "Ditongo \"ou\"", 1.2, [](Buffer& b, Rng& r) { VowelGlide(b, r, 'o', 'u', 150, 130, 1.0); });
    vogais.Add("ei.wav", "Alguém chamando: \"ei!\"", 0.7, [](Buffer& b, Rng& r) { VowelGlide(b, r, 'e', 'i', 260, 320, 1.15); });
    vogais.Add("uau.wav", "Exclamação de espanto: \"uau\"", 1.2, [](Buffer& b, Rng& r) { VowelGlide(b, r, 'u', 'a', 160, 260, 1.1); });
    vogais.Add("oh.wav", "Decepção: \"ohhh\"", 1.5, [](Buffer& b, Rng& r) { VowelGlide(b, r, 'o', 'o', 200, 120, 1.05); });

    Category& risos = top.Sub("Risos e suspiros", "risos.txt");
    risos.Add("risada.wav", "Risada: ha ha ha", 1.6, [](Buffer& b, Rng& r) { Laugh(b, r, 180, 5, 1.05); });
    risos.Add("risada-longa.wav", "Gargalhada longa", 3.0, [](Buffer& b, Rng& r) { Laugh(b, r, 200, 11, 1.05); });
    risos.Add("risadinha.wav", "Risadinha aguda", 1.0, [](Buffer& b, Rng& r) { Laugh(b, r, 330, 5, 1.25); });
    risos.Add("risada-grave.wav", "Risada grave de vilão", 2.5, [](Buffer& b, Rng& r) { Laugh(b, r, 100, 6, 0.9); });
    risos.Add("suspiro.wav", "Suspiro", 1.6, [](Buffer& b, Rng& r) { Sigh(b, r, 1.0); });
    risos.Add("suspiro-cansado.wav", "Suspiro de cansaço", 2.4, [](Buffer& b, Rng& r) { Sigh(b, r, 0.9); });
    risos.Add("cantarolando.wav", "Alguém cantarolando de boca fechada", 3.5, [](Buffer& b, Rng& r) {
        Hum(b, r, {57, 60, 62, 64, 62, 60, 57, 55, 57}, 0.37);
    });

    Category& coral = top.Sub("Coral", "coral.txt");
    coral.Add("coral-a.wav", "Coral cantando \"aaa\" em Dó maior", 3.5, [](Buffer& b, Rng& r) { Choir(b, r, 'a', {48, 55, 64, 72}); });
    coral.Add("coral-o.wav", "Coral cantando \"ooo\" em Lá menor", 3.5, [](Buffer& b, Rng& r) { Choir(b, r, 'o', {45, 52, 60, 69}); });
    coral.Add("coral-u.wav", "Coral suave em \"uuu\"", 3.5, [](Buffer& b, Rng& r) { Choir(b, r, 'u', {50, 57, 62, 66}); });
    coral.Add("coral-amem.wav", "Coral: acorde final de igreja", 4.0, [](Buffer& b, Rng& r) { Choir(b, r, 'a', {41, 53, 60, 65, 69}); });
    coral.Add("coral-misterio.wav", "Coral misterioso", 4.0, [](Buffer& b, Rng& r) { Choir(b, r, 'o', {47, 53, 59, 62}); });

    Category& assobios = top.Sub("Assobios", "assobios.txt");
    assobios.Add("assobio-chamando.wav", "Assobio para chamar alguém", 1.2, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Whistle, {84, 79}, 0.5);
    });
    assobios.Add("fiu-fiu.wav", "Assobio de admiração", 1.4, [](Buffer& b, Rng& r) {
        Sweep(b, r, 1200, 2600, 0.25, false);
        Buffer d(b.Rate(), 0.9);
        Sweep(d, r, 1800, 900, 0.7, false);
        b.Mix(d, 0.4);
    });
    assobios.Add("assobio-melodia.wav", "Assobiando uma melodia", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Whistle, {79, 81, 83, 79, 76, -1, 79, 81, 83, 84, 83, 79}, 0.32);
    });
    assobios.Add("apito-juiz.wav", "Apito de juiz", 1.0, [](Buffer& b, Rng& r) { Trill(b, r, 2900, 40); });
    assobios.Add("apito-final.wav", "Apito final: três apitos", 3.0, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 3; ++k) {
            Buffer a(b.Rate(), k == 2 ? 1.3 : 0.5);
            Trill(a, r, 2900, 40);
            b.Mix(a, k * 0.7);
        }
    });
}

void Effects(Category& top)
{
    Category& jogos = top.Sub("Jogos", "jogos.txt");
    jogos.Add("moeda.wav", "Pegou uma moeda", 0.5, [](Buffer& b, Rng& r) { Melody(b, r, I::Chip, {83, 88}, 0.08); Note(b, r, I::Chip, 0.08, 0.35, Mtof(88)); });
    jogos.Add("pulo.wav", "Pulo do personagem", 0.4, [](Buffer& b, Rng& r) { Sweep(b, r, 220, 880, 0.2, true); });
    jogos.Add("laser.wav", "Tiro de laser", 0.4, [](Buffer& b, Rng& r) { Sweep(b, r, 2500, 200, 0.3, true); });
    jogos.Add("laser-duplo.wav", "Dois tiros de laser", 0.8, [](Buffer& b, Rng& r) {
        Sweep(b, r, 3000, 300, 0.25, true);
        Buffer s(b.Rate(), 0.35);
        Sweep(s, r, 2600, 250, 0.25, true);
        b.Mix(s, 0.4);
    });
    jogos.Add("poder.wav", "Ganhou um poder", 1.2, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Chip, {60, 64, 67, 72, 64, 67, 72, 76, 67, 72, 76, 79, 84}, 0.07);
    });
    jogos.Add("vida-extra.wav", "Vida extra", 1.0, [](Buffer& b, Rng& r) { Melody(b, r, I::Chip, {76, 79, 88, 84, 86, 91}, 0.12); });
    jogos.Add("fim-de-jogo.wav", "Fim de jogo", 2.5, [](Buffer& b, Rng& r) { Melody(b, r, I::Chip, {67, 66, 65, 64, -1, 60, 55, 48}, 0.28); });
    jogos.Add("fase-completa.wav", "Fase completa", 2.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Chip, {67, 72, 76, 79, 84, 88, -1, 84, 88, 91}, 0.12);
    });
    jogos.Add("dano.wav", "Personagem levou dano", 0.5, [](Buffer& b, Rng& r) {
        Sweep(b, r, 500, 80, 0.3, true);
        Drum(b, r, 's', 0.02, 0.7);
    });
    jogos.Add("menu.wav", "Seleção no menu", 0.3, [](Buffer& b, Rng& r) { Note(b, r, I::Chip, 0, 0.08, Mtof(84)); });
    jogos.Add("menu-confirma.wav", "Confirmação no menu", 0.4, [](Buffer& b, Rng& r) { Melody(b, r, I::Chip, {84, 91}, 0.07); });
    jogos.Add("bonus.wav", "Contagem de bônus", 1.6, [](Buffer& b, Rng& r) {
        Notes n;
        for (int k = 0; k < 20; ++k) n.push_back(84 + (k % 2) * 5);
        Melody(b, r, I::Chip, n, 0.07);
    });

    Category& interface = top.Sub("Interface", "interface.txt");
    interface.Add("clique.wav", "Clique de botão", 0.3, [](Buffer& b, Rng& r) { Click(b, r, 0.02, 3000, 1); });
    interface.Add("clique-duplo.wav", "Clique duplo", 0.4, [](Buffer& b, Rng& r) { Click(b, r, 0.02, 3000, 1); Click(b, r, 0.14, 3000, 1); });
    interface.Add("notificacao.wav", "Notificação suave", 1.0, [](Buffer& b, Rng& r) { Melody(b, r, I::Marimba, {79, 84}, 0.12); });
    interface.Add("mensagem.wav", "Chegou uma mensagem", 1.0, [](Buffer& b, Rng& r) { Melody(b, r, I::Marimba, {84, 88, 91}, 0.1); });
    interface.Add("sucesso.wav", "Operação concluída", 1.0, [](Buffer& b, Rng& r) { Melody(b, r, I::Marimba, {72, 76, 79, 84}, 0.09); });
    interface.Add("erro.wav", "Erro", 0.6, [](Buffer& b, Rng& r) { Melody(b, r, I::Clarinet, {50, 47}, 0.2); });
    interface.Add("aviso.wav", "Aviso de atenção", 0.7, [](Buffer& b, Rng& r) { Bell(b, r, 1400, 1, 0, 0.5); });
    interface.Add("lixeira.wav", "Papel amassado na lixeira", 0.8, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 40; ++k) Click(b, r, r.Range(0.02, 0.5), r.Range(1500, 5000), r.Range(0.2, 0.7));
        Drum(b, r, 't', 0.55, 0.4, 0, 0.8);
    });
    interface.Add("digitando.wav", "Digitando no teclado", 3.0, [](Buffer& b, Rng& r) {
        double t = 0.05;
        while (t < 2.8) {
            Click(b, r, t, r.Range(2500, 4000), r.Range(0.5, 0.9));
            t += r.Range(0.08, 0.25);
        }
    });
    interface.Add("camera.wav", "Obturador de câmera", 0.5, [](Buffer& b, Rng& r) {
        Click(b, r, 0.02, 2000, 1);
        Click(b, r, 0.12, 1500, 0.8);
        Drum(b, r, 'm', 0.03, 0.6);
    });
    interface.Add("ligando.wav", "Aparelho ligando", 1.5, [](Buffer& b, Rng& r) { Chord(b, r, I::Pad, {60, 67, 72, 76}); });
    interface.Add("desligando.wav", "Aparelho desligando", 1.0, [](Buffer& b, Rng& r) { Sweep(b, r, 800, 100, 0.8, false); });

    Category& ficcao = top.Sub("Ficção científica", "ficcao.txt");
    ficcao.Add("teletransporte.wav", "Teletransporte", 2.5, [](Buffer& b, Rng& r) { Warp(b, r, 200, 4000); });
    ficcao.Add("nave-partindo.wav", "Nave espacial partindo", 3.5, [](Buffer& b, Rng& r) {
        Warp(b, r, 80, 1500);
        Engine(b, r, 25, 70);
    });
    ficcao.Add("robo-falando.wav", "Robô falando", 2.0, [](Buffer& b, Rng& r) { Robot(b, r, 10); });
    ficcao.Add("robo-pensando.wav", "Robô calculando", 3.0, [](Buffer& b, Rng& r) { Robot(b, r, 24); });
    ficcao.Add("disco-voador.wav", "Disco voador pairando", 4.0, [](Buffer& b, Rng& r) { RingMod(b, r, 600, 5, 9); });
    ficcao.Add("sinal-alienigena.wav", "Sinal alienígena", 3.0, [](Buffer& b, Rng& r) { RingMod(b, r, 1200, 40, 400); });
    ficcao.Add("teremim.wav", "Teremim de filme antigo", 4.0, [](Buffer& b, Rng& r) {
        Melody(b, r, I::Whistle, {69, 72, 76, 75, 72, 69, 68}, 0.55);
    });
    ficcao.Add("campo-de-forca.wav", "Campo de força", 3.0, [](Buffer& b, Rng& r) {
        Note(b, r, I::Organ, 0, 2.7, 60, 1, -0.3);
        Note(b, r, I::Organ, 0, 2.7, 61.5, 1, 0.3);
    });
    ficcao.Add("radar.wav", "Radar de submarino", 3.5, [](Buffer& b, Rng& r) {
        Bell(b, r, 1800, 2, 1.7, 0.4);
        Note(b, r, I::Flute, 0, 0.15, 1500, 0.3);
    });

    Category& explosoes = top.Sub("Explosões", "explosoes.txt");
    explosoes.Add("explosao.wav", "Explosão", 3.0, [](Buffer& b, Rng& r) { Explosion(b, r, 1.5); });
    explosoes.Add("explosao-grande.wav", "Explosão grande e longa", 4.0, [](Buffer& b, Rng& r) { Explosion(b, r, 2.5); });
    explosoes.Add("estouro.wav", "Estouro curto", 1.0, [](Buffer& b, Rng& r) { Explosion(b, r, 0.4); });
    explosoes.Add("fogos-de-artificio.wav", "Fogos de artifício", 4.0, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 3; ++k) {
            Buffer w(b.Rate(), 1.2);
            Sweep(w, r, 400, 2000, 0.6, false);
            for (std::size_t i = 0; i < w.Frames(); ++i) b.Add(i + static_cast<std::size_t>(k * 1.1 * b.Rate()), 0.3 * w.Left()[i], k - 1.0);
            Buffer e(b.Rate(), 1.0);
            Explosion(e, r, 0.5);
            b.Mix(e, k * 1.1 + 0.65);
        }
    });
    explosoes.Add("balao-estourando.wav", "Balão estourando", 0.5, [](Buffer& b, Rng& r) { Explosion(b, r, 0.12); });
    explosoes.Add("rojao.wav", "Rojão", 2.5, [](Buffer& b, Rng& r) {
        for (int k = 0; k < 12; ++k) {
            Buffer e(b.Rate(), 0.3);
            Explosion(e, r, 0.1);
            b.Mix(e, 0.1 + k * 0.17);
        }
    });
}

}  // namespace

std::list<Category> BuildCatalogue()
{
    std::list<Category> top;
    auto heading = [&top](const char* label) -> Category& {
        top.push_back(Category{label, "", {}, {}});
        return top.back();
    };
    Animals(heading("Animais"));
    Instruments(heading("Instrumentos"));
    Music(heading("Música"));
    Nature(heading("Natureza"));
    Town(heading("Cidade"));
    Voices(heading("Vozes"));
    Effects(heading("Efeitos"));
    return top;
}

}  // namespace democat
