#include "srv_zel/DemoCatalogue.h"

#include <array>

#include "srv_zel/Schema.h"

namespace zel {

namespace {

constexpr std::int64_t FIRST_ITEM = 750100011120;  // twelve digits; the check digit follows

// Taxes: 1 is VAT 16 %, 2 the zero rate, 3 a special tax of 8 %.
constexpr std::array<double, 3> DEMO_TAXES = {16, 0, 8};

enum Taxes : int {
    NONE = 0,
    VAT = 1,
    ZERO_RATE = 2,
    SPECIAL = 4,
    VAT_AND_SPECIAL = VAT | SPECIAL,
};
constexpr int SPECIAL_ON_TOP_OF_VAT = 0x02;  // Ban_Imps bit 1: tax 3 charged on price + VAT

struct DemoArticle {
    const char* Description;
    int Cents;         // list 1; lists 2 and 3 are 5 % and 10 % off
    bool MemberPrice;  // list 4, 15 % off; no price there otherwise
    int ImpsAct;
    int BanImps;
};

constexpr DemoArticle ARTICLES[] = {
    {"Café de olla molido 500 g", 8950, true, NONE, 0},
    {"Azúcar estándar 1 kg", 3290, false, NONE, 0},
    {"Aceite de girasol 900 ml", 4475, true, NONE, 0},
    {"Piñón rosa 100 g", 6400, false, NONE, 0},
    {"Jamón de pavo rebanado 250 g", 5690, true, NONE, 0},
    {"Leche entera pasteurizada 1 l", 2650, false, ZERO_RATE, 0},
    {"Pan de caja integral grande", 4850, false, ZERO_RATE, 0},
    {"Tortillas de maíz 1 kg", 2200, false, ZERO_RATE, 0},
    {"Frijol negro a granel 1 kg", 3899, true, ZERO_RATE, 0},
    {"Arroz súper extra 900 g", 2975, false, ZERO_RATE, 0},
    {"Chiles jalapeños en escabeche lata 220 g", 1850, false, NONE, 0},
    {"Atún aleta amarilla en agua 140 g", 2190, true, NONE, 0},
    {"Galletas de avena con pasas y nuez, paquete familiar de 12 piezas", 4380, false,
     VAT_AND_SPECIAL, 0},
    {"Jabón de tocador neutro 150 g", 1990, false, VAT, 0},
    {"Champú anticaspa con extracto de té verde 400 ml", 7450, true, VAT, 0},
    {"Papel higiénico doble hoja 12 rollos", 8990, false, VAT, 0},
    {"Detergente en polvo multiusos 1 kg", 4120, false, VAT, 0},
    {"Refresco de cola 600 ml", 1800, false, VAT_AND_SPECIAL, 0},
    {"Agua purificada 1.5 l", 1450, false, NONE, 0},
    {"Cerveza clara lata 355 ml", 2100, false, VAT_AND_SPECIAL, SPECIAL_ON_TOP_OF_VAT},
    {"Vino tinto reserva, Valle de Guadalupe, Baja California, 750 ml", 38900, true,
     VAT_AND_SPECIAL, SPECIAL_ON_TOP_OF_VAT},
    {"Tequila añejo 100% agave 700 ml", 54900, false, VAT_AND_SPECIAL, SPECIAL_ON_TOP_OF_VAT},
    {"Chocolate de mesa con canela 90 g", 2350, false, VAT_AND_SPECIAL, 0},
    {"Cajeta de leche de cabra envinada 370 g", 6150, false, VAT_AND_SPECIAL, 0},
    {"Mermelada de fresa sin azúcar añadida 300 g", 4790, false, NONE, 0},
    {"Mayonesa con jugo de limón 390 g", 4250, true, NONE, 0},
    {"Salsa picante clásica 150 ml", 1675, false, NONE, 0},
    {"Consomé de pollo en cubos 12 piezas", 2490, false, NONE, 0},
    {"Pañales etapa 3, paquete con 40 piezas", 27900, true, VAT, 0},
    {"Toallitas húmedas para bebé sin aroma", 5400, false, VAT, 0},
    {"Cepillo dental de cerdas suaves", 3250, false, VAT, 0},
    {"Pasta dental con flúor 100 ml", 3890, false, VAT, 0},
    {"Desodorante en barra para caballero", 6990, false, VAT, 0},
    {"Focos LED luz cálida 9 W", 4500, false, VAT, 0},
    {"Pilas alcalinas AA, paquete con 4", 9850, true, VAT, 0},
    {"Cuaderno profesional de raya 100 hojas", 3600, false, VAT, 0},
    {"Lápiz del número 2 con goma", 650, false, VAT, 0},
    {"Bolígrafo de tinta azul punto mediano", 800, false, VAT, 0},
    {"Croquetas para perro adulto sabor carne y arroz, bolsa de 4 kg", 32500, true, VAT, 0},
    {"Arena sanitaria para gato aglomerante 5 kg", 17900, false, VAT, 0},
    {"Manzana roja Red Delicious por kilo", 4990, false, ZERO_RATE, 0},
    {"Plátano tabasco por kilo", 2290, false, ZERO_RATE, 0},
    {"Jitomate saladet por kilo", 3150, false, ZERO_RATE, 0},
    {"Cebolla blanca por kilo", 2780, false, ZERO_RATE, 0},
    {"Aguacate hass por kilo", 8900, true, ZERO_RATE, 0},
    {"Queso Oaxaca artesanal 400 g", 9700, true, NONE, 0},
    {"Crema ácida de vaca 200 ml", 2800, false, NONE, 0},
    {"Yogur natural sin azúcar 1 kg", 4650, false, NONE, 0},
    {"Huevo blanco, cartón con 18 piezas", 6200, true, ZERO_RATE, 0},
    {"Piña miel por pieza", 3500, false, ZERO_RATE, 0},
    {"Año Nuevo: canasta navideña con turrón, nueces, ponche y sidra española", 124900, true,
     VAT_AND_SPECIAL, SPECIAL_ON_TOP_OF_VAT},
};

// Indexes of the articles the demo suggests, and why.
struct Suggestion {
    std::size_t Index;
    const char* Note;
};
constexpr Suggestion SUGGESTED[] = {
    {0, "89.50 on list 1, no taxes"},
    {14, "74.50 on list 1, plus VAT 16 % when the gateway adds taxes"},
    {20, "389.00 on list 1, plus VAT 16 % and 8 % on top of it when the gateway adds taxes"},
};

std::int64_t DemoArticleCode(std::size_t index) {
    const std::int64_t twelve = FIRST_ITEM + static_cast<std::int64_t>(index);
    return twelve * 10 + Ean13CheckDigit(twelve);
}

double Price(int cents, int percentOff) {
    const int discounted = (cents * (100 - percentOff) + 50) / 100;
    return discounted / 100.0;
}

}  // namespace

int Ean13CheckDigit(std::int64_t firstTwelveDigits) {
    int sum = 0;
    // From the right, the digits weigh 3, 1, 3, 1, ...
    for (int position = 0; position < 12; ++position) {
        const int digit = static_cast<int>(firstTwelveDigits % 10);
        firstTwelveDigits /= 10;
        sum += digit * (position % 2 == 0 ? 3 : 1);
    }
    return (10 - sum % 10) % 10;
}

std::size_t DemoArticleCount() {
    return std::size(ARTICLES);
}

std::vector<DemoCode> WriteDemoCatalogue(CatalogueWriter& db) {
    WriteTransaction transaction(db);
    // Replaced whole: the columns not named go back to their defaults.
    const auto remove = db.Prepare("DELETE FROM Articulos WHERE Codigo = ?1");
    const auto article = db.Prepare(
        "INSERT INTO Articulos "
        "(Codigo, Descrip, Precio1, Precio2, Precio3, Precio4, Imps_Act, Ban_Imps) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    for (std::size_t i = 0; i < std::size(ARTICLES); ++i) {
        const DemoArticle& a = ARTICLES[i];
        remove->Bind(1, DemoArticleCode(i));
        remove->Run();
        article->Bind(1, DemoArticleCode(i));
        article->Bind(2, std::string_view(a.Description));
        article->Bind(3, Price(a.Cents, 0));
        article->Bind(4, Price(a.Cents, 5));
        article->Bind(5, Price(a.Cents, 10));
        if (a.MemberPrice) {
            article->Bind(6, Price(a.Cents, 15));
        } else {
            article->BindNull(6);
        }
        article->Bind(7, static_cast<std::int64_t>(a.ImpsAct));
        article->Bind(8, static_cast<std::int64_t>(a.BanImps));
        article->Run();
    }
    db.Exec("DELETE FROM Impuestos");
    const auto tax = db.Prepare("INSERT INTO Impuestos (Numero, PCT) VALUES (?1, ?2)");
    for (std::size_t i = 0; i < DEMO_TAXES.size(); ++i) {
        tax->Bind(1, static_cast<std::int64_t>(i + 1));
        tax->Bind(2, DEMO_TAXES[i]);
        tax->Run();
    }
    transaction.Commit();

    std::vector<DemoCode> codes;
    for (const auto& s : SUGGESTED) {
        codes.push_back({DemoArticleCode(s.Index), ARTICLES[s.Index].Description, s.Note});
    }
    return codes;
}

}  // namespace zel
